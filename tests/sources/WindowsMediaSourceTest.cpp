// WindowsMediaSource: attributes, stream selection, the sample buffer, over a hand-made reader and
// over real files.
#include <gtest/gtest.h>

#include <map>

#include "support/TestUtil.h"
#include "sources/WindowsMediaSource.h"

using namespace sonavert;

namespace {

// A reader whose streams, attributes and samples the test sets.
struct FakeState {
    std::vector<WmStreamInfo> streams = {{1, WmStreamType::Audio}};
    std::map<std::string, WmAttribute> attributes;
    std::vector<std::vector<uint8_t>> samples;
    uint32_t channels = 2;
    uint16_t selected = 0;
    size_t next = 0;
};

class FakeReader : public WmSyncReader {
public:
    explicit FakeReader(FakeState& s) : s_(s) {}
    bool Open(const std::string&) override { return true; }
    void Close() override {}
    std::vector<WmStreamInfo> Streams() override { return s_.streams; }
    bool SelectStream(uint16_t n) override {
        s_.selected = n;
        return true;
    }
    AttributeResult GetAttributeByName(const std::string& name, WmAttribute& v) override {
        auto it = s_.attributes.find(name);
        if (it == s_.attributes.end()) return kNotFound;
        v = it->second;
        return kFound;
    }
    std::vector<WmOutputInfo> Outputs() override { return {{true, 44100, s_.channels}}; }
    bool GetNextSample(uint16_t, const uint8_t** data, uint32_t* length, uint64_t* time) override {
        if (s_.next >= s_.samples.size()) return false;
        *data = s_.samples[s_.next].data();
        *length = static_cast<uint32_t>(s_.samples[s_.next].size());
        *time = 1000 * ++s_.next;
        return true;
    }

private:
    FakeState& s_;
};

WmAttribute Str(const std::string& s) { return {WmAttribute::kString, s, 0}; }

WindowsMediaSource FakeSource(FakeState& state) {
    return WindowsMediaSource([&state] { return std::make_unique<FakeReader>(state); });
}

}  // namespace

TEST(WindowsMediaSource, AttributesBecomeTagsAndFormat) {
    FakeState st;
    st.streams = {{1, WmStreamType::Video}, {2, WmStreamType::Audio}, {3, WmStreamType::Audio}};
    st.attributes = {{"Title", Str("T")},          {"Author", Str("A")},     {"WM/AlbumTitle", Str("Al")},
                     {"WM/TrackNumber", Str("07")}, {"Duration", {WmAttribute::kQword, {}, 1234567890}},
                     {"Bitrate", {WmAttribute::kDword, {}, 128000}}, {"WM/Year", {WmAttribute::kDword, {}, 1999}}};
    WindowsMediaSource src = FakeSource(st);
    ASSERT_EQ(src.Open("x.wma", 0), 1);
    EXPECT_EQ(st.selected, 2);  // the first audio stream, past the video
    EXPECT_EQ(src.GetLength(), 1234567890u);
    EXPECT_EQ(src.GetDuration(), 123);
    EXPECT_EQ(src.GetBitRate(), 128u);
    EXPECT_EQ(src.GetBitsPerSample(), 16u);
    TagRecord t;
    EXPECT_EQ(src.ReadTags(t), 1);
    EXPECT_EQ(t.title, "T");
    EXPECT_EQ(t.artist, "A");
    EXPECT_EQ(t.album, "Al");
    EXPECT_EQ(t.track, "7");
    EXPECT_EQ(t.year, "");  // not a string

    // No track, no duration: "0" and length 0; a DWORD track is taken as it is.
    st.attributes = {{"Title", Str("U")}};
    ASSERT_EQ(src.Open("y.wma", 0), 1);
    EXPECT_EQ(src.GetLength(), 0u);
    EXPECT_EQ(src.GetDuration(), 0);
    src.ReadTags(t);
    EXPECT_EQ(t.track, "0");
    EXPECT_EQ(t.album, "");
    st.attributes = {{"WM/TrackNumber", {WmAttribute::kDword, {}, 12}}};
    ASSERT_EQ(src.Open("z.wma", 0), 1);
    EXPECT_EQ(src.TrackNumber(), 12);

    st.streams = {{1, WmStreamType::Video}};
    EXPECT_EQ(src.Open("v.wmv", 0), 0);
}

