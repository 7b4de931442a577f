// The rules of the OGG, AMR, AAC, MPEG-4, FLAC, ALAC and Opus families on the pipeline skeleton: target format, what is
// converted, the encoder settings handed on, tags, and reasons of failures. The skeleton's common
// steps (Cancel, gain, pick, deletion of a failed target) are covered with the WAV family.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <tuple>
#include <filesystem>

#include <fcntl.h>
#include <unistd.h>

#include "base/GrowingFile.h"
#include "encoders/FaacLayer.h"
#include "encoders/FlacEncoder.h"
#include "engine/Batch.h"
#include "engine/Pipeline.h"
#include "sources/CodecHost.h"
#include "support/AacTestUtil.h"
#include "support/FakeDriver.h"
#include "support/Mp3TestUtil.h"
#include "support/OggTestUtil.h"
#include "support/TestUtil.h"

using namespace sonavert;
namespace fs = std::filesystem;

namespace {

struct FamilyFixture {
    FamilyFixture() { host.Start(testutil::BinDir() + "/"); }
    CodecHost host;
    testutil::TempDir dir;
    Settings settings;
    testutil::FakeDriver driver;
    SourceFactoryContext sources;
    std::string reason;

    int Convert(int format, const std::string& source, const std::string& target, int sourceType = kSourceWav) {
        ConversionContext context{settings, driver, sources, {}};
        ConversionRequest request{sourceType, source, target, 1, format};
        const int result = ConvertFile(format, request, context);
        reason = context.failureReason;
        return result;
    }
    // Stereo 44.1 kHz: a 440 Hz tone on the left, a 1000 Hz tone on the right.
    std::string TwoTones(double seconds = 1.0) { return testutil::WriteTwoToneWav(dir.file("tones.wav"), seconds); }
};

std::string Head(const std::string& path, size_t n) {
    auto bytes = testutil::ReadFileBytes(path);
    return std::string(bytes.begin(), bytes.begin() + static_cast<long>(std::min(n, bytes.size())));
}

// The tone's frequency as sox's statistics estimate it.
double SoxRoughFrequency(const std::string& wav) {
    std::string out;
    // sox prints its statistics on stderr.
    testutil::Run("sh -c " + testutil::Quote("sox " + testutil::Quote(wav) + " -n stat 2>&1"), &out);
    const size_t at = out.find("Rough   frequency:");
    return at == std::string::npos ? -1 : std::stod(out.substr(at + 18));
}

TEST(OggFamily, AutomaticAndManualFormats) {
    FamilyFixture f;
    const std::string source = f.TwoTones();
    // Automatic: the source's channels; 44100 Hz stereo takes 44100 Hz and the table's bit rate.
    ASSERT_EQ(f.Convert(kOutputOgg, source, f.dir.file("auto.ogg")), 1);
    auto id = testutil::ReadVorbisIdHeader(testutil::ReadFileBytes(f.dir.file("auto.ogg")));
    EXPECT_EQ(id.rate, 44100u);
    EXPECT_EQ(id.channels, 2);
    auto pcm = testutil::FfmpegDecodeS16(f.dir.file("auto.ogg"));
    EXPECT_NEAR(testutil::EstimateFrequency(pcm, 2, 0, 44100), 440, 10);
    EXPECT_NEAR(testutil::EstimateFrequency(pcm, 2, 1, 44100), 1000, 20);

    // Manual: 480 kbps at 22050 Hz stereo is limited to 160 kbps nominal; the rate is converted.
    f.settings.AutoDestOGGEncodingParam = 0;
    f.settings.OGGSampleRate = 22050;
    f.settings.OGGChannels = 2;
    f.settings.OGGBitRate = 480;
    ASSERT_EQ(f.Convert(kOutputOgg, source, f.dir.file("manual.ogg")), 1);
    id = testutil::ReadVorbisIdHeader(testutil::ReadFileBytes(f.dir.file("manual.ogg")));
    EXPECT_EQ(id.rate, 22050u);
    EXPECT_EQ(id.nominal, 160000);
    // One second at 22050 Hz (ffmpeg does not trim the last Vorbis block to the stream's end).
    const size_t frames = testutil::FfmpegDecodeS16(f.dir.file("manual.ogg")).size() / 2;
    EXPECT_GE(frames, 22050u);
    EXPECT_LT(frames, 22050u + 1024u);

    // Manual mono with MonoType 2: the right channel's tone alone.
    f.settings.OGGChannels = 1;
    f.settings.MonoType = 2;
    ASSERT_EQ(f.Convert(kOutputOgg, source, f.dir.file("right.ogg")), 1);
    auto right = testutil::FfmpegDecodeS16(f.dir.file("right.ogg"));
    EXPECT_NEAR(testutil::EstimateFrequency(right, 1, 0, 22050), 1000, 20);
}

TEST(OggFamily, CommentsByPolicy) {
    FamilyFixture f;
    const std::string source = f.TwoTones(0.3);
    f.settings.OGGID3TagType = 0;
    f.settings.OGGTag.TitleAsFileName = 0;
    f.settings.OGGTag.Title = "Typed";
    f.settings.OGGTag.Artist = "日本 🎵";
    f.settings.OGGTag.TrackNumType = 2;
    f.settings.OGGTag.CustomTrackNum = 7;
    ASSERT_EQ(f.Convert(kOutputOgg, source, f.dir.file("t.ogg")), 1);
    bool ok = false;
    auto comments = testutil::VorbisCommentList(f.dir.file("t.ogg"), &ok);
    ASSERT_TRUE(ok);
    auto has = [&](const std::string& c) { return std::find(comments.begin(), comments.end(), c) != comments.end(); };
    EXPECT_TRUE(has("TITLE=Typed"));
    EXPECT_TRUE(has("ARTIST=日本 🎵"));
    EXPECT_TRUE(has("TRACKNUMBER=7"));

    // The source's tags carried over from an MP3.
    std::string mp3 = f.dir.file("src.mp3");
    ASSERT_EQ(testutil::Run("lame --quiet -b 128 --tt FromMp3 --tn 4 " + testutil::Quote(source) + " " +
                            testutil::Quote(mp3)),
              0);
    f.settings.OGGID3TagType = 1;
    ASSERT_EQ(f.Convert(kOutputOgg, mp3, f.dir.file("m.ogg"), kSourceMp3), 1);
    comments = testutil::VorbisCommentList(f.dir.file("m.ogg"), &ok);
    EXPECT_TRUE(has("TITLE=FromMp3"));
    EXPECT_TRUE(has("TRACKNUMBER=4"));
}

TEST(AmrFamily, BandRateAndChannelFollowTheFormatAndMonoType) {
    FamilyFixture f;
    const std::string source = f.TwoTones();
    // Narrow band: 8000 Hz mono, both channels mixed.
    ASSERT_EQ(f.Convert(kOutputAmr, source, f.dir.file("mix.amr")), 1);
    EXPECT_EQ(Head(f.dir.file("mix.amr"), 6), "#!AMR\n");
    auto probe = testutil::Probe(f.dir.file("mix.amr"), "stream=sample_rate,channels");
    EXPECT_EQ(probe["sample_rate"], "8000");
    EXPECT_EQ(probe["channels"], "1");
    auto mix = testutil::FfmpegDecodeS16(f.dir.file("mix.amr"));
    EXPECT_EQ(mix.size(), 8000u) << "one second at 8000 Hz, the resampler's tail included";

    // MonoType 2 keeps the right channel's tone alone.
    f.settings.MonoType = 2;
    ASSERT_EQ(f.Convert(kOutputAmr, source, f.dir.file("right.amr")), 1);
    auto right = testutil::FfmpegDecodeS16(f.dir.file("right.amr"));
    EXPECT_NEAR(testutil::EstimateFrequency(right, 1, 0, 8000), 1000, 15);

    // AMRType 1 writes a wide-band stream into a ".amr" file; AWB is wide band whatever AMRType says.
    f.settings.AMRType = 1;
    ASSERT_EQ(f.Convert(kOutputAmr, source, f.dir.file("wide.amr")), 1);
    EXPECT_EQ(Head(f.dir.file("wide.amr"), 9), "#!AMR-WB\n");
    f.settings.AMRType = 0;
    ASSERT_EQ(f.Convert(kOutputAwb, source, f.dir.file("x.awb")), 1);
    EXPECT_EQ(Head(f.dir.file("x.awb"), 9), "#!AMR-WB\n");
    EXPECT_EQ(testutil::FfmpegDecodeS16(f.dir.file("x.awb")).size(), 16000u);
}

TEST(AmrFamily, ModesAndDtxComeFromTheBandsSettings) {
    FamilyFixture f;
    const std::string source = f.TwoTones(0.5);
    f.settings.AMRMode = 0;  // 4.75 kbps: 13-byte frames
    ASSERT_EQ(f.Convert(kOutputAmr, source, f.dir.file("m0.amr")), 1);
    EXPECT_EQ(testutil::ReadFileBytes(f.dir.file("m0.amr"))[6] >> 3 & 0x0f, 0);
    f.settings.AWBMode = 8;  // 23.85 kbps
    f.settings.AMRWBMode = 2;
    ASSERT_EQ(f.Convert(kOutputAwb, source, f.dir.file("m8.awb")), 1);
    EXPECT_EQ(testutil::ReadFileBytes(f.dir.file("m8.awb"))[9] >> 3 & 0x0f, 8);
    f.settings.AMRType = 1;
    ASSERT_EQ(f.Convert(kOutputAmr, source, f.dir.file("m2.amr")), 1);
    EXPECT_EQ(testutil::ReadFileBytes(f.dir.file("m2.amr"))[9] >> 3 & 0x0f, 2);
}

TEST(AacFamily, SourceFormatKeptAndSettingsHandedOn) {
    FamilyFixture f;
    // An 8-bit mono 22050 Hz source stays 22050 Hz mono.
    std::string eight = f.dir.file("eight.wav");
    ASSERT_EQ(testutil::Run("sox -D -n -r 22050 -c 1 -b 8 " + testutil::Quote(eight) + " synth 1 sine 500"), 0);
    ASSERT_EQ(f.Convert(kOutputAac, eight, f.dir.file("eight.aac")), 1);
    auto pcm = testutil::FfmpegDecodeS16(f.dir.file("eight.aac"));
    auto probe = testutil::Probe(f.dir.file("eight.aac"), "stream=sample_rate,channels");
    EXPECT_EQ(probe["sample_rate"], "22050");
    EXPECT_EQ(probe["channels"], "1");
    // Coding noise round zero fools a crossing count: sox measures the tone.
    ASSERT_EQ(testutil::Run("ffmpeg -v error -y -i " + testutil::Quote(f.dir.file("eight.aac")) + " " +
                            testutil::Quote(f.dir.file("decoded.wav"))),
              0);
    EXPECT_NEAR(SoxRoughFrequency(f.dir.file("decoded.wav")), 500, 10);
    auto in = testutil::FfmpegDecodeS16(eight);
    EXPECT_NEAR(testutil::RmsLevel(pcm, 1, 0), testutil::RmsLevel(in, 1, 0), 0.05);

    // Manual: 128 kbps for two channels is 64000 per channel; MPEG version 1 marks MPEG-2 headers.
    const std::string source = f.TwoTones(3.0);
    f.settings.AutoDestAACEncodingParam = 0;
    f.settings.AACVBR = 0;
    f.settings.AACABRBitRate = 128;
    f.settings.AACMpegVersion = 1;
    ASSERT_EQ(f.Convert(kOutputAac, source, f.dir.file("abr.aac")), 1);
    auto frames = testutil::ParseAdts(testutil::ReadFileBytes(f.dir.file("abr.aac")));
    ASSERT_GT(frames.size(), 100u);
    EXPECT_EQ(frames[0].mpeg2, 1);
    size_t bytes = 0;
    for (const auto& fr : frames) bytes += fr.length;
    EXPECT_NEAR(bytes * 8.0 / 3.0, 128000, 128000 * 0.1);
}

// Rates AAC has no table entry for are resampled instead of refused: high-resolution rates to
// their exact half, others to the nearest AAC rate; the tone and the length survive.
TEST(AacFamily, UnencodableRatesAreResampled) {
    FamilyFixture f;
    const struct {
        int sourceRate, channels, format;
        const char* target;
        int expectedRate;
    } cases[] = {{192000, 2, kOutputAac, "hi.aac", 96000},
                 {192000, 2, kOutputMp4, "hi.m4a", 96000},
                 {176400, 1, kOutputMp4, "hi.m4b", 88200},
                 {37800, 1, kOutputAac, "odd.aac", 32000}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target);
        const std::string source = f.dir.file("src.wav");
        ASSERT_TRUE(testutil::WriteWav16(source, testutil::Sine(1000, c.sourceRate, c.channels, 1.0), c.sourceRate,
                                         c.channels));
        ASSERT_EQ(f.Convert(c.format, source, f.dir.file(c.target)), 1) << f.reason;
        auto probe = testutil::Probe(f.dir.file(c.target), "stream=sample_rate,channels");
        EXPECT_EQ(probe["sample_rate"], std::to_string(c.expectedRate));
        EXPECT_EQ(probe["channels"], std::to_string(c.channels));
        const auto pcm = testutil::FfmpegDecodeS16(f.dir.file(c.target));
        const size_t frames = pcm.size() / static_cast<size_t>(c.channels);
        EXPECT_GE(frames, static_cast<size_t>(c.expectedRate));
        EXPECT_LT(frames, static_cast<size_t>(c.expectedRate) + 3 * kAacFrameLength);
        // A crossing count (coding noise in the silent priming adds a few); a rate left unconverted
        // or mislabelled would be off by 15 % or more.
        EXPECT_NEAR(testutil::EstimateFrequency(pcm, c.channels, 0, c.expectedRate), 1000, 30);
    }
}

