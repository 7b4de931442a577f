#pragma once
// Verified conversions: while a family's encoder takes its samples the pipeline keeps a small
// record of them (per block of 1024 frames a checksum, two sums that locate a single differing
// sample, and the energy; and a short window for alignment), and once the target is complete the
// target is decoded back through FFmpeg and checked against that record before it takes its name.
#include <cstdint>
#include <string>
#include <vector>

#include "engine/Driver.h"
#include "tags/TagRecord.h"

namespace sonavert {

struct FamilyCheck;
struct FamilyInfo;
struct Settings;


// Whether the VerifyTargets setting (0 off, 1 lossless targets only, 2 every target) has targets
// of `family` verified.
bool VerifiesFamily(const Settings& settings, const FamilyInfo& family);

// The running record of samples, kept for what the encoder received and again for what the
// decoder gives back, so that the two can be compared block by block.
class SampleLedger {
public:
    static constexpr uint32_t kBlockFrames = 1024;
    // Frames of the window kept for alignment, from the first block above -60 dBFS.
    static constexpr uint32_t kWindowFrames = 4096;

    struct Block {
        uint64_t hash = 0xcbf29ce484222325ull;
        int64_t sum = 0;       // of the samples
        int64_t weighted = 0;  // of each sample times its 1-based place in the block
        double energy = 0;     // sum of squares of the values
    };

    // `bits`: the significant bits of the stored samples (8, 16, 24, 32); ignored for float.
    void Begin(uint32_t rate, uint32_t channels, uint32_t bits, bool isFloat);
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

    uint32_t Rate() const { return rate_; }
    uint32_t Channels() const { return channels_; }
    uint32_t Bits() const { return bits_; }
    bool IsFloat() const { return isFloat_; }
    uint64_t Frames() const { return frames_; }
    // Every block, the last one possibly partial.
    const std::vector<Block>& Blocks() const { return blocks_; }
    // The alignment window: its first frame and its mono mix.
    uint64_t WindowStart() const { return windowStart_; }
    const std::vector<float>& Window() const { return window_; }

private:
    template <class SampleAt>
    void AddSamples(size_t count, SampleAt at);
    void EndBlock();

    uint32_t rate_ = 0, channels_ = 0, bits_ = 16;
    bool isFloat_ = false;
    uint64_t frames_ = 0;
    uint32_t inFrame_ = 0;     // samples of the current frame added
    uint32_t inBlock_ = 0;     // samples of the current block added
    double frameMix_ = 0;
    std::vector<Block> blocks_;
    // Recording: the current block's mono mix until it is judged for the window.
    std::vector<float> blockMix_;
    bool windowOpen_ = false;  // the window began and is not full
    // Decoding: the capture range instead.
    bool capturing_ = false;
    uint64_t captureStart_ = 0, captureEnd_ = 0;
    uint64_t windowStart_ = 0;
    std::vector<float> window_;
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
};

// Decodes the complete target at `path` and checks it against `record` by `check`. Returns an
// empty text when it holds, else the reason ("verification failed: length 12.34 s of 12.50 s").
// `progress` is asked for Cancel now and then; a cancelled check returns "cancelled".
std::string VerifyTarget(const std::string& path, const EncodeRecord& record, const FamilyCheck& check,
                         ProgressSink& progress);

}  // namespace sonavert
