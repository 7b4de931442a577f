// MP3 output end to end: real sources of several formats through the MP3 pipeline, checked by the
// frame headers on disk, ffmpeg decodes of the audio and the tags ffprobe reads back.
#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <map>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "engine/Batch.h"
#include "sources/CodecHost.h"
#include "engine/Pipeline.h"
#include "tags/Id3Blocks.h"
#include "support/Mp3TestUtil.h"
#include "support/FakeDriver.h"
#include "support/TestUtil.h"

using namespace sonavert;
using testutil::Quote;

namespace {

using CountingDriver = testutil::FakeDriver;

struct Mp3Fixture {
    Mp3Fixture() { host.Start(testutil::BinDir() + "/"); }
    CodecHost host;
    testutil::TempDir dir;
    Settings settings;
    CountingDriver driver;
    SourceFactoryContext sources;
    ConversionContext context{settings, driver, sources, {}};

    int Convert(int sourceType, const std::string& source, const std::string& target, int sequence = 1) {
        ConversionRequest request{sourceType, source, target, sequence};
        return ConvertFile(kOutputMp3, request, context);
    }
};

// What the frames of an MP3 file say, and where its tags are.
struct StreamInfo {
    size_t frames = 0;
    int rate = 0, kbps = 0, mode = -1;
    bool uniform = true;  // every frame has the same rate, bit rate and mode
    std::vector<uint8_t> id3v2, id3v1;
};

StreamInfo Inspect(const std::string& path) {
    StreamInfo info;
    const auto bytes = testutil::ReadFileBytes(path);
    size_t start = Id3v2TagSize(bytes.data(), bytes.size());
    if (start > bytes.size()) start = 0;
    size_t end = bytes.size();
    info.id3v2.assign(bytes.begin(), bytes.begin() + static_cast<long>(start));
    if (end >= start + 128 && std::memcmp(&bytes[end - 128], "TAG", 3) == 0) {
        info.id3v1.assign(bytes.end() - 128, bytes.end());
        end -= 128;
    }
    const auto frames = testutil::ParseMp3Frames(bytes, start, end);
    info.frames = frames.size();
    if (frames.empty()) return info;
    // The frames must cover the whole audio part.
    info.uniform = frames.back().offset + frames.back().length == end;
    // The Info frame ahead of the audio may take a larger bit rate (where the audio's frames are too
    // small to hold it); the stream's facts are those of the audio frames.
    const auto& head = frames[0];
    const std::string first(bytes.begin() + static_cast<long>(head.offset),
                            bytes.begin() + static_cast<long>(head.offset + head.length));
    const size_t audio = frames.size() > 1 && first.find("Info") != std::string::npos ? 1 : 0;
    info.rate = frames[audio].rate;
    info.kbps = frames[audio].kbps;
    info.mode = frames[audio].mode;
    for (size_t i = audio; i < frames.size(); ++i) {
        const auto& f = frames[i];
        if (f.rate != info.rate || f.kbps != info.kbps || f.mode != info.mode) info.uniform = false;
    }
    if (head.rate != info.rate || head.kbps < info.kbps) info.uniform = false;
    return info;
}

// Stereo 44.1 kHz: a 440 Hz tone at half scale on the left, 1000 Hz at quarter scale on the right.
std::string TwoToneWav(const testutil::TempDir& dir, double seconds = 2.0, const std::string& name = "tones.wav") {
    return testutil::WriteTwoToneWav(dir.file(name), seconds);
}

// Decodes an MP3 file and drops its first and last 0.1 s: the encoder's delay and padding decode as
// near-silence whose sign flickers, which would upset the zero-crossing frequency estimate.
std::vector<int16_t> DecodeMiddle(const std::string& mp3, int channels, int rate) {
    auto pcm = testutil::FfmpegDecodeS16(mp3, channels);
    const size_t cut = static_cast<size_t>(rate / 10) * channels;
    if (pcm.size() <= 2 * cut) return {};
    return std::vector<int16_t>(pcm.begin() + static_cast<long>(cut), pcm.end() - static_cast<long>(cut));
}

const char* kMetadata =
    " -metadata title='Tone Title' -metadata artist='Tone Artist' -metadata album='Tone Album'"
    " -metadata date=2021 -metadata genre=Jazz -metadata track=5 ";

void ExpectTones(const std::string& mp3, double tolerance = 0.03, bool exactLength = false) {
    // The Info frame lets the decoder trim delay and padding: the two-second source comes back
    // exactly two seconds long.
    if (exactLength)
        ASSERT_EQ(testutil::FfmpegDecodeS16(mp3, 2).size(), 2u * 2 * 44100);
    else
        ASSERT_GT(testutil::FfmpegDecodeS16(mp3, 2).size(), 2u * 2 * 44000);
    auto pcm = DecodeMiddle(mp3, 2, 44100);
    EXPECT_NEAR(testutil::EstimateFrequency(pcm, 2, 0, 44100), 440.0, 5.0);
    EXPECT_NEAR(testutil::EstimateFrequency(pcm, 2, 1, 44100), 1000.0, 5.0);
    EXPECT_NEAR(testutil::RmsLevel(pcm, 2, 0), 0.5 / std::sqrt(2.0), tolerance);
    EXPECT_NEAR(testutil::RmsLevel(pcm, 2, 1), 0.25 / std::sqrt(2.0), tolerance);
}

TEST(ConvertToMp3, SourcesOfEveryKindKeepTheirToneAndTags) {
    Mp3Fixture f;
    const std::string wav = TwoToneWav(f.dir);
    struct Case {
        int type;
        std::string name;
        std::string command;  // makes the source from the plain WAV ("{in}" and "{out}")
    };
    const std::string ff = "ffmpeg -v error -y -i {in} ";
    const std::vector<Case> cases = {
        {kSourceFlac, "in.flac", ff + kMetadata + "{out}"},
        {kSourceOgg, "in.ogg", ff + "-c:a libvorbis -q:a 6" + kMetadata + "{out}"},
        {kSourceWav, "in.wav", ff + kMetadata + "{out}"},
        {kSourceM4a, "in.m4a", ff + "-c:a aac -b:a 192k" + kMetadata + "{out}"},
        {kSourceMp3, "in.mp3",
         "lame --quiet -b 192 --add-id3v2 --tt 'Tone Title' --ta 'Tone Artist' --tl 'Tone Album' --ty 2021"
         " --tg Jazz --tn 5 {in} {out}"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string source = f.dir.file(c.name);
        std::string command = c.command;
        command.replace(command.find("{in}"), 4, Quote(wav));
        command.replace(command.find("{out}"), 5, Quote(source));
        ASSERT_EQ(testutil::Run(command), 0) << command;

        const std::string target = f.dir.file(c.name + ".mp3");
        ASSERT_EQ(f.Convert(c.type, source, target), 1);
        // Automatic parameters for a 44.1 kHz stereo source: 44.1 kHz two-channel at 128 kbps.
        const StreamInfo info = Inspect(target);
        EXPECT_GT(info.frames, 70u);
        EXPECT_TRUE(info.uniform);
        EXPECT_EQ(info.rate, 44100);
        EXPECT_EQ(info.kbps, 128);
        EXPECT_NE(info.mode, 3);
        // M4A sources are read with the encoder's priming samples in front (888 frames here).
        ExpectTones(target, 0.03, c.type != kSourceM4a);
        EXPECT_EQ(f.driver.fileTexts.back(), "Converting " + c.name + "...100%");

        auto tags = testutil::FfprobeTags(target);
        EXPECT_EQ(tags["title"], "Tone Title");
        EXPECT_EQ(tags["artist"], "Tone Artist");
        EXPECT_EQ(tags["album"], "Tone Album");
        EXPECT_EQ(tags["genre"], "Jazz");
        EXPECT_EQ(tags["track"], "5");
        EXPECT_NE(tags["date"].find("2021"), std::string::npos) << tags["date"];
        // The default version setting asks for an ID3v2 tag only (MP3 sources bring their own).
        EXPECT_FALSE(info.id3v2.empty());
        if (c.type != kSourceMp3) {
            EXPECT_TRUE(info.id3v1.empty());
        }
    }
}

TEST(ConvertToMp3, Mp3SourceTagBlocksAreCopiedUnchangedWhateverTheVersionSetting) {
    Mp3Fixture f;
    const std::string wav = TwoToneWav(f.dir, 1.0);
    const std::string both = f.dir.file("both.mp3"), v2only = f.dir.file("v2.mp3");
    ASSERT_EQ(testutil::Run("lame --quiet --add-id3v2 --tt 'Ünïcode Title' --ta Artist --tc 'Long comment'"
                            " --tg 'Rock' --tn 3/12 " + Quote(wav) + " " + Quote(both)), 0);
    ASSERT_EQ(testutil::Run("lame --quiet --id3v2-only --tt Only " + Quote(wav) + " " + Quote(v2only)), 0);
    f.settings.MP3WriteID3Version = 0;  // ID3v1 only: does not apply to copied blocks

    const std::string target = f.dir.file("out.mp3");
    ASSERT_EQ(f.Convert(kSourceMp3, both, target), 1);
    const StreamInfo in = Inspect(both), out = Inspect(target);
    ASSERT_FALSE(in.id3v2.empty());
    ASSERT_FALSE(in.id3v1.empty());
    EXPECT_EQ(out.id3v2, in.id3v2);
    EXPECT_EQ(out.id3v1, in.id3v1);
    EXPECT_GT(out.frames, 30u);

    ASSERT_EQ(f.Convert(kSourceMp3, v2only, target), 1);
    const StreamInfo in2 = Inspect(v2only), out2 = Inspect(target);
    ASSERT_FALSE(in2.id3v2.empty());
    EXPECT_EQ(out2.id3v2, in2.id3v2);
    EXPECT_TRUE(out2.id3v1.empty());
    EXPECT_EQ(testutil::FfprobeTags(target)["title"], "Only");
}

TEST(ConvertToMp3, TypedTagsByVersionAndNoTagsForOtherPolicies) {
    Mp3Fixture f;
    const std::string source = TwoToneWav(f.dir, 0.5, "My Song.wav");
    f.settings.MP3ID3TagType = 0;
    f.settings.MP3WriteID3Version = 2;
    TagOverrides& typed = f.settings.MP3Tag;
    typed.TitleAsFileName = 1;
    typed.Title = "Ignored";
    typed.Artist = "Typed Artist";
    typed.Album = "Typed Album";
    typed.Genre = "Blues";
    typed.Composer = "Typed Composer";
    typed.TrackNumType = 1;
    typed.CustomTrackNum = 9;

    const std::string target = f.dir.file("out.mp3");
    ASSERT_EQ(f.Convert(kSourceWav, source, target, 3), 1);
    StreamInfo info = Inspect(target);
    ASSERT_FALSE(info.id3v2.empty());
    ASSERT_EQ(info.id3v1.size(), 128u);
    auto tags = testutil::FfprobeTags(target);
    EXPECT_EQ(tags["title"], "My Song");
    EXPECT_EQ(tags["artist"], "Typed Artist");
    EXPECT_EQ(tags["album"], "Typed Album");
    EXPECT_EQ(tags["genre"], "Blues");
    EXPECT_EQ(tags["composer"], "Typed Composer");
    EXPECT_EQ(tags["track"], "3");
    // ID3v1: title at 3, the ID3v1.1 track byte at 126, genre number 0 (Blues) at 127.
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&info.id3v1[3])), "My Song");
    EXPECT_EQ(info.id3v1[126], 3);
    EXPECT_EQ(info.id3v1[127], 0);

    // ID3v1 only, typed title and the custom track number.
    typed.TitleAsFileName = 0;
    typed.TrackNumType = 2;
    f.settings.MP3WriteID3Version = 0;
    ASSERT_EQ(f.Convert(kSourceWav, source, target, 3), 1);
    info = Inspect(target);
    EXPECT_TRUE(info.id3v2.empty());
    ASSERT_EQ(info.id3v1.size(), 128u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&info.id3v1[3])), "Ignored");
    EXPECT_EQ(info.id3v1[126], 9);

    // Policy 2 (and anything else): neither block.
    f.settings.MP3ID3TagType = 2;
    f.settings.MP3WriteID3Version = 2;
    ASSERT_EQ(f.Convert(kSourceWav, source, target), 1);
    info = Inspect(target);
    EXPECT_TRUE(info.id3v2.empty());
    EXPECT_TRUE(info.id3v1.empty());
    EXPECT_GT(info.frames, 15u);
    EXPECT_TRUE(info.uniform);
}

