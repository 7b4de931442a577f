#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "sources/AiffReader.h"
#include "sources/CodecHost.h"
#include "sources/SourceFactory.h"
#include "support/SourceTestUtil.h"
#include "support/TestUtil.h"
#include "tags/Id3Writer.h"

using sonavert::AiffReader;
using sonavert::kBlockFrames;
using testutil::ByteBuilder;
using testutil::Quote;
using testutil::ReadSource;
using testutil::TempDir;

namespace {

// ---- building files byte by byte ----

// A rate in the 80-bit IEEE 754 extended form of "COMM".
std::vector<uint8_t> Extended(double rate) {
    std::vector<uint8_t> out(10, 0);
    if (rate == 0) return out;
    int e = 0;
    std::frexp(rate, &e);  // rate = m * 2^e, 0.5 <= m < 1
    const int exponent = 16383 + e - 1;
    const uint64_t mantissa = static_cast<uint64_t>(std::ldexp(rate, 63 - (e - 1)));
    out[0] = static_cast<uint8_t>(exponent >> 8);
    out[1] = static_cast<uint8_t>(exponent);
    for (int i = 0; i < 8; ++i) out[2 + i] = static_cast<uint8_t>(mantissa >> (56 - 8 * i));
    return out;
}

// A "COMM" body; with a compression type it is the AIFF-C form (type and an empty name).
std::vector<uint8_t> Comm(uint16_t channels, uint32_t frames, uint16_t bits, double rate, const char* type = nullptr) {
    ByteBuilder c;
    c.u16(channels).u32(frames).u16(bits).raw(Extended(rate));
    if (type) c.tag(type).u8(0).u8(0);
    return c.b;
}

std::vector<uint8_t> Ssnd(const std::vector<uint8_t>& data, uint32_t offset = 0) {
    ByteBuilder s;
    s.u32(offset).u32(0);
    for (uint32_t i = 0; i < offset; ++i) s.u8(0xEE);
    return s.raw(data).b;
}

std::vector<uint8_t> Form(bool aifc, const ByteBuilder& chunks) {
    ByteBuilder f;
    f.tag("FORM").u32(static_cast<uint32_t>(chunks.b.size() + 4)).tag(aifc ? "AIFC" : "AIFF").raw(chunks.b);
    return f.b;
}

// An AIFF-C file of one "COMM" and one "SSND" chunk.
std::vector<uint8_t> Aifc(const std::vector<uint8_t>& comm, const std::vector<uint8_t>& data) {
    return Form(true, ByteBuilder().chunk("COMM", comm).chunk("SSND", Ssnd(data)));
}

std::string Write(const TempDir& dir, const std::string& name, const std::vector<uint8_t>& bytes) {
    return testutil::WriteTestFile(dir, name, bytes);
}

// ---- reference decodes ----

using testutil::FfmpegDecodeAs;

// A test signal with tones and noise on every channel, written by ffmpeg with `codec`.
std::string Generate(const TempDir& dir, const std::string& name, const std::string& codec, int channels, int rate,
                     double seconds = 1.5) {
    const std::string path = dir.file(name);
    const char* exprs[] = {"0.6*sin(440*2*PI*t)+0.3*random(0)", "0.5*sin(660*2*PI*t)-0.2*random(1)",
                           "0.3*sin(220*2*PI*t)", "0.2*random(2)", "0.7*sin(50*2*PI*t)", "0.4*sin(1000*2*PI*t)",
                           "0.1*sin(3000*2*PI*t)"};
    std::string e;
    for (int c = 0; c < channels; ++c) {
        if (c) e += '|';
        e += exprs[c % 7];
    }
    const int rc = testutil::Run("ffmpeg -v error -nostdin -f lavfi -i " +
                                 Quote("aevalsrc=exprs='" + e + "':s=" + std::to_string(rate) +
                                       ":d=" + std::to_string(seconds)) +
                                 " -c:a " + codec + " " + Quote(path) + " -y");
    EXPECT_EQ(rc, 0) << codec;
    return path;
}

int16_t FloatRule(double x) { return static_cast<int16_t>(static_cast<int32_t>(x * 2147483647.0) >> 16); }

uint64_t SsndDataOffset(const std::vector<uint8_t>& file) {
    for (size_t i = 12; i + 16 <= file.size(); ++i)
        if (std::memcmp(&file[i], "SSND", 4) == 0) {
            const uint32_t offset = (file[i + 8] << 24) | (file[i + 9] << 16) | (file[i + 10] << 8) | file[i + 11];
            return i + 16 + offset;
        }
    return 0;
}

// ---- every kind against an independent decoder ----

TEST(AiffReader, PcmFloatAndG711MatchFfmpeg) {
    TempDir dir;
    struct Case {
        const char* codec;
        const char* type;  // the compression type ffmpeg writes ("" for plain AIFF)
        uint32_t bits;     // delivered bits
    } cases[] = {
        {"pcm_s16be", "", 16}, {"pcm_s16le", "sowt", 16}, {"pcm_s24be", "", 16}, {"pcm_s32be", "", 16},
        {"pcm_f32be", "fl32", 16}, {"pcm_f64be", "fl64", 16}, {"pcm_alaw", "alaw", 16}, {"pcm_mulaw", "ulaw", 16},
        {"pcm_s8", "", 8}, {"pcm_u8", "raw ", 8},
    };
    for (const Case& c : cases) {
        for (int ch : {1, 2}) {
            SCOPED_TRACE(std::string(c.codec) + " x" + std::to_string(ch));
            const std::string path = Generate(dir, std::string(c.codec) + std::to_string(ch) + ".aiff", c.codec, ch, 22050);
            const auto bytes = testutil::ReadFileBytes(path);
            if (*c.type) {
                // ffmpeg writes the lower-case types, so these cover the case-blind comparison.
                ASSERT_EQ(std::memcmp(&bytes[8], "AIFC", 4), 0);
                EXPECT_NE(std::search(bytes.begin(), bytes.end(), c.type, c.type + 4), bytes.end());
            } else {
                ASSERT_EQ(std::memcmp(&bytes[8], "AIFF", 4), 0);
            }
            AiffReader r;
            ASSERT_EQ(r.Open(path, 0), 1);
            EXPECT_EQ(r.GetSampleRate(), 22050u);
            EXPECT_EQ(r.GetChannels(), static_cast<uint32_t>(ch));
            EXPECT_EQ(r.GetStoredChannels(), static_cast<uint32_t>(ch));
            EXPECT_EQ(r.GetBitsPerSample(), c.bits);
            EXPECT_EQ(r.GetDuration(), 1);
            EXPECT_EQ(r.GetFrames(), 33075u);
            EXPECT_EQ(r.GetLength(), bytes.size());
            EXPECT_EQ(r.GetBitRate(), bytes.size() / 125);
            const testutil::DecodedSource d = ReadSource(r);
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
            } else if (c.bits == 8) {
                const auto ref = FfmpegDecodeAs<uint8_t>(path, "u8");
                ASSERT_EQ(d.samples.size(), ref.size());
                for (size_t i = 0; i < ref.size(); ++i) ASSERT_EQ(d.samples[i], ref[i]) << i;
            } else {
                EXPECT_TRUE(d.samples == testutil::FfmpegDecodeS16(path));
            }
        }
    }
}

