// BassSource over the decoding layer: planar delivery, MPEG channel mode and bit rate, raw ID3
// blocks, modules and MIDI, and opens that must fail cleanly.
#include <gtest/gtest.h>

#include <cstring>

#include "sources/BassSource.h"
#include "sources/bass/bass.h"
#include "support/BassTestUtil.h"
#include "support/TestUtil.h"

using namespace testutil;
using sonavert::BassSource;
using sonavert::kBlockFrames;

namespace {

// Reads the whole source; returns interleaved samples of the delivered channels and the frame
// counts of every Read.
std::vector<int16_t> ReadAll(BassSource& s, std::vector<uint32_t>* counts = nullptr) {
    std::vector<int16_t> out, left(kBlockFrames), right(kBlockFrames);
    while (uint32_t n = s.Read(left.data(), right.data())) {
        if (n > kBlockFrames) {
            ADD_FAILURE() << "block of " << n << " frames";
            break;
        }
        if (counts) counts->push_back(n);
        for (uint32_t i = 0; i < n; ++i) {
            out.push_back(left[i]);
            if (s.GetChannels() == 2) out.push_back(right[i]);
        }
    }
    return out;
}

TEST(BassSource, SixChannelFlacDeliversTheStereoDownmix) {
    TempDir dir;
    std::string wav = dir.file("six.wav"), flac = dir.file("six.flac");
    std::vector<int16_t> six;
    std::vector<std::vector<int16_t>> tones;
    for (int c = 0; c < 6; ++c) tones.push_back(Sine(200.0 + 150 * c, 48000, 1, 0.5));
    for (size_t i = 0; i < tones[0].size(); ++i)
        for (int c = 0; c < 6; ++c) six.push_back(tones[c][i]);
    ASSERT_TRUE(WriteWav16(wav, six, 48000, 6));
    ASSERT_EQ(testutil::Run("ffmpeg -v error -i " + Quote(wav) + " -c:a flac " + Quote(flac)), 0);

    BassSession session;
    BassSource s;
    ASSERT_EQ(s.Open(flac, 0), 1);
    EXPECT_EQ(s.GetStoredChannels(), 6u);
    EXPECT_EQ(s.GetChannels(), 2u);
    EXPECT_EQ(s.GetSampleRate(), 48000u);
    EXPECT_EQ(s.GetBitsPerSample(), 16u);
    EXPECT_EQ(s.GetKind(), BassSource::kPlainStream);
    EXPECT_EQ(s.GetChannelMode(), sonavert::kModeNone);
    EXPECT_EQ(s.GetLength(), 24000u * 12);
    std::vector<uint32_t> counts;
    auto got = ReadAll(s, &counts);
    ASSERT_FALSE(counts.empty());
    for (size_t i = 0; i + 1 < counts.size(); ++i) ASSERT_EQ(counts[i], 384u);
    // The stereo downmix: centre and surrounds at -3 dB, LFE dropped, scaled against clipping.
    const auto ref = MixToStereo(FfmpegDecodeS16(flac), 6, k51LeftGains, k51RightGains);
    ASSERT_EQ(got.size(), ref.size());
    for (size_t i = 0; i < ref.size(); ++i) ASSERT_NEAR(got[i], ref[i], 1) << i;
    EXPECT_EQ(s.GetPosition(), s.GetLength());
}

TEST(BassSource, MonoWritesOnlyTheLeftPlane) {
    TempDir dir;
    std::string wav = dir.file("mono.wav");
    auto samples = Sine(440, 44100, 1, 0.3);
    ASSERT_TRUE(WriteWav16(wav, samples, 44100, 1));
    BassSession session(false, false);
    BassSource s;
    ASSERT_EQ(s.Open(wav, 0), 1);
    EXPECT_EQ(s.GetChannels(), 1u);
    EXPECT_EQ(s.GetStoredChannels(), 1u);
    EXPECT_EQ(s.GetBitRate(), 707u);  // 26504-byte file over 0.3 s, header included
    EXPECT_EQ(s.GetDuration(), 0);
    std::vector<int16_t> left(kBlockFrames), right(kBlockFrames, 0x7A7A), got;
    while (uint32_t n = s.Read(left.data(), right.data())) {
        ASSERT_LE(n, kBlockFrames);
        if (got.size() + kBlockFrames <= samples.size()) {
            EXPECT_EQ(n, kBlockFrames);
        }
        got.insert(got.end(), left.begin(), left.begin() + n);
    }
    EXPECT_EQ(got, samples);
    for (int16_t v : right) ASSERT_EQ(v, 0x7A7A);
    // The right plane may be absent altogether.
    ASSERT_EQ(s.Open(wav, 0), 1);
    EXPECT_EQ(s.Read(left.data(), nullptr), kBlockFrames);
}

TEST(BassSource, EightBitStereoSplitsBytes) {
    TempDir dir;
    std::string wav = dir.file("in.wav"), u8 = dir.file("u8.wav");
    ASSERT_TRUE(WriteWav16(wav, StereoTones(300, 500, 11025, 0.5), 11025, 2));
    ASSERT_EQ(testutil::Run("ffmpeg -v error -i " + Quote(wav) + " -c:a pcm_u8 " + Quote(u8)), 0);
    std::string reference;
    testutil::Run("ffmpeg -v error -i " + Quote(u8) + " -f u8 -", &reference);
    BassSession session(false, false);
    BassSource s;
    ASSERT_EQ(s.Open(u8, 0), 1);
    EXPECT_EQ(s.GetBitsPerSample(), 8u);
    std::vector<uint8_t> left(kBlockFrames), right(kBlockFrames);
    std::string got;
    while (uint32_t n = s.Read(left.data(), right.data())) {
        ASSERT_LE(n, kBlockFrames);
        for (uint32_t i = 0; i < n; ++i) {
            got.push_back(static_cast<char>(left[i]));
            got.push_back(static_cast<char>(right[i]));
        }
    }
    EXPECT_EQ(got, reference);
}

TEST(BassSource, Mp3ChannelModeAndBitRate) {
    TempDir dir;
    std::string wav = dir.file("in.wav"), monoWav = dir.file("mono.wav");
    ASSERT_TRUE(WriteWav16(wav, StereoTones(440, 660, 44100, 2.0), 44100, 2));
    ASSERT_TRUE(WriteWav16(monoWav, Sine(440, 44100, 1, 2.0), 44100, 1));
    struct Case {
        const char* file;
        std::string args;
        int mode;
    } cases[] = {
        {"joint.mp3", "-m j -b 128 " + Quote(wav), sonavert::kModeJointStereo},
        {"stereo.mp3", "-m s -b 128 " + Quote(wav), sonavert::kModeStereo},
        {"mono.mp3", "-m m -b 64 " + Quote(monoWav), sonavert::kModeSingleChannel},
        {"free.mp3", "-m j -b 128 " + Quote(wav), sonavert::kModeNone},
    };
    BassSession session(false, false);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        std::string mp3 = dir.file(c.file);
        ASSERT_EQ(testutil::Run("lame --quiet " + c.args + " " + Quote(mp3)), 0);
        if (c.mode == sonavert::kModeNone) {
            // The first frame's header turned to free format (bit-rate index 0); the rest decodes.
            auto bytes = ReadFileBytes(mp3);
            bytes[2] &= 0x0F;
            ASSERT_TRUE(WriteFileBytes(mp3, bytes));
        }
        BassSource s;
        ASSERT_EQ(s.Open(mp3, 0), 1);
        EXPECT_EQ(s.GetKind(), BassSource::kMp3Stream);
        EXPECT_EQ(s.GetChannelMode(), c.mode);
        // Average over the whole file, tags and all.
        double seconds = static_cast<double>(s.GetLength()) / (s.GetSampleRate() * 2.0 * s.GetStoredChannels());
        auto size = ReadFileBytes(mp3).size();
        EXPECT_EQ(s.GetBitRate(), static_cast<uint32_t>(size / (seconds * 125) + 0.5));
        EXPECT_NEAR(s.GetBitRate(), c.mode == sonavert::kModeSingleChannel ? 64 : 128, 8);
        EXPECT_EQ(s.GetDuration(), 2);
    }
}

