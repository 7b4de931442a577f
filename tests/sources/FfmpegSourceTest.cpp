#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>

#include "sources/FfmpegSource.h"
#include "support/TestUtil.h"

using namespace sonavert;
using testutil::Quote;
const auto Sh = [](const std::string& cmd) { return testutil::Run(cmd); };
using testutil::TempDir;

namespace {

// Everything one pass of Read delivered, with the frame count of every call.
struct Decoded {
    std::vector<int16_t> left, right;  // 16-bit sources
    std::vector<uint8_t> left8, right8;  // 8-bit sources
    std::vector<uint32_t> blocks;
    std::vector<uint64_t> positions;
    bool rightTouched = false;
};

constexpr int16_t kUntouched16 = 0x5A5A;

Decoded DecodeAll(AudioSource& src) {
    Decoded d;
    const bool eight = src.GetBitsPerSample() == 8;
    for (;;) {
        std::vector<int16_t> l(kBlockFrames), r(kBlockFrames, kUntouched16);
        std::vector<uint8_t> l8(kBlockFrames), r8(kBlockFrames, 0x5A);
        const uint32_t n = eight ? src.Read(l8.data(), r8.data()) : src.Read(l.data(), r.data());
        d.positions.push_back(src.GetPosition());
        if (n == 0) break;
        d.blocks.push_back(n);
        if (n > kBlockFrames) break;
        if (eight) {
            d.left8.insert(d.left8.end(), l8.begin(), l8.begin() + n);
            d.right8.insert(d.right8.end(), r8.begin(), r8.begin() + n);
            for (uint32_t i = 0; i < n; ++i) d.rightTouched |= r8[i] != 0x5A;
        } else {
            d.left.insert(d.left.end(), l.begin(), l.begin() + n);
            d.right.insert(d.right.end(), r.begin(), r.begin() + n);
            for (uint32_t i = 0; i < n; ++i) d.rightTouched |= r[i] != kUntouched16;
        }
    }
    return d;
}

// Every Read but the last delivers a full block: frames left over from a large decoded frame are
// carried into the next call.
void ExpectFullBlocks(const Decoded& d) {
    ASSERT_FALSE(d.blocks.empty());
    for (size_t i = 0; i + 1 < d.blocks.size(); ++i) ASSERT_EQ(d.blocks[i], kBlockFrames) << "block " << i;
    EXPECT_LE(d.blocks.back(), kBlockFrames);
}

// Largest difference between delivered channel `plane` and channel `channel` of an interleaved
// reference; the counts must agree exactly.
int MaxDiff(const std::vector<int16_t>& plane, const std::vector<int16_t>& ref, int refChannels, int channel) {
    EXPECT_EQ(plane.size() * refChannels, ref.size());
    int worst = 0;
    const size_t n = std::min(plane.size(), ref.size() / refChannels);
    for (size_t i = 0; i < n; ++i)
        worst = std::max(worst, std::abs(plane[i] - ref[i * refChannels + channel]));
    return worst;
}

// Interleaved test signal: a different tone on every channel so that a channel mix-up shows.
std::vector<int16_t> Tones(int rate, int channels, double seconds) {
    const size_t frames = static_cast<size_t>(rate * seconds);
    std::vector<int16_t> out(frames * channels);
    for (size_t i = 0; i < frames; ++i)
        for (int c = 0; c < channels; ++c)
            out[i * channels + c] = static_cast<int16_t>(
                std::lround(12000.0 * std::sin(2 * M_PI * (300.0 + 170.0 * c) * i / rate) + 1000 * c));
    return out;
}

// A WAV file of IEEE float samples (format tag 3), 32 or 64 bits, built byte by byte.
void WriteFloatWav(const std::string& path, const std::vector<double>& samples, int channels, int bits) {
    std::vector<uint8_t> b;
    auto put = [&](uint64_t v, int n) { for (int i = 0; i < n; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i))); };
    auto tag = [&](const char* t) { b.insert(b.end(), t, t + 4); };
    const uint32_t bytes = static_cast<uint32_t>(samples.size() * bits / 8);
    tag("RIFF"); put(36 + bytes, 4); tag("WAVE");
    tag("fmt "); put(16, 4); put(3, 2); put(channels, 2); put(8000, 4);
    put(8000 * channels * bits / 8, 4); put(channels * bits / 8, 2); put(bits, 2);
    tag("data"); put(bytes, 4);
    for (double v : samples) {
        if (bits == 32) {
            float f = static_cast<float>(v);
            uint32_t u;
            std::memcpy(&u, &f, 4);
            put(u, 4);
        } else {
            uint64_t u;
            std::memcpy(&u, &v, 8);
            put(u, 8);
        }
    }
    ASSERT_TRUE(testutil::WriteFileBytes(path, b));
}