TEST(ConvertToMp3, ManualMonoPickMixAndCaps) {
    Mp3Fixture f;
    const std::string source = TwoToneWav(f.dir, 2.0);
    f.settings.AutoDestMP3EncodingParam = 0;
    f.settings.MP3ChannelMode = 3;
    f.settings.MP3SampleRate = 44100;
    f.settings.MP3BitRate = 96;

    struct Pick {
        int monoType;
        double freq;  // 0: the mix of both tones
        double rms;
    };
    for (const Pick& p : {Pick{1, 440, 0.5 / std::sqrt(2.0)}, Pick{2, 1000, 0.25 / std::sqrt(2.0)},
                          Pick{0, 0, std::sqrt((0.25 * 0.25 + 0.125 * 0.125) / 2)}}) {
        SCOPED_TRACE(p.monoType);
        f.settings.MonoType = p.monoType;
        const std::string target = f.dir.file("mono" + std::to_string(p.monoType) + ".mp3");
        ASSERT_EQ(f.Convert(kSourceWav, source, target), 1);
        const StreamInfo info = Inspect(target);
        EXPECT_TRUE(info.uniform);
        EXPECT_EQ(info.mode, 3);
        EXPECT_EQ(info.rate, 44100);
        EXPECT_EQ(info.kbps, 96);
        ASSERT_NEAR(static_cast<double>(testutil::FfmpegDecodeS16(target).size()), 88200.0, 3000.0);
        auto pcm = DecodeMiddle(target, 1, 44100);
        if (p.freq > 0) {
            EXPECT_NEAR(testutil::EstimateFrequency(pcm, 1, 0, 44100), p.freq, 5.0);
        }
        EXPECT_NEAR(testutil::RmsLevel(pcm, 1, 0), p.rms, 0.03);
    }

    // A 22050 Hz stream caps 192 kbps at 160; the encoder resamples itself.
    f.settings.MP3ChannelMode = 0;
    f.settings.MP3SampleRate = 22050;
    f.settings.MP3BitRate = 192;
    const std::string target = f.dir.file("low.mp3");
    ASSERT_EQ(f.Convert(kSourceWav, source, target), 1);
    const StreamInfo info = Inspect(target);
    EXPECT_TRUE(info.uniform);
    EXPECT_EQ(info.rate, 22050);
    EXPECT_EQ(info.kbps, 160);
    EXPECT_EQ(info.mode, 0);
    auto pcm = DecodeMiddle(target, 2, 22050);
    EXPECT_NEAR(testutil::EstimateFrequency(pcm, 2, 0, 22050), 440.0, 5.0);
    EXPECT_NEAR(testutil::EstimateFrequency(pcm, 2, 1, 22050), 1000.0, 5.0);
}

