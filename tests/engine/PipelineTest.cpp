#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <set>
#if defined(__x86_64__)
#include <cpuid.h>
#endif
#include <thread>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "sources/CodecHost.h"
#include "engine/Gain.h"
#include "engine/Pipeline.h"
#include "support/FakeDriver.h"
#include "tags/GainTags.h"
#include "support/TestUtil.h"

using namespace sonavert;
using testutil::Quote;


namespace {

using RecordingDriver = testutil::FakeDriver;

struct Fixture {
    Fixture() { host.Start(testutil::BinDir() + "/"); }
    CodecHost host;
    testutil::TempDir dir;
    Settings settings;
    RecordingDriver driver;
    SourceFactoryContext sources;
    ConversionContext context{settings, driver, sources, {}};

    int Convert(int sourceType, const std::string& source, const std::string& target) {
        ConversionRequest request;
        request.sourceType = sourceType;
        request.sourcePath = source;
        request.targetPath = target;
        return ConvertToWav(request, context);
    }
};

// Stereo 44.1 kHz WAV whose left channel is a 440 Hz tone and right a 1000 Hz tone.
std::string MakeTwoToneWav(const testutil::TempDir& dir, double seconds = 2.0) {
    return testutil::WriteTwoToneWav(dir.file("two-tone.wav"), seconds);
}

std::string FfprobeStream(const std::string& path) {
    std::string out;
    testutil::Run("ffprobe -v error -show_entries stream=codec_name,sample_rate,channels -of csv=p=0 " + Quote(path), &out);
    return out;
}

TEST(ConvertToWav, AutomaticKeepsTheSourceFormatOfAnMp3) {
    Fixture f;
    std::string wav = MakeTwoToneWav(f.dir, 3.0);
    std::string mp3 = f.dir.file("in.mp3");
    ASSERT_EQ(testutil::Run("lame --quiet -b 192 " + Quote(wav) + " " + Quote(mp3)), 0);
    std::string target = f.dir.file("out.wav");
    ASSERT_EQ(f.Convert(kSourceMp3, mp3, target), 1);
    EXPECT_EQ(FfprobeStream(target), "pcm_s16le,44100,2\n");
    // Every decoded sample is written unchanged (no converter in the way).
    auto expected = testutil::FfmpegDecodeS16(mp3);
    auto written = testutil::FfmpegDecodeS16(target);
    ASSERT_EQ(written.size(), expected.size());
    // The decoders round their float output to 16 bits in slightly different ways.
    for (size_t i = 0; i < written.size(); ++i) ASSERT_NEAR(written[i], expected[i], 1) << i;
    // Progress ends at 100 % with a full bar.
    ASSERT_FALSE(f.driver.fileTexts.empty());
    EXPECT_EQ(f.driver.fileTexts.back(), "Converting in.mp3...100%");
    // The bar starts empty, only ever grows, and ends full.
    ASSERT_FALSE(f.driver.fileFractions.empty());
    EXPECT_EQ(f.driver.fileFractions.front(), 0.0);
    EXPECT_EQ(f.driver.fileFractions.back(), 1.0);
    for (size_t i = 2; i < f.driver.fileFractions.size(); ++i)
        EXPECT_GT(f.driver.fileFractions[i], f.driver.fileFractions[i - 1]);
}

TEST(ConvertToWav, ManualMono8BitPicksTheRightChannelAndResamples) {
    Fixture f;
    std::string source = MakeTwoToneWav(f.dir, 2.0);
    f.settings.AutoDestWAVEncodingParam = 0;
    f.settings.WAVSampleRate = 22050;
    f.settings.WAVChannelNum = 1;
    f.settings.WAVBitsPerSample = 8;
    f.settings.MonoType = 2;
    std::string target = f.dir.file("out.wav");
    ASSERT_EQ(f.Convert(kSourceWav, source, target), 1);
    EXPECT_EQ(FfprobeStream(target), "pcm_u8,22050,1\n");
    auto pcm = testutil::FfmpegDecodeS16(target);
    // Nothing lost at the end: the resampler's tail was written too.
    EXPECT_NEAR(static_cast<double>(pcm.size()), 44100.0, 2.0);
    EXPECT_NEAR(testutil::EstimateFrequency(pcm, 1, 0, 22050), 1000.0, 5.0);
    EXPECT_NEAR(testutil::RmsLevel(pcm, 1, 0), 0.25 / std::sqrt(2.0), 0.02);
}

TEST(ConvertToWav, MonoMixAndLeftPickAtTheSourceRate) {
    Fixture f;
    std::string source = MakeTwoToneWav(f.dir, 1.0);
    f.settings.AutoDestWAVEncodingParam = 0;
    f.settings.WAVSampleRate = 0;  // as the source
    f.settings.WAVChannelNum = 1;
    f.settings.WAVBitsPerSample = 0;
    f.settings.MonoType = 1;
    std::string picked = f.dir.file("left.wav");
    ASSERT_EQ(f.Convert(kSourceWav, source, picked), 1);
    auto in = testutil::FfmpegDecodeS16(source);
    auto left = testutil::FfmpegDecodeS16(picked);
    ASSERT_EQ(left.size() * 2, in.size());
    for (size_t i = 0; i < left.size(); i += 997) EXPECT_EQ(left[i], in[2 * i]);

    f.settings.MonoType = 0;
    std::string mixed = f.dir.file("mix.wav");
    ASSERT_EQ(f.Convert(kSourceWav, source, mixed), 1);
    auto mix = testutil::FfmpegDecodeS16(mixed);
    ASSERT_EQ(mix.size() * 2, in.size());
    for (size_t i = 0; i < mix.size(); i += 991) EXPECT_EQ(mix[i], (in[2 * i] + in[2 * i + 1]) >> 1);
}

TEST(ConvertToWav, GainScalesAndClampsAsymmetrically) {
    int16_t left[3] = {2000, -2000, 100};
    int16_t right[3] = {1, 2, 3};
    ApplyGain16(left, right, 3, 1, GainFor(1, 3000).factor);
    EXPECT_EQ(left[0], 32767);
    EXPECT_EQ(left[1], -32767);
    EXPECT_EQ(left[2], 3000);
    EXPECT_EQ(right[0], 1);  // mono: the right plane is left alone
    uint8_t l8[3] = {255, 0, 130};
    ApplyGain8(l8, nullptr, 3, 1, GainFor(1, 10).factor);
    EXPECT_EQ(l8[0], 128 + 12);   // 127 * 0.1 truncated
    EXPECT_EQ(l8[1], 128 - 12);   // -128 * 0.1 truncated toward zero
    EXPECT_EQ(l8[2], 128);
    EXPECT_EQ(GainFor(1, 10).factor, 0.1f);
    int16_t thousand[1] = {1000};
    ApplyGain16(thousand, nullptr, 1, 1, GainFor(1, 10).factor);
    EXPECT_EQ(thousand[0], 100);
    EXPECT_FALSE(GainFor(1, 100).on);
    EXPECT_FALSE(GainFor(0, 300).on);

    Fixture f;
    auto tone = testutil::Sine(440, 44100, 1, 0.5, 0.1);
    std::string source = f.dir.file("quiet.wav");
    testutil::WriteWav16(source, tone, 44100, 1);
    f.settings.AmplifyWav = 1;
    f.settings.AmplifyWavCoeff = 3000;
    std::string target = f.dir.file("loud.wav");
    ASSERT_EQ(f.Convert(kSourceWav, source, target), 1);
    auto loud = testutil::FfmpegDecodeS16(target);
    ASSERT_EQ(loud.size(), tone.size());
    int peak = 0;
    for (int16_t s : loud) peak = std::max(peak, std::abs(static_cast<int>(s)));
    EXPECT_EQ(peak, 32767);
    for (int16_t s : loud) EXPECT_GE(s, -32767);
}

// The meter on the samples handed to the encoder: reference sines, a click whose true peak lies
// between two samples (read 4 dB above its samples, as a four-times filter would not), the
// normalising gain held under the ceiling, and the gain texts of the tags.
TEST(ConvertToWav, LoudnessMeasuredAndNormalisedUnderTheCeiling) {
    Fixture f;
    f.settings.LoudnessAnalysis = 1;
    for (double dbfs : {-23.0, -20.0}) {
        const double amplitude = std::pow(10.0, dbfs / 20.0);
        const std::string source = f.dir.file("sine.wav"), target = f.dir.file("sine-out.wav");
        testutil::WriteWav16(source, testutil::Sine(1000, 48000, 2, 10.0, amplitude), 48000, 2);
        ASSERT_EQ(f.Convert(kSourceWav, source, target), 1);
        EXPECT_NEAR(f.context.loudness.integrated, dbfs, 0.1);
        EXPECT_NEAR(f.context.loudness.TruePeakDb(), dbfs, 0.1);
        std::filesystem::remove(target);
    }

    // A click centred half-way between two samples (a sinc under a Hann window of 24 samples
    // each side), against the value its samples reconstruct there.
    std::vector<int16_t> click(48000 * 4, 0);
    double between = 0, highestSample = 0;
    for (int n = -24; n < 24; ++n) {
        const double u = n - 0.5;
        const double sinc = std::sin(M_PI * u) / (M_PI * u);
        const double x = 0.9 * sinc * (0.5 + 0.5 * std::cos(M_PI * u / 24.5));
        click[static_cast<size_t>(24000 + n)] = static_cast<int16_t>(std::lround(x * 32767));
        between += x * sinc;  // the ideal reconstruction at the midpoint
        highestSample = std::max(highestSample, std::fabs(x));
    }
    LoudnessMeter meter(1, 48000);
    meter.AddPlanar16(click.data(), nullptr, static_cast<uint32_t>(click.size()));
    EXPECT_NEAR(meter.Figures().TruePeakDb(), 20 * std::log10(between), 0.1);
    EXPECT_GT(20 * std::log10(between / highestSample), 3.0);  // far above its samples
    // A tone at a quarter of the rate whose crests fall half-way between samples: its samples
    // read 3 dB under its crests, and every crest is a steady tone's (the reach of each pair).
    std::vector<int16_t> quarter(48000);
    for (size_t i = 0; i < quarter.size(); ++i)
        quarter[i] = static_cast<int16_t>(std::lround(0.5 * 32767 * std::sin(M_PI / 2 * static_cast<double>(i) + M_PI / 4)));
    LoudnessMeter tone4(1, 48000);
    tone4.AddPlanar16(quarter.data(), nullptr, static_cast<uint32_t>(quarter.size()));
    EXPECT_NEAR(tone4.Figures().TruePeakDb(), 20 * std::log10(0.5), 0.1);

    // Normalised to -14 LUFS, a quiet tone rises by the full gain; with the click under it the
    // ceiling of -1 dBTP limits the gain instead.
    f.settings.LoudnessGainMode = kGainNormaliseFile;
    f.settings.LoudnessTarget = -14;
    f.settings.LoudnessPeakCeiling = -10;
    std::vector<int16_t> tone = testutil::Sine(1000, 48000, 1, 4.0, std::pow(10.0, -30 / 20.0));
    const std::string quiet = f.dir.file("quiet.wav"), raised = f.dir.file("raised.wav");
    testutil::WriteWav16(quiet, tone, 48000, 1);
    ASSERT_EQ(f.Convert(kSourceWav, quiet, raised), 1);
    EXPECT_NEAR(f.context.loudness.integrated, -14.0, 0.1);
    for (size_t i = 0; i < tone.size(); ++i) tone[i] = static_cast<int16_t>(tone[i] + click[i] / 4);
    const std::string clicked = f.dir.file("clicked.wav"), held = f.dir.file("held.wav");
    testutil::WriteWav16(clicked, tone, 48000, 1);
    ASSERT_EQ(f.Convert(kSourceWav, clicked, held), 1);
    EXPECT_LE(f.context.loudness.TruePeakDb(), -1.0 + 0.05);
    EXPECT_GT(f.context.loudness.TruePeakDb(), -1.2);
    EXPECT_LT(f.context.loudness.integrated, -14.5);

    // A 24-bit target goes through the wide read: measured and normalised there as well.
    f.settings.AutoDestWAVEncodingParam = 0;
    f.settings.WAVBitsPerSample = 24;
    f.settings.WAVSampleRate = 0;
    f.settings.WAVChannelNum = 0;
    const std::string wide = f.dir.file("raised24.wav");
    ASSERT_EQ(f.Convert(kSourceWav, quiet, wide), 1) << f.context.failureReason;
    EXPECT_NEAR(f.context.loudness.integrated, -14.0, 0.1);
    EXPECT_EQ(testutil::Run("ffprobe -v error -show_entries stream=codec_name " + testutil::Quote(wide) +
                            " | grep -q pcm_s24le"),
              0);

    EXPECT_EQ(ReplayGainText(-23.0), "5.00 dB");
    EXPECT_EQ(ReplayGainPeakText(0.5), "0.500000");
    EXPECT_EQ(R128GainQ78(-20.0), -768);  // 3 dB under the -23 LUFS reference, in 1/256 dB
    EXPECT_EQ(R128GainQ78(-500.0), 32767);
}

TEST(ConvertToWav, CancelDuringTheFirstBlockLeavesNoTarget) {
    Fixture f;
    std::string source = MakeTwoToneWav(f.dir, 1.0);
    f.driver.cancelAfterPumps = 1;
    std::string target = f.dir.file("out.wav");
    EXPECT_EQ(f.Convert(kSourceWav, source, target), 0);
    EXPECT_FALSE(std::filesystem::exists(target));
    EXPECT_TRUE(std::filesystem::exists(source));
    EXPECT_EQ(f.driver.pumps, 1);
}

TEST(ConvertToWav, RatesOutOfRangeFailBeforeAnythingIsWritten) {
    Fixture f;
    std::string source = MakeTwoToneWav(f.dir, 0.5);
    // A hand-edited setting: the target rate must not make the conversion run away.
    f.settings.AutoDestWAVEncodingParam = 0;
    f.settings.WAVSampleRate = 0x7fffffff;
    std::string target = f.dir.file("out.wav");
    EXPECT_EQ(f.Convert(kSourceWav, source, target), 0);
    EXPECT_EQ(f.context.failureReason, "a target sample rate of 2147483647 Hz is out of range (1 to 768000 Hz)");
    EXPECT_FALSE(std::filesystem::exists(target));
    EXPECT_EQ(f.driver.pumps, 0) << "refused before the first block";
    // A sample size no writer takes is refused as early; the highest rate still converts.
    f.settings.WAVSampleRate = 44100;
    f.settings.WAVBitsPerSample = 64;
    f.context.failureReason.clear();
    EXPECT_EQ(f.Convert(kSourceWav, source, target), 0);
    EXPECT_EQ(f.context.failureReason, "the target format (2 channels, 64 bits) cannot be written");
    EXPECT_FALSE(std::filesystem::exists(target));
    f.settings.WAVBitsPerSample = 16;
    f.settings.WAVSampleRate = 768000;
    EXPECT_EQ(f.Convert(kSourceWav, source, target), 1) << f.context.failureReason;
    EXPECT_EQ(testutil::Run("ffprobe -v error -show_entries stream=sample_rate " + testutil::Quote(target) +
                            " | grep -q sample_rate=768000"),
              0);
    std::filesystem::remove(target);

    // A damaged header claiming 0xFFFFFFFF Hz never reaches a target either.
    f.settings.AutoDestWAVEncodingParam = 1;
    f.context.failureReason.clear();
    auto bytes = testutil::ReadFileBytes(source);
    for (int i = 24; i < 28; ++i) bytes[static_cast<size_t>(i)] = 0xff;
    const std::string damaged = f.dir.file("damaged.wav");
    testutil::WriteFileBytes(damaged, bytes);
    EXPECT_EQ(f.Convert(kSourceWav, damaged, target), 0);
    EXPECT_FALSE(f.context.failureReason.empty());
    EXPECT_FALSE(std::filesystem::exists(target));
}

TEST(ConvertToWav, UnreadableSourceFailsWithTheSupportReason) {
    Fixture f;
    std::string source = f.dir.file("noise.wav");
    testutil::WriteFileBytes(source, std::vector<uint8_t>(4000, 0x5a));
    std::string target = f.dir.file("out.wav");
    EXPECT_EQ(f.Convert(kSourceWav, source, target), 0);
    EXPECT_FALSE(std::filesystem::exists(target));
    EXPECT_EQ(f.sources.failureReason, NoDecoderReason());
    EXPECT_NE(f.sources.failureReason.find("To get help, please forward the failure file to <"), std::string::npos);
}

TEST(ConvertToWav, FailedWriteDeletesTheTargetAndKeepsTheSource) {
    testutil::TempDir dir;
    auto tone = testutil::Sine(440, 44100, 2, 2.0);
    std::string source = dir.file("in.wav");
    testutil::WriteWav16(source, tone, 44100, 2);
    const auto sourceBytes = testutil::ReadFileBytes(source);
    std::string target = dir.file("out.wav");
    // Convert in a child whose file-size limit stops the writer half way.
    const int result = testutil::RunWithFileSizeLimit(64 * 1024, [&] {
        CodecHost host;
        host.Start(testutil::BinDir() + "/");
        Settings settings;
        RecordingDriver driver;
        SourceFactoryContext sources;
        ConversionContext context{settings, driver, sources, {}};
        ConversionRequest request{kSourceWav, source, target, 1};
        // 0: failed with the writer's reason; 1: reported success; 2: failed without the reason.
        if (ConvertToWav(request, context)) return 1;
        return context.failureReason == "File too large" ? 0 : 2;
    });
    EXPECT_EQ(result, 0) << "1: conversion reported success, 2: the failure carries no reason";
    EXPECT_FALSE(std::filesystem::exists(target));
    EXPECT_EQ(testutil::ReadFileBytes(source), sourceBytes);
}

// A synthetic source for the loop rules: fixed blocks, a chosen length and position unit.
class ScriptedSource : public AudioSource {
public:
    ScriptedSource(uint64_t reportedLength, int blocks, uint64_t step) : blocks_(blocks), step_(step) {
        length = reportedLength;
        channels = 1;
        bitsPerSample = 16;
        sampleRate = 44100;
    }
    void Close() override {}
    int Open(const std::string&, uint32_t) override { return 1; }
    uint32_t Read(void* left, void*) override {
        if (blocks_ == 0) return 0;
        --blocks_;
        position += step_;
        std::fill_n(static_cast<int16_t*>(left), 100, int16_t{7});
        return 100;
    }
    int blocksLeft() const { return blocks_; }

private:
    int blocks_;
    uint64_t step_;
};

TEST(PumpSource, ZeroLengthShowsHundredAtTheFirstBlock) {
    RecordingDriver driver;
    ScriptedSource source(0, 3, 4608);
    int blocks = 0;
    EXPECT_EQ(PumpSource(source, kSourceWav, "/music/a.wav", driver,
                         [&](void*, void*, uint32_t n) { EXPECT_EQ(n, 100u); return ++blocks, 1; }),
              1);
    EXPECT_EQ(blocks, 3);
    ASSERT_EQ(driver.fileTexts.size(), 1u);
    EXPECT_EQ(driver.fileTexts[0], "Converting a.wav...100%");
    EXPECT_EQ(driver.pumps, 3);
}

TEST(PumpSource, ModulesAndMidiStopAtTheirLength) {
    for (int type : {kSourceModule, kSourceMidi, kSourceWav}) {
        RecordingDriver driver;
        ScriptedSource source(30, 10, 10);
        int blocks = 0;
        EXPECT_EQ(PumpSource(source, type, "x.mid", driver, [&](void*, void*, uint32_t) { return ++blocks, 1; }), 1);
        EXPECT_EQ(blocks, type == kSourceWav ? 10 : 3) << type;
    }
}

TEST(PumpSource, PercentTextsOnlyGrowAndSinkFailureStops) {
    RecordingDriver driver;
    ScriptedSource source(1000, 10, 100);
    EXPECT_EQ(PumpSource(source, kSourceWav, "/a/b.flac", driver, [](void*, void*, uint32_t) { return 1; }), 1);
    std::vector<std::string> want;
    for (int p = 10; p <= 100; p += 10) want.push_back("Converting b.flac..." + std::to_string(p) + "%");
    EXPECT_EQ(driver.fileTexts, want);

    RecordingDriver d2;
    ScriptedSource s2(1000, 10, 100);
    int calls = 0;
    EXPECT_EQ(PumpSource(s2, kSourceWav, "b", d2, [&](void*, void*, uint32_t) { return ++calls < 2 ? 1 : 0; }), 0);
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(s2.blocksLeft(), 8);
}

TEST(RenderRateFor, FollowsEachFamilysRate) {
    Settings s;
    EXPECT_EQ(RenderRateFor(kOutputMp3, s), 44100u);  // automatic
    s.AutoDestMP3EncodingParam = 0;
    s.MP3SampleRate = 22050;
    EXPECT_EQ(RenderRateFor(kOutputMp3, s), 22050u);
    s.MP3SampleRate = 0;  // as the source: modules and MIDI render at 44100
    EXPECT_EQ(RenderRateFor(kOutputMp3, s), 44100u);
    s.AutoDestWAVEncodingParam = 0;
    s.WAVSampleRate = 8000;
    EXPECT_EQ(RenderRateFor(kOutputWav, s), 8000u);
    EXPECT_EQ(RenderRateFor(kOutputAmr, s), 8000u);
    s.AMRType = 1;
    EXPECT_EQ(RenderRateFor(kOutputAmr, s), 16000u);
    EXPECT_EQ(RenderRateFor(kOutputAwb, s), 16000u);
    EXPECT_EQ(RenderRateFor(kOutputM4a, s), 44100u);
    s.AutoDestWMAEncodingParam = 0;
    s.WMASampleRate = 32000;
    EXPECT_EQ(RenderRateFor(kOutputWma, s), 32000u);
}

TEST(PlanConversion, Rules) {
    // Same format: nothing to do.
    FormatPlan p = PlanConversion(44100, 16, 2, 44100, 16, 2, 0);
    EXPECT_FALSE(p.convert);
    EXPECT_EQ(p.pick, 0);
    // Stereo to mono: mix needs the converter, a pick does not.
    EXPECT_TRUE(PlanConversion(44100, 16, 2, 44100, 16, 1, 0).convert);
    p = PlanConversion(44100, 16, 2, 44100, 16, 1, 2);
    EXPECT_FALSE(p.convert);
    EXPECT_EQ(p.pick, 2);
    p = PlanConversion(44100, 16, 2, 22050, 8, 1, 1);
    EXPECT_TRUE(p.convert);
    EXPECT_EQ(p.pick, 1);
    EXPECT_EQ(p.converterInputChannels, 1);
    EXPECT_TRUE(PlanConversion(44100, 16, 1, 44100, 16, 2, 0).convert);
    EXPECT_TRUE(PlanConversion(44100, 8, 1, 44100, 16, 1, 0).convert);
}

TEST(SameFile, RecognisesOneFileUnderTwoNames) {
    testutil::TempDir dir;
    std::string a = dir.file("a.wav");
    testutil::WriteFileBytes(a, {1, 2, 3});
    std::filesystem::create_symlink(a, dir.file("link.wav"));
    EXPECT_TRUE(SameFile(a, dir.file("link.wav")));
    EXPECT_TRUE(SameFile(a, dir.path().string() + "/./sub/../a.wav"));
    EXPECT_FALSE(SameFile(a, dir.file("A.wav")));
    DeleteFailedTarget(dir.file("link.wav"), a);
    EXPECT_TRUE(std::filesystem::exists(a));
}

}  // namespace

