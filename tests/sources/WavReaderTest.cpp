#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "sources/WavReader.h"
#include "support/TestUtil.h"

using sonavert::WavReader;
using sonavert::kBlockFrames;
using testutil::Quote;
using testutil::TempDir;

namespace {

// ---- building files byte by byte ----

struct Bytes {
    std::vector<uint8_t> b;
    Bytes& tag(const char* t) {
        b.insert(b.end(), t, t + 4);
        return *this;
    }
    Bytes& u8(uint8_t v) {
        b.push_back(v);
        return *this;
    }
    Bytes& u16(uint16_t v) { return u8(v & 0xFF).u8(v >> 8); }
    Bytes& u32(uint32_t v) { return u16(v & 0xFFFF).u16(v >> 16); }
    Bytes& raw(const std::vector<uint8_t>& v) {
        b.insert(b.end(), v.begin(), v.end());
        return *this;
    }
    Bytes& chunk(const char* id, const std::vector<uint8_t>& body) {
        tag(id).u32(static_cast<uint32_t>(body.size())).raw(body);
        if (body.size() & 1) u8(0);  // pad byte
        return *this;
    }
};

// The 16-byte base format, optionally followed by `extra` (cbSize onwards).
std::vector<uint8_t> Fmt(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits, uint16_t blockAlign,
                         const std::vector<uint8_t>& extra = {}) {
    Bytes f;
    f.u16(tag).u16(channels).u32(rate).u32(rate * blockAlign).u16(blockAlign).u16(bits).raw(extra);
    return f.b;
}

std::vector<uint8_t> Wav(const Bytes& chunks) {
    Bytes w;
    w.tag("RIFF").u32(static_cast<uint32_t>(chunks.b.size() + 4)).tag("WAVE").raw(chunks.b);
    return w.b;
}

std::vector<uint8_t> Pcm16Data(const std::vector<int16_t>& samples) {
    Bytes d;
    for (int16_t s : samples) d.u16(static_cast<uint16_t>(s));
    return d.b;
}

// ---- decoding ----

struct Decoded {
    std::vector<int16_t> samples;  // interleaved, GetChannels() per frame; 8-bit bytes widened
    std::vector<uint32_t> blockSizes;
};

// Reads to the end; checks the plane contract on the way (mono leaves the right plane alone).
Decoded ReadAll(WavReader& r, bool naturalEnd = true) {
    Decoded d;
    const uint32_t ch = r.GetChannels();
    const bool eight = r.GetBitsPerSample() == 8;
    std::vector<int16_t> left(kBlockFrames), right(kBlockFrames);
    for (;;) {
        std::fill(right.begin(), right.end(), int16_t{0x5A5A});
        uint32_t n = r.Read(left.data(), ch == 2 ? right.data() : nullptr);
        if (n == 0) break;
        EXPECT_LE(n, kBlockFrames);
        d.blockSizes.push_back(n);
        for (uint32_t i = 0; i < n; ++i) {
            if (eight) {
                d.samples.push_back(reinterpret_cast<uint8_t*>(left.data())[i]);
                if (ch == 2) d.samples.push_back(reinterpret_cast<uint8_t*>(right.data())[i]);
            } else {
                d.samples.push_back(left[i]);
                if (ch == 2) d.samples.push_back(right[i]);
            }
        }
        if (ch == 1) {
            EXPECT_EQ(right[0], 0x5A5A);
        }
    }
    if (naturalEnd) {
        EXPECT_EQ(r.GetPosition(), r.GetLength());
    }
    return d;
}

Decoded DecodeFile(const std::string& path) {
    WavReader r;
    EXPECT_EQ(r.Open(path, 0), 1) << path;
    return ReadAll(r);
}

std::vector<int16_t> SoxDecodeS16(const std::string& path) {
    std::string out;
    testutil::Run("sox " + Quote(path) + " -t s16 -", &out);
    std::vector<int16_t> s(out.size() / 2);
    std::memcpy(s.data(), out.data(), s.size() * 2);
    return s;
}

// ffmpeg's exact values of a file, as doubles or 32-bit integers, first `keep` channels of `channels`.
template <typename T>
std::vector<T> FfmpegDecodeAs(const std::string& path, const char* fmt, int channels, int keep) {
    std::string out;
    testutil::Run("ffmpeg -v error -nostdin -i " + Quote(path) + " -f " + fmt + " -", &out);
    std::vector<T> all(out.size() / sizeof(T));
    std::memcpy(all.data(), out.data(), all.size() * sizeof(T));
    std::vector<T> kept;
    for (size_t i = 0; i + channels <= all.size(); i += channels)
        for (int c = 0; c < keep; ++c) kept.push_back(all[i + c]);
    return kept;
}

// A test signal with tones and noise, so every code path of the coders is taken.
std::string Generate(const TempDir& dir, const std::string& name, const std::string& codec, int channels,
                     int rate, double seconds = 1.5) {
    std::string path = dir.file(name);
    std::string exprs = "0.6*sin(440*2*PI*t)+0.3*random(0)";
    std::string more = "|0.5*sin(660*2*PI*t)-0.2*random(1)|0.3*sin(220*2*PI*t)|0.2*random(2)|0.7*sin(50*2*PI*t)"
                       "|0.4*sin(1000*2*PI*t)";
    if (channels == 2) exprs += "|0.5*sin(660*2*PI*t)-0.2*random(1)";
    if (channels == 6) exprs += more;
    int rc = testutil::Run("ffmpeg -v error -nostdin -f lavfi -i " +
                 Quote("aevalsrc=exprs='" + exprs + "':s=" + std::to_string(rate) + ":d=" + std::to_string(seconds)) +
                 " -c:a " + codec + " " + Quote(path) + " -y");
    EXPECT_EQ(rc, 0) << codec;
    return path;
}

int16_t FloatRule(double x) { return static_cast<int16_t>(static_cast<int32_t>(x * 2147483647.0) >> 16); }

// ---- formats against a reference decoder ----

TEST(WavReader, CompandedAdpcmAndGsmMatchReferenceDecoders) {
    TempDir dir;
    struct Case {
        const char* codec;
        int channels;
        int rate;
        bool sox;  // sox as the reference, else ffmpeg
    } cases[] = {
        {"pcm_alaw", 2, 8000, false}, {"pcm_mulaw", 1, 8000, false},     {"adpcm_ms", 1, 22050, false},
        {"adpcm_ms", 2, 44100, false}, {"adpcm_ima_wav", 1, 11025, true}, {"adpcm_ima_wav", 2, 44100, true},
        {"gsm_ms", 1, 8000, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.codec) + " x" + std::to_string(c.channels));
        std::string path = Generate(dir, std::string(c.codec) + std::to_string(c.channels) + ".wav", c.codec,
                                    c.channels, c.rate);
        WavReader r;
        ASSERT_EQ(r.Open(path, 0), 1);
        EXPECT_EQ(r.GetSampleRate(), static_cast<uint32_t>(c.rate));
        EXPECT_EQ(r.GetChannels(), static_cast<uint32_t>(c.channels));
        EXPECT_EQ(r.GetBitsPerSample(), 16u);
        EXPECT_EQ(r.GetDuration(), 1);
        Decoded d = ReadAll(r);
        std::vector<int16_t> ref = c.sox ? SoxDecodeS16(path) : testutil::FfmpegDecodeS16(path);
        ASSERT_GT(ref.size(), static_cast<size_t>(c.rate));
        ASSERT_EQ(d.samples.size(), ref.size());
        EXPECT_TRUE(d.samples == ref);
        // Compressed blocks are handed out across calls at 1152 frames each until the last.
        for (size_t i = 0; i + 1 < d.blockSizes.size(); ++i) ASSERT_EQ(d.blockSizes[i], kBlockFrames);
    }
}

