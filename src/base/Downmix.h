#pragma once
// Stereo downmix of multi-channel audio: every channel goes to the left and/or right output with a
// gain fixed by its speaker position, LFE dropped, and the result scaled so that it cannot clip.
//
// Speaker positions are the WAVE_FORMAT_EXTENSIBLE channel-mask bits. A layout names the position
// of each interleaved channel in stream order (0 = a channel assigned to no speaker, which is not
// heard). Gains into the output on the speaker's side (both outputs for centre positions):
//   front left/right and front left/right of centre  1.0
//   centre, back centre, top centre positions          0.7071 into each output
//   back, side and top left/right surrounds           0.7071
//   LFE                                                0 (dropped)
// Each output is then divided by the larger of the two outputs' gain sums (for 5.1: 1/(1 + 0.7071
// + 0.7071)), so that full-scale samples on every channel at once stay within range and a
// lopsided layout keeps its balance.
#include <cstdint>
#include <vector>

namespace sonavert {

enum SpeakerBit : uint32_t {
    kSpeakerFrontLeft = 0x1,
    kSpeakerFrontRight = 0x2,
    kSpeakerFrontCenter = 0x4,
    kSpeakerLowFrequency = 0x8,
    kSpeakerBackLeft = 0x10,
    kSpeakerBackRight = 0x20,
    kSpeakerFrontLeftOfCenter = 0x40,
    kSpeakerFrontRightOfCenter = 0x80,
    kSpeakerBackCenter = 0x100,
    kSpeakerSideLeft = 0x200,
    kSpeakerSideRight = 0x400,
    kSpeakerTopCenter = 0x800,
    kSpeakerTopFrontLeft = 0x1000,
    kSpeakerTopFrontCenter = 0x2000,
    kSpeakerTopFrontRight = 0x4000,
    kSpeakerTopBackLeft = 0x8000,
    kSpeakerTopBackCenter = 0x10000,
    kSpeakerTopBackRight = 0x20000,
};

// The speaker of each interleaved channel, in stream order.
using SpeakerLayout = std::vector<uint32_t>;

// The usual WAVE mask for a channel count when a file states none: 3 FL FR FC, 4 quad, 5 FL FR FC
// BL BR, 6 5.1, 7 FL FR FC LFE BC SL SR, 8 7.1; 0 for other counts.
uint32_t DefaultChannelMask(uint32_t channels);

// Channels assigned to the mask's set bits from the lowest up (the WAVE and FFmpeg native order);
// channels beyond the mask's bits, and bits beyond the defined positions, get 0. A mask of 0 means
// DefaultChannelMask(channels).
SpeakerLayout LayoutFromMask(uint32_t channels, uint32_t mask);

// Vorbis (and Opus) channel order: 3 L C R, 4 FL FR BL BR, 5 FL C FR BL BR, 6 FL C FR BL BR LFE,
// 7 FL C FR SL SR BC LFE, 8 FL C FR SL SR BL BR LFE. Nine and more channels have no defined
// order: the first two are taken as left and right and the rest are not heard.
SpeakerLayout VorbisLayout(uint32_t channels);

class StereoDownmix {
public:
    // An empty mix (Channels() 0) until configured.
    StereoDownmix() = default;
    explicit StereoDownmix(const SpeakerLayout& layout);

    uint32_t Channels() const { return static_cast<uint32_t>(left_.size()); }
    // Gain of channel `c` in the left and right output, normalisation included.
    float LeftGain(uint32_t c) const { return c < left_.size() ? left_[c] : 0.0f; }
    float RightGain(uint32_t c) const { return c < right_.size() ? right_[c] : 0.0f; }

    // Mixes `frames` interleaved frames of Channels() samples into the two planes. The integer
    // forms round to the nearest value; 8-bit samples are unsigned, centred on 128. `right` may be
    // null (only the left output is written).
    void Mix(const float* in, uint32_t frames, float* left, float* right) const;
    void Mix(const int16_t* in, uint32_t frames, int16_t* left, int16_t* right) const;
    void Mix(const uint8_t* in, uint32_t frames, uint8_t* left, uint8_t* right) const;

private:
    std::vector<float> left_, right_;
};

}  // namespace sonavert
