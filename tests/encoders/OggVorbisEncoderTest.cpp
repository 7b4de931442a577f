#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>

#include "encoders/Mp3Params.h"
#include "encoders/OggParams.h"
#include "encoders/OggVorbisEncoder.h"
#include "engine/TagChoice.h"
#include "sources/CodecHost.h"
#include "sources/OggVorbisSource.h"
#include "sources/SourceFactory.h"
#include "support/OggTestUtil.h"
#include "support/TestUtil.h"

using namespace sonavert;
using testutil::OggPage;
using testutil::Quote;
using testutil::TempDir;

namespace {

using Planes = testutil::TonePlanes16;
// Planes of a tone (left at `freq`, right at 1.5 * freq), fed in blocks of 1152 samples.
Planes Tone(double freq, int rate, double seconds) { return testutil::ToneInPlanes(freq, rate, seconds); }
bool EncodeAll(OggVorbisEncoder& enc, const Planes& p, bool stereo) { return testutil::EncodeInBlocks(enc, p, stereo); }

// Open, Configure, [SetComments], Start, the blocks, the end, Close: true when every step succeeded.
bool EncodeFile(const std::string& path, uint32_t rate, uint32_t channels, uint32_t kbps, const Planes& p,
                const TagRecord* tags = nullptr) {
    OggVorbisEncoder enc;
    if (!enc.Open(path) || !enc.Configure(rate, channels, static_cast<int32_t>(kbps * 1000))) return false;
    if (tags) enc.SetComments(*tags);
    if (!enc.Start() || !EncodeAll(enc, p, channels == 2) || !enc.EncodeBlock(nullptr, nullptr, 0)) return false;
    return enc.Close() == 1;
}

// ogginfo (an independent checker of Ogg streams) finds nothing to complain about.
void ExpectValidOgg(const std::string& path) {
    std::string out;
    EXPECT_EQ(testutil::Run("ogginfo " + Quote(path), &out), 0) << out;
    EXPECT_EQ(out.find("WARNING"), std::string::npos) << out;
    EXPECT_EQ(out.find("ERROR"), std::string::npos) << out;
}

// Interleaved samples of a decoded WAV file, with its rate and channels from the header.
struct Wav {
    int rate = 0, channels = 0;
    std::vector<int16_t> samples;
};
Wav ReadWav(const std::string& path) {
    Wav w;
    const auto b = testutil::ReadFileBytes(path);
    if (b.size() < 44 || std::memcmp(b.data(), "RIFF", 4) != 0) return w;
    w.channels = b[22] | (b[23] << 8);
    w.rate = static_cast<int>(b[24] | (b[25] << 8) | (b[26] << 16) | (static_cast<uint32_t>(b[27]) << 24));
    // The data chunk: walk the chunks after "WAVE".
    size_t at = 12;
    while (at + 8 <= b.size()) {
        const uint32_t size = b[at + 4] | (b[at + 5] << 8) | (b[at + 6] << 16) | (static_cast<uint32_t>(b[at + 7]) << 24);
        if (std::memcmp(&b[at], "data", 4) == 0) {
            const size_t n = std::min<size_t>(size, b.size() - at - 8) / 2;
            w.samples.resize(n);
            if (n > 0) std::memcpy(w.samples.data(), &b[at + 8], n * 2);
            break;
        }
        at += 8 + size + (size & 1);
    }
    return w;
}

double Db(double ratio) { return 20.0 * std::log10(ratio); }

// The middle of a decoded signal (encoder start-up and the end left out).
std::vector<int16_t> Middle(const std::vector<int16_t>& pcm, int channels, int rate) {
    const size_t skip = static_cast<size_t>(rate / 4) * channels;
    if (pcm.size() <= 2 * skip) return {};
    return std::vector<int16_t>(pcm.begin() + static_cast<long>(skip), pcm.end() - static_cast<long>(skip));
}

}  // namespace

// ---------------------------------------------------------------------------------------------------
// Parameter choice

TEST(OggParams, BitRateSnapsToTheTwentyValuesThenTheRateLimits) {
    const struct {
        uint32_t kbps, rate, channels, out;
    } cases[] = {
        {480, 22050, 2, 160}, {8, 44100, 1, 32},   {440, 44100, 2, 400}, {441, 44100, 2, 480},
        {1000, 48000, 2, 480}, {0, 8000, 1, 8},    {8, 8000, 2, 16},     {100, 8000, 1, 40},
        {100, 11025, 1, 48},  {100, 12000, 2, 96}, {200, 16000, 2, 160}, {20, 16000, 1, 16},
        {300, 32000, 1, 160}, {30, 32000, 2, 40},  {250, 44100, 1, 224}, {150, 24000, 2, 144},
        {152, 44100, 2, 144}, {153, 44100, 2, 160}, {360, 44100, 2, 320}, {361, 44100, 2, 400},
        {128, 44100, 6, 128}, {400, 48000, 0, 224},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ChooseOggBitRate(c.kbps, c.rate, c.channels), c.out)
            << c.kbps << " kbps, " << c.rate << " Hz, " << c.channels << " channels";
}

