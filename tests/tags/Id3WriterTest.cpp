#include <gtest/gtest.h>

#include <cstring>

#include "encoders/Mp3Encoder.h"
#include "support/Mp3TestUtil.h"
#include "support/TestUtil.h"
#include "tags/Genres.h"
#include "tags/Id3Writer.h"

using namespace sonavert;
using testutil::TempDir;

namespace {

TagRecord Texts() {
    TagRecord t;
    t.title = "Title";
    t.artist = "Artist";
    t.album = "Album";
    t.year = "1999";
    t.genre = "Rock and Roll";
    t.comment = "Comment";
    return t;
}

std::vector<std::string> FrameIds(const std::vector<uint8_t>& tag) {
    std::vector<std::string> ids;
    for (const auto& f : testutil::Id3v2Frames(tag)) ids.push_back(f.first);
    return ids;
}

// Text frame content as Latin-1 (encoding byte 0) text.
std::string Latin1Frame(const std::vector<uint8_t>& tag, const std::string& id) {
    for (const auto& f : testutil::Id3v2Frames(tag))
        if (f.first == id && !f.second.empty() && f.second[0] == 0) {
            std::string s(f.second.begin() + 1, f.second.end());
            return s.substr(0, s.find('\0'));
        }
    return "<none>";
}

// Writes a short MP3 carrying the given blocks.
void WriteTaggedMp3(const std::string& path, const std::vector<uint8_t>& v1, const std::vector<uint8_t>& v2) {
    Mp3Encoder enc;
    ASSERT_EQ(enc.Open(path), 1);
    if (!v1.empty()) enc.SetID3v1Tag(v1.data());
    if (!v2.empty()) enc.SetID3v2Tag(v2.data(), static_cast<uint32_t>(v2.size()));
    enc.SetInputSampleRate(44100);
    enc.SetChannels(1);
    enc.SetOutputSampleRate(44100);
    enc.SetBitRate(64);
    ASSERT_EQ(enc.Start(), 1);
    const auto tone = testutil::Sine(440, 44100, 1, 0.3);
    ASSERT_EQ(enc.EncodeBlock(tone.data(), nullptr, static_cast<uint32_t>(tone.size())), 1);
    ASSERT_EQ(enc.Finish(), 1);
}

}  // namespace

TEST(Genres, TableHoldsTheListedSpellingsAndLooksUpBothWays) {
    EXPECT_EQ(kGenreNames[kGenreCount], nullptr);
    const std::pair<int, const char*> listed[] = {
        {0, "Blues"},         {12, "Other"},          {17, "Rock"},       {40, "Alt. Rock"},
        {64, "Native American"}, {67, "Psychadelic"},  {79, "Hard Rock"},  {81, "Folk/Rock"},
        {84, "Fast-Fusion"},  {123, "A Cappella"},    {132, "BritPop"},   {136, "Christian Gangsta Rap"},
        {144, "Trash Metal"}, {145, "Anime"},         {146, "Jpop"},      {147, "Synthpop"}};
    for (const auto& [index, name] : listed) {
        EXPECT_EQ(GenreName(index), name);
        EXPECT_EQ(GenreIndex(name), index);
    }
    for (int i = 0; i < kGenreCount; ++i) EXPECT_EQ(GenreIndex(kGenreNames[i]), i) << "names are unique";
    EXPECT_EQ(GenreIndex("rOCK"), 17);
    EXPECT_EQ(GenreIndex("Rock "), -1);
    EXPECT_EQ(GenreName(-1), "");
    EXPECT_EQ(GenreName(148), "");
}

TEST(BuildId3Block, Version2HasTheFrameSetInOrder) {
    TagRecord t = Texts();
    t.title.clear();
    auto tag = BuildId3Block(2, t, 7);
    ASSERT_GT(tag.size(), 10u);
    EXPECT_EQ(std::string(tag.begin(), tag.begin() + 4), "ID3\x03");
    EXPECT_EQ(FrameIds(tag), (std::vector<std::string>{"TIT2", "TPE1", "TALB", "TYER", "TCON", "COMM", "TRCK"}));
    EXPECT_EQ(Latin1Frame(tag, "TIT2"), "");
    EXPECT_EQ(Latin1Frame(tag, "TCON"), "Rock and Roll");  // version 2 keeps the genre text
    for (const auto& f : testutil::Id3v2Frames(tag)) {
        if (f.first == "COMM") {
            EXPECT_EQ(std::string(f.second.begin(), f.second.end()), std::string("\0XXX\0Comment", 12));
        }
    }

    t.composer = "Composer";
    t.copyright = "(c) Someone";
    tag = BuildId3Block(2, t, 0);
    EXPECT_EQ(FrameIds(tag),
              (std::vector<std::string>{"TIT2", "TPE1", "TALB", "TYER", "TCON", "TCOM", "TCOP", "COMM"}));
    EXPECT_TRUE(BuildId3Block(3, t, 0).empty());
}

TEST(BuildId3Block, TrackFrameUsesTheLowEightBits) {
    const struct {
        uint32_t track, total;
        const char* text;  // null: no TRCK frame
    } cases[] = {{0, 0, nullptr}, {7, 0, "7"}, {300, 0, "44"}, {256, 0, nullptr}, {7, 12, "7/12"}, {7, 268, "7/12"},
                 {7, 256, "7"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.track << "/" << c.total);
        const auto tag = BuildId3Block(2, Texts(), c.track, c.total);
        EXPECT_EQ(Latin1Frame(tag, "TRCK"), c.text ? c.text : "<none>");
        const auto v1 = BuildId3Block(1, Texts(), c.track, c.total);
        ASSERT_EQ(v1.size(), 128u);
        EXPECT_EQ(v1[126], c.track & 0xFF);
    }
}

