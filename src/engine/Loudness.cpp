#include "engine/Loudness.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include <ebur128.h>

#include "tags/GainTags.h"

namespace sonavert {

namespace {

// The meter's channel for one WAVE_FORMAT_EXTENSIBLE position bit: the front pair and centre
// weigh 1, every surround 1.41 (both sides of the back and the sides), the LFE is not counted.
int ChannelOfPosition(uint32_t bit) {
    switch (bit) {
        case 0x1: return EBUR128_LEFT;
        case 0x2: return EBUR128_RIGHT;
        case 0x4: return EBUR128_CENTER;
        case 0x8: return EBUR128_UNUSED;
        case 0x10: case 0x200: return EBUR128_LEFT_SURROUND;
        case 0x20: case 0x400: return EBUR128_RIGHT_SURROUND;
        default: return EBUR128_LEFT;  // other positions weigh 1
    }
}

}  // namespace

struct LoudnessMeter::State {
    ebur128_state* st = nullptr;
    ~State() {
        if (st) ebur128_destroy(&st);
    }
};

bool LoudnessFigures::Audible() const { return measured && std::isfinite(integrated); }

double LoudnessFigures::TruePeakDb() const { return truePeak > 0 ? 20.0 * std::log10(truePeak) : -HUGE_VAL; }

LoudnessMeter::LoudnessMeter(uint32_t channels, uint32_t rate, uint32_t channelMask) : channels_(channels) {
    if (channels < 1 || channels > 8 || rate < 1) return;
    ebur128_state* st = ebur128_init(channels, rate, EBUR128_MODE_I | EBUR128_MODE_TRUE_PEAK);
    if (!st) return;
    state_ = std::make_unique<State>();
    state_->st = st;
    if (!channelMask) return;
    // The channels lie in the order of the mask's set bits.
    uint32_t channel = 0;
    for (uint32_t bit = 1; bit && channel < channels; bit <<= 1)
        if (channelMask & bit) ebur128_set_channel(st, channel++, ChannelOfPosition(bit));
}

LoudnessMeter::~LoudnessMeter() = default;

bool LoudnessMeter::Valid() const { return state_ != nullptr; }

void LoudnessMeter::AddPlanar16(const int16_t* left, const int16_t* right, uint32_t frames) {
    if (!state_ || !left || frames == 0) return;
    if (channels_ == 1) {
        ebur128_add_frames_short(state_->st, left, frames);
        return;
    }
    if (channels_ != 2 || !right) return;
    interleaved_.resize(size_t{frames} * 2);
    for (uint32_t i = 0; i < frames; ++i) {
        interleaved_[2 * i] = left[i];
        interleaved_[2 * i + 1] = right[i];
    }
    ebur128_add_frames_short(state_->st, interleaved_.data(), frames);
}

void LoudnessMeter::AddPlanar8(const uint8_t* left, const uint8_t* right, uint32_t frames) {
    if (!state_ || !left || frames == 0 || channels_ > 2 || (channels_ == 2 && !right)) return;
    interleaved_.resize(size_t{frames} * channels_);
    // Centred on 128, in the 16-bit scale the meter reads.
    auto wide = [](uint8_t u) { return static_cast<short>((static_cast<int>(u) - 128) * 256); };
    for (uint32_t i = 0; i < frames; ++i) {
        interleaved_[i * channels_] = wide(left[i]);
        if (channels_ == 2) interleaved_[2 * i + 1] = wide(right[i]);
    }
    ebur128_add_frames_short(state_->st, interleaved_.data(), frames);
}

void LoudnessMeter::AddInterleaved(const double* samples, uint32_t frames) {
    if (state_ && samples && frames) ebur128_add_frames_double(state_->st, samples, frames);
}

LoudnessFigures LoudnessMeter::Figures() const { return Combined({this}); }

LoudnessFigures LoudnessMeter::Combined(const std::vector<const LoudnessMeter*>& meters) {
    LoudnessFigures f;
    std::vector<ebur128_state*> states;
    for (const LoudnessMeter* m : meters) {
        if (!m || !m->state_) continue;
        states.push_back(m->state_->st);
        for (uint32_t c = 0; c < m->channels_; ++c) {
            double peak = 0;
            if (ebur128_true_peak(m->state_->st, c, &peak) == EBUR128_SUCCESS) f.truePeak = std::max(f.truePeak, peak);
        }
    }
    if (states.empty()) return f;
    double loudness = 0;
    if (ebur128_loudness_global_multiple(states.data(), states.size(), &loudness) != EBUR128_SUCCESS) return f;
    f.measured = true;
    f.integrated = loudness;
    return f;
}

double NormalisingGainDb(const LoudnessFigures& figures, double targetLufs, double ceilingDbtp) {
    if (!figures.Audible()) return 0;
    double gain = targetLufs - figures.integrated;
    const double peak = figures.TruePeakDb();
    if (std::isfinite(peak) && peak + gain > ceilingDbtp) gain = ceilingDbtp - peak;
    return gain;
}

bool NormalisesLoudness(const Settings& s) { return s.LoudnessGainMode == kGainNormaliseFile; }

bool MeasuresLoudness(const Settings& s) { return s.LoudnessAnalysis != 0 || NormalisesLoudness(s); }

std::string LoudnessText(const LoudnessFigures& figures) {
    if (!figures.measured) return std::string();
    if (!figures.Audible()) return "silent";
    char text[96];
    const double peak = figures.TruePeakDb();
    std::snprintf(text, sizeof text, "%.1f LUFS, true peak %.1f dBTP, track gain %+.1f dB", figures.integrated,
                  std::isfinite(peak) ? peak : -99.9, kReplayGainReference - figures.integrated);
    return text;
}

}  // namespace sonavert