TEST(AiffReader, CompressionTypesInEitherCaseAndByteOrder) {
    TempDir dir;
    // Known 32-bit values, stored in each container and byte order.
    std::vector<int32_t> values;
    for (int i = 0; i < 3000; ++i)
        values.push_back(static_cast<int32_t>(std::lround(1.9e9 * std::sin(i * 0.05) + 7777 * (i % 13))));
    auto store = [&](int bytes, bool little) {
        std::vector<uint8_t> data;
        for (int32_t v : values) {
            uint8_t be[4] = {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8),
                             static_cast<uint8_t>(v)};
            for (int k = 0; k < bytes; ++k) data.push_back(little ? be[bytes - 1 - k] : be[k]);
        }
        return data;
    };
    std::vector<int16_t> upper;  // what every width keeps: the upper 16 bits
    for (int32_t v : values) upper.push_back(static_cast<int16_t>(v >> 16));

    struct Case {
        const char* type;
        uint16_t bits;
        int bytes;
        bool little;
        bool ffmpegKnows;  // ffmpeg's own table lists the type as written
    } cases[] = {
        {"NONE", 16, 2, false, true},  {"none", 16, 2, false, false}, {"twos", 16, 2, false, true},
        {"TWOS", 16, 2, false, false}, {"sowt", 16, 2, true, true},   {"SOWT", 16, 2, true, false},
        {"in24", 24, 3, false, true},  {"IN24", 24, 3, false, false}, {"in32", 32, 4, false, true},
        {"IN32", 32, 4, false, false}, {"23ni", 32, 4, true, false},  {"23NI", 32, 4, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        const std::string p = Write(dir, "t.aifc", Aifc(Comm(2, 1500, c.bits, 8000, c.type), store(c.bytes, c.little)));
        AiffReader r;
        ASSERT_EQ(r.Open(p, 0), 1);
        EXPECT_EQ(r.GetBitsPerSample(), 16u);
        const testutil::DecodedSource d = ReadSource(r);
        EXPECT_EQ(d.samples, upper);
        if (c.ffmpegKnows && c.bits == 16) {
            EXPECT_EQ(d.samples, testutil::FfmpegDecodeS16(p));
        }
    }

    // Lower-case float and IMA4 types.
    std::vector<uint8_t> floats;
    for (float v : {0.5f, -0.25f, 1.0f, -1.0f}) {
        uint32_t bits;
        std::memcpy(&bits, &v, 4);
        ByteBuilder b;
        floats = b.raw(floats).u32(bits).b;
    }
    const std::string fl = Write(dir, "fl.aifc", Aifc(Comm(1, 4, 32, 8000, "fl32"), floats));
    AiffReader rf;
    ASSERT_EQ(rf.Open(fl, 0), 1);
    EXPECT_EQ(ReadSource(rf).samples, (std::vector<int16_t>{16383, -8192, 32767, -32768}));
}

