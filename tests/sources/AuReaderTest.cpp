#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "sources/AuReader.h"
#include "sources/G72x.h"
#include "sources/SourceFactory.h"
#include "support/SourceTestUtil.h"
#include "support/TestUtil.h"

using sonavert::AuReader;
using sonavert::kBlockFrames;
using testutil::ByteBuilder;
using testutil::Quote;
using testutil::ReadSource;
using testutil::TempDir;

namespace {

// A Sun/NeXT header of 24 bytes (or `offset` bytes, padded) in the given byte order, then the data.
std::vector<uint8_t> Au(bool little, uint32_t encoding, uint32_t rate, uint32_t channels,
                        const std::vector<uint8_t>& data, uint32_t offset = 24, uint32_t size = 0xFFFFFFFE) {
    ByteBuilder b;
    b.little = little;
    b.tag(little ? "dns." : ".snd").u32(offset).u32(size == 0xFFFFFFFE ? static_cast<uint32_t>(data.size()) : size);
    b.u32(encoding).u32(rate).u32(channels);
    while (b.b.size() < offset) b.u8(0);
    return b.raw(data).b;
}

std::vector<uint8_t> Samples16(const std::vector<int16_t>& s, bool little) {
    ByteBuilder b;
    b.little = little;
    for (int16_t v : s) b.u16(static_cast<uint16_t>(v));
    return b.b;
}

std::string Write(const TempDir& dir, const std::string& name, const std::vector<uint8_t>& bytes) {
    return testutil::WriteTestFile(dir, name, bytes);
}

using testutil::FfmpegDecodeAs;

int16_t FloatRule(double x) { return static_cast<int16_t>(static_cast<int32_t>(x * 2147483647.0) >> 16); }

// A speech-like test signal: two tones and a little noise, -1..1.
std::vector<double> TestSignal(int rate, double seconds, double level = 0.5) {
    std::vector<double> x;
    uint32_t noise = 12345;
    for (int i = 0; i < static_cast<int>(rate * seconds); ++i) {
        noise = noise * 1664525u + 1013904223u;
        x.push_back(level * (0.8 * std::sin(2 * M_PI * 440 * i / rate) + 0.15 * std::sin(2 * M_PI * 1250 * i / rate)) +
                    0.05 * ((noise >> 8) / 16777216.0 - 0.5));
    }
    return x;
}

double SnrDb(const std::vector<double>& signal, const std::vector<int16_t>& decoded) {
    double s = 0, e = 0;
    for (size_t i = 0; i < std::min(signal.size(), decoded.size()); ++i) {
        const double ref = signal[i] * 32767.0;
        s += ref * ref;
        e += (decoded[i] - ref) * (decoded[i] - ref);
    }
    return 10 * std::log10(s / e);
}

// ---- encodings against independent decoders ----

TEST(AuReader, LinearFloatAndG711MatchFfmpeg) {
    TempDir dir;
    struct Case {
        const char* codec;
        uint32_t encoding;
        uint32_t bits;
    } cases[] = {
        {"pcm_mulaw", 1, 8},  {"pcm_s8", 2, 8},     {"pcm_s16be", 3, 16}, {"pcm_s24be", 4, 24},
        {"pcm_s32be", 5, 32}, {"pcm_f32be", 6, 32}, {"pcm_f64be", 7, 64}, {"pcm_alaw", 27, 8},
    };
    for (const Case& c : cases) {
        for (int ch : {1, 2}) {
            SCOPED_TRACE(std::string(c.codec) + " x" + std::to_string(ch));
            const std::string path = dir.file(std::string(c.codec) + std::to_string(ch) + ".au");
            const std::string exprs = ch == 1 ? "0.6*sin(440*2*PI*t)+0.3*random(0)"
                                              : "0.6*sin(440*2*PI*t)+0.3*random(0)|0.5*sin(660*2*PI*t)-0.2*random(1)";
            ASSERT_EQ(testutil::Run("ffmpeg -v error -nostdin -f lavfi -i " + Quote("aevalsrc=exprs='" + exprs + "':s=16000:d=2.5") +
                                    " -c:a " + c.codec + " -f au " + Quote(path) + " -y"),
                      0);
            AuReader r;
            ASSERT_EQ(r.Open(path, 0), 1);
            EXPECT_EQ(r.GetEncoding(), c.encoding);
            EXPECT_EQ(r.GetSampleRate(), 16000u);
            EXPECT_EQ(r.GetChannels(), static_cast<uint32_t>(ch));
            EXPECT_EQ(r.GetBitsPerSample(), 16u);
            EXPECT_EQ(r.GetDuration(), 2);
            const uint64_t dataBytes = 40000ull * ch * c.bits / 8;
            EXPECT_EQ(r.GetLength(), dataBytes);
            EXPECT_EQ(r.GetBitRate(), dataBytes / (2 * 125));
            const testutil::DecodedSource d = ReadSource(r);
            EXPECT_EQ(r.GetPosition(), r.GetLength());
            EXPECT_EQ(d.blockSizes.front(), kBlockFrames);
            const std::string codec = c.codec;
            if (codec == "pcm_s24be" || codec == "pcm_s32be") {
                const auto ref = FfmpegDecodeAs<int32_t>(path, "s32le");
                ASSERT_EQ(d.samples.size(), ref.size());
                for (size_t i = 0; i < ref.size(); ++i) ASSERT_EQ(d.samples[i], ref[i] >> 16) << i;
            } else if (codec == "pcm_f32be" || codec == "pcm_f64be") {
                const auto ref = FfmpegDecodeAs<double>(path, "f64le");
                ASSERT_EQ(d.samples.size(), ref.size());
                for (size_t i = 0; i < ref.size(); ++i) ASSERT_EQ(d.samples[i], FloatRule(ref[i])) << i;
            } else {
                const std::vector<int16_t> ref = testutil::FfmpegDecodeS16(path);
                ASSERT_EQ(d.samples.size(), ref.size());
                EXPECT_TRUE(d.samples == ref);
            }
        }
    }
    // sox writes a longer header (data offset 28 and more) with an annotation.
    const std::string soxFile = dir.file("sox.au");
    ASSERT_EQ(testutil::Run("sox -n -r 11025 -c 1 -e a-law " + Quote(soxFile) + " synth 0.7 sine 300"), 0);
    AuReader r;
    ASSERT_EQ(r.Open(soxFile, 0), 1);
    EXPECT_TRUE(ReadSource(r).samples == testutil::FfmpegDecodeS16(soxFile));
}

// The codes of an AU file's data area (after a 24-byte header), least significant bit first.
std::vector<unsigned> Codes(const std::vector<uint8_t>& file, int bits) {
    std::vector<unsigned> codes;
    uint32_t pending = 0;
    int count = 0;
    for (size_t i = 24; i < file.size(); ++i) {
        pending |= static_cast<uint32_t>(file[i]) << count;
        count += 8;
        while (count >= bits) {
            codes.push_back(pending & ((1u << bits) - 1));
            pending >>= bits;
            count -= bits;
        }
    }
    return codes;
}

TEST(AuReader, G721AndG723MatchSoxExactly) {
    TempDir dir;
    struct Case {
        const char* subtype;
        uint32_t encoding;
        int bits;
    } cases[] = {{"G721_32", 23, 4}, {"G723_24", 25, 3}, {"G723_40", 26, 5}};
    for (double level : {0.3, 0.6}) {
        const std::vector<double> x = TestSignal(8000, 3.0, level);
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.subtype) + " at " + std::to_string(level));
            const std::string path = dir.file(std::string(c.subtype) + ".au");
            ASSERT_TRUE(testutil::SndfileWrite(path, x, 8000, "AU", c.subtype));
            const std::vector<uint8_t> file = testutil::ReadFileBytes(path);
            AuReader r;
            ASSERT_EQ(r.Open(path, 0), 1);
            EXPECT_EQ(r.GetEncoding(), c.encoding);
            EXPECT_EQ(r.GetChannels(), 1u);
            EXPECT_EQ(r.GetDuration(), 3);
            const uint64_t n = file.size() - 24;
            EXPECT_EQ(r.GetLength(), n);
            EXPECT_EQ(r.GetBitRate(), n / (3 * 125));
            const testutil::DecodedSource d = ReadSource(r);
            // N bytes of codes give 8N / bits samples: a G.721 file of N bytes gives 2N.
            EXPECT_EQ(d.samples.size(), n * 8 / c.bits);
            if (c.bits == 4) {
                EXPECT_EQ(d.samples.size(), 2 * n);
            }

