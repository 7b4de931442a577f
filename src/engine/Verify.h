#pragma once
// Verified conversions: while a family's encoder takes its samples the pipeline keeps a small
// record of them (per block of 1024 frames a checksum, two sums that locate a single differing
// sample, and the energy; and a short window for alignment), and once the target is complete the
// target is decoded back through FFmpeg and checked against that record before it takes its name.
// Lossless targets are decoded back on a thread of their own while they are written; the check
// then takes that decode when the finished file is still what it read.
#include <array>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/Driver.h"
#include "sources/DecodeBack.h"
#include "tags/TagRecord.h"

namespace sonavert {

class GrowingFile;
class TargetFollower;
struct FamilyCheck;
struct FamilyInfo;
struct Picture;
struct Settings;


// Whether the VerifyTargets setting (0 off, 1 lossless targets only, 2 every target) has targets
// of `family` verified.
bool VerifiesFamily(const Settings& settings, const FamilyInfo& family);

// The MD5 of integer samples as FLAC's stream information sums them: each sample a little-endian
// signed integer of (bits + 7) / 8 bytes, channels interleaved.
class SampleMd5 {
public:
    explicit SampleMd5(uint32_t bits);
    ~SampleMd5();
    SampleMd5(const SampleMd5&) = delete;
    SampleMd5& operator=(const SampleMd5&) = delete;

    // `sample`: right-justified, sign-extended.
    void Add(int32_t sample) {
        const auto u = static_cast<uint32_t>(sample);
        for (uint32_t i = 0; i < bytes_; ++i) buffer_[fill_++] = static_cast<uint8_t>(u >> (8 * i));
        if (fill_ + 4 > sizeof buffer_) Flush();
    }
    // Adds `count` samples given left-justified: each is `stored[i] >> shift`.
    void AddShifted(const int32_t* stored, uint32_t count, uint32_t shift);
    // The sum of every sample added so far (none is added after it is asked for).
    std::array<uint8_t, 16> Result() const;

private:
    void Flush() const;
    struct State;
    std::unique_ptr<State> state_;
    uint32_t bytes_;
    mutable size_t fill_ = 0;
    mutable uint8_t buffer_[4096];
};

// The running record of samples, kept for what the encoder received and again for what the
// decoder gives back, so that the two can be compared. It stays small whatever the length: per
// span of 64 blocks a checksum and two sums that locate a single differing sample (24 bytes),
// per block of 1024 frames the energy in 16 bits, and the short alignment window.
class SampleLedger {
public:
    static constexpr uint32_t kBlockFrames = 1024;
    // Frames of a span, the unit of the exact comparison.
    static constexpr uint32_t kSpanFrames = 64 * kBlockFrames;
    // Frames of the window kept for alignment, from the first block above -60 dBFS.
    static constexpr uint32_t kWindowFrames = 4096;

    // The sums wrap modulo 2^64: the difference of two spans that differ in a single sample is
    // still exact.
    struct Span {
        uint64_t hash = 0xcbf29ce484222325ull;
        uint64_t sum = 0;       // of the samples
        uint64_t weighted = 0;  // of each sample times its 1-based place in the span
    };

    // `bits`: the significant bits of the stored samples (8, 16, 24, 32); ignored for float.
    // `keepEnergy`: whether each block's energy is kept (only the record of what was encoded
    // needs it).
    void Begin(uint32_t rate, uint32_t channels, uint32_t bits, bool isFloat, bool keepEnergy = true);
    bool Begun() const { return channels_ != 0; }
    // Adds interleaved frames: `stored` as DecodedBlock holds them (left-justified integers or
    // float bits), `values` in [-1, 1].
    void AddInterleaved(const int32_t* stored, const double* values, uint32_t frames);
    // Adds one or two planes of 16-bit signed or 8-bit unsigned samples (the 16-bit read's form).
    void AddPlanar(const void* left, const void* right, uint32_t frames, uint32_t bits);
    // Adds interleaved doubles in [-1, 1] as an encoder storing `bits` integers receives them:
    // each is rounded to the nearest step and clamped (the wide path), or kept as float.
    void AddWide(const double* interleaved, uint32_t frames);

    // Keeps the decoded mono mix of frames [start, start + count) for alignment.
    void CaptureRange(uint64_t start, uint64_t count);
    // Also sums the samples' MD5 as FLAC does (integer samples only; call after Begin).
    void KeepMd5();
    // The MD5 sum; null unless KeepMd5 was called.
    const SampleMd5* Md5() const { return md5_.get(); }

    uint32_t Rate() const { return rate_; }
    uint32_t Channels() const { return channels_; }
    uint32_t Bits() const { return bits_; }
    bool IsFloat() const { return isFloat_; }
    uint64_t Frames() const { return frames_; }
    // Every span, the last one possibly partial.
    const std::vector<Span>& Spans() const { return spans_; }
    // The complete blocks whose energy was kept, and the mean square of block `i`'s values.
    size_t EnergyBlocks() const { return energies_.size(); }
    double MeanSquare(size_t i) const { return EnergyFromCode(energies_[i]); }
    // A mean square as 16 bits on a log scale (1/256 dB steps from -130 dB; 0 below that), and
    // back. The largest code is left unused.
    static uint16_t EnergyCode(double meanSquare);
    static double EnergyFromCode(uint16_t code);
    // The alignment window: its first frame and its mono mix.
    uint64_t WindowStart() const { return windowStart_; }
    const std::vector<float>& Window() const { return window_; }

private:
    // Adds whole interleaved frames; `values` may be null, the values then follow from `stored`.
    void AddFrames(const int32_t* stored, const double* values, uint32_t frames);
    void EndBlock();

