#include <gtest/gtest.h>

#include <cstring>

#include <sys/inotify.h>
#include <unistd.h>

#include "encoders/Mp3Encoder.h"
#include "sources/AudioSource.h"
#include "support/TestUtil.h"
#include "tags/CoverArt.h"
#include "tags/Id3Blocks.h"
#include "tags/Id3Writer.h"
#include "engine/TagChoice.h"
#include "tags/TagReading.h"

using namespace sonavert;
using testutil::Quote;
using testutil::TempDir;

namespace {

// A short tone file made by ffmpeg with the given metadata arguments ("-metadata k=v ...").
std::string MakeFile(const TempDir& dir, const std::string& name, const std::string& metadata,
                     const std::string& codec = "") {
    const std::string path = dir.file(name);
    const int rc = testutil::Run("ffmpeg -v error -nostdin -y -f lavfi -i sine=d=0.3 " + codec + " " + metadata + " " +
                                 Quote(path));
    EXPECT_EQ(rc, 0) << name;
    return path;
}

std::string Meta(const std::string& key, const std::string& value) { return "-metadata " + Quote(key + "=" + value); }

std::string AllNine() {
    return Meta("title", "Song") + " " + Meta("artist", "Singer") + " " + Meta("album", "Record") + " " +
           Meta("date", "2001") + " " + Meta("genre", "Jazz") + " " + Meta("comment", "Nice") + " " +
           Meta("track", "3/12") + " " + Meta("composer", "Writer") + " " + Meta("copyright", "Label");
}

// An MP3 of our own carrying exactly the given blocks.
std::string MakeMp3(const TempDir& dir, const std::string& name, const std::vector<uint8_t>& v1,
                    const std::vector<uint8_t>& v2) {
    const std::string path = dir.file(name);
    Mp3Encoder enc;
    EXPECT_EQ(enc.Open(path), 1);
    if (!v1.empty()) enc.SetID3v1Tag(v1.data());
    if (!v2.empty()) enc.SetID3v2Tag(v2.data(), static_cast<uint32_t>(v2.size()));
    enc.SetInputSampleRate(44100);
    enc.SetChannels(1);
    enc.SetOutputSampleRate(44100);
    EXPECT_EQ(enc.Start(), 1);
    EXPECT_EQ(enc.Finish(), 1);
    return path;
}

}  // namespace

TEST(TagReading, Utf8ToLocalAcceptsOnlyWellFormedText) {
    for (const char* good : {"", "plain", "Café", "日本", "\xF0\x9F\x8E\xB5 note"})
        EXPECT_EQ(Utf8ToLocal(good), std::optional<std::string>(good)) << good;
    for (const char* bad : {"\xC3", "a\xC3(", "\xC0\x80", "\xE0\x80\x80", "\xED\xA0\x80", "\xF4\x90\x80\x80",
                            "\xFF", "\x80"})
        EXPECT_FALSE(Utf8ToLocal(bad).has_value()) << testing::PrintToString(bad);
}

TEST(TagReading, SplitTagsTextStopsAtTheFirstMissingLineFeed) {
    TagRecord t;
    EXPECT_EQ(SplitTagsText("3\nTitle\nArtist\nAlbum\nGenre\nYear\nComment\nComposer\nCopy\nright", t), 9);
    EXPECT_EQ(t.track, "3");
    EXPECT_EQ(t.title, "Title");
    EXPECT_EQ(t.genre, "Genre");
    EXPECT_EQ(t.year, "Year");
    EXPECT_EQ(t.composer, "Composer");
    EXPECT_EQ(t.copyright, "Copy\nright");  // the rest after the eighth line feed

    // Eight line feeds with nothing behind: copyright becomes empty together with composer.
    t.copyright = "old";
    EXPECT_EQ(SplitTagsText("1\n\n\n\n\n\n\nC\n", t), 9);
    EXPECT_EQ(t.composer, "C");
    EXPECT_EQ(t.copyright, "");

    // Seven line feeds: the composer's terminator is missing, so composer and copyright stay.
    TagRecord u;
    u.composer = "keep";
    u.copyright = "keep too";
    EXPECT_EQ(SplitTagsText("1\nT\nA\nAl\nG\nY\nC\nComposerWithoutEnd", u), 7);
    EXPECT_EQ(u.comment, "C");
    EXPECT_EQ(u.composer, "keep");
    EXPECT_EQ(u.copyright, "keep too");

    TagRecord v;
    v.track = "keep";
    EXPECT_EQ(SplitTagsText("no line feed", v), 0);
    EXPECT_EQ(v.track, "keep");
    EXPECT_EQ(SplitTagsText("5\nOnly", v), 1);
    EXPECT_EQ(v.track, "5");
    EXPECT_EQ(v.title, "");
}

