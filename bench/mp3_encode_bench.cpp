// Encodes ten minutes of 44.1 kHz stereo 16-bit audio at 128 kbps CBR through Mp3Encoder, in blocks
// of 1152 frames as the conversion loop feeds them, and prints the seconds the encoding took.
//
//   mp3_encode_bench [output.mp3]     encode (default output: a file in /tmp), print seconds
//   mp3_encode_bench --wav in.wav     only write the same signal as a WAV file (for other encoders)
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "encoders/Mp3Encoder.h"

namespace {

constexpr int kRate = 44100;
constexpr size_t kFrames = static_cast<size_t>(kRate) * 600;

// A deterministic signal with some spectral content: two gliding tones and a little noise.
void MakeSignal(std::vector<int16_t>& left, std::vector<int16_t>& right) {
    left.resize(kFrames);
    right.resize(kFrames);
    uint32_t seed = 12345;
    double phaseL = 0, phaseR = 0;
    for (size_t i = 0; i < kFrames; ++i) {
        const double t = static_cast<double>(i) / kRate;
        phaseL += 2 * M_PI * (220 + 200 * std::sin(0.05 * t)) / kRate;
        phaseR += 2 * M_PI * (330 + 300 * std::sin(0.07 * t)) / kRate;
        seed = seed * 1664525u + 1013904223u;
        const double noise = (static_cast<double>(seed >> 16) / 65535.0 - 0.5) * 0.05;
        left[i] = static_cast<int16_t>(std::lround(32767 * (0.4 * std::sin(phaseL) + 0.2 * std::sin(3 * phaseR) + noise)));
        right[i] = static_cast<int16_t>(std::lround(32767 * (0.4 * std::sin(phaseR) + 0.2 * std::sin(2 * phaseL) + noise)));
    }
}

void Put(std::vector<uint8_t>& out, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

int WriteWav(const char* path, const std::vector<int16_t>& left, const std::vector<int16_t>& right) {
    std::vector<uint8_t> data;
    const uint32_t dataBytes = static_cast<uint32_t>(kFrames * 4);
    data.reserve(44 + dataBytes);
    data.insert(data.end(), {'R', 'I', 'F', 'F'});
    Put(data, dataBytes + 36, 4);
    data.insert(data.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    Put(data, 16, 4);
    Put(data, 1, 2);
    Put(data, 2, 2);
    Put(data, kRate, 4);
    Put(data, kRate * 4, 4);
    Put(data, 4, 2);
    Put(data, 16, 2);
    data.insert(data.end(), {'d', 'a', 't', 'a'});
    Put(data, dataBytes, 4);
    for (size_t i = 0; i < kFrames; ++i) {
        Put(data, static_cast<uint16_t>(left[i]), 2);
        Put(data, static_cast<uint16_t>(right[i]), 2);
    }
    std::FILE* f = std::fopen(path, "wb");
    if (!f) return 1;
    const bool ok = std::fwrite(data.data(), 1, data.size(), f) == data.size();
    return (std::fclose(f) == 0 && ok) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<int16_t> left, right;
    MakeSignal(left, right);
    if (argc >= 3 && std::strcmp(argv[1], "--wav") == 0) return WriteWav(argv[2], left, right);

    const std::string out = argc >= 2 ? argv[1] : "/tmp/mp3_encode_bench.mp3";
    const auto start = std::chrono::steady_clock::now();
    sonavert::Mp3Encoder enc;
    if (!enc.Open(out)) {
        std::fprintf(stderr, "cannot create %s\n", out.c_str());
        return 1;
    }
    enc.SetInputSampleRate(kRate);
    enc.SetChannels(2);
    enc.SetOutputSampleRate(kRate);
    enc.SetBitRate(128);
    if (!enc.Start()) return 1;
    for (size_t at = 0; at < kFrames; at += 1152) {
        const uint32_t n = static_cast<uint32_t>(std::min<size_t>(1152, kFrames - at));
        if (!enc.EncodeBlock(left.data() + at, right.data() + at, n)) {
            std::fprintf(stderr, "encoding failed\n");
            return 1;
        }
    }
    if (!enc.Finish()) return 1;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%.3f\n", seconds);
    return 0;
}
