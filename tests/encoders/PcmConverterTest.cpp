#include "encoders/PcmConverter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "base/Downmix.h"
#include "support/TestUtil.h"

using sonavert::PcmConverter;

namespace {

void Configure(PcmConverter& c, int inRate, int inCh, int inBits, int outRate, int outCh, int outBits) {
    c.inputRate = inRate;
    c.inputChannels = inCh;
    c.inputBits = inBits;
    c.outputRate = outRate;
    c.outputChannels = outCh;
    c.outputBits = outBits;
    ASSERT_EQ(c.Setup(), 1);
}

// Runs a mono 16-bit signal through the converter in blocks of the given sizes (cycled), then
// flushes; returns the whole output as one plane.
std::vector<int16_t> ResampleMono(int inRate, int outRate, const std::vector<int16_t>& in,
                                  const std::vector<uint32_t>& blockSizes, bool flush = true) {
    PcmConverter c;
    Configure(c, inRate, 1, 16, outRate, 1, 16);
    uint32_t largest = *std::max_element(blockSizes.begin(), blockSizes.end());
    std::vector<int16_t> out, buf(std::max<size_t>(c.OutputCapacity(), size_t(outRate / inRate + 1) * largest));
    size_t pos = 0, k = 0;
    while (pos < in.size()) {
        uint32_t n = static_cast<uint32_t>(std::min<size_t>(blockSizes[k++ % blockSizes.size()], in.size() - pos));
        uint32_t got = 0;
        EXPECT_EQ(c.Convert(&in[pos], nullptr, n, buf.data(), nullptr, &got), 1);
        out.insert(out.end(), buf.begin(), buf.begin() + got);
        pos += n;
    }
    while (flush) {
        uint32_t got = c.Flush(buf.data(), nullptr);
        if (!got) break;
        out.insert(out.end(), buf.begin(), buf.begin() + got);
    }
    return out;
}

}  // namespace

TEST(PcmConverter, EqualFormatsCopyTheBlockUnchanged) {
    PcmConverter c;
    Configure(c, 44100, 2, 16, 44100, 2, 16);
    std::vector<int16_t> l = {-32768, -1, 0, 1, 32767}, r = {5, 4, 3, 2, 1};
    std::vector<int16_t> ol(5), orr(5);
    uint32_t n = 0;
    ASSERT_EQ(c.Convert(l.data(), r.data(), 5, ol.data(), orr.data(), &n), 1);
    EXPECT_EQ(n, 5u);
    EXPECT_EQ(ol, l);
    EXPECT_EQ(orr, r);
}

TEST(PcmConverter, WidthAndChannelConversionAtEqualRates) {
    // 8-bit mono to 16-bit stereo: (u - 128) * 256 on both channels.
    {
        PcmConverter c;
        Configure(c, 22050, 1, 8, 22050, 2, 16);
        std::vector<uint8_t> in = {0, 1, 127, 128, 129, 255};
        std::vector<int16_t> l(6), r(6);
        uint32_t n = 0;
        ASSERT_EQ(c.Convert(in.data(), nullptr, 6, l.data(), r.data(), &n), 1);
        EXPECT_EQ(n, 6u);
        std::vector<int16_t> want = {-32768, -32512, -256, 0, 256, 32512};
        EXPECT_EQ(l, want);
        EXPECT_EQ(r, want);
    }
    // 16-bit stereo to 8-bit stereo: (s >> 8) + 128, the shift rounding toward minus infinity.
    {
        PcmConverter c;
        Configure(c, 8000, 2, 16, 8000, 2, 8);
        std::vector<int16_t> l = {-32768, -1, 0, 255, 256, 32767}, r = {32767, 0, -1, -256, -257, -32768};
        std::vector<uint8_t> ol(6), orr(6);
        uint32_t n = 0;
        ASSERT_EQ(c.Convert(l.data(), r.data(), 6, ol.data(), orr.data(), &n), 1);
        EXPECT_EQ(ol, (std::vector<uint8_t>{0, 127, 128, 128, 129, 255}));
        EXPECT_EQ(orr, (std::vector<uint8_t>{255, 128, 127, 127, 126, 0}));
    }
}