TEST(AiffReader, FloatSamplesBeyondFullScaleSaturate) {
    TempDir dir;
    ByteBuilder data;
    for (float v : {2.0f, -3.0f, NAN, INFINITY, -INFINITY, 0.0f}) {
        uint32_t bits;
        std::memcpy(&bits, &v, 4);
        data.u32(bits);
    }
    AiffReader r;
    ASSERT_EQ(r.Open(Write(dir, "f.aifc", Aifc(Comm(1, 6, 32, 8000, "FL32"), data.b)), 0), 1);
    EXPECT_EQ(ReadSource(r).samples, (std::vector<int16_t>{32767, -32768, 0, 32767, -32768, 0}));

    ByteBuilder data64;
    for (double v : {1e300, -1e300, 0.5}) {
        uint64_t bits;
        std::memcpy(&bits, &v, 8);
        data64.u32(static_cast<uint32_t>(bits >> 32)).u32(static_cast<uint32_t>(bits));
    }
    ASSERT_EQ(r.Open(Write(dir, "d.aifc", Aifc(Comm(1, 3, 64, 8000, "FL64"), data64.b)), 0), 1);
    EXPECT_EQ(ReadSource(r).samples, (std::vector<int16_t>{32767, -32768, 16383}));
}

TEST(AiffReader, Ima4MatchesLibsndfile) {
    TempDir dir;
    // libsndfile reloads the predictor from every packet header, as the reader does.
    const std::string path = Generate(dir, "ima.aiff", "adpcm_ima_qt", 2, 44100, 1.3);
    AiffReader r;
    ASSERT_EQ(r.Open(path, 0), 1);
    EXPECT_EQ(r.GetChannels(), 2u);
    EXPECT_EQ(r.GetBitsPerSample(), 16u);
    const uint64_t dataBytes = testutil::ReadFileBytes(path).size() - SsndDataOffset(testutil::ReadFileBytes(path));
    EXPECT_EQ(r.GetFrames(), dataBytes / 68 * 64);
    EXPECT_EQ(r.GetDuration(), 1);
    const testutil::DecodedSource d = ReadSource(r);
    EXPECT_EQ(d.blockSizes.front(), 64u);
    const std::vector<int16_t> ref = testutil::SndfileDecodeS16(path);
    ASSERT_GT(ref.size(), 100000u);
    ASSERT_EQ(d.samples.size(), ref.size());
    EXPECT_TRUE(d.samples == ref);
    EXPECT_EQ(r.GetPosition(), r.GetLength());
}

TEST(AiffReader, GsmMatchesFfmpeg) {
    TempDir dir;
    std::vector<double> x;
    for (int i = 0; i < 8000 * 2; ++i) x.push_back(0.5 * std::sin(2 * M_PI * 440 * i / 8000.0) + 0.1 * std::sin(i * 1.7));
    const std::string path = dir.file("gsm.aiff");
    ASSERT_TRUE(testutil::SndfileWrite(path, x, 8000, "AIFF", "GSM610"));
    AiffReader r;
    ASSERT_EQ(r.Open(path, 0), 1);
    EXPECT_EQ(r.GetSampleRate(), 8000u);
    EXPECT_EQ(r.GetChannels(), 1u);
    EXPECT_EQ(r.GetDuration(), 2);
    const auto bytes = testutil::ReadFileBytes(path);
    EXPECT_EQ(r.GetFrames(), (bytes.size() - SsndDataOffset(bytes)) * 160 / 33);
    const testutil::DecodedSource d = ReadSource(r);
    EXPECT_EQ(d.blockSizes.front(), 160u);
    const std::vector<int16_t> ref = testutil::FfmpegDecodeS16(path);
    ASSERT_EQ(d.samples.size(), ref.size());
    ASSERT_GE(ref.size(), 16000u);
    // libgsm and ffmpeg's own GSM decoder agree bit for bit.
    EXPECT_TRUE(d.samples == ref);
}

