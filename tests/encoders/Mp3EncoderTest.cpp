#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>

#include "encoders/Mp3Encoder.h"
#include "encoders/Mp3Params.h"
#include "encoders/NearestValue.h"
#include "support/Mp3TestUtil.h"
#include "support/TestUtil.h"

using namespace sonavert;
using testutil::Mp3Frame;
using testutil::TempDir;

namespace {

using Planes = testutil::TonePlanes16;
// Planes of a tone (left at `freq`, right at 1.5 * freq), fed in blocks of 1152 samples.
Planes Tone(double freq, int rate, double seconds) { return testutil::ToneInPlanes(freq, rate, seconds); }
bool EncodeAll(Mp3Encoder& enc, const Planes& p, bool stereo) { return testutil::EncodeInBlocks(enc, p, stereo); }

// The decoded samples without their first and last quarter second (encoder delay and padding).
std::vector<int16_t> Middle(const std::vector<int16_t>& pcm, int channels, int rate) {
    const size_t skip = static_cast<size_t>(rate / 4) * channels;
    if (pcm.size() <= 2 * skip) return {};
    return std::vector<int16_t>(pcm.begin() + skip, pcm.end() - skip);
}

std::vector<Mp3Frame> AllFrames(const std::vector<uint8_t>& bytes) {
    return testutil::ParseMp3Frames(bytes, 0, bytes.size());
}

// The first frame is the Info frame (delay and padding for gapless decoding); every frame has the
// same rate and bit rate, the audio frames the same mode, and the frames cover the whole file.
// Where one frame is too small to hold the tag (the lowest bit rates), the Info frame alone takes
// a larger bit rate.
void ExpectUniformStream(const std::vector<uint8_t>& bytes, int rate, int kbps, int mode) {
    const auto frames = AllFrames(bytes);
    ASSERT_GT(frames.size(), 2u);
    EXPECT_EQ(frames.back().offset + frames.back().length, bytes.size());
    for (size_t i = 0; i < frames.size(); ++i) {
        ASSERT_EQ(frames[i].rate, rate);
        if (i > 0) {
            ASSERT_EQ(frames[i].kbps, kbps);
            ASSERT_EQ(frames[i].mode, mode);
        }
        else
            ASSERT_GE(frames[i].kbps, kbps);
    }
    const std::string first(bytes.begin() + frames[0].offset, bytes.begin() + frames[0].offset + frames[0].length);
    EXPECT_NE(first.find("Info"), std::string::npos);
    EXPECT_NE(first.find("LAME"), std::string::npos);
}

}  // namespace

TEST(NearestValue, SnapsToTheNearerEntryAndTheLowerOnATie) {
    const struct {
        uint32_t in, out;
    } rates[] = {{23000, 22050}, {23100, 24000}, {23025, 22050}, {44100, 44100}, {100, 8000},
                 {96000, 48000}, {46050, 44100}, {46051, 48000}};
    for (const auto& c : rates) EXPECT_EQ(NearestValue(kMp3SampleRates, c.in), c.out) << c.in;
    const struct {
        uint32_t in, out;
    } kbps[] = {{150, 144}, {152, 144}, {153, 160}, {0, 8}, {1000, 320}, {288, 256}, {289, 320}};
    for (const auto& c : kbps) EXPECT_EQ(NearestValue(kMp3BitRates, c.in), c.out) << c.in;
}