TEST(WavReader, IntegerPcmMatchesStoredSamples) {
    TempDir dir;
    // 8 bits: the stored unsigned bytes come out unchanged.
    std::string u8 = Generate(dir, "u8.wav", "pcm_u8", 2, 22050);
    WavReader r8;
    ASSERT_EQ(r8.Open(u8, 0), 1);
    EXPECT_EQ(r8.GetBitsPerSample(), 8u);
    Decoded d8 = ReadAll(r8);
    std::string bytes;
    testutil::Run("ffmpeg -v error -nostdin -i " + Quote(u8) + " -f u8 -", &bytes);
    ASSERT_EQ(d8.samples.size(), bytes.size());
    for (size_t i = 0; i < bytes.size(); ++i) ASSERT_EQ(d8.samples[i], static_cast<uint8_t>(bytes[i])) << i;
    EXPECT_EQ(d8.blockSizes[0], kBlockFrames);

    // 16 bits, mono and stereo.
    for (int ch : {1, 2}) {
        std::string p = Generate(dir, "s16_" + std::to_string(ch) + ".wav", "pcm_s16le", ch, 44100);
        Decoded d = DecodeFile(p);
        EXPECT_TRUE(d.samples == testutil::FfmpegDecodeS16(p)) << ch;
        EXPECT_EQ(d.blockSizes[0], kBlockFrames);
    }

    // 24 and 32 bits (ffmpeg writes both as extensible): the low bits are dropped.
    for (const char* codec : {"pcm_s24le", "pcm_s32le"}) {
        std::string p = Generate(dir, std::string(codec) + ".wav", codec, 2, 48000);
        Decoded d = DecodeFile(p);
        std::vector<int32_t> ref = FfmpegDecodeAs<int32_t>(p, "s32le", 2, 2);
        ASSERT_EQ(d.samples.size(), ref.size()) << codec;
        for (size_t i = 0; i < ref.size(); ++i) ASSERT_EQ(d.samples[i], ref[i] >> 16) << codec << " " << i;
    }

    // 5.1 (ffmpeg's mask FL FR FC LFE SL SR): the stereo downmix, centre and surrounds at -3 dB.
    std::string surround = Generate(dir, "51.wav", "pcm_s16le", 6, 48000);
    WavReader r6;
    ASSERT_EQ(r6.Open(surround, 0), 1);
    EXPECT_EQ(r6.GetStoredChannels(), 6u);
    EXPECT_EQ(r6.GetChannels(), 2u);
    Decoded d6 = ReadAll(r6);
    std::vector<int16_t> ref6 = testutil::MixToStereo(FfmpegDecodeAs<int16_t>(surround, "s16le", 6, 6), 6,
                                                      testutil::k51LeftGains, testutil::k51RightGains);
    ASSERT_EQ(d6.samples.size(), ref6.size());
    for (size_t i = 0; i < ref6.size(); ++i) ASSERT_NEAR(d6.samples[i], ref6[i], 1) << i;
}

