#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <numeric>

#include "encoders/M4aWriter.h"
#include "support/AacTestUtil.h"
#include "support/TestUtil.h"
#include "tags/TagReading.h"

using namespace sonavert;
using testutil::Planes;
using testutil::TempDir;

namespace {

struct WriteOptions {
    int rate = 44100;
    int channels = 2;
    bool eightBit = false;
    unsigned long bitRate = 64000;  // per channel
    const TagRecord* tags = nullptr;
    int track = 0;
};

// Writes the planes to `path` in blocks of 1152 samples; returns Close's result.
int WriteFile(const std::string& path, const Planes& p, const WriteOptions& o) {
    M4aWriter w;
    if (!w.Open(path, o.rate, o.channels, o.eightBit ? 8 : 16)) return 0;
    w.Configuration()->bitRate = o.bitRate;
    if (!w.Start()) return 0;
    if (o.tags && !w.SetMetadata(*o.tags, o.track)) return 0;
    const std::vector<uint8_t> left8 = o.eightBit ? testutil::ToUnsigned8(p.left) : std::vector<uint8_t>();
    const std::vector<uint8_t> right8 = o.eightBit ? testutil::ToUnsigned8(p.right) : std::vector<uint8_t>();
    for (size_t at = 0; at < p.size(); at += 1152) {
        const auto n = static_cast<uint32_t>(std::min<size_t>(1152, p.size() - at));
        const int ok = o.eightBit ? w.EncodeBlock8(left8.data() + at, right8.data() + at, n)
                                  : w.EncodeBlock16(p.left.data() + at, p.right.data() + at, n);
        if (!ok) return 0;
    }
    return w.Close();
}

// Where the first box named `type` has its name, or npos.
size_t FindBox(const std::vector<uint8_t>& bytes, const char* type) {
    for (size_t i = 4; i + 4 <= bytes.size(); ++i)
        if (std::memcmp(bytes.data() + i, type, 4) == 0) return i;
    return std::string::npos;
}

int64_t Be32(const std::vector<uint8_t>& bytes, size_t at) {
    if (at > bytes.size() || bytes.size() - at < 4) return -1;
    const uint8_t* p = bytes.data() + at;
    return (int64_t{p[0]} << 24) | (p[1] << 16) | (p[2] << 8) | p[3];
}

std::string FormatTag(const std::map<std::string, std::string>& probe, const std::string& key) {
    const auto it = probe.find("TAG:" + key);
    return it == probe.end() ? std::string() : it->second;
}

}  // namespace

