#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <thread>

#include "encoders/AacEncoder.h"
#include "encoders/FaacLayer.h"
#include "support/AacTestUtil.h"
#include "support/TestUtil.h"

using namespace sonavert;
using testutil::Planes;
using testutil::TempDir;

namespace {

// Feeds the planes in blocks of `block` samples per channel; false when any block failed.
template <typename Sample>
bool FeedAll(AacEncoder& enc, const std::vector<Sample>& left, const std::vector<Sample>& right, uint32_t block) {
    for (size_t at = 0; at < left.size(); at += block) {
        const auto n = static_cast<uint32_t>(std::min<size_t>(block, left.size() - at));
        const bool ok = [&] {
            if constexpr (sizeof(Sample) == 1)
                return enc.EncodeBlock8(left.data() + at, right.data() + at, n) == 1;
            else
                return enc.EncodeBlock16(left.data() + at, right.data() + at, n) == 1;
        }();
        if (!ok) return false;
    }
    return true;
}

// Encodes 16-bit planes to `path` with the record adjusted by `adjust`; returns Close's result.
template <typename Adjust>
int EncodeFile(const std::string& path, int rate, int channels, const Planes& p, Adjust adjust) {
    AacEncoder enc;
    if (!enc.Open(path, rate, channels, 16)) return 0;
    adjust(*enc.Configuration());
    if (!enc.Start()) return 0;
    if (!FeedAll(enc, p.left, p.right, 1152)) return 0;
    return enc.Close();
}

int RateIndex(int rate) {
    const int rates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000, 7350};
    for (int i = 0; i < 13; ++i)
        if (rates[i] == rate) return i;
    return -1;
}

// Payload bits per second of a raw AAC file (ADTS headers not counted).
double PayloadBitRate(const std::vector<testutil::AdtsFrame>& frames, int rate) {
    double bytes = 0;
    for (const auto& f : frames) bytes += static_cast<double>(f.length - kAdtsHeaderBytes);
    return bytes * 8 * rate / (static_cast<double>(frames.size()) * kAacFrameLength);
}

}  // namespace

TEST(AacEncoder, EightBitSamplesWidenAroundTheMiddle) {
    EXPECT_EQ(WidenPcm8(0), -32768);
    EXPECT_EQ(WidenPcm8(128), 0);
    EXPECT_EQ(WidenPcm8(255), 32512);
    EXPECT_EQ(WidenPcm8(127), -256);
}

// An untouched record (the automatic mode, or a quality outside 10..500 left alone) codes at the
// layer's default quality.
TEST(AacEncoder, UntouchedRecordUsesTheDefaultQuality) {
    TempDir dir;
    AacEncoder enc;
    EXPECT_EQ(enc.Configuration(), nullptr);
    ASSERT_EQ(enc.Open(dir.file("a.aac"), 44100, 2, 16), 1);
    EXPECT_EQ(enc.InputSamplesPerCall(), 2048u);
    ASSERT_NE(enc.Configuration(), nullptr);
    EXPECT_EQ(enc.Configuration()->bitRate, 0u);
    EXPECT_EQ(enc.Configuration()->quantqual, kFaacDefaultQuality);
    EXPECT_EQ(enc.Close(), 1);
    EXPECT_EQ(enc.Configuration(), nullptr);
}

