#include "engine/Verify.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <system_error>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCryptographicHash>

#include "base/GrowingFile.h"
#include "encoders/FlacEncoder.h"
#include "encoders/SampleQuantiser.h"
#include "engine/OutputFormats.h"
#include "settings/Settings.h"
#include "sources/DecodeBack.h"
#include "tags/CoverArt.h"
#include "tags/TagReading.h"

namespace sonavert {

bool VerifiesFamily(const Settings& settings, const FamilyInfo& family) {
    if (settings.VerifyTargets >= 2) return true;
    return settings.VerifyTargets == 1 && family.check.lossless;
}

// ---- SampleMd5 ----

struct SampleMd5::State {
    QCryptographicHash hash{QCryptographicHash::Md5};
};

SampleMd5::SampleMd5(uint32_t bits) : state_(std::make_unique<State>()), bytes_((std::clamp(bits, 1u, 32u) + 7) / 8) {}

SampleMd5::~SampleMd5() = default;

void SampleMd5::Flush() const {
    state_->hash.addData(QByteArrayView(buffer_, static_cast<qsizetype>(fill_)));
    fill_ = 0;
}

void SampleMd5::AddShifted(const int32_t* stored, uint32_t count, uint32_t shift) {
    // As many samples at a time as the buffer holds, in a loop fixed to the sample's size.
    for (uint32_t i = 0; i < count;) {
        const auto n = static_cast<uint32_t>(std::min<size_t>((sizeof buffer_ - fill_) / bytes_, count - i));
        uint8_t* out = buffer_ + fill_;
        switch (bytes_) {
            case 1:
                for (uint32_t k = 0; k < n; ++k) out[k] = static_cast<uint8_t>(stored[i + k] >> shift);
                break;
            case 2:
                for (uint32_t k = 0; k < n; ++k) {
                    const auto u = static_cast<uint32_t>(stored[i + k] >> shift);
                    out[2 * k] = static_cast<uint8_t>(u);
                    out[2 * k + 1] = static_cast<uint8_t>(u >> 8);
                }
                break;
            default:
                for (uint32_t k = 0; k < n; ++k) {
                    const auto u = static_cast<uint32_t>(stored[i + k] >> shift);
                    for (uint32_t b = 0; b < bytes_; ++b) out[k * bytes_ + b] = static_cast<uint8_t>(u >> (8 * b));
                }
                break;
        }
        fill_ += size_t{n} * bytes_;
        i += n;
        if (fill_ + 4 > sizeof buffer_) Flush();
    }
}

std::array<uint8_t, 16> SampleMd5::Result() const {
    Flush();
    const QByteArray sum = state_->hash.result();
    std::array<uint8_t, 16> out{};
    std::memcpy(out.data(), sum.constData(), std::min(out.size(), static_cast<size_t>(sum.size())));
    return out;
}

// ---- SampleLedger ----

void SampleLedger::Begin(uint32_t rate, uint32_t channels, uint32_t bits, bool isFloat, bool keepEnergy) {
    *this = SampleLedger{};
    rate_ = rate;
    channels_ = channels;
    bits_ = bits < 1 ? 1 : (bits > 32 ? 32 : bits);
    isFloat_ = isFloat;
    keepEnergy_ = keepEnergy;
}

namespace {
constexpr double kCodeFloorDb = -130.0;
constexpr double kCodeSteps = 256.0;  // per dB
constexpr uint16_t kLargestCode = 0xfffe;
}  // namespace

uint16_t SampleLedger::EnergyCode(double meanSquare) {
    if (!(meanSquare > 0)) return 0;
    const double steps = (10.0 * std::log10(meanSquare) - kCodeFloorDb) * kCodeSteps;
    if (steps < 1.0) return 0;
    return steps >= kLargestCode ? kLargestCode : static_cast<uint16_t>(std::lround(steps));
}

double SampleLedger::EnergyFromCode(uint16_t code) {
    return code == 0 ? 0.0 : std::pow(10.0, (code / kCodeSteps + kCodeFloorDb) / 10.0);
}

void SampleLedger::KeepMd5() {
    if (!isFloat_) md5_ = std::make_unique<SampleMd5>(bits_);
}

void SampleLedger::CaptureRange(uint64_t start, uint64_t count) {
    capturing_ = true;
    captureStart_ = start;
    captureEnd_ = start + count;
    windowStart_ = start;
    window_.clear();
    window_.reserve(count);
}

namespace {

// The span checksum: two 32-bit sums over the span's samples of each one mixed with its place
// (by two different mixes), kept as the high and low half of Span::hash. They grow a run at a
// time and every sample's terms are independent of the others, so the loop has no chain from
// sample to sample and vectorises. Each mix is a bijection of the sample for any one place, so a
// single changed sample always changes both halves; more than one cancel only by chance.
constexpr uint32_t kPlaceStep = 0x9e3779b9u;
constexpr uint32_t kMixHigh = 0x85ebca6bu;
constexpr uint32_t kMixLow = 0xc2b2ae35u;

// Samples the planar and wide adders convert at a time.
constexpr size_t kChunkSamples = 4096;

float FloatOfBits(int32_t bits) {
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

// Adds samples [0, count) of `stored`, at 1-based places first.., to the checksum's halves, the
// sum and the sum weighted by place (both wrapping).
// Not under a sanitizer: the variant's resolver runs while the program is being relocated, before
// the sanitizer's runtime is set up, and its instrumented entry crashes the program at start.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_THREAD__) && \
    !defined(__SANITIZE_ADDRESS__)
// Chosen once per process at load: every variant gives the same sums.
__attribute__((target_clones("avx2", "default")))
#endif
void AddSpanSums(const int32_t* stored, uint32_t count, uint32_t shift, uint32_t first, uint32_t& high,
                 uint32_t& low, uint64_t& sum, uint64_t& weighted) {
    uint32_t h = high, l = low;
    uint64_t plain = 0, byPlace = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const int32_t sample = stored[i] >> shift;
        const auto x = static_cast<uint32_t>(sample);
        const uint32_t place = first + i;
        const uint32_t key = place * kPlaceStep;
        uint32_t a = (x ^ key) * kMixHigh;
        a ^= a >> 16;
        uint32_t b = (x + key) * kMixLow;
        b ^= b >> 13;
        h += a;
        l += b;
        plain += static_cast<uint64_t>(static_cast<int64_t>(sample));
        // Exact in 64 bits (a place below 2^23 times a 32-bit sample), then wrapping.
        byPlace += static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(place)) * sample);
    }
    high = h;
    low = l;
    sum += plain;
    weighted += byPlace;
}