TEST(OggParams, LimitTableRows) {
    const struct {
        uint32_t rate, stereoMin, stereoMax, monoMin, monoMax;
    } rows[] = {
        {8000, 16, 80, 8, 40},     {11025, 16, 96, 16, 48},   {12000, 16, 96, 16, 48},
        {16000, 24, 160, 16, 80},  {22050, 32, 160, 16, 80},  {24000, 32, 160, 16, 80},
        {32000, 40, 320, 32, 160}, {44100, 48, 480, 32, 224}, {48000, 48, 480, 32, 224},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.rate);
        const OggBitRateRange stereo = OggBitRateLimits(r.rate, 2);
        const OggBitRateRange mono = OggBitRateLimits(r.rate, 1);
        EXPECT_EQ(stereo.minKbps, r.stereoMin);
        EXPECT_EQ(stereo.maxKbps, r.stereoMax);
        EXPECT_EQ(mono.minKbps, r.monoMin);
        EXPECT_EQ(mono.maxKbps, r.monoMax);
    }
    // Rates between rows take the row above; beyond the table, the last row.
    EXPECT_EQ(OggBitRateLimits(10000, 2).maxKbps, 96u);
    EXPECT_EQ(OggBitRateLimits(96000, 2).maxKbps, 480u);
}

TEST(OggParams, AutomaticAndManualChoice) {
    auto automatic = [](uint32_t rate, uint32_t channels) {
        OggParamInputs in;
        in.sourceRate = rate;
        in.sourceChannels = channels;
        return in;
    };
    auto manual = [](uint32_t srcRate, uint32_t srcChannels, uint32_t rate, uint32_t channels, uint32_t kbps) {
        OggParamInputs in;
        in.automatic = false;
        in.sourceRate = srcRate;
        in.sourceChannels = srcChannels;
        in.sampleRate = rate;
        in.channels = channels;
        in.bitRate = kbps;
        return in;
    };
    const struct {
        const char* name;
        OggParamInputs in;
        uint32_t rate, channels, kbps;
    } cases[] = {
        {"auto 8000 mono", automatic(8000, 1), 11025, 1, 24},
        {"auto 44100 stereo", automatic(44100, 2), 44100, 2, 128},
        {"auto 96000 stereo, no limit", automatic(96000, 2), 48000, 2, 192},
        {"auto 22050 mono", automatic(22050, 1), 22050, 1, 48},
        {"480 at 22050 stereo", manual(44100, 2, 22050, 2, 480), 22050, 2, 160},
        {"8 at 44100 mono", manual(44100, 2, 44100, 1, 8), 44100, 1, 32},
        {"rate 0 takes the source's, snapped", manual(23000, 2, 0, 2, 96), 22050, 2, 96},
        {"channels 0 take the source's", manual(44100, 1, 44100, 0, 96), 44100, 1, 96},
        {"bit rate 0 from the table", manual(44100, 2, 32000, 1, 0), 32000, 1, 64},
        {"bit rate 0 from the table, stereo", manual(44100, 2, 11025, 2, 0), 11025, 2, 48},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const OggParams p = ChooseOggParams(c.in);
        EXPECT_EQ(p.rate, c.rate);
        EXPECT_EQ(p.channels, c.channels);
        EXPECT_EQ(p.kbps, c.kbps);
    }
    // Bit rate 0: an MP3 or OGG source gives its own (snapped and limited); one that reports none
    // (0) counts as absent.
    OggParamInputs mp3 = manual(44100, 2, 44100, 2, 0);
    mp3.sourceIsMp3 = true;
    mp3.sourceBitRate = 190;
    EXPECT_EQ(ChooseOggParams(mp3).kbps, 192u);
    OggParamInputs ogg = manual(44100, 2, 22050, 2, 0);
    ogg.sourceIsOgg = true;
    ogg.sourceBitRate = 256;
    EXPECT_EQ(ChooseOggParams(ogg).kbps, 160u);
    ogg.sourceBitRate = 0;
    EXPECT_EQ(ChooseOggParams(ogg).kbps, 64u);
    OggParamInputs wav = manual(44100, 2, 44100, 2, 0);
    wav.sourceBitRate = 1411;
    EXPECT_EQ(ChooseOggParams(wav).kbps, 128u);
}