// Every output decodes with ffmpeg to the input tones at the source's rate and channel count, and
// its ADTS headers describe the stream (MPEG-4 or, when asked, the MPEG-2 identifier).
TEST(AacEncoder, OutputDecodesToTheInputTones) {
    const struct {
        const char* name;
        int rate, channels;
        bool eightBit;
        unsigned long bitRate;  // per channel; 0 = quality mode
        int mpegVersion, tns, midside, blockType;
    } cases[] = {
        {"stereo 44100 ABR", 44100, 2, false, 64000, kFaacMpeg4, 0, 1, 0},
        {"mono 22050 default quality", 22050, 1, false, 0, kFaacMpeg4, 0, 1, 0},
        {"stereo 48000 8-bit, MPEG-2", 48000, 2, true, 48000, kFaacMpeg2, 1, 0, 2},
        {"mono 8000 TNS, no mid/side", 8000, 1, false, 16000, kFaacMpeg4, 1, 0, 1},
    };
    TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.file("tone.aac");
        const double freq = c.rate >= 22050 ? 1000 : 500;
        const Planes tone = testutil::TonePlanes(freq, c.rate, static_cast<size_t>(c.rate) * 2);
        AacEncoder enc;
        ASSERT_EQ(enc.Open(path, c.rate, c.channels, c.eightBit ? 8 : 16), 1);
        FaacConfiguration* cfg = enc.Configuration();
        cfg->bitRate = c.bitRate;
        cfg->mpegVersion = c.mpegVersion;
        cfg->useTns = c.tns;
        cfg->allowMidside = c.midside;
        cfg->shortctl = c.blockType;
        ASSERT_EQ(enc.Start(), 1) << enc.FailureReason();
        if (c.eightBit)
            ASSERT_TRUE(FeedAll(enc, testutil::ToUnsigned8(tone.left), testutil::ToUnsigned8(tone.right), 1152));
        else
            ASSERT_TRUE(FeedAll(enc, tone.left, tone.right, 1152));
        ASSERT_EQ(enc.Close(), 1) << enc.FailureReason();

        const auto bytes = testutil::ReadFileBytes(path);
        const auto frames = testutil::ParseAdts(bytes);
        ASSERT_GT(frames.size(), 10u);
        EXPECT_EQ(frames.back().offset + frames.back().length, bytes.size()) << "nothing but ADTS frames";
        for (const auto& f : frames) {
            ASSERT_EQ(f.mpeg2, c.mpegVersion == kFaacMpeg2 ? 1 : 0);
            ASSERT_EQ(f.profile, 1);  // low complexity
            ASSERT_EQ(f.rateIndex, RateIndex(c.rate));
            ASSERT_EQ(f.channels, c.channels);
            ASSERT_EQ(f.protectionAbsent, 1);
        }

        const auto info = testutil::Probe(path, "stream=codec_name,sample_rate,channels");
        EXPECT_EQ(info.at("codec_name"), "aac");
        EXPECT_EQ(info.at("sample_rate"), std::to_string(c.rate));
        EXPECT_EQ(info.at("channels"), std::to_string(c.channels));
        const auto pcm = testutil::FfmpegDecodeS16(path);
        // Priming, input and the padded last frame: whole frames of 1024.
        EXPECT_GE(pcm.size() / c.channels, tone.size() + kAacFrameLength);
        const size_t skip = static_cast<size_t>(c.rate / 4) * c.channels;
        ASSERT_GT(pcm.size(), 3 * skip);
        const std::vector<int16_t> mid(pcm.begin() + skip, pcm.end() - 2 * skip);
        const double ref = 0.5 / std::sqrt(2.0);
        EXPECT_NEAR(testutil::EstimateFrequency(mid, c.channels, 0, c.rate), freq, freq * 0.01);
        EXPECT_NEAR(testutil::LevelDb(mid, c.channels, 0, ref), 0, 1.0);
        if (c.channels == 2) {
            EXPECT_NEAR(testutil::EstimateFrequency(mid, 2, 1, c.rate), 1.5 * freq, freq * 0.015);
            EXPECT_NEAR(testutil::LevelDb(mid, 2, 1, ref / 2), 0, 1.0);
        }
    }
}

// 128 kbps for a stereo source is 64000 bits per second per channel; a dense signal shows the
// encoder keeping to it within a few per cent.
TEST(AacEncoder, BitRatePerChannelIsHonoured) {
    const struct {
        int rate, channels;
        unsigned long perChannel;
    } cases[] = {{44100, 2, 128 * 1000 / 2}, {32000, 1, 96000}};
    TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.rate << " Hz, " << c.channels << " channels");
        const std::string path = dir.file("noise.aac");
        const Planes noise = testutil::NoisePlanes(static_cast<size_t>(c.rate) * 4);
        ASSERT_EQ(EncodeFile(path, c.rate, c.channels, noise, [&](FaacConfiguration& cfg) { cfg.bitRate = c.perChannel; }), 1);
        const auto frames = testutil::ParseAdts(testutil::ReadFileBytes(path));
        ASSERT_FALSE(frames.empty());
        const double expected = static_cast<double>(c.perChannel) * c.channels;
        EXPECT_NEAR(PayloadBitRate(frames, c.rate), expected, expected * 0.05);
    }
}