// The sum of squares of `count` values, taken from `stored` (as `isFloat` says) where `values`
// is null; in four partial sums so that the additions overlap.
double SumOfSquares(const int32_t* stored, const double* values, uint32_t count, bool isFloat) {
    double e[4] = {0, 0, 0, 0};
    uint32_t i = 0;
    if (values) {
        for (; i + 4 <= count; i += 4)
            for (uint32_t k = 0; k < 4; ++k) e[k] += values[i + k] * values[i + k];
        for (; i < count; ++i) e[0] += values[i] * values[i];
        return (e[0] + e[1]) + (e[2] + e[3]);
    }
    if (isFloat) {
        for (; i + 4 <= count; i += 4)
            for (uint32_t k = 0; k < 4; ++k) {
                const double v = FloatOfBits(stored[i + k]);
                e[k] += v * v;
            }
        for (; i < count; ++i) {
            const double v = FloatOfBits(stored[i]);
            e[0] += v * v;
        }
        return (e[0] + e[1]) + (e[2] + e[3]);
    }
    // The values are the stored integers over 2^31; scaling the sum of squares by 2^-62 at the
    // end is exact.
    for (; i + 4 <= count; i += 4)
        for (uint32_t k = 0; k < 4; ++k) {
            const double v = stored[i + k];
            e[k] += v * v;
        }
    for (; i < count; ++i) {
        const double v = stored[i];
        e[0] += v * v;
    }
    return ((e[0] + e[1]) + (e[2] + e[3])) * 0x1p-62;
}

}  // namespace

void SampleLedger::AddFrames(const int32_t* stored, const double* values, uint32_t frames) {
    const uint32_t channels = channels_;
    const uint32_t shift = isFloat_ ? 0 : 32 - bits_;
    while (frames > 0) {
        if (inSpan_ == 0) spans_.emplace_back();
        Span& span = spans_.back();
        // A run ends at the block's end (spans are whole blocks).
        const auto inBlockFrames = static_cast<uint32_t>(frames_ % kBlockFrames);
        const uint32_t run = std::min(frames, kBlockFrames - inBlockFrames);
        const uint32_t count = run * channels;

        uint32_t high = static_cast<uint32_t>(span.hash >> 32), low = static_cast<uint32_t>(span.hash);
        AddSpanSums(stored, count, shift, inSpan_ + 1, high, low, span.sum, span.weighted);
        span.hash = static_cast<uint64_t>(high) << 32 | low;
        if (md5_) md5_->AddShifted(stored, count, shift);
        // The energy serves the kept levels and, until the window is full, its start.
        const bool windowPending = !capturing_ && window_.size() < kWindowFrames;
        if (keepEnergy_ || windowPending) blockEnergy_ += SumOfSquares(stored, values, count, isFloat_);

        // The mono mix, only for the frames the alignment window may take.
        const bool mixWanted = capturing_ ? frames_ + run > captureStart_ && frames_ < captureEnd_ : windowPending;
        if (mixWanted) {
            for (uint32_t f = 0; f < run; ++f) {
                double mix = 0;
                for (uint32_t c = 0; c < channels; ++c) {
                    const size_t at = size_t{f} * channels + c;
                    mix += values ? values[at] : isFloat_ ? FloatOfBits(stored[at]) : stored[at] * 0x1p-31;
                }
                const float mono = static_cast<float>(mix / channels);
                if (!capturing_)
                    blockMix_.push_back(mono);
                else if (frames_ + f >= captureStart_ && frames_ + f < captureEnd_)
                    window_.push_back(mono);
            }
        }

        frames_ += run;
        inSpan_ += count;
        stored += count;
        if (values) values += count;
        frames -= run;
        if (frames_ % kBlockFrames == 0) EndBlock();
    }
}