// Every bit rate manual mode can choose is one libvorbisenc serves at its rate and channel count.
TEST(OggVorbisEncoder, ConfigureAcceptsEveryManualChoice) {
    TempDir dir;
    for (uint32_t rate : kOggSampleRates) {
        for (uint32_t channels : {1u, 2u}) {
            OggVorbisEncoder enc;
            ASSERT_EQ(enc.Open(dir.file("c.ogg")), 1);
            for (uint32_t kbps : kOggBitRates) {
                const uint32_t chosen = ChooseOggBitRate(kbps, rate, channels);
                EXPECT_EQ(enc.Configure(rate, channels, static_cast<int32_t>(chosen * 1000)), 1)
                    << rate << " Hz, " << channels << " channels, " << chosen << " kbps: " << enc.FailureReason();
            }
            EXPECT_EQ(enc.Close(), 1);
        }
    }
}

// Every row of the automatic table, both columns, gives a valid file carrying the row's values.
TEST(OggVorbisEncoder, EveryAutomaticRowGivesAValidFile) {
    TempDir dir;
    for (uint32_t sourceRate : {8000u, 11025u, 12000u, 16000u, 22050u, 24000u, 32000u, 44100u, 48000u, 96000u}) {
        for (uint32_t channels : {1u, 2u}) {
            SCOPED_TRACE(testing::Message() << sourceRate << " Hz, " << channels << " channels");
            OggParamInputs in;
            in.sourceRate = sourceRate;
            in.sourceChannels = channels;
            const OggParams p = ChooseOggParams(in);
            const Mp3AutoRow row = Mp3AutomaticRow(sourceRate, channels);
            EXPECT_EQ(p.rate, row.outputRate);
            EXPECT_EQ(p.kbps, row.kbps);
            const std::string path = dir.file("auto.ogg");
            ASSERT_TRUE(EncodeFile(path, p.rate, p.channels, p.kbps, Tone(440, static_cast<int>(p.rate), 0.3)));
            const auto id = testutil::ReadVorbisIdHeader(testutil::ReadFileBytes(path));
            ASSERT_TRUE(id.ok);
            EXPECT_EQ(id.rate, p.rate);
            EXPECT_EQ(id.channels, static_cast<int>(channels));
            EXPECT_EQ(id.nominal, static_cast<int32_t>(p.kbps * 1000));
            ExpectValidOgg(path);
        }
    }
}

// The two cases of the table's limits, through the choice and Configure into the written header;
// ffprobe reads the same nominal bit rate. Maximum and minimum are not set.
TEST(OggVorbisEncoder, ManualBitRateLimitsShowInTheHeader) {
    TempDir dir;
    const struct {
        uint32_t requested, rate, channels, nominal;
    } cases[] = {{480, 22050, 2, 160000}, {8, 44100, 1, 32000}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.requested << " kbps at " << c.rate);
        const uint32_t kbps = ChooseOggBitRate(c.requested, c.rate, c.channels);
        const std::string path = dir.file("limit.ogg");
        ASSERT_TRUE(EncodeFile(path, c.rate, c.channels, kbps, Tone(440, static_cast<int>(c.rate), 1.0)));
        const auto id = testutil::ReadVorbisIdHeader(testutil::ReadFileBytes(path));
        ASSERT_TRUE(id.ok);
        EXPECT_EQ(id.nominal, static_cast<int32_t>(c.nominal));
        EXPECT_EQ(id.maximum, -1);
        EXPECT_EQ(id.minimum, -1);
        EXPECT_EQ(id.rate, c.rate);
        std::string out;
        ASSERT_EQ(testutil::Run("ffprobe -v error -select_streams a:0 -show_entries stream=bit_rate,sample_rate,channels "
                                "-of default=nw=1 " + Quote(path), &out), 0);
        EXPECT_NE(out.find("bit_rate=" + std::to_string(c.nominal)), std::string::npos) << out;
        EXPECT_NE(out.find("channels=" + std::to_string(c.channels)), std::string::npos) << out;
    }
}

// ---------------------------------------------------------------------------------------------------
// Audio