// The parameter choice applied to real encoded files: each row states what the frame headers show.
TEST(Mp3Encoder, ParameterChoiceShowsInTheFrameHeaders) {
    struct Case {
        const char* name;
        Mp3ParamInputs in;
        int rate, kbps, mode;
    };
    auto automatic = [](uint32_t rate, uint32_t channels) {
        Mp3ParamInputs in;
        in.sourceRate = rate;
        in.sourceChannels = channels;
        return in;
    };
    auto manual = [](uint32_t srcRate, uint32_t channels, int mode, uint32_t rate, uint32_t kbps) {
        Mp3ParamInputs in;
        in.automatic = false;
        in.sourceRate = srcRate;
        in.sourceChannels = channels;
        in.channelMode = mode;
        in.sampleRate = rate;
        in.bitRate = kbps;
        return in;
    };
    const Case cases[] = {
        {"auto 8000 mono", automatic(8000, 1), 11025, 24, 3},
        {"auto 8000 stereo", automatic(8000, 2), 11025, 48, 1},
        {"auto 44100 stereo", automatic(44100, 2), 44100, 128, 1},
        {"auto 96000 stereo", automatic(96000, 2), 48000, 192, 1},
        {"22050 at 192 capped", manual(44100, 2, 0, 22050, 192), 22050, 160, 0},
        {"11025 at 128 capped", manual(44100, 2, 1, 11025, 128), 11025, 64, 1},
        {"48000 at 8 raised", manual(44100, 2, 1, 48000, 8), 48000, 32, 1},
        {"23000 snaps down", manual(44100, 1, 3, 23000, 64), 22050, 64, 3},
        {"23100 snaps up", manual(44100, 1, 3, 23100, 64), 24000, 64, 3},
        {"23025 tie goes down", manual(44100, 1, 3, 23025, 64), 22050, 64, 3},
        {"bit rate from the table", manual(32000, 1, 3, 0, 0), 32000, 64, 3},
    };
    TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Mp3Params p = ChooseMp3Params(c.in);
        const std::string path = dir.file("params.mp3");
        Mp3Encoder enc;
        ASSERT_EQ(enc.Open(path), 1);
        ApplyMp3Params(enc, p);
        ASSERT_EQ(enc.Start(), 1);
        const bool stereo = p.channels == 2;
        const Planes tone = Tone(440, static_cast<int>(c.in.sourceRate), 0.3);
        ASSERT_TRUE(EncodeAll(enc, tone, stereo));
        ASSERT_EQ(enc.Finish(), 1);
        ExpectUniformStream(testutil::ReadFileBytes(path), c.rate, c.kbps, c.mode);
        // Gapless: the decoders trim delay and padding, so the stream decodes to the source's
        // length at the output rate (within LAME's resampler rounding), also where the Info frame
        // is our own (the lowest bit rates) and its checksum must hold for mpg123.
        const double frames = static_cast<double>(tone.left.size()) * c.rate / c.in.sourceRate;
        const double slack = c.rate == static_cast<int>(c.in.sourceRate) ? 0.0 : 2.0;
        const auto pcm = testutil::FfmpegDecodeS16(path, stereo ? 2 : 1);
        EXPECT_NEAR(static_cast<double>(pcm.size() / (stereo ? 2 : 1)), frames, slack);
        std::string bytes;
        ASSERT_EQ(testutil::Run("mpg123 -q -s " + testutil::Quote(path) + " | wc -c", &bytes), 0);
        EXPECT_NEAR(std::atof(bytes.c_str()) / 2 / (stereo ? 2 : 1), frames, slack);
    }
}

TEST(Mp3Encoder, ChannelAndModeSettersClampToValidValues) {
    const struct {
        int channels, mode, expectMode;
    } cases[] = {{0, -1, 3}, {6, 2, 0}, {2, 1, 1}, {2, 7, 0}};
    TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.channels << " channels, mode " << c.mode);
        const std::string path = dir.file("ch.mp3");
        Mp3Encoder enc;
        ASSERT_EQ(enc.Open(path), 1);
        enc.SetInputSampleRate(44100);
        enc.SetChannels(c.channels);
        if (c.mode >= 0) enc.SetChannelMode(c.mode);
        enc.SetOutputSampleRate(44100);
        enc.SetBitRate(1000);  // clamped to 320
        ASSERT_EQ(enc.Start(), 1);
        ASSERT_TRUE(EncodeAll(enc, Tone(440, 44100, 0.2), c.channels >= 2));
        ASSERT_EQ(enc.Finish(), 1);
        ExpectUniformStream(testutil::ReadFileBytes(path), 44100, 320, c.expectMode);
    }
}