// A one-channel source under the manual stereo modes still converts (LAME is given one channel).
TEST(ConvertToMp3, MonoSourceUnderManualStereoModes) {
    Mp3Fixture f;
    const std::string source = f.dir.file("mono.wav");
    testutil::WriteWav16(source, testutil::Sine(440, 44100, 1, 1.0, 0.5), 44100, 1);
    f.settings.AutoDestMP3EncodingParam = 0;
    f.settings.MP3SampleRate = 0;
    f.settings.MP3BitRate = 0;
    for (int mode : {0, 1, 4}) {
        SCOPED_TRACE(mode);
        f.settings.MP3ChannelMode = mode;
        const std::string target = f.dir.file("m" + std::to_string(mode) + ".mp3");
        ASSERT_EQ(f.Convert(kSourceWav, source, target), 1);
        const StreamInfo info = Inspect(target);
        EXPECT_TRUE(info.uniform);
        EXPECT_EQ(info.rate, 44100);
        auto pcm = DecodeMiddle(target, 1, 44100);
        EXPECT_NEAR(testutil::EstimateFrequency(pcm, 1, 0, 44100), 440.0, 5.0);
        // One channel always makes mono frames; the bit rate comes from the table's stereo column
        // unless the automatic mode turned into mono for the one-channel source.
        EXPECT_EQ(info.mode, 3);
        EXPECT_EQ(info.kbps, mode == 4 ? 96 : 128);
    }
}