TEST(TagReading, ParseTrackNumberReadsLeadingDecimal) {
    const std::pair<const char*, int> cases[] = {{"3/12", 3}, {"  07", 7}, {"+4", 4}, {"-2", -2},
                                                 {"", 0},     {"abc", 0},  {"12a", 12}, {"99999999999", 2147483647}};
    for (const auto& [text, value] : cases) EXPECT_EQ(ParseTrackNumber(text), value) << text;
}

// The nine texts of the common tagged formats, as written by ffmpeg, joined and split again.
TEST(TagReading, TagsTextOfFilesMadeByAnotherTool) {
    TempDir dir;
    const struct {
        const char* name;
        const char* codec;
    } files[] = {{"a.flac", ""}, {"a.ogg", "-c:a libvorbis"}, {"a.m4a", "-c:a aac"}, {"a.mp3", nullptr}};
    for (const auto& f : files) {
        SCOPED_TRACE(f.name);
        std::string path;
        if (f.codec) {
            path = MakeFile(dir, f.name, AllNine(), f.codec);
        } else {
            // ffmpeg keeps an MP3 comment in a TXXX frame; the lame tool writes the usual COMM frame.
            const std::string wav = dir.file("in.wav");
            ASSERT_TRUE(testutil::WriteWav16(wav, testutil::Sine(440, 44100, 1, 0.3), 44100, 1));
            path = dir.file(f.name);
            ASSERT_EQ(testutil::Run("lame --quiet --id3v2-only --tt Song --ta Singer --tl Record --ty 2001 --tg Jazz "
                                    "--tc Nice --tn 3/12 --tv TCOM=Writer --tv TCOP=Label " +
                                    Quote(wav) + " " + Quote(path)),
                      0);
        }
        // Reading a source never opens it for writing (file watchers would see it as changed).
        const int watch = inotify_init1(IN_NONBLOCK);
        ASSERT_GE(watch, 0);
        ASSERT_GE(inotify_add_watch(watch, path.c_str(), IN_CLOSE_WRITE | IN_MODIFY), 0);
        std::string text;
        ASSERT_TRUE(ReadTagsText(path, text));
        TagRecord record;
        Picture picture;
        ReadFileTags(path, record);
        ReadEmbeddedPicture(path, picture);
        ReadId3FileTags(path, record);
        ReadMp4Metadata(path, record);
        char events[4096];
        EXPECT_LE(read(watch, events, sizeof events), 0) << "a source was opened for writing";
        close(watch);
        TagRecord t;
        ASSERT_EQ(SplitTagsText(text, t), 9);
        EXPECT_EQ(t.title, "Song");
        EXPECT_EQ(t.artist, "Singer");
        EXPECT_EQ(t.album, "Record");
        EXPECT_EQ(t.year, "2001");
        EXPECT_EQ(t.genre, "Jazz");
        EXPECT_EQ(t.comment, "Nice");
        EXPECT_EQ(ParseTrackNumber(t.track), 3);
        EXPECT_EQ(t.composer, "Writer");
        EXPECT_EQ(t.copyright, "Label");
    }
    // A line feed inside a field must not push the later fields out of place.
    const std::string multi = MakeFile(dir, "multi.flac", Meta("comment", "line one\nline two") + " " +
                                                              Meta("composer", "Writer") + " " + Meta("title", "T"));
    std::string text;
    ASSERT_TRUE(ReadTagsText(multi, text));
    TagRecord t;
    ASSERT_EQ(SplitTagsText(text, t), 9);
    EXPECT_EQ(t.comment, "line one line two");
    EXPECT_EQ(t.composer, "Writer");

    // Comments kept under the Vorbis key COMMENTS, or in an ID3 TXXX frame described "comment" (as
    // ffmpeg writes them into MP3), serve where no other comment is present (ffmpeg writes a FLAC
    // comment as DESCRIPTION).
    const struct {
        const char* name;
        std::string metadata;
        const char* codec;
        const char* comment;
    } comments[] = {{"c.flac", Meta("COMMENTS", "Other"), "", "Other"},
                    {"c.ogg", Meta("COMMENTS", "Other"), "-c:a libvorbis", "Other"},
                    {"both.flac", Meta("COMMENTS", "Other") + " " + Meta("COMMENT", "Main"), "", "Main"},
                    {"c.mp3", Meta("comment", "Other"), "-c:a libmp3lame", "Other"}};
    for (const auto& c : comments) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(ReadTagsText(MakeFile(dir, c.name, c.metadata + " " + Meta("title", "T"), c.codec), text));
        ASSERT_EQ(SplitTagsText(text, t), 9);
        EXPECT_EQ(t.comment, c.comment);
    }

    // The album artist and the disc, which name targets, from every tagged format; alone they
    // are no tags.
    for (const auto& f : {std::pair<const char*, const char*>{"d.flac", ""}, {"d.ogg", "-c:a libvorbis"},
                          {"d.m4a", "-c:a aac"}, {"d.mp3", "-c:a libmp3lame"}}) {
        SCOPED_TRACE(f.first);
        TagRecord record;
        const std::string both = Meta("album_artist", "The Band") + " " + Meta("disc", "2/3");
        ASSERT_TRUE(ReadFileTags(MakeFile(dir, f.first, both + " " + Meta("title", "T"), f.second), record));
        EXPECT_EQ(record.albumArtist, "The Band");
        EXPECT_EQ(record.disc.substr(0, 1), "2") << record.disc;
        EXPECT_EQ(record.title, "T");
        // Alone they are no tags, but an MP3's album artist stands in for its artist.
        EXPECT_EQ(ReadFileTags(MakeFile(dir, std::string("only-") + f.first, both, f.second), record),
                  std::string(f.first) == "d.mp3");
    }

    // No tags at all, or not a tagged file.
    EXPECT_FALSE(ReadTagsText(MakeFile(dir, "bare.flac", "-map_metadata -1 -fflags +bitexact"), text));
    EXPECT_TRUE(text.empty());
    EXPECT_FALSE(ReadTagsText(dir.file("missing.flac"), text));
}