// Surround files with a tone per channel, then full-scale frames on every channel: the extensible
// header's mask places the channels, a plain header takes the usual WAVE order.
TEST(WavReader, SurroundIsMixedDownByItsSpeakerPositions) {
    TempDir dir;
    const int rate = 32000, frames = 16000;
    auto tones = [&](int channels) {
        std::vector<int16_t> x;
        for (int i = 0; i < frames; ++i)
            for (int c = 0; c < channels; ++c)
                x.push_back(static_cast<int16_t>(std::lround(8000 * std::sin(2 * M_PI * (400 + 200 * c) * i / rate))));
        for (int16_t full : {int16_t{32767}, int16_t{-32768}})
            for (int i = 0; i < 100; ++i)
                for (int c = 0; c < channels; ++c) x.push_back(full);
        return x;
    };
    auto write = [&](const std::string& name, int channels, uint32_t mask) {
        const uint16_t align = static_cast<uint16_t>(2 * channels);
        Bytes ext;
        if (mask) {
            ext.u16(22).u16(16).u32(mask).u32(1);  // cbSize, valid bits, mask, PCM sub-format GUID
            for (uint8_t b : {0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}) ext.u8(b);
        }
        Bytes chunks;
        chunks.chunk("fmt ", Fmt(mask ? 0xFFFE : 1, static_cast<uint16_t>(channels), rate, 16, align, ext.b));
        chunks.chunk("data", Pcm16Data(tones(channels)));
        const std::string path = dir.file(name);
        EXPECT_TRUE(testutil::WriteFileBytes(path, Wav(chunks)));
        return path;
    };
    const double h = 0.70710678, n51 = 1 + 2 * h;
    const struct {
        std::string path;
        int channels;
        std::vector<double> left, right;  // expected gain of each channel's tone
    } cases[] = {
        {write("ext51.wav", 6, 0x3F), 6, {1 / n51, 0, h / n51, 0, h / n51, 0}, {0, 1 / n51, h / n51, 0, 0, h / n51}},
        {write("plain6.wav", 6, 0), 6, {1 / n51, 0, h / n51, 0, h / n51, 0}, {0, 1 / n51, h / n51, 0, 0, h / n51}},
        // FL FR FC BC: the fourth channel is a back centre, not the back right of the usual quad.
        {write("ext40.wav", 4, 0x107), 4, {1 / n51, 0, h / n51, h / n51}, {0, 1 / n51, h / n51, h / n51}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        WavReader r;
        ASSERT_EQ(r.Open(c.path, 0), 1);
        EXPECT_EQ(r.GetChannels(), 2u);
        Decoded d = ReadAll(r);
        ASSERT_EQ(d.samples.size(), 2u * (frames + 200));
        const std::vector<int16_t> tonepart(d.samples.begin(), d.samples.begin() + 2 * frames);
        for (int ch = 0; ch < c.channels; ++ch) {
            EXPECT_NEAR(testutil::ToneAmplitude(tonepart, 2, 0, 400 + 200 * ch, rate), 8000 * c.left[ch], 40) << ch;
            EXPECT_NEAR(testutil::ToneAmplitude(tonepart, 2, 1, 400 + 200 * ch, rate), 8000 * c.right[ch], 40) << ch;
        }
        // Full scale on every channel reaches full scale, not beyond.
        EXPECT_EQ(d.samples[2 * frames], 32767);
        EXPECT_EQ(d.samples[2 * frames + 1], 32767);
        EXPECT_EQ(d.samples[2 * (frames + 100)], -32768);
        EXPECT_EQ(d.samples[2 * (frames + 100) + 1], -32768);
    }
}

TEST(WavReader, FloatFilesFollowTheTruncationRule) {
    TempDir dir;
    // ffmpeg writes extensible float; sox writes the plain float tag for a mono file.
    std::vector<std::string> files = {Generate(dir, "f32.wav", "pcm_f32le", 2, 44100),
                                      Generate(dir, "f64.wav", "pcm_f64le", 1, 44100)};
    std::string plain = dir.file("plain.wav");
    ASSERT_EQ(testutil::Run("sox -n -r 16000 -c 1 -b 32 -e floating-point " + Quote(plain) + " synth 0.7 sine 300 vol 0.9"), 0);
    files.push_back(plain);
    for (const std::string& p : files) {
        auto bytes = testutil::ReadFileBytes(p);
        ASSERT_GT(bytes.size(), 36u);
        WavReader r;
        ASSERT_EQ(r.Open(p, 0), 1) << p;
        EXPECT_EQ(r.GetBitsPerSample(), 16u);
        int ch = static_cast<int>(r.GetStoredChannels());
        Decoded d = ReadAll(r);
        std::vector<double> ref = FfmpegDecodeAs<double>(p, "f64le", ch, std::min(ch, 2));
        ASSERT_EQ(d.samples.size(), ref.size()) << p;
        ASSERT_GT(ref.size(), 10000u);
        for (size_t i = 0; i < ref.size(); ++i) ASSERT_EQ(d.samples[i], FloatRule(ref[i])) << p << " " << i;
    }
    // The plain float tag and the extensible tag both say float.
    EXPECT_EQ(testutil::ReadFileBytes(plain)[20], 3);
    EXPECT_EQ(testutil::ReadFileBytes(files[0])[20], 0xFE);
}

TEST(WavReader, SampleConversionRules) {
    TempDir dir;
    // Float: full scale, half scale, beyond full scale (saturates), NaN.
    const float values[] = {1.0f, 0.5f, -1.0f, -0.5f, 2.0f, -3.0f, NAN, INFINITY, -INFINITY, 0.0f};
    const int16_t expected[] = {32767, 16383, -32768, -16384, 32767, -32768, 0, 32767, -32768, 0};
    Bytes data;
    for (float v : values) {
        uint32_t bits;
        std::memcpy(&bits, &v, 4);
        data.u32(bits);
    }
    std::string f = dir.file("f.wav");
    testutil::WriteFileBytes(f, Wav(Bytes().chunk("fmt ", Fmt(3, 1, 8000, 32, 4)).chunk("data", data.b)));
    Decoded df = DecodeFile(f);
    EXPECT_EQ(df.samples, std::vector<int16_t>(std::begin(expected), std::end(expected)));

    Bytes data64;
    for (double v : {1.0, 0.5, -0.25, 1e300}) {
        uint64_t bits;
        std::memcpy(&bits, &v, 8);
        data64.u32(static_cast<uint32_t>(bits)).u32(static_cast<uint32_t>(bits >> 32));
    }
    std::string f64 = dir.file("f64.wav");
    testutil::WriteFileBytes(f64, Wav(Bytes().chunk("fmt ", Fmt(3, 1, 8000, 64, 8)).chunk("data", data64.b)));
    EXPECT_EQ(DecodeFile(f64).samples, (std::vector<int16_t>{32767, 16383, -8192, 32767}));

    // 24 bits: the upper two bytes of the little-endian triple.
    std::string p24 = dir.file("24.wav");
    testutil::WriteFileBytes(
        p24, Wav(Bytes().chunk("fmt ", Fmt(1, 1, 8000, 24, 3)).chunk("data", {0x56, 0x34, 0x12, 0xFF, 0xFF, 0xFF})));
    EXPECT_EQ(DecodeFile(p24).samples, (std::vector<int16_t>{0x1234, -1}));

    // G.711 expansion of the segment ends.
    EXPECT_EQ(sonavert::ExpandALaw(0xD5), 8);
    EXPECT_EQ(sonavert::ExpandALaw(0x55), -8);
    EXPECT_EQ(sonavert::ExpandALaw(0xAA), 32256);
    EXPECT_EQ(sonavert::ExpandALaw(0x2A), -32256);
    EXPECT_EQ(sonavert::ExpandMuLaw(0xFF), 0);
    EXPECT_EQ(sonavert::ExpandMuLaw(0x80), 32124);
    EXPECT_EQ(sonavert::ExpandMuLaw(0x00), -32124);
}

TEST(WavReader, ExtensibleSubFormatDecidesTheSampleType) {
    TempDir dir;
    auto ext = [](uint16_t bits, uint32_t sub, uint8_t tail0 = 0x00) {
        Bytes e;
        e.u16(22).u16(bits).u32(4).u32(sub).raw({tail0, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71});
        return e.b;
    };
    float half = 0.5f;
    uint32_t halfBits;
    std::memcpy(&halfBits, &half, 4);
    const std::vector<uint8_t> sample = Bytes().u32(halfBits).b;

    std::string pcm = dir.file("pcm.wav");
    testutil::WriteFileBytes(pcm, Wav(Bytes().chunk("fmt ", Fmt(0xFFFE, 1, 8000, 32, 4, ext(32, 1))).chunk("data", sample)));
    EXPECT_EQ(DecodeFile(pcm).samples, std::vector<int16_t>{static_cast<int16_t>(halfBits >> 16)});

    std::string flt = dir.file("float.wav");
    testutil::WriteFileBytes(flt, Wav(Bytes().chunk("fmt ", Fmt(0xFFFE, 1, 8000, 32, 4, ext(32, 3))).chunk("data", sample)));
    EXPECT_EQ(DecodeFile(flt).samples, std::vector<int16_t>{16383});

    // Companded sub-formats decode with their codecs, not as 8-bit PCM.
    const std::vector<uint8_t> codes = {0xAA, 0x2A, 0xD5, 0x55};
    std::string alaw = dir.file("alaw.wav"), mulaw = dir.file("mulaw.wav");
    testutil::WriteFileBytes(alaw, Wav(Bytes().chunk("fmt ", Fmt(0xFFFE, 2, 8000, 8, 2, ext(8, 6))).chunk("data", codes)));
    EXPECT_EQ(DecodeFile(alaw).samples, (std::vector<int16_t>{32256, -32256, 8, -8}));
    testutil::WriteFileBytes(mulaw, Wav(Bytes().chunk("fmt ", Fmt(0xFFFE, 1, 8000, 8, 1, ext(8, 7))).chunk("data", {0x80, 0xFF})));
    EXPECT_EQ(DecodeFile(mulaw).samples, (std::vector<int16_t>{32124, 0}));

    // A short or absent extension (cbSize 0 in an 18-byte chunk, cbSize below 22, a 16-byte
    // chunk) means integer PCM of the stored bits.
    const std::vector<int16_t> pcm16 = {1234, -5678};
    for (auto shortExt : {std::vector<uint8_t>{0, 0}, std::vector<uint8_t>(24, 0), std::vector<uint8_t>{}}) {
        SCOPED_TRACE(shortExt.size());
        std::string p = dir.file("short.wav");
        testutil::WriteFileBytes(p, Wav(Bytes().chunk("fmt ", Fmt(0xFFFE, 2, 8000, 16, 4, shortExt)).chunk("data", Pcm16Data(pcm16))));
        EXPECT_EQ(DecodeFile(p).samples, pcm16);
    }

    WavReader r;
    for (auto bad : {ext(32, 2), ext(32, 1, 0x01), ext(4, 17), ext(8, 6, 0x01)}) {
        std::string p = dir.file("bad.wav");
        testutil::WriteFileBytes(p, Wav(Bytes().chunk("fmt ", Fmt(0xFFFE, 1, 8000, 32, 4, bad)).chunk("data", sample)));
        EXPECT_EQ(r.Open(p, 0), 0);
    }
    std::string threeCh = dir.file("alaw3.wav");
    testutil::WriteFileBytes(threeCh, Wav(Bytes().chunk("fmt ", Fmt(0xFFFE, 3, 8000, 8, 3, ext(8, 6))).chunk("data", codes)));
    EXPECT_EQ(r.Open(threeCh, 0), 0);
}

TEST(WavReader, BlockAlignZeroIsDerivedForFrameFormats) {
    TempDir dir;
    const std::vector<int16_t> samples = {100, -200, 300, -400};
    std::string p = dir.file("align0.wav");
    testutil::WriteFileBytes(p, Wav(Bytes().chunk("fmt ", Fmt(1, 2, 8000, 16, 0)).chunk("data", Pcm16Data(samples))));
    WavReader r;
    ASSERT_EQ(r.Open(p, 0), 1);
    EXPECT_EQ(r.GetChannels(), 2u);
    EXPECT_EQ(ReadAll(r).samples, samples);
    testutil::WriteFileBytes(p, Wav(Bytes().chunk("fmt ", Fmt(7, 1, 8000, 8, 0)).chunk("data", {0x80, 0xFF})));
    EXPECT_EQ(DecodeFile(p).samples, (std::vector<int16_t>{32124, 0}));
    // Block-coded formats cannot do without it.
    testutil::WriteFileBytes(p, Wav(Bytes().chunk("fmt ", Fmt(17, 1, 8000, 4, 0, {2, 0, 0xF9, 0x01})).chunk("data", std::vector<uint8_t>(256, 0))));
    EXPECT_EQ(r.Open(p, 0), 0);
}

// ---- the chunk walk ----

TEST(WavReader, ChunkWalkPassesPadStrayBytesAndListChunks) {
    TempDir dir;
    const std::vector<int16_t> samples = {1, -2, 300, -400, 5000, -6000};
    const std::vector<uint8_t> fmt = Fmt(1, 2, 8000, 16, 4);
    const std::vector<uint8_t> data = Pcm16Data(samples);

    struct Case {
        const char* name;
        std::vector<uint8_t> file;
    };
    Bytes stray;
    stray.chunk("fmt ", fmt).raw({0x00, 0x01, 0x02, 0x20, 0x7F}).chunk("data", data);
    std::vector<uint8_t> dataSizeZero = Wav(Bytes().chunk("fmt ", fmt).tag("data").u32(0).raw(data));
    Case cases[] = {
        {"odd chunk and pad byte", Wav(Bytes().chunk("junk", {1, 2, 3}).chunk("fmt ", fmt).chunk("data", data))},
        {"stray bytes", Wav(stray)},
        {"LIST before fmt and after data",
         Wav(Bytes().chunk("LIST", {'I', 'N', 'F', 'O', 'a', 'b', 'c'}).chunk("fmt ", fmt).chunk("data", data)
                 .chunk("LIST", {'I', 'N', 'F', 'O', 9, 9, 9, 9}))},
        {"data size 0 runs to the end", dataSizeZero},
        {"fmt chunk longer than 16 bytes", Wav(Bytes().chunk("fmt ", Fmt(1, 2, 8000, 16, 4, {0, 0, 7})).chunk("data", data))},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string p = dir.file("walk.wav");
        testutil::WriteFileBytes(p, c.file);
        WavReader r;
        ASSERT_EQ(r.Open(p, 0), 1);
        EXPECT_EQ(r.GetLength(), data.size());
        EXPECT_EQ(ReadAll(r).samples, samples);
    }
}

TEST(WavReader, RejectsBrokenAndUnsupportedFiles) {
    TempDir dir;
    const std::vector<uint8_t> data(64, 0);
    auto fmtChunk = [](const std::vector<uint8_t>& fmt) { return Bytes().chunk("fmt ", fmt); };
    auto withData = [&](Bytes b) { return Wav(b.chunk("data", data)); };
    std::vector<uint8_t> good = withData(fmtChunk(Fmt(1, 1, 8000, 16, 2)));
    std::vector<uint8_t> notWave = good;
    std::memcpy(&notWave[8], "AVI ", 4);
    std::vector<uint8_t> msExtra = Bytes().u16(32).u16(500).u16(7).b;  // 500 samples need 256 bytes
    for (int i = 0; i < 7; ++i) msExtra.insert(msExtra.end(), {0, 1, 0, 0});

    struct Case {
        const char* name;
        std::vector<uint8_t> file;
    } cases[] = {
        {"not RIFF", std::vector<uint8_t>(good.begin() + 4, good.end())},
        {"not WAVE", notWave},
        {"no data chunk", Wav(fmtChunk(Fmt(1, 1, 8000, 16, 2)))},
        {"data before fmt", Wav(Bytes().chunk("data", data).chunk("fmt ", Fmt(1, 1, 8000, 16, 2)))},
        {"header cut short", std::vector<uint8_t>(good.begin(), good.begin() + 30)},
        {"9 channels", withData(fmtChunk(Fmt(1, 9, 8000, 16, 18)))},
        {"12-bit PCM", withData(fmtChunk(Fmt(1, 1, 8000, 12, 2)))},
        {"24-bit float", withData(fmtChunk(Fmt(3, 1, 8000, 24, 3)))},
        {"unknown tag", withData(fmtChunk(Fmt(0x55, 1, 8000, 16, 2)))},
        {"zero sample rate", withData(fmtChunk(Fmt(1, 1, 0, 16, 2)))},
        {"zero block align", withData(fmtChunk(Fmt(49, 1, 8000, 0, 0, {2, 0, 0x40, 0x01})))},
        {"zero channels", withData(fmtChunk(Fmt(7, 0, 8000, 8, 1)))},
        {"A-law with 3 channels", withData(fmtChunk(Fmt(6, 3, 8000, 8, 3)))},
        {"GSM block align 64", withData(fmtChunk(Fmt(49, 1, 8000, 0, 64, {2, 0, 0x40, 0x01})))},
        {"GSM 160 samples per block", withData(fmtChunk(Fmt(49, 1, 8000, 0, 65, {2, 0, 0xA0, 0x00})))},
        {"GSM stereo", withData(fmtChunk(Fmt(49, 2, 8000, 0, 65, {2, 0, 0x40, 0x01})))},
        {"IMA block too small for its samples", withData(fmtChunk(Fmt(17, 1, 8000, 4, 256, {2, 0, 0xFA, 0x01})))},
        {"IMA with 3 channels", withData(fmtChunk(Fmt(17, 3, 8000, 4, 1536, {2, 0, 0xF9, 0x01})))},
        {"MS ADPCM block too small for its samples", withData(fmtChunk(Fmt(2, 1, 8000, 4, 255, msExtra)))},
        {"MS ADPCM without coefficients", withData(fmtChunk(Fmt(2, 1, 8000, 4, 256, {4, 0, 0xF4, 0x01, 0, 0})))},
        {"MS ADPCM with 3 channels", withData(fmtChunk(Fmt(2, 3, 8000, 4, 256 * 3, msExtra)))},
    };
    for (const Case& c : cases) {
        std::string p = dir.file("bad.wav");
        testutil::WriteFileBytes(p, c.file);
        WavReader r;
        EXPECT_EQ(r.Open(p, 0), 0) << c.name;
        // A failed open leaves the reader closed.
        EXPECT_EQ(r.GetSampleRate(), 0u) << c.name;
        int16_t plane[kBlockFrames];
        EXPECT_EQ(r.Read(plane, plane), 0u) << c.name;
    }
    // The same headers with sound values open.
    std::string p = dir.file("ok.wav");
    testutil::WriteFileBytes(p, withData(fmtChunk(Fmt(2, 1, 8000, 4, 256, msExtra))));
    WavReader r;
    EXPECT_EQ(r.Open(p, 0), 1);
    testutil::WriteFileBytes(p, withData(fmtChunk(Fmt(17, 1, 8000, 4, 256, {2, 0, 0xF9, 0x01}))));
    EXPECT_EQ(r.Open(p, 0), 1);
    EXPECT_EQ(r.Open(dir.file("missing.wav"), 0), 0);
}

// ---- lengths, read units, partial and truncated data ----

TEST(WavReader, DerivedLengthDurationAndBitRate) {
    TempDir dir;
    // Shorter than one second: duration 0, bit rate from the format.
    std::string shortFile = dir.file("short.wav");
    ASSERT_TRUE(testutil::WriteWav16(shortFile, testutil::Sine(440, 22050, 2, 0.5), 22050, 2));
    WavReader r;
    ASSERT_EQ(r.Open(shortFile, 0), 1);
    EXPECT_EQ(r.GetDuration(), 0);
    EXPECT_EQ(r.GetBitRate(), 16u * 2 * 22050 / 1000);
    EXPECT_EQ(r.GetLength(), 22050u * 2);
    EXPECT_EQ(r.GetChannelMode(), sonavert::kModeNone);

    // 2.5 s: whole seconds, bit rate from the length.
    std::string longFile = dir.file("long.wav");
    ASSERT_TRUE(testutil::WriteWav16(longFile, testutil::Sine(440, 8000, 1, 2.5), 8000, 1));
    ASSERT_EQ(r.Open(longFile, 0), 1);
    EXPECT_EQ(r.GetDuration(), 2);
    EXPECT_EQ(r.GetBitRate(), 40000u / 250);

    // Compressed: frames from the blocks.
    std::string gsm = Generate(dir, "gsm.wav", "gsm_ms", 1, 8000, 3.0);
    ASSERT_EQ(r.Open(gsm, 0), 1);
    EXPECT_EQ(r.GetDuration(), 3);
    EXPECT_EQ(r.GetBitRate(), r.GetLength() / 375);
    std::string ima = Generate(dir, "ima.wav", "adpcm_ima_wav", 2, 8000, 2.2);
    ASSERT_EQ(r.Open(ima, 0), 1);
    EXPECT_EQ(r.GetDuration(), 2);

    // Close clears everything.
    r.Close();
    EXPECT_EQ(r.GetLength(), 0u);
    EXPECT_EQ(r.GetSampleRate(), 0u);
    EXPECT_EQ(r.GetDuration(), 0);
    int16_t plane[kBlockFrames];
    EXPECT_EQ(r.Read(plane, plane), 0u);
}

TEST(WavReader, ReadUnitsAndPosition) {
    TempDir dir;
    // 8-bit mono: 1152 bytes per read, position in data bytes.
    std::vector<uint8_t> bytes(3000);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7);
    std::string p = dir.file("u8.wav");
    testutil::WriteFileBytes(p, Wav(Bytes().chunk("fmt ", Fmt(1, 1, 8000, 8, 1)).chunk("data", bytes)));
    WavReader r;
    ASSERT_EQ(r.Open(p, 0), 1);
    uint8_t left[kBlockFrames];
    std::vector<uint8_t> got;
    std::vector<uint64_t> positions;
    while (uint32_t n = r.Read(left, nullptr)) {
        got.insert(got.end(), left, left + n);
        positions.push_back(r.GetPosition());
    }
    EXPECT_EQ(got, bytes);
    EXPECT_EQ(positions, (std::vector<uint64_t>{1152, 2304, 3000}));
    EXPECT_EQ(r.Read(left, nullptr), 0u);

    // 24-bit stereo: 1152 frames per read, then the rest.
    std::vector<uint8_t> d24(3 * 2 * 1500);
    std::string p24 = dir.file("24.wav");
    testutil::WriteFileBytes(p24, Wav(Bytes().chunk("fmt ", Fmt(1, 2, 8000, 24, 6)).chunk("data", d24)));
    ASSERT_EQ(r.Open(p24, 0), 1);
    EXPECT_EQ(ReadAll(r).blockSizes, (std::vector<uint32_t>{1152, 348}));
}