TEST(PcmConverter, StereoToMonoMixNeverOverflows) {
    {
        PcmConverter c;
        Configure(c, 44100, 2, 16, 44100, 1, 16);
        std::vector<int16_t> l = {32767, -32768, 3, -3, 100}, r = {32767, -32767, 0, 0, -101};
        std::vector<int16_t> out(5, 77);
        uint32_t n = 0;
        ASSERT_EQ(c.Convert(l.data(), r.data(), 5, out.data(), nullptr, &n), 1);
        EXPECT_EQ(n, 5u);
        EXPECT_EQ(out, (std::vector<int16_t>{32767, -32768, 1, -2, -1}));
    }
    {
        // Unsigned 8-bit mix, and a 16-bit stereo source mixed after narrowing to 8 bits.
        PcmConverter c8;
        Configure(c8, 11025, 2, 8, 11025, 1, 8);
        std::vector<uint8_t> l = {255, 0, 128, 255}, r = {255, 0, 129, 254}, out(4);
        uint32_t n = 0;
        ASSERT_EQ(c8.Convert(l.data(), r.data(), 4, out.data(), nullptr, &n), 1);
        EXPECT_EQ(out, (std::vector<uint8_t>{255, 0, 128, 254}));

        PcmConverter c16;
        Configure(c16, 11025, 2, 16, 11025, 1, 8);
        std::vector<int16_t> l16 = {32767, -32768}, r16 = {32767, -32767};
        ASSERT_EQ(c16.Convert(l16.data(), r16.data(), 2, out.data(), nullptr, &n), 1);
        EXPECT_EQ(out[0], 255);
        EXPECT_EQ(out[1], 0);
    }
}

TEST(PcmConverter, RejectsInvalidConfigurationAndUseBeforeSetup) {
    PcmConverter c;
    std::vector<int16_t> in(4), out(4);
    uint32_t n = 99;
    EXPECT_EQ(c.Convert(in.data(), nullptr, 4, out.data(), nullptr, &n), 0);
    EXPECT_EQ(n, 0u);
    for (int bad : {0, 3}) {
        c.inputRate = c.outputRate = 44100;
        c.inputChannels = c.outputChannels = 2;
        c.inputBits = c.outputBits = 16;
        (bad ? c.inputChannels : c.inputRate) = bad;
        EXPECT_EQ(c.Setup(), 0);
        EXPECT_EQ(c.Convert(in.data(), in.data(), 2, out.data(), out.data(), &n), 0);
    }
}

TEST(PcmConverter, ResamplingKeepsFrequencyLevelAndLength) {
    struct Case { int in, out; } cases[] = {{44100, 22050}, {8000, 48000}, {48000, 44100}};
    for (auto cs : cases) {
        SCOPED_TRACE(testing::Message() << cs.in << " -> " << cs.out);
        std::vector<int16_t> in = testutil::Sine(1000, cs.in, 1, 1.0, 0.5);
        std::vector<int16_t> out = ResampleMono(cs.in, cs.out, in, {1152});
        // Nothing is lost once the tail is flushed.
        double expected = static_cast<double>(in.size()) * cs.out / cs.in;
        EXPECT_NEAR(static_cast<double>(out.size()), expected, 2.0);
        EXPECT_NEAR(testutil::EstimateFrequency(out, 1, 0, cs.out), 1000.0, 2.0);
        // Skip the filter's fade-in and fade-out at the ends when measuring the level.
        std::vector<int16_t> mid(out.begin() + out.size() / 10, out.end() - out.size() / 10);
        EXPECT_NEAR(testutil::RmsLevel(mid, 1, 0), 0.5 / std::sqrt(2.0), 0.005);
    }
}