TEST(AacFamily, EncoderRefusalFailsWithItsReason) {
    FamilyFixture f;
    std::string low = f.dir.file("low.wav");
    testutil::WriteWav16(low, testutil::Sine(440, 8000, 2, 0.5), 8000, 2);
    f.settings.AutoDestAACEncodingParam = 0;
    f.settings.AACVBR = 0;
    f.settings.AACABRBitRate = 320;  // more than an 8000 Hz frame holds
    EXPECT_EQ(f.Convert(kOutputAac, low, f.dir.file("low.aac")), 0);
    EXPECT_FALSE(f.reason.empty());
    EXPECT_FALSE(fs::exists(f.dir.file("low.aac")));
}

TEST(Mp4Family, TagsByPolicyAndEveryExtensionTheSameFile) {
    FamilyFixture f;
    const std::string source = f.TwoTones();
    f.settings.M4AID3TagType = 0;
    f.settings.M4ATag.Title = "Typed Title";
    f.settings.M4ATag.TitleAsFileName = 0;
    f.settings.M4ATag.Artist = "Åsa";
    f.settings.M4ATag.TrackNumType = 2;
    f.settings.M4ATag.CustomTrackNum = 7;
    ASSERT_EQ(f.Convert(kOutputM4a, source, f.dir.file("t.m4a")), 1);
    auto tags = testutil::FfprobeTags(f.dir.file("t.m4a"));
    EXPECT_EQ(tags["title"], "Typed Title");
    EXPECT_EQ(tags["artist"], "Åsa");
    EXPECT_EQ(tags["track"], "7");
    auto probe = testutil::Probe(f.dir.file("t.m4a"), "stream=codec_name,sample_rate,channels");
    EXPECT_EQ(probe["codec_name"], "aac");
    EXPECT_EQ(probe["sample_rate"], "44100");
    EXPECT_EQ(probe["channels"], "2");

    // The source's own tags under policy 1; none under any other.
    std::string mp3 = f.dir.file("src.mp3");
    ASSERT_EQ(testutil::Run("lame --quiet -b 128 --tt FromMp3 --ta Band " + testutil::Quote(source) + " " +
                            testutil::Quote(mp3)),
              0);
    f.settings.M4AID3TagType = 1;
    ASSERT_EQ(f.Convert(kOutputM4b, mp3, f.dir.file("s.m4b"), kSourceMp3), 1);
    tags = testutil::FfprobeTags(f.dir.file("s.m4b"));
    EXPECT_EQ(tags["title"], "FromMp3");
    EXPECT_EQ(tags["artist"], "Band");
    f.settings.M4AID3TagType = 2;
    ASSERT_EQ(f.Convert(kOutputM4a, mp3, f.dir.file("n.m4a"), kSourceMp3), 1);
    EXPECT_EQ(testutil::FfprobeTags(f.dir.file("n.m4a")).count("title"), 0u);
    ASSERT_EQ(f.Convert(kOutputMp4, mp3, f.dir.file("n.mp4"), kSourceMp3), 1);
    ASSERT_EQ(f.Convert(kOutputM4r, mp3, f.dir.file("n.m4r"), kSourceMp3), 1);
    EXPECT_EQ(testutil::ReadFileBytes(f.dir.file("n.mp4")), testutil::ReadFileBytes(f.dir.file("n.m4a")));
    EXPECT_EQ(testutil::ReadFileBytes(f.dir.file("n.m4r")), testutil::ReadFileBytes(f.dir.file("n.m4a")));
}

