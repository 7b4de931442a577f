#include <gtest/gtest.h>

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

}  // namespace