TEST(TagReading, Id3GenreReferencesAndArtistFallback) {
    TempDir dir;
    const std::pair<const char*, const char*> genres[] = {
        {"(17)", "Rock"}, {"(17)Rock and Roll", "Rock and Roll"}, {"(200)", ""}, {"Synthpop", "Synthpop"}, {"(0)", "Blues"}};
    int n = 0;
    for (const auto& [raw, expected] : genres) {
        for (const char* version : {"3", "4"}) {
            SCOPED_TRACE(testing::Message() << raw << " in ID3v2." << version);
            std::string name = std::to_string(n++);
            name += ".mp3";
            const std::string path = MakeFile(dir, name, Meta("genre", raw) + " -id3v2_version " + version);
            TagRecord t;
            ASSERT_TRUE(ReadId3FileTags(path, t));
            EXPECT_EQ(t.genre, expected);
        }
    }
    EXPECT_EQ(ResolveId3Genre("(147"), "Synthpop");
    EXPECT_EQ(ResolveId3Genre("(148)"), "");
    EXPECT_EQ(ResolveId3Genre("(x)"), "(x)");
    EXPECT_EQ(ResolveId3Genre("(99999999999999999999)"), "");

    // Only a band (TPE2): it becomes the artist.
    TagRecord t;
    ASSERT_TRUE(ReadId3FileTags(MakeFile(dir, "band.mp3", Meta("album_artist", "The Band")), t));
    EXPECT_EQ(t.artist, "The Band");
    ASSERT_TRUE(ReadId3FileTags(MakeFile(dir, "both.mp3", Meta("album_artist", "Band") + " " + Meta("artist", "Lead")), t));
    EXPECT_EQ(t.artist, "Lead");
}