// Every sample of a file as ffmpeg decodes it, as signed 32-bit integers in its stored channel order.
std::vector<int32_t> FfmpegDecodeS32(const std::string& path) {
    const std::string raw = path + ".s32";
    std::vector<int32_t> out;
    if (testutil::Run("ffmpeg -v error -y -i " + testutil::Quote(path) + " -f s32le -c:a pcm_s32le " +
                      testutil::Quote(raw)) != 0)
        return out;
    const auto bytes = testutil::ReadFileBytes(raw);
    out.resize(bytes.size() / 4);
    std::memcpy(out.data(), bytes.data(), out.size() * 4);
    return out;
}

// The lossless families store the source's samples, channels and rate exactly; their tags come
// by their own policy (FLAC) or the MPEG-4 page's (ALAC).
TEST(LosslessFamilies, RoundTripsAreExactAndTagsFollowTheirPolicy) {
    FamilyFixture f;
    const std::string source = f.TwoTones(2.5);
    const std::vector<int32_t> expected = FfmpegDecodeS32(source);
    ASSERT_FALSE(expected.empty());
    f.settings.FLACID3TagType = 0;
    f.settings.FLACTag.TitleAsFileName = 0;
    f.settings.FLACTag.Title = "Typed";
    f.settings.FLACTag.Artist = "日本 🎵";
    f.settings.FLACTag.TrackNumType = 2;
    f.settings.FLACTag.CustomTrackNum = 7;
    f.settings.M4AID3TagType = 0;
    f.settings.M4ATag = f.settings.FLACTag;
    for (const auto& [format, name, codec] : {std::tuple{kOutputFlac, "t.flac", "flac"}, {kOutputAlac, "t.m4a", "alac"}}) {
        const std::string target = f.dir.file(name);
        ASSERT_EQ(f.Convert(format, source, target), 1) << name << ": " << f.reason;
        auto probe = testutil::Probe(target, "stream=codec_name,sample_rate,channels,channel_layout");
        EXPECT_EQ(probe["codec_name"], codec);
        EXPECT_EQ(probe["sample_rate"], "44100");
        EXPECT_EQ(probe["channel_layout"], "stereo");
        EXPECT_EQ(FfmpegDecodeS32(target), expected) << name;
        std::string tags;
        ASSERT_EQ(testutil::Run("/usr/bin/python3 -c " +
                                    testutil::Quote("import mutagen,sys; t=mutagen.File(sys.argv[1]).tags; "
                                                    "print(dict((k.lower(),str(v[0])) for k,v in t.items()))") +
                                    " " + testutil::Quote(target),
                                &tags),
                  0);
        if (format == kOutputFlac) {
            EXPECT_NE(tags.find("'title': 'Typed'"), std::string::npos) << tags;
            EXPECT_NE(tags.find("'artist': '日本 🎵'"), std::string::npos) << tags;
            EXPECT_NE(tags.find("'tracknumber': '7'"), std::string::npos) << tags;
        } else {
            EXPECT_NE(tags.find("'©nam': 'Typed'"), std::string::npos) << tags;
            EXPECT_NE(tags.find("'©art': '日本 🎵'"), std::string::npos) << tags;
            EXPECT_NE(tags.find("'trkn': '(7, 0)'"), std::string::npos) << tags;
        }
    }
    // The STREAMINFO signature matches the audio and the seek table has a point every ten seconds.
    EXPECT_EQ(testutil::Run("flac -s -t " + testutil::Quote(f.dir.file("t.flac"))), 0);
    std::string blocks;
    testutil::Run("metaflac --list --block-type=SEEKTABLE " + testutil::Quote(f.dir.file("t.flac")), &blocks);
    EXPECT_NE(blocks.find("seek points: 1"), std::string::npos) << blocks;
    // A source cut short of the length it states: the seek points past its end become
    // placeholders instead of pointing at the start of the file.
    const std::string whole = f.dir.file("whole.flac"), cut = f.dir.file("cut.flac");
    ASSERT_EQ(testutil::Run("sox -n -r 8000 -b 16 -c 1 " + testutil::Quote(whole) + " synth 25 whitenoise vol 0.3"), 0);
    auto bytes = testutil::ReadFileBytes(whole);
    bytes.resize(bytes.size() / 3);
    ASSERT_TRUE(testutil::WriteFileBytes(cut, bytes));
    f.settings.FLACID3TagType = 2;
    ASSERT_EQ(f.Convert(kOutputFlac, cut, f.dir.file("short.flac"), kSourceFlac), kConversionIncomplete) << f.reason;
    EXPECT_EQ(testutil::Run("flac -s -t " + testutil::Quote(f.dir.file("short.flac"))), 0);
    blocks.clear();
    testutil::Run("metaflac --list --block-type=SEEKTABLE " + testutil::Quote(f.dir.file("short.flac")), &blocks);
    EXPECT_NE(blocks.find("seek points: 3"), std::string::npos) << blocks;
    EXPECT_NE(blocks.find("point 2: PLACEHOLDER"), std::string::npos) << blocks;
    EXPECT_EQ(blocks.find("frame_samples=0"), std::string::npos) << blocks;

    // A chosen rate is converted to; the compression level reaches the encoder.
    f.settings.FLACSampleRate = 48000;
    f.settings.FLACCompression = 0;
    f.settings.FLACID3TagType = 2;
    ASSERT_EQ(f.Convert(kOutputFlac, source, f.dir.file("fast.flac")), 1);
    EXPECT_EQ(testutil::Probe(f.dir.file("fast.flac"), "stream=sample_rate")["sample_rate"], "48000");
    f.settings.FLACCompression = 8;
    ASSERT_EQ(f.Convert(kOutputFlac, source, f.dir.file("small.flac")), 1);
    EXPECT_LT(fs::file_size(f.dir.file("small.flac")), fs::file_size(f.dir.file("fast.flac")));
    f.settings.ALACSampleRate = 22050;
    ASSERT_EQ(f.Convert(kOutputAlac, source, f.dir.file("low.m4a")), 1);
    EXPECT_EQ(testutil::Probe(f.dir.file("low.m4a"), "stream=sample_rate")["sample_rate"], "22050");
}