// oggdec and FFmpeg both decode the file to the input tones at the rate and channels configured,
// each channel's level within 1 dB of the input's.
TEST(OggVorbisEncoder, DecodesToTheInputToneWithIndependentDecoders) {
    const struct {
        uint32_t rate, channels, kbps;
        double freq;
    } cases[] = {{44100, 2, 128, 1000}, {22050, 1, 48, 440}, {48000, 2, 192, 700}, {8000, 1, 16, 300}};
    TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.rate << " Hz, " << c.channels << " channels");
        const int rate = static_cast<int>(c.rate), channels = static_cast<int>(c.channels);
        const Planes tone = Tone(c.freq, rate, 2.0);
        const std::string path = dir.file("tone.ogg");
        ASSERT_TRUE(EncodeFile(path, c.rate, c.channels, c.kbps, tone));

        const std::string wav = dir.file("oggdec.wav");
        ASSERT_EQ(testutil::Run("oggdec -Q -o " + Quote(wav) + " " + Quote(path)), 0);
        const Wav decoded = ReadWav(wav);
        EXPECT_EQ(decoded.rate, rate);
        ASSERT_EQ(decoded.channels, channels);
        // Vorbis keeps the exact length.
        EXPECT_EQ(decoded.samples.size(), tone.left.size() * c.channels);
        std::string ffrate;
        ASSERT_EQ(testutil::Run("ffprobe -v error -show_entries stream=sample_rate -of csv=p=0 " + Quote(path), &ffrate), 0);
        EXPECT_EQ(std::stoi(ffrate), rate);
        const auto viaFfmpeg = testutil::FfmpegDecodeS16(path);

        for (const auto* pcm : {&decoded.samples, &viaFfmpeg}) {
            const auto mid = Middle(*pcm, channels, rate);
            ASSERT_FALSE(mid.empty());
            EXPECT_NEAR(testutil::EstimateFrequency(mid, channels, 0, rate), c.freq, c.freq * 0.01);
            EXPECT_NEAR(Db(testutil::RmsLevel(mid, channels, 0) / (0.5 / std::sqrt(2.0))), 0.0, 1.0);
            if (channels == 2) {
                EXPECT_NEAR(testutil::EstimateFrequency(mid, 2, 1, rate), 1.5 * c.freq, c.freq * 0.015);
                EXPECT_NEAR(Db(testutil::RmsLevel(mid, 2, 1) / (0.25 / std::sqrt(2.0))), 0.0, 1.0);
            }
        }
    }
}

// A block far larger than the analysis takes at once is encoded whole.
TEST(OggVorbisEncoder, OneHugeBlockIsEncodedWhole) {
    TempDir dir;
    const Planes tone = Tone(500, 44100, 5.0);
    const std::string path = dir.file("huge.ogg");
    OggVorbisEncoder enc;
    ASSERT_EQ(enc.Open(path), 1);
    ASSERT_EQ(enc.Configure(44100, 2, 128000), 1);
    ASSERT_EQ(enc.Start(), 1);
    ASSERT_EQ(enc.EncodeBlock(tone.left.data(), tone.right.data(), static_cast<uint32_t>(tone.left.size())), 1);
    ASSERT_EQ(enc.EncodeBlock(nullptr, nullptr, 0), 1);
    ASSERT_EQ(enc.Close(), 1);
    const std::string wav = dir.file("huge.wav");
    ASSERT_EQ(testutil::Run("oggdec -Q -o " + Quote(wav) + " " + Quote(path)), 0);
    EXPECT_EQ(ReadWav(wav).samples.size(), tone.left.size() * 2);
}

// ---------------------------------------------------------------------------------------------------
// Pages and serial numbers