class FfmpegSourceTest : public ::testing::Test {
protected:
    TempDir dir;
    // A 16-bit stereo WAV of distinct tones on both sides, the input for the encoders.
    std::string StereoWav(int rate = 44100, double seconds = 1.3) {
        const std::string path = dir.file("in-" + std::to_string(rate) + ".wav");
        EXPECT_TRUE(testutil::WriteWav16(path, Tones(rate, 2, seconds), rate, 2));
        return path;
    }
    std::string Encode(const std::string& input, const std::string& name, const std::string& args) {
        const std::string out = dir.file(name);
        EXPECT_EQ(Sh("ffmpeg -v error -nostdin -y -i " + Quote(input) + " " + args + " " + Quote(out)), 0) << args;
        return out;
    }
};

// ---------------------------------------------------------------------------------------------------

TEST_F(FfmpegSourceTest, LosslessStereoFlacDecodesExactly) {
    const std::string wav = StereoWav();
    const std::string flac = dir.file("a.flac");
    ASSERT_EQ(Sh("flac -s -f -o " + Quote(flac) + " " + Quote(wav)), 0);

    FfmpegSource src;
    ASSERT_EQ(src.Open(flac, 0), 1);
    EXPECT_EQ(src.GetLength(), std::filesystem::file_size(flac));
    EXPECT_GT(src.GetPosition(), 0u);
    EXPECT_LE(src.GetPosition(), src.GetLength());
    EXPECT_EQ(src.GetSampleRate(), 44100u);
    EXPECT_EQ(src.GetStoredChannels(), 2u);
    EXPECT_EQ(src.GetChannels(), 2u);
    EXPECT_EQ(src.GetChannelMode(), kModeStereo);
    EXPECT_EQ(src.GetBitsPerSample(), 16u);
    EXPECT_EQ(src.GetDuration(), 1);

    const Decoded d = DecodeAll(src);
    ExpectFullBlocks(d);
    const auto original = Tones(44100, 2, 1.3);
    EXPECT_EQ(MaxDiff(d.left, original, 2, 0), 0);
    EXPECT_EQ(MaxDiff(d.right, original, 2, 1), 0);
    // Position moves forward with the input and ends at the end of the file.
    for (size_t i = 1; i < d.positions.size(); ++i) EXPECT_GE(d.positions[i], d.positions[i - 1]);
    EXPECT_EQ(d.positions.back(), src.GetLength());
    // Exhausted stays exhausted.
    int16_t l[kBlockFrames], r[kBlockFrames];
    EXPECT_EQ(src.Read(l, r), 0u);
}

