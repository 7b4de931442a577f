#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "sources/BassSource.h"
#include "sources/CodecHost.h"
#include "sources/OggVorbisSource.h"
#include "sources/SourceFactory.h"
#include "support/BassTestUtil.h"
#include "support/OggTestUtil.h"
#include "support/TestUtil.h"

using namespace sonavert;
using testutil::Quote;
using testutil::TempDir;

namespace {

constexpr int16_t kUntouched = 0x5A5A;

struct Decoded {
    std::vector<int16_t> left, right;
    std::vector<uint32_t> blocks;
    std::vector<uint64_t> positions;
    bool rightTouched = false;
};

Decoded DecodeAll(AudioSource& src) {
    Decoded d;
    for (;;) {
        std::vector<int16_t> l(kBlockFrames), r(kBlockFrames, kUntouched);
        const uint32_t n = src.Read(l.data(), r.data());
        if (n == 0) break;
        d.blocks.push_back(n);
        d.positions.push_back(src.GetPosition());
        if (n > kBlockFrames) break;
        d.left.insert(d.left.end(), l.begin(), l.begin() + n);
        d.right.insert(d.right.end(), r.begin(), r.begin() + n);
        for (uint32_t i = 0; i < n; ++i) d.rightTouched |= r[i] != kUntouched;
    }
    return d;
}

// The tone of channel c in the multi-channel signals.
double ToneOf(int c) { return 300.0 + 170.0 * c; }

// Interleaved: a different tone on every channel so that a mix-up shows.
std::vector<int16_t> Tones(int rate, int channels, double seconds) {
    const size_t frames = static_cast<size_t>(rate * seconds);
    std::vector<int16_t> out(frames * channels);
    for (size_t i = 0; i < frames; ++i)
        for (int c = 0; c < channels; ++c)
            out[i * channels + c] = static_cast<int16_t>(std::lround(9000.0 * std::sin(2 * M_PI * ToneOf(c) * i / rate)));
    return out;
}

// The tones with noise added, so that the encoder fills many pages.
std::vector<int16_t> NoisyTones(int rate, int channels, double seconds) {
    auto out = Tones(rate, channels, seconds);
    uint32_t seed = 12345;
    for (int16_t& v : out) {
        seed = seed * 1664525u + 1013904223u;
        v = static_cast<int16_t>(v + static_cast<int>(seed >> 20) - 2048);
    }
    return out;
}

double Frequency(const std::vector<int16_t>& plane, int rate) { return testutil::EstimateFrequency(plane, 1, 0, rate); }

// Largest difference between a plane and channel `channel` of an interleaved reference; the frame
// counts must agree.
int MaxDiff(const std::vector<int16_t>& plane, const std::vector<int16_t>& ref, int refChannels, int channel) {
    EXPECT_EQ(plane.size() * refChannels, ref.size());
    int worst = 0;
    const size_t n = std::min(plane.size(), ref.size() / refChannels);
    for (size_t i = 0; i < n; ++i) worst = std::max(worst, std::abs(plane[i] - ref[i * refChannels + channel]));
    return worst;
}

}  // namespace