// Through the wide read a 24-bit 96 kHz 5.1 FLAC and a 24-bit AIFF come out of both lossless
// families exactly: samples, channels, speakers, rate and sample size.
TEST(LosslessFamilies, WideSourcesAreKeptExactly) {
    FamilyFixture f;
    const std::string flac = f.dir.file("surround.flac"), aiff = f.dir.file("hires.aiff");
    const std::string tones = "0.5*sin(300*2*PI*t)+0.001*random(0)|0.4*sin(400*2*PI*t)|0.3*sin(500*2*PI*t)|"
                              "0.2*sin(60*2*PI*t)|0.25*sin(700*2*PI*t)+0.0001*random(1)|-0.35*sin(800*2*PI*t)";
    ASSERT_EQ(testutil::Run("ffmpeg -v error -y -f lavfi -i " + testutil::Quote("aevalsrc=" + tones + ":s=96000:d=0.5:c=5.1") +
                            " -c:a flac -sample_fmt s32 " + testutil::Quote(flac)),
              0);
    ASSERT_EQ(testutil::Run("ffmpeg -v error -y -f lavfi -i " +
                            testutil::Quote("aevalsrc=0.6*sin(440*2*PI*t)+0.0003*random(0)|-0.3*sin(1000*2*PI*t):s=96000:"
                                            "d=0.5:c=stereo") +
                            " -c:a pcm_s24be " + testutil::Quote(aiff)),
              0);
    const char* entries = "stream=sample_rate,channels,channel_layout,bits_per_raw_sample";
    for (const auto& [source, type] : {std::pair{flac, kSourceFlac}, {aiff, kSourceAiff}}) {
        const std::vector<int32_t> expected = FfmpegDecodeS32(source);
        auto want = testutil::Probe(source, entries);
        // A source that names no speakers (AIFF) gets the usual ones for its channel count.
        if (want["channel_layout"] == "unknown") want["channel_layout"] = "stereo";
        for (const auto& [format, ext] : {std::pair{kOutputFlac, ".flac"}, {kOutputAlac, ".m4a"}}) {
            const std::string target = f.dir.file("out" + std::to_string(type) + ext);
            SCOPED_TRACE(target);
            ASSERT_EQ(f.Convert(format, source, target, type), 1) << f.reason;
            auto got = testutil::Probe(target, entries);
            EXPECT_EQ(got["sample_rate"], "96000");
            EXPECT_EQ(got["channels"], want["channels"]);
            EXPECT_EQ(got["channel_layout"], want["channel_layout"]);
            EXPECT_EQ(got["bits_per_raw_sample"], "24");
            EXPECT_EQ(FfmpegDecodeS32(target), expected);
        }
    }
}

// The identification header of an Ogg Opus file: channels, pre-skip, the input rate it records.
struct OpusHead {
    int channels = 0, preSkip = 0, mapping = -1;
    uint32_t inputRate = 0;
};
OpusHead ReadOpusHead(const std::string& path) {
    const auto bytes = testutil::ReadFileBytes(path);
    OpusHead head;
    const std::string text(bytes.begin(), bytes.end());
    const size_t at = text.find("OpusHead");
    if (at == std::string::npos || at + 19 > bytes.size()) return head;
    head.channels = bytes[at + 9];
    head.preSkip = bytes[at + 10] | bytes[at + 11] << 8;
    head.inputRate = bytes[at + 12] | bytes[at + 13] << 8 | bytes[at + 14] << 16 | uint32_t(bytes[at + 15]) << 24;
    head.mapping = bytes[at + 18];
    return head;
}

// The Vorbis comments mutagen reads from an Opus file, one "KEY=value" a line.
std::string MutagenOpusTags(const std::string& path) {
    std::string out;
    testutil::Run("/usr/bin/python3 -c " +
                      testutil::Quote("import sys, mutagen.oggopus as o\n"
                                      "for k, v in sorted(o.OggOpus(sys.argv[1]).tags.items()): print(k.upper() + '=' + ','.join(v))") +
                      " " + testutil::Quote(path),
                  &out);
    return out;
}