            // sox carries the classic public reference implementation: the same samples. Where a
            // loud passage overshoots the 16-bit range the reference's value wraps around in sox
            // (a full-scale click); the reader saturates it instead.
            const std::vector<int16_t> ref = testutil::SoxDecodeS16(path);
            ASSERT_EQ(d.samples.size(), ref.size());
            sonavert::G72xDecoder g(c.bits);
            const std::vector<unsigned> codes = Codes(file, c.bits);
            ASSERT_EQ(codes.size(), ref.size());
            size_t saturated = 0;
            for (size_t i = 0; i < ref.size(); ++i) {
                const int wide = g.DecodeUnclamped(codes[i]);
                ASSERT_EQ(static_cast<int16_t>(wide), ref[i]) << i;
                ASSERT_EQ(d.samples[i], std::clamp(wide, -32768, 32767)) << i;
                if (wide != ref[i]) ++saturated;
            }
            if (level < 0.5) {
                EXPECT_EQ(saturated, 0u);
                EXPECT_TRUE(d.samples == ref);
            }

            // libsndfile's modified copy decodes its own files closer to the original; how far it
            // lies from this decoder goes into the record.
            const std::vector<int16_t> sndfile = testutil::SndfileDecodeS16(path);
            ASSERT_EQ(sndfile.size(), d.samples.size());
            int worst = 0;
            double sum = 0;
            for (size_t i = 0; i < sndfile.size(); ++i) {
                const int diff = std::abs(sndfile[i] - d.samples[i]);
                worst = std::max(worst, diff);
                sum += static_cast<double>(diff) * diff;
            }
            const double rms = std::sqrt(sum / sndfile.size());
            const double snrOurs = SnrDb(x, d.samples), snrSndfile = SnrDb(x, sndfile);
            std::printf("%s, level %.1f: libsndfile's decode differs from this one by up to %d (RMS %.0f); SNR to the "
                        "signal %.1f dB here (sox %.1f dB), %.1f dB libsndfile; %zu samples saturated\n",
                        c.subtype, level, worst, rms, snrOurs, SnrDb(x, ref), snrSndfile, saturated);
            EXPECT_GT(snrOurs, 6.0);
        }
    }
}