// Tags we render read back through the ID3 reader, from a file and from memory; the ID3v1 tag fills
// in for a file without ID3v2.
TEST(TagReading, Id3TagsWeRenderReadBack) {
    TagRecord in;
    in.title = "Café";
    in.artist = "日本";
    in.album = "Straße";
    in.year = "1987";
    in.genre = "Rock";
    in.comment = "note";
    in.composer = "Writer";
    in.copyright = "Label";
    const auto v2 = BuildId3Block(2, in, 5, 9);

    TagRecord out;
    ASSERT_TRUE(ReadId3Tags(v2.data(), v2.size(), out));
    EXPECT_EQ(out.title, in.title);
    EXPECT_EQ(out.artist, in.artist);
    EXPECT_EQ(out.album, in.album);
    EXPECT_EQ(out.year, in.year);
    EXPECT_EQ(out.genre, in.genre);
    EXPECT_EQ(out.comment, in.comment);
    EXPECT_EQ(out.track, "5/9");
    EXPECT_EQ(out.composer, in.composer);
    EXPECT_EQ(out.copyright, in.copyright);

    TempDir dir;
    in.title = "Plain";
    const std::string v1Only = MakeMp3(dir, "v1.mp3", BuildId3Block(1, in, 300), {});
    TagRecord v1;
    ASSERT_TRUE(ReadId3FileTags(v1Only, v1));
    EXPECT_EQ(v1.title, "Plain");
    EXPECT_EQ(v1.artist, "??");
    EXPECT_EQ(v1.genre, "Rock");
    EXPECT_EQ(v1.track, "44");
    EXPECT_EQ(v1.composer, "");

    TagRecord none;
    none.title = "stale";
    EXPECT_FALSE(ReadId3FileTags(MakeMp3(dir, "bare.mp3", {}, {}), none));
    EXPECT_EQ(none.title, "");
    const uint8_t junk[] = {1, 2, 3};
    EXPECT_FALSE(ReadId3Tags(junk, sizeof junk, none));
}

TEST(TagReading, Mp4MetadataKeepsTheTrackNumberOnly) {
    TempDir dir;
    TagRecord t;
    t.copyright = "stale";
    ASSERT_TRUE(ReadMp4Metadata(MakeFile(dir, "a.m4a", AllNine(), "-c:a aac"), t));
    EXPECT_EQ(t.title, "Song");
    EXPECT_EQ(t.artist, "Singer");
    EXPECT_EQ(t.album, "Record");
    EXPECT_EQ(t.year, "2001");
    EXPECT_EQ(t.genre, "Jazz");
    EXPECT_EQ(t.comment, "Nice");
    EXPECT_EQ(t.composer, "Writer");
    EXPECT_EQ(t.track, "3");
    EXPECT_EQ(t.copyright, "");

    TagRecord onlyTrack;
    EXPECT_FALSE(ReadMp4Metadata(MakeFile(dir, "t.m4a", Meta("track", "3/12"), "-c:a aac"), onlyTrack));
    EXPECT_EQ(onlyTrack.track, "3");
    EXPECT_FALSE(ReadMp4Metadata(MakeFile(dir, "x.flac", AllNine()), onlyTrack));
}

