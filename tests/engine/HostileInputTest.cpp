// Files built to exhaust a reader: nesting thousands of levels deep, oversized blocks, settings
// values beyond their ranges. Each is made here, small enough to keep the suite fast.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>

#include "support/TestUtil.h"
#include "tags/TagReading.h"

using namespace sonavert;
using testutil::Quote;
using testutil::TempDir;

namespace {

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteAll(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string Be32(uint32_t v) {
    return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8), static_cast<char>(v)};
}

std::string Synchsafe(uint32_t v) {
    return {static_cast<char>((v >> 21) & 0x7F), static_cast<char>((v >> 14) & 0x7F), static_cast<char>((v >> 7) & 0x7F),
            static_cast<char>(v & 0x7F)};
}

// A tagged M4A whose "moov" box ends with `depth` boxes of `type`, each holding the next.
std::string DeepMp4(const TempDir& dir, const std::string& name, int depth, const char* type) {
    const std::string base = dir.file("base-" + name);
    EXPECT_EQ(testutil::Run("ffmpeg -v error -nostdin -y -f lavfi -i sine=d=0.2 -c:a aac -metadata title=Deep " +
                            Quote(base)),
              0);
    const std::string in = ReadAll(base);
    std::string nested;
    // A "meta" box carries four bytes of version and flags before its boxes.
    const std::string lead = std::string(type) == "meta" ? std::string(4, '\0') : std::string();
    for (int i = 0; i < depth; ++i) nested = Be32(static_cast<uint32_t>(nested.size() + lead.size() + 8)) + type + lead + nested;
    std::string out;
    for (size_t pos = 0; pos + 8 <= in.size();) {
        const uint32_t size = static_cast<uint8_t>(in[pos]) << 24 | static_cast<uint8_t>(in[pos + 1]) << 16 |
                              static_cast<uint8_t>(in[pos + 2]) << 8 | static_cast<uint8_t>(in[pos + 3]);
        if (size < 8 || size > in.size() - pos) break;
        std::string box = in.substr(pos, size);
        if (box.compare(4, 4, "moov") == 0) box = Be32(static_cast<uint32_t>(size + nested.size())) + box.substr(4) + nested;
        out += box;
        pos += size;
    }
    const std::string path = dir.file(name);
    WriteAll(path, out);
    return path;
}

// An MP3 whose ID3v2.4 tag holds a title and `depth` CHAP frames, each embedding the next.
std::string DeepChapters(const TempDir& dir, const std::string& name, int depth) {
    const std::string audio = dir.file("audio-" + name);
    EXPECT_EQ(testutil::Run("ffmpeg -v error -nostdin -y -f lavfi -i sine=d=0.2 -c:a libmp3lame -write_xing 0 "
                            "-id3v2_version 0 " +
                            Quote(audio)),
              0);
    auto frame = [](const std::string& id, const std::string& body) { return id + Synchsafe(body.size()) + std::string(2, '\0') + body; };
    std::string chapters;
    for (int i = 0; i < depth; ++i) {
        std::string body(1, 'c');
        body += std::to_string(i);
        body.append(17, '\0');
        body += chapters;
        chapters = frame("CHAP", body);
    }
    const std::string body = frame("TIT2", std::string("\3Deep", 5)) + chapters;
    const std::string path = dir.file(name);
    WriteAll(path, std::string("ID3\4\0\0", 6) + Synchsafe(body.size()) + body + ReadAll(audio));
    return path;
}

}  // namespace

// Boxes or chapter frames nested far beyond any real file (tens of thousands of levels crashed) are refused before the tag library
// parses them (it recurses, and the stack would overflow); a few levels read as before.
TEST(HostileInputTest, DeepNestingIsRefusedBeforeTheTagLibrary) {
    TempDir dir;
    TagRecord tags;
    std::string text;
    for (const char* type : {"trak", "meta"}) {
        const std::string deep = DeepMp4(dir, std::string("deep-") + type + ".m4a", 2000, type);
        EXPECT_FALSE(TagNestingWithinBounds(deep)) << type;
        EXPECT_FALSE(ReadMp4Metadata(deep, tags)) << type;
        EXPECT_FALSE(ReadTagsText(deep, text)) << type;
    }
    const std::string shallow = DeepMp4(dir, "shallow.m4a", 3, "trak");
    EXPECT_TRUE(TagNestingWithinBounds(shallow));
    ASSERT_TRUE(ReadMp4Metadata(shallow, tags));
    EXPECT_EQ(tags.title, "Deep");

    const std::string chapters = DeepChapters(dir, "chapters.mp3", 2000);
    EXPECT_FALSE(TagNestingWithinBounds(chapters));
    EXPECT_FALSE(ReadTagsText(chapters, text));
    EXPECT_FALSE(ReadId3FileTags(chapters, tags));
    const std::string block = ReadAll(chapters);
    EXPECT_FALSE(ReadId3Tags(reinterpret_cast<const uint8_t*>(block.data()), block.size(), tags));
    const std::string few = DeepChapters(dir, "few.mp3", 3);
    ASSERT_TRUE(ReadId3FileTags(few, tags));
    EXPECT_EQ(tags.title, "Deep");
}