TEST(AuReader, G721ToneKeepsItsFrequencyAndLevel) {
    TempDir dir;
    std::vector<double> tone;
    for (int i = 0; i < 8000 * 2; ++i) tone.push_back(0.5 * std::sin(2 * M_PI * 1000 * i / 8000.0));
    const std::string path = dir.file("tone.au");
    ASSERT_TRUE(testutil::SndfileWrite(path, tone, 8000, "AU", "G721_32"));
    AuReader r;
    ASSERT_EQ(r.Open(path, 0), 1);
    std::vector<int16_t> s = ReadSource(r).samples;
    // libsndfile fills its last block of 120 codes.
    ASSERT_GE(s.size(), tone.size());
    ASSERT_LT(s.size(), tone.size() + 120);
    s.erase(s.begin(), s.begin() + 800);  // past the adaptation at the start
    EXPECT_NEAR(testutil::EstimateFrequency(s, 1, 0, 8000), 1000.0, 2.0);
    const double levelDb = 20 * std::log10(testutil::RmsLevel(s, 1, 0));
    const double expectedDb = 20 * std::log10(0.5 / std::sqrt(2.0));
    EXPECT_NEAR(levelDb, expectedDb, 1.0);
}

TEST(AuReader, G72xDecoderStartsFromTheRecommendationsInitialState) {
    // Silence codes (the lowest magnitude, positive) decode to near silence from the start, and
    // Reset makes a decoder repeat itself.
    for (int bits : {3, 4, 5}) {
        sonavert::G72xDecoder d(bits);
        EXPECT_EQ(d.CodeBits(), bits);
        std::vector<int16_t> first, second;
        const unsigned codes[] = {0, 1, 2, 7, 15, 31, 3, 9, 0, 0, 4, 12};
        for (unsigned c : codes) first.push_back(d.Decode(c));
        d.Reset(bits);
        for (unsigned c : codes) second.push_back(d.Decode(c));
        EXPECT_EQ(first, second);
        sonavert::G72xDecoder quiet(bits);
        for (int i = 0; i < 100; ++i) EXPECT_LE(std::abs(quiet.Decode(0)), 64);
    }
    // A stream of hostile codes stays within 16 bits and never faults.
    sonavert::G72xDecoder d(5);
    uint32_t v = 1;
    for (int i = 0; i < 200000; ++i) {
        v = v * 1103515245u + 12345u;
        d.Decode((i & 64) ? 15 : (v >> 16));
    }
}

// ---- the header ----