// Decoded by ffmpeg, each channel keeps its tone's frequency and level. The second case hands the
// whole signal over in one call, far more than the output buffer takes at once.
TEST(Mp3Encoder, OutputDecodesToTheInputTones) {
    const struct {
        int rate, channels, kbps;
        double freq;
        bool oneCall;
    } cases[] = {{44100, 2, 128, 1000, false}, {44100, 2, 320, 440, true}, {16000, 1, 32, 500, false}};
    TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.rate << " Hz, " << c.channels << " channels");
        const std::string path = dir.file("tone.mp3");
        const Planes tone = Tone(c.freq, c.rate, 2.0);
        Mp3Encoder enc;
        ASSERT_EQ(enc.Open(path), 1);
        enc.SetInputSampleRate(c.rate);
        enc.SetChannels(c.channels);
        enc.SetOutputSampleRate(c.rate);
        enc.SetBitRate(c.kbps);
        ASSERT_EQ(enc.Start(), 1);
        if (c.oneCall)
            ASSERT_EQ(enc.EncodeBlock(tone.left.data(), tone.right.data(), static_cast<uint32_t>(tone.left.size())), 1);
        else
            ASSERT_TRUE(EncodeAll(enc, tone, c.channels == 2));
        ASSERT_EQ(enc.Finish(), 1);

        const auto bytes = testutil::ReadFileBytes(path);
        const auto frames = AllFrames(bytes);
        ASSERT_GT(frames.size(), 1u);
        // frames[0] is the Info frame, which may take a larger bit rate than the audio.
        EXPECT_EQ(frames[1].rate, c.rate);
        EXPECT_EQ(frames[1].kbps, c.kbps);

        const auto pcm = testutil::FfmpegDecodeS16(path);
        const size_t decodedFrames = pcm.size() / c.channels;
        // LAME adds its encoder delay and pads the last frame; nothing of the input is lost.
        EXPECT_GE(decodedFrames, tone.left.size());
        EXPECT_LE(decodedFrames, tone.left.size() + 3 * 1152);
        const auto mid = Middle(pcm, c.channels, c.rate);
        EXPECT_NEAR(testutil::EstimateFrequency(mid, c.channels, 0, c.rate), c.freq, c.freq * 0.01);
        EXPECT_NEAR(testutil::RmsLevel(mid, c.channels, 0), 0.5 / std::sqrt(2.0), 0.02);
        if (c.channels == 2) {
            EXPECT_NEAR(testutil::EstimateFrequency(mid, 2, 1, c.rate), 1.5 * c.freq, c.freq * 0.015);
            EXPECT_NEAR(testutil::RmsLevel(mid, 2, 1), 0.25 / std::sqrt(2.0), 0.01);
        }
    }
}