TEST(WavReader, PartialAndTruncatedData) {
    TempDir dir;
    // Stereo 16-bit data ending in half a frame: the left sample is kept, the right one is silence.
    std::vector<uint8_t> data = Pcm16Data({100, -100, 200, -200, 300});
    std::string p = dir.file("partial.wav");
    testutil::WriteFileBytes(p, Wav(Bytes().chunk("fmt ", Fmt(1, 2, 8000, 16, 4)).chunk("data", data)));
    EXPECT_EQ(DecodeFile(p).samples, (std::vector<int16_t>{100, -100, 200, -200, 300, 0}));

    // 24-bit mono ending in one byte of a sample: that sample counts, its missing bytes are zero.
    std::string p24 = dir.file("partial24.wav");
    testutil::WriteFileBytes(p24, Wav(Bytes().chunk("fmt ", Fmt(1, 1, 8000, 24, 3)).chunk("data", {0, 0x10, 0x20, 0x7F})));
    EXPECT_EQ(DecodeFile(p24).samples, (std::vector<int16_t>{0x2010, 0}));

    // A data chunk that claims more than the file holds: what is there is decoded, then the end.
    std::vector<uint8_t> cut = Wav(Bytes().chunk("fmt ", Fmt(1, 1, 8000, 16, 2)).tag("data").u32(1000000).raw(Pcm16Data({7, 8, 9})));
    testutil::WriteFileBytes(p, cut);
    WavReader r;
    ASSERT_EQ(r.Open(p, 0), 1);
    int16_t left[kBlockFrames];
    EXPECT_EQ(r.Read(left, nullptr), 3u);
    EXPECT_EQ(left[2], 9);
    EXPECT_EQ(r.Read(left, nullptr), 0u);

    // ADPCM and GSM: a short last block is dropped, whole blocks match the reference.
    for (const char* codec : {"adpcm_ms", "adpcm_ima_wav", "gsm_ms"}) {
        SCOPED_TRACE(codec);
        std::string full = Generate(dir, std::string(codec) + ".wav", codec, 1, 8000, 1.0);
        auto bytes = testutil::ReadFileBytes(full);
        std::vector<int16_t> whole = DecodeFile(full).samples;
        WavReader probe;
        ASSERT_EQ(probe.Open(full, 0), 1);
        // Find where the data starts: the data chunk runs to the end of these files less any tail.
        std::string s(bytes.begin(), bytes.end());
        size_t at = s.find("data");
        ASSERT_NE(at, std::string::npos);
        uint32_t dataSize = bytes[at + 4] | (bytes[at + 5] << 8) | (bytes[at + 6] << 16) | (bytes[at + 7] << 24);
        std::vector<uint8_t> truncated(bytes.begin(), bytes.begin() + at + 8 + dataSize - 10);
        std::string tp = dir.file("t.wav");
        testutil::WriteFileBytes(tp, truncated);
        std::vector<int16_t> part = DecodeFile(tp).samples;
        ASSERT_FALSE(part.empty());
        ASSERT_LT(part.size(), whole.size());
        EXPECT_TRUE(std::equal(part.begin(), part.end(), whole.begin()));
        const uint32_t blockAlign = bytes[32] | (bytes[33] << 8);  // ffmpeg writes "fmt " first
        size_t blockSamples = whole.size() / (probe.GetLength() / blockAlign);
        EXPECT_EQ(part.size(), whole.size() - blockSamples);
    }
}