TEST(WindowsMediaSource, LargeSampleGrowsTheBufferOnceAndSamplesAreSplit) {
    FakeState st;
    // A stereo sample of 120,000 bytes (30,000 frames): left = frame index, right = its negation.
    std::vector<uint8_t> big(120000);
    int16_t* v = reinterpret_cast<int16_t*>(big.data());
    for (int i = 0; i < 30000; ++i) {
        v[2 * i] = static_cast<int16_t>(i);
        v[2 * i + 1] = static_cast<int16_t>(-i);
    }
    st.samples = {big, std::vector<uint8_t>(8000, 0), big};
    WindowsMediaSource src = FakeSource(st);
    ASSERT_EQ(src.Open("x.wma", 0), 1);
    EXPECT_EQ(src.BufferCapacity(), 102400u);
    std::vector<int16_t> l(kBlockFrames), r(kBlockFrames);
    ASSERT_EQ(src.Read(l.data(), r.data()), kBlockFrames);
    const size_t grown = (120000 + 120000 / 8) / 4 * 4 + 4;
    EXPECT_EQ(src.BufferCapacity(), grown);
    EXPECT_EQ(l[5], 5);
    EXPECT_EQ(r[5], -5);
    EXPECT_EQ(src.GetPosition(), 1000u);
    uint64_t frames = kBlockFrames;
    int lastLeft = l[kBlockFrames - 1];
    bool continuous = true;
    while (uint32_t n = src.Read(l.data(), r.data())) {
        if (frames < 30000 && l[0] != static_cast<int16_t>(lastLeft + 1)) continuous = false;
        lastLeft = l[n - 1];
        frames += n;
    }
    EXPECT_TRUE(continuous);
    EXPECT_EQ(frames, 30000u + 2000u + 30000u);
    EXPECT_EQ(src.BufferCapacity(), grown);  // reused, not grown again
}

TEST(WindowsMediaSource, RealFiles) {
    testutil::TempDir dir;
    const std::string wmv = dir.file("v.wmv");
    ASSERT_EQ(testutil::Run("ffmpeg -v error -y -f lavfi -i testsrc=size=160x120:rate=10:duration=1 -f lavfi -i "
                            "sine=f=440:d=1:sample_rate=44100 -c:v wmv2 -c:a wmav2 -b:a 128k -ac 2 "
                            "-metadata title=Clip -metadata WM/TrackNumber=07 " +
                            testutil::Quote(wmv)),
              0);
    WindowsMediaSource src;
    ASSERT_EQ(src.Open(wmv, 0), 1);
    EXPECT_EQ(src.GetSampleRate(), 44100u);
    EXPECT_EQ(src.GetChannels(), 2u);
    EXPECT_NEAR(src.GetDuration(), 1, 1);
    TagRecord t;
    src.ReadTags(t);
    EXPECT_EQ(t.title, "Clip");
    EXPECT_EQ(t.track, "7");
    std::vector<int16_t> l(kBlockFrames), r(kBlockFrames), all;
    uint64_t frames = 0;
    while (uint32_t n = src.Read(l.data(), r.data())) {
        all.insert(all.end(), l.begin(), l.begin() + n);
        frames += n;
    }
    EXPECT_NEAR(static_cast<double>(frames), 44100.0, 4096.0);
    EXPECT_NEAR(testutil::EstimateFrequency(all, 1, 0, 44100), 440.0, 10.0);
    EXPECT_EQ(src.Open(dir.file("missing.wma"), 0), 0);
}