TEST(Id3Blocks, RawBlocksComeBackByteForByte) {
    TempDir dir;
    TagRecord in;
    in.title = "T";
    const auto v1 = BuildId3Block(1, in, 1);
    const auto v2 = BuildId3Block(2, in, 1);
    const std::string path = MakeMp3(dir, "t.mp3", v1, v2);
    EXPECT_EQ(ReadID3v1Block(path), v1);
    EXPECT_EQ(ReadID3v2Block(path), v2);
    const std::string bare = MakeMp3(dir, "bare.mp3", {}, {});
    EXPECT_TRUE(ReadID3v1Block(bare).empty());
    EXPECT_TRUE(ReadID3v2Block(bare).empty());

    // Sizes from the header: synchsafe, plus 10 for a version 4 footer; malformed headers give none.
    const uint8_t plain[] = {'I', 'D', '3', 3, 0, 0x00, 0, 0, 0x02, 0x01};
    EXPECT_EQ(Id3v2TagSize(plain, sizeof plain), 257u + 10);
    const uint8_t footer[] = {'I', 'D', '3', 4, 0, 0x10, 0, 0, 0x01, 0x00};
    EXPECT_EQ(Id3v2TagSize(footer, sizeof footer), 128u + 20);
    const uint8_t badSize[] = {'I', 'D', '3', 3, 0, 0, 0, 0, 0x80, 0};
    EXPECT_EQ(Id3v2TagSize(badSize, sizeof badSize), 0u);
    EXPECT_EQ(Id3v2TagSize(plain, 9), 0u);

    // A footer tag is copied whole; a tag longer than its file is refused.
    std::vector<uint8_t> withFooter(148 + 500, 0);
    std::memcpy(withFooter.data(), footer, sizeof footer);
    testutil::WriteFileBytes(dir.file("footer.mp3"), withFooter);
    EXPECT_EQ(ReadID3v2Block(dir.file("footer.mp3")), std::vector<uint8_t>(withFooter.begin(), withFooter.begin() + 148));
    withFooter.resize(100);
    testutil::WriteFileBytes(dir.file("short.mp3"), withFooter);
    EXPECT_TRUE(ReadID3v2Block(dir.file("short.mp3")).empty());
}

// The FLAC picture block other writers embed: its layout, its base64 form and the 24-bit bound
// of a metadata block, which a picture at the limit meets and one byte more passes.
TEST(CoverArt, FlacPictureBlockLayoutAndBound) {
    Picture p;
    p.mimeType = "image/png";
    p.description = "front";
    p.width = 2, p.height = 3, p.depth = 24;
    p.data = {0x89, 'P', 'N', 'G', 1, 2, 3};
    const std::vector<uint8_t> block = FlacPictureBlock(p);
    const std::vector<uint8_t> expected = {0, 0, 0, 3, 0, 0, 0, 9, 'i', 'm', 'a', 'g', 'e', '/', 'p', 'n', 'g',
                                           0, 0, 0, 5, 'f', 'r', 'o', 'n', 't', 0, 0, 0, 2, 0, 0, 0, 3,
                                           0, 0, 0, 24, 0, 0, 0, 0, 0, 0, 0, 7, 0x89, 'P', 'N', 'G', 1, 2, 3};
    EXPECT_EQ(block, expected);
    EXPECT_EQ(MetadataBlockPicture(p), "AAAAAwAAAAlpbWFnZS9wbmcAAAAFZnJvbnQAAAACAAAAAwAAABgAAAAAAAAAB4lQTkcBAgM=");

    p.data.assign(kMaxFlacBlockBytes - 32 - p.mimeType.size() - p.description.size(), 0xAB);
    EXPECT_EQ(FlacPictureBlock(p).size(), kMaxFlacBlockBytes);
    p.data.push_back(0xAB);
    EXPECT_TRUE(FlacPictureBlock(p).empty());
    EXPECT_TRUE(MetadataBlockPicture(p).empty());
}