TEST(OpusFamily, LengthLevelRateAndTagsAt48kHz) {
    FamilyFixture f;
    const std::string source = f.TwoTones();
    f.settings.OPUSID3TagType = 0;
    f.settings.OPUSTag.TitleAsFileName = 0;
    f.settings.OPUSTag.Title = "Typed";
    f.settings.OPUSTag.Artist = "日本 🎵";
    f.settings.OPUSTag.TrackNumType = 2;
    f.settings.OPUSTag.CustomTrackNum = 7;
    const std::string target = f.dir.file("t.opus");
    ASSERT_EQ(f.Convert(kOutputOpus, source, target), 1) << f.reason;
    EXPECT_EQ(Head(target, 4), "OggS");
    // The header keeps the source's rate and the encoder's look-ahead as the pre-skip.
    const OpusHead head = ReadOpusHead(target);
    EXPECT_EQ(head.channels, 2);
    EXPECT_EQ(head.inputRate, 44100u);
    EXPECT_EQ(head.mapping, 0);
    EXPECT_GT(head.preSkip, 0);
    // One second decodes to one second at 48 kHz, the pre-skip dropped and the end trimmed.
    const auto pcm = testutil::FfmpegDecodeS16(target);
    EXPECT_NEAR(static_cast<double>(pcm.size() / 2), 48000.0, 1.0);
    const auto in = testutil::FfmpegDecodeS16(source);
    for (int ch = 0; ch < 2; ++ch) {
        const double db = 20 * std::log10(testutil::RmsLevel(pcm, 2, ch) / testutil::RmsLevel(in, 2, ch));
        EXPECT_NEAR(db, 0.0, 0.5) << "channel " << ch;
    }
    EXPECT_NEAR(testutil::EstimateFrequency(pcm, 2, 0, 48000), 440, 10);
    EXPECT_NEAR(testutil::EstimateFrequency(pcm, 2, 1, 48000), 1000, 20);
    const std::string tags = MutagenOpusTags(target);
    EXPECT_NE(tags.find("TITLE=Typed\n"), std::string::npos) << tags;
    EXPECT_NE(tags.find("ARTIST=日本 🎵\n"), std::string::npos) << tags;
    EXPECT_NE(tags.find("TRACKNUMBER=7\n"), std::string::npos) << tags;

    // A mono 8-bit source at 22050 Hz: widened, one channel, its rate recorded; the source's tags
    // (none) under policy 1 leave only the encoder's vendor string. Constant bit rate at 64 kbps
    // for stereo gives mono 32 kbps, so the file is about 4 kB a second.
    const std::string mono = f.dir.file("mono8.wav");
    ASSERT_EQ(testutil::Run("sox -n -r 22050 -c 1 -b 8 " + testutil::Quote(mono) + " synth 2 sine 300 vol 0.5"), 0);
    f.settings.OPUSID3TagType = 1;
    f.settings.OPUSBitRate = 64;
    f.settings.OPUSBitRateMode = 2;
    const std::string monoTarget = f.dir.file("m.opus");
    ASSERT_EQ(f.Convert(kOutputOpus, mono, monoTarget), 1) << f.reason;
    const OpusHead monoHead = ReadOpusHead(monoTarget);
    EXPECT_EQ(monoHead.channels, 1);
    EXPECT_EQ(monoHead.inputRate, 22050u);
    EXPECT_NEAR(static_cast<double>(testutil::FfmpegDecodeS16(monoTarget).size()), 96000.0, 1.0);
    EXPECT_EQ(MutagenOpusTags(monoTarget), "");
    const double bytesPerSecond = static_cast<double>(fs::file_size(monoTarget)) / 2.0;
    EXPECT_NEAR(bytesPerSecond, 4000.0, 600.0);

    // 24-bit 5.1 keeps its six channels in the Vorbis layout: each speaker's tone comes back on
    // the same speaker, whatever order the file stores them in.
    const std::string surround = f.dir.file("s51.wav");
    ASSERT_EQ(testutil::Run("sox -n -r 48000 -c 6 -b 24 " + testutil::Quote(surround) +
                            " synth 1 sine 300 sine 500 sine 700 sine 80 sine 900 sine 1100 vol 0.5"),
              0);
    const std::string surroundTarget = f.dir.file("s51.opus");
    ASSERT_EQ(f.Convert(kOutputOpus, surround, surroundTarget), 1) << f.reason;
    const OpusHead surroundHead = ReadOpusHead(surroundTarget);
    EXPECT_EQ(surroundHead.channels, 6);
    EXPECT_EQ(surroundHead.mapping, 1);
    EXPECT_EQ(testutil::Probe(surroundTarget, "stream=channel_layout")["channel_layout"], "5.1");
    const auto six = testutil::FfmpegDecodeS16(surroundTarget);
    EXPECT_NEAR(static_cast<double>(six.size() / 6), 48000.0, 1.0);
    const double tones[] = {300, 500, 700, 80, 900, 1100};
    for (int ch = 0; ch < 6; ++ch)
        EXPECT_NEAR(testutil::EstimateFrequency(six, 6, ch, 48000), tones[ch], tones[ch] * 0.03) << "channel " << ch;
}