TEST(ConvertToMp3, Mp3SourceInManualModeFourKeepsItsModeAndBitRate) {
    Mp3Fixture f;
    const std::string wav = TwoToneWav(f.dir, 1.0);
    const std::string source = f.dir.file("stereo96.mp3");
    ASSERT_EQ(testutil::Run("lame --quiet -m s -b 96 --resample 44.1 " + Quote(wav) + " " + Quote(source)), 0);
    f.settings.AutoDestMP3EncodingParam = 0;
    f.settings.MP3ChannelMode = 4;
    f.settings.MP3SampleRate = 0;
    f.settings.MP3BitRate = 0;
    const std::string target = f.dir.file("out.mp3");
    ASSERT_EQ(f.Convert(kSourceMp3, source, target), 1);
    const StreamInfo info = Inspect(target);
    EXPECT_TRUE(info.uniform);
    EXPECT_EQ(info.mode, 0);
    EXPECT_EQ(info.kbps, 96);
    EXPECT_EQ(info.rate, 44100);
}

TEST(ConvertToMp3, EightBitSourceIsWidenedBeforeTheGain) {
    Mp3Fixture f;
    const std::string source = f.dir.file("u8.wav");
    ASSERT_EQ(testutil::Run("ffmpeg -v error -y -f lavfi -i 'sine=frequency=1000:sample_rate=22050:duration=2'"
                            " -af volume=0.3 -c:a pcm_u8 " + Quote(source)), 0);
    auto in = testutil::FfmpegDecodeS16(source);
    const double inRms = testutil::RmsLevel(in, 1, 0);
    f.settings.AmplifyMp3 = 1;
    f.settings.AmplifyMp3Coeff = 200;
    const std::string target = f.dir.file("out.mp3");
    ASSERT_EQ(f.Convert(kSourceWav, source, target), 1);
    // Automatic parameters for a 22050 Hz mono source: 22050 Hz at 48 kbps, one channel.
    const StreamInfo info = Inspect(target);
    EXPECT_TRUE(info.uniform);
    EXPECT_EQ(info.rate, 22050);
    EXPECT_EQ(info.kbps, 48);
    EXPECT_EQ(info.mode, 3);
    EXPECT_NEAR(static_cast<double>(testutil::FfmpegDecodeS16(target).size()), 44100.0, 2000.0);
    auto pcm = DecodeMiddle(target, 1, 22050);
    EXPECT_NEAR(testutil::EstimateFrequency(pcm, 1, 0, 22050), 1000.0, 5.0);
    EXPECT_NEAR(testutil::RmsLevel(pcm, 1, 0), 2 * inRms, 0.03);
}

