#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "encoders/WavWriter.h"
#include "support/TestUtil.h"

using sonavert::WavWriter;
using testutil::ReadFileBytes;
using testutil::TempDir;

namespace {

uint32_t Le32(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}
uint16_t Le16(const std::vector<uint8_t>& b, size_t at) { return static_cast<uint16_t>(b[at] | b[at + 1] << 8); }

// The whole 44-byte header, compared byte by byte.
void ExpectHeader(const std::vector<uint8_t>& b, uint16_t channels, uint32_t rate, uint32_t avgBytes,
                  uint16_t align, uint16_t bits, uint32_t dataBytes) {
    ASSERT_GE(b.size(), 44u);
    const std::string text(b.begin(), b.begin() + 44);
    EXPECT_EQ(text.substr(0, 4), "RIFF");
    EXPECT_EQ(Le32(b, 4), dataBytes + 36);
    EXPECT_EQ(text.substr(8, 8), "WAVEfmt ");
    EXPECT_EQ(Le32(b, 16), 16u);
    EXPECT_EQ(Le16(b, 20), 1u);
    EXPECT_EQ(Le16(b, 22), channels);
    EXPECT_EQ(Le32(b, 24), rate);
    EXPECT_EQ(Le32(b, 28), avgBytes);
    EXPECT_EQ(Le16(b, 32), align);
    EXPECT_EQ(Le16(b, 34), bits);
    EXPECT_EQ(text.substr(36, 4), "data");
    EXPECT_EQ(Le32(b, 40), dataBytes);
    EXPECT_EQ(b.size(), 44u + dataBytes);
}

TEST(WavWriter, EmptyFilesHaveCompleteHeaders) {
    TempDir dir;
    {
        WavWriter w;
        ASSERT_EQ(w.Open(dir.file("m16.wav"), 0, 16, 44100), 1);
        EXPECT_EQ(w.Close(), 1);
    }
    const std::vector<uint8_t> mono16 = {
        'R', 'I', 'F', 'F', 36, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ', 16, 0, 0, 0, 1, 0, 1, 0,
        0x44, 0xAC, 0, 0, 0x88, 0x58, 0x01, 0, 2, 0, 16, 0, 'd', 'a', 't', 'a', 0, 0, 0, 0};
    EXPECT_EQ(ReadFileBytes(dir.file("m16.wav")), mono16);

    {
        WavWriter w;
        ASSERT_EQ(w.Open(dir.file("s8.wav"), 1, 8, 22050), 1);
    }  // the destructor closes
    const std::vector<uint8_t> stereo8 = {
        'R', 'I', 'F', 'F', 36, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ', 16, 0, 0, 0, 1, 0, 2, 0,
        0x22, 0x56, 0, 0, 0x44, 0xAC, 0, 0, 2, 0, 8, 0, 'd', 'a', 't', 'a', 0, 0, 0, 0};
    EXPECT_EQ(ReadFileBytes(dir.file("s8.wav")), stereo8);

    // Until Close, both size fields hold the placeholder 4.
    WavWriter w;
    ASSERT_EQ(w.Open(dir.file("p.wav"), 1, 16, 8000), 1);
    std::vector<int16_t> l(10, 1), r(10, 2);
    ASSERT_EQ(w.WriteSamples16(l.data(), r.data(), 10), 1);
    const auto open = ReadFileBytes(dir.file("p.wav"));
    ASSERT_EQ(open.size(), 84u);
    EXPECT_EQ(Le32(open, 4), 4u);
    EXPECT_EQ(Le32(open, 40), 4u);
}

TEST(WavWriter, SizesGrowWithEveryBlockAndPlanesInterleave) {
    TempDir dir;
    struct Case { int stereo; uint32_t bits; uint32_t bytesPerFrame; };
    for (const Case c : {Case{1, 16, 4}, Case{0, 16, 2}, Case{1, 8, 2}, Case{0, 8, 1}}) {
        SCOPED_TRACE(std::to_string(c.stereo) + "/" + std::to_string(c.bits));
        const std::string path = dir.file("g.wav");
        std::vector<int16_t> l16(1152), r16(1152);
        std::vector<uint8_t> l8(1152), r8(1152);
        for (int i = 0; i < 1152; ++i) {
            l16[i] = static_cast<int16_t>(i * 7 - 4000);
            r16[i] = static_cast<int16_t>(-i * 13 + 300);
            l8[i] = static_cast<uint8_t>(i);
            r8[i] = static_cast<uint8_t>(255 - i / 5);
        }
        WavWriter w;
        ASSERT_EQ(w.Open(path, c.stereo, c.bits, 48000), 1);
        // Three full blocks and an odd short one.
        const uint32_t counts[] = {1152, 1152, 1152, 77};
        uint32_t frames = 0;
        for (uint32_t n : counts) {
            ASSERT_EQ(c.bits == 16 ? w.WriteSamples16(l16.data(), r16.data(), n)
                                   : w.WriteSamples8(l8.data(), r8.data(), n), 1);
            frames += n;
        }
        ASSERT_EQ(w.Close(), 1);
        const auto b = ReadFileBytes(path);
        const uint16_t channels = c.stereo ? 2 : 1;
        ExpectHeader(b, channels, 48000, 48000 * c.bytesPerFrame, static_cast<uint16_t>(c.bytesPerFrame),
                     static_cast<uint16_t>(c.bits), frames * c.bytesPerFrame);
        // Frame f of the file came from sample f % 1152 of the blocks (the last block restarts at 0).
        for (uint32_t f = 0; f < frames; ++f) {
            const uint32_t i = f < 3456 ? f % 1152 : f - 3456;
            const size_t at = 44 + static_cast<size_t>(f) * c.bytesPerFrame;
            if (c.bits == 16) {
                ASSERT_EQ(static_cast<int16_t>(Le16(b, at)), l16[i]) << f;
                if (c.stereo) {
                    ASSERT_EQ(static_cast<int16_t>(Le16(b, at + 2)), r16[i]) << f;
                }
            } else {
                ASSERT_EQ(b[at], l8[i]) << f;
                if (c.stereo) {
                    ASSERT_EQ(b[at + 1], r8[i]) << f;
                }
            }
        }
    }
}

TEST(WavWriter, OtherToolsReadTheFileBack) {
    TempDir dir;
    const auto tone = testutil::Sine(1000, 44100, 2, 0.5);
    std::vector<int16_t> l, r;
    for (size_t i = 0; i < tone.size(); i += 2) {
        l.push_back(tone[i]);
        r.push_back(static_cast<int16_t>(-tone[i + 1] / 3));
    }
    const std::string path = dir.file("tone.wav");
    {
        WavWriter w;
        ASSERT_EQ(w.Open(path, 1, 16, 44100), 1);
        for (size_t at = 0; at < l.size(); at += 1152) {
            const uint32_t n = static_cast<uint32_t>(std::min<size_t>(1152, l.size() - at));
            ASSERT_EQ(w.WriteSamples16(l.data() + at, r.data() + at, n), 1);
        }
    }
    const auto back = testutil::FfmpegDecodeS16(path);
    ASSERT_EQ(back.size(), l.size() * 2);
    for (size_t i = 0; i < l.size(); ++i) {
        ASSERT_EQ(back[2 * i], l[i]) << i;
        ASSERT_EQ(back[2 * i + 1], r[i]) << i;
    }

    // Mono 8-bit with an odd sample count, read back with sox.
    const std::string path8 = dir.file("mono8.wav");
    std::vector<uint8_t> ramp(1001);
    for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<uint8_t>(i * 3);
    {
        WavWriter w;
        ASSERT_EQ(w.Open(path8, 0, 8, 11025), 1);
        ASSERT_EQ(w.WriteSamples8(ramp.data(), nullptr, 1001), 1);
    }
    std::string info;
    ASSERT_EQ(testutil::Run("soxi -r " + testutil::Quote(path8), &info), 0);
    EXPECT_EQ(info, "11025\n");
    std::string raw;
    ASSERT_EQ(testutil::Run("sox " + testutil::Quote(path8) + " -t raw -e unsigned-integer -b 8 -", &raw), 0);
    EXPECT_EQ(std::vector<uint8_t>(raw.begin(), raw.end()), ramp);
}

TEST(WavWriter, CloseIsIdempotentAndOpenValidatesItsArguments) {
    TempDir dir;
    const std::string path = dir.file("c.wav");
    std::vector<int16_t> l(100, 5);
    {
        WavWriter w;
        EXPECT_EQ(w.WriteSamples16(l.data(), nullptr, 100), 0);  // nothing open
        EXPECT_EQ(w.Close(), 1);
        ASSERT_EQ(w.Open(path, 0, 16, 8000), 1);
        ASSERT_EQ(w.WriteSamples16(l.data(), nullptr, 100), 1);
        // The wrong width for this file is refused and writes nothing.
        std::vector<uint8_t> l8(100, 1);
        EXPECT_EQ(w.WriteSamples8(l8.data(), nullptr, 100), 0);
        ASSERT_EQ(w.Close(), 1);
        EXPECT_FALSE(w.IsOpen());
        // Something appended after Close must survive a second Close and the destructor untouched.
        std::vector<uint8_t> extra = ReadFileBytes(path);
        extra.insert(extra.end(), {9, 9, 9, 9});
        ASSERT_TRUE(testutil::WriteFileBytes(path, extra));
        EXPECT_EQ(w.Close(), 1);
    }
    const auto b = ReadFileBytes(path);
    ASSERT_EQ(b.size(), 248u);
    EXPECT_EQ(Le32(b, 4), 236u);  // as patched by the first Close
    EXPECT_EQ(Le32(b, 40), 200u);

    WavWriter w;
    EXPECT_EQ(w.Open(path, 0, 24, 8000), 0);
    EXPECT_EQ(w.Open(path, 0, 0, 8000), 0);
    EXPECT_EQ(w.Open(dir.file("no/such/folder/x.wav"), 1, 16, 8000), 0);
    EXPECT_FALSE(w.IsOpen());
    // Opening over an existing file starts it afresh; opening again closes the first file properly.
    ASSERT_EQ(w.Open(path, 1, 16, 8000), 1);
    ASSERT_EQ(w.WriteSamples16(l.data(), l.data(), 10), 1);
    ASSERT_EQ(w.Open(dir.file("second.wav"), 0, 8, 8000), 1);
    ExpectHeader(ReadFileBytes(path), 2, 8000, 32000, 4, 16, 40);
}

TEST(WavWriter, FullDeviceIsReportedAsFailure) {
    TempDir dir;
    // Not even the header fits on a full device.
    const std::string link = dir.file("full.wav");
    std::filesystem::create_symlink("/dev/full", link);
    WavWriter w;
    EXPECT_EQ(w.Open(link, 1, 16, 44100), 0);
    EXPECT_FALSE(w.IsOpen());

    // A file size limit that lets the header through and then cuts a block short. The limit applies
    // to the whole process, so the writing happens in a child.
    const std::string path = dir.file("limited.wav");
    constexpr rlim_t kLimit = 44 + 10000;
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        rlimit lim{kLimit, kLimit};
        if (setrlimit(RLIMIT_FSIZE, &lim) != 0) _exit(10);
        WavWriter cw;
        if (cw.Open(path, 1, 16, 44100) != 1) _exit(11);
        std::vector<int16_t> l(1152, 1000), r(1152, -1000);
        int ok = 0;
        while (ok < 10 && cw.WriteSamples16(l.data(), r.data(), 1152) == 1) ++ok;
        if (ok != 2) _exit(12);  // 2 × 4608 bytes fit, the third block does not
        if (cw.WriteSamples16(l.data(), r.data(), 1) != 0) _exit(13);  // stays failed
        cw.Close();
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
    // The header describes what really reached the disk.
    const auto b = ReadFileBytes(path);
    ASSERT_EQ(b.size(), kLimit);
    EXPECT_EQ(Le32(b, 4), kLimit - 8);
    EXPECT_EQ(Le32(b, 40), kLimit - 44);
}

TEST(WavWriter, SizeLimitStopsBeforeTheHeaderWraps) {
    // The largest data chunk whose RIFF size (data + 36) still fits in 32 bits.
    static_assert(WavWriter::kMaxDataBytes + 36 == 0xFFFFFFFFull);
    TempDir dir;
    const std::string path = dir.file("limit.wav");
    std::vector<int16_t> l(1152, 7), r(1152, -7);
    {
        WavWriter w(1000);
        ASSERT_EQ(w.Open(path, 1, 16, 8000), 1);
        EXPECT_EQ(w.WriteSamples16(l.data(), r.data(), 100), 1);  // 400
        EXPECT_EQ(w.WriteSamples16(l.data(), r.data(), 100), 1);  // 800
        EXPECT_EQ(w.WriteSamples16(l.data(), r.data(), 51), 0);   // 1004 would pass the limit
        EXPECT_EQ(w.WriteSamples16(l.data(), r.data(), 50), 1);   // exactly 1000
        EXPECT_EQ(w.WriteSamples16(l.data(), r.data(), 1), 0);
        EXPECT_EQ(w.WriteSamples16(l.data(), r.data(), 0), 1);    // nothing to write is no failure
    }
    ExpectHeader(ReadFileBytes(path), 2, 8000, 32000, 4, 16, 1000);
}

// Interleaved samples above 16 bits, beyond two channels or of floats get the extensible header
// (mask, valid bits, sub-format; a "fact" frame count for floats) and are quantised by rounding to
// the nearest step with clamping; mono and stereo 8/16-bit files keep the canonical header.
TEST(WavWriter, InterleavedFormatsAndQuantisation) {
    TempDir dir;
    const double step24 = 1.0 / 8388608.0;
    const std::vector<double> samples = {1.0, -1.0, 0.4 * step24, 0.6 * step24, -0.6 * step24, 2.0};
    {
        WavWriter w;
        ASSERT_EQ(w.OpenInterleaved(dir.file("i24.wav"), 3, 24, false, 96000, 0), 1);
        EXPECT_EQ(w.WriteSamples16(nullptr, nullptr, 0), 0);  // the planar writes are not for this file
        ASSERT_EQ(w.WriteInterleaved(samples.data(), 2), 1);
        ASSERT_EQ(w.Close(), 1);
    }
    auto b = ReadFileBytes(dir.file("i24.wav"));
    ASSERT_EQ(b.size(), 68u + 18u);
    EXPECT_EQ(Le32(b, 4), b.size() - 8);
    EXPECT_EQ(Le32(b, 16), 40u);
    EXPECT_EQ(Le16(b, 20), 0xFFFEu);
    EXPECT_EQ(Le16(b, 22), 3u);
    EXPECT_EQ(Le32(b, 28), 96000u * 9);
    EXPECT_EQ(Le16(b, 32), 9u);
    EXPECT_EQ(Le16(b, 34), 24u);
    EXPECT_EQ(Le16(b, 38), 24u);    // valid bits
    EXPECT_EQ(Le32(b, 40), 0x7u);   // the usual mask for three channels
    EXPECT_EQ(Le16(b, 44), 1u);     // PCM sub-format
    EXPECT_EQ(Le32(b, 64), 18u);    // data size
    auto s24 = [&](size_t k) {
        const size_t at = 68 + 3 * k;
        return static_cast<int32_t>((b[at] << 8) | (b[at + 1] << 16) | (static_cast<uint32_t>(b[at + 2]) << 24)) >> 8;
    };
    EXPECT_EQ(s24(0), 8388607);   // +1.0 clamps to the top step
    EXPECT_EQ(s24(1), -8388608);
    EXPECT_EQ(s24(2), 0);
    EXPECT_EQ(s24(3), 1);
    EXPECT_EQ(s24(4), -1);
    EXPECT_EQ(s24(5), 8388607);

    {
        WavWriter w;
        ASSERT_EQ(w.OpenInterleaved(dir.file("f32.wav"), 6, 32, true, 48000, 0x60F), 1);
        ASSERT_EQ(w.WriteInterleaved(samples.data(), 1), 1);
        ASSERT_EQ(w.Close(), 1);
    }
    b = ReadFileBytes(dir.file("f32.wav"));
    ASSERT_EQ(b.size(), 80u + 24u);
    EXPECT_EQ(Le32(b, 40), 0x60Fu);
    EXPECT_EQ(Le16(b, 44), 3u);  // IEEE float sub-format
    EXPECT_EQ(std::string(b.begin() + 60, b.begin() + 64), "fact");
    EXPECT_EQ(Le32(b, 68), 1u);  // frames
    EXPECT_EQ(Le32(b, 76), 24u);
    float first;
    std::memcpy(&first, &b[80 + 5 * 4], 4);
    EXPECT_EQ(first, 2.0f);  // floats are stored unclamped

    {
        WavWriter w;
        ASSERT_EQ(w.OpenInterleaved(dir.file("s16.wav"), 2, 16, false, 8000, 0), 1);
        ASSERT_EQ(w.WriteInterleaved(samples.data(), 3), 1);
    }
    ExpectHeader(ReadFileBytes(dir.file("s16.wav")), 2, 8000, 32000, 4, 16, 12);

    WavWriter w;
    EXPECT_EQ(w.OpenInterleaved(dir.file("x.wav"), 9, 16, false, 8000, 0), 0);
    EXPECT_EQ(w.OpenInterleaved(dir.file("x.wav"), 2, 20, false, 8000, 0), 0);
    EXPECT_EQ(w.OpenInterleaved(dir.file("x.wav"), 2, 24, true, 8000, 0), 0);
    EXPECT_FALSE(w.IsOpen());
}

}  // namespace
