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

// Interpolation of the true peak: a 64-tap Kaiser-windowed sinc at positions between two samples
// (in sixteenths). libebur128's own four-times filter reads clicks and other sharp
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

// The true peak of one channel: sample peaks everywhere, and interpolated values between two
// samples that may rise above the peak so far (Worth). The midpoint is interpolated, and only
// near the peak the quarter points. The last samples of a stream are only checked as samples (no
// window ends after them). Samples are kept as floats: their 24 bits put the interpolated values
// within a millionth of the peak, and twice as many fit a vector as doubles would.
struct TruePeakChannel {
    // The last kPeakTaps - 1 samples of the blocks so far (zeros at first), then the new block.
    std::vector<float> buffer = std::vector<float>(kPeakTaps - 1, 0.0f);
    double peak = 0;

    static double Phase(const float* w, int p) {
        const double* h = &PeakTable()[size_t{static_cast<unsigned>(p)} * kPeakTaps];
        // Four sums side by side, so the additions need not wait for each other.
        double v[4] = {0, 0, 0, 0};
        for (int j = 0; j < kPeakTaps; j += 4)
            for (int k = 0; k < 4; ++k) v[k] += h[j + k] * w[j + k];
        return std::fabs((v[0] + v[1]) + (v[2] + v[3]));
    }

    // Adds `n` samples, the i-th being sample(i).
    template <typename Sample>
    void Add(size_t n, Sample sample) {
        const size_t kept = kPeakTaps - 1;
        buffer.resize(kept + n);
        float* out = buffer.data() + kept;
        // Four running maxima, so that each comparison need not wait for the one before.
        double highest[4] = {peak, 0, 0, 0};  // in registers: the stores into the buffer could alias a member
        size_t i = 0;
        for (; i + 4 <= n; i += 4)
            for (size_t k = 0; k < 4; ++k) {
                const double x = sample(i + k);
                out[i + k] = static_cast<float>(x);
                highest[k] = std::max(highest[k], std::fabs(x));
            }
        for (; i < n; ++i) {
            const double x = sample(i);
            out[i] = static_cast<float>(x);
            highest[0] = std::max(highest[0], std::fabs(x));
        }
        peak = std::max(std::max(highest[0], highest[1]), std::max(highest[2], highest[3]));
        // Every window that ends in the new block: its middle pair is checked when it may matter
        // against the peak at the block's end, which is at least the peak any of them is later
        // checked against. The test runs over fixed runs of windows without branches (so that it
        // vectorises), and only a run with a window worth it is looked at one by one: on a
        // steady tone or noise that is rare.
        const size_t windows = buffer.size() + 1 - kPeakTaps;
        const float* m = buffer.data() + kPeakHalf - 1;  // the left sample of each middle pair
        const float top = static_cast<float>(peak);
        constexpr size_t kRun = 16;
        size_t w = 0;
        for (; w + kRun <= windows; w += kRun) {
            int any = 0;
            for (size_t k = 0; k < kRun; ++k) any |= Worth(m + w + k, top);
            if (any)
                for (size_t k = 0; k < kRun; ++k)
                    if (Worth(m + w + k, top)) Check(&buffer[w + k]);
        }
        for (; w < windows; ++w)
            if (Worth(m + w, top)) Check(&buffer[w]);
        std::copy(buffer.end() - static_cast<std::ptrdiff_t>(kept), buffer.end(), buffer.begin());
        buffer.resize(kept);
    }

    // How high the signal can rise between `a` and `b`: the four-point estimate of the midpoint
    // and a quarter of the bends (second differences) at both samples. A tone's crest bends by
    // its height times the square of its angular step ω, and rises above the estimate by about
    // a thirty-second of that (1 - cos(ω/4) at most): the quarter bends leave it a wide margin,
    // while most crests of a steady tone stay below the peak and need no interpolation. A sharp
    // signal (a click, whose midpoint the estimate reads at three quarters) bends by about its
    // height and is always interpolated.
    static float Reach(float before, float a, float b, float after, float estimate) {
        return estimate + 0.25f * (std::fabs(before - 2 * a + b) + std::fabs(a - 2 * b + after));
    }