// Without samples the file holds the identification header on a page of its own, the comment and
// codebook headers on the next, and the end-of-stream page: a valid, empty stream.
TEST(OggVorbisEncoder, FileWithoutSamplesHoldsHeaderPagesAndTheEndPage) {
    TempDir dir;
    const std::string path = dir.file("empty.ogg");
    OggVorbisEncoder enc;
    ASSERT_EQ(enc.Open(path), 1);
    ASSERT_EQ(enc.Configure(44100, 2, 128000), 1);
    ASSERT_EQ(enc.Start(), 1);
    ASSERT_EQ(enc.EncodeBlock(nullptr, nullptr, 0), 1);
    ASSERT_EQ(enc.Close(), 1);

    const auto bytes = testutil::ReadFileBytes(path);
    const auto pages = testutil::ParseOggPages(bytes);
    ASSERT_EQ(pages.size(), 3u);
    size_t total = 0;
    for (size_t i = 0; i < pages.size(); ++i) {
        EXPECT_TRUE(pages[i].crcOk) << i;
        EXPECT_EQ(pages[i].sequence, i);
        EXPECT_EQ(pages[i].serial, pages[0].serial);
        total += pages[i].length;
    }
    EXPECT_EQ(total, bytes.size());
    EXPECT_EQ(pages[0].flags, 2);  // beginning of stream
    EXPECT_EQ(pages[0].PacketsEnded(), 1);
    EXPECT_EQ(pages[0].body.size(), 30u);
    EXPECT_EQ(pages[1].flags, 0);
    EXPECT_EQ(pages[1].PacketsEnded(), 2);
    EXPECT_TRUE(pages[1].EndsWithCompletePacket());
    EXPECT_EQ(pages[1].granule, 0);
    EXPECT_EQ(pages[2].flags & 4, 4);  // end of stream
    EXPECT_EQ(pages[2].granule, 0);

    // oggenc, the reference encoder, writes the same three pages for an empty WAV file.
    const std::string wav = dir.file("empty.wav");
    ASSERT_TRUE(testutil::WriteWav16(wav, {}, 44100, 2));
    const std::string reference = dir.file("reference.ogg");
    ASSERT_EQ(testutil::Run("oggenc -Q -o " + Quote(reference) + " " + Quote(wav)), 0);
    const auto refPages = testutil::ParseOggPages(testutil::ReadFileBytes(reference));
    ASSERT_EQ(refPages.size(), pages.size());
    for (size_t i = 0; i < pages.size(); ++i) {
        EXPECT_EQ(pages[i].flags, refPages[i].flags) << i;
        EXPECT_EQ(pages[i].granule, refPages[i].granule) << i;
        EXPECT_EQ(pages[i].PacketsEnded(), refPages[i].PacketsEnded()) << i;
    }
    EXPECT_EQ(pages[2].body, refPages[2].body);

    // ogginfo has no warning or error for it (it only notes the granule position 0 of the last
    // page, as it does for oggenc's file), and the decoders read an empty stream without error.
    std::string info;
    testutil::Run("ogginfo " + Quote(path), &info);
    EXPECT_EQ(info.find("WARNING"), std::string::npos) << info;
    EXPECT_EQ(info.find("ERROR"), std::string::npos) << info;
    EXPECT_NE(info.find("Logical stream 1 ended"), std::string::npos) << info;
    std::string out;
    EXPECT_EQ(testutil::Run("ffmpeg -v error -nostdin -i " + Quote(path) + " -f s16le -", &out), 0);
    EXPECT_TRUE(out.empty());
    const std::string decoded = dir.file("decoded.wav");
    EXPECT_EQ(testutil::Run("oggdec -Q -o " + Quote(decoded) + " " + Quote(path)), 0);
    EXPECT_TRUE(ReadWav(decoded).samples.empty());
    OggVorbisSource source;
    ASSERT_EQ(source.Open(path, 0), 1);
    EXPECT_EQ(source.GetLength(), 0u);
    std::vector<int16_t> l(kBlockFrames), r(kBlockFrames);
    EXPECT_EQ(source.Read(l.data(), r.data()), 0u);
}

// In a file with audio the headers stand on their own pages too: the first audio page starts a
// fresh packet, and only the last page carries the end-of-stream flag.
TEST(OggVorbisEncoder, HeadersStandOnPagesOfTheirOwn) {
    TempDir dir;
    const std::string path = dir.file("a.ogg");
    ASSERT_TRUE(EncodeFile(path, 44100, 2, 128, Tone(440, 44100, 3.0)));
    const auto pages = testutil::ParseOggPages(testutil::ReadFileBytes(path));
    ASSERT_GT(pages.size(), 3u);
    EXPECT_EQ(pages[0].PacketsEnded(), 1);
    EXPECT_EQ(pages[1].PacketsEnded(), 2);
    EXPECT_EQ(pages[1].granule, 0);
    EXPECT_EQ(pages[2].flags & 1, 0);  // not a continued packet
    for (size_t i = 0; i + 1 < pages.size(); ++i) EXPECT_EQ(pages[i].flags & 4, 0) << i;
    EXPECT_EQ(pages.back().flags & 4, 4);
    EXPECT_EQ(pages.back().granule, 3 * 44100);
    ExpectValidOgg(path);
}

TEST(OggVorbisEncoder, TwoFilesGetDifferentSerialNumbers) {
    TempDir dir;
    const Planes tone = Tone(440, 44100, 0.5);
    uint32_t serials[2] = {};
    for (int i = 0; i < 2; ++i) {
        const std::string path = dir.file("s" + std::to_string(i) + ".ogg");
        OggVorbisEncoder enc;
        ASSERT_EQ(enc.Open(path), 1);
        ASSERT_EQ(enc.Configure(44100, 2, 96000), 1);
        ASSERT_EQ(enc.Start(), 1);
        const int reported = enc.SerialNumber();
        ASSERT_TRUE(EncodeAll(enc, tone, true));
        ASSERT_EQ(enc.EncodeBlock(nullptr, nullptr, 0), 1);
        ASSERT_EQ(enc.Close(), 1);
        const auto pages = testutil::ParseOggPages(testutil::ReadFileBytes(path));
        ASSERT_FALSE(pages.empty());
        serials[i] = pages[0].serial;
        EXPECT_EQ(serials[i], static_cast<uint32_t>(reported));
        for (const OggPage& p : pages) EXPECT_EQ(p.serial, serials[i]);
    }
    EXPECT_NE(serials[0], serials[1]);
}

// ---------------------------------------------------------------------------------------------------
// Comments