TEST(PcmConverter, BlockwiseOutputEqualsWholeSignalOutput) {
    std::vector<int16_t> in = testutil::Sine(1234, 44100, 1, 0.5, 0.7);
    std::mt19937 rng(7);
    for (auto& s : in) s = static_cast<int16_t>(s + static_cast<int>(rng() % 200) - 100);
    for (int outRate : {48000, 22050, 32000}) {
        SCOPED_TRACE(outRate);
        std::vector<int16_t> whole = ResampleMono(44100, outRate, in, {static_cast<uint32_t>(in.size())});
        std::vector<int16_t> fixed = ResampleMono(44100, outRate, in, {1152});
        std::vector<int16_t> ragged = ResampleMono(44100, outRate, in, {1, 1152, 17, 700, 3, 1000});
        EXPECT_EQ(fixed, whole);
        EXPECT_EQ(ragged, whole);
    }
}

TEST(PcmConverter, StereoChannelsKeepSeparateState) {
    // Left carries 500 Hz, right 1500 Hz; a shared filter state would smear one into the other.
    std::vector<int16_t> l = testutil::Sine(500, 32000, 1, 0.5), r = testutil::Sine(1500, 32000, 1, 0.5, 0.25);
    PcmConverter c;
    Configure(c, 32000, 2, 16, 44100, 2, 16);
    std::vector<int16_t> ol(c.OutputCapacity()), orr(c.OutputCapacity()), inter;
    for (size_t pos = 0; pos < l.size(); pos += 1152) {
        uint32_t n = static_cast<uint32_t>(std::min<size_t>(1152, l.size() - pos)), got = 0;
        ASSERT_EQ(c.Convert(&l[pos], &r[pos], n, ol.data(), orr.data(), &got), 1);
        for (uint32_t i = 0; i < got; ++i) inter.insert(inter.end(), {ol[i], orr[i]});
    }
    for (uint32_t got; (got = c.Flush(ol.data(), orr.data())) != 0;)
        for (uint32_t i = 0; i < got; ++i) inter.insert(inter.end(), {ol[i], orr[i]});
    EXPECT_NEAR(inter.size() / 2.0, l.size() * 44100.0 / 32000.0, 2.0);
    EXPECT_NEAR(testutil::EstimateFrequency(inter, 2, 0, 44100), 500.0, 2.0);
    EXPECT_NEAR(testutil::EstimateFrequency(inter, 2, 1, 44100), 1500.0, 3.0);
    EXPECT_NEAR(testutil::RmsLevel(inter, 2, 0), 0.5 / std::sqrt(2.0), 0.01);
    EXPECT_NEAR(testutil::RmsLevel(inter, 2, 1), 0.25 / std::sqrt(2.0), 0.01);
}

TEST(PcmConverter, ResamplingWithChannelAndWidthChanges) {
    // Mono 8-bit in, stereo 16-bit out: both channels identical, values on the 16-bit scale.
    std::vector<int16_t> s = testutil::Sine(1000, 22050, 1, 0.3, 0.5);
    std::vector<uint8_t> in8(s.size());
    for (size_t i = 0; i < s.size(); ++i) in8[i] = static_cast<uint8_t>((s[i] >> 8) + 128);
    PcmConverter c;
    Configure(c, 22050, 1, 8, 44100, 2, 16);
    std::vector<int16_t> ol(c.OutputCapacity()), orr(c.OutputCapacity()), all;
    for (size_t pos = 0; pos < in8.size(); pos += 1152) {
        uint32_t n = static_cast<uint32_t>(std::min<size_t>(1152, in8.size() - pos)), got = 0;
        ASSERT_EQ(c.Convert(&in8[pos], nullptr, n, ol.data(), orr.data(), &got), 1);
        ASSERT_TRUE(std::equal(ol.begin(), ol.begin() + got, orr.begin()));
        all.insert(all.end(), ol.begin(), ol.begin() + got);
    }
    EXPECT_NEAR(testutil::EstimateFrequency(all, 1, 0, 44100), 1000.0, 3.0);
    EXPECT_NEAR(testutil::RmsLevel(all, 1, 0), 0.5 / std::sqrt(2.0), 0.02);
}