// ---- DWVW ----

// An encoder of DWVW (the rules of the format as libsndfile writes it), for the widths and channel
// counts libsndfile cannot write. All channels share one coder state, as libsndfile's do.
struct DwvwWriter {
    int n;
    int lastWidth = 0;
    int32_t last = 0;
    std::vector<bool> bits;
    explicit DwvwWriter(int width) : n(width) {}
    void Put(uint32_t v, int count) {
        for (int i = count - 1; i >= 0; --i) bits.push_back((v >> i) & 1);
    }
    void Add(int32_t sample) {
        const int32_t maxDelta = 1 << (n - 1), span = 1 << n;
        const int dwmMax = n / 2;
        int32_t delta = sample - last;
        int extra = -1;
        bool negative = false;
        if (delta < -maxDelta) {
            delta = maxDelta + (delta % maxDelta);
        } else if (delta == -maxDelta) {
            extra = 1;
            negative = true;
            delta = maxDelta - 1;
        } else if (delta > maxDelta) {
            negative = true;
            delta = std::abs(span - delta);
        } else if (delta == maxDelta) {
            extra = 1;
            delta = maxDelta - 1;
        } else if (delta < 0) {
            negative = true;
            delta = -delta;
        }
        if (delta == maxDelta - 1 && extra == -1) extra = 0;
        int width = 0;
        for (int32_t t = delta; t; t >>= 1) ++width;
        int dwm = (width - lastWidth) % n;
        if (dwm > dwmMax) dwm -= n;
        if (dwm < -dwmMax) dwm += n;
        Put(0, std::abs(dwm));
        if (std::abs(dwm) != dwmMax) Put(1, 1);
        if (dwm < 0) Put(1, 1);
        if (dwm > 0) Put(0, 1);
        if (width) {
            Put(static_cast<uint32_t>(delta), width - 1);
            Put(negative ? 1 : 0, 1);
        }
        if (extra >= 0) Put(static_cast<uint32_t>(extra), 1);
        last = sample;
        lastWidth = width;
    }
    // The bits in bytes, then 32 zero bits as libsndfile ends its stream.
    std::vector<uint8_t> Bytes() const {
        std::vector<uint8_t> out((bits.size() + 7) / 8 + 4, 0);
        for (size_t i = 0; i < bits.size(); ++i)
            if (bits[i]) out[i / 8] |= static_cast<uint8_t>(0x80 >> (i % 8));
        return out;
    }
};

TEST(AiffReader, DwvwMatchesLibsndfile) {
    TempDir dir;
    // 16 and 24 bits, mono, written by libsndfile.
    std::vector<int16_t> tone = testutil::Sine(440, 22050, 1, 1.2, 0.6);
    for (size_t i = 0; i < tone.size(); ++i) tone[i] = static_cast<int16_t>(tone[i] + static_cast<int>((i * 7919) % 2001) - 1000);
    const std::string wav = dir.file("tone.wav");
    ASSERT_TRUE(testutil::WriteWav16(wav, tone, 22050, 1));
    for (int width : {16, 24}) {
        SCOPED_TRACE(width);
        const std::string path = dir.file("dwvw" + std::to_string(width) + ".aiff");
        ASSERT_EQ(testutil::Run("sndfile-convert -dwvw" + std::to_string(width) + " " + Quote(wav) + " " + Quote(path)), 0);
        AiffReader r;
        ASSERT_EQ(r.Open(path, 0), 1);
        EXPECT_EQ(r.GetFrames(), tone.size());
        EXPECT_EQ(r.GetDuration(), 1);
        const testutil::DecodedSource d = ReadSource(r);
        const std::vector<int32_t> ref = testutil::SndfileConvertS32(path);
        ASSERT_EQ(d.samples.size(), ref.size());
        for (size_t i = 0; i < ref.size(); ++i) ASSERT_EQ(d.samples[i], ref[i] >> 16) << i;
        // DWVW is lossless: the 16-bit source comes back.
        EXPECT_EQ(d.samples, tone);
    }

    // 12 bits and stereo, written here; large jumps take the extra-bit and wrap paths. libsndfile
    // 1.2.0 neither writes nor reads the 12-bit kind ("unimplemented format"): those files are
    // checked against the signal they encode (DWVW is lossless), and libsndfile's decode is compared
    // at the other widths, which share its N-bit code with 12.
    struct Case {
        int width;
        int channels;
    } cases[] = {{12, 1}, {12, 2}, {16, 2}, {8, 1}, {11, 1}, {13, 2}, {20, 1}, {24, 2}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + " bits x" + std::to_string(c.channels));
        const int32_t maxValue = (1 << (c.width - 1)) - 1;
        std::vector<int32_t> samples;
        for (int i = 0; i < 5000; ++i)
            for (int ch = 0; ch < c.channels; ++ch) {
                double v = std::sin(i * (0.03 + 0.02 * ch)) * 0.7 + 0.05 * std::sin(i * 2.1);
                int32_t s = static_cast<int32_t>(std::lround(v * maxValue));
                if (i % 997 == 5) s = ch ? -maxValue - 1 : maxValue;  // full-scale jumps
                samples.push_back(s);
            }
        DwvwWriter w(c.width);
        for (int32_t s : samples) w.Add(s);
        const uint32_t frames = static_cast<uint32_t>(samples.size() / c.channels);
        const std::string path = Write(dir, "w.aiff", Aifc(Comm(c.channels, frames, c.width, 22050, "DWVW"), w.Bytes()));
        AiffReader r;
        ASSERT_EQ(r.Open(path, 0), 1);
        EXPECT_EQ(r.GetChannels(), static_cast<uint32_t>(c.channels));
        const testutil::DecodedSource d = ReadSource(r);
        ASSERT_EQ(d.samples.size(), samples.size());
        for (size_t i = 0; i < samples.size(); ++i)
            ASSERT_EQ(d.samples[i], static_cast<int16_t>((samples[i] << (32 - c.width)) >> 16)) << i;
        // libsndfile reads what it cannot write, except 12 bits.
        if (c.width != 12) {
            const std::vector<int32_t> ref = testutil::SndfileConvertS32(path);
            ASSERT_EQ(ref.size(), samples.size());
            for (size_t i = 0; i < ref.size(); ++i) ASSERT_EQ(d.samples[i], ref[i] >> 16) << i;
        }
    }
}

