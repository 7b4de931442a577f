// Broken sources that decode to nothing must fail the conversion with a reason and leave no target;
// a file that states it holds no audio still converts; header rates no output can carry are refused
// by the readers.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "engine/OutputFormats.h"
#include "engine/Pipeline.h"
#include "sources/AiffReader.h"
#include "sources/CodecHost.h"
#include "sources/WavReader.h"
#include "support/FakeDriver.h"
#include "support/TestUtil.h"

using namespace sonavert;
namespace fs = std::filesystem;

namespace {

struct NoAudioFixture {
    NoAudioFixture() { host.Start(testutil::BinDir() + "/"); }
    CodecHost host;
    testutil::TempDir dir;
    Settings settings;
    testutil::FakeDriver driver;
    SourceFactoryContext sources;
    std::string reason;

    int Convert(int format, const std::string& source, const std::string& target, int sourceType) {
        sources.failureReason.clear();
        ConversionContext context{settings, driver, sources, {}};
        ConversionRequest request{sourceType, source, target, 1, format};
        const int result = ConvertFile(format, request, context);
        reason = context.failureReason;
        return result;
    }
};

void Put16(std::vector<uint8_t>& b, uint16_t v) {
    b.push_back(v & 0xFF);
    b.push_back(v >> 8);
}
void Put32(std::vector<uint8_t>& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back((v >> (8 * i)) & 0xFF);
}

// A 16-bit PCM WAV header whose data chunk claims `dataBytes`, followed by `present` bytes of a tone.
std::vector<uint8_t> WavHeader(uint32_t rate, uint16_t channels, uint32_t dataBytes, uint32_t present) {
    std::vector<uint8_t> b{'R', 'I', 'F', 'F'};
    Put32(b, 36 + dataBytes);
    for (char c : std::string("WAVEfmt ")) b.push_back(static_cast<uint8_t>(c));
    Put32(b, 16);
    Put16(b, 1);
    Put16(b, channels);
    Put32(b, rate);
    Put32(b, rate * channels * 2u);
    Put16(b, static_cast<uint16_t>(channels * 2));
    Put16(b, 16);
    for (char c : std::string("data")) b.push_back(static_cast<uint8_t>(c));
    Put32(b, dataBytes);
    for (uint32_t i = 0; i < present; ++i) b.push_back(static_cast<uint8_t>((i * 37) & 0xFF));
    return b;
}

void BigPut32(std::vector<uint8_t>& b, uint32_t v) {
    for (int i = 3; i >= 0; --i) b.push_back((v >> (8 * i)) & 0xFF);
}

// A 16-bit AIFF whose sample rate is the 80-bit extended number with `exponent` and `mantissa`.
std::vector<uint8_t> AiffWithRate(uint16_t exponent, uint64_t mantissa) {
    std::vector<uint8_t> comm{'C', 'O', 'M', 'M'};
    BigPut32(comm, 18);
    comm.insert(comm.end(), {0, 2});          // channels
    BigPut32(comm, 100);                      // frames
    comm.insert(comm.end(), {0, 16});         // bits
    comm.push_back(exponent >> 8);
    comm.push_back(exponent & 0xFF);
    for (int i = 7; i >= 0; --i) comm.push_back((mantissa >> (8 * i)) & 0xFF);
    std::vector<uint8_t> ssnd{'S', 'S', 'N', 'D'};
    BigPut32(ssnd, 8 + 400);
    BigPut32(ssnd, 0);
    BigPut32(ssnd, 0);
    ssnd.resize(ssnd.size() + 400, 0x11);
    std::vector<uint8_t> b{'F', 'O', 'R', 'M'};
    BigPut32(b, static_cast<uint32_t>(4 + comm.size() + ssnd.size()));
    b.insert(b.end(), {'A', 'I', 'F', 'F'});
    b.insert(b.end(), comm.begin(), comm.end());
    b.insert(b.end(), ssnd.begin(), ssnd.end());
    return b;
}

constexpr int kFamiliesToCheck[] = {kOutputWav, kOutputMp3, kOutputM4a};

std::string TargetFor(const testutil::TempDir& dir, const std::string& stem, int format) {
    const OutputFormatInfo* info = FindOutputFormat(format);
    return dir.file(stem + (info ? info->extension : std::string(".out")));
}

}  // namespace

TEST(NoAudio, SourcesThatDecodeToNothingFailAndLeaveNoTarget) {
    NoAudioFixture f;
    // A WAV header announcing a second of audio with none behind it.
    const std::string headerOnly = f.dir.file("header-only.wav");
    ASSERT_TRUE(testutil::WriteFileBytes(headerOnly, WavHeader(44100, 2, 176400, 0)));
    // A FLAC file cut off right after its metadata.
    const std::string wav = testutil::WriteTwoToneWav(f.dir.file("tone.wav"), 1.0);
    const std::string flac = f.dir.file("full.flac");
    ASSERT_EQ(testutil::Run("flac -s -f -o " + testutil::Quote(flac) + " " + testutil::Quote(wav)), 0);
    std::vector<uint8_t> flacBytes = testutil::ReadFileBytes(flac);
    ASSERT_GT(flacBytes.size(), 200u);
    flacBytes.resize(100);  // "fLaC" + STREAMINFO (42 bytes) + the start of the next block
    const std::string cutFlac = f.dir.file("cut.flac");
    ASSERT_TRUE(testutil::WriteFileBytes(cutFlac, flacBytes));

    const struct {
        std::string path;
        int type;
    } inputs[] = {{headerOnly, kSourceWav}, {cutFlac, kSourceFlac}};
    for (const auto& input : inputs) {
        for (int format : kFamiliesToCheck) {
            SCOPED_TRACE(input.path + " to format " + std::to_string(format));
            const std::string target = TargetFor(f.dir, fs::path(input.path).stem().string() + "-out", format);
            EXPECT_EQ(f.Convert(format, input.path, target, input.type), 0);
            EXPECT_FALSE(f.reason.empty());
            EXPECT_FALSE(fs::exists(target));
        }
    }
    f.Convert(kOutputWav, headerOnly, f.dir.file("again.wav"), kSourceWav);
    EXPECT_EQ(f.reason, kNoAudioDecodedReason);
}