void SampleLedger::EndBlock() {
    const double meanSquare = blockEnergy_ / (static_cast<double>(kBlockFrames) * channels_);
    blockEnergy_ = 0;
    if (keepEnergy_) energies_.push_back(EnergyCode(meanSquare));
    if (frames_ % kSpanFrames == 0) inSpan_ = 0;
    if (capturing_ || window_.size() >= kWindowFrames) return;
    // A complete block: the window begins at the first one above -60 dBFS.
    if (!windowOpen_ && meanSquare > 1e-6) {
        windowOpen_ = true;
        windowStart_ = frames_ - kBlockFrames;
    }
    if (windowOpen_) {
        const size_t room = kWindowFrames - window_.size();
        window_.insert(window_.end(), blockMix_.begin(), blockMix_.begin() + std::min(room, blockMix_.size()));
    }
    blockMix_.clear();
}

void SampleLedger::AddInterleaved(const int32_t* stored, const double* values, uint32_t frames) {
    AddFrames(stored, values, frames);
}

void SampleLedger::AddPlanar(const void* left, const void* right, uint32_t frames, uint32_t bits) {
    const uint32_t planes = right && channels_ == 2 ? 2 : 1;
    if (planes != channels_) return;  // Begin was given other channels: nothing consistent to add
    int32_t stored[kChunkSamples];
    const uint32_t chunkFrames = static_cast<uint32_t>(kChunkSamples / planes);
    for (uint32_t done = 0; done < frames;) {
        const uint32_t n = std::min(chunkFrames, frames - done);
        if (planes == 2 && bits != 8) {
            // The common case in one loop over both planes, so that it vectorises.
            const uint16_t* l = static_cast<const uint16_t*>(left) + done;
            const uint16_t* r = static_cast<const uint16_t*>(right) + done;
            for (uint32_t i = 0; i < n; ++i) {
                stored[2 * i] = static_cast<int32_t>(static_cast<uint32_t>(l[i]) << 16);
                stored[2 * i + 1] = static_cast<int32_t>(static_cast<uint32_t>(r[i]) << 16);
            }
        } else {
            for (uint32_t c = 0; c < planes; ++c) {
                const void* plane = c == 0 ? left : right;
                if (bits == 8) {
                    const uint8_t* p = static_cast<const uint8_t*>(plane) + done;
                    for (uint32_t i = 0; i < n; ++i)
                        stored[i * planes + c] = static_cast<int32_t>(static_cast<uint32_t>(p[i] ^ 0x80u) << 24);
                } else {
                    const uint16_t* p = static_cast<const uint16_t*>(plane) + done;
                    for (uint32_t i = 0; i < n; ++i)
                        stored[i * planes + c] = static_cast<int32_t>(static_cast<uint32_t>(p[i]) << 16);
                }
            }
        }
        AddFrames(stored, nullptr, n);
        done += n;
    }
}

void SampleLedger::AddWide(const double* interleaved, uint32_t frames) {
    if (channels_ == 0) return;
    const double scale = std::ldexp(1.0, static_cast<int>(bits_) - 1);
    int32_t stored[kChunkSamples];
    const uint32_t chunkFrames = static_cast<uint32_t>(kChunkSamples / channels_);
    for (uint32_t done = 0; done < frames;) {
        const uint32_t n = std::min(chunkFrames, frames - done);
        const size_t count = size_t{n} * channels_;
        const double* in = interleaved + size_t{done} * channels_;
        if (isFloat_) {
            for (size_t i = 0; i < count; ++i) {
                const float f = static_cast<float>(in[i]);
                std::memcpy(&stored[i], &f, sizeof f);
            }
        } else {
            // Rounded and clamped as the lossless writers store it (NaN becomes 0).
            const uint32_t shift = 32 - bits_;
            for (size_t i = 0; i < count; ++i)
                stored[i] = static_cast<int32_t>(static_cast<uint32_t>(QuantiseSample(in[i], scale)) << shift);
        }
        AddFrames(stored, nullptr, n);
        done += n;
    }
}

// ---- The check ----

