// Reads a WAV file through WavReader in blocks of 1152 frames, as the conversion loop does, and
// encodes it at 128 kbps (64000 bits per second per channel for stereo) into a raw AAC file through
// AacEncoder or an M4A file through M4aWriter; prints the seconds taken.
//
//   aac_encode_bench aac in.wav out.aac
//   aac_encode_bench m4a in.wav out.m4a
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "encoders/AacEncoder.h"
#include "encoders/M4aWriter.h"
#include "sources/WavReader.h"

namespace {

template <typename Writer>
int Encode(Writer& writer, const char* in, const char* out) {
    sonavert::WavReader source;
    if (!source.Open(in, 0) || source.GetBitsPerSample() != 16) {
        std::fprintf(stderr, "cannot read %s as 16-bit WAV\n", in);
        return 1;
    }
    const uint32_t channels = source.GetChannels();
    if (!writer.Open(out, source.GetSampleRate(), channels, 16)) {
        std::fprintf(stderr, "cannot create %s: %s\n", out, writer.FailureReason().c_str());
        return 1;
    }
    writer.Configuration()->bitRate = 128 * 1000 / channels;
    if (!writer.Start()) {
        std::fprintf(stderr, "%s\n", writer.FailureReason().c_str());
        return 1;
    }
    std::vector<int16_t> left(sonavert::kBlockFrames), right(sonavert::kBlockFrames);
    while (const uint32_t n = source.Read(left.data(), right.data())) {
        if (!writer.EncodeBlock16(left.data(), right.data(), n)) break;
    }
    if (!writer.Close()) {
        std::fprintf(stderr, "%s\n", writer.FailureReason().c_str());
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4 || (std::strcmp(argv[1], "aac") != 0 && std::strcmp(argv[1], "m4a") != 0)) {
        std::fprintf(stderr, "usage: aac_encode_bench aac|m4a in.wav out\n");
        return 2;
    }
    // The encoder's statistics line on closing is not wanted in the output.
    av_log_set_level(AV_LOG_ERROR);
    const auto start = std::chrono::steady_clock::now();
    int result;
    if (std::strcmp(argv[1], "aac") == 0) {
        sonavert::AacEncoder writer;
        result = Encode(writer, argv[2], argv[3]);
    } else {
        sonavert::M4aWriter writer;
        result = Encode(writer, argv[2], argv[3]);
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    if (result == 0) std::printf("%.3f\n", took.count());
    return result;
}