namespace {

// Every encoding the WAV reader handles converts through it alone, as when the other decoders
// refuse a file: the tone keeps its length, frequency and level.
TEST(ConvertToWav, EveryWavEncodingThroughTheOwnReader) {
    Fixture f;
    f.sources.onlyDecoder = "wav";
    std::string tone = f.dir.file("tone.wav");
    testutil::WriteWav16(tone, testutil::Sine(200, 8000, 1, 1.0, 0.5), 8000, 1);
    for (const char* codec : {"pcm_u8", "pcm_s16le", "pcm_s24le", "pcm_s32le", "pcm_f32le", "pcm_f64le", "pcm_alaw",
                              "pcm_mulaw", "adpcm_ms", "adpcm_ima_wav", "gsm_ms"}) {
        SCOPED_TRACE(codec);
        std::string in = f.dir.file(std::string(codec) + ".wav");
        ASSERT_EQ(testutil::Run("ffmpeg -v error -y -i " + testutil::Quote(tone) + " -c:a " + codec + " " +
                                testutil::Quote(in)),
                  0);
        std::string out = f.dir.file(std::string(codec) + "-out.wav");
        ASSERT_EQ(f.Convert(kSourceWav, in, out), 1);
        auto pcm = testutil::FfmpegDecodeS16(out);
        auto reference = testutil::FfmpegDecodeS16(in);
        // Block codecs may drop a short last block.
        ASSERT_NEAR(static_cast<double>(pcm.size()), static_cast<double>(reference.size()), 512.0);
        ASSERT_GT(pcm.size(), 7000u);
        // Decoders round differently by a step or so; the signal itself must be the same.
        double err = 0;
        for (size_t i = 0; i < 7000; ++i) err += std::pow((pcm[i] - reference[i]) / 32768.0, 2);
        EXPECT_LT(std::sqrt(err / 7000), 0.002);
        EXPECT_NEAR(testutil::RmsLevel(pcm, 1, 0), 0.3536, 0.03);
    }
}

}  // namespace

