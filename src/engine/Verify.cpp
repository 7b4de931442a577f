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

// Adds `count` samples, interleaved, continuing the current frame and block; `at(i, stored, value)`
// gives the i-th. The block's sums are kept in locals while a run of one block lasts, and the
// frame's mono mix is made only where the window or the capture takes it.
template <class SampleAt>
void SampleLedger::AddSamples(size_t count, SampleAt at) {
    const uint32_t blockSamples = kBlockFrames * channels_;
    const int shift = isFloat_ ? 0 : static_cast<int>(32 - bits_);
    size_t i = 0;
    while (i < count) {
        if (inBlock_ == 0) blocks_.emplace_back();
        Block block = blocks_.back();
        uint32_t inBlock = inBlock_, inFrame = inFrame_;
        double mix = frameMix_;
        // Until its block is complete the window takes nothing, so whether a frame's mix is kept
        // is known for the whole run.
        const bool collect = !capturing_ && window_.size() < kWindowFrames;
        const size_t end = i + std::min<size_t>(count - i, blockSamples - inBlock);
        for (; i < end; ++i) {
            int32_t stored;
            double value;
            at(i, stored, value);
            const int32_t sample = stored >> shift;
            block.hash = (block.hash ^ static_cast<uint32_t>(sample)) * 0x100000001b3ull;
            block.sum += sample;
            block.weighted += static_cast<int64_t>(inBlock + 1) * sample;
            block.energy += value * value;
            mix += value;
            ++inBlock;
            if (++inFrame == channels_) {
                if (collect || (capturing_ && frames_ >= captureStart_ && frames_ < captureEnd_)) {
                    const float mono = static_cast<float>(mix / channels_);
                    (capturing_ ? window_ : blockMix_).push_back(mono);
                }
                ++frames_;
                inFrame = 0;
                mix = 0;
            }
        }
        blocks_.back() = block;
        inBlock_ = inBlock;
        inFrame_ = inFrame;
        frameMix_ = mix;
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
    AddSamples(static_cast<size_t>(frames) * channels_, [&](size_t i, int32_t& s, double& v) {
        s = stored[i];
        v = values[i];
    });
}

void SampleLedger::AddPlanar(const void* left, const void* right, uint32_t frames, uint32_t bits) {
    const uint32_t planes = right && channels_ == 2 ? 2 : 1;
    AddSamples(static_cast<size_t>(frames) * planes, [&](size_t i, int32_t& s, double& v) {
        const void* plane = planes == 2 && (i & 1) ? right : left;
        const size_t at = planes == 2 ? i >> 1 : i;
        if (bits == 8)
            s = static_cast<int32_t>(static_cast<uint32_t>(static_cast<const uint8_t*>(plane)[at] ^ 0x80u) << 24);
        else
            s = static_cast<int32_t>(static_cast<uint32_t>(static_cast<const uint16_t*>(plane)[at]) << 16);
        v = s / 2147483648.0;
    });
}

void SampleLedger::AddWide(const double* interleaved, uint32_t frames) {
    const size_t samples = static_cast<size_t>(frames) * channels_;
    if (isFloat_) {
        AddSamples(samples, [&](size_t i, int32_t& s, double& v) {
            const float f = static_cast<float>(interleaved[i]);
            std::memcpy(&s, &f, sizeof s);
            v = f;
        });
        return;
    }
    // Rounded and clamped as the lossless writers store it (NaN becomes 0).
    const double scale = std::ldexp(1.0, static_cast<int>(bits_) - 1);
    // A power of two, so multiplying by it divides exactly.
    const double step = std::ldexp(1.0, 1 - static_cast<int>(bits_));
    const int shift = static_cast<int>(32 - bits_);
    AddSamples(samples, [&](size_t i, int32_t& s, double& v) {
        const double q = QuantiseSample(interleaved[i], scale);
        s = static_cast<int32_t>(static_cast<uint32_t>(static_cast<int64_t>(q)) << shift);
        v = q * step;
    });
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
    std::vector<std::pair<int64_t, double>> scores;
    double bestScore = -1;
    for (int64_t lag = -kMaxLead; lag <= kMaxLag; ++lag) {
        const int64_t at = w + lag - ys;  // where the window's first frame lies in y
        if (at < 0 || at + n > static_cast<int64_t>(y.size())) continue;
        double dot = 0, ey = 0;
        for (int64_t i = 0; i < n; ++i) {
            const double b = y[static_cast<size_t>(at + i)];
            dot += x[static_cast<size_t>(i)] * b;
            ey += b * b;
        }
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
            const size_t samples = static_cast<size_t>(block.frames) * block.channels;
            for (size_t i = 0; i < samples; i += block.channels) {
                for (uint32_t c = 0; c < block.channels; ++c) subSum += block.values[i + c] * block.values[i + c];
                if (++subFill == kSubBlock) {
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
