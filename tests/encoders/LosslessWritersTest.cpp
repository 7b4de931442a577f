// The FLAC and ALAC writers on what the 16-bit read cannot carry: 24-bit samples of more than two
// channels at a high rate come back from an independent decoder exactly, in their speaker layout.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "encoders/FlacEncoder.h"
#include "encoders/M4aWriter.h"
#include "support/AacTestUtil.h"
#include "support/TestUtil.h"

using namespace sonavert;

namespace {

constexpr uint32_t kRate = 96000;
constexpr uint32_t kFrames = 30000;  // not a whole number of either writer's blocks

// Distinct 24-bit content in every channel: a ramp of its own slope plus noise, full range used.
std::vector<int32_t> Samples24(uint32_t channels) {
    std::vector<int32_t> out(static_cast<size_t>(kFrames) * channels);
    uint32_t seed = 12345;
    for (uint32_t n = 0; n < kFrames; ++n)
        for (uint32_t c = 0; c < channels; ++c) {
            seed = seed * 1664525u + 1013904223u;
            const int32_t noise = static_cast<int32_t>(seed >> 12) - (1 << 19);
            const int32_t ramp = static_cast<int32_t>((n * (c + 1) * 37) % (1u << 22)) - (1 << 21);
            out[n * channels + c] = std::clamp(noise + ramp, -(1 << 23), (1 << 23) - 1);
        }
    out[0] = -(1 << 23);  // the extremes survive too
    out[1] = (1 << 23) - 1;
    return out;
}

// In blocks of 1152 frames, as the pipeline hands them on.
template <class Writer>
bool Feed(Writer& writer, const std::vector<int32_t>& samples, uint32_t channels) {
    std::vector<double> wide(samples.size());
    for (size_t i = 0; i < samples.size(); ++i) wide[i] = samples[i] / 8388608.0;
    for (uint32_t at = 0; at < kFrames; at += 1152) {
        const uint32_t n = std::min(1152u, kFrames - at);
        if (!writer.EncodeInterleaved(wide.data() + static_cast<size_t>(at) * channels, n)) return false;
    }
    return true;
}

// The file's samples as ffmpeg decodes them, back in 24-bit units.
std::vector<int32_t> Decode24(const std::string& path) {
    const std::string raw = path + ".s32";
    std::vector<int32_t> out;
    if (testutil::Run("ffmpeg -v error -y -i " + testutil::Quote(path) + " -f s32le -c:a pcm_s32le " +
                      testutil::Quote(raw)) != 0)
        return out;
    const auto bytes = testutil::ReadFileBytes(raw);
    out.resize(bytes.size() / 4);
    std::memcpy(out.data(), bytes.data(), out.size() * 4);
    for (int32_t& v : out) v >>= 8;
    return out;
}

TEST(LosslessWriters, FlacKeepsTwentyFourBitSurroundAndItsLayout) {
    testutil::TempDir dir;
    // 5.1 with back speakers and with side speakers: FLAC's default for six channels is the
    // former, decoders differ on it, so both carry their mask.
    for (const auto& [mask, layout] : {std::pair{0x3Full, "5.1"}, {0x60Full, "5.1(side)"}}) {
        const std::string path = dir.file(std::string("t-") + layout + ".flac");
        const std::vector<int32_t> samples = Samples24(6);
        FlacEncoder encoder;
        ASSERT_EQ(encoder.Open(path), 1);
        ASSERT_EQ(encoder.Configure(kRate, 6, 24, 5, mask, kFrames), 1) << encoder.FailureReason();
        ASSERT_EQ(encoder.Start(), 1) << encoder.FailureReason();
        ASSERT_TRUE(Feed(encoder, samples, 6)) << encoder.FailureReason();
        ASSERT_EQ(encoder.Close(), 1) << encoder.FailureReason();
        auto probe = testutil::Probe(path, "stream=sample_rate,channels,channel_layout,bits_per_raw_sample");
        EXPECT_EQ(probe["sample_rate"], "96000");
        EXPECT_EQ(probe["channel_layout"], layout);
        EXPECT_EQ(probe["bits_per_raw_sample"], "24");
        EXPECT_EQ(Decode24(path), samples) << layout;
        EXPECT_EQ(testutil::Run("flac -s -t " + testutil::Quote(path)), 0);  // the MD5 signature matches
    }
    // What FLAC cannot store is refused with a reason before anything is encoded.
    FlacEncoder encoder;
    ASSERT_EQ(encoder.Open(dir.file("nine.flac")), 1);
    EXPECT_EQ(encoder.Configure(kRate, 9, 24, 5, 0, 0), 0);
    EXPECT_NE(encoder.FailureReason().find("9 channel"), std::string::npos);
}

TEST(LosslessWriters, AlacPlacesChannelsByPositionInItsLayouts) {
    testutil::TempDir dir;
    // 6.1 with side speakers (FL FR FC LFE BC SL SR) goes into ALAC's 6.1 with back speakers
    // (FL FR FC LFE BL BR BC): the sides take the back pair's places, the back centre moves last.
    const std::vector<int32_t> samples = Samples24(7);
    const std::string path = dir.file("t.m4a");
    AlacWriter writer;
    ASSERT_EQ(writer.Open(path, kRate, 7, 24, 0x70F), 1) << writer.FailureReason();
    ASSERT_TRUE(Feed(writer, samples, 7)) << writer.FailureReason();
    ASSERT_EQ(writer.Close(), 1) << writer.FailureReason();
    auto probe = testutil::Probe(path, "stream=codec_name,sample_rate,channels,channel_layout");
    EXPECT_EQ(probe["codec_name"], "alac");
    EXPECT_EQ(probe["sample_rate"], "96000");
    EXPECT_EQ(probe["channel_layout"], "6.1(back)");
    std::vector<int32_t> expected(samples.size());
    const int from[7] = {0, 1, 2, 3, 5, 6, 4};
    for (uint32_t n = 0; n < kFrames; ++n)
        for (int c = 0; c < 7; ++c) expected[n * 7 + c] = samples[n * 7 + from[c]];
    EXPECT_EQ(Decode24(path), expected);

    // 20 bits are not an ALAC sample size: refused with a reason.
    EXPECT_EQ(writer.Open(dir.file("b.m4a"), kRate, 2, 20, 0), 0);
    EXPECT_NE(writer.FailureReason().find("20 bits"), std::string::npos);
}

}  // namespace