namespace {

constexpr uint32_t kBlock = SampleLedger::kBlockFrames;
constexpr uint32_t kSpan = SampleLedger::kSpanFrames;
// Frames the decoded signal may lead or trail the encoded one by, where no container trims it.
constexpr int64_t kMaxLead = 1024;
constexpr int64_t kMaxLag = 4096;
// Decoded energy is kept per this many frames, so a block can be summed at any alignment.
constexpr uint32_t kSubBlock = 128;
// A block at or above -40 dBFS counts as loud.
constexpr double kLoud = 1e-4;

std::string Seconds(uint64_t frames, uint32_t rate) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f s", rate ? static_cast<double>(frames) / rate : 0.0);
    return text;
}

std::string Failed(const std::string& what) { return "verification failed: " + what; }

// The lag (decoded frame minus encoded frame) at which the decoded window matches the encoded
// one by normalised cross-correlation; 0 when the encoded window is too quiet to tell. A periodic
// signal matches equally well a period apart: of the lags within a hair of the best, the one
// nearest 0 counts.
int64_t BestLag(const SampleLedger& encoded, const SampleLedger& decoded) {
    const std::vector<float>& x = encoded.Window();
    const std::vector<float>& y = decoded.Window();
    double ex = 0;
    for (float v : x) ex += static_cast<double>(v) * v;
    if (x.empty() || ex < 1e-6 * static_cast<double>(x.size())) return 0;
    const int64_t w = static_cast<int64_t>(encoded.WindowStart());
    const int64_t ys = static_cast<int64_t>(decoded.WindowStart());
    const int64_t n = static_cast<int64_t>(x.size());
    // The decoded energy of any span from running sums of squares; the products in four partial
    // sums so that the additions overlap.
    std::vector<double> squares(y.size() + 1, 0.0);
    for (size_t i = 0; i < y.size(); ++i) squares[i + 1] = squares[i] + static_cast<double>(y[i]) * y[i];
    std::vector<std::pair<int64_t, double>> scores;
    double bestScore = -1;
    for (int64_t lag = -kMaxLead; lag <= kMaxLag; ++lag) {
        const int64_t at = w + lag - ys;  // where the window's first frame lies in y
        if (at < 0 || at + n > static_cast<int64_t>(y.size())) continue;
        const float* b = y.data() + at;
        double part[4] = {0, 0, 0, 0};
        int64_t i = 0;
        for (; i + 4 <= n; i += 4)
            for (int k = 0; k < 4; ++k)
                part[k] += static_cast<double>(x[static_cast<size_t>(i + k)]) * b[i + k];
        for (; i < n; ++i) part[0] += static_cast<double>(x[static_cast<size_t>(i)]) * b[i];
        const double dot = (part[0] + part[1]) + (part[2] + part[3]);
        const double ey = squares[static_cast<size_t>(at + n)] - squares[static_cast<size_t>(at)];
        if (ey <= 0) continue;
        const double score = dot / std::sqrt(ex * ey);
        scores.emplace_back(lag, score);
        bestScore = std::max(bestScore, score);
    }
    int64_t best = 0;
    bool found = false;
    for (const auto& [lag, score] : scores) {
        if (score < bestScore - 0.02) continue;
        if (!found || std::llabs(lag) < std::llabs(best)) best = lag;
        found = true;
    }
    return best;
}

// A single differing sample shifts a span's sum by its error e and the weighted sum by e times its
// place; more than one leaves only the span's range to tell.
std::string DifferingSample(const SampleLedger::Span& want, const SampleLedger::Span& got, size_t span,
                            uint32_t channels, uint64_t frames) {
    const auto de = static_cast<int64_t>(got.sum - want.sum);
    const auto dw = static_cast<int64_t>(got.weighted - want.weighted);
    const uint64_t first = static_cast<uint64_t>(span) * kSpan;
    if (de != 0 && dw != INT64_MIN && dw % de == 0) {
        const int64_t place = dw / de;  // 1-based place in the span's interleaved samples
        if (place >= 1 && place <= static_cast<int64_t>(kSpan) * channels)
            return Failed("sample " + std::to_string(first + static_cast<uint64_t>(place - 1) / channels) + " differs");
    }
    const uint64_t last = std::max(first, std::min(first + kSpan, frames) - 1);
    return Failed("samples between " + std::to_string(first) + " and " + std::to_string(last) + " differ");
}

std::string CheckLossless(const SampleLedger& want, const SampleLedger& got, const DecodedStream& stream) {
    if (stream.isFloat != want.IsFloat())
        return Failed(std::string("the samples come back as ") + (stream.isFloat ? "floating point" : "integers"));
    const auto& a = want.Spans();
    const auto& b = got.Spans();
    const size_t common = std::min(a.size(), b.size());
    for (size_t i = 0; i < common; ++i) {
        if (a[i].hash == b[i].hash && a[i].sum == b[i].sum && a[i].weighted == b[i].weighted) continue;
        // A shorter or longer last span is a length difference, told as such below.
        if (i + 1 == common && want.Frames() != got.Frames()) break;
        return DifferingSample(a[i], b[i], i, want.Channels(), want.Frames());
    }
    if (want.Frames() != got.Frames())
        return Failed("length " + Seconds(got.Frames(), want.Rate()) + " of " + Seconds(want.Frames(), want.Rate()));
    return {};
}

