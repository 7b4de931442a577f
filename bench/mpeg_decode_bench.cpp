// Decodes an MPEG audio file through the decoding layer's two MPEG paths, libmpg123 (what the layer
// uses for MPEG audio files) and libavcodec (what it used before), best of three runs each, and
// prints the seconds of each and the ratio.
//
//   mpeg_decode_bench file.mp3
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "sources/bass/Channel.h"

using namespace sonavert::bass;

namespace {

bool AcceptAll(int, const char*) { return true; }

// Seconds to decode the whole stream, or -1 when it cannot be opened. `bytes` receives the total.
double DecodeOnce(const std::string& path, bool throughFfmpeg, size_t& bytes) {
    const auto start = std::chrono::steady_clock::now();
    int error = 0;
    std::unique_ptr<Channel> channel =
        throughFfmpeg ? OpenFfmpegStream(path, AcceptAll, error, true) : OpenMpg123Stream(path, error);
    if (!channel) return -1;
    std::vector<uint8_t> block(4608 * 4);
    bytes = 0;
    for (;;) {
        DWORD n = channel->GetData(block.data(), static_cast<DWORD>(block.size()));
        if (n == static_cast<DWORD>(-1) || n == 0) break;
        bytes += n;
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double Best(const std::string& path, bool throughFfmpeg, size_t& bytes) {
    double best = -1;
    for (int i = 0; i < 3; ++i) {
        double t = DecodeOnce(path, throughFfmpeg, bytes);
        if (t < 0) return -1;
        best = best < 0 ? t : std::min(best, t);
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: mpeg_decode_bench file.mp3\n");
        return 2;
    }
    size_t mpgBytes = 0, ffBytes = 0;
    const double mpg = Best(argv[1], false, mpgBytes);
    const double ff = Best(argv[1], true, ffBytes);
    if (mpg < 0 || ff < 0) {
        std::fprintf(stderr, "cannot decode %s\n", argv[1]);
        return 1;
    }
    std::printf("libmpg123: %.3f s (%zu bytes)\n", mpg, mpgBytes);
    std::printf("libavcodec: %.3f s (%zu bytes)  (libmpg123 / libavcodec = %.3f)\n", ff, ffBytes, mpg / ff);
    return 0;
}