    // Whether the pair from `m[0]` to `m[1]` may rise above `top` between them: both of one sign,
    // the higher of the four around them, within 6 dB of `top` (a band-limited signal's overshoot
    // between samples stays below that), a four-point estimate of the midpoint within 0.7 of it
    // (the estimate reads a lone click's overshoot at about three quarters of its height), and
    // its reach above it. 1 or 0, computed without branches: on noise each test alone would be a
    // coin toss.
    static int Worth(const float* m, float top) {
        const float before = m[-1], a = m[0], b = m[1], after = m[2];
        const float pair = std::max(std::fabs(a), std::fabs(b));
        const float estimate = std::fabs(9 * (a + b) - before - after) * (1.0f / 16);
        return (pair >= top * 0.5f) & (a * b >= 0) & (pair >= std::fabs(before)) & (pair >= std::fabs(after)) &
               (estimate >= top * 0.7f) & (Reach(before, a, b, after, estimate) >= top);
    }

    // `w` holds a window, its oldest sample first.
    void Check(const float* w) {
        // The peak may have risen since the window was found worth it.
        if (!Worth(w + kPeakHalf - 1, static_cast<float>(peak))) return;
        const double a = w[kPeakHalf - 1], b = w[kPeakHalf];
        const double mid = Phase(w, kPeakPhases / 2);
        peak = std::max(peak, mid);
        if (mid < peak * 0.9) return;
        // The quarter points too, and the top of the parabola through the highest of the five
        // points and its neighbours.
        const double y[5] = {std::fabs(a), Phase(w, kPeakPhases / 4), mid, Phase(w, 3 * kPeakPhases / 4), std::fabs(b)};
        const int k = static_cast<int>(std::max_element(y, y + 5) - y);
        peak = std::max(peak, y[k]);
        if (k == 0 || k == 4) return;
        const double curve = y[k - 1] - 2 * y[k] + y[k + 1];
        if (curve < 0) peak = std::max(peak, y[k] - (y[k - 1] - y[k + 1]) * (y[k - 1] - y[k + 1]) / (8 * curve));
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
        state_->peaks[0].Add(frames, [left](size_t i) { return left[i] / 32768.0; });
        return;
    }
    if (channels_ != 2 || !right) return;
    interleaved_.resize(size_t{frames} * 2);
    for (uint32_t i = 0; i < frames; ++i) {
        interleaved_[2 * i] = left[i];
        interleaved_[2 * i + 1] = right[i];
    }
    state_->peaks[0].Add(frames, [left](size_t i) { return left[i] / 32768.0; });
    state_->peaks[1].Add(frames, [right](size_t i) { return right[i] / 32768.0; });
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
    for (uint32_t c = 0; c < channels_; ++c)
        state_->peaks[c].Add(frames, [this, c](size_t i) { return interleaved_[i * channels_ + c] / 32768.0; });
    ebur128_add_frames_short(state_->st, interleaved_.data(), frames);
}

void LoudnessMeter::AddInterleaved(const double* samples, uint32_t frames) {
    if (!state_ || !samples || !frames) return;
    ebur128_add_frames_double(state_->st, samples, frames);
    for (uint32_t c = 0; c < channels_; ++c)
        state_->peaks[c].Add(frames, [this, samples, c](size_t i) { return samples[i * channels_ + c]; });
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

bool NormalisesLoudness(const Settings& s) {
    return s.LoudnessGainMode == kGainNormaliseFile || s.LoudnessGainMode == kGainNormaliseAlbum;
}

bool NormalisesAlbums(const Settings& s) { return s.LoudnessGainMode == kGainNormaliseAlbum; }

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