// An MP3 to MP3 conversion copies a large ID3v2 tag byte for byte, holding it about twice (the
// decoder's copy and the tag choice's), not once per hand-over.
TEST(HostileInputTest, LargeId3v2TagIsNotCopiedOverAndOver) {
    TempDir dir;
    const std::string audio = dir.file("audio.mp3");
    ASSERT_EQ(testutil::Run("ffmpeg -v error -nostdin -y -f lavfi -i sine=d=0.2 -c:a libmp3lame -id3v2_version 0 " +
                            Quote(audio)),
              0);
    constexpr uint32_t kTagBytes = 40u << 20;
    std::string body = "PRIV" + Synchsafe(kTagBytes + 6) + std::string(2, '\0') + std::string("owner\0", 6);
    body.append(kTagBytes, 'U');
    const std::string source = dir.file("big.mp3");
    WriteAll(source, std::string("ID3\4\0\0", 6) + Synchsafe(body.size()) + body + ReadAll(audio));
    body.clear();
    body.shrink_to_fit();

    const std::string config = dir.file("config"), out = dir.file("out");
    const std::string cli = testutil::BinDir() + "/sonavert-cli";
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        setenv("XDG_CONFIG_HOME", config.c_str(), 1);
        setenv("HOME", config.c_str(), 1);
        execl(cli.c_str(), cli.c_str(), "-y", "-j", "1", "-f", "mp3", "-o", out.c_str(), source.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    ASSERT_EQ(wait4(child, &status, 0, &usage), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    // Twice the tag and the program itself; four copies (as before) came to 200 MB.
    EXPECT_LT(usage.ru_maxrss, 150 * 1024) << "kB";
    const std::string target = ReadAll(out + "/big.mp3");
    const std::string original = ReadAll(source);
    ASSERT_GT(target.size(), kTagBytes);
    EXPECT_EQ(target.compare(0, kTagBytes, original, 0, kTagBytes), 0);
}

// A WMA whose header holds two metadata objects of 65,535 entries each (the demuxer's dictionary
// made that minutes of work) lists and converts in moments, with its title.
TEST(HostileInputTest, HugeWindowsMediaMetadataObjectsAreBounded) {
    TempDir dir;
    const std::string base = dir.file("base.wma");
    ASSERT_EQ(testutil::Run("ffmpeg -v error -nostdin -y -f lavfi -i sine=d=0.5 -ac 2 -c:a wmav2 -metadata title=Big " +
                            Quote(base)),
              0);
    const std::string original = ReadAll(base);
    ASSERT_GT(original.size(), 30u);
    const auto le = [](uint64_t v, int bytes) {
        std::string s;
        for (int i = 0; i < bytes; ++i) s += static_cast<char>(v >> (8 * i));
        return s;
    };
    std::string objects;
    for (int k = 0; k < 2; ++k) {
        std::string body = le(65535, 2);
        for (int i = 0; i < 65535; ++i) {
            std::string name, value;
            for (char c : "WM/X" + std::to_string(k) + "_" + std::to_string(i)) name += std::string{c, '\0'};
            name += std::string(2, '\0');
            value = std::string("v\0\0\0", 4);
            body += le(name.size(), 2) + name + le(0, 2) + le(value.size(), 2) + value;
        }
        objects += std::string("\x40\xA4\xD0\xD2\x07\xE3\xD2\x11\x97\xF0\x00\xA0\xC9\x5E\xA8\x50", 16) +
                   le(24 + body.size(), 8) + body;
    }
    uint64_t headerSize = 0, count = 0;
    for (int i = 7; i >= 0; --i) headerSize = headerSize << 8 | static_cast<uint8_t>(original[16 + i]);
    for (int i = 3; i >= 0; --i) count = count << 8 | static_cast<uint8_t>(original[24 + i]);
    const std::string source = dir.file("meta.wma");
    WriteAll(source, original.substr(0, 16) + le(headerSize + objects.size(), 8) + le(count + 2, 4) +
                         original.substr(28, 2) + objects + original.substr(30));

    const std::string cli = testutil::BinDir() + "/sonavert-cli";
    std::string listed;
    EXPECT_EQ(testutil::Run("timeout 60 " + Quote(cli) + " --list " + Quote(source), &listed), 0);
    EXPECT_NE(listed.find("44100 Hz"), std::string::npos) << listed;
    const std::string out = dir.file("out");
    EXPECT_EQ(testutil::Run("XDG_CONFIG_HOME=" + Quote(dir.file("config")) + " timeout 60 " + Quote(cli) +
                            " -y -f mp3 -o " + Quote(out) + " " + Quote(source)),
              0);
    std::string probed;
    testutil::Run("ffprobe -v error -show_entries format_tags=title -of csv=p=0 " + Quote(out + "/meta.mp3"), &probed);
    EXPECT_EQ(probed.substr(0, 3), "Big");
}
