#include "sources/AudioSource.h"

namespace sonavert {

void AudioSource::ResetFormat() {
    length = 0;
    position = 0;
    duration = 0;
    sampleRate = 0;
    storedChannels = 0;
    channels = 0;
    bitsPerSample = 0;
    bytesPerSample = 0;
    bitRate = 0;
    channelMode = kModeNone;
    videoWidth = 0;
    videoHeight = 0;
    videoFrameRate = 0.0;
}

WideFormat AudioSource::GetWideFormat() {
    WideFormat f;
    const uint32_t n = GetChannels();
    f.channels = n == 0 ? 0 : (n >= 2 ? 2 : 1);
    f.channelMask = f.channels == 2 ? 0x3 : (f.channels == 1 ? 0x4 : 0);
    f.bits = GetBitsPerSample() == 8 ? 8 : 16;
    return f;
}

uint32_t AudioSource::ReadWide(double* interleaved) {
    const WideFormat f = GetWideFormat();
    if (!interleaved || f.channels == 0) return 0;
    int16_t left[kBlockFrames];
    int16_t right[kBlockFrames];
    const uint32_t n = Read(left, f.channels == 2 ? right : nullptr);
    if (n > kBlockFrames) return 0;  // a decoder overstepping its block size is broken
    if (f.bits == 8) {
        const auto* l = reinterpret_cast<const uint8_t*>(left);
        const auto* r = reinterpret_cast<const uint8_t*>(right);
        for (uint32_t i = 0; i < n; ++i) {
            interleaved[i * f.channels] = (static_cast<int>(l[i]) - 128) / 128.0;
            if (f.channels == 2) interleaved[i * 2 + 1] = (static_cast<int>(r[i]) - 128) / 128.0;
        }
    } else {
        for (uint32_t i = 0; i < n; ++i) {
            interleaved[i * f.channels] = left[i] / 32768.0;
            if (f.channels == 2) interleaved[i * 2 + 1] = right[i] / 32768.0;
        }
    }
    return n;
}

}  // namespace sonavert