// Verified conversions through the batch, the way a row runs them. Every family's target passes
// its check with VerifyTargets=2 (typed title and artist read back where the family writes
// tags); a target damaged after its encoder finished and before the check (through the batch's
// conversion seam) fails with the reason, leaving the old target as it was and no temporary.
TEST(VerifiedConversions, EveryFamilyPassesAndDamagedTargetsFail) {
    FamilyFixture f;
    const std::string source = f.TwoTones(2.0);
    const std::string out = f.dir.file("out");
    f.settings.VerifyTargets = 2;
    f.settings.DestOutputFolderOpt = kDestCustomFolder;
    f.settings.DestSpecifiedFolder = out;
    f.settings.TargetExistsOpt = kTargetOverwrite;
    f.settings.BrowseOutputFolder = 0;
    for (TagOverrides* tags : {&f.settings.MP3Tag, &f.settings.OGGTag, &f.settings.M4ATag, &f.settings.WMATag,
                               &f.settings.FLACTag, &f.settings.OPUSTag}) {
        tags->TitleAsFileName = 0;
        tags->Title = "Checked title";
        tags->Artist = "Someone";
    }
    f.settings.MP3ID3TagType = f.settings.OGGID3TagType = f.settings.M4AID3TagType = f.settings.WMAID3TagType = 0;
    f.settings.FLACID3TagType = f.settings.OPUSID3TagType = 0;

    std::function<void(const std::string&)> damage;
    const ConvertFunction convertAndDamage = [&](int format, const ConversionRequest& r, ConversionContext& c) {
        const int result = ConvertFile(format, r, c);
        if (result && damage) damage(r.targetPath);
        return result;
    };
    std::string rowSource = source;
    double rowSeconds = 2.0;
    auto run = [&](int format) {
        std::vector<BatchItem> items{{0, kSourceWav, rowSource, ""}};
        items[0].seconds = rowSeconds;
        BatchState state;
        state.jobs = 1;
        f.driver.outcomes.clear();
        RunConversionBatch(items, format, f.settings, f.host, f.driver, state, convertAndDamage);
        return f.driver.outcomes.at(0);
    };
    // A cut-off end, and a span of bytes overwritten in the middle.
    const std::function<void(const std::string&)> damages[] = {
        [](const std::string& path) { fs::resize_file(path, fs::file_size(path) * 2 / 3); },
        [](const std::string& path) {
            auto bytes = testutil::ReadFileBytes(path);
            std::fill(bytes.begin() + static_cast<long>(bytes.size() / 2),
                      bytes.begin() + static_cast<long>(bytes.size() / 2 + 600), 0);
            testutil::WriteFileBytes(path, bytes);
        }};
    for (int format : {kOutputWav, kOutputMp3, kOutputOgg, kOutputAmr, kOutputAwb, kOutputAac, kOutputM4a, kOutputWma,
                       kOutputFlac, kOutputAlac, kOutputOpus}) {
        SCOPED_TRACE(FindOutputFormat(format)->name);
        damage = nullptr;
        RowOutcome outcome = run(format);
        ASSERT_EQ(outcome.kind, RowOutcome::Kind::Converted) << outcome.reason;
        EXPECT_TRUE(outcome.verified);
        const std::string target = outcome.targetPath;
        const auto before = testutil::ReadFileBytes(target);
        for (const auto& d : damages) {
            damage = d;
            outcome = run(format);
            EXPECT_EQ(outcome.kind, RowOutcome::Kind::Failed);
            EXPECT_EQ(outcome.reason.rfind("verification failed: ", 0), 0u) << outcome.reason;
            EXPECT_FALSE(outcome.verified);
            EXPECT_EQ(testutil::ReadFileBytes(target), before);
            EXPECT_EQ(std::distance(fs::directory_iterator(out), fs::directory_iterator()), 1);
        }
        fs::remove(target);
    }
    // A row long enough to leave a core spare decodes its FLAC or ALAC target on two threads
    // once written: the same targets pass, the same damage fails.
    rowSource = testutil::WriteTwoToneWav(f.dir.file("long.wav"), 6.0);
    rowSeconds = 6.0;
    for (int format : {kOutputFlac, kOutputAlac}) {
        SCOPED_TRACE(FindOutputFormat(format)->name);
        damage = nullptr;
        EXPECT_TRUE(run(format).verified);
        for (const auto& d : damages) {
            damage = d;
            const RowOutcome outcome = run(format);
            EXPECT_EQ(outcome.kind, RowOutcome::Kind::Failed);
            EXPECT_EQ(outcome.reason.rfind("verification failed: ", 0), 0u) << outcome.reason;
        }
    }
    rowSource = source;
    rowSeconds = 2.0;

    // Lossless: one sample changed by its lowest bit is found and named; the length is told.
    f.settings.VerifyTargets = 1;
    damage = [](const std::string& path) {
        auto bytes = testutil::ReadFileBytes(path);
        const size_t data = std::string(bytes.begin(), bytes.end()).find("data") + 8;
        bytes[data + 48213 * 4 + 2] ^= 1;  // the right channel of frame 48213
        testutil::WriteFileBytes(path, bytes);
    };
    EXPECT_EQ(run(kOutputWav).reason, "verification failed: sample 48213 differs");
    // Changes that leave both sums as they were (+1, -2, +1 on the left channel of three frames
    // in a row) are still caught, by the checksum, and told by the span.
    damage = [](const std::string& path) {
        auto bytes = testutil::ReadFileBytes(path);
        const size_t data = std::string(bytes.begin(), bytes.end()).find("data") + 8;
        const int deltas[] = {1, -2, 1};
        for (size_t k = 0; k < 3; ++k) {
            uint8_t* at = bytes.data() + data + (1000 + k) * 4;
            const auto v = static_cast<uint16_t>(static_cast<int16_t>(at[0] | at[1] << 8) + deltas[k]);
            at[0] = static_cast<uint8_t>(v);
            at[1] = static_cast<uint8_t>(v >> 8);
        }
        testutil::WriteFileBytes(path, bytes);
    };
    EXPECT_EQ(run(kOutputWav).reason, "verification failed: samples between 0 and 65535 differ");
    damage = [](const std::string& path) { fs::resize_file(path, fs::file_size(path) - 4 * 22050); };
    EXPECT_EQ(run(kOutputWav).reason, "verification failed: length 1.50 s of 2.00 s");
    // FLAC: the stream information's MD5 must be that of the samples, and set.
    auto patchMd5 = [&](bool zero) {
        return [zero](const std::string& path) {
            auto bytes = testutil::ReadFileBytes(path);
            ASSERT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "fLaC");
            for (size_t i = 26; i < 42; ++i) bytes[i] = zero ? 0 : bytes[i] ^ (i == 30 ? 0x40 : 0);
            testutil::WriteFileBytes(path, bytes);
        };
    };
    damage = patchMd5(false);
    EXPECT_EQ(run(kOutputFlac).reason, "verification failed: FLAC MD5 differs");
    damage = patchMd5(true);
    EXPECT_EQ(run(kOutputFlac).reason, "verification failed: FLAC MD5 not set");
    // ... and state the format of the samples (44100 Hz made 22050 Hz; the frames still decode).
    damage = [](const std::string& path) {
        auto bytes = testutil::ReadFileBytes(path);
        bytes[18] = 0x05;
        bytes[19] = 0x62;
        bytes[20] = static_cast<uint8_t>((bytes[20] & 0x0F) | 0x20);
        testutil::WriteFileBytes(path, bytes);
    };
    EXPECT_EQ(run(kOutputFlac).reason, "verification failed: the FLAC stream information states 22050 Hz, 2 channels of 16 bits");

    // A cover picture (the folder's image, under the transfer policy) reads back as written in
    // every family that carries one; a byte of it changed in the target fails the row.
    ASSERT_EQ(testutil::Run("ffmpeg -v error -y -f lavfi -i color=c=red:s=24x16 -frames:v 1 " +
                            testutil::Quote(f.dir.file("cover.png"))),
              0);
    f.settings.VerifyTargets = 2;
    f.settings.CoverArtFromFolder = 1;
    f.settings.MP3ID3TagType = f.settings.OGGID3TagType = f.settings.M4AID3TagType = f.settings.WMAID3TagType = 1;
    f.settings.FLACID3TagType = f.settings.OPUSID3TagType = 1;
    const std::function<void(const std::string&)> alterPicture = [](const std::string& path) {
        auto bytes = testutil::ReadFileBytes(path);
        const std::string text(bytes.begin(), bytes.end());
        const size_t at = text.find("\x89PNG\r\n\x1a\n");
        ASSERT_NE(at, std::string::npos);
        bytes[at + 40] ^= 0x01;
        testutil::WriteFileBytes(path, bytes);
    };
    for (int format : {kOutputMp3, kOutputOgg, kOutputM4a, kOutputWma, kOutputFlac, kOutputOpus}) {
        SCOPED_TRACE(FindOutputFormat(format)->name);
        damage = nullptr;
        RowOutcome outcome = run(format);
        EXPECT_TRUE(outcome.verified) << outcome.reason;
        if (format == kOutputOgg || format == kOutputOpus) continue;  // the picture is in base64 there
        damage = alterPicture;
        EXPECT_EQ(run(format).reason, "verification failed: picture differs");
    }
    f.settings.CoverArtFromFolder = 0;

    // A long silent opening: the lossy check aligns on the first loud block and judges the
    // level of what follows, so a target that decodes cleanly 30 dB too quiet (the conversion of
    // a quieter source put in its place) fails.
    const std::string late = f.dir.file("late.wav"), quiet = f.dir.file("quiet.wav");
    for (const auto& [path, volume] : {std::pair{late, "0.5"}, {quiet, "0.016"}})
        ASSERT_EQ(testutil::Run("sox -n -r 44100 -c 2 -b 16 " + testutil::Quote(path) +
                                " synth 4 sine 440 sine 1000 vol " + volume + " pad 3 0"),
                  0);
    auto runOne = [&](int format, const std::string& path) {
        std::vector<BatchItem> items{{0, kSourceWav, path, ""}};
        BatchState state;
        state.jobs = 1;
        f.driver.outcomes.clear();
        RunConversionBatch(items, format, f.settings, f.host, f.driver, state, convertAndDamage);
        return f.driver.outcomes.at(0);
    };
    for (int format : {kOutputOgg, kOutputAmr, kOutputAac}) {
        SCOPED_TRACE(FindOutputFormat(format)->name);
        damage = nullptr;
        const std::string quieter = f.dir.file("quieter.target");
        fs::copy_file(runOne(format, quiet).targetPath, quieter, fs::copy_options::overwrite_existing);
        EXPECT_TRUE(runOne(format, late).verified);
        damage = [&](const std::string& path) { fs::copy_file(quieter, path, fs::copy_options::overwrite_existing); };
        const RowOutcome outcome = runOne(format, late);
        EXPECT_EQ(outcome.reason.rfind("verification failed: level ", 0), 0u) << outcome.reason;
    }

    // The default checks lossless targets only; 0 checks none.
    f.settings.VerifyTargets = 1;
    damage = nullptr;
    EXPECT_FALSE(run(kOutputMp3).verified);
    f.settings.VerifyTargets = 0;
    EXPECT_FALSE(run(kOutputWav).verified);
}