// ---- channels ----

// AIFF's channel orders: 3 L R C, 4 quad, 6 L LC C R RC S, each mixed down to stereo.
TEST(AiffReader, ChannelTableChoosesTheStereoDownmix) {
    TempDir dir;
    const double h = 0.70710678;
    const std::vector<double> left6 = {1, 1, h, 0, 0, h}, right6 = {0, 0, h, 1, 1, h};
    const struct Case {
        int stored;
        std::vector<double> left, right;
    } cases[] = {{3, {1, 0, h}, {0, 1, h}}, {4, {1, 0, h, 0}, {0, 1, 0, h}}, {6, left6, right6}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stored);
        const std::string path = Generate(dir, "m" + std::to_string(c.stored) + ".aiff", "pcm_s16be", c.stored, 48000, 0.5);
        AiffReader r;
        ASSERT_EQ(r.Open(path, 0), 1);
        EXPECT_EQ(r.GetStoredChannels(), static_cast<uint32_t>(c.stored));
        EXPECT_EQ(r.GetChannels(), 2u);
        const testutil::DecodedSource d = ReadSource(r);
        const std::vector<int16_t> ref =
            testutil::MixToStereo(FfmpegDecodeAs<int16_t>(path, "s16le"), c.stored, c.left, c.right);
        ASSERT_EQ(d.samples.size(), ref.size());
        for (size_t i = 0; i < ref.size(); ++i) ASSERT_NEAR(d.samples[i], ref[i], 1) << i;
    }
    // DWVW follows the same table.
    DwvwWriter w(16);
    std::vector<int16_t> six;
    for (int i = 0; i < 3000; ++i)
        for (int ch = 0; ch < 6; ++ch) {
            const int32_t s = static_cast<int32_t>(std::lround(1000 * (ch + 1) * std::sin(i * 0.01 * (ch + 1))));
            w.Add(s);
            six.push_back(static_cast<int16_t>(s));
        }
    AiffReader r;
    ASSERT_EQ(r.Open(Write(dir, "d6.aiff", Aifc(Comm(6, 3000, 16, 8000, "DWVW"), w.Bytes())), 0), 1);
    const std::vector<int16_t> got = ReadSource(r).samples, expected = testutil::MixToStereo(six, 6, left6, right6);
    ASSERT_EQ(got.size(), expected.size());
    for (size_t i = 0; i < got.size(); ++i) ASSERT_NEAR(got[i], expected[i], 1) << i;
}