TEST(NoAudio, AFewFramesThatComeToNoSampleAtTheTargetRateFail) {
    NoAudioFixture f;
    // One stereo frame at 44.1 kHz is less than a sample at AMR's 8 kHz; four frames at 8 kHz are
    // four samples there.
    const std::string one = f.dir.file("one-frame.wav");
    ASSERT_TRUE(testutil::WriteFileBytes(one, WavHeader(44100, 2, 4, 4)));
    const std::string amr = f.dir.file("one-frame.amr");
    EXPECT_EQ(f.Convert(kOutputAmr, one, amr, kSourceWav), 0);
    EXPECT_EQ(f.reason, "the source is too short to convert to 8000 Hz");
    EXPECT_FALSE(fs::exists(amr));
    // At its own rate the frame is kept.
    const std::string wav = f.dir.file("one-frame-out.wav");
    EXPECT_EQ(f.Convert(kOutputWav, one, wav, kSourceWav), 1) << f.reason;
    const std::string four = f.dir.file("four-frames.wav");
    ASSERT_TRUE(testutil::WriteFileBytes(four, WavHeader(8000, 1, 8, 8)));
    EXPECT_EQ(f.Convert(kOutputAmr, four, amr, kSourceWav), 1) << f.reason;
    EXPECT_GE(testutil::FfmpegDecodeS16(amr, 1).size(), 4u);
}

TEST(NoAudio, AFileThatStatesItIsEmptyStillConverts) {
    NoAudioFixture f;
    const std::string empty = f.dir.file("empty.wav");
    ASSERT_TRUE(testutil::WriteFileBytes(empty, WavHeader(44100, 2, 0, 0)));
    for (int format : {kOutputWav, kOutputMp3}) {
        SCOPED_TRACE(format);
        const std::string target = TargetFor(f.dir, "empty-out", format);
        EXPECT_EQ(f.Convert(format, empty, target, kSourceWav), 1) << f.reason;
        EXPECT_TRUE(fs::exists(target));
    }
}

TEST(NoAudio, ReadersRefuseRatesNoOutputCanCarry) {
    testutil::TempDir dir;
    for (uint32_t rate : {0u, 0xFFFFFFFFu, 0xFFFFFFF0u, 768001u}) {
        SCOPED_TRACE(rate);
        const std::string path = dir.file("rate.wav");
        ASSERT_TRUE(testutil::WriteFileBytes(path, WavHeader(rate, 2, 4000, 4000)));
        WavReader reader;
        EXPECT_EQ(reader.Open(path, 0), 0);
    }
    {
        const std::string path = dir.file("ok.wav");
        ASSERT_TRUE(testutil::WriteFileBytes(path, WavHeader(768000, 1, 4000, 4000)));
        WavReader reader;
        EXPECT_NE(reader.Open(path, 0), 0);
    }
    // 2^31 Hz and 44100 Hz as 80-bit extended numbers.
    {
        const std::string path = dir.file("huge.aiff");
        ASSERT_TRUE(testutil::WriteFileBytes(path, AiffWithRate(0x401E, 0x8000000000000000ull)));
        AiffReader reader;
        EXPECT_EQ(reader.Open(path, 0), 0);
    }
    {
        const std::string path = dir.file("cd.aiff");
        ASSERT_TRUE(testutil::WriteFileBytes(path, AiffWithRate(0x400E, 0xAC44000000000000ull)));
        AiffReader reader;
        EXPECT_NE(reader.Open(path, 0), 0);
        EXPECT_EQ(reader.GetSampleRate(), 44100u);
    }
}

TEST(NoAudio, AnImpossibleHeaderRateNeverReachesATarget) {
    NoAudioFixture f;
    const std::string source = f.dir.file("bad-rate.wav");
    ASSERT_TRUE(testutil::WriteFileBytes(source, WavHeader(0xFFFFFFFFu, 2, 40000, 40000)));
    const std::string target = f.dir.file("bad-rate-out.wav");
    if (f.Convert(kOutputWav, source, target, kSourceWav)) {
        // Another decoder may take the file, but only with a rate a WAV file can hold.
        const std::vector<uint8_t> out = testutil::ReadFileBytes(target);
        ASSERT_GE(out.size(), 28u);
        uint32_t rate;
        std::memcpy(&rate, out.data() + 24, 4);
        EXPECT_GE(rate, 1u);
        EXPECT_LE(rate, 768000u);
    } else {
        EXPECT_FALSE(f.reason.empty());
        EXPECT_FALSE(fs::exists(target));
    }
}