namespace {

// An adapter of the WAV family's row (which chooses its read per file) that asks for the wide read
// in a format of its choosing and keeps every sample it is handed.
class WideProbe : public EncoderAdapter {
public:
    WideFormat want;
    uint32_t rate = 0;  // 0: the source's
    std::vector<double> samples;
    WideFormat source;

    TargetFormat ChooseFormat(const PipelineCall& call) override {
        source = call.facts.wide;
        TargetFormat f;
        f.rate = rate ? rate : call.facts.rate;
        f.wide = want;
        return f;
    }
    bool Start(const PipelineCall&, const TargetFormat&, const TagChoice&) override { return true; }
    bool EncodeWide(const double* in, uint32_t n) override {
        samples.insert(samples.end(), in, in + size_t(n) * want.channels);
        return true;
    }
    bool End() override { return true; }
    bool CreatedTarget() const override { return false; }
    std::string FailureReason() const override { return "probe"; }
};

// The skeleton feeds a wide family the source's samples exactly when nothing changes, converted and
// gained when the format asks for it, and refuses a target format no encoder takes.
TEST(RunPipeline, WideFamiliesGetInterleavedConvertedGainedBlocks) {
    Fixture f;
    const std::string source = MakeTwoToneWav(f.dir, 1.0);
    const std::vector<int16_t> pcm = testutil::FfmpegDecodeS16(source);
    ConversionRequest request;
    request.sourceType = kSourceWav;
    request.sourcePath = source;
    request.targetPath = f.dir.file("unused.wav");

    WideProbe exact;
    exact.want = {2, 0x3, 16, false};
    ASSERT_EQ(RunPipeline(request, f.context, Family::Wav, exact), kConversionComplete);
    EXPECT_EQ(exact.source.channels, 2u);
    ASSERT_EQ(exact.samples.size(), pcm.size());
    for (size_t i = 0; i < pcm.size(); ++i) ASSERT_EQ(exact.samples[i], pcm[i] / 32768.0) << i;
    EXPECT_EQ(f.driver.fileTexts.back(), "Converting two-tone.wav...100%");

    // Halved by the WAV family's gain, mixed to the left side, at half the rate.
    f.settings.AmplifyWav = 1;
    f.settings.AmplifyWavCoeff = 50;
    f.settings.MonoType = 1;
    WideProbe converted;
    converted.want = {1, 0x4, 24, false};
    converted.rate = 22050;
    ASSERT_EQ(RunPipeline(request, f.context, Family::Wav, converted), kConversionComplete);
    EXPECT_NEAR(static_cast<double>(converted.samples.size()), pcm.size() / 4.0, 2.0);
    double sum = 0;
    for (size_t i = 2000; i < 9000; ++i) sum += converted.samples[i] * converted.samples[i];
    EXPECT_NEAR(std::sqrt(sum / 7000), 0.25 / std::sqrt(2.0), 0.003);

    WideProbe refused;
    refused.want = {9, 0, 24, false};
    f.context.failureReason.clear();
    EXPECT_EQ(RunPipeline(request, f.context, Family::Wav, refused), 0);
    EXPECT_EQ(f.context.failureReason, "the target format (9 channels, 24 bits) cannot be written");
    EXPECT_TRUE(refused.samples.empty());
}

#if defined(__x86_64__)
// Whether the processor tells which register states are in use (XGETBV with ECX=1) and has AVX.
bool CanSeeUpperVectorHalves() {
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & bit_OSXSAVE) || !(c & bit_AVX)) return false;
    unsigned enabled, high;
    __asm__ volatile("xgetbv" : "=a"(enabled), "=d"(high) : "c"(0));
    if ((enabled & 6) != 6) return false;  // the system keeps no vector state beyond SSE
    return __get_cpuid_count(0xD, 1, &a, &b, &c, &d) && (a & (1u << 2));
}
bool UpperVectorHalvesInUse() {
    unsigned a, d;
    __asm__ volatile("xgetbv" : "=a"(a), "=d"(d) : "c"(1));
    return (a >> 2) & 1;
}
// Leaves the upper half of ymm0 in use, as some libraries do when they return.
void UseUpperVectorHalves() { __asm__ volatile("vpcmpeqd %%ymm0, %%ymm0, %%ymm0" ::: "xmm0"); }
#else
bool CanSeeUpperVectorHalves() { return false; }
bool UpperVectorHalvesInUse() { return false; }
void UseUpperVectorHalves() {}
#endif