TEST(OggVorbisEncoder, CommentsFollowTheTableAndReadBackAsWritten) {
    TempDir dir;
    const Planes tone = Tone(440, 44100, 0.3);
    TagRecord t;
    t.title = "Caf\xC3\xA9 Stra\xC3\x9F" "e";            // é, ß
    t.artist = "\xE6\x97\xA5\xE6\x9C\xAC";                // 日本
    t.album = "Smile \xF0\x9F\x98\x80";                   // an emoji, four bytes in UTF-8
    t.year = "2024";
    t.genre = "";                                          // empty: not written
    t.comment = "line one\nline two";
    t.track = "7";
    t.composer = "";
    t.copyright = "(c) Someone";
    const std::string path = dir.file("tags.ogg");
    ASSERT_TRUE(EncodeFile(path, 44100, 2, 128, tone, &t));

    bool ok = false;
    const auto list = testutil::VorbisCommentList(path, &ok);
    ASSERT_TRUE(ok);
    const std::vector<std::string> expected = {
        "TITLE=Caf\xC3\xA9 Stra\xC3\x9F" "e",
        "ARTIST=\xE6\x97\xA5\xE6\x9C\xAC",
        "ALBUM=Smile \xF0\x9F\x98\x80",
        "DATE=2024",
        "COMMENT=line one",  // vorbiscomment lists the line feed as it is
        "line two",
        "COPYRIGHT=(c) Someone",
        "TRACKNUMBER=7",
    };
    EXPECT_EQ(list, expected);
    // ffprobe, a second reader, agrees on the characters outside the Basic Multilingual Plane.
    std::string album;
    ASSERT_EQ(testutil::Run("ffprobe -v error -show_entries stream_tags=album -of csv=p=0 " + Quote(path), &album), 0);
    EXPECT_EQ(album, "Smile \xF0\x9F\x98\x80\n");
    // The vendor string is libvorbis's own.
    std::string info;
    testutil::Run("ogginfo " + Quote(path), &info);
    EXPECT_NE(info.find("Vendor: Xiph.Org libVorbis"), std::string::npos) << info;
}

TEST(OggVorbisEncoder, TrackRulesAndMalformedTexts) {
    TempDir dir;
    const Planes tone = Tone(440, 44100, 0.2);
    const struct {
        const char* track;
        const char* expected;  // null: no TRACKNUMBER comment
    } cases[] = {{"0", nullptr},   {"abc", nullptr}, {"", nullptr},      {"-3", nullptr},
                 {"7", "7"},       {"3/12", "3/12"}, {"07", "07"},       {"12", "12"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.track);
        TagRecord t;
        t.track = c.track;
        const std::string path = dir.file("track.ogg");
        ASSERT_TRUE(EncodeFile(path, 44100, 2, 96, tone, &t));
        const auto list = testutil::VorbisCommentList(path);
        if (c.expected)
            EXPECT_EQ(list, std::vector<std::string>{std::string("TRACKNUMBER=") + c.expected});
        else
            EXPECT_TRUE(list.empty());
    }

    // Text that is not valid UTF-8 is skipped; a second SetComments replaces the first.
    TagRecord bad;
    bad.title = "\xE9t\xE9";  // Latin-1 bytes
    bad.artist = "fine";
    const std::string path = dir.file("bad.ogg");
    {
        OggVorbisEncoder enc;
        ASSERT_EQ(enc.Open(path), 1);
        ASSERT_EQ(enc.Configure(44100, 1, 64000), 1);
        TagRecord first;
        first.album = "replaced";
        enc.SetComments(first);
        enc.SetComments(bad);
        ASSERT_EQ(enc.Start(), 1);
        first.album = "too late";
        enc.SetComments(first);  // after Start: ignored
        ASSERT_TRUE(EncodeAll(enc, tone, false));
        ASSERT_EQ(enc.EncodeBlock(nullptr, nullptr, 0), 1);
        ASSERT_EQ(enc.Close(), 1);
    }
    EXPECT_EQ(testutil::VorbisCommentList(path), std::vector<std::string>{"ARTIST=fine"});
}