// The container facts as ffprobe sees them: one AAC track at the source's rate with that rate as its
// time scale; the edit list presents exactly N samples while the samples last N + 1024 (the priming
// frame); decoded, the audio lines up with the source and carries its tones.
TEST(M4aWriter, TrackTimingAndDecodedAudioMatchTheSource) {
    const struct {
        const char* name;
        WriteOptions options;
        size_t samples;
    } cases[] = {
        {"stereo 44100", {44100, 2, false, 64000}, 44100 * 2 + 333},
        {"mono 22050 8-bit", {22050, 1, true, 48000}, 22050 * 2 + 1024},
        {"stereo 48000 quality mode", {48000, 2, false, 0}, 48000 * 2 - 1},
    };
    TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const int rate = c.options.rate, channels = c.options.channels;
        const std::string path = dir.file("t.m4a");
        // The first second is a sweep (for the alignment), the rest a tone (for level and pitch).
        Planes src = testutil::SweepPlanes(rate, static_cast<size_t>(rate));
        const Planes tone = testutil::TonePlanes(1000, rate, c.samples - src.size());
        src.left.insert(src.left.end(), tone.left.begin(), tone.left.end());
        src.right.insert(src.right.end(), tone.right.begin(), tone.right.end());
        ASSERT_EQ(WriteFile(path, src, c.options), 1);

        const auto stream = testutil::Probe(path, "stream=codec_name,profile,sample_rate,channels,time_base,duration_ts");
        EXPECT_EQ(stream.at("codec_name"), "aac");
        EXPECT_EQ(stream.at("profile"), "LC");
        EXPECT_EQ(stream.at("sample_rate"), std::to_string(rate));
        EXPECT_EQ(stream.at("channels"), std::to_string(channels));
        EXPECT_EQ(stream.at("time_base"), "1/" + std::to_string(rate));
        EXPECT_EQ(stream.at("duration_ts"), std::to_string(c.samples));
        EXPECT_EQ(testutil::Probe(path, "format=nb_streams").at("nb_streams"), "1");
        // The stored samples, edit list aside: N + 1024 in all, whole frames but for the last.
        const auto durations = testutil::PacketDurations(path, "-ignore_editlist 1");
        ASSERT_FALSE(durations.empty());
        EXPECT_EQ(std::accumulate(durations.begin(), durations.end(), int64_t{0}),
                  static_cast<int64_t>(c.samples + 1024));
        for (size_t i = 0; i + 1 < durations.size(); ++i) ASSERT_EQ(durations[i], 1024) << i;

        const auto bytes = testutil::ReadFileBytes(path);
        // mvhd: version/flags, two times, then the time scale.
        const size_t mvhd = FindBox(bytes, "mvhd");
        ASSERT_NE(mvhd, std::string::npos);
        EXPECT_EQ(Be32(bytes, mvhd + 4 + 12), M4aWriter::kMovieTimeScale);
        // The edit list starts at the first source sample, after the priming frame, and no
        // composition offsets shift the samples.
        const size_t elst = FindBox(bytes, "elst");
        ASSERT_NE(elst, std::string::npos);
        EXPECT_EQ(Be32(bytes, elst + 8), 1) << "one edit";
        EXPECT_EQ(Be32(bytes, elst + 16), 1024) << "media time";
        EXPECT_EQ(FindBox(bytes, "ctts"), std::string::npos);
        // iods: version/flags, descriptor tag and 4-byte length, id, OD and scene profiles, audio.
        const size_t iods = FindBox(bytes, "iods");
        ASSERT_NE(iods, std::string::npos) << "no initial object descriptor";
        ASSERT_LT(iods + 4 + 13, bytes.size());
        EXPECT_EQ(bytes[iods + 4 + 13], M4aWriter::kAudioProfileLevel);

        const auto pcm = testutil::FfmpegDecodeS16(path);
        ASSERT_GE(pcm.size() / channels, c.samples);
        EXPECT_EQ(testutil::BestLag(src.left, pcm, channels, static_cast<size_t>(rate / 2), 1500), 0);
        const size_t from = static_cast<size_t>(rate) * 5 / 4 * channels;
        const size_t to = (c.samples - static_cast<size_t>(rate / 4)) * channels;
        ASSERT_LT(from, to);
        const std::vector<int16_t> mid(pcm.begin() + from, pcm.begin() + to);
        const double ref = 0.5 / std::sqrt(2.0);
        EXPECT_NEAR(testutil::EstimateFrequency(mid, channels, 0, rate), 1000, 10);
        EXPECT_NEAR(testutil::LevelDb(mid, channels, 0, ref), 0, 1.0);
        if (channels == 2) {
            EXPECT_NEAR(testutil::EstimateFrequency(mid, 2, 1, rate), 1500, 15);
            EXPECT_NEAR(testutil::LevelDb(mid, 2, 1, ref / 2), 0, 1.0);
        }
    }
}

TEST(M4aWriter, BitRatePerChannelIsHonoured) {
    TempDir dir;
    const std::string path = dir.file("noise.m4a");
    ASSERT_EQ(WriteFile(path, testutil::NoisePlanes(44100 * 4), {44100, 2, false, 128 * 1000 / 2}), 1);
    const double bitRate = std::stod(testutil::Probe(path, "stream=bit_rate").at("bit_rate"));
    EXPECT_NEAR(bitRate, 128000, 128000 * 0.05);
}