TEST(PcmConverter, FloatPathTruncatesTowardZeroAndClamps) {
    // Steady DC of +-0.5 comes back as trunc(+-0.5 * 32767) = +-16383 and, at 8 bits,
    // 128 + trunc(+-0.5 * 127) = 191 / 65.
    std::vector<int16_t> dc(8000, 16384), neg(8000, -16384);
    auto pos16 = ResampleMono(16000, 48000, dc, {1152}, false);
    auto neg16 = ResampleMono(16000, 48000, neg, {1152}, false);
    ASSERT_GT(pos16.size(), 20000u);
    for (size_t i = 2000; i < pos16.size(); ++i) ASSERT_EQ(pos16[i], 16383) << i;
    for (size_t i = 2000; i < neg16.size(); ++i) ASSERT_EQ(neg16[i], -16383) << i;

    // A full-scale square wave overshoots after resampling; the overshoot is clamped to 32767 or
    // 255 rather than wrapping around to the other sign.
    std::vector<int16_t> sq(44100);
    for (size_t i = 0; i < sq.size(); ++i) sq[i] = (i / 50) % 2 ? -32768 : 32767;
    for (int bits : {16, 8}) {
        SCOPED_TRACE(bits);
        PcmConverter c;
        Configure(c, 44100, 1, 16, 48000, 1, bits);
        std::vector<int16_t> buf16(c.OutputCapacity());
        std::vector<int> out;
        for (size_t pos = 0; pos < sq.size(); pos += 1152) {
            uint32_t n = static_cast<uint32_t>(std::min<size_t>(1152, sq.size() - pos)), got = 0;
            ASSERT_EQ(c.Convert(&sq[pos], nullptr, n, buf16.data(), nullptr, &got), 1);
            for (uint32_t i = 0; i < got; ++i)
                out.push_back(bits == 16 ? buf16[i] : reinterpret_cast<uint8_t*>(buf16.data())[i]);
        }
        for (uint32_t got; (got = c.Flush(buf16.data(), nullptr)) != 0;)
            for (uint32_t i = 0; i < got; ++i)
                out.push_back(bits == 16 ? buf16[i] : reinterpret_cast<uint8_t*>(buf16.data())[i]);
        int top = bits == 16 ? 32767 : 255, bottom = bits == 16 ? -32767 : 1, centre = bits == 16 ? 0 : 128;
        EXPECT_GT(std::count(out.begin(), out.end(), top), 100);
        EXPECT_GT(std::count(out.begin(), out.end(), bottom), 100);
        EXPECT_EQ(*std::max_element(out.begin(), out.end()), top);
        EXPECT_EQ(*std::min_element(out.begin(), out.end()), bottom);
        // One sign change per input edge: a wrapped overshoot would add many more.
        int changes = 0;
        for (size_t i = 1; i < out.size(); ++i) changes += (out[i - 1] >= centre) != (out[i] >= centre);
        EXPECT_NEAR(changes, 881, 3);
    }
}