TEST(BassSource, Id3BlocksAreHandedBackByteExact) {
    TempDir dir;
    std::string wav = dir.file("in.wav"), raw = dir.file("raw.mp3"), mp3 = dir.file("t.mp3");
    ASSERT_TRUE(WriteWav16(wav, StereoTones(440, 660, 44100, 0.5), 44100, 2));
    ASSERT_EQ(testutil::Run("lame --quiet -m j -b 128 " + Quote(wav) + " " + Quote(raw)), 0);
    // ID3v2.4 with a footer: header, 300 bytes of body, footer.
    std::vector<uint8_t> id3v2 = {'I', 'D', '3', 4, 0, 0x10, 0, 0, 2, 44};
    for (int i = 0; i < 300; ++i) id3v2.push_back(static_cast<uint8_t>(i * 31 + 7));
    const uint8_t footer[] = {'3', 'D', 'I', 4, 0, 0x10, 0, 0, 2, 44};
    id3v2.insert(id3v2.end(), std::begin(footer), std::end(footer));
    std::vector<uint8_t> id3v1(128);
    for (int i = 0; i < 128; ++i) id3v1[i] = static_cast<uint8_t>(i * 13);
    std::memcpy(id3v1.data(), "TAG", 3);
    auto file = id3v2;
    auto body = ReadFileBytes(raw);
    file.insert(file.end(), body.begin(), body.end());
    file.insert(file.end(), id3v1.begin(), id3v1.end());
    ASSERT_TRUE(WriteFileBytes(mp3, file));

    BassSession session(false, false);
    BassSource s;
    ASSERT_EQ(s.Open(mp3, 0), 1);
    EXPECT_EQ(s.GetChannelMode(), sonavert::kModeJointStereo);
    const uint8_t* v1 = s.GetID3v1Block();
    ASSERT_NE(v1, nullptr);
    EXPECT_EQ(std::vector<uint8_t>(v1, v1 + 128), id3v1);
    uint32_t size = 0;
    const uint8_t* v2 = s.GetID3v2Block(&size);
    ASSERT_NE(v2, nullptr);
    ASSERT_EQ(size, id3v2.size());
    EXPECT_EQ(std::vector<uint8_t>(v2, v2 + size), id3v2);

    // An untagged file has no blocks.
    ASSERT_EQ(s.Open(raw, 0), 1);
    EXPECT_EQ(s.GetID3v1Block(), nullptr);
    EXPECT_EQ(s.GetID3v2Block(&size), nullptr);
    EXPECT_EQ(size, 0u);
}