// Lossless targets (FLAC, WAV) are decoded back while they are written. A byte of the samples
// changed before that range is published reaches that decode and still fails the row; a Cancel
// in the middle of a verified conversion ends the row (its decode stopped and joined) and leaves
// no temporary.
TEST(VerifiedConversions, LosslessTargetsDecodedWhileWritten) {
    FamilyFixture f;
    const std::string source = f.dir.file("noise.wav"), out = f.dir.file("out");
    ASSERT_EQ(testutil::Run("sox -n -r 44100 -c 2 -b 16 " + testutil::Quote(source) +
                            " synth 12 pinknoise vol 0.3 synth 12 sine mix 440"),
              0);
    f.settings.VerifyTargets = 1;
    f.settings.DestOutputFolderOpt = kDestCustomFolder;
    f.settings.DestSpecifiedFolder = out;
    f.settings.TargetExistsOpt = kTargetOverwrite;
    f.settings.BrowseOutputFolder = 0;
    struct HookReset {
        ~HookReset() { SetGrowingFilePublishHookForTesting(nullptr); }
    } reset;
    for (int format : {kOutputFlac, kOutputWav}) {
        SCOPED_TRACE(FindOutputFormat(format)->name);
        // Long enough for the encoder to get a thread of its own where a core is idle.
        auto run = [&](const ConvertFunction& convert = ConvertFile) {
            std::vector<BatchItem> items{{0, kSourceWav, source, ""}};
            items[0].seconds = 12;
            BatchState state;
            state.jobs = 1;
            f.driver.outcomes.clear();
            RunConversionBatch(items, format, f.settings, f.host, f.driver, state, convert);
            return f.driver.outcomes.at(0);
        };
        RowOutcome outcome = run();
        ASSERT_TRUE(outcome.verified) << outcome.reason;
        const std::string target = outcome.targetPath;
        const auto before = testutil::ReadFileBytes(target);
        ASSERT_GT(before.size(), 2 * FlacEncoder::kPublishBytes);

        int ranges = 0;
        off_t flipped = 0;
        SetGrowingFilePublishHookForTesting([&](int fd, uint64_t from, uint64_t to) {
            if (++ranges != 3) return;  // the header, a first range of samples, then this one
            uint8_t byte = 0;
            flipped = static_cast<off_t>(from + (to - from) / 2);
            ASSERT_EQ(pread(fd, &byte, 1, flipped), 1);
            byte ^= 0x10;
            // The descriptor reads only: the same file opened again to write.
            const int writable = open(("/proc/self/fd/" + std::to_string(fd)).c_str(), O_WRONLY | O_CLOEXEC);
            ASSERT_GE(writable, 0);
            EXPECT_EQ(pwrite(writable, &byte, 1, flipped), 1);
            close(writable);
        });
        outcome = run();
        SetGrowingFilePublishHookForTesting(nullptr);
        EXPECT_GE(ranges, 3);
        EXPECT_EQ(outcome.kind, RowOutcome::Kind::Failed);
        if (format == kOutputWav)
            EXPECT_EQ(outcome.reason, "verification failed: sample " + std::to_string((flipped - 44) / 4) + " differs");
        else
            EXPECT_EQ(outcome.reason.rfind("verification failed: ", 0), 0u) << outcome.reason;
        // The stream information's MD5 changed once the target is complete.
        if (format == kOutputFlac) {
            EXPECT_EQ(run([](int code, const ConversionRequest& r, ConversionContext& c) {
                          const int result = ConvertFile(code, r, c);
                          auto bytes = testutil::ReadFileBytes(r.targetPath);
                          bytes[30] ^= 0x40;
                          testutil::WriteFileBytes(r.targetPath, bytes);
                          return result;
                      }).reason,
                      "verification failed: FLAC MD5 differs");
        }

        f.driver.pumps = 0;
        f.driver.cancelAfterPumps = 3;
        outcome = run();
        EXPECT_EQ(outcome.kind, RowOutcome::Kind::Cancelled) << outcome.reason;
        f.driver.cancelAfterPumps = 0;
        EXPECT_EQ(testutil::ReadFileBytes(target), before);
        EXPECT_EQ(std::distance(fs::directory_iterator(out), fs::directory_iterator()), 1);
        fs::remove(target);
    }
}

// An Ogg file with every page's stream serial and checksum zeroed (the serial is random per stream).
std::vector<uint8_t> WithoutOggSerials(std::vector<uint8_t> bytes) {
    for (size_t at = 0; at + 27 <= bytes.size();) {
        if (std::memcmp(bytes.data() + at, "OggS", 4) != 0) return {};
        const size_t segments = bytes[at + 26];
        if (at + 27 + segments > bytes.size()) return {};
        size_t size = 27 + segments;
        for (size_t i = 0; i < segments; ++i) size += bytes[at + 27 + i];
        std::fill_n(bytes.begin() + static_cast<long>(at + 14), 4, 0);
        std::fill_n(bytes.begin() + static_cast<long>(at + 22), 4, 0);
        at += size;
    }
    return bytes;
}