// Lossy decoders produce float samples; the reference converts them with rounding, the source
// truncates, so single steps differ.
TEST_F(FfmpegSourceTest, LossyFormatsMatchReferenceDecoder) {
    const std::string wav = StereoWav(48000);
    const std::string vorbis = dir.file("a.ogg");
    ASSERT_EQ(Sh("oggenc -Q -q 4 -o " + Quote(vorbis) + " " + Quote(wav)), 0);
    struct Case { std::string path; uint32_t rate; };
    const std::vector<Case> cases = {
        {vorbis, 48000},
        {Encode(wav, "a.opus", "-c:a libopus -b:a 96k"), 48000},
        {Encode(wav, "a.m4a", "-c:a aac -b:a 128k"), 48000},
        {Encode(wav, "a.mp3", "-c:a libmp3lame -b:a 128k"), 48000},
        // This decoder holds back its last samples until told that the input ended.
        {Encode(wav, "a.wma", "-c:a wmav2 -b:a 128k"), 48000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        FfmpegSource src;
        ASSERT_EQ(src.Open(c.path, 0), 1);
        EXPECT_EQ(src.GetSampleRate(), c.rate);
        EXPECT_EQ(src.GetChannels(), 2u);
        EXPECT_EQ(src.GetBitsPerSample(), 16u);
        const Decoded d = DecodeAll(src);
        ExpectFullBlocks(d);
        const auto ref = testutil::FfmpegDecodeS16(c.path);
        ASSERT_FALSE(ref.empty());
        EXPECT_LE(MaxDiff(d.left, ref, 2, 0), 1);
        EXPECT_LE(MaxDiff(d.right, ref, 2, 1), 1);
        EXPECT_GT(testutil::RmsLevel(ref, 2, 0), 0.1);  // the comparison was against real sound
    }
}

TEST_F(FfmpegSourceTest, IntegerPcmWidths) {
    const std::string wav = StereoWav(22050);
    const std::string s24 = dir.file("s24.wav"), s32 = dir.file("s32.wav"), u8 = dir.file("u8.wav");
    ASSERT_EQ(Sh("sox -D " + Quote(wav) + " -b 24 " + Quote(s24)), 0);
    ASSERT_EQ(Sh("sox -D " + Quote(wav) + " -b 32 " + Quote(s32)), 0);
    ASSERT_EQ(Sh("sox -D " + Quote(wav) + " -b 8 -e unsigned-integer " + Quote(u8)), 0);
    // 24 and 32 bits keep their top 16 bits: the original samples.
    const auto original = Tones(22050, 2, 1.3);
    for (const std::string& path : {s24, s32}) {
        FfmpegSource src;
        ASSERT_EQ(src.Open(path, 0), 1);
        EXPECT_EQ(src.GetBitsPerSample(), 16u);
        const Decoded d = DecodeAll(src);
        ExpectFullBlocks(d);
        EXPECT_EQ(MaxDiff(d.left, original, 2, 0), 0) << path;
        EXPECT_EQ(MaxDiff(d.right, original, 2, 1), 0) << path;
    }
    // Unsigned 8-bit stays 8-bit: the bytes of the data chunk come out unchanged.
    FfmpegSource src;
    ASSERT_EQ(src.Open(u8, 0), 1);
    EXPECT_EQ(src.GetBitsPerSample(), 8u);
    EXPECT_EQ(src.GetChannels(), 2u);
    const Decoded d = DecodeAll(src);
    ExpectFullBlocks(d);
    const auto bytes = testutil::ReadFileBytes(u8);
    ASSERT_EQ(bytes.size(), 44 + d.left8.size() * 2);
    for (size_t i = 0; i < d.left8.size(); ++i) {
        ASSERT_EQ(d.left8[i], bytes[44 + 2 * i]) << i;
        ASSERT_EQ(d.right8[i], bytes[44 + 2 * i + 1]) << i;
    }
}

TEST_F(FfmpegSourceTest, MonoWritesOnlyTheLeftPlane) {
    const auto mono = Tones(16000, 1, 0.7);
    const std::string wav = dir.file("mono.wav");
    ASSERT_TRUE(testutil::WriteWav16(wav, mono, 16000, 1));
    const std::string flac = Encode(wav, "mono.flac", "-c:a flac");
    FfmpegSource src;
    ASSERT_EQ(src.Open(flac, 0), 1);
    EXPECT_EQ(src.GetStoredChannels(), 1u);
    EXPECT_EQ(src.GetChannels(), 1u);
    EXPECT_EQ(src.GetChannelMode(), kModeSingleChannel);
    const Decoded d = DecodeAll(src);
    ExpectFullBlocks(d);
    EXPECT_FALSE(d.rightTouched);
    EXPECT_EQ(MaxDiff(d.left, mono, 1, 0), 0);
    // Mono without a right plane at all.
    FfmpegSource again;
    ASSERT_EQ(again.Open(flac, 0), 1);
    int16_t l[kBlockFrames];
    EXPECT_EQ(again.Read(l, nullptr), kBlockFrames);
    EXPECT_EQ(l[100], mono[100]);
}

TEST_F(FfmpegSourceTest, SurroundDeliversTheStereoDownmix) {
    const auto six = Tones(44100, 6, 1.0);
    const std::string wav = dir.file("six.wav");
    ASSERT_TRUE(testutil::WriteWav16(wav, six, 44100, 6));
    for (const std::string& path : {Encode(wav, "six.flac", "-c:a flac -channel_layout 5.1"),
                                    Encode(wav, "six.m4a", "-c:a aac -b:a 384k -channel_layout 5.1")}) {
        SCOPED_TRACE(path);
        FfmpegSource src;
        ASSERT_EQ(src.Open(path, 0), 1);
        EXPECT_EQ(src.GetStoredChannels(), 6u);
        EXPECT_EQ(src.GetChannels(), 2u);
        EXPECT_EQ(src.GetChannelMode(), kModeStereo);
        const Decoded d = DecodeAll(src);
        ExpectFullBlocks(d);
        // The stereo downmix: centre and surrounds at -3 dB, LFE dropped, scaled against clipping.
        const auto ref = testutil::MixToStereo(testutil::FfmpegDecodeS16(path, 6, true), 6, testutil::k51LeftGains,
                                               testutil::k51RightGains);
        // (the reference rounds float samples where the source truncates them)
        EXPECT_LE(MaxDiff(d.left, ref, 2, 0), 2);
        EXPECT_LE(MaxDiff(d.right, ref, 2, 1), 2);
        if (path.ends_with(".flac")) {
            // Lossless: the mix of the original channels themselves.
            const auto mix = testutil::MixToStereo(six, 6, testutil::k51LeftGains, testutil::k51RightGains);
            EXPECT_LE(MaxDiff(d.left, mix, 2, 0), 1);
            EXPECT_LE(MaxDiff(d.right, mix, 2, 1), 1);
        }
    }
}

TEST_F(FfmpegSourceTest, FloatSamplesTruncateAndSaturate) {
    // Packed float and double WAVs, stereo: the left column and the right column of each row.
    const std::vector<double> values = {1.0, -1.0, 1.5, -1.5, 0.5, -0.5, 0.0, -1e-9, 0.25, 1e30,
                                        -1e30, 0.999999, -0.999999, 3.0517578125e-05, -3.0517578125e-05};
    std::vector<double> samples;
    for (double v : values) {
        samples.push_back(v);
        samples.push_back(-v);
    }
    for (int bits : {32, 64}) {
        SCOPED_TRACE(bits);
        const std::string path = dir.file("float" + std::to_string(bits) + ".wav");
        WriteFloatWav(path, samples, 2, bits);
        FfmpegSource src;
        ASSERT_EQ(src.Open(path, 0), 1);
        EXPECT_EQ(src.GetBitsPerSample(), 16u);
        const Decoded d = DecodeAll(src);
        ASSERT_EQ(d.left.size(), values.size());
        for (size_t i = 0; i < values.size(); ++i) {
            // Truncation rule: x * (2^31 - 1) to an integer, then an arithmetic shift by 16.
            auto expect = [&](double x) -> int {
                const double stored = bits == 32 ? static_cast<double>(static_cast<float>(x)) : x;
                if (stored >= 1.0) return 32767;
                if (stored <= -1.0) return -32768;
                return static_cast<int>(static_cast<int64_t>(stored * 2147483647.0) >> 16);
            };
            EXPECT_EQ(d.left[i], expect(values[i])) << values[i];
            EXPECT_EQ(d.right[i], expect(-values[i])) << -values[i];
        }
        // Full scale, and beyond it saturation instead of wrapping.
        EXPECT_EQ(std::vector<int16_t>(d.left.begin(), d.left.begin() + 6),
                  (std::vector<int16_t>{32767, -32768, 32767, -32768, 16383, -16384}));
    }
    EXPECT_EQ(ffmpeg_detail::FloatToS16(std::nan("")), 0);
}

TEST_F(FfmpegSourceTest, VideoOnlyFileOpensOnlyForProbing) {
    const std::string video = dir.file("video.mp4");
    ASSERT_EQ(Sh("ffmpeg -v error -nostdin -y -f lavfi -i testsrc=size=320x240:rate=25 -t 1 -c:v mpeg4 " +
                  Quote(video)), 0);
    FfmpegSource src;
    EXPECT_EQ(src.Open(video, 0), 0);
    EXPECT_EQ(src.GetSampleRate(), 0u);

    FfmpegProbeSource probe;
    ASSERT_EQ(probe.Open(video, 0), 1);
    int32_t w = 0, h = 0;
    probe.GetVideoSize(&w, &h);
    EXPECT_EQ(w, 320);
    EXPECT_EQ(h, 240);
    EXPECT_DOUBLE_EQ(probe.GetVideoFrameRate(), 25.0);
    EXPECT_EQ(probe.GetDuration(), 1);
    EXPECT_EQ(probe.GetLength(), std::filesystem::file_size(video));
    EXPECT_EQ(probe.GetSampleRate(), 0u);
    EXPECT_EQ(probe.GetChannelMode(), kModeNone);
    int16_t l[kBlockFrames], r[kBlockFrames];
    EXPECT_EQ(probe.Read(l, r), 0u);
    probe.Close();
    probe.Close();
    probe.GetVideoSize(&w, &h);
    EXPECT_EQ(w, 0);
    EXPECT_EQ(probe.GetVideoFrameRate(), 0.0);
}

TEST_F(FfmpegSourceTest, AudioWithVideoDecodesAudioAndProbesBoth) {
    const std::string movie = dir.file("movie.mp4");
    ASSERT_EQ(Sh("ffmpeg -v error -nostdin -y -f lavfi -i testsrc=size=176x144:rate=30 -i " + Quote(StereoWav(44100)) +
                  " -t 1.3 -c:v mpeg4 -c:a aac -ac 1 " + Quote(movie)), 0);
    FfmpegProbeSource probe;
    ASSERT_EQ(probe.Open(movie, 0), 1);
    int32_t w = 0, h = 0;
    probe.GetVideoSize(&w, &h);
    EXPECT_EQ(w, 176);
    EXPECT_EQ(h, 144);
    EXPECT_DOUBLE_EQ(probe.GetVideoFrameRate(), 30.0);
    EXPECT_EQ(probe.GetSampleRate(), 44100u);
    EXPECT_EQ(probe.GetStoredChannels(), 1u);
    EXPECT_EQ(probe.GetChannelMode(), kModeSingleChannel);
    EXPECT_GT(probe.GetBitRate(), 20u);

    FfmpegSource src;
    ASSERT_EQ(src.Open(movie, 0), 1);
    EXPECT_EQ(src.GetBitRate(), probe.GetBitRate());
    const Decoded d = DecodeAll(src);
    ExpectFullBlocks(d);
    EXPECT_LE(MaxDiff(d.left, testutil::FfmpegDecodeS16(movie), 1, 0), 1);
}

TEST_F(FfmpegSourceTest, UnsetDurationShowsZero) {
    // Written to a pipe, a FLAC stream carries no total length.
    const std::string wav = StereoWav(44100, 2.5);
    const std::string flac = dir.file("piped.flac");
    std::string piped;
    ASSERT_EQ(testutil::Run("ffmpeg -v error -nostdin -i " + Quote(wav) + " -c:a flac -f flac -", &piped), 0);
    ASSERT_TRUE(testutil::WriteFileBytes(flac, std::vector<uint8_t>(piped.begin(), piped.end())));
    FfmpegSource src;
    ASSERT_EQ(src.Open(flac, 0), 1);
    EXPECT_EQ(src.GetDuration(), 0);
    FfmpegProbeSource probe;
    ASSERT_EQ(probe.Open(flac, 0), 1);
    EXPECT_EQ(probe.GetDuration(), 0);
    // The stream itself is whole.
    const Decoded d = DecodeAll(src);
    EXPECT_EQ(d.left.size(), static_cast<size_t>(44100 * 2.5));
}

TEST_F(FfmpegSourceTest, TagsFromContainerAndStreamMetadata) {
    const std::string wav = StereoWav(44100, 0.3);
    const std::string meta = "-metadata title='Night Song' -metadata artist='The Band' -metadata album='Échos' "
                             "-metadata genre=Jazz -metadata comment='a comment' -metadata copyright='(c) Someone' "
                             "-metadata date=2019-04-01 -metadata track=3/12 -metadata album_artist=Various "
                             "-metadata disc=2/3";
    for (const std::string& path : {Encode(wav, "t.flac", "-c:a flac " + meta),
                                    Encode(wav, "t.ogg", "-c:a libvorbis " + meta),
                                    Encode(wav, "t.m4a", "-c:a aac " + meta),
                                    Encode(wav, "t.mka", "-c:a flac " + meta)}) {
        SCOPED_TRACE(path);
        FfmpegSource src;
        ASSERT_EQ(src.Open(path, 0), 1);
        TagRecord tags;
        tags.composer = "stale";
        ASSERT_EQ(src.ReadTags(tags), 1);
        EXPECT_EQ(tags.title, "Night Song");
        EXPECT_EQ(tags.artist, "The Band");
        EXPECT_EQ(tags.album, "Échos");
        EXPECT_EQ(tags.genre, "Jazz");
        EXPECT_EQ(tags.comment, "a comment");
        EXPECT_EQ(tags.copyright, "(c) Someone");
        EXPECT_EQ(tags.year, "2019");
        EXPECT_EQ(tags.track, "3");
        EXPECT_EQ(tags.composer, "");
        EXPECT_EQ(tags.albumArtist, "Various");
        EXPECT_EQ(tags.disc.substr(0, 1), "2") << tags.disc;
    }
    // Without tags the record is left as it was.
    const std::string bare = Encode(wav, "bare.flac", "-c:a flac -map_metadata -1 -fflags +bitexact");
    FfmpegSource src;
    ASSERT_EQ(src.Open(bare, 0), 1);
    TagRecord tags;
    tags.title = "kept";
    EXPECT_EQ(src.ReadTags(tags), 0);
    EXPECT_EQ(tags.title, "kept");
}

TEST_F(FfmpegSourceTest, FailuresAndLifecycle) {
    FfmpegSource src;
    EXPECT_EQ(src.Open(dir.file("missing.flac"), 0), 0);
    EXPECT_EQ(src.Open("", 0), 0);
    const std::string junk = dir.file("junk.bin");
    ASSERT_TRUE(testutil::WriteFileBytes(junk, std::vector<uint8_t>(5000, 0)));
    EXPECT_EQ(src.Open(junk, 0), 0);
    FfmpegProbeSource probe;
    EXPECT_EQ(probe.Open(junk, 0), 0);
    EXPECT_EQ(probe.Open(dir.file("missing.flac"), 0), 0);

    // A name with a colon and a scheme-like prefix is still a local file.
    const std::string odd = dir.file("http:odd name.flac");
    ASSERT_EQ(Sh("flac -s -f -o " + Quote(odd) + " " + Quote(StereoWav())), 0);
    ASSERT_EQ(src.Open(odd, 0), 1);
    int16_t l[kBlockFrames], r[kBlockFrames];
    EXPECT_EQ(src.Read(l, r), kBlockFrames);
    src.Close();
    src.Close();
    EXPECT_EQ(src.Read(l, r), 0u);
    EXPECT_EQ(src.GetSampleRate(), 0u);
    EXPECT_EQ(src.GetChannelMode(), kModeNone);
    // Reopening starts again from the beginning, and Open on an open source replaces it.
    ASSERT_EQ(src.Open(odd, 0), 1);
    ASSERT_EQ(src.Open(odd, 0), 1);
    EXPECT_EQ(src.Read(l, r), kBlockFrames);
    EXPECT_EQ(l[200], Tones(44100, 2, 0.01)[400]);
}

TEST_F(FfmpegSourceTest, DamagedPacketIsSkippedAndDecodingGoesOn) {
    const std::string wav = StereoWav(44100, 3.0);
    const std::string mp3 = Encode(wav, "d.mp3", "-c:a libmp3lame -b:a 128k");
    auto bytes = testutil::ReadFileBytes(mp3);
    ASSERT_GT(bytes.size(), 30000u);
    // Wreck a stretch in the middle: frame headers and payload alike.
    for (size_t i = bytes.size() / 2; i < bytes.size() / 2 + 1500; ++i) bytes[i] = static_cast<uint8_t>(i * 37);
    ASSERT_TRUE(testutil::WriteFileBytes(mp3, bytes));

    FfmpegSource src;
    ASSERT_EQ(src.Open(mp3, 0), 1);
    const Decoded d = DecodeAll(src);
    const auto ref = testutil::FfmpegDecodeS16(mp3);
    EXPECT_GT(d.left.size(), 44100u * 5 / 2);
    EXPECT_LE(MaxDiff(d.left, ref, 2, 0), 1);
    // The end of the file is decoded after the damage.
    EXPECT_GT(testutil::RmsLevel(std::vector<int16_t>(d.left.end() - 4410, d.left.end()), 1, 0), 0.1);
}

}  // namespace
