#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "sources/AudioSource.h"

namespace {

// A source whose Open fills every field, so ResetFormat can be seen to clear them.
class FilledSource : public sonavert::AudioSource {
public:
    void Close() override { ResetFormat(); }
    int Open(const std::string&, uint32_t) override {
        length = 10; position = 5; duration = 3; sampleRate = 44100; storedChannels = 6; channels = 2;
        bitsPerSample = 16; bytesPerSample = 2; bitRate = 128; channelMode = sonavert::kModeJointStereo;
        videoWidth = 640; videoHeight = 480; videoFrameRate = 25.0;
        return 1;
    }
    uint32_t Read(void*, void*) override { return 0; }
};

TEST(AudioSource, DefaultsAndResetFormat) {
    FilledSource s;
    EXPECT_EQ(s.GetChannelMode(), sonavert::kModeNone);
    ASSERT_EQ(s.Open("x", 0), 1);
    int32_t w = 0, h = 0;
    s.GetVideoSize(&w, &h);
    EXPECT_EQ(w, 640);
    EXPECT_EQ(s.GetStoredChannels(), 6u);
    s.Close();
    s.GetVideoSize(&w, &h);
    EXPECT_EQ(w, 0);
    EXPECT_EQ(h, 0);
    EXPECT_EQ(s.GetLength(), 0u);
    EXPECT_EQ(s.GetSampleRate(), 0u);
    EXPECT_EQ(s.GetChannelMode(), sonavert::kModeNone);
    EXPECT_EQ(s.GetVideoFrameRate(), 0.0);
    uint32_t size = 99;
    EXPECT_EQ(s.GetID3v2Block(&size), nullptr);
    EXPECT_EQ(size, 0u);
    sonavert::TagRecord tags;
    tags.title = "kept";
    EXPECT_EQ(s.ReadTags(tags), 0);
    EXPECT_EQ(tags.title, "kept");
}

// A source of one block of fixed planes at 8 or 16 bits, mono or stereo.
class PlaneSource : public sonavert::AudioSource {
public:
    PlaneSource(uint32_t channelCount, uint32_t bits) {
        channels = channelCount;
        bitsPerSample = bits;
    }
    void Close() override {}
    int Open(const std::string&, uint32_t) override { return 1; }
    uint32_t Read(void* left, void* right) override {
        if (done_) return 0;
        done_ = true;
        if (bitsPerSample == 8) {
            const uint8_t l[3] = {0, 128, 255}, r[3] = {64, 192, 1};
            std::memcpy(left, l, 3);
            if (right) std::memcpy(right, r, 3);
        } else {
            const int16_t l[3] = {-32768, 0, 32767}, r[3] = {1, -1, 16384};
            std::memcpy(left, l, sizeof l);
            if (right) std::memcpy(right, r, sizeof r);
        }
        return 3;
    }

private:
    bool done_ = false;
};

// The default wide read widens the 16-bit read exactly, keeping mono mono and centring 8-bit bytes.
TEST(AudioSource, DefaultWideReadWidensThePlanes) {
    std::vector<double> out(sonavert::kBlockFrames * sonavert::kMaxWideChannels, 7.0);
    PlaneSource stereo16(2, 16);
    const sonavert::WideFormat f = stereo16.GetWideFormat();
    EXPECT_EQ(f.channels, 2u);
    EXPECT_EQ(f.channelMask, 0x3u);
    EXPECT_EQ(f.bits, 16u);
    EXPECT_FALSE(f.isFloat);
    ASSERT_EQ(stereo16.ReadWide(out.data()), 3u);
    const double want16[6] = {-1.0, 1 / 32768.0, 0.0, -1 / 32768.0, 32767 / 32768.0, 0.5};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(out[i], want16[i]) << i;
    EXPECT_EQ(stereo16.ReadWide(out.data()), 0u);

    PlaneSource mono8(1, 8);
    EXPECT_EQ(mono8.GetWideFormat().channels, 1u);
    EXPECT_EQ(mono8.GetWideFormat().channelMask, 0x4u);
    ASSERT_EQ(mono8.ReadWide(out.data()), 3u);
    EXPECT_EQ(out[0], -1.0);
    EXPECT_EQ(out[1], 0.0);
    EXPECT_EQ(out[2], 127 / 128.0);

    PlaneSource closed(0, 0);
    EXPECT_EQ(closed.ReadWide(out.data()), 0u);
}

}  // namespace