// The encoder on a thread of its own writes every family's target byte for byte as the calling
// thread does: from the 16-bit read and the wide one, stereo, six channels and 8-bit mono, the
// converter's flush among them (and FLAC's MD5, which is then summed beside the encoder).
TEST(FamilyPipelines, EncoderThreadWritesTheSameTargets) {
    FamilyFixture f;
    const std::string stereo = f.TwoTones(3.0);
    const std::string six = f.dir.file("six.wav");
    ASSERT_EQ(testutil::Run("sox -n -r 48000 -b 24 -c 6 " + testutil::Quote(six) +
                            " synth 3 sine 440 sine 550 sine 660 sine 770 sine 880 sine 990 gain -n -3"),
              0);
    const std::string eight = f.dir.file("eight.wav");
    ASSERT_EQ(testutil::Run("sox -n -r 22050 -b 8 -c 1 " + testutil::Quote(eight) + " synth 3 sine 440 gain -n -3"), 0);
    auto convert = [&](int format, const std::string& source, bool overlap) {
        ConversionContext context{f.settings, f.driver, f.sources, {}};
        context.overlapEncoding = overlap;
        const std::string target = f.dir.file(std::string(overlap ? "beside" : "alone") + FindOutputFormat(format)->extension);
        EXPECT_EQ(ConvertFile(format, {kSourceWav, source, target, 1, format}, context), kConversionComplete)
            << context.failureReason;
        auto bytes = testutil::ReadFileBytes(target);
        fs::remove(target);
        return format == kOutputOgg || format == kOutputOpus ? WithoutOggSerials(bytes) : bytes;
    };
    for (int format : {kOutputWav, kOutputMp3, kOutputOgg, kOutputAmr, kOutputAwb, kOutputAac, kOutputM4a, kOutputWma,
                       kOutputFlac, kOutputAlac, kOutputOpus}) {
        SCOPED_TRACE(FindOutputFormat(format)->name);
        for (const std::string& source : {stereo, six, eight}) {
            const auto alone = convert(format, source, false);
            EXPECT_GT(alone.size(), 1000u) << source;
            EXPECT_TRUE(alone == convert(format, source, true)) << source;
        }
    }
    f.settings.AutoDestWAVEncodingParam = 0;
    f.settings.WAVSampleRate = 22050;
    f.settings.WAVChannelNum = 1;
    f.settings.WAVBitsPerSample = 8;
    EXPECT_TRUE(convert(kOutputWav, stereo, false) == convert(kOutputWav, stereo, true));
}

// ffmpeg's decode of a file as raw little-endian samples of `format` ("s32le", "f32le").
std::vector<uint8_t> FfmpegRaw(const testutil::TempDir& dir, const std::string& path, const std::string& format) {
    const std::string raw = dir.file("decoded.raw");
    EXPECT_EQ(testutil::Run("ffmpeg -v error -y -i " + testutil::Quote(path) + " -f " + format + " " + testutil::Quote(raw)), 0);
    return testutil::ReadFileBytes(raw);
}

// Sources above 16 bits, in more than two channels or of floats reach WAV targets of 24 and 32 bits
// and float targets through the wide read exactly, through every decoder that opens them: samples,
// channels, speakers and rate. Automatic parameters keep today's 16-bit stereo target.
TEST(WavFamily, WideSourcesKeepEverySampleChannelAndSpeaker) {
    FamilyFixture f;
    const std::string flac = f.dir.file("surround.flac"), aiff = f.dir.file("hires.aiff"), fwav = f.dir.file("float.wav");
    const std::string tones = "0.5*sin(300*2*PI*t)+0.001*random(0)|0.4*sin(400*2*PI*t)|0.3*sin(500*2*PI*t)|"
                              "0.2*sin(60*2*PI*t)|0.25*sin(700*2*PI*t)+0.0001*random(1)|-0.35*sin(800*2*PI*t)";
    auto make = [&](const std::string& source, const std::string& codec, const std::string& target) {
        ASSERT_EQ(testutil::Run("ffmpeg -v error -y -f lavfi -i " + testutil::Quote("aevalsrc=" + source) + " " + codec +
                                " " + testutil::Quote(target)),
                  0);
    };
    make(tones + ":s=96000:d=0.5:c=5.1", "-c:a flac -sample_fmt s32", flac);
    make("0.6*sin(440*2*PI*t)+0.0003*random(0)|-0.3*sin(1000*2*PI*t):s=96000:d=0.5:c=stereo", "-c:a pcm_s24be", aiff);
    make("1.5*sin(440*2*PI*t)*0.6+0.00001*random(0)|0.3*sin(1000*2*PI*t):s=44100:d=0.5:c=stereo", "-c:a pcm_f32le", fwav);
    const char* entries = "stream=codec_name,sample_rate,channels,channel_layout,bits_per_raw_sample,bits_per_sample";
    f.settings.AutoDestWAVEncodingParam = 0;
    f.settings.WAVSampleRate = 0;
    f.settings.WAVChannelNum = 0;
    struct Case {
        std::string source;
        int type;
        int bits, sampleFormat;
        const char* raw;
        std::string decoder;
        const char* codec;
    } cases[] = {
        {flac, kSourceFlac, 0, 0, "s32le", "", "pcm_s24le"},
        {flac, kSourceFlac, 24, 0, "s32le", "ffmpeg", "pcm_s24le"},
        {aiff, kSourceAiff, 24, 0, "s32le", "", "pcm_s24le"},
        {aiff, kSourceAiff, 0, 0, "s32le", "bass", "pcm_s24le"},
        {fwav, kSourceWav, 32, 1, "f32le", "", "pcm_f32le"},
        {fwav, kSourceWav, 0, 0, "f32le", "wav", "pcm_f32le"},
        {fwav, kSourceWav, 32, 1, "f32le", "ffmpeg", "pcm_f32le"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.source + " " + c.decoder + " " + std::to_string(c.bits));
        f.settings.WAVBitsPerSample = c.bits;
        f.settings.WAVSampleFormat = c.sampleFormat;
        f.sources.onlyDecoder = c.decoder;
        const std::string out = f.dir.file("out.wav");
        ASSERT_EQ(f.Convert(kOutputWav, c.source, out, c.type), 1) << f.reason;
        auto want = testutil::Probe(c.source, entries), got = testutil::Probe(out, entries);
        EXPECT_EQ(got["codec_name"], c.codec);
        EXPECT_EQ(got["sample_rate"], want["sample_rate"]);
        EXPECT_EQ(got["channels"], want["channels"]);
        // A source that names no speakers (AIFF) gets the usual ones for its channel count.
        EXPECT_EQ(got["channel_layout"], want["channel_layout"] == "unknown" ? "stereo" : want["channel_layout"]);
        EXPECT_EQ(FfmpegRaw(f.dir, out, c.raw), FfmpegRaw(f.dir, c.source, c.raw));
    }
    f.sources.onlyDecoder.clear();

    // Mixed down to stereo and resampled, still at 24 bits.
    f.settings.WAVBitsPerSample = 24;
    f.settings.WAVChannelNum = 2;
    f.settings.WAVSampleRate = 48000;
    ASSERT_EQ(f.Convert(kOutputWav, flac, f.dir.file("stereo.wav"), kSourceFlac), 1) << f.reason;
    auto probe = testutil::Probe(f.dir.file("stereo.wav"), entries);
    EXPECT_EQ(probe["codec_name"], "pcm_s24le");
    EXPECT_EQ(probe["sample_rate"], "48000");
    EXPECT_EQ(probe["channels"], "2");

    // Automatic parameters: the 16-bit read's format, as always.
    f.settings.AutoDestWAVEncodingParam = 1;
    ASSERT_EQ(f.Convert(kOutputWav, flac, f.dir.file("auto.wav"), kSourceFlac), 1) << f.reason;
    probe = testutil::Probe(f.dir.file("auto.wav"), entries);
    EXPECT_EQ(probe["codec_name"], "pcm_s16le");
    EXPECT_EQ(probe["sample_rate"], "96000");
    EXPECT_EQ(probe["channels"], "2");
}

}  // namespace
