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

// Interpolation of the true peak: a 64-tap Kaiser-windowed sinc at 15 positions between two
// samples (16 times the rate). libebur128's own four-times filter reads clicks and other sharp
// transients more than a decibel low, which would let a normalised file pass its ceiling.
constexpr int kPeakTaps = 64;
constexpr int kPeakHalf = kPeakTaps / 2;
constexpr int kPeakPhases = 16;

double BesselI0(double x) {
    double sum = 1, term = 1;
    for (int k = 1; k < 30; ++k) {
        term *= (x / (2 * k)) * (x / (2 * k));
        sum += term;
    }
    return sum;
}

const std::vector<double>& PeakTable() {
    static const std::vector<double> table = [] {
        std::vector<double> t(size_t{kPeakPhases} * kPeakTaps);
        const double beta = 8.0;
        for (int p = 1; p < kPeakPhases; ++p) {
            const double f = static_cast<double>(p) / kPeakPhases;
            for (int j = 0; j < kPeakTaps; ++j) {
                // Tap j weighs the sample j - (kPeakHalf - 1) places from the left one.
                const double u = f - (j - (kPeakHalf - 1));
                const double sinc = std::sin(M_PI * u) / (M_PI * u);
                const double r = u / (kPeakHalf + 0.5);
                const double window = BesselI0(beta * std::sqrt(std::max(0.0, 1 - r * r))) / BesselI0(beta);
                t[size_t{static_cast<unsigned>(p)} * kPeakTaps + static_cast<size_t>(j)] = sinc * window;
            }
        }
        return t;
    }();
    return table;
}

}  // namespace

// The true peak of one channel: sample peaks everywhere, and the interpolated values between
// two samples of which one comes within 12 dB of the highest peak so far (elsewhere no
// overshoot of a band-limited signal reaches it).
struct TruePeakChannel {
    std::vector<double> history = std::vector<double>(2 * kPeakTaps, 0.0);  // the last samples, twice
    size_t pos = 0;
    uint64_t seen = 0;
    double peak = 0;

    void Add(double x) {
        peak = std::max(peak, std::fabs(x));
        history[pos] = history[pos + kPeakTaps] = x;
        pos = (pos + 1) % kPeakTaps;
        if (++seen < kPeakTaps) return;
        // The window's oldest sample first: the pair in its middle is checked.
        const double* w = &history[pos];
        const double a = std::fabs(w[kPeakHalf - 1]), b = std::fabs(w[kPeakHalf]);
        if (std::max(a, b) < peak * 0.25) return;
        const std::vector<double>& table = PeakTable();
        for (int p = 1; p < kPeakPhases; ++p) {
            const double* h = &table[size_t{static_cast<unsigned>(p)} * kPeakTaps];
            double v = 0;
            for (int j = 0; j < kPeakTaps; ++j) v += h[j] * w[j];
            peak = std::max(peak, std::fabs(v));
        }
    }
};

struct LoudnessMeter::State {
    ebur128_state* st = nullptr;
    std::vector<TruePeakChannel> peaks;
    ~State() {
        if (st) ebur128_destroy(&st);
    }
};

bool LoudnessFigures::Audible() const { return measured && std::isfinite(integrated); }

double LoudnessFigures::TruePeakDb() const { return truePeak > 0 ? 20.0 * std::log10(truePeak) : -HUGE_VAL; }

LoudnessMeter::LoudnessMeter(uint32_t channels, uint32_t rate, uint32_t channelMask) : channels_(channels) {
    if (channels < 1 || channels > 8 || rate < 1) return;
    ebur128_state* st = ebur128_init(channels, rate, EBUR128_MODE_I);
    if (!st) return;
    state_ = std::make_unique<State>();
    state_->st = st;
    state_->peaks.resize(channels);
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
        for (uint32_t i = 0; i < frames; ++i) state_->peaks[0].Add(left[i] / 32768.0);
        return;
    }
    if (channels_ != 2 || !right) return;
    interleaved_.resize(size_t{frames} * 2);
    for (uint32_t i = 0; i < frames; ++i) {
        interleaved_[2 * i] = left[i];
        interleaved_[2 * i + 1] = right[i];
        state_->peaks[0].Add(left[i] / 32768.0);
        state_->peaks[1].Add(right[i] / 32768.0);
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
    for (size_t i = 0; i < interleaved_.size(); ++i) state_->peaks[i % channels_].Add(interleaved_[i] / 32768.0);
    ebur128_add_frames_short(state_->st, interleaved_.data(), frames);
}

void LoudnessMeter::AddInterleaved(const double* samples, uint32_t frames) {
    if (!state_ || !samples || !frames) return;
    ebur128_add_frames_double(state_->st, samples, frames);
    for (size_t i = 0; i < size_t{frames} * channels_; ++i) state_->peaks[i % channels_].Add(samples[i]);
}

LoudnessFigures LoudnessMeter::Figures() const { return Combined({this}); }

LoudnessFigures LoudnessMeter::Combined(const std::vector<const LoudnessMeter*>& meters) {
    LoudnessFigures f;
    std::vector<ebur128_state*> states;
    for (const LoudnessMeter* m : meters) {
        if (!m || !m->state_) continue;
        states.push_back(m->state_->st);
        for (const TruePeakChannel& channel : m->state_->peaks) f.truePeak = std::max(f.truePeak, channel.peak);
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