TEST(BuildId3Block, Version1CommentTakes30BytesOnlyWithoutATrack) {
    TagRecord t = Texts();
    t.comment = "abcdefghijklmnopqrstuvwxyz0123456789";  // longer than either layout
    auto v10 = BuildId3Block(1, t, 0);
    ASSERT_EQ(v10.size(), 128u);
    EXPECT_EQ(std::string(v10.begin() + 97, v10.begin() + 127), "abcdefghijklmnopqrstuvwxyz0123");
    t.comment = "abcdefghijklmnopqrstuvwxyz012";  // 29 characters: the last byte stays zero
    v10 = BuildId3Block(1, t, 256);               // track 256 is stored as 0
    EXPECT_EQ(std::string(v10.begin() + 97, v10.begin() + 127), std::string("abcdefghijklmnopqrstuvwxyz012\0", 30));

    auto v11 = BuildId3Block(1, t, 5);
    ASSERT_EQ(v11.size(), 128u);
    EXPECT_EQ(std::string(v11.begin() + 97, v11.begin() + 125), "abcdefghijklmnopqrstuvwxyz01");
    EXPECT_EQ(v11[125], 0);
    EXPECT_EQ(v11[126], 5);
}

// An independent reader (ffprobe) finds every text, with characters beyond Latin-1 intact.
TEST(BuildId3Block, Version2TextsReadBackFromAnEncodedFile) {
    TempDir dir;
    TagRecord t;
    t.title = "Café ß";
    t.artist = "日本のアーティスト";
    t.album = "Straße";
    t.year = "2004";
    t.genre = "Klezmer";
    t.comment = "über 日本 " + std::string(200, 'x');  // a frame longer than 127 bytes
    t.composer = "Dvořák";
    t.copyright = "© 2004";
    const auto tag = BuildId3Block(2, t, 3);
    // Latin-1 where it fits, UTF-16 otherwise.
    EXPECT_EQ(Latin1Frame(tag, "TIT2"), "Caf\xE9 \xDF");
    for (const auto& f : testutil::Id3v2Frames(tag)) {
        if (f.first == "TPE1" || f.first == "TCOM") {
            EXPECT_EQ(f.second[0], 1) << f.first;
        }
    }

    const std::string path = dir.file("tagged.mp3");
    WriteTaggedMp3(path, {}, tag);
    auto tags = testutil::FfprobeTags(path);
    EXPECT_EQ(tags["title"], t.title);
    EXPECT_EQ(tags["artist"], t.artist);
    EXPECT_EQ(tags["album"], t.album);
    EXPECT_EQ(tags["date"], t.year);
    EXPECT_EQ(tags["genre"], t.genre);
    EXPECT_EQ(tags["comment"], t.comment);
    EXPECT_EQ(tags["composer"], t.composer);
    EXPECT_EQ(tags["copyright"], t.copyright);
    EXPECT_EQ(tags["track"], "3");
}

TEST(BuildId3Block, Version1MapsGenreNamesAndLatin1Text) {
    TagRecord t = Texts();
    t.genre = "rock";
    t.title = "Café 日本";
    auto v1 = BuildId3Block(1, t, 300);
    ASSERT_EQ(v1.size(), 128u);
    EXPECT_EQ(std::string(v1.begin(), v1.begin() + 3), "TAG");
    EXPECT_EQ(std::string(v1.begin() + 3, v1.begin() + 12), std::string("Caf\xE9 ??\0\0", 9));
    EXPECT_EQ(std::string(v1.begin() + 33, v1.begin() + 39), "Artist");
    EXPECT_EQ(std::string(v1.begin() + 93, v1.begin() + 97), "1999");
    EXPECT_EQ(v1[125], 0);
    EXPECT_EQ(v1[126], 44);
    EXPECT_EQ(v1[127], 17);

    t.genre = "Rock and Roll";  // not a listed name ("Rock & Roll" is)
    EXPECT_EQ(BuildId3Block(1, t, 0)[127], 12);
    t.genre = "rock & roll";
    EXPECT_EQ(BuildId3Block(1, t, 0)[127], 78);
    // The year is free text: its first four characters, zero padded.
    t.year = "'99";
    auto free = BuildId3Block(1, t, 0);
    EXPECT_EQ(std::string(free.begin() + 93, free.begin() + 97), std::string("'99\0", 4));
    t.year = "2019-04-01";
    free = BuildId3Block(1, t, 0);
    EXPECT_EQ(std::string(free.begin() + 93, free.begin() + 97), "2019");

    TempDir dir;
    const std::string path = dir.file("v1.mp3");
    t = Texts();
    t.genre = "ROCK";
    WriteTaggedMp3(path, BuildId3Block(1, t, 9), {});
    auto tags = testutil::FfprobeTags(path);
    EXPECT_EQ(tags["title"], "Title");
    EXPECT_EQ(tags["artist"], "Artist");
    EXPECT_EQ(tags["genre"], "Rock");
    EXPECT_EQ(tags["track"], "9");
}