// Metadata as an independent reader (ffprobe) and the program's own MP4 tag reading see it: UTF-8
// text as it was given, the track as a number with no total, no copyright, nothing for empty texts.
TEST(M4aWriter, MetadataReadsBack) {
    TempDir dir;
    const Planes tone = testutil::TonePlanes(1000, 44100, 44100 / 2);
    TagRecord tags;
    tags.title = "Grüße aus Köln — 東京";
    tags.artist = "Ærøskøbing Ensemble";
    tags.album = "Album";
    tags.year = "1999";
    tags.genre = "Jazz";
    tags.comment = "a comment";
    tags.track = "99";  // the track number comes separately
    tags.composer = "Dvořák";
    tags.copyright = "(c) nobody";
    {
        const std::string path = dir.file("full.m4a");
        WriteOptions o;
        o.tags = &tags;
        o.track = 7;
        ASSERT_EQ(WriteFile(path, tone, o), 1);
        const auto probe = testutil::Probe(path, "format_tags");
        EXPECT_EQ(FormatTag(probe, "title"), tags.title);
        EXPECT_EQ(FormatTag(probe, "artist"), tags.artist);
        EXPECT_EQ(FormatTag(probe, "album"), tags.album);
        EXPECT_EQ(FormatTag(probe, "date"), tags.year);
        EXPECT_EQ(FormatTag(probe, "genre"), tags.genre);
        EXPECT_EQ(FormatTag(probe, "comment"), tags.comment);
        EXPECT_EQ(FormatTag(probe, "composer"), tags.composer);
        EXPECT_EQ(FormatTag(probe, "track"), "7") << "track 7 of total 0";
        EXPECT_EQ(probe.count("TAG:copyright"), 0u);
        EXPECT_EQ(probe.count("TAG:encoder"), 0u);

        TagRecord back;
        ASSERT_TRUE(ReadMp4Metadata(path, back));
        EXPECT_EQ(back.title, tags.title);
        EXPECT_EQ(back.artist, tags.artist);
        EXPECT_EQ(back.album, tags.album);
        EXPECT_EQ(back.year, tags.year);
        EXPECT_EQ(back.genre, tags.genre);
        EXPECT_EQ(back.comment, tags.comment);
        EXPECT_EQ(back.composer, tags.composer);
        EXPECT_EQ(back.track, "7");
        EXPECT_EQ(back.copyright, "");
    }
    {
        // An empty title, track 0 and a text that is not UTF-8 leave no entries.
        TagRecord sparse;
        sparse.artist = "Someone";
        sparse.comment = "\xC3\x28 broken";
        const std::string path = dir.file("sparse.m4a");
        WriteOptions o;
        o.tags = &sparse;
        o.track = 0;
        ASSERT_EQ(WriteFile(path, tone, o), 1);
        const auto probe = testutil::Probe(path, "format_tags");
        EXPECT_EQ(FormatTag(probe, "artist"), "Someone");
        EXPECT_EQ(probe.count("TAG:title"), 0u);
        EXPECT_EQ(probe.count("TAG:track"), 0u);
        EXPECT_EQ(probe.count("TAG:comment"), 0u);
        TagRecord back;
        back.track = "unchanged";
        ASSERT_TRUE(ReadMp4Metadata(path, back));
        EXPECT_EQ(back.title, "");
        EXPECT_EQ(back.track, "unchanged");
    }
}

// The four MPEG-4 audio extensions are one kind of file: the same source gives the same bytes.
TEST(M4aWriter, ExtensionsDifferInNameOnly) {
    TempDir dir;
    const Planes tone = testutil::TonePlanes(440, 44100, 44100);
    TagRecord tags;
    tags.title = "Same";
    WriteOptions o;
    o.tags = &tags;
    o.track = 1;
    std::vector<uint8_t> first;
    for (const char* ext : {".m4a", ".m4b", ".m4r", ".mp4"}) {
        SCOPED_TRACE(ext);
        const std::string path = dir.file(std::string("song") + ext);
        ASSERT_EQ(WriteFile(path, tone, o), 1);
        const auto bytes = testutil::ReadFileBytes(path);
        ASSERT_GT(bytes.size(), 1000u);
        if (first.empty())
            first = bytes;
        else
            EXPECT_TRUE(bytes == first);
    }
    EXPECT_EQ(std::string(first.begin() + 8, first.begin() + 12), "M4A ");
}

TEST(M4aWriter, RefusalsAndWriteFailuresCarryAReason) {
    TempDir dir;
    {
        M4aWriter w;
        ASSERT_EQ(w.Open(dir.file("odd.m4a"), 37800, 2, 16), 1);
        EXPECT_EQ(w.Start(), 0);
        EXPECT_NE(w.FailureReason().find("37800"), std::string::npos) << w.FailureReason();
        EXPECT_EQ(w.SetMetadata(TagRecord{}, 1), 0);
        EXPECT_EQ(w.Close(), 0);
    }
    {
        // A colon in the name is part of the name, not a protocol.
        M4aWriter w;
        const std::string path = dir.file("a:b.m4a");
        ASSERT_EQ(w.Open(path, 44100, 1, 16), 1);
        EXPECT_EQ(w.Close(), 1);
        EXPECT_TRUE(std::filesystem::exists(path));
        EXPECT_EQ(w.Open(dir.file("missing/folder.m4a"), 44100, 1, 16), 0);
        EXPECT_FALSE(w.FailureReason().empty());
    }
    if (std::filesystem::exists("/dev/full")) {
        const Planes tone = testutil::TonePlanes(1000, 44100, 44100 * 3);
        M4aWriter w;
        ASSERT_EQ(w.Open("/dev/full", 44100, 2, 16), 1);
        w.Configuration()->bitRate = 64000;
        ASSERT_EQ(w.Start(), 1);
        bool failed = false;
        for (size_t at = 0; at + 1152 <= tone.size() && !failed; at += 1152)
            failed = w.EncodeBlock16(tone.left.data() + at, tone.right.data() + at, 1152) == 0;
        EXPECT_TRUE(failed) << "the full device reported no error while writing frames";
        EXPECT_NE(w.FailureReason().find("No space"), std::string::npos) << w.FailureReason();
        EXPECT_EQ(w.EncodeBlock16(tone.left.data(), tone.right.data(), 1152), 0);
        EXPECT_EQ(w.Close(), 0);
        EXPECT_FALSE(w.FailureReason().empty());
    }
}