    uint32_t rate_ = 0, channels_ = 0, bits_ = 16;
    bool isFloat_ = false;
    uint64_t frames_ = 0;
    bool keepEnergy_ = true;
    uint32_t inSpan_ = 0;      // samples of the current span added
    double blockEnergy_ = 0;   // sum of squares of the current block's values
    std::vector<Span> spans_;
    std::vector<uint16_t> energies_;
    // Recording: the current block's mono mix until it is judged for the window.
    std::vector<float> blockMix_;
    bool windowOpen_ = false;  // the window began and is not full
    // Decoding: the capture range instead.
    bool capturing_ = false;
    uint64_t captureStart_ = 0, captureEnd_ = 0;
    uint64_t windowStart_ = 0;
    std::vector<float> window_;
    std::unique_ptr<SampleMd5> md5_;
};

// What the pipeline handed to the encoder, for the check of its target.
struct EncodeRecord {
    SampleLedger samples;
    // The rate and channels the target stores: those of the samples, unless the encoder converts
    // them itself (LAME's own rate choice, the Windows Media writer).
    uint32_t storedRate = 0;
    uint32_t storedChannels = 0;
    // Tags written into the target; only title and artist are compared.
    bool tagsWritten = false;
    TagRecord tags;
    // The cover picture written into the target; null for none.
    std::shared_ptr<const Picture> picture;
    // The decode of the target while it was written (lossless targets whose encoder publishes
    // it); null for none. Stopped and joined when the record goes.
    std::shared_ptr<TargetFollower> follower;
    // Whether the follower takes the core an encoder thread would have had: where the encoder is
    // light (WAV) the check gains more from it than the encoding does.
    bool followerTakesSpareCore = false;
    // FLAC: the MD5 of the samples handed to the encoder, where they were summed beside it (the
    // follower then leaves the MD5 out); unset otherwise.
    bool handedMd5Set = false;
    std::array<uint8_t, 16> handedMd5{};
};

// What the decode of a lossless target gave: its samples' record (with the MD5 of the samples
// where the family keeps one) and the stream's facts.
struct DecodedTarget {
    SampleLedger samples;
    bool channelsMatch = true;
    DecodedStream stream;
};

// Decodes a lossless target on a thread of its own while its encoder writes it, through the
// independent decoder (DecodeBackFollowing), and keeps what it gave for the check. The destructor
// stops the thread (aborting a wait for bytes) and joins it.
class TargetFollower {
public:
    // Whether `finished`, the file's prefix as it ends, differs from `first`, the prefix as
    // handed over, only where its writer completes it at the end.
    using PrefixCheck = bool (*)(const std::vector<uint8_t>& first, const std::vector<uint8_t>& finished);
    // `container`: FFmpeg's demuxer name; the decoded record is begun with `rate`, `channels`,
    // `bits`, `isFloat` and, with `md5`, sums the samples' MD5.
    TargetFollower(std::shared_ptr<GrowingFile> file, const char* container, PrefixCheck prefixCheck, uint32_t rate,
                   uint32_t channels, uint32_t bits, bool isFloat, bool md5);
    ~TargetFollower();
    TargetFollower(const TargetFollower&) = delete;
    TargetFollower& operator=(const TargetFollower&) = delete;

    // Waits for the decode to end, pumping `progress`, and returns it when it read the whole
    // target and `path` is still the file it read: the same size, the same bytes from the audio's
    // start, a prefix differing only where the writer completes it. Null otherwise, and when a
    // Cancel came first (`cancelled` then set). The finished file is read while the decode ends.
    const DecodedTarget* Finish(const std::string& path, ProgressSink& progress, bool& cancelled);

private:
    void Run(const char* container);
    std::shared_ptr<GrowingFile> file_;
    PrefixCheck prefixCheck_;
    DecodedTarget decoded_;
    FollowedBytes bytes_;
    bool ok_ = false;
    std::mutex mutex_;
    std::condition_variable ended_;
    bool done_ = false;
    std::thread thread_;
};

// Decodes the complete target at `path` and checks it against `record` by `check`, then its
// stream MD5 (FLAC), tags and picture. Returns an
// empty text when it holds, else the reason ("verification failed: length 12.34 s of 12.50 s").
// `progress` is asked for Cancel now and then; a cancelled check returns "cancelled".
// `decodeThreads` above 1 lets a target decoded after it was written use that many threads.
std::string VerifyTarget(const std::string& path, const EncodeRecord& record, const FamilyCheck& check,
                         ProgressSink& progress, int decodeThreads = 1);

}  // namespace sonavert