TEST(ConvertToMp3, CancelAndAnUncreatableTargetLeaveNothing) {
    Mp3Fixture f;
    const std::string source = TwoToneWav(f.dir, 1.0);
    const auto sourceBytes = testutil::ReadFileBytes(source);
    f.driver.cancelAfterPumps = 2;
    const std::string target = f.dir.file("out.mp3");
    EXPECT_EQ(f.Convert(kSourceWav, source, target), 0);
    EXPECT_EQ(f.driver.pumps, 2);
    EXPECT_FALSE(std::filesystem::exists(target));

    f.driver.cancelAfterPumps = 0;
    f.driver.pumps = 0;
    EXPECT_EQ(f.Convert(kSourceWav, source, f.dir.file("missing/out.mp3")), 0);
    EXPECT_EQ(f.driver.pumps, 0);
    EXPECT_FALSE(std::filesystem::exists(f.dir.file("missing")));
    EXPECT_EQ(testutil::ReadFileBytes(source), sourceBytes);
}

TEST(ConvertToMp3, FailedWriteDeletesTheTarget) {
    testutil::TempDir dir;
    const std::string source = TwoToneWav(dir, 3.0);
    const std::string target = dir.file("out.mp3");
    // Convert in a child whose file-size limit stops the encoder's writes part way.
    const int result = testutil::RunWithFileSizeLimit(16 * 1024, [&] {
        CodecHost host;
        host.Start(testutil::BinDir() + "/");
        Settings settings;
        CountingDriver driver;
        SourceFactoryContext sources;
        ConversionContext context{settings, driver, sources, {}};
        ConversionRequest request{kSourceWav, source, target, 1};
        // 0: failed with the writer's reason; 1: reported success; 2: failed without the reason.
        if (ConvertToMp3(request, context)) return 1;
        return context.failureReason == "File too large" ? 0 : 2;
    });
    EXPECT_EQ(result, 0) << "1: conversion reported success, 2: the failure carries no reason";
    EXPECT_FALSE(std::filesystem::exists(target));
    EXPECT_TRUE(std::filesystem::exists(source));
}

TEST(ConvertToMp3, BatchNumbersTheTracksOfItsRows) {
    Mp3Fixture f;
    f.settings.BrowseOutputFolder = 0;
    f.settings.MP3ID3TagType = 0;
    f.settings.MP3Tag.TrackNumType = 1;
    std::vector<BatchItem> items;
    for (int i = 0; i < 3; ++i) {
        const std::string name = std::string(1, static_cast<char>('a' + i)) + ".wav";
        items.push_back({i, kSourceWav, TwoToneWav(f.dir, 0.3, name), ""});
    }
    testutil::FakeDriver driver;
    BatchState state;
    EXPECT_TRUE(RunConversionBatch(items, kOutputMp3, f.settings, f.host, driver, state));
    for (int i = 0; i < 3; ++i) {
        const std::string name = std::string(1, static_cast<char>('a' + i));
        ASSERT_EQ(driver.Kind(i), RowOutcome::Kind::Converted);
        EXPECT_EQ(driver.Target(i), f.dir.file(name + ".mp3"));
        ASSERT_EQ(items[i].targetPath, f.dir.file(name + ".mp3"));
        auto tags = testutil::FfprobeTags(items[i].targetPath);
        EXPECT_EQ(tags["track"], std::to_string(i + 1));
        EXPECT_EQ(tags["title"], name);
        EXPECT_GT(Inspect(items[i].targetPath).frames, 5u);
    }
}

}  // namespace