// The decoded signal's mean square at the place of each of the encoded record's complete blocks,
// gathered as the target decodes. Sums of squares per kSubBlock decoded frames are kept only
// until every block that spans them is complete, so that a block can be placed at any alignment
// while what is kept stays within a few bytes per block. The blocks' places follow the lag
// (decoded frame minus encoded frame), known once the alignment window has been decoded; until
// then the sub-blocks wait, those before `keepFrom` (no judged block reaches back there) dropped.
class DecodedEnergy {
public:
    DecodedEnergy(size_t blocks, double ratio, uint32_t channels, uint64_t keepFrom)
        : ratio_(ratio), channels_(channels), keepFromSub_(keepFrom / kSubBlock), codes_(blocks, kOutside) {}

    void Add(const DecodedBlock& block) {
        // A sub-block's run at a time, in four partial sums so that the additions overlap.
        const double* v = block.values;
        for (uint32_t left = block.frames; left > 0;) {
            const uint32_t run = std::min(left, kSubBlock - fill_);
            const size_t count = size_t{run} * block.channels;
            double e[4] = {0, 0, 0, 0};
            size_t i = 0;
            for (; i + 4 <= count; i += 4)
                for (size_t k = 0; k < 4; ++k) e[k] += v[i + k] * v[i + k];
            for (; i < count; ++i) e[0] += v[i] * v[i];
            sum_ += (e[0] + e[1]) + (e[2] + e[3]);
            v += count;
            left -= run;
            fill_ += run;
            if (fill_ == kSubBlock) EndSub();
        }
    }
    bool LagKnown() const { return lagKnown_; }
    void SetLag(int64_t lag) {
        lag_ = lag;
        lagKnown_ = true;
        Fold();
    }
    // The mean square at block `i`'s place; negative where the place lies outside the decoded
    // sub-blocks.
    double MeanSquare(size_t i) const {
        return codes_[i] == kOutside ? -1.0 : SampleLedger::EnergyFromCode(codes_[i]);
    }

private:
    static constexpr uint16_t kOutside = 0xffff;

    void EndSub() {
        if (!lagKnown_ && subBase_ + subs_.size() < keepFromSub_) {
            ++subBase_;  // nothing is kept before it: the window of kept ones starts later
        } else {
            subs_.push_back(sum_);
        }
        sum_ = 0;
        fill_ = 0;
        if (lagKnown_) Fold();
    }
    // Where block `i` lies in sub-blocks: [first, end).
    void Place(size_t i, int64_t& first, int64_t& end) const {
        const double from = static_cast<double>(static_cast<uint64_t>(i) * kBlock) * ratio_ + static_cast<double>(lag_);
        const double to = from + kBlock * ratio_;
        first = static_cast<int64_t>(std::floor(from / kSubBlock));
        end = static_cast<int64_t>(std::ceil(to / kSubBlock));
    }
    // Fills the blocks whose sub-blocks have all come, and drops the sub-blocks no later block
    // needs.
    void Fold() {
        const auto received = static_cast<int64_t>(subBase_ + subs_.size());
        for (; next_ < codes_.size(); ++next_) {
            int64_t first, end;
            Place(next_, first, end);
            if (end > received) break;
            if (first < static_cast<int64_t>(subBase_) || end <= first) continue;
            double d = 0;
            for (int64_t k = first; k < end; ++k) d += subs_[static_cast<size_t>(k - static_cast<int64_t>(subBase_))];
            d /= static_cast<double>(end - first) * kSubBlock * channels_;
            codes_[next_] = SampleLedger::EnergyCode(d);
        }
        int64_t keep = received;
        if (next_ < codes_.size()) {
            int64_t end;
            Place(next_, keep, end);
        }
        while (!subs_.empty() && static_cast<int64_t>(subBase_) < keep) {
            subs_.pop_front();
            ++subBase_;
        }
    }

    double ratio_;
    uint32_t channels_;
    uint64_t keepFromSub_;
    double sum_ = 0;
    uint32_t fill_ = 0;
    std::deque<double> subs_;
    uint64_t subBase_ = 0;  // the index of subs_.front()
    bool lagKnown_ = false;
    int64_t lag_ = 0;
    size_t next_ = 0;  // the first block not yet filled
    std::vector<uint16_t> codes_;
};