TEST(AuReader, ByteOrderFollowsTheMagic) {
    TempDir dir;
    const std::vector<int16_t> s = {1, -2, 0x1234, -0x1234, 32767, -32768};
    const std::string le = Write(dir, "le.au", Au(true, 3, 8000, 1, Samples16(s, true)));
    const std::string be = Write(dir, "be.snd", Au(false, 3, 8000, 1, Samples16(s, false)));
    // The little-endian data is stored as the host holds it; the big-endian data is swapped.
    ASSERT_EQ(testutil::ReadFileBytes(le)[0], 'd');
    for (const std::string& p : {le, be}) {
        AuReader r;
        ASSERT_EQ(r.Open(p, 0), 1) << p;
        EXPECT_EQ(ReadSource(r).samples, s) << p;
    }
    // The other two magics.
    std::vector<uint8_t> alt = Au(false, 3, 8000, 1, Samples16(s, false));
    std::memcpy(alt.data(), "\x2E\x73\x64\x00", 4);
    std::vector<uint8_t> altLe = Au(true, 3, 8000, 1, Samples16(s, true));
    std::memcpy(altLe.data(), "\x00\x64\x73\x2E", 4);
    for (const auto& bytes : {alt, altLe}) {
        AuReader r;
        ASSERT_EQ(r.Open(Write(dir, "alt.au", bytes), 0), 1);
        EXPECT_EQ(ReadSource(r).samples, s);
    }
    // Wider samples and floats in the little-endian order.
    ByteBuilder w;
    w.little = true;
    w.u8(0x56).u8(0x34).u8(0x12).u32(0x89ABCDEF);
    AuReader r24;
    ASSERT_EQ(r24.Open(Write(dir, "24.au", Au(true, 4, 8000, 1, std::vector<uint8_t>(w.b.begin(), w.b.begin() + 3))), 0), 1);
    EXPECT_EQ(ReadSource(r24).samples, std::vector<int16_t>{0x1234});
    AuReader r32;
    ASSERT_EQ(r32.Open(Write(dir, "32.au", Au(true, 5, 8000, 1, std::vector<uint8_t>(w.b.begin() + 3, w.b.end()))), 0), 1);
    EXPECT_EQ(ReadSource(r32).samples, std::vector<int16_t>{static_cast<int16_t>(0x89AB)});
    ByteBuilder f;
    f.little = true;
    for (float v : {0.5f, 3.0f, -3.0f, NAN}) {
        uint32_t bits;
        std::memcpy(&bits, &v, 4);
        f.u32(bits);
    }
    AuReader rf;
    ASSERT_EQ(rf.Open(Write(dir, "f.au", Au(true, 6, 8000, 1, f.b)), 0), 1);
    // Floats beyond full scale saturate.
    EXPECT_EQ(ReadSource(rf).samples, (std::vector<int16_t>{16383, 32767, -32768, 0}));
    ByteBuilder d;
    for (double v : {-0.25, 1e300}) {
        uint64_t bits;
        std::memcpy(&bits, &v, 8);
        d.u32(static_cast<uint32_t>(bits >> 32)).u32(static_cast<uint32_t>(bits));
    }
    AuReader rd;
    ASSERT_EQ(rd.Open(Write(dir, "d.au", Au(false, 7, 8000, 1, d.b)), 0), 1);
    EXPECT_EQ(ReadSource(rd).samples, (std::vector<int16_t>{-8192, 32767}));
    // Signed 8-bit samples are scaled by 256.
    AuReader r8;
    ASSERT_EQ(r8.Open(Write(dir, "8.au", Au(false, 2, 8000, 1, {0x7F, 0x80, 0x01})), 0), 1);
    EXPECT_EQ(ReadSource(r8).samples, (std::vector<int16_t>{32512, -32768, 256}));
}