TEST(WavReader, MsAdpcmPredictorOutsideTheTableEndsTheStream) {
    TempDir dir;
    std::string full = Generate(dir, "ms.wav", "adpcm_ms", 1, 8000, 1.0);
    auto bytes = testutil::ReadFileBytes(full);
    std::string s(bytes.begin(), bytes.end());
    size_t at = s.find("data");
    ASSERT_NE(at, std::string::npos);
    std::vector<int16_t> whole = DecodeFile(full).samples;
    WavReader r;
    ASSERT_EQ(r.Open(full, 0), 1);
    // The third block names predictor 7 of a 7-entry table.
    const uint32_t blockAlign = bytes[32] | (bytes[33] << 8);  // ffmpeg writes "fmt " first
    const size_t spb = bytes[38] | (bytes[39] << 8);
    ASSERT_EQ(bytes[40], 7);  // coefficient count
    ASSERT_LT(bytes[at + 8 + 2 * blockAlign], 7);
    bytes[at + 8 + 2 * blockAlign] = 7;
    testutil::WriteFileBytes(full, bytes);
    ASSERT_EQ(r.Open(full, 0), 1);
    std::vector<int16_t> part = ReadAll(r, false).samples;
    ASSERT_EQ(part.size(), 2 * spb);
    int16_t plane[kBlockFrames];
    EXPECT_EQ(r.Read(plane, nullptr), 0u);
    EXPECT_TRUE(std::equal(part.begin(), part.end(), whole.begin()));
}

}  // namespace