// A quality stands for an average bit rate that rises with it, is lower where the sample rate
// leaves less bandwidth, stays within a frame's capacity, and is what the file gets.
TEST(AacEncoder, HigherQualityGivesMoreBits) {
    EXPECT_EQ(FaacQualityBitRate(10, 44100), 12000u);
    EXPECT_EQ(FaacQualityBitRate(100, 44100), 64000u);
    EXPECT_EQ(FaacQualityBitRate(500, 48000), 160000u);
    EXPECT_EQ(FaacQualityBitRate(5, 44100), FaacQualityBitRate(10, 44100));
    EXPECT_EQ(FaacQualityBitRate(600, 44100), FaacQualityBitRate(500, 44100));
    EXPECT_EQ(FaacQualityBitRate(100, 8000), 32000u);
    EXPECT_EQ(FaacQualityBitRate(500, 8000), 48000u);  // all an 8000 Hz frame holds
    for (unsigned long q = 10; q < 500; q += 10) ASSERT_LT(FaacQualityBitRate(q, 44100), FaacQualityBitRate(q + 10, 44100)) << q;

    TempDir dir;
    const Planes noise = testutil::NoisePlanes(44100 * 2);
    for (unsigned long q : {30ul, 100ul, 300ul, 500ul}) {
        SCOPED_TRACE(q);
        const std::string path = dir.file("q.aac");
        ASSERT_EQ(EncodeFile(path, 44100, 2, noise, [&](FaacConfiguration& cfg) { cfg.quantqual = q; }), 1);
        const double rate = PayloadBitRate(testutil::ParseAdts(testutil::ReadFileBytes(path)), 44100);
        const double expected = 2.0 * static_cast<double>(FaacQualityBitRate(q, 44100));
        EXPECT_NEAR(rate, expected, expected * 0.08);
    }
}

// Plucked tones (sharp attacks, fast decays) as one 8000 Hz dual-mono signal, coded at the
// default quality: every 256-sample block above -40 dBFS comes back within 15 dB signal-to-noise
// in both channels. The encoder's own quality mode coded single blocks of one channel near 0 dB.
TEST(AacEncoder, TransientsAreCodedCleanlyInBothChannels) {
    const int rate = 8000;
    const size_t n = 2 * rate;
    const double freqs[] = {196, 523, 330, 880, 247, 659, 392, 440};
    std::vector<double> x(n, 0.0);
    for (size_t k = 0; k < 8; ++k) {
        const size_t at = static_cast<size_t>(0.005 * rate) + k * 1873;  // attacks off the frame grid
        for (size_t i = at; i < n && i < at + rate / 2; ++i) {
            const double t = static_cast<double>(i - at) / rate;
            for (int h = 1; h <= 4; ++h) x[i] += 0.2 / h * std::sin(2 * M_PI * freqs[k] * h * t) * std::exp(-8 * t);
        }
    }
    const double peak = *std::max_element(x.begin(), x.end(), [](double a, double b) { return std::abs(a) < std::abs(b); });
    Planes p;
    for (double v : x) p.left.push_back(static_cast<int16_t>(std::lround(v / std::abs(peak) * 0.9 * 32767)));
    p.right = p.left;

    TempDir dir;
    const std::string path = dir.file("plucks.aac");
    ASSERT_EQ(EncodeFile(path, rate, 2, p, [](FaacConfiguration&) {}), 1);
    const auto pcm = testutil::FfmpegDecodeS16(path);
    ASSERT_GE(pcm.size() / 2, n + kAacFrameLength);
    const size_t block = 256;
    for (int ch = 0; ch < 2; ++ch) {
        double worst = 1e9;
        size_t worstAt = 0;
        for (size_t at = 0; at + block <= n; at += block) {
            double signal = 0, noise = 0;
            for (size_t i = at; i < at + block; ++i) {
                const double s = p.left[i] / 32768.0;
                const double d = pcm[(i + kAacFrameLength) * 2 + static_cast<size_t>(ch)] / 32768.0 - s;
                signal += s * s;
                noise += d * d;
            }
            if (signal / block < 1e-4) continue;  // below -40 dBFS
            const double snr = 10 * std::log10(signal / std::max(noise, 1e-12));
            if (snr < worst) worst = snr, worstAt = at;
        }
        EXPECT_GT(worst, 15.0) << "channel " << ch << ", block at sample " << worstAt;
    }
}