TEST(AuReader, RatesChannelsAndDataSize) {
    TempDir dir;
    std::vector<int16_t> four;  // 4 channels: channel c of frame i is 1000 c + i
    for (int i = 0; i < 3000; ++i)
        for (int c = 0; c < 4; ++c) four.push_back(static_cast<int16_t>(1000 * c + i % 1000));
    const std::vector<uint8_t> fourData = Samples16(four, false);

    // A rate of 0 plays at 8000 Hz; rates below 1000 or above 768000 too; high rates are kept.
    for (auto [stored, used] : {std::pair<uint32_t, uint32_t>{0, 8000}, {999, 8000}, {1000, 1000}, {44100, 44100},
                                {176400, 176400}, {192000, 192000}, {768000, 768000}, {768001, 8000}}) {
        SCOPED_TRACE(stored);
        AuReader r;
        ASSERT_EQ(r.Open(Write(dir, "rate.au", Au(false, 3, stored, 1, Samples16({1, 2}, false))), 0), 1);
        EXPECT_EQ(r.GetSampleRate(), used);
    }

    // Four channels: the first channel as mono; duration and bit rate count all four.
    AuReader r4;
    ASSERT_EQ(r4.Open(Write(dir, "four.au", Au(false, 3, 1000, 4, fourData)), 0), 1);
    EXPECT_EQ(r4.GetChannels(), 1u);
    EXPECT_EQ(r4.GetStoredChannels(), 4u);
    EXPECT_EQ(r4.GetDuration(), 3);
    EXPECT_EQ(r4.GetBitRate(), fourData.size() / (3 * 125));
    const testutil::DecodedSource d4 = ReadSource(r4);
    ASSERT_EQ(d4.samples.size(), 3000u);
    for (int i = 0; i < 3000; ++i) ASSERT_EQ(d4.samples[i], i % 1000) << i;
    EXPECT_EQ(d4.blockSizes.front(), kBlockFrames);

    // The same for G.721 codes: every code goes through the decoder, the first channel is kept.
    std::vector<uint8_t> codes(4000);
    for (size_t i = 0; i < codes.size(); ++i) codes[i] = static_cast<uint8_t>(i * 37 + (i >> 3));
    AuReader r4g;
    ASSERT_EQ(r4g.Open(Write(dir, "four721.au", Au(false, 23, 8000, 4, codes)), 0), 1);
    AuReader r1g;
    ASSERT_EQ(r1g.Open(Write(dir, "one721.au", Au(false, 23, 8000, 1, codes)), 0), 1);
    const std::vector<int16_t> all = ReadSource(r1g).samples;
    ASSERT_EQ(all.size(), 8000u);
    const std::vector<int16_t> first = ReadSource(r4g).samples;
    ASSERT_EQ(first.size(), 2000u);
    for (size_t i = 0; i < first.size(); ++i) ASSERT_EQ(first[i], all[4 * i]) << i;

    // No channel count is mono; too many channels are refused.
    AuReader r0;
    ASSERT_EQ(r0.Open(Write(dir, "zero.au", Au(false, 3, 8000, 0, Samples16({5, 6}, false))), 0), 1);
    EXPECT_EQ(r0.GetChannels(), 1u);
    EXPECT_EQ(ReadSource(r0).samples, (std::vector<int16_t>{5, 6}));
    AuReader r256;
    EXPECT_EQ(r256.Open(Write(dir, "256.au", Au(false, 7, 8000, 256, std::vector<uint8_t>(256 * 8 * 3, 0))), 0), 1);
    EXPECT_EQ(ReadSource(r256).samples.size(), 3u);
    AuReader r257;
    EXPECT_EQ(r257.Open(Write(dir, "257.au", Au(false, 3, 8000, 257, fourData)), 0), 0);

    // A data size with all bits set runs to the end of the file; a smaller one stops early.
    AuReader rAll;
    ASSERT_EQ(rAll.Open(Write(dir, "all.au", Au(false, 3, 1000, 4, fourData, 40, 0xFFFFFFFF)), 0), 1);
    EXPECT_EQ(rAll.GetLength(), fourData.size());
    EXPECT_EQ(ReadSource(rAll).samples.size(), 3000u);
    EXPECT_EQ(rAll.GetPosition(), fourData.size());
    AuReader rPart;
    ASSERT_EQ(rPart.Open(Write(dir, "part.au", Au(false, 3, 1000, 1, fourData, 24, 100)), 0), 1);
    EXPECT_EQ(ReadSource(rPart).samples.size(), 50u);
    // A size beyond the file gives what the file holds.
    AuReader rLong;
    ASSERT_EQ(rLong.Open(Write(dir, "long.au", Au(false, 3, 1000, 1, {0, 1, 0, 2, 0}, 24, 1000000)), 0), 1);
    EXPECT_EQ(ReadSource(rLong).samples, (std::vector<int16_t>{1, 2}));
}

// The same file with another data offset field (big-endian).
std::vector<uint8_t> WithOffset(std::vector<uint8_t> file, uint32_t offset) {
    for (int i = 0; i < 4; ++i) file[4 + i] = static_cast<uint8_t>(offset >> (24 - 8 * i));
    return file;
}