class OggVorbisSourceTest : public ::testing::Test {
protected:
    TempDir dir;
    std::string Wav(const std::vector<int16_t>& samples, int rate, int channels) {
        const std::string path = dir.file("in-" + std::to_string(channels) + ".wav");
        EXPECT_TRUE(testutil::WriteWav16(path, samples, rate, channels));
        return path;
    }
    std::string Oggenc(const std::string& wav, const std::string& name, const std::string& args) {
        const std::string out = dir.file(name);
        EXPECT_EQ(testutil::Run("oggenc -Q " + args + " -o " + Quote(out) + " " + Quote(wav)), 0);
        return out;
    }
    std::string Ffmpeg(const std::string& input, const std::string& name, const std::string& args) {
        const std::string out = dir.file(name);
        EXPECT_EQ(testutil::Run("ffmpeg -v error -nostdin -y -i " + Quote(input) + " " + args + " " + Quote(out)), 0)
            << args;
        return out;
    }
    std::string Written(const std::string& name, const std::vector<int16_t>& samples, int channels, int rate,
                        const testutil::VorbisFileOptions& options = {}) {
        const std::string path = dir.file(name);
        EXPECT_TRUE(testutil::WriteVorbisFile(path, samples, channels, rate, options));
        return path;
    }
    // The samples oggdec (the reference tool over the same library) writes for `path`, interleaved.
    std::vector<int16_t> Oggdec(const std::string& path) {
        const std::string wav = dir.file("oggdec.wav");
        EXPECT_EQ(testutil::Run("oggdec -Q -o " + Quote(wav) + " " + Quote(path)), 0);
        const auto bytes = testutil::ReadFileBytes(wav);
        std::vector<int16_t> out;
        if (bytes.size() < 44) return out;
        out.resize((bytes.size() - 44) / 2);
        if (!out.empty()) std::memcpy(out.data(), bytes.data() + 44, out.size() * 2);
        return out;
    }
};

TEST_F(OggVorbisSourceTest, StereoFileReportsItsFormatAndDecodesLikeTheReferenceTool) {
    const auto pcm = Tones(44100, 2, 1.3);
    const std::string path = Oggenc(Wav(pcm, 44100, 2), "a.ogg", "-b 128");
    OggVorbisSource src;
    ASSERT_EQ(src.Open(path, 12345), 1);
    EXPECT_EQ(src.GetSampleRate(), 44100u);
    EXPECT_EQ(src.GetStoredChannels(), 2u);
    EXPECT_EQ(src.GetChannels(), 2u);
    EXPECT_EQ(src.GetBitsPerSample(), 16u);
    EXPECT_EQ(src.GetBitRate(), 128u);  // the nominal bit rate of the header
    EXPECT_EQ(src.GetChannelMode(), kModeNone);
    EXPECT_EQ(src.GetDuration(), 1);
    EXPECT_EQ(src.GetLength(), pcm.size() / 2);  // samples per channel
    EXPECT_EQ(src.GetPosition(), 0u);

    const Decoded d = DecodeAll(src);
    ASSERT_FALSE(d.blocks.empty());
    for (uint32_t n : d.blocks) ASSERT_LE(n, 1024u);  // 4096 bytes of two 16-bit channels at most
    for (size_t i = 1; i < d.positions.size(); ++i) ASSERT_GE(d.positions[i], d.positions[i - 1]);
    EXPECT_EQ(d.positions.back(), src.GetLength());
    const auto ref = Oggdec(path);
    EXPECT_EQ(MaxDiff(d.left, ref, 2, 0), 0);
    EXPECT_EQ(MaxDiff(d.right, ref, 2, 1), 0);
    EXPECT_NEAR(Frequency(d.left, 44100), ToneOf(0), 3);
    EXPECT_NEAR(Frequency(d.right, 44100), ToneOf(1), 3);
    // The end stays the end.
    std::vector<int16_t> l(kBlockFrames), r(kBlockFrames);
    EXPECT_EQ(src.Read(l.data(), r.data()), 0u);
}

TEST_F(OggVorbisSourceTest, MonoWritesOnlyTheLeftPlane) {
    const auto pcm = Tones(22050, 1, 1.0);
    const std::string path = Oggenc(Wav(pcm, 22050, 1), "m.ogg", "-q 3");
    OggVorbisSource src;
    ASSERT_EQ(src.Open(path, 0), 1);
    EXPECT_EQ(src.GetStoredChannels(), 1u);
    EXPECT_EQ(src.GetChannels(), 1u);
    EXPECT_EQ(src.GetSampleRate(), 22050u);
    EXPECT_GT(src.GetBitRate(), 0u);
    const Decoded d = DecodeAll(src);
    EXPECT_FALSE(d.rightTouched);
    for (uint32_t n : d.blocks) ASSERT_LE(n, kBlockFrames);
    EXPECT_EQ(MaxDiff(d.left, Oggdec(path), 1, 0), 0);
    EXPECT_EQ(d.left.size(), pcm.size());

    // A null right plane is fine for a mono source.
    OggVorbisSource again;
    ASSERT_EQ(again.Open(path, 0), 1);
    std::vector<int16_t> l(kBlockFrames);
    EXPECT_GT(again.Read(l.data(), nullptr), 0u);
}