// `decodedRate`: the rate the target stores, which differs from the encoded one where the encoder
// converts rates itself.
std::string CheckLossy(const SampleLedger& want, const SampleLedger& got, const DecodedEnergy& decoded,
                       const DecodedStream& stream, const FamilyCheck& check) {
    const double ratio = static_cast<double>(stream.rate) / want.Rate();
    const bool sameRate = stream.rate == want.Rate();
    // Length, in encoded frames.
    const double length = static_cast<double>(got.Frames()) / ratio;
    const double expected = static_cast<double>(want.Frames());
    const bool exact = stream.trimmed && check.exactWhenTrimmed;
    const double slack = exact ? (sameRate ? 0.0 : 2.0 / ratio) : static_cast<double>(check.lengthSlack);
    if (length < expected - slack - 1e-9 || length > expected + slack + 1e-9)
        return Failed("length " + Seconds(static_cast<uint64_t>(length), want.Rate()) + " of " +
                      Seconds(want.Frames(), want.Rate()));

    // The decoded signal's energy at each encoded block's place (DecodedEnergy).
    const size_t fullBlocks = want.EnergyBlocks();
    auto meanSquare = [&](size_t i) { return want.MeanSquare(i); };
    // Codecs start and end on a frame of their own: the spans there are not judged.
    const uint64_t edge = check.lengthSlack;
    const uint64_t firstJudged = stream.trimmed ? 0 : edge;
    double dbSum = 0;
    size_t loudBlocks = 0;
    for (size_t i = 0; i < fullBlocks; ++i) {
        const uint64_t at = static_cast<uint64_t>(i) * kBlock;
        if (at < firstJudged || at + kBlock + edge > want.Frames()) continue;
        const double e = meanSquare(i);
        if (e < kLoud) continue;
        const double d = decoded.MeanSquare(i);
        if (d < 0) continue;
        // Onsets and ends smear across a block edge in a lossy codec: judge against the quieter
        // and the louder of the block and its neighbours.
        double lo = e, hi = e;
        if (i > 0) lo = std::min(lo, meanSquare(i - 1)), hi = std::max(hi, meanSquare(i - 1));
        if (i + 1 < fullBlocks) lo = std::min(lo, meanSquare(i + 1)), hi = std::max(hi, meanSquare(i + 1));
        if (d < 1e-9) return Failed("silent at " + Seconds(at, want.Rate()));
        if (d < lo * 0.01 || d > hi * 100) {
            char text[96];
            std::snprintf(text, sizeof text, "level %.0f dB %s the input at ", std::fabs(10 * std::log10(d / e)),
                          d < e ? "below" : "above");
            return Failed(text + Seconds(at, want.Rate()));
        }
        dbSum += 10 * std::log10(d / e);
        ++loudBlocks;
    }
    // Over the whole target the level stays close to what was encoded.
    if (loudBlocks > 0 && std::fabs(dbSum / static_cast<double>(loudBlocks)) > 6.0) {
        char text[64];
        std::snprintf(text, sizeof text, "level %.1f dB %s the input", std::fabs(dbSum / static_cast<double>(loudBlocks)),
                      dbSum < 0 ? "below" : "above");
        return Failed(text);
    }
    return {};
}

// Tag text as the reader gives it back: line breaks as blanks, no trailing blanks.
std::string Normalised(std::string text) {
    for (char& c : text)
        if (c == '\n' || c == '\r') c = ' ';
    while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.pop_back();
    return text;
}

// Whether `read` is `written` as the target's tag format keeps it: the same, or cut short (ID3v1
// keeps 30 bytes). Text beyond ASCII may come back substituted in single-byte tags, so there only
// its presence counts.
bool ReadsBackAs(const std::string& written, const std::string& read) {
    const std::string want = Normalised(written), got = Normalised(read);
    if (want.empty() || got == want) return true;
    if (got.empty()) return false;
    if (std::any_of(want.begin(), want.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; }))
        return true;
    return want.rfind(got, 0) == 0;
}

std::string CheckTags(const std::string& path, const EncodeRecord& record) {
    if (!record.tagsWritten) return {};
    std::string text;
    TagRecord read;
    if (ReadTagsText(path, text)) SplitTagsText(text, read);
    if (!ReadsBackAs(record.tags.title, read.title))
        return Failed("the title reads back as \"" + Normalised(read.title) + "\"");
    if (!ReadsBackAs(record.tags.artist, read.artist))
        return Failed("the artist reads back as \"" + Normalised(read.artist) + "\"");
    return {};
}