// A 16-bit stereo encoder that makes a small file at the target, fails at a chosen block, can take
// its time over each block, and notes the threads it is called on.
class PlanarProbe : public EncoderAdapter {
public:
    uint32_t rate = 0;  // 0: the source's
    int failAt = -1;    // the block (counted from 0) that fails
    int sleepMicroseconds = 0;
    int blocks = 0;
    uint64_t frames = 0;
    bool blockAfterEnd = false;
    bool ended = false;
    std::string target;
    std::thread::id startThread, endThread;
    std::set<std::thread::id> encodeThreads;
    int upperInUse = 0;  // blocks that came with the upper vector halves in use

    TargetFormat ChooseFormat(const PipelineCall& call) override {
        TargetFormat f;
        f.rate = rate ? rate : call.facts.rate;
        f.channels = 2;
        f.plan = PlanConversion(call.facts.rate, call.facts.bits, call.facts.channels, f.rate, 16, 2, 0);
        return f;
    }
    bool Start(const PipelineCall& call, const TargetFormat&, const TagChoice&) override {
        startThread = std::this_thread::get_id();
        target = call.request.targetPath;
        testutil::WriteFileBytes(target, {1, 2, 3});
        return true;
    }
    bool EncodeBlock(void*, void* right, uint32_t n) override {
        if (ended || !right) blockAfterEnd = true;
        encodeThreads.insert(std::this_thread::get_id());
        upperInUse += UpperVectorHalvesInUse() ? 1 : 0;
        if (sleepMicroseconds) std::this_thread::sleep_for(std::chrono::microseconds(sleepMicroseconds));
        if (blocks++ == failAt) return false;
        frames += n;
        return true;
    }
    bool End() override {
        ended = true;
        endThread = std::this_thread::get_id();
        return true;
    }
    bool CreatedTarget() const override { return !target.empty(); }
    std::string FailureReason() const override { return "failed at block " + std::to_string(failAt); }
};