TEST(PcmConverter, NeverWritesBeyondTheCallersBuffer) {
    const int16_t kGuard = 0x5A5A;
    const int rates[][2] = {{8000, 48000}, {8000, 44100}, {11025, 44100}, {44100, 48000},
                            {48000, 44100}, {44100, 8000}, {22050, 44100}};
    std::vector<int16_t> in = testutil::Sine(3000, 48000, 1, 0.5, 0.9);
    std::mt19937 rng(11);
    for (auto& r : rates) {
        SCOPED_TRACE(testing::Message() << r[0] << " -> " << r[1]);
        PcmConverter c;
        Configure(c, r[0], 2, 16, r[1], 2, 16);
        // 8000 -> 48000 gets 7 x 1152, 44100 -> 48000 twice the block, 48000 -> 44100 one block.
        ASSERT_EQ(c.OutputCapacity(), static_cast<uint32_t>(r[1] / r[0] + 1) * 1152u);
        std::vector<int16_t> ol(c.OutputCapacity() + 64, kGuard), orr(c.OutputCapacity() + 64, kGuard);
        uint64_t total = 0, consumed = 0;
        size_t pos = 0;
        while (pos + 1152 <= in.size()) {
            // Full blocks mixed with short ones, as at the end of a file.
            uint32_t n = rng() % 3 ? 1152 : 1 + rng() % 1152, got = 0;
            ASSERT_EQ(c.Convert(&in[pos], &in[pos], n, ol.data(), orr.data(), &got), 1);
            ASSERT_LE(got, static_cast<uint32_t>(r[1] / r[0] + 1) * n);
            total += got;
            consumed += n;
            pos += n;
        }
        for (uint32_t got; (got = c.Flush(ol.data(), orr.data())) != 0;) {
            ASSERT_LE(got, c.OutputCapacity());
            total += got;
        }
        for (size_t i = c.OutputCapacity(); i < ol.size(); ++i) {
            ASSERT_EQ(ol[i], kGuard);
            ASSERT_EQ(orr[i], kGuard);
        }
        EXPECT_NEAR(static_cast<double>(total), static_cast<double>(consumed) * r[1] / r[0], 2.0);
        uint32_t n = 0;
        EXPECT_EQ(c.Convert(in.data(), in.data(), 10, ol.data(), orr.data(), &n), 0);
    }
}

namespace {

using sonavert::WidePcmConverter;

bool ConfigureWide(WidePcmConverter& c, uint32_t inRate, uint32_t inCh, uint64_t mask, uint32_t outRate, uint32_t outCh,
                   int pick = 0) {
    c.inputRate = inRate;
    c.inputChannels = inCh;
    c.inputMask = mask;
    c.outputRate = outRate;
    c.outputChannels = outCh;
    c.monoPick = pick;
    return c.Setup();
}

// Every frame of `in` through the converter in blocks of 1152, then the flush.
std::vector<double> ConvertWide(WidePcmConverter& c, const std::vector<double>& in) {
    std::vector<double> out;
    const size_t frames = in.size() / c.inputChannels;
    for (size_t pos = 0; pos < frames; pos += 1152) {
        const uint32_t n = static_cast<uint32_t>(std::min<size_t>(1152, frames - pos));
        const double* block = nullptr;
        uint32_t got = 0;
        EXPECT_TRUE(c.Convert(&in[pos * c.inputChannels], n, &block, &got));
        out.insert(out.end(), block, block + size_t(got) * c.outputChannels);
    }
    const double* block = nullptr;
    while (uint32_t got = c.Flush(&block)) out.insert(out.end(), block, block + size_t(got) * c.outputChannels);
    return out;
}

}  // namespace