// FLAC: the stream information states the format the samples were handed in, which players
// take from it, and holds the MD5 of those samples. The encoder always sets the MD5, so an unset
// (all-zero) sum fails too. The decoded samples are compared with the handed ones before, so the
// MD5 of either stands for the other: that of the decoded samples where they were summed, else
// that of the handed ones summed beside the encoder.
std::string CheckStreamInfo(const std::string& path, const EncodeRecord& record, const SampleLedger& decoded,
                            const FamilyCheck& check) {
    const SampleMd5* kept = decoded.Md5();
    if (!check.streamMd5 || (!kept && !record.handedMd5Set)) return {};
    FlacStreamInfo info;
    if (!ReadFlacStreamInfo(path, info)) return Failed("the FLAC stream information cannot be read");
    const SampleLedger& want = record.samples;
    if (info.rate != want.Rate() || info.channels != want.Channels() || info.bits != want.Bits())
        return Failed("the FLAC stream information states " + std::to_string(info.rate) + " Hz, " +
                      std::to_string(info.channels) + " channels of " + std::to_string(info.bits) + " bits");
    if (std::all_of(std::begin(info.md5), std::end(info.md5), [](uint8_t b) { return b == 0; }))
        return Failed("FLAC MD5 not set");
    const std::array<uint8_t, 16> sum = kept ? kept->Result() : record.handedMd5;
    if (!std::equal(sum.begin(), sum.end(), std::begin(info.md5))) return Failed("FLAC MD5 differs");
    return {};
}

// The cover picture written reads back with the same bytes.
std::string CheckPicture(const std::string& path, const EncodeRecord& record) {
    if (!record.picture) return {};
    Picture read;
    if (ReadEmbeddedPicture(path, read) != PictureRead::kFound || read.data != record.picture->data)
        return Failed("picture differs");
    return {};
}

}  // namespace

std::string VerifyTarget(const std::string& path, const EncodeRecord& record, const FamilyCheck& check,
                         ProgressSink& progress, int decodeThreads) {
    const SampleLedger& want = record.samples;
    const uint32_t rate = record.storedRate ? record.storedRate : want.Rate();
    const uint32_t channels = record.storedChannels ? record.storedChannels : want.Channels();
    if (check.lossless && (rate != want.Rate() || channels != want.Channels()))
        return Failed("the encoder did not store the samples it was handed");
    // A lossless target decoded while it was written serves, when the finished file is still what
    // that decode read; anything else (a failed or short decode, a file changed since) is decoded
    // again, whole.
    const DecodedTarget* decoded = nullptr;
    if (record.follower && check.lossless) {
        bool cancelled = false;
        decoded = record.follower->Finish(path, progress, cancelled);
        if (cancelled) return "cancelled";
    }
    DecodedTarget here;
    SampleLedger& got = here.samples;
    // Lossy targets at the encoded rate are aligned by the window (unless the container trims the
    // codec's delay); the decoded energy is placed by that lag.
    const bool aligns = !check.lossless && rate == want.Rate() && !want.Window().empty();
    uint64_t captureStart = 0, captureEnd = 0;
    DecodedEnergy energy(check.lossless ? 0 : want.EnergyBlocks(), static_cast<double>(rate) / want.Rate(), channels,
                         aligns && want.WindowStart() > kMaxLead ? want.WindowStart() - kMaxLead : 0);
    DecodedStream& stream = here.stream;
    auto settleLag = [&] { energy.SetLag(aligns && !stream.trimmed ? BestLag(want, got) : 0); };
    if (!decoded) {
        got.Begin(rate, channels, want.Bits(), want.IsFloat(), false);
        if (check.streamMd5) got.KeepMd5();
        if (aligns) {
            captureStart = want.WindowStart() > kMaxLead ? want.WindowStart() - kMaxLead : 0;
            captureEnd = want.WindowStart() + want.Window().size() + kMaxLag;
            got.CaptureRange(captureStart, captureEnd - captureStart);
        }
        if (!aligns) settleLag();
        uint32_t calls = 0;
        auto take = [&](const DecodedBlock& block) {
            if (block.channels != channels) {
                here.channelsMatch = false;
                return true;  // told once the decode ends, with the stream's channels
            }
            got.AddInterleaved(block.stored, block.values, block.frames);
            if (!check.lossless) {
                energy.Add(block);
                if (!energy.LagKnown() && got.Frames() >= captureEnd) settleLag();
            }
            if (++calls % 64 == 0) {
                progress.Pump();
                if (progress.CancelRequested()) return false;
            }
            return true;
        };
        std::string reason;
        if (!DecodeBack(path, take, stream, reason, decodeThreads))
            return reason == "cancelled" ? reason : Failed(reason);
        decoded = &here;
    }
    const DecodedStream& facts = decoded->stream;
    if (facts.rate != rate)
        return Failed("sample rate " + std::to_string(facts.rate) + " Hz of " + std::to_string(rate) + " Hz");
    if (!decoded->channelsMatch || facts.channels != channels)
        return Failed(std::to_string(facts.channels) + " channels of " + std::to_string(channels));
    if (!check.lossless && !energy.LagKnown()) settleLag();  // the target ended within the window
    std::string failure = check.lossless ? CheckLossless(want, decoded->samples, facts)
                                         : CheckLossy(want, got, energy, facts, check);
    // Damage the checks above let through (a lossy frame skipped) still fails the target.
    if (failure.empty() && facts.damaged)
        failure = Failed("the audio does not decode at " + Seconds(facts.damagedAt, facts.rate));
    if (failure.empty()) failure = CheckTags(path, record);
    if (failure.empty()) failure = CheckStreamInfo(path, record, decoded->samples, check);
    if (failure.empty()) failure = CheckPicture(path, record);
    return failure;
}