// Blocks that are not whole frames: the remainder waits for the next block, and the last partial
// frame is encoded on Close, so the decoded signal runs to the end of the input.
TEST(AacEncoder, RemainderWaitsAndTheLastPartialFrameIsEncodedOnClose) {
    TempDir dir;
    const std::string path = dir.file("partial.aac");
    const int rate = 44100;
    const size_t n = 5 * 1000 + 700;  // 5.57 frames
    const Planes tone = testutil::TonePlanes(1000, rate, n);
    AacEncoder enc;
    ASSERT_EQ(enc.Open(path, rate, 1, 16), 1);
    enc.Configuration()->bitRate = 64000;
    ASSERT_EQ(enc.Start(), 1);
    ASSERT_TRUE(FeedAll(enc, tone.left, tone.right, 1000));
    // Five whole frames went in; the encoder holds one back, so four are in the file.
    EXPECT_EQ(testutil::ParseAdts(testutil::ReadFileBytes(path)).size(), 4u);
    ASSERT_EQ(enc.Close(), 1);

    const auto frames = testutil::ParseAdts(testutil::ReadFileBytes(path));
    // Priming frame plus the input: ceil((n + 1024) / 1024) frames.
    EXPECT_EQ(frames.size(), (n + kAacFrameLength + kAacFrameLength - 1) / kAacFrameLength);
    const auto pcm = testutil::FfmpegDecodeS16(path);
    ASSERT_GE(pcm.size(), n + kAacFrameLength);
    // The last 500 input samples (all from the partial frame) come out at the tone's level.
    const std::vector<int16_t> tail(pcm.begin() + kAacFrameLength + n - 500, pcm.begin() + kAacFrameLength + n - 20);
    EXPECT_NEAR(testutil::LevelDb(tail, 1, 0, 0.5 / std::sqrt(2.0)), 0, 1.0);
}

TEST(AacEncoder, WhatTheEncoderCannotServeFailsWithAReason) {
    TempDir dir;
    const std::string path = dir.file("refused.aac");
    {
        AacEncoder enc;
        ASSERT_EQ(enc.Open(path, 37800, 2, 16), 1);
        EXPECT_EQ(enc.Start(), 0);
        EXPECT_NE(enc.FailureReason().find("37800"), std::string::npos) << enc.FailureReason();
        const int16_t s[4] = {};
        EXPECT_EQ(enc.EncodeBlock16(s, s, 2), 0);
        EXPECT_EQ(enc.Close(), 0);
    }
    {
        // 8000 Hz frames hold at most 48000 bits per second per channel.
        AacEncoder enc;
        ASSERT_EQ(enc.Open(path, 8000, 2, 16), 1);
        enc.Configuration()->bitRate = 64000;
        EXPECT_EQ(enc.Start(), 0);
        EXPECT_NE(enc.FailureReason().find("bit rate"), std::string::npos) << enc.FailureReason();
    }
    {
        AacEncoder enc;
        EXPECT_EQ(enc.Open(path, 44100, 3, 16), 0);
        EXPECT_FALSE(enc.FailureReason().empty());
        EXPECT_EQ(enc.Open(dir.file("no/such/folder.aac"), 44100, 2, 16), 0);
        EXPECT_FALSE(enc.FailureReason().empty());
    }
}

TEST(AacEncoder, WriteFailureIsReportedAndLaterCallsFail) {
    if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    const Planes tone = testutil::TonePlanes(1000, 44100, 44100);
    AacEncoder enc;
    ASSERT_EQ(enc.Open("/dev/full", 44100, 2, 16), 1);
    enc.Configuration()->bitRate = 64000;
    ASSERT_EQ(enc.Start(), 1);
    EXPECT_FALSE(FeedAll(enc, tone.left, tone.right, 1152));
    EXPECT_NE(enc.FailureReason().find("No space"), std::string::npos) << enc.FailureReason();
    EXPECT_EQ(enc.EncodeBlock16(tone.left.data(), tone.right.data(), 1152), 0);
    EXPECT_EQ(enc.Close(), 0);
    EXPECT_FALSE(enc.FailureReason().empty());
}

// Encoders share no state: two at once on separate threads give the bytes one alone gives.
TEST(AacEncoder, ParallelEncodersMatchASerialOne) {
    TempDir dir;
    const Planes noise = testutil::NoisePlanes(44100);
    auto quality = [](FaacConfiguration& cfg) { cfg.quantqual = 150; };
    ASSERT_EQ(EncodeFile(dir.file("serial.aac"), 44100, 2, noise, quality), 1);
    int results[2] = {};
    std::thread a([&] { results[0] = EncodeFile(dir.file("a.aac"), 44100, 2, noise, quality); });
    std::thread b([&] { results[1] = EncodeFile(dir.file("b.aac"), 44100, 2, noise, quality); });
    a.join();
    b.join();
    EXPECT_EQ(results[0], 1);
    EXPECT_EQ(results[1], 1);
    const auto serial = testutil::ReadFileBytes(dir.file("serial.aac"));
    EXPECT_TRUE(testutil::ReadFileBytes(dir.file("a.aac")) == serial);
    EXPECT_TRUE(testutil::ReadFileBytes(dir.file("b.aac")) == serial);
}