TEST(AuReader, HeaderScanAndRefusedHeaders) {
    TempDir dir;
    // An encoding field of 28 or more: the first small value from byte 13 on is the encoding, the
    // rate and the channels follow it.
    ByteBuilder scan;
    scan.tag(".snd").u32(40).u32(4).u32(0xFFFFFFFF).u32(3).u32(22050).u32(2).u32(0).u32(0).u32(0);
    scan.raw(Samples16({7, -7}, false));
    AuReader rs;
    ASSERT_EQ(rs.Open(Write(dir, "scan.au", scan.b), 0), 1);
    EXPECT_EQ(rs.GetEncoding(), 3u);
    EXPECT_EQ(rs.GetSampleRate(), 22050u);
    EXPECT_EQ(rs.GetChannels(), 2u);
    EXPECT_EQ(ReadSource(rs).samples, (std::vector<int16_t>{7, -7}));

    // The scan reads only the bytes the file has: a short header with a late small value fails.
    ByteBuilder shortScan;
    shortScan.tag(".snd").u32(24).u32(0).u32(0xFFFFFFFF).u32(0xFFFFFFFF).u32(0xFFFF0000).u8(0).u8(1);
    ByteBuilder noSmall;
    noSmall.tag(".snd").u32(60);
    for (int i = 0; i < 14; ++i) noSmall.u32(0xFFFFFFFF);

    struct Case {
        const char* name;
        std::vector<uint8_t> file;
    } cases[] = {
        {"shorter than 24 bytes", std::vector<uint8_t>{'.', 's', 'n', 'd', 0, 0, 0, 24, 0, 0}},
        {"bad magic", [] { auto b = Au(false, 3, 8000, 1, {0, 0}); b[0] = 'X'; return b; }()},
        {"data offset 23", Au(false, 3, 8000, 1, {0, 0}, 23)},
        {"data offset past the end", WithOffset(Au(false, 3, 8000, 1, {0, 0}), 200)},
        {"data offset past the end, size all bits", WithOffset(Au(false, 3, 8000, 1, {0, 0}, 24, 0xFFFFFFFF), 27)},
        {"unknown encoding", Au(false, 8, 8000, 1, {0, 0})},
        {"G.722", Au(false, 24, 8000, 1, {0, 0})},
        {"scan past the bytes read", shortScan.b},
        {"scan without a small value", noSmall.b},
    };
    for (const Case& c : cases) {
        AuReader r;
        EXPECT_EQ(r.Open(Write(dir, "bad.au", c.file), 0), 0) << c.name;
        EXPECT_EQ(r.GetSampleRate(), 0u) << c.name;
        int16_t plane[kBlockFrames];
        EXPECT_EQ(r.Read(plane, plane), 0u) << c.name;
    }
    AuReader r;
    EXPECT_EQ(r.Open(dir.file("missing.au"), 0), 0);
    // A data offset at the very end gives an empty stream.
    ASSERT_EQ(r.Open(Write(dir, "empty.au", Au(false, 3, 8000, 1, {}, 24, 0xFFFFFFFF)), 0), 1);
    EXPECT_EQ(r.GetLength(), 0u);
    EXPECT_TRUE(ReadSource(r).samples.empty());
}

TEST(AuReader, IsTheFirstCandidateAndFailsOverToFfmpeg) {
    TempDir dir;
    const std::string mulaw = Write(dir, "a.au", Au(false, 1, 8000, 1, std::vector<uint8_t>(8000, 0x80)));
    auto s = sonavert::CreateSource(mulaw, sonavert::kSourceAu, 0, sonavert::kPurposeConvert);
    ASSERT_TRUE(s);
    EXPECT_NE(dynamic_cast<AuReader*>(s.get()), nullptr);
    // G.722 in AU is not the reader's: ffmpeg decodes it.
    const std::string g722 = dir.file("g722.au");
    ASSERT_EQ(testutil::Run("ffmpeg -v error -nostdin -f lavfi -i sine=r=16000:d=0.5 -c:a g722 -f au " + Quote(g722) + " -y"), 0);
    s = sonavert::CreateSource(g722, sonavert::kSourceAu, 0, sonavert::kPurposeConvert);
    ASSERT_TRUE(s);
    EXPECT_EQ(dynamic_cast<AuReader*>(s.get()), nullptr);
    sonavert::SourceFactoryContext only;
    only.onlyDecoder = "au";
    EXPECT_FALSE(sonavert::CreateSource(g722, sonavert::kSourceAu, 0, sonavert::kPurposeConvert, &only));
}

}  // namespace