// Channels at one rate: kept exactly, mixed to stereo with the downmix's coefficients, to mono as
// the mean or one side, mono spread to both sides; layouts the encoders never ask for are refused.
TEST(WidePcmConverter, ChannelsAtEqualRates) {
    std::vector<double> six(6 * 10);
    for (size_t i = 0; i < six.size(); ++i) six[i] = (static_cast<double>(i % 6) + 1) / 8 - 0.001 * static_cast<double>(i / 6);
    WidePcmConverter keep;
    ASSERT_TRUE(ConfigureWide(keep, 96000, 6, 0x3F, 96000, 6));
    EXPECT_EQ(ConvertWide(keep, six), six);

    WidePcmConverter stereo;
    ASSERT_TRUE(ConfigureWide(stereo, 48000, 6, 0x3F, 48000, 2));
    const sonavert::StereoDownmix mix(sonavert::LayoutFromMask(6, 0x3F));
    std::vector<double> out = ConvertWide(stereo, six);
    ASSERT_EQ(out.size(), 20u);
    for (size_t f = 0; f < 10; ++f) {
        double l = 0, r = 0;
        for (uint32_t c = 0; c < 6; ++c) {
            l += mix.LeftGain(c) * six[f * 6 + c];
            r += mix.RightGain(c) * six[f * 6 + c];
        }
        EXPECT_NEAR(out[2 * f], l, 1e-12);
        EXPECT_NEAR(out[2 * f + 1], r, 1e-12);
    }

    const std::vector<double> lr = {0.5, -0.25, 1.0, 0.0};
    for (int pick : {0, 1, 2}) {
        WidePcmConverter mono;
        ASSERT_TRUE(ConfigureWide(mono, 44100, 2, 0, 44100, 1, pick));
        const std::vector<double> want = pick == 0   ? std::vector<double>{0.125, 0.5}
                                         : pick == 1 ? std::vector<double>{0.5, 1.0}
                                                     : std::vector<double>{-0.25, 0.0};
        EXPECT_EQ(ConvertWide(mono, lr), want) << pick;
    }
    WidePcmConverter spread;
    ASSERT_TRUE(ConfigureWide(spread, 44100, 1, 0, 44100, 2));
    EXPECT_EQ(ConvertWide(spread, {0.5, -1.0}), (std::vector<double>{0.5, 0.5, -1.0, -1.0}));

    WidePcmConverter bad;
    EXPECT_FALSE(ConfigureWide(bad, 44100, 6, 0, 44100, 4));
    EXPECT_FALSE(ConfigureWide(bad, 44100, 9, 0, 44100, 2));
    EXPECT_FALSE(ConfigureWide(bad, 0, 2, 0, 44100, 2));
    const double* block = nullptr;
    uint32_t got = 7;
    EXPECT_FALSE(bad.Convert(lr.data(), 2, &block, &got));
    EXPECT_EQ(got, 0u);
}

// A rate change keeps every channel's own tone, level and the length (with the flush), and a
// 24-bit-fine signal is not coarsened to 16 bits on the way.
TEST(WidePcmConverter, ResamplingKeepsChannelsLevelLengthAndResolution) {
    const uint32_t inRate = 96000, outRate = 44100, frames = 96000;
    std::vector<double> in(size_t(frames) * 3);
    for (uint32_t i = 0; i < frames; ++i)
        for (uint32_t c = 0; c < 3; ++c) in[size_t(i) * 3 + c] = (0.5 / (c + 1)) * std::sin(2 * M_PI * 1000.0 * (c + 1) * i / inRate);
    WidePcmConverter c;
    ASSERT_TRUE(ConfigureWide(c, inRate, 3, 0x7, outRate, 3));
    std::vector<double> out = ConvertWide(c, in);
    const size_t outFrames = out.size() / 3;
    EXPECT_NEAR(static_cast<double>(outFrames), static_cast<double>(frames) * outRate / inRate, 2.0);
    for (uint32_t ch = 0; ch < 3; ++ch) {
        double sum = 0;
        size_t n = 0;
        for (size_t i = outFrames / 10; i < outFrames * 9 / 10; ++i, ++n) sum += out[i * 3 + ch] * out[i * 3 + ch];
        EXPECT_NEAR(std::sqrt(sum / n), 0.5 / (ch + 1) / std::sqrt(2.0), 0.002) << ch;
        // Compared with the ideal tone at the output rate: a very-high-quality rate change is far
        // below the 16-bit step (3e-5).
        double worst = 0;
        for (size_t i = outFrames / 10; i < outFrames * 9 / 10; ++i)
            worst = std::max(worst, std::abs(out[i * 3 + ch] - (0.5 / (ch + 1)) * std::sin(2 * M_PI * 1000.0 * (ch + 1) * i / outRate)));
        EXPECT_LT(worst, 3e-5) << ch;
    }
}