// With the encoder on a thread of its own, the adapter is started and ended on the calling thread
// and sees the same blocks; a failure at any block (the first, one in the middle, the last one out
// of the converter's flush) ends the conversion with the adapter's reason and no later block, and
// Cancel while the encoder lags behind a full queue ends at once. Every failed target is deleted.
TEST(RunPipeline, EncoderThreadEndsAsTheCallingThreadDoes) {
    Fixture f;
    const std::string source = MakeTwoToneWav(f.dir, 3.0);
    const ConversionRequest request{kSourceWav, source, f.dir.file("probe.out"), 1, kOutputWav};
    const auto here = std::this_thread::get_id();
    auto run = [&](PlanarProbe& probe, bool overlap) {
        probe.rate = 32000;
        f.context.overlapEncoding = overlap;
        f.context.failureReason.clear();
        return RunPipeline(request, f.context, Family::Wav, probe);
    };
    PlanarProbe alone, beside;
    ASSERT_EQ(run(alone, false), kConversionComplete);
    ASSERT_EQ(run(beside, true), kConversionComplete);
    EXPECT_EQ(beside.blocks, alone.blocks);
    EXPECT_EQ(beside.frames, alone.frames);
    EXPECT_EQ(beside.startThread, here);
    EXPECT_EQ(beside.endThread, here);
    ASSERT_EQ(beside.encodeThreads.size(), 1u);
    EXPECT_NE(*beside.encodeThreads.begin(), here);
    EXPECT_FALSE(beside.blockAfterEnd);

    for (int failAt : {0, alone.blocks / 2, alone.blocks - 1}) {
        SCOPED_TRACE(failAt);
        PlanarProbe probe;
        probe.failAt = failAt;
        EXPECT_EQ(run(probe, true), 0);
        EXPECT_EQ(f.context.failureReason, probe.FailureReason());
        EXPECT_EQ(probe.blocks, failAt + 1);
        EXPECT_FALSE(probe.blockAfterEnd);
        EXPECT_FALSE(std::filesystem::exists(request.targetPath));
    }

    PlanarProbe slow;
    slow.sleepMicroseconds = 5000;
    f.driver.pumps = 0;
    f.driver.cancelAfterPumps = 100;  // beyond what the ring holds, so that the encoder has begun
    EXPECT_EQ(run(slow, true), 0);
    EXPECT_TRUE(f.context.failureReason.empty()) << f.context.failureReason;
    EXPECT_GT(slow.blocks, 0);
    EXPECT_LT(slow.blocks, 99) << "the blocks still queued at Cancel are dropped";
    EXPECT_FALSE(slow.blockAfterEnd);
    EXPECT_FALSE(std::filesystem::exists(request.targetPath));

    // A caller that left the upper vector halves in use (a thread made then inherits them) does
    // not pass them on to the encoder: SSE-only encoders run slower while they are in use.
    if (CanSeeUpperVectorHalves()) {
        for (bool overlap : {false, true}) {
            SCOPED_TRACE(overlap);
            PlanarProbe probe;
            f.driver.cancelAfterPumps = 0;
            UseUpperVectorHalves();
            ASSERT_EQ(run(probe, overlap), kConversionComplete);
            EXPECT_GT(probe.blocks, 0);
            EXPECT_EQ(probe.upperInUse, 0);
        }
    }
}

}  // namespace