// [ID3v2] frames [flushed frames] [ID3v1], also when no block was encoded; the destructor and a
// second Finish leave the same file.
TEST(Mp3Encoder, TagBlocksFrameTheAudioEvenWithoutBlocks) {
    TempDir dir;
    std::vector<uint8_t> v2(300, 0);
    std::memcpy(v2.data(), "ID3\x03\x00\x00\x00\x00\x02\x22", 10);  // 290 bytes of padding
    std::vector<uint8_t> v1(128, 'x');
    std::memcpy(v1.data(), "TAG", 3);

    for (int way = 0; way < 2; ++way) {
        SCOPED_TRACE(way == 0 ? "Finish twice" : "destructor");
        const std::string path = dir.file("empty.mp3");
        {
            Mp3Encoder enc;
            ASSERT_EQ(enc.Open(path), 1);
            enc.SetID3v1Tag(v1.data());
            enc.SetID3v2Tag(v2.data(), static_cast<uint32_t>(v2.size()));
            enc.SetInputSampleRate(44100);
            enc.SetChannels(2);
            enc.SetOutputSampleRate(44100);
            enc.SetBitRate(128);
            ASSERT_EQ(enc.Start(), 1);
            // Start put the ID3v2 block out ahead of any audio (flushing every stream shows it).
            std::fflush(nullptr);
            EXPECT_EQ(testutil::ReadFileBytes(path), v2);
            if (way == 0) {
                ASSERT_EQ(enc.Finish(), 1);
                const auto once = testutil::ReadFileBytes(path);
                ASSERT_EQ(enc.Finish(), 1);
                EXPECT_EQ(testutil::ReadFileBytes(path), once);
            }
        }
        const auto bytes = testutil::ReadFileBytes(path);
        ASSERT_GT(bytes.size(), v1.size() + v2.size());
        EXPECT_TRUE(std::equal(v2.begin(), v2.end(), bytes.begin()));
        EXPECT_TRUE(std::equal(v1.begin(), v1.end(), bytes.end() - 128));
        const auto frames = testutil::ParseMp3Frames(bytes, v2.size(), bytes.size() - 128);
        ASSERT_FALSE(frames.empty());
        EXPECT_EQ(frames.back().offset + frames.back().length, bytes.size() - 128);
    }
}

TEST(Mp3Encoder, ReportsFailuresInsteadOfWritingSilently) {
    TempDir dir;
    const Planes tone = Tone(440, 44100, 1.0);
    auto configure = [](Mp3Encoder& enc) {
        enc.SetInputSampleRate(44100);
        enc.SetChannels(2);
        enc.SetOutputSampleRate(44100);
        enc.SetBitRate(128);
    };

    // A folder that does not exist: no file, no context.
    Mp3Encoder missing;
    EXPECT_EQ(missing.Open(dir.file("no/such/folder/x.mp3")), 0);
    EXPECT_EQ(missing.Start(), 0);

    // Blocks before Start are refused and write nothing.
    {
        Mp3Encoder enc;
        ASSERT_EQ(enc.Open(dir.file("early.mp3")), 1);
        EXPECT_EQ(enc.EncodeBlock(tone.left.data(), tone.right.data(), 1152), 0);
        EXPECT_EQ(enc.Finish(), 1);
        EXPECT_EQ(std::filesystem::file_size(dir.file("early.mp3")), 0u);
    }

    // A full device: the frames cannot be written, and both EncodeBlock and Finish say so.
    {
        Mp3Encoder enc;
        ASSERT_EQ(enc.Open("/dev/full"), 1);
        configure(enc);
        ASSERT_EQ(enc.Start(), 1);
        EXPECT_FALSE(EncodeAll(enc, tone, true));
        EXPECT_EQ(enc.Finish(), 0);
    }
    // A tag larger than the stream buffer cannot be written either: Start fails.
    {
        std::vector<uint8_t> v2(20000, 0);
        std::memcpy(v2.data(), "ID3\x03\x00\x00\x00\x01\x1C\x16", 10);
        Mp3Encoder enc;
        ASSERT_EQ(enc.Open("/dev/full"), 1);
        enc.SetID3v2Tag(v2.data(), static_cast<uint32_t>(v2.size()));
        configure(enc);
        EXPECT_EQ(enc.Start(), 0);
        EXPECT_EQ(enc.Finish(), 0);
    }
    // Only the flush and the ID3v1 block are left for Finish to fail on.
    {
        std::vector<uint8_t> v1(128, 0);
        std::memcpy(v1.data(), "TAG", 3);
        Mp3Encoder enc;
        ASSERT_EQ(enc.Open("/dev/full"), 1);
        enc.SetID3v1Tag(v1.data());
        configure(enc);
        ASSERT_EQ(enc.Start(), 1);
        EXPECT_EQ(enc.Finish(), 0);
    }
}
