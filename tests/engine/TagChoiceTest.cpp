#include <gtest/gtest.h>

#include "sources/AudioSource.h"
#include "support/TestUtil.h"
#include "sources/SourceTypes.h"
#include "engine/TagChoice.h"

using namespace sonavert;
using testutil::Quote;

namespace {

// A source whose tag operations hand out fixed answers and count the calls.
class FakeSource : public AudioSource {
public:
    void Close() override {}
    int Open(const std::string&, uint32_t) override { return 1; }
    uint32_t Read(void*, void*) override { return 0; }
    const uint8_t* GetID3v1Block() override { return v1.empty() ? nullptr : v1.data(); }
    const uint8_t* GetID3v2Block(uint32_t* size) override {
        *size = static_cast<uint32_t>(v2.size());
        return v2.empty() ? nullptr : v2.data();
    }
    int ReadTags(TagRecord& tags) override {
        ++readTagsCalls;
        if (!hasTags) return 0;
        tags = record;
        return 1;
    }

    std::vector<uint8_t> v1, v2;
    bool hasTags = false;
    TagRecord record;
    int readTagsCalls = 0;
};

}  // namespace

TEST(ChooseTags, TypedTextsTakeTitleAndTrackFromTheRow) {
    FakeSource source;
    source.hasTags = true;
    TagChoiceInputs in;
    in.policy = kTagPolicyTyped;
    in.sourcePath = "/some/folder/My Song.flac";
    in.sequenceNumber = 3;
    in.typed.Title = "Typed";
    in.typed.Artist = "Artist";
    in.typed.Genre = "Rock";
    in.typed.TrackNumType = 1;
    in.typed.CustomTrackNum = 9;

    TagChoice c = ChooseTags(in, source);
    EXPECT_EQ(c.kind, TagChoice::kTexts);
    EXPECT_EQ(c.texts.title, "My Song");
    EXPECT_EQ(c.texts.artist, "Artist");
    EXPECT_EQ(c.texts.genre, "Rock");
    EXPECT_EQ(c.trackNumber, 3);
    EXPECT_EQ(c.texts.track, "3");
    EXPECT_EQ(source.readTagsCalls, 0);

    in.typed.TitleAsFileName = 0;
    in.typed.TrackNumType = 2;
    c = ChooseTags(in, source);
    EXPECT_EQ(c.texts.title, "Typed");
    EXPECT_EQ(c.trackNumber, 9);
    in.typed.TrackNumType = 0;
    c = ChooseTags(in, source);
    EXPECT_EQ(c.trackNumber, 0);
    EXPECT_EQ(c.texts.track, "");

    in.policy = 2;
    EXPECT_EQ(ChooseTags(in, source).kind, TagChoice::kNone);
    in.policy = 7;
    EXPECT_EQ(ChooseTags(in, source).kind, TagChoice::kNone);
}

TEST(ChooseTags, TransferCopiesMp3BlocksOrReadsTexts) {
    FakeSource source;
    source.v2 = {'I', 'D', '3', 3, 0, 0, 0, 0, 0, 1, 0};
    source.hasTags = true;
    source.record.title = "From source";
    source.record.track = " 12/20";
    TagChoiceInputs in;
    in.policy = kTagPolicyTransfer;
    in.sourceType = kSourceMp3;
    in.mp3Target = true;
    in.sourcePath = "/x/a.mp3";

    // MP3 to MP3: the raw blocks, untouched; no texts are read.
    TagChoice c = ChooseTags(in, source);
    EXPECT_EQ(c.kind, TagChoice::kId3Blocks);
    EXPECT_EQ(c.id3v2, source.v2);
    EXPECT_TRUE(c.id3v1.empty());
    EXPECT_EQ(source.readTagsCalls, 0);

    // The same source into another family: texts, with the track parsed.
    in.mp3Target = false;
    c = ChooseTags(in, source);
    EXPECT_EQ(c.kind, TagChoice::kTexts);
    EXPECT_EQ(c.texts.title, "From source");
    EXPECT_EQ(c.trackNumber, 12);

    source.hasTags = false;
    EXPECT_EQ(ChooseTags(in, source).kind, TagChoice::kNone);
}

// An M4A whose metadata holds only a track number falls back to the source's own reading; one with
// texts uses them without asking the source.
TEST(ChooseTags, Mp4SourcesTryTheirMetadataFirst) {
    testutil::TempDir dir;
    const std::string onlyTrack = dir.file("t.m4a");
    const std::string full = dir.file("f.m4a");
    ASSERT_EQ(testutil::Run("ffmpeg -v error -nostdin -f lavfi -i sine=d=0.2 -c:a aac -metadata track=4 " +
                            Quote(onlyTrack)),
              0);
    ASSERT_EQ(testutil::Run("ffmpeg -v error -nostdin -f lavfi -i sine=d=0.2 -c:a aac -metadata title=Inside "
                            "-metadata track=4/9 " + Quote(full)),
              0);
    FakeSource source;
    source.hasTags = true;
    source.record.title = "Fallback";
    TagChoiceInputs in;
    in.policy = kTagPolicyTransfer;
    in.sourceType = kSourceM4a;
    in.mp3Target = true;

    in.sourcePath = onlyTrack;
    TagChoice c = ChooseTags(in, source);
    EXPECT_EQ(c.texts.title, "Fallback");
    EXPECT_EQ(c.texts.track, "");
    EXPECT_EQ(source.readTagsCalls, 1);

    in.sourcePath = full;
    c = ChooseTags(in, source);
    EXPECT_EQ(c.kind, TagChoice::kTexts);
    EXPECT_EQ(c.texts.title, "Inside");
    EXPECT_EQ(c.trackNumber, 4);
    EXPECT_EQ(source.readTagsCalls, 1);
}