// ---- TargetFollower ----

namespace {
// How much lower the follower's priority is than the conversion's (Linux sets it per thread).
constexpr int kFollowerNice = 5;
}  // namespace

TargetFollower::TargetFollower(std::shared_ptr<GrowingFile> file, const char* container, PrefixCheck prefixCheck,
                               uint32_t rate, uint32_t channels, uint32_t bits, bool isFloat, bool md5)
    : file_(std::move(file)), prefixCheck_(prefixCheck) {
    decoded_.samples.Begin(rate, channels, bits, isFloat, false);
    if (md5) decoded_.samples.KeepMd5();
    try {
        thread_ = std::thread([this, container] { Run(container); });
    } catch (const std::system_error&) {
        // No thread to be had: the check decodes the finished target instead.
        done_ = true;
    }
}

TargetFollower::~TargetFollower() {
    file_->Abort();
    if (thread_.joinable()) thread_.join();
}

void TargetFollower::Run(const char* container) {
    // The conversion's own threads come first: this decode takes the time they leave, and what it
    // has left at their end it does then, on a core of its own.
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
    if (errno == 0) setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), std::min(nice + kFollowerNice, 19));
    const uint32_t channels = decoded_.samples.Channels();
    auto take = [&](const DecodedBlock& block) {
        if (block.channels != channels)
            decoded_.channelsMatch = false;
        else
            decoded_.samples.AddInterleaved(block.stored, block.values, block.frames);
        return true;
    };
    std::string reason;
    const bool ok = DecodeBackFollowing(*file_, container, take, decoded_.stream, bytes_, reason);
    std::lock_guard lock(mutex_);
    ok_ = ok;
    done_ = true;
    ended_.notify_all();
}

namespace {

struct FdCloser {
    int fd;
    ~FdCloser() {
        if (fd >= 0) ::close(fd);
    }
};

// Reads exactly `size` bytes at the descriptor's offset.
bool ReadFully(int fd, uint8_t* out, size_t size) {
    for (size_t got = 0; got < size;) {
        const ssize_t n = ::read(fd, out + got, size - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

// A finished file as a followed decode would have read it: its first `prefixSize` bytes, and the
// count and StreamHash of the rest.
bool ReadFinished(const std::string& path, uint64_t prefixSize, std::vector<uint8_t>& prefix, FollowedBytes& rest) {
    const FdCloser file{::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY)};
    struct stat st;
    if (file.fd < 0 || ::fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<uint64_t>(st.st_size) < prefixSize)
        return false;
    prefix.resize(static_cast<size_t>(prefixSize));
    if (!ReadFully(file.fd, prefix.data(), prefix.size())) return false;
    std::vector<uint8_t> chunk(size_t{1} << 20);
    StreamHash hash;
    for (uint64_t left = static_cast<uint64_t>(st.st_size) - prefixSize; left > 0;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(left, chunk.size()));
        if (!ReadFully(file.fd, chunk.data(), n)) return false;
        hash.Add(chunk.data(), n);
        left -= n;
    }
    rest.audioStart = prefixSize;
    rest.count = hash.Count();
    rest.hash = hash.Result();
    return true;
}

}  // namespace

const DecodedTarget* TargetFollower::Finish(const std::string& path, ProgressSink& progress, bool& cancelled) {
    cancelled = false;
    // The prefix is handed over before the first frame is published: its size is known now.
    const std::vector<uint8_t> first = file_->Prefix();
    std::vector<uint8_t> prefix;
    FollowedBytes finished;
    const bool readable = !first.empty() && ReadFinished(path, first.size(), prefix, finished);
    std::unique_lock lock(mutex_);
    while (!ended_.wait_for(lock, std::chrono::milliseconds(50), [this] { return done_; })) {
        lock.unlock();
        progress.Pump();
        const bool cancel = progress.CancelRequested();
        lock.lock();
        if (cancel && !done_) {
            file_->Abort();
            cancelled = true;
            return nullptr;
        }
    }
    lock.unlock();
    if (thread_.joinable()) thread_.join();
    if (!ok_ || !readable || finished.audioStart != bytes_.audioStart || finished.count != bytes_.count ||
        finished.hash != bytes_.hash || !prefixCheck_(first, prefix))
        return nullptr;
    return &decoded_;
}

}  // namespace sonavert
