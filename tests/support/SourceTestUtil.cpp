#include "support/SourceTestUtil.h"

#include <gtest/gtest.h>

#include <cstring>

#include "support/TestUtil.h"

namespace testutil {

std::string WriteTestFile(const TempDir& dir, const std::string& name, const std::vector<uint8_t>& bytes) {
    const std::string p = dir.file(name);
    EXPECT_TRUE(WriteFileBytes(p, bytes));
    return p;
}

DecodedSource ReadSource(sonavert::AudioSource& source) {
    DecodedSource d;
    const uint32_t ch = source.GetChannels();
    const bool eight = source.GetBitsPerSample() == 8;
    std::vector<int16_t> left(sonavert::kBlockFrames), right(sonavert::kBlockFrames);
    for (int guard = 0; guard < 1000000; ++guard) {
        std::fill(right.begin(), right.end(), int16_t{0x5A5A});
        const uint32_t n = source.Read(left.data(), ch == 2 ? right.data() : nullptr);
        if (n == 0) break;
        EXPECT_LE(n, sonavert::kBlockFrames);
        EXPECT_LE(source.GetPosition(), source.GetLength());
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
    return d;
}

namespace {

const char* kPython = "/usr/bin/python3";

template <typename T>
std::vector<T> AsSamples(const std::string& bytes) {
    std::vector<T> s(bytes.size() / sizeof(T));
    std::memcpy(s.data(), bytes.data(), s.size() * sizeof(T));
    return s;
}

}  // namespace

std::vector<int16_t> SndfileDecodeS16(const std::string& path) {
    std::string out;
    Run(std::string(kPython) +
            " -c 'import sys, soundfile; d, _ = soundfile.read(sys.argv[1], dtype=\"int16\", always_2d=True); "
            "sys.stdout.buffer.write(d.tobytes())' " +
            Quote(path),
        &out);
    return AsSamples<int16_t>(out);
}

std::vector<int32_t> SndfileConvertS32(const std::string& path) {
    TempDir dir;
    const std::string wav = dir.file("s32.wav");
    if (Run("sndfile-convert -pcm32 " + Quote(path) + " " + Quote(wav)) != 0) return {};
    std::string out;
    Run("ffmpeg -v error -nostdin -i " + Quote(wav) + " -f s32le -", &out);
    return AsSamples<int32_t>(out);
}

bool SndfileWrite(const std::string& path, const std::vector<double>& samples, int rate, const char* format,
                  const char* subtype) {
    TempDir dir;
    const std::string raw = dir.file("in.f64");
    std::vector<uint8_t> bytes(samples.size() * sizeof(double));
    std::memcpy(bytes.data(), samples.data(), bytes.size());
    if (!WriteFileBytes(raw, bytes)) return false;
    return Run(std::string(kPython) +
                   " -c 'import sys, numpy, soundfile; "
                   "soundfile.write(sys.argv[2], numpy.fromfile(sys.argv[1], dtype=numpy.float64), int(sys.argv[3]), "
                   "subtype=sys.argv[5], format=sys.argv[4])' " +
                   Quote(raw) + " " + Quote(path) + " " + std::to_string(rate) + " " + format + " " + subtype) == 0;
}

std::vector<int16_t> SoxDecodeS16(const std::string& path) {
    std::string out;
    Run("sox " + Quote(path) + " -t s16 -", &out);
    return AsSamples<int16_t>(out);
}

}  // namespace testutil
