#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <thread>

#include "encoders/AmrCodecs.h"
#include "encoders/AmrEncoder.h"
#include "support/TestUtil.h"

using namespace sonavert;
using testutil::ReadFileBytes;
using testutil::TempDir;

namespace {

// Frame sizes in storage form (header byte included) by frame type, from the AMR and AMR-WB frame
// tables; 0 marks a type an encoder never writes. Narrow band: speech 0..7, SID 8; wide band:
// speech 0..8, SID 9; both: no data 15.
constexpr int kNbSizes[16] = {13, 14, 16, 18, 20, 21, 27, 32, 6, 0, 0, 0, 0, 0, 0, 1};
constexpr int kWbSizes[16] = {18, 24, 33, 37, 41, 47, 51, 59, 61, 6, 0, 0, 0, 0, 0, 1};
constexpr int kNbSid = 8, kWbSid = 9, kNoData = 15;

struct AmrFile {
    bool valid = false;
    std::vector<int> types;  // frame type of every frame, in file order
    size_t bytes = 0;
};

// Walks the frames of a storage-format file; `valid` only when the magic is right and the frames
// cover the file exactly.
AmrFile ReadAmr(const std::string& path, bool narrow) {
    AmrFile f;
    const auto b = ReadFileBytes(path);
    f.bytes = b.size();
    const std::string magic = narrow ? kAmrNbMagic : kAmrWbMagic;
    if (b.size() < magic.size() || std::string(b.begin(), b.begin() + magic.size()) != magic) return f;
    const int* sizes = narrow ? kNbSizes : kWbSizes;
    size_t at = magic.size();
    while (at < b.size()) {
        // Header byte: padding bit, four bits of frame type, the quality bit (set), two padding bits.
        if ((b[at] & 0x87) != 0x04) return f;
        const int type = (b[at] >> 3) & 0x0F;
        if (sizes[type] == 0 || at + sizes[type] > b.size()) return f;
        f.types.push_back(type);
        at += sizes[type];
    }
    f.valid = true;
    return f;
}

std::vector<int16_t> Tone(double freq, int rate, double seconds) { return testutil::Sine(freq, rate, 1, seconds); }

// Opens `path`, feeds `pcm` in blocks of `block` samples and closes; false when any step failed.
bool EncodeFile(AmrEncoder& enc, const std::string& path, const std::vector<int16_t>& pcm, size_t block = 1152) {
    if (!enc.Open(path)) return false;
    for (size_t at = 0; at < pcm.size(); at += block) {
        const uint32_t n = static_cast<uint32_t>(std::min(block, pcm.size() - at));
        if (!enc.EncodeBlock(pcm.data() + at, n)) return false;
    }
    return enc.Close() == 1;
}

struct Config {
    bool narrow;
    int mode;
    int dtx;
};
bool EncodeFile(const Config& c, const std::string& path, const std::vector<int16_t>& pcm, size_t block = 1152) {
    AmrEncoder enc;
    enc.SetBand(c.narrow);
    enc.SetDtx(c.dtx);
    if (c.narrow)
        enc.SetNarrowBandMode(c.mode);
    else
        enc.SetWideBandMode(c.mode);
    return EncodeFile(enc, path, pcm, block);
}

std::string ErrorText(int error) { return std::strerror(error); }

TEST(AmrEncoder, BlocksAreCutIntoWholeFramesAndTheRestWaits) {
    TempDir dir;
    const auto pcm = Tone(440, 8000, 0.1);
    AmrEncoder enc;
    ASSERT_EQ(enc.SetBand(1), 1);
    ASSERT_EQ(enc.Open(dir.file("a.amr")), 1);
    ASSERT_EQ(enc.EncodeBlock(pcm.data(), 100), 1);  // only buffered
    EXPECT_EQ(enc.GetBufferedSamples(), 100u);
    EXPECT_TRUE(ReadAmr(dir.file("a.amr"), true).types.empty());
    ASSERT_EQ(enc.EncodeBlock(pcm.data() + 100, 100), 1);  // one frame, 40 kept
    EXPECT_EQ(enc.GetBufferedSamples(), 40u);
    EXPECT_EQ(ReadAmr(dir.file("a.amr"), true).types.size(), 1u);
    ASSERT_EQ(enc.Close(), 1);  // the 40 go out padded
    EXPECT_EQ(ReadAmr(dir.file("a.amr"), true).types.size(), 2u);

    // Exactly one frame with an empty buffer: encoded at once, nothing kept, the caller's samples
    // left as they were.
    std::vector<int16_t> block(pcm.begin(), pcm.begin() + 160);
    const auto copy = block;
    ASSERT_EQ(enc.SetBand(1), 1);
    ASSERT_EQ(enc.Open(dir.file("b.amr")), 1);
    ASSERT_EQ(enc.EncodeBlock(block.data(), 160), 1);
    EXPECT_EQ(enc.GetBufferedSamples(), 0u);
    EXPECT_EQ(ReadAmr(dir.file("b.amr"), true).types.size(), 1u);
    EXPECT_EQ(block, copy);
    ASSERT_EQ(enc.Close(), 1);
    EXPECT_EQ(ReadAmr(dir.file("b.amr"), true).types.size(), 1u);

    // Wide band: 300 wait, 340 more complete the first frame and make a second, nothing is left.
    const auto wide = Tone(440, 16000, 0.1);
    ASSERT_EQ(enc.SetBand(0), 1);
    ASSERT_EQ(enc.Open(dir.file("c.awb")), 1);
    ASSERT_EQ(enc.EncodeBlock(wide.data(), 300), 1);
    ASSERT_EQ(enc.EncodeBlock(wide.data() + 300, 340), 1);
    EXPECT_EQ(enc.GetBufferedSamples(), 0u);
    ASSERT_EQ(enc.Close(), 1);
    EXPECT_EQ(ReadAmr(dir.file("c.awb"), false).types.size(), 2u);
}

TEST(AmrEncoder, OnlyATrailingPartialFrameIsPadded) {
    TempDir dir;
    struct Case { bool narrow; size_t samples; size_t frames; };
    for (const Case c : {Case{true, 1600, 10}, Case{true, 1601, 11}, Case{true, 1759, 11},
                         Case{false, 3200, 10}, Case{false, 3201, 11}}) {
        SCOPED_TRACE(std::to_string(c.narrow) + "/" + std::to_string(c.samples));
        const int rate = c.narrow ? 8000 : 16000;
        auto pcm = Tone(500, rate, 1.0);
        pcm.resize(c.samples);
        const std::string path = dir.file(c.narrow ? "p.amr" : "p.awb");
        ASSERT_TRUE(EncodeFile(Config{c.narrow, 6, 0}, path, pcm));
        const AmrFile f = ReadAmr(path, c.narrow);
        ASSERT_TRUE(f.valid);
        EXPECT_EQ(f.types.size(), c.frames);
        // A decoder sees whole frames only.
        const size_t frameLength = c.narrow ? kAmrNbFrameSamples : kAmrWbFrameSamples;
        EXPECT_EQ(testutil::FfmpegDecodeS16(path).size(), c.frames * frameLength);
    }
}

TEST(AmrEncoder, EveryModeWritesFramesOfItsStandardSize) {
    TempDir dir;
    for (const bool narrow : {true, false}) {
        const int rate = narrow ? 8000 : 16000;
        const auto pcm = Tone(700, rate, 0.5);  // 25 frames
        for (int mode = 0; mode < (narrow ? kAmrNbModeCount : kAmrWbModeCount); ++mode) {
            SCOPED_TRACE(std::to_string(narrow) + "/" + std::to_string(mode));
            const std::string path = dir.file("m.amr");
            ASSERT_TRUE(EncodeFile(Config{narrow, mode, 0}, path, pcm));
            const AmrFile f = ReadAmr(path, narrow);
            ASSERT_TRUE(f.valid);
            ASSERT_EQ(f.types.size(), 25u);
            for (int type : f.types) ASSERT_EQ(type, mode);
            EXPECT_EQ(f.bytes, (narrow ? 6 : 9) + 25u * (narrow ? kNbSizes : kWbSizes)[mode]);
        }
    }
}

TEST(AmrEncoder, ModeOutsideTheBandIsEncodedAsMode4) {
    TempDir dir;
    for (const Config c : {Config{true, 8, 0}, Config{true, -1, 0}, Config{true, 1000, 1}, Config{false, 9, 0},
                           Config{false, -3, 1}}) {
        SCOPED_TRACE(std::to_string(c.narrow) + "/" + std::to_string(c.mode));
        const std::string path = dir.file("o.amr");
        ASSERT_TRUE(EncodeFile(c, path, Tone(700, c.narrow ? 8000 : 16000, 0.2)));
        const AmrFile f = ReadAmr(path, c.narrow);
        ASSERT_TRUE(f.valid);
        ASSERT_EQ(f.types.size(), 10u);
        for (int type : f.types) ASSERT_EQ(type, AmrEncoder::kFallbackMode);
    }
    // The codec layer itself refuses such modes and creates no file.
    std::string reason;
    EXPECT_EQ(amrnbenc_init(dir.file("x.amr"), 0, 8, reason), nullptr);
    EXPECT_FALSE(reason.empty());
    EXPECT_EQ(amrwbenc_init(dir.file("x.amr"), 0, 9, reason), nullptr);
    EXPECT_FALSE(std::filesystem::exists(dir.file("x.amr")));
}

TEST(AmrEncoder, DtxTurnsLongSilenceIntoSidAndNoDataFrames) {
    TempDir dir;
    for (const bool narrow : {true, false}) {
        SCOPED_TRACE(narrow);
        const int rate = narrow ? 8000 : 16000;
        // One second of tone, three of digital silence, one of tone: 250 frames.
        auto pcm = Tone(400, rate, 1.0);
        pcm.resize(pcm.size() + 3 * rate, 0);
        const auto tail = Tone(400, rate, 1.0);
        pcm.insert(pcm.end(), tail.begin(), tail.end());

        const std::string plain = dir.file("plain.amr"), dtx = dir.file("dtx.amr");
        ASSERT_TRUE(EncodeFile(Config{narrow, 7, 0}, plain, pcm));
        ASSERT_TRUE(EncodeFile(Config{narrow, 7, 1}, dtx, pcm));
        const AmrFile p = ReadAmr(plain, narrow), d = ReadAmr(dtx, narrow);
        ASSERT_TRUE(p.valid);
        ASSERT_TRUE(d.valid);
        EXPECT_EQ(std::count(p.types.begin(), p.types.end(), 7), 250);
        // Every 20 ms still has its frame, but most of the silence is sent as no data.
        ASSERT_EQ(d.types.size(), 250u);
        EXPECT_GT(std::count(d.types.begin(), d.types.end(), narrow ? kNbSid : kWbSid), 0);
        EXPECT_GT(std::count(d.types.begin(), d.types.end(), kNoData), 100);
        EXPECT_LT(d.bytes, p.bytes * 2 / 3);
        // The speech around the silence is still there.
        EXPECT_GE(std::count(d.types.begin(), d.types.end(), 7), 100);
    }
}

TEST(AmrEncoder, FfmpegDecodesTheInputTone) {
    TempDir dir;
    struct Case { bool narrow; int rate; double freq; const char* codec; };
    for (const Case c : {Case{true, 8000, 440, "amr_nb"}, Case{false, 16000, 1000, "amr_wb"}}) {
        SCOPED_TRACE(c.codec);
        const std::string path = dir.file("tone.amr");
        ASSERT_TRUE(EncodeFile(Config{c.narrow, c.narrow ? 7 : 8, 0}, path, Tone(c.freq, c.rate, 2.0), 1000));
        std::string info;
        ASSERT_EQ(testutil::Run("ffprobe -v error -show_entries stream=codec_name,sample_rate,channels -of csv=p=0 " +
                                    testutil::Quote(path), &info), 0);
        EXPECT_EQ(info, std::string(c.codec) + "," + std::to_string(c.rate) + ",1\n");
        auto pcm = testutil::FfmpegDecodeS16(path);
        ASSERT_EQ(pcm.size(), static_cast<size_t>(2 * c.rate));
        // Leave out the codec's settling time at the start.
        pcm.erase(pcm.begin(), pcm.begin() + c.rate / 4);
        EXPECT_NEAR(testutil::EstimateFrequency(pcm, 1, 0, c.rate), c.freq, c.freq * 0.01);
        // Measured about 0.86 (narrow) and 0.74 (wide band) of the input's level.
        const double level = testutil::RmsLevel(pcm, 1, 0) / (0.5 / std::sqrt(2.0));
        EXPECT_GT(level, 0.6);
        EXPECT_LT(level, 1.1);
    }
}

TEST(AmrEncoder, CloseAndSetBandResetTheConfiguration) {
    TempDir dir;
    AmrEncoder enc;
    EXPECT_TRUE(enc.IsNarrowBand());
    EXPECT_EQ(enc.GetDtx(), 0);
    EXPECT_EQ(enc.GetNarrowBandMode(), 6);
    EXPECT_EQ(enc.GetWideBandMode(), 6);
    EXPECT_EQ(enc.GetFrameLength(), 0u);

    // Without SetBand an encoder writes narrow band at mode 6.
    const auto pcm = Tone(440, 16000, 0.1);
    ASSERT_TRUE(EncodeFile(enc, dir.file("d.amr"), std::vector<int16_t>(pcm.begin(), pcm.begin() + 160)));
    EXPECT_EQ(ReadAmr(dir.file("d.amr"), true).types, std::vector<int>{6});

    ASSERT_EQ(enc.SetBand(0), 1);
    EXPECT_FALSE(enc.IsNarrowBand());
    EXPECT_EQ(enc.GetFrameLength(), 320u);
    enc.SetDtx(1);
    enc.SetWideBandMode(2);
    ASSERT_EQ(enc.Open(dir.file("w.awb")), 1);
    ASSERT_EQ(enc.EncodeBlock(pcm.data(), 100), 1);
    // Selecting a band finishes the open file (with its padded frame) and resets DTX and modes.
    ASSERT_EQ(enc.SetBand(0), 1);
    EXPECT_FALSE(enc.IsOpen());
    EXPECT_EQ(ReadAmr(dir.file("w.awb"), false).types, std::vector<int>{2});
    EXPECT_EQ(enc.GetDtx(), 0);
    EXPECT_EQ(enc.GetWideBandMode(), 6);

    enc.SetNarrowBandMode(1);
    EXPECT_EQ(enc.Close(), 1);
    EXPECT_EQ(enc.Close(), 1);
    EXPECT_TRUE(enc.IsNarrowBand());
    EXPECT_EQ(enc.GetNarrowBandMode(), 6);
    EXPECT_EQ(enc.GetFrameLength(), 0u);
    EXPECT_EQ(enc.EncodeBlock(pcm.data(), 100), 0);
    EXPECT_EQ(enc.FailureReason(), "No file is open");

    EXPECT_EQ(enc.Open(dir.file("no/such/folder/x.amr")), 0);
    EXPECT_FALSE(enc.IsOpen());
    EXPECT_EQ(enc.FailureReason(), ErrorText(ENOENT));
}

TEST(AmrEncoder, WriteFailuresFailWithAReason) {
    TempDir dir;
    const std::string full = dir.file("full.amr");
    std::filesystem::create_symlink("/dev/full", full);
    AmrEncoder enc;
    EXPECT_EQ(enc.Open(full), 0);  // not even the magic fits
    EXPECT_EQ(enc.FailureReason(), ErrorText(ENOSPC));

    // A file size limit of the magic and three 12.2 kbps frames (32 bytes each). The limit holds
    // for the whole process, so the writing happens in a child.
    const auto pcm = Tone(440, 8000, 1.0);
    const size_t limit = 6 + 3 * 32;
    const std::string cut = dir.file("cut.amr"), padded = dir.file("padded.amr");
    const int blocks = testutil::RunWithFileSizeLimit(limit, [&] {
        AmrEncoder e;
        e.SetNarrowBandMode(7);
        if (!e.Open(cut)) return 10;
        int ok = 0;
        while (ok < 10 && e.EncodeBlock(pcm.data() + 160 * ok, 160)) ++ok;
        if (e.FailureReason() != ErrorText(EFBIG)) return 11;
        if (e.EncodeBlock(pcm.data(), 160) != 0) return 12;  // stays failed
        if (e.Close() != 0 || e.FailureReason() != ErrorText(EFBIG)) return 13;
        return ok;
    });
    EXPECT_EQ(blocks, 3);
    // The whole frames fit; only the padded last one does not, and Close says so.
    const int closed = testutil::RunWithFileSizeLimit(limit, [&] {
        AmrEncoder e;
        e.SetNarrowBandMode(7);
        if (!e.Open(padded) || !e.EncodeBlock(pcm.data(), 3 * 160 + 10)) return 10;
        return e.Close() == 0 && e.FailureReason() == ErrorText(EFBIG) ? 0 : 11;
    });
    EXPECT_EQ(closed, 0);
    EXPECT_EQ(ReadAmr(padded, true).types.size(), 3u);
    // Wide band fails the same way, inside a long block.
    const auto wide = Tone(440, 16000, 1.0);
    const int wideFailed = testutil::RunWithFileSizeLimit(9 + 2 * 61, [&] {
        AmrEncoder e;
        e.SetBand(0);
        e.SetWideBandMode(8);
        if (!e.Open(dir.file("wide.awb"))) return 10;
        return e.EncodeBlock(wide.data(), 1152) == 0 && e.FailureReason() == ErrorText(EFBIG) ? 0 : 11;
    });
    EXPECT_EQ(wideFailed, 0);
}

TEST(AmrEncoder, EncodersAtTheSameTimeDoNotDisturbEachOther) {
    TempDir dir;
    const Config a{true, 5, 1}, b{false, 2, 0};
    auto pcmA = Tone(300, 8000, 1.0);
    pcmA.resize(pcmA.size() + 8000, 0);  // a silent second keeps the DTX state busy
    const auto pcmB = Tone(900, 16000, 2.0);
    ASSERT_TRUE(EncodeFile(a, dir.file("a.amr"), pcmA));
    ASSERT_TRUE(EncodeFile(b, dir.file("b.awb"), pcmB));
    const auto refA = ReadFileBytes(dir.file("a.amr")), refB = ReadFileBytes(dir.file("b.awb"));

    // Interleaved on one thread, block by block.
    AmrEncoder ea, eb;
    ea.SetBand(1);
    ea.SetDtx(1);
    ea.SetNarrowBandMode(5);
    eb.SetBand(0);
    eb.SetWideBandMode(2);
    ASSERT_EQ(ea.Open(dir.file("a2.amr")), 1);
    ASSERT_EQ(eb.Open(dir.file("b2.awb")), 1);
    for (size_t i = 0; i * 1152 < pcmB.size(); ++i) {
        if (i * 576 < pcmA.size()) {
            ASSERT_EQ(ea.EncodeBlock(pcmA.data() + i * 576, static_cast<uint32_t>(std::min<size_t>(576, pcmA.size() - i * 576))), 1);
        }
        ASSERT_EQ(eb.EncodeBlock(pcmB.data() + i * 1152, static_cast<uint32_t>(std::min<size_t>(1152, pcmB.size() - i * 1152))), 1);
    }
    ASSERT_EQ(ea.Close(), 1);
    ASSERT_EQ(eb.Close(), 1);
    EXPECT_EQ(ReadFileBytes(dir.file("a2.amr")), refA);
    EXPECT_EQ(ReadFileBytes(dir.file("b2.awb")), refB);

    // On two threads at once.
    bool okA = false, okB = false;
    std::thread ta([&] { okA = EncodeFile(a, dir.file("a3.amr"), pcmA, 333); });
    std::thread tb([&] { okB = EncodeFile(b, dir.file("b3.awb"), pcmB, 777); });
    ta.join();
    tb.join();
    ASSERT_TRUE(okA && okB);
    EXPECT_EQ(ReadFileBytes(dir.file("a3.amr")), refA);
    EXPECT_EQ(ReadFileBytes(dir.file("b3.awb")), refB);
}

}  // namespace