// Tags read from MP3, FLAC and M4A files the way the OGG pipeline takes them (the transfer policy)
// reach the comments unchanged.
TEST(OggVorbisEncoder, TagsTransferredFromOtherFormatsReadBack) {
    TempDir dir;
    CodecHost host;
    ASSERT_EQ(host.Start(testutil::BinDir() + "/"), CodecHost::StartResult::Ok);
    const std::string wav = dir.file("src.wav");
    ASSERT_TRUE(testutil::WriteWav16(wav, testutil::Sine(440, 44100, 2, 0.5), 44100, 2));
    const std::string meta =
        " -metadata title=" + Quote("Gr\xC3\xBC\xC3\x9F" "e \xF0\x9F\x8E\xB5") + " -metadata artist=" +
        Quote("\xE6\x97\xA5\xE6\x9C\xAC") + " -metadata album=Album -metadata date=1999 -metadata track=4 ";
    const struct {
        const char* name;
        int type;
        const char* args;
    } sources[] = {{"s.mp3", kSourceMp3, "-c:a libmp3lame -b:a 128k -id3v2_version 3"},
                   {"s.flac", kSourceFlac, "-c:a flac"},
                   {"s.m4a", kSourceM4a, "-c:a aac -b:a 128k"}};
    for (const auto& s : sources) {
        SCOPED_TRACE(s.name);
        const std::string src = dir.file(s.name);
        ASSERT_EQ(testutil::Run("ffmpeg -v error -nostdin -y -i " + Quote(wav) + meta + s.args + " " + Quote(src)), 0);
        auto source = CreateSource(src, s.type, 44100, kPurposeConvert);
        ASSERT_TRUE(source);
        TagChoiceInputs in;
        in.policy = kTagPolicyTransfer;
        in.sourcePath = src;
        in.sourceType = s.type;
        const TagChoice choice = ChooseTags(in, *source);
        ASSERT_EQ(choice.kind, TagChoice::kTexts);
        const std::string path = dir.file("t.ogg");
        ASSERT_TRUE(EncodeFile(path, 44100, 2, 128, Tone(440, 44100, 0.2), &choice.texts));
        const std::vector<std::string> expected = {
            "TITLE=Gr\xC3\xBC\xC3\x9F" "e \xF0\x9F\x8E\xB5", "ARTIST=\xE6\x97\xA5\xE6\x9C\xAC", "ALBUM=Album",
            "DATE=1999", "TRACKNUMBER=4"};
        EXPECT_EQ(testutil::VorbisCommentList(path), expected);
    }
}

// ---------------------------------------------------------------------------------------------------
// Failures and lifecycle

TEST(OggVorbisEncoder, WriteFailuresFailTheEncoderWithAReason) {
    // Noise over the tone keeps the encoder busy: about 40 kB of pages.
    Planes tone = Tone(440, 44100, 3.0);
    uint32_t seed = 99;
    for (auto* plane : {&tone.left, &tone.right})
        for (int16_t& v : *plane) {
            seed = seed * 1664525u + 1013904223u;
            v = static_cast<int16_t>(v + static_cast<int>(seed >> 21) - 1024);
        }

    // A full device: the pages do not reach it. Whatever step meets the failure first reports it,
    // every later step returns 0, and Close says so too.
    {
        OggVorbisEncoder enc;
        ASSERT_EQ(enc.Open("/dev/full"), 1);
        ASSERT_EQ(enc.Configure(44100, 2, 128000), 1);
        if (enc.Start() == 1) {
            EXPECT_FALSE(EncodeAll(enc, tone, true));
        }
        EXPECT_TRUE(enc.Failed());
        EXPECT_NE(enc.FailureReason().find("/dev/full"), std::string::npos) << enc.FailureReason();
        EXPECT_NE(enc.FailureReason().find("No space"), std::string::npos) << enc.FailureReason();
        EXPECT_EQ(enc.EncodeBlock(tone.left.data(), tone.right.data(), 1152), 0);
        EXPECT_EQ(enc.EncodeBlock(nullptr, nullptr, 0), 0);
        EXPECT_EQ(enc.Close(), 0);
        EXPECT_EQ(enc.Close(), 0);
        EXPECT_FALSE(enc.FailureReason().empty());
    }

    // A short write part-way (the file may not grow beyond a limit): the block that meets it
    // fails, the following ones are refused, Close reports it.
    TempDir dir;
    for (const size_t limit : {size_t{100}, size_t{6000}, size_t{20000}}) {
        SCOPED_TRACE(limit);
        const std::string path = dir.file("short.ogg");
        const int result = testutil::RunWithFileSizeLimit(limit, [&] {
            OggVorbisEncoder enc;
            if (!enc.Open(path) || !enc.Configure(44100, 2, 128000)) return 1;
            const bool started = enc.Start() == 1;
            bool blockFailed = !started;
            if (started) blockFailed = !EncodeAll(enc, tone, true) || !enc.EncodeBlock(nullptr, nullptr, 0);
            int bits = 0;
            if (!blockFailed) bits |= 2;  // the failure went unseen until Close
            if (enc.EncodeBlock(tone.left.data(), tone.right.data(), 1152) != 0) bits |= 4;
            if (enc.Close() != 0) bits |= 8;
            if (enc.FailureReason().find("Failed to write file") == std::string::npos) bits |= 16;
            return bits;
        });
        if (limit == 100)
            EXPECT_TRUE(result == 0 || result == 2) << result;  // the headers may wait in the buffer
        else
            EXPECT_EQ(result, 0);
        EXPECT_LE(std::filesystem::file_size(path), limit);
    }
    // Without a limit the same signal needs more room than the largest limit above.
    const std::string whole = dir.file("whole.ogg");
    ASSERT_TRUE(EncodeFile(whole, 44100, 2, 128, tone));
    EXPECT_GT(std::filesystem::file_size(whole), 30000u);
}