// A 5.1 file made from a WAV (front left, front right, centre, LFE, back left, back right, each with
// its own tone) by FFmpeg's libvorbis wrapper, which stores Vorbis order (FL C FR RL RR LFE).
TEST_F(OggVorbisSourceTest, SixChannelFileDeliversTheStereoDownmix) {
    const auto six = Tones(44100, 6, 1.0);
    const std::string path = Ffmpeg(Wav(six, 44100, 6), "six.ogg", "-c:a libvorbis -q:a 5 -channel_layout 5.1");
    OggVorbisSource src;
    ASSERT_EQ(src.Open(path, 0), 1);
    EXPECT_EQ(src.GetStoredChannels(), 6u);
    EXPECT_EQ(src.GetChannels(), 2u);
    const Decoded d = DecodeAll(src);
    for (uint32_t n : d.blocks) ASSERT_LE(n, 4096u / 12);
    // Each WAV channel's tone where it belongs: centre at -3 dB in both, LFE in neither, each
    // surround on its own side, all scaled by 1 / (1 + 2 x 0.7071).
    const double norm = 1 + 2 * 0.70710678;
    for (int c = 0; c < 6; ++c) {
        EXPECT_NEAR(testutil::ToneAmplitude(d.left, 1, 0, ToneOf(c), 44100), 9000 * testutil::k51LeftGains[c] / norm, 90)
            << c;
        EXPECT_NEAR(testutil::ToneAmplitude(d.right, 1, 0, ToneOf(c), 44100),
                    9000 * testutil::k51RightGains[c] / norm, 90)
            << c;
    }
}

