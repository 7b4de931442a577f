#include "engine/Verify.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "encoders/SampleQuantiser.h"
#include "engine/OutputFormats.h"
#include "settings/Settings.h"
#include "sources/DecodeBack.h"
#include "tags/TagReading.h"

namespace sonavert {

bool VerifiesFamily(const Settings& settings, const FamilyInfo& family) {
    if (settings.VerifyTargets >= 2) return true;
    return settings.VerifyTargets == 1 && family.check.lossless;
}

// ---- SampleLedger ----

void SampleLedger::Begin(uint32_t rate, uint32_t channels, uint32_t bits, bool isFloat) {
    *this = SampleLedger{};
    rate_ = rate;
    channels_ = channels;
    bits_ = bits < 1 ? 1 : (bits > 32 ? 32 : bits);
    isFloat_ = isFloat;
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

// The block checksum: two 32-bit sums over the block's samples of each one mixed with its place
// (by two different mixes), kept as the high and low half of Block::hash. They grow a run at a
// time and every sample's terms are independent of the others, so the loop has no chain from
// sample to sample and vectorises. Each mix is a bijection of the sample for any one place, so a
// single changed sample always changes both halves; more than one cancel only by chance.
constexpr uint32_t kPlaceStep = 0x9e3779b9u;
constexpr uint32_t kMixHigh = 0x85ebca6bu;
constexpr uint32_t kMixLow = 0xc2b2ae35u;

// Adds samples [0, count) of `stored`, at 1-based places first.., to the checksum's halves, the
// sum and the sum weighted by place.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
// Chosen once per process at load: every variant gives the same sums.
__attribute__((target_clones("avx2", "default")))
#endif
void AddBlockSums(const int32_t* stored, uint32_t count, uint32_t shift, uint32_t first, uint32_t& high,
                  uint32_t& low, int64_t& sum, int64_t& weighted) {
    uint32_t h = high, l = low;
    int64_t plain = 0, byPlace = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const int32_t sample = stored[i] >> shift;
        const uint32_t x = static_cast<uint32_t>(sample);
        const uint32_t place = first + i;
        const uint32_t key = place * kPlaceStep;
        uint32_t a = (x ^ key) * kMixHigh;
        a ^= a >> 16;
        uint32_t b = (x + key) * kMixLow;
        b ^= b >> 13;
        h += a;
        l += b;
        plain += sample;
        byPlace += static_cast<int64_t>(static_cast<int32_t>(place)) * sample;
    }
    high = h;
    low = l;
    sum += plain;
    weighted += byPlace;
}

// Samples the planar and wide adders convert at a time.
constexpr size_t kChunkSamples = 4096;

float FloatOfBits(int32_t bits) {
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

}  // namespace

void SampleLedger::Keep(bool sums, bool levels) {
    keepSums_ = sums;
    keepLevels_ = levels;
}

// Adds `count` samples to the block's checksum and sums; `shift` takes a stored sample to its
// significant bits.
void SampleLedger::AddSums(Block& block, const int32_t* stored, uint32_t count, uint32_t shift) const {
    uint32_t high = static_cast<uint32_t>(block.hash >> 32), low = static_cast<uint32_t>(block.hash);
    AddBlockSums(stored, count, shift, inBlock_ + 1, high, low, block.sum, block.weighted);
    block.hash = static_cast<uint64_t>(high) << 32 | low;
}

// The sum of squares of `count` values, taken from `stored` where `values` is null; in four
// partial sums so that the additions overlap.
double SampleLedger::Energy(const int32_t* stored, const double* values, uint32_t count) const {
    double e[4] = {0, 0, 0, 0};
    uint32_t i = 0;
    if (values) {
        for (; i + 4 <= count; i += 4)
            for (int k = 0; k < 4; ++k) e[k] += values[i + k] * values[i + k];
        for (; i < count; ++i) e[0] += values[i] * values[i];
        return (e[0] + e[1]) + (e[2] + e[3]);
    }
    if (isFloat_) {
        for (; i + 4 <= count; i += 4)
            for (int k = 0; k < 4; ++k) {
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
        for (int k = 0; k < 4; ++k) {
            const double v = stored[i + k];
            e[k] += v * v;
        }
    for (; i < count; ++i) {
        const double v = stored[i];
        e[0] += v * v;
    }
    return ((e[0] + e[1]) + (e[2] + e[3])) * 0x1p-62;
}

void SampleLedger::AddFrames(const int32_t* stored, const double* values, uint32_t frames) {
    const uint32_t channels = channels_;
    const uint32_t shift = isFloat_ ? 0 : 32 - bits_;
    const uint32_t blockSamples = kBlockFrames * channels;
    while (frames > 0) {
        const uint32_t inBlockFrames = inBlock_ / channels;
        if (inBlock_ == 0) blocks_.emplace_back();
        Block& block = blocks_.back();
        const uint32_t run = std::min(frames, kBlockFrames - inBlockFrames);
        const uint32_t count = run * channels;

        if (keepSums_) AddSums(block, stored, count, shift);
        if (keepLevels_) block.energy += Energy(stored, values, count);

        // The mono mix, only for the frames the alignment window may take.
        const bool mixWanted = capturing_ ? frames_ + run > captureStart_ && frames_ < captureEnd_
                                          : keepLevels_ && window_.size() < kWindowFrames;
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
        inBlock_ += count;
        stored += count;
        if (values) values += count;
        frames -= run;
        if (inBlock_ == blockSamples) EndBlock();
    }
}

void SampleLedger::EndBlock() {
    inBlock_ = 0;
    if (capturing_ || window_.size() >= kWindowFrames) return;
    // A complete block: the window begins at the first one above -60 dBFS.
    const double meanSquare = blocks_.back().energy / (static_cast<double>(kBlockFrames) * channels_);
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
            AddFrames(stored, nullptr, n);
            done += n;
            continue;
        }
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

// A single differing sample shifts a block's sum by its error e and the weighted sum by e times its
// place; more than one leaves only the block's range to tell.
std::string DifferingSample(const SampleLedger::Block& want, const SampleLedger::Block& got, size_t block,
                            uint32_t channels) {
    const int64_t de = got.sum - want.sum;
    const int64_t dw = got.weighted - want.weighted;
    const uint64_t first = static_cast<uint64_t>(block) * kBlock;
    if (de != 0 && dw % de == 0) {
        const int64_t place = dw / de;  // 1-based place in the block's interleaved samples
        if (place >= 1 && place <= static_cast<int64_t>(kBlock) * channels)
            return Failed("sample " + std::to_string(first + static_cast<uint64_t>(place - 1) / channels) + " differs");
    }
    return Failed("samples between " + std::to_string(first) + " and " + std::to_string(first + kBlock - 1) +
                  " differ");
}

std::string CheckLossless(const SampleLedger& want, const SampleLedger& got, const DecodedStream& stream) {
    if (stream.isFloat != want.IsFloat())
        return Failed(std::string("the samples come back as ") + (stream.isFloat ? "floating point" : "integers"));
    const auto& a = want.Blocks();
    const auto& b = got.Blocks();
    const size_t common = std::min(a.size(), b.size());
    for (size_t i = 0; i < common; ++i) {
        if (a[i].hash == b[i].hash && a[i].sum == b[i].sum && a[i].weighted == b[i].weighted) continue;
        // A shorter or longer last block is a length difference, told as such below.
        if (i + 1 == common && want.Frames() != got.Frames()) break;
        return DifferingSample(a[i], b[i], i, want.Channels());
    }
    if (want.Frames() != got.Frames())
        return Failed("length " + Seconds(got.Frames(), want.Rate()) + " of " + Seconds(want.Frames(), want.Rate()));
    return {};
}

// `decodedRate`: the rate the target stores, which differs from the encoded one where the encoder
// converts rates itself.
std::string CheckLossy(const SampleLedger& want, const SampleLedger& got, const std::vector<double>& subEnergy,
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

    // The decoded signal's energy at each encoded block's place, summed from its sub-blocks; a
    // container that trims the codec's delay starts where the encoded signal does.
    const int64_t lag = stream.trimmed || !sameRate ? 0 : BestLag(want, got);
    const auto& blocks = want.Blocks();
    const size_t fullBlocks = static_cast<size_t>(want.Frames() / kBlock);
    const double perBlock = static_cast<double>(kBlock) * want.Channels();
    auto meanSquare = [&](size_t i) { return blocks[i].energy / perBlock; };
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
        const double from = static_cast<double>(at) * ratio + static_cast<double>(lag);
        const double to = from + kBlock * ratio;
        const int64_t firstSub = static_cast<int64_t>(std::floor(from / kSubBlock));
        const int64_t endSub = static_cast<int64_t>(std::ceil(to / kSubBlock));
        if (firstSub < 0 || endSub > static_cast<int64_t>(subEnergy.size()) || endSub <= firstSub) continue;
        double d = 0;
        for (int64_t k = firstSub; k < endSub; ++k) d += subEnergy[static_cast<size_t>(k)];
        d /= static_cast<double>(endSub - firstSub) * kSubBlock * stream.channels;
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

}  // namespace

std::string VerifyTarget(const std::string& path, const EncodeRecord& record, const FamilyCheck& check,
                         ProgressSink& progress) {
    const SampleLedger& want = record.samples;
    const uint32_t rate = record.storedRate ? record.storedRate : want.Rate();
    const uint32_t channels = record.storedChannels ? record.storedChannels : want.Channels();
    if (check.lossless && (rate != want.Rate() || channels != want.Channels()))
        return Failed("the encoder did not store the samples it was handed");
    SampleLedger got;
    got.Begin(rate, channels, want.Bits(), want.IsFloat());
    // A lossless check compares the sums; a lossy one the decoded energy per sub-block, kept
    // below, and the alignment window.
    got.Keep(check.lossless, false);
    if (!check.lossless && rate == want.Rate() && !want.Window().empty()) {
        const uint64_t start = want.WindowStart() > kMaxLead ? want.WindowStart() - kMaxLead : 0;
        got.CaptureRange(start, want.WindowStart() - start + want.Window().size() + kMaxLag);
    }
    std::vector<double> subEnergy;
    double subSum = 0;
    uint32_t subFill = 0;
    uint32_t calls = 0;
    bool channelsMatch = true;
    auto take = [&](const DecodedBlock& block) {
        if (block.channels != channels) {
            channelsMatch = false;
            return true;  // told once the decode ends, with the stream's channels
        }
        got.AddInterleaved(block.stored, block.values, block.frames);
        if (!check.lossless) {
            // A sub-block's run at a time, in four partial sums so that the additions overlap.
            const double* v = block.values;
            for (uint32_t left = block.frames; left > 0;) {
                const uint32_t run = std::min(left, kSubBlock - subFill);
                const size_t count = size_t{run} * block.channels;
                double e[4] = {0, 0, 0, 0};
                size_t i = 0;
                for (; i + 4 <= count; i += 4)
                    for (int k = 0; k < 4; ++k) e[k] += v[i + k] * v[i + k];
                for (; i < count; ++i) e[0] += v[i] * v[i];
                subSum += (e[0] + e[1]) + (e[2] + e[3]);
                v += count;
                left -= run;
                subFill += run;
                if (subFill == kSubBlock) {
                    subEnergy.push_back(subSum);
                    subSum = 0;
                    subFill = 0;
                }
            }
        }
        if (++calls % 64 == 0) {
            progress.Pump();
            if (progress.CancelRequested()) return false;
        }
        return true;
    };
    DecodedStream stream;
    std::string reason;
    if (!DecodeBack(path, take, stream, reason)) return reason == "cancelled" ? reason : Failed(reason);
    if (stream.rate != rate)
        return Failed("sample rate " + std::to_string(stream.rate) + " Hz of " + std::to_string(rate) + " Hz");
    if (!channelsMatch || stream.channels != channels)
        return Failed(std::to_string(stream.channels) + " channels of " + std::to_string(channels));
    std::string failure = check.lossless ? CheckLossless(want, got, stream) : CheckLossy(want, got, subEnergy, stream, check);
    // Damage the checks above let through (a lossy frame skipped) still fails the target.
    if (failure.empty() && stream.damaged)
        failure = Failed("the audio does not decode at " + Seconds(stream.damagedAt, stream.rate));
    if (failure.empty()) failure = CheckTags(path, record);
    return failure;
}

}  // namespace sonavert