TEST(BassSource, ModuleOpensAsMusicAtRenderRate) {
    TempDir dir;
    std::string path = dir.file("tiny.xm");
    ASSERT_TRUE(WriteFileBytes(path, TinyModule()));
    BassSession session(false, false);
    {
        BassSource s;
        ASSERT_EQ(s.Open(path, 48000), 1);
        EXPECT_EQ(s.GetKind(), BassSource::kModule);
        EXPECT_EQ(s.GetSampleRate(), 48000u);
        EXPECT_EQ(s.GetChannels(), 2u);
        EXPECT_EQ(s.GetDuration(), 1);
        EXPECT_EQ(s.GetBitRate(), 1536u);  // no file position for modules: 16 x 48000 x 2 / 1000
        EXPECT_EQ(BASS_ChannelCount(), 1u);
        auto pcm = ReadAll(s);
        EXPECT_EQ(pcm.size() * 2, s.GetLength());
        EXPECT_EQ(s.GetPosition(), s.GetLength());
        EXPECT_GT(RmsLevel(pcm, 2, 0), 0.01);
        s.Close();
        EXPECT_EQ(BASS_ChannelCount(), 0u);
        s.Close();  // closing twice is harmless
        ASSERT_EQ(s.Open(path, 0), 1);
        EXPECT_EQ(s.GetSampleRate(), 44100u);
    }
    EXPECT_EQ(BASS_ChannelCount(), 0u);  // the destructor closed it
}

TEST(BassSource, MidiRendersToItsExactLength) {
    TempDir dir;
    std::string path = dir.file("tune.MID");
    ASSERT_TRUE(WriteFileBytes(path, TinyMidi()));
    BassSession session;
    BassSource s;
    ASSERT_EQ(s.Open(path, 22050), 1);
    EXPECT_EQ(s.GetKind(), BassSource::kMidi);
    EXPECT_EQ(s.GetSampleRate(), 22050u);
    EXPECT_EQ(s.GetLength(), 33075u * 4);
    EXPECT_EQ(s.GetDuration(), 1);
    // Average over the file like any stream: its size over 1.5 seconds, not the PCM rate.
    EXPECT_EQ(s.GetBitRate(), static_cast<uint32_t>(TinyMidi().size() / (1.5 * 125) + 0.5));
    auto pcm = ReadAll(s);
    EXPECT_EQ(pcm.size(), 33075u * 2);
    EXPECT_EQ(s.GetPosition(), s.GetLength());
    EXPECT_GT(RmsLevel(pcm, 2, 0), 0.005);
    s.Close();
    EXPECT_EQ(BASS_ChannelCount(), 0u);
}