// Files written in Vorbis channel order with a tone per stored channel: every count is mixed by
// the positions of that order; nine or more channels (no defined order) keep the first two.
TEST_F(OggVorbisSourceTest, EveryChannelCountIsMixedByTheVorbisOrder) {
    const double h = 0.70710678;
    const struct {
        int channels;
        std::vector<double> left, right;  // gains before the scaling against clipping
    } cases[] = {
        {2, {1, 0}, {0, 1}},
        {3, {1, h, 0}, {0, h, 1}},                                         // L C R
        {4, {1, 0, h, 0}, {0, 1, 0, h}},                                   // FL FR BL BR
        {5, {1, h, 0, h, 0}, {0, h, 1, 0, h}},                             // FL C FR BL BR
        {6, {1, h, 0, h, 0, 0}, {0, h, 1, 0, h, 0}},                       // ... LFE
        {7, {1, h, 0, h, 0, h, 0}, {0, h, 1, 0, h, h, 0}},                 // FL C FR SL SR BC LFE
        {8, {1, h, 0, h, 0, h, 0, 0}, {0, h, 1, 0, h, 0, h, 0}},           // FL C FR SL SR BL BR LFE
        {9, {1, 0, 0, 0, 0, 0, 0, 0, 0}, {0, 1, 0, 0, 0, 0, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.channels << " channels");
        const auto pcm = Tones(32000, c.channels, 0.6);
        const std::string path = Written("ch.ogg", pcm, c.channels, 32000);
        OggVorbisSource src;
        ASSERT_EQ(src.Open(path, 0), 1);
        EXPECT_EQ(src.GetStoredChannels(), static_cast<uint32_t>(c.channels));
        EXPECT_EQ(src.GetChannels(), 2u);
        const Decoded d = DecodeAll(src);
        EXPECT_EQ(d.left.size(), pcm.size() / c.channels);
        double ls = 0, rs = 0;
        for (int ch = 0; ch < c.channels; ++ch) {
            ls += c.left[ch];
            rs += c.right[ch];
        }
        const double norm = std::max(ls, rs);
        for (int ch = 0; ch < c.channels; ++ch) {
            EXPECT_NEAR(testutil::ToneAmplitude(d.left, 1, 0, ToneOf(ch), 32000), 9000 * c.left[ch] / norm, 300) << ch;
            EXPECT_NEAR(testutil::ToneAmplitude(d.right, 1, 0, ToneOf(ch), 32000), 9000 * c.right[ch] / norm, 300)
                << ch;
        }
    }
}

// Links of 44.1, 8 and 96 kHz (the last one mono) laid end to end: every link comes at the first
// link's rate and channel count, so the tone keeps its pitch and the chain its length.
TEST_F(OggVorbisSourceTest, ChainedLinksOfOtherRatesKeepPitchAndLength) {
    const struct {
        int rate, channels;
    } links[] = {{44100, 2}, {8000, 2}, {96000, 1}};
    std::string cat = "cat";
    for (size_t i = 0; i < 3; ++i) {
        const std::string wav = dir.file("link" + std::to_string(i) + ".wav");
        ASSERT_EQ(testutil::Run("sox -n -r " + std::to_string(links[i].rate) + " -c " +
                                std::to_string(links[i].channels) + " -b 16 " + Quote(wav) +
                                " synth 2 sine 300 vol 0.5"),
                  0);
        cat += " " + Quote(Oggenc(wav, "link" + std::to_string(i) + ".ogg", "-q 4"));
    }
    const std::string chain = dir.file("chain.ogg");
    ASSERT_EQ(testutil::Run("sh -c " + Quote(cat + " > " + Quote(chain))), 0);

    OggVorbisSource src;
    ASSERT_EQ(src.Open(chain, 0), 1);
    EXPECT_EQ(src.GetSampleRate(), 44100u);
    EXPECT_EQ(src.GetChannels(), 2u);
    EXPECT_EQ(src.GetDuration(), 6);
    EXPECT_EQ(src.GetLength(), 3u * 88200);
    const Decoded d = DecodeAll(src);
    for (uint32_t n : d.blocks) ASSERT_LE(n, kBlockFrames);
    for (size_t i = 1; i < d.positions.size(); ++i) ASSERT_GE(d.positions[i], d.positions[i - 1]);
    EXPECT_EQ(d.positions.back(), src.GetLength());
    // 300 Hz in each link, away from the joins; the mono link is on both sides.
    auto expectLinks = [](const Decoded& d, double tolerance) {
        ASSERT_NEAR(static_cast<double>(d.left.size()), 3 * 88200.0, tolerance);
        for (size_t i = 0; i < 3; ++i) {
            SCOPED_TRACE(i);
            const auto from = d.left.begin() + static_cast<std::ptrdiff_t>(i * 88200 + 4410);
            const std::vector<int16_t> part(from, from + 79380);
            EXPECT_NEAR(Frequency(part, 44100), 300.0, 1.0);
            EXPECT_NEAR(testutil::ToneAmplitude(part, 1, 0, 300, 44100), 16384, 800);
            const auto rfrom = d.right.begin() + (from - d.left.begin());
            EXPECT_NEAR(testutil::ToneAmplitude(std::vector<int16_t>(rfrom, rfrom + 79380), 1, 0, 300, 44100), 16384,
                        800);
        }
    };
    expectLinks(d, 64);
    // The resampled links come out the same on every decode (no clock-seeded dither).
    OggVorbisSource again;
    ASSERT_EQ(again.Open(chain, 0), 1);
    EXPECT_TRUE(DecodeAll(again).left == d.left);
    // The decoding layer, the next decoder for Ogg files, does the same.
    testutil::BassSession session;
    BassSource bass;
    ASSERT_EQ(bass.Open(chain, 0), 1);
    EXPECT_EQ(bass.GetSampleRate(), 44100u);
    EXPECT_EQ(bass.GetChannels(), 2u);
    // (FFmpeg's demuxer keeps the few priming and end samples each link's granules would trim)
    expectLinks(DecodeAll(bass), 3000);
}

TEST_F(OggVorbisSourceTest, CommentsBecomeTagsLastMatchWinsAnyCase) {
    const std::string longText(5000, 'L');
    testutil::VorbisFileOptions o;
    o.comments = {
        "TITLE=Caf\xC3\xA9 Stra\xC3\x9F" "e",          // é, ß
        "TITLESORT=not the title",
        "ARTIST=First artist",
        "artist=\xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80",  // 日本 and an emoji
        "ARTIST=\xC3\x28 not UTF-8",                    // dropped: it does not win either
        "Album=An album",
        "date=2021-05-01",
        "GENRE=",
        "COMMENT=" + longText,
        "TrackNumber=3/12",
        "COMPOSER=a=b",
        "COPYRIGHT=\xED\xA0\x80 a surrogate",           // dropped
        "COPYRIGHT=(c) 2021",
    };
    const std::string path = Written("tags.ogg", Tones(44100, 2, 0.3), 2, 44100, o);
    OggVorbisSource src;
    ASSERT_EQ(src.Open(path, 0), 1);
    // The two malformed comments are gone, the long one is whole, the order is the file's.
    ASSERT_EQ(src.Comments().size(), o.comments.size() - 2);
    EXPECT_TRUE(src.Comments()[7] == "COMMENT=" + longText) << src.Comments()[7].size();
    EXPECT_EQ(src.Comments()[8], "TrackNumber=3/12");

    TagRecord t;
    t.genre = "stale";
    ASSERT_EQ(src.ReadTags(t), 1);
    EXPECT_EQ(t.title, "Caf\xC3\xA9 Stra\xC3\x9F" "e");
    EXPECT_EQ(t.artist, "\xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80");
    EXPECT_EQ(t.album, "An album");
    EXPECT_EQ(t.year, "2021-05-01");
    EXPECT_EQ(t.genre, "");
    EXPECT_TRUE(t.comment == longText) << t.comment.size();
    EXPECT_EQ(t.track, "3/12");
    EXPECT_EQ(t.composer, "a=b");
    EXPECT_EQ(t.copyright, "(c) 2021");
}

TEST_F(OggVorbisSourceTest, TwoArtistCommentsGiveTheSecondAndLowerCaseKeysAreFound) {
    const auto pcm = Tones(44100, 2, 0.3);
    const std::string wav = Wav(pcm, 44100, 2);
    // Written by oggenc, an independent writer.
    const std::string path = Oggenc(wav, "dup.ogg", "-q 2 -c ARTIST=One -c ARTIST=Two -c title=lower");
    OggVorbisSource src;
    ASSERT_EQ(src.Open(path, 0), 1);
    TagRecord t;
    ASSERT_EQ(src.ReadTags(t), 1);
    EXPECT_EQ(t.artist, "Two");
    EXPECT_EQ(t.title, "lower");
}

TEST_F(OggVorbisSourceTest, FileWithoutCommentsGivesNineEmptyTags) {
    const std::string path = Written("bare.ogg", Tones(44100, 1, 0.3), 1, 44100);
    OggVorbisSource src;
    ASSERT_EQ(src.Open(path, 0), 1);
    EXPECT_TRUE(src.Comments().empty());
    TagRecord t{"a", "b", "c", "d", "e", "f", "g", "h", "i", "j", "k"};
    ASSERT_EQ(src.ReadTags(t), 1);
    for (const std::string* f : {&t.title, &t.artist, &t.album, &t.year, &t.genre, &t.comment, &t.track,
                                 &t.composer, &t.copyright, &t.albumArtist, &t.disc})
        EXPECT_EQ(*f, "");
}

// One lost page is a hole: reading goes on behind it.
TEST_F(OggVorbisSourceTest, SingleHoleIsSkipped) {
    const auto pcm = NoisyTones(44100, 2, 3.0);
    testutil::VorbisFileOptions o;
    o.dropAudioPage = 3;
    const std::string path = Written("hole.ogg", pcm, 2, 44100, o);
    ASSERT_GT(testutil::ParseOggPages(testutil::ReadFileBytes(path)).size(), 10u);
    OggVorbisSource src;
    ASSERT_EQ(src.Open(path, 0), 1);
    const Decoded d = DecodeAll(src);
    EXPECT_LT(d.left.size(), pcm.size() / 2);
    EXPECT_GT(d.left.size(), pcm.size() / 2 * 8 / 10);
    EXPECT_EQ(d.positions.back(), src.GetLength());
}

// A stretch of lost pages gives one hole per call. Up to the bound, reading goes on behind it;
// beyond it the stream ends instead of trying forever.
TEST_F(OggVorbisSourceTest, ConsecutiveHolesEndTheStreamOnlyBeyondTheBound) {
    const auto pcm = Tones(44100, 2, 2.0);
    const size_t page = 255 * 255;  // a packet this long fills pages of 255 full segments
    for (const int holes : {10, OggVorbisSource::kMaxConsecutiveHoles + 6}) {
        SCOPED_TRACE(testing::Message() << holes << " holes");
        testutil::VorbisFileOptions o;
        o.junkAfterPackets = 20;
        o.junkBytes = page * static_cast<size_t>(2 * holes + 1) + 100;
        const std::string path = Written("holes.ogg", pcm, 2, 44100, o);
        OggVorbisSource src;
        ASSERT_EQ(src.Open(path, 0), 1);
        const Decoded d = DecodeAll(src);
        ASSERT_FALSE(d.left.empty());  // the packets in front of the stretch
        if (holes < OggVorbisSource::kMaxConsecutiveHoles) {
            EXPECT_GT(d.left.size(), pcm.size() / 2 * 9 / 10);
        } else {
            EXPECT_LT(d.left.size(), pcm.size() / 4);
            std::vector<int16_t> l(kBlockFrames), r(kBlockFrames);
            EXPECT_EQ(src.Read(l.data(), r.data()), 0u);
        }
    }
}

// Ogg files that do not hold Vorbis are refused, so the factory goes on to the next decoder, which
// still decodes them.
TEST_F(OggVorbisSourceTest, NonVorbisOggFallsBackToTheNextDecoder) {
    const auto pcm = Tones(48000, 2, 1.0);
    const std::string wav = Wav(pcm, 48000, 2);
    const std::string opus = Ffmpeg(wav, "opus.ogg", "-c:a libopus -b:a 96k");
    const std::string flac = Ffmpeg(wav, "flac.oga", "-c:a flac -f ogg");
    const std::string vorbis = Oggenc(wav, "v.ogg", "-q 3");
    const std::string notOgg = dir.file("wav.ogg");
    std::filesystem::copy_file(wav, notOgg);
    const std::string empty = dir.file("empty.ogg");
    testutil::WriteFileBytes(empty, {});

    for (const std::string& p : {opus, flac, notOgg, empty, dir.file("missing.ogg")}) {
        OggVorbisSource src;
        EXPECT_EQ(src.Open(p, 0), 0) << p;
        EXPECT_EQ(src.GetSampleRate(), 0u);
        std::vector<int16_t> l(kBlockFrames), r(kBlockFrames);
        EXPECT_EQ(src.Read(l.data(), r.data()), 0u);
    }

    CodecHost host;
    ASSERT_EQ(host.Start(testutil::BinDir() + "/"), CodecHost::StartResult::Ok);
    {
        auto s = CreateSource(vorbis, kSourceOgg, 44100, kPurposeConvert);
        ASSERT_TRUE(s);
        EXPECT_NE(dynamic_cast<OggVorbisSource*>(s.get()), nullptr);
    }
    for (const std::string& p : {opus, flac}) {
        SCOPED_TRACE(p);
        SourceFactoryContext context;
        auto s = CreateSource(p, kSourceOgg, 44100, kPurposeConvert, &context);
        ASSERT_TRUE(s);
        EXPECT_EQ(dynamic_cast<OggVorbisSource*>(s.get()), nullptr);
        EXPECT_EQ(s->GetChannels(), 2u);
        const Decoded d = DecodeAll(*s);
        const int rate = static_cast<int>(s->GetSampleRate());
        EXPECT_GT(d.left.size(), static_cast<size_t>(rate) * 9 / 10);
        EXPECT_NEAR(Frequency(d.left, rate), ToneOf(0), 3);
        EXPECT_NEAR(Frequency(d.right, rate), ToneOf(1), 3);
        // Restricted to the Vorbis decoder, nothing opens the file.
        SourceFactoryContext onlyOgg;
        onlyOgg.onlyDecoder = "ogg";
        EXPECT_FALSE(CreateSource(p, kSourceOgg, 44100, kPurposeConvert, &onlyOgg));
        EXPECT_FALSE(onlyOgg.failureReason.empty());
    }
}

// Without a nominal bit rate in the header, the file's average bit rate stands in.
TEST_F(OggVorbisSourceTest, MissingNominalBitRateGivesTheAverage) {
    const std::string path = Oggenc(Wav(NoisyTones(44100, 2, 4.0), 44100, 2), "n.ogg", "-b 160");
    auto bytes = testutil::ReadFileBytes(path);
    const auto pages = testutil::ParseOggPages(bytes);
    ASSERT_FALSE(pages.empty());
    // Nominal bit rate: bytes 20..23 of the identification packet, the page body's start.
    const size_t nominal = pages[0].offset + pages[0].length - pages[0].body.size() + 20;
    std::memset(&bytes[nominal], 0, 4);
    testutil::FixOggPageCrc(bytes, pages[0].offset);
    const std::string patched = dir.file("patched.ogg");
    ASSERT_TRUE(testutil::WriteFileBytes(patched, bytes));
    ASSERT_EQ(testutil::ReadVorbisIdHeader(bytes).nominal, 0);
    OggVorbisSource src;
    ASSERT_EQ(src.Open(patched, 0), 1);
    // libvorbisfile's average: about the audio pages' bits over the four seconds (it leaves out
    // the last page).
    const double audioKbps = (bytes.size() - pages[0].length - pages[1].length) * 8 / 4.0 / 1000;
    EXPECT_NEAR(src.GetBitRate(), audioKbps, audioKbps * 0.05);
}

TEST_F(OggVorbisSourceTest, LifecycleIsSafe) {
    const std::string path = Written("l.ogg", Tones(44100, 2, 0.5), 2, 44100, {0.3f, {"TITLE=x"}});
    OggVorbisSource src;
    src.Close();  // nothing open
    TagRecord t;
    EXPECT_EQ(src.ReadTags(t), 0);
    EXPECT_EQ(src.GetPosition(), 0u);
    ASSERT_EQ(src.Open(path, 0), 1);
    ASSERT_EQ(src.Open(path, 0), 1);  // opening again closes first
    std::vector<int16_t> l(kBlockFrames), r(kBlockFrames);
    EXPECT_GT(src.Read(l.data(), r.data()), 0u);
    EXPECT_GT(src.GetPosition(), 0u);
    src.Close();
    src.Close();
    EXPECT_EQ(src.Read(l.data(), r.data()), 0u);
    EXPECT_EQ(src.GetSampleRate(), 0u);
    EXPECT_EQ(src.GetLength(), 0u);
    EXPECT_EQ(src.GetChannelMode(), kModeNone);
    EXPECT_TRUE(src.Comments().empty());
    ASSERT_EQ(src.Open(path, 0), 1);
    ASSERT_EQ(src.ReadTags(t), 1);
    EXPECT_EQ(t.title, "x");
}