TEST(OggVorbisEncoder, CallsOutOfOrderAreRefusedWithoutHarm) {
    TempDir dir;
    const Planes tone = Tone(440, 8000, 0.5);

    // Nothing open.
    {
        OggVorbisEncoder enc;
        EXPECT_EQ(enc.Configure(44100, 2, 128000), 0);
        EXPECT_EQ(enc.Start(), 0);
        EXPECT_EQ(enc.EncodeBlock(tone.left.data(), tone.right.data(), 100), 0);
        enc.SetComments(TagRecord{});
        EXPECT_EQ(enc.Close(), 1);
        EXPECT_EQ(enc.Close(), 1);
    }
    // A folder that does not exist.
    {
        OggVorbisEncoder enc;
        EXPECT_EQ(enc.Open(dir.file("no/such/folder/x.ogg")), 0);
        EXPECT_NE(enc.FailureReason().find("Failed to create file"), std::string::npos) << enc.FailureReason();
        EXPECT_FALSE(enc.IsOpen());
        EXPECT_EQ(enc.Configure(44100, 2, 128000), 0);
        EXPECT_EQ(enc.Start(), 0);
    }
    // Open but not configured, then set-ups libvorbisenc cannot serve, then one it can.
    const std::string path = dir.file("order.ogg");
    {
        OggVorbisEncoder enc;
        ASSERT_EQ(enc.Open(path), 1);
        EXPECT_EQ(enc.Start(), 0);
        EXPECT_EQ(enc.Configure(44100, 6, 128000), 0);  // only one or two channels are fed
        EXPECT_FALSE(enc.FailureReason().empty());
        EXPECT_EQ(enc.Configure(8000, 2, 480000), 0);
        EXPECT_NE(enc.FailureReason().find("8000 Hz"), std::string::npos) << enc.FailureReason();
        EXPECT_EQ(enc.Configure(0, 2, 128000), 0);
        EXPECT_EQ(enc.Configure(44100, 2, 0), 0);
        EXPECT_FALSE(enc.Failed());  // a refused set-up is no write failure
        ASSERT_EQ(enc.Configure(8000, 2, 64000), 1);
        EXPECT_TRUE(enc.FailureReason().empty());
        EXPECT_EQ(enc.EncodeBlock(tone.left.data(), tone.right.data(), 100), 0);  // not started
        ASSERT_EQ(enc.Start(), 1);
        EXPECT_EQ(enc.Start(), 0);
        EXPECT_EQ(enc.Configure(8000, 2, 64000), 0);  // after Start
        // A stereo block without its right plane is refused and does no harm.
        EXPECT_EQ(enc.EncodeBlock(tone.left.data(), nullptr, 100), 0);
        EXPECT_EQ(enc.EncodeBlock(nullptr, tone.right.data(), 100), 0);
        EXPECT_FALSE(enc.Failed());
        ASSERT_TRUE(EncodeAll(enc, tone, true));
        ASSERT_EQ(enc.EncodeBlock(nullptr, nullptr, 0), 1);
        EXPECT_EQ(enc.EncodeBlock(nullptr, nullptr, 0), 1);  // a second end does nothing
        EXPECT_EQ(enc.EncodeBlock(tone.left.data(), tone.right.data(), 100), 0);  // after the end
        ASSERT_EQ(enc.Close(), 1);
        const auto once = testutil::ReadFileBytes(path);
        EXPECT_EQ(enc.Close(), 1);
        EXPECT_EQ(testutil::ReadFileBytes(path), once);
    }
    ExpectValidOgg(path);
    const std::string wav = dir.file("order.wav");
    ASSERT_EQ(testutil::Run("oggdec -Q -o " + Quote(wav) + " " + Quote(path)), 0);
    EXPECT_EQ(ReadWav(wav).samples.size(), tone.left.size() * 2);

    // The destructor closes an encoder that is still open; opening again starts a new file.
    const std::string second = dir.file("second.ogg");
    {
        OggVorbisEncoder enc;
        ASSERT_EQ(enc.Open(path), 1);
        ASSERT_EQ(enc.Open(second), 1);
        ASSERT_EQ(enc.Configure(8000, 1, 16000), 1);
        ASSERT_EQ(enc.Start(), 1);
        ASSERT_TRUE(EncodeAll(enc, tone, false));
        ASSERT_EQ(enc.EncodeBlock(nullptr, nullptr, 0), 1);
    }
    EXPECT_EQ(std::filesystem::file_size(path), 0u);
    ExpectValidOgg(second);
}
