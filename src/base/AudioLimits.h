#pragma once
// What a conversion can carry from end to end: the sample rates a source may report and a target
// may be written at, and the channel counts and sample sizes the encoders take. The readers, the
// pipelines and the settings' accepted values are all bounded by these.
#include <cstdint>

namespace sonavert {

// Beyond these rates no decoder, converter or writer serves a stream (a damaged header's
// 0xFFFFFFFF or 0, a hand-edited setting).
inline constexpr uint32_t kMinSampleRate = 1;
inline constexpr uint32_t kMaxSampleRate = 768000;
inline constexpr bool UsableSampleRate(uint64_t rate) { return rate >= kMinSampleRate && rate <= kMaxSampleRate; }

// Planes handed to an encoder: mono or stereo.
inline constexpr uint32_t kMaxTargetChannels = 2;
// Sample sizes the encoders take: unsigned 8-bit or signed 16-bit.
inline constexpr uint32_t kTargetSampleBits[] = {8, 16};

// What families fed by the wide read store: up to eight channels of integer samples of 4 to 32
// bits, or 32- or 64-bit floating-point samples.
inline constexpr uint32_t kMaxWideTargetChannels = 8;
inline constexpr bool WideTargetBits(uint32_t bits, bool isFloat) {
    return isFloat ? (bits == 32 || bits == 64) : (bits >= 4 && bits <= 32);
}

}  // namespace sonavert