TEST(AiffReader, FilesItRefusesStillConvertThroughTheFallback) {
    TempDir dir;
    sonavert::CodecHost host;
    ASSERT_EQ(host.Start(testutil::BinDir() + "/"), sonavert::CodecHost::StartResult::Ok);
    const std::string five = Generate(dir, "five.aiff", "pcm_s16be", 5, 44100, 0.5);
    const std::string monoIma = Generate(dir, "monoima.aiff", "adpcm_ima_qt", 1, 44100, 0.5);
    for (const std::string& p : {five, monoIma}) {
        SCOPED_TRACE(p);
        AiffReader r;
        EXPECT_EQ(r.Open(p, 0), 0);
        auto s = sonavert::CreateSource(p, sonavert::kSourceAiff, 0, sonavert::kPurposeConvert);
        ASSERT_TRUE(s);
        EXPECT_EQ(dynamic_cast<AiffReader*>(s.get()), nullptr);
        EXPECT_GT(ReadSource(*s).samples.size(), 20000u);
        // The reader alone refuses it.
        sonavert::SourceFactoryContext only;
        only.onlyDecoder = "aiff";
        EXPECT_FALSE(sonavert::CreateSource(p, sonavert::kSourceAiff, 0, sonavert::kPurposeConvert, &only));
    }
    // A file it reads comes from the reader first.
    auto s = sonavert::CreateSource(Generate(dir, "ok.aiff", "pcm_s16be", 2, 44100, 0.5), sonavert::kSourceAiff, 0,
                                    sonavert::kPurposeConvert);
    ASSERT_TRUE(s);
    EXPECT_NE(dynamic_cast<AiffReader*>(s.get()), nullptr);
}

// ---- "COMM" values and derived values ----