TEST(BassSource, FailedOpensLeaveNothingBehind) {
    TempDir dir;
    std::string empty = dir.file("empty.wav"), flac = dir.file("a.flac"), wav = dir.file("a.wav");
    ASSERT_TRUE(WriteWav16(empty, {}, 44100, 2));
    ASSERT_TRUE(WriteWav16(wav, Sine(440, 44100, 2, 0.1), 44100, 2));
    ASSERT_EQ(testutil::Run("flac -s -f " + Quote(wav) + " -o " + Quote(flac)), 0);
    BassSession session(false, false);
    BassSource s;
    // An empty stream is created by the layer but refused, and its handle released.
    EXPECT_EQ(s.Open(empty, 0), 0);
    EXPECT_EQ(BASS_ChannelCount(), 0u);
    EXPECT_EQ(s.GetSampleRate(), 0u);
    std::vector<int16_t> left(kBlockFrames), right(kBlockFrames);
    EXPECT_EQ(s.Read(left.data(), right.data()), 0u);
    // Without the FLAC add-on neither the stream nor the module call accepts FLAC.
    EXPECT_EQ(s.Open(flac, 0), 0);
    EXPECT_EQ(BASS_ChannelCount(), 0u);
    EXPECT_EQ(s.Open(dir.file("missing.mp3"), 0), 0);
    // An open source reopened on a failing file ends up closed.
    ASSERT_EQ(s.Open(wav, 0), 1);
    EXPECT_EQ(s.Open(empty, 0), 0);
    EXPECT_EQ(BASS_ChannelCount(), 0u);
    EXPECT_EQ(s.GetLength(), 0u);
}

}  // namespace

TEST(BassSource, ReadTagsFromEachFormatAndNoneFromUntaggedFiles) {
    TempDir dir;
    std::string wav = dir.file("in.wav");
    ASSERT_TRUE(WriteWav16(wav, StereoTones(440, 660, 44100, 0.3), 44100, 2));
    std::string flac = dir.file("t.flac"), mp3 = dir.file("t.mp3");
    ASSERT_EQ(testutil::Run("ffmpeg -v error -y -i " + Quote(wav) +
                  " -metadata title='Café Noir' -metadata artist=Ann -metadata album=Alb -metadata date=1999"
                  " -metadata genre=Jazz -metadata comment=Hi -metadata track=4 -metadata composer=Comp"
                  " -metadata copyright=Copy -metadata album_artist=Various -metadata disc=2/3 " + Quote(flac)), 0);
    ASSERT_EQ(testutil::Run("lame --quiet --add-id3v2 --tt 'Song Two' --ta Bob --tl Disc --ty 2004 --tg Rock --tc Note"
                  " --tn 9 " + Quote(wav) + " " + Quote(mp3)), 0);

    BassSession session;
    BassSource s;
    ASSERT_EQ(s.Open(flac, 0), 1);
    sonavert::TagRecord tags;
    ASSERT_EQ(s.ReadTags(tags), 1);
    EXPECT_EQ(tags.title, "Café Noir");
    EXPECT_EQ(tags.artist, "Ann");
    EXPECT_EQ(tags.album, "Alb");
    EXPECT_EQ(tags.year, "1999");
    EXPECT_EQ(tags.genre, "Jazz");
    EXPECT_EQ(tags.comment, "Hi");
    EXPECT_EQ(tags.track, "4");
    EXPECT_EQ(tags.composer, "Comp");
    EXPECT_EQ(tags.copyright, "Copy");
    EXPECT_EQ(tags.albumArtist, "Various");
    EXPECT_EQ(tags.disc, "2/3");
    // Raw ID3 blocks belong to MP3 files only.
    uint32_t size = 7;
    EXPECT_EQ(s.GetID3v1Block(), nullptr);
    EXPECT_EQ(s.GetID3v2Block(&size), nullptr);
    EXPECT_EQ(size, 0u);

    ASSERT_EQ(s.Open(mp3, 0), 1);
    tags = {};
    ASSERT_EQ(s.ReadTags(tags), 1);
    EXPECT_EQ(tags.title, "Song Two");
    EXPECT_EQ(tags.artist, "Bob");
    EXPECT_EQ(tags.album, "Disc");
    EXPECT_EQ(tags.year, "2004");
    EXPECT_EQ(tags.genre, "Rock");
    EXPECT_EQ(tags.comment, "Note");
    EXPECT_EQ(tags.track, "9");
    EXPECT_NE(s.GetID3v1Block(), nullptr);

    // No tags: 0 and the record untouched.
    ASSERT_EQ(s.Open(wav, 0), 1);
    tags = {};
    tags.title = "kept";
    EXPECT_EQ(s.ReadTags(tags), 0);
    EXPECT_EQ(tags.title, "kept");
    s.Close();
    EXPECT_EQ(s.ReadTags(tags), 0);
}
