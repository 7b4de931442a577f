#include "winmedia/WindowsMediaRuntime.h"

#include <atomic>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace sonavert {
namespace {

std::atomic<bool> g_missingForTesting{false};

}  // namespace

bool LoadWindowsMediaRuntime() {
    if (g_missingForTesting.load()) return false;
    static const bool available = av_guess_format("asf", nullptr, nullptr) != nullptr &&
                                  av_find_input_format("asf") != nullptr &&
                                  avcodec_find_encoder(AV_CODEC_ID_WMAV2) != nullptr &&
                                  avcodec_find_decoder(AV_CODEC_ID_WMAV1) != nullptr &&
                                  avcodec_find_decoder(AV_CODEC_ID_WMAV2) != nullptr;
    return available;
}

void SetWindowsMediaRuntimeMissingForTesting(bool missing) { g_missingForTesting.store(missing); }

}  // namespace sonavert