TEST(AiffReader, CommValuesAndDerivedValues) {
    TempDir dir;
    const std::vector<uint8_t> four = ByteBuilder().u16(1).u16(2).u16(3).u16(4).b;

    // A frame count of 0 is one frame: duration 0, the bit rate from size x channels x rate.
    AiffReader r;
    ASSERT_EQ(r.Open(Write(dir, "z.aiff", Form(false, ByteBuilder().chunk("COMM", Comm(2, 0, 16, 44100)).chunk("SSND", Ssnd(four)))), 0), 1);
    EXPECT_EQ(r.GetFrames(), 1u);
    EXPECT_EQ(r.GetDuration(), 0);
    EXPECT_EQ(r.GetBitRate(), 1411u);
    EXPECT_EQ(ReadSource(r).samples, (std::vector<int16_t>{1, 2, 3, 4}));

    // Rates in extended form: exact, and fractional (truncated).
    for (double rate : {44100.0, 22050.75, 8000.5, 11025.0, 96000.0, 1.5}) {
        SCOPED_TRACE(rate);
        ASSERT_EQ(r.Open(Write(dir, "r.aiff", Form(false, ByteBuilder().chunk("COMM", Comm(1, 4, 16, rate)).chunk("SSND", Ssnd(four)))), 0), 1);
        EXPECT_EQ(r.GetSampleRate(), static_cast<uint32_t>(rate));
    }
    // 44100 as commonly stored.
    const std::vector<uint8_t> stored44100 = {0x40, 0x0E, 0xAC, 0x44, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(Extended(44100), stored44100);

    // 12-bit samples use the 16-bit routine with 2 bytes each.
    const std::vector<uint8_t> twelve = ByteBuilder().u16(0x7FF0).u16(0x8010).u16(0x1230).b;
    ASSERT_EQ(r.Open(Write(dir, "12.aiff", Form(false, ByteBuilder().chunk("COMM", Comm(1, 3, 12, 8000)).chunk("SSND", Ssnd(twelve)))), 0), 1);
    EXPECT_EQ(r.GetBitsPerSample(), 16u);
    EXPECT_EQ(ReadSource(r).samples, (std::vector<int16_t>{0x7FF0, -0x7FF0, 0x1230}));

    // 24 and 32 bits keep their upper two bytes in either byte order.
    ASSERT_EQ(r.Open(Write(dir, "24.aifc", Aifc(Comm(1, 1, 24, 8000, "NONE"), {0x12, 0x34, 0x56})), 0), 1);
    EXPECT_EQ(ReadSource(r).samples, std::vector<int16_t>{0x1234});

    // Duration and bit rate of a 3-second file: the whole file's size over the duration.
    std::vector<uint8_t> data(8000 * 3 * 4, 0);
    const std::vector<uint8_t> file = Form(false, ByteBuilder().chunk("COMM", Comm(2, 24000, 16, 8000)).chunk("SSND", Ssnd(data)));
    ASSERT_EQ(r.Open(Write(dir, "3s.aiff", file), 0), 1);
    EXPECT_EQ(r.GetDuration(), 3);
    EXPECT_EQ(r.GetBitRate(), file.size() / (3 * 125));
}

// ---- the chunk walk ----

TEST(AiffReader, ChunkWalkReadsTagsAnywhereAndProgressStartsAtTheData) {
    TempDir dir;
    const std::vector<uint8_t> data = ByteBuilder().u16(100).u16(static_cast<uint16_t>(-200)).u16(300).b;
    sonavert::TagRecord tags;
    tags.title = "Title";
    tags.artist = "Artist";
    tags.album = "Album";
    tags.year = "2001";
    tags.genre = "Jazz";
    tags.comment = "Comment";
    tags.composer = "Composer";
    tags.copyright = "Copyright";
    const std::vector<uint8_t> id3 = sonavert::BuildId3Block(2, tags, 7);

    // Odd chunks with pad bytes, unknown chunks, an "SSND" offset, the "ID3 " chunk after "SSND".
    const std::vector<uint8_t> file =
        Form(false, ByteBuilder()
                        .chunk("NAME", {'a', 'b', 'c'})
                        .chunk("COMM", Comm(1, 3, 16, 8000))
                        .chunk("ANNO", {'x'})
                        .chunk("SSND", Ssnd(data, 5))
                        .chunk("ID3 ", id3));
    AiffReader r;
    ASSERT_EQ(r.Open(Write(dir, "walk.aiff", file), 0), 1);
    // Progress starts at the data offset, not at 0.
    const uint64_t start = 12 + 12 + 8 + 18 + 8 + 2 + 8 + 8 + 5;
    EXPECT_EQ(r.GetPosition(), start);
    EXPECT_EQ(r.GetLength(), file.size());
    sonavert::TagRecord out;
    out.title = "untouched";
    ASSERT_EQ(r.ReadTags(out), 1);
    EXPECT_EQ(out.title, "Title");
    EXPECT_EQ(out.artist, "Artist");
    EXPECT_EQ(out.album, "Album");
    EXPECT_EQ(out.year, "2001");
    EXPECT_EQ(out.genre, "Jazz");
    EXPECT_EQ(out.comment, "Comment");
    EXPECT_EQ(out.track, "7");
    EXPECT_EQ(out.composer, "Composer");
    EXPECT_EQ(out.copyright, "Copyright");
    EXPECT_EQ(ReadSource(r).samples, (std::vector<int16_t>{100, -200, 300}));
    // The pad byte after the odd-sized "SSND" chunk is not read as data.
    EXPECT_EQ(r.GetPosition(), start + data.size());

    // ffmpeg's own "ID3 " chunk, which it writes after "SSND".
    const std::string tagged = dir.file("tagged.aiff");
    ASSERT_EQ(testutil::Run("ffmpeg -v error -nostdin -f lavfi -i sine=d=0.3 -write_id3v2 1 -metadata title=Hello "
                            "-metadata artist='Some One' -metadata track=3 -c:a pcm_s16be " + Quote(tagged) + " -y"),
              0);
    const auto taggedBytes = testutil::ReadFileBytes(tagged);
    const auto id3At = std::search(taggedBytes.begin(), taggedBytes.end(), "ID3 ", "ID3 " + 4);
    const auto ssndAt = std::search(taggedBytes.begin(), taggedBytes.end(), "SSND", "SSND" + 4);
    ASSERT_LT(ssndAt, id3At);
    ASSERT_EQ(r.Open(tagged, 0), 1);
    sonavert::TagRecord t2;
    ASSERT_EQ(r.ReadTags(t2), 1);
    EXPECT_EQ(t2.title, "Hello");
    EXPECT_EQ(t2.artist, "Some One");
    EXPECT_EQ(t2.track, "3");
    EXPECT_EQ(r.GetPosition(), SsndDataOffset(taggedBytes));

    // Without tags ReadTags leaves the record alone.
    ASSERT_EQ(r.Open(Write(dir, "plain.aiff", Form(false, ByteBuilder().chunk("COMM", Comm(1, 3, 16, 8000)).chunk("SSND", Ssnd(data)))), 0), 1);
    sonavert::TagRecord none;
    none.title = "kept";
    EXPECT_EQ(r.ReadTags(none), 0);
    EXPECT_EQ(none.title, "kept");
}

TEST(AiffReader, RefusesBrokenAndUnsupportedFiles) {
    TempDir dir;
    const std::vector<uint8_t> data(64, 0);
    auto plain = [&](const std::vector<uint8_t>& comm) {
        return Form(false, ByteBuilder().chunk("COMM", comm).chunk("SSND", Ssnd(data)));
    };
    auto aifc = [&](const std::vector<uint8_t>& comm) { return Aifc(comm, data); };
    std::vector<uint8_t> notForm = plain(Comm(1, 32, 16, 8000));
    std::memcpy(&notForm[0], "RIFF", 4);
    std::vector<uint8_t> notAiff = plain(Comm(1, 32, 16, 8000));
    std::memcpy(&notAiff[8], "WAVE", 4);
    std::vector<uint8_t> infinite = Comm(1, 32, 16, 8000);
    infinite[8] = 0x7F;
    infinite[9] = 0xFF;
    std::vector<uint8_t> negative = Comm(1, 32, 16, 8000);
    negative[8] |= 0x80;
    std::vector<uint8_t> commPlus2 = Comm(1, 32, 16, 8000);
    commPlus2.push_back(0);
    commPlus2.push_back(0);

    // A "COMM" chunk that claims more than the work buffer holds.
    ByteBuilder hugeComm;
    hugeComm.tag("COMM").u32(9u << 20).raw(Comm(1, 32, 16, 8000));
    // An "SSND" offset beyond its chunk; a data area that starts past the end of the file.
    ByteBuilder badOffset;
    badOffset.chunk("COMM", Comm(1, 32, 16, 8000)).tag("SSND").u32(16).u32(9).u32(0).raw(std::vector<uint8_t>(8, 0));
    ByteBuilder pastEnd;
    pastEnd.chunk("COMM", Comm(1, 32, 16, 8000)).tag("SSND").u32(100000).u32(90000).u32(0).raw(data);
    ByteBuilder shortSsnd;
    shortSsnd.chunk("COMM", Comm(1, 32, 16, 8000)).tag("SSND").u32(6).raw(std::vector<uint8_t>(6, 0));

    struct Case {
        const char* name;
        std::vector<uint8_t> file;
    } cases[] = {
        {"not FORM", notForm},
        {"not AIFF", notAiff},
        {"cut short", std::vector<uint8_t>(notAiff.begin(), notAiff.begin() + 10)},
        {"plain COMM of 20 bytes", plain(commPlus2)},
        {"AIFF-C COMM of 18 bytes", Form(true, ByteBuilder().chunk("COMM", Comm(1, 32, 16, 8000)).chunk("SSND", Ssnd(data)))},
        {"no SSND", Form(false, ByteBuilder().chunk("COMM", Comm(1, 32, 16, 8000)))},
        {"no COMM", Form(false, ByteBuilder().chunk("SSND", Ssnd(data)))},
        {"SSND under 8 bytes", Form(false, shortSsnd)},
        {"COMM beyond the work buffer", Form(false, hugeComm)},
        {"SSND offset beyond its chunk", Form(false, badOffset)},
        {"data past the end of the file", Form(false, pastEnd)},
        {"unknown compression", aifc(Comm(1, 32, 16, 8000, "MAC3"))},
        {"mono IMA4", aifc(Comm(1, 32, 16, 8000, "ima4"))},
        {"IMA4 x3", aifc(Comm(3, 32, 16, 8000, "IMA4"))},
        {"GSM stereo", aifc(Comm(2, 32, 16, 8000, "GSM "))},
        {"DWVW 7 bits", aifc(Comm(1, 32, 7, 8000, "DWVW"))},
        {"DWVW 25 bits", aifc(Comm(1, 32, 25, 8000, "DWVW"))},
        {"PCM 33 bits", plain(Comm(1, 32, 33, 8000))},
        {"sample size 0", plain(Comm(1, 32, 0, 8000))},
        {"0 channels", plain(Comm(0, 32, 16, 8000))},
        {"5 channels", plain(Comm(5, 32, 16, 8000))},
        {"7 channels", plain(Comm(7, 32, 16, 8000))},
        {"rate 0", plain(Comm(1, 32, 16, 0))},
        {"rate 0.5", plain(Comm(1, 32, 16, 0.5))},
        {"infinite rate", plain(infinite)},
        {"negative rate", plain(negative)},
        {"rate beyond 32 bits", plain(Comm(1, 32, 16, 1e12))},
    };
    for (const Case& c : cases) {
        AiffReader r;
        EXPECT_EQ(r.Open(Write(dir, "bad.aiff", c.file), 0), 0) << c.name;
        EXPECT_EQ(r.GetSampleRate(), 0u) << c.name;
        int16_t plane[kBlockFrames];
        EXPECT_EQ(r.Read(plane, plane), 0u) << c.name;
    }
    AiffReader r;
    EXPECT_EQ(r.Open(dir.file("missing.aiff"), 0), 0);
    // The good variants of the same headers open.
    EXPECT_EQ(r.Open(Write(dir, "good.aiff", plain(Comm(1, 32, 16, 8000))), 0), 1);
    EXPECT_EQ(r.Open(Write(dir, "good.aifc", aifc(Comm(1, 32, 16, 8000, "GSM "))), 0), 1);
}

}  // namespace
