#include "base/Downmix.h"

#include <algorithm>
#include <cmath>

namespace sonavert {

namespace {

constexpr float kMinus3dB = 0.70710678f;
constexpr uint32_t kDefinedSpeakers = 0x3FFFF;

struct Gains {
    float left, right;
};

Gains GainsOf(uint32_t speaker) {
    switch (speaker) {
        case kSpeakerFrontLeft:
        case kSpeakerFrontLeftOfCenter: return {1.0f, 0.0f};
        case kSpeakerFrontRight:
        case kSpeakerFrontRightOfCenter: return {0.0f, 1.0f};
        case kSpeakerFrontCenter:
        case kSpeakerBackCenter:
        case kSpeakerTopCenter:
        case kSpeakerTopFrontCenter:
        case kSpeakerTopBackCenter: return {kMinus3dB, kMinus3dB};
        case kSpeakerBackLeft:
        case kSpeakerSideLeft:
        case kSpeakerTopFrontLeft:
        case kSpeakerTopBackLeft: return {kMinus3dB, 0.0f};
        case kSpeakerBackRight:
        case kSpeakerSideRight:
        case kSpeakerTopFrontRight:
        case kSpeakerTopBackRight: return {0.0f, kMinus3dB};
        default: return {0.0f, 0.0f};  // LFE, or no speaker
    }
}

template <typename T, typename ToFloat, typename FromFloat>
void MixFrames(const std::vector<float>& lg, const std::vector<float>& rg, const T* in, uint32_t frames, T* left,
               T* right, ToFloat toFloat, FromFloat fromFloat) {
    const size_t ch = lg.size();
    if (ch == 0 || !in || !left) return;
    for (uint32_t i = 0; i < frames; ++i, in += ch) {
        float l = 0.0f, r = 0.0f;
        for (size_t c = 0; c < ch; ++c) {
            const float x = toFloat(in[c]);
            l += lg[c] * x;
            r += rg[c] * x;
        }
        left[i] = fromFloat(l);
        if (right) right[i] = fromFloat(r);
    }
}

}  // namespace

uint32_t DefaultChannelMask(uint32_t channels) {
    switch (channels) {
        case 1: return kSpeakerFrontCenter;
        case 2: return kSpeakerFrontLeft | kSpeakerFrontRight;
        case 3: return 0x7;
        case 4: return 0x33;
        case 5: return 0x37;
        case 6: return 0x3F;
        case 7: return 0x70F;
        case 8: return 0x63F;
        default: return 0;
    }
}

SpeakerLayout LayoutFromMask(uint32_t channels, uint32_t mask) {
    if (mask == 0) mask = DefaultChannelMask(channels);
    SpeakerLayout layout(channels, 0);
    uint32_t c = 0;
    for (uint32_t bit = 0; bit < 32 && c < channels; ++bit) {
        const uint32_t speaker = uint32_t{1} << bit;
        if (!(mask & speaker)) continue;
        layout[c++] = (speaker & kDefinedSpeakers) ? speaker : 0;
    }
    return layout;
}

SpeakerLayout VorbisLayout(uint32_t channels) {
    constexpr uint32_t L = kSpeakerFrontLeft, R = kSpeakerFrontRight, C = kSpeakerFrontCenter,
                       LFE = kSpeakerLowFrequency, BL = kSpeakerBackLeft, BR = kSpeakerBackRight,
                       BC = kSpeakerBackCenter, SL = kSpeakerSideLeft, SR = kSpeakerSideRight;
    switch (channels) {
        case 1: return {C};
        case 2: return {L, R};
        case 3: return {L, C, R};
        case 4: return {L, R, BL, BR};
        case 5: return {L, C, R, BL, BR};
        case 6: return {L, C, R, BL, BR, LFE};
        case 7: return {L, C, R, SL, SR, BC, LFE};
        case 8: return {L, C, R, SL, SR, BL, BR, LFE};
        default: {
            SpeakerLayout layout(channels, 0);
            if (channels > 0) layout[0] = L;
            if (channels > 1) layout[1] = R;
            return layout;
        }
    }
}

StereoDownmix::StereoDownmix(const SpeakerLayout& layout) : left_(layout.size()), right_(layout.size()) {
    float leftSum = 0.0f, rightSum = 0.0f;
    for (size_t c = 0; c < layout.size(); ++c) {
        const Gains g = GainsOf(layout[c]);
        left_[c] = g.left;
        right_[c] = g.right;
        leftSum += g.left;
        rightSum += g.right;
    }
    const float sum = std::max(leftSum, rightSum);
    if (sum <= 0.0f) {
        // No channel sits on a speaker that reaches either output: the first two are left and right.
        std::fill(left_.begin(), left_.end(), 0.0f);
        std::fill(right_.begin(), right_.end(), 0.0f);
        if (!left_.empty()) left_[0] = 1.0f;
        if (right_.size() > 1) right_[1] = 1.0f;
        else if (!right_.empty()) right_[0] = 1.0f;
        return;
    }
    for (size_t c = 0; c < layout.size(); ++c) {
        left_[c] /= sum;
        right_[c] /= sum;
    }
}

void StereoDownmix::Mix(const float* in, uint32_t frames, float* left, float* right) const {
    MixFrames(left_, right_, in, frames, left, right, [](float x) { return x; }, [](float x) { return x; });
}

void StereoDownmix::Mix(const int16_t* in, uint32_t frames, int16_t* left, int16_t* right) const {
    MixFrames(
        left_, right_, in, frames, left, right, [](int16_t x) { return static_cast<float>(x); },
        [](float x) { return static_cast<int16_t>(std::clamp(std::lround(x), -32768L, 32767L)); });
}

void StereoDownmix::Mix(const uint8_t* in, uint32_t frames, uint8_t* left, uint8_t* right) const {
    MixFrames(
        left_, right_, in, frames, left, right, [](uint8_t x) { return static_cast<float>(x) - 128.0f; },
        [](float x) { return static_cast<uint8_t>(std::clamp(std::lround(x), -128L, 127L) + 128); });
}

}  // namespace sonavert
