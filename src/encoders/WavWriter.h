#pragma once
// Writes planar PCM blocks as an uncompressed RIFF/WAVE file with the canonical 44-byte header, or
// interleaved blocks of up to eight channels of 8- to 32-bit integer or 32- or 64-bit float samples
// with a WAVE_FORMAT_EXTENSIBLE header (channel mask, valid bits, sub-format) where more than two
// channels, more than 16 bits or floats require it. The size fields are written as placeholders and
// patched when the file is closed.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace sonavert {

class GrowingFile;

class WavWriter {
public:
    // Most sample bytes a file may hold: the RIFF size field (sample bytes + 36) has 32 bits.
    static constexpr uint64_t kMaxDataBytes = 0xFFFFFFFFull - 36;

    // `maxDataBytes` lowers the size limit (tests use it to reach the limit cheaply).
    explicit WavWriter(uint64_t maxDataBytes = kMaxDataBytes);
    WavWriter(const WavWriter&) = delete;
    WavWriter& operator=(const WavWriter&) = delete;
    // Closes (and patches) a file that is still open.
    virtual ~WavWriter();

    // Creates or truncates `path` and writes the header. stereo != 0 means 2 channels, else 1; bits
    // must be 8 or 16. Returns 1, or 0 when the file cannot be created or the header not written.
    int Open(const std::string& path, int stereo, uint32_t bits, uint32_t rate);
    // The same for interleaved samples: `channels` 1..8, `bits` 8, 16, 24 or 32 (integer) or 32
    // or 64 (float), `channelMask` the speakers of the channels (0: the usual mask for the count).
    // Mono and stereo integer files of 8 or 16 bits get the canonical header, the others the
    // extensible one (float files also a "fact" chunk).
    int OpenInterleaved(const std::string& path, uint32_t channels, uint32_t bits, bool isFloat, uint32_t rate,
                        uint32_t channelMask);
    // Writes `frames` interleaved frames, full scale at +-1: integer samples are rounded to the
    // nearest step and clamped, float samples stored as they are. Same failures as below.
    int WriteInterleaved(const double* samples, uint32_t frames);
    // Write `count` samples per channel; mono files take only `left`. Return 1, or 0 when the write
    // failed, the file is not open with that width, or the block would take the file past the size
    // limit (nothing of the block is written then).
    int WriteSamples16(const int16_t* left, const int16_t* right, uint32_t count);
    int WriteSamples8(const uint8_t* left, const uint8_t* right, uint32_t count);
    // Has `file` follow the file as it is written, so that another thread can read it back
    // meanwhile: the header is its prefix (with the data size 0, so that a reader takes the
    // samples to the end of the stream), the samples are published about every kPublishBytes and
    // Close finishes or fails it. Call after Open or OpenInterleaved; ignored otherwise.
    void FollowWith(std::shared_ptr<GrowingFile> file);
    static constexpr uint64_t kPublishBytes = 256 * 1024;

    // Patches both size fields from the file's real size and closes it. Does nothing when no file is
    // open. Returns 0 when the header could not be patched or the close reported an error.
    int Close();

    bool IsOpen() const { return fd_ >= 0; }

    // Why the last Open, write or Close failed ("No space left on device", ...).
    const std::string& FailureReason() const { return failure_; }

private:
    int WriteBlock(const void* left, const void* right, uint32_t count, uint32_t sampleBytes);
    int Create(const std::string& path, const uint8_t* header, uint32_t headerBytes);
    bool Flush(uint64_t blockBytes);
    // Most sample bytes this file may hold: the size limit, less what a longer header takes.
    uint64_t DataLimit() const;
    int Fail(const std::string& reason);
    bool WriteAll(const uint8_t* data, size_t size);

    int fd_ = -1;
    uint16_t channels_ = 0;
    uint16_t bits_ = 0;
    bool float_ = false;
    bool interleaved_ = false;   // opened by OpenInterleaved
    uint32_t headerBytes_ = 0;   // everything before the samples
    uint32_t factOffset_ = 0;    // of the frame count in the "fact" chunk; 0 without one
    uint64_t dataBytes_ = 0;
    uint64_t maxDataBytes_;
    bool failed_ = false;
    std::string failure_;
    std::vector<uint8_t> buffer_;  // one interleaved block, reused
    std::string path_;
    // Following: the file, and the bytes published to it.
    std::shared_ptr<GrowingFile> follow_;
    uint64_t published_ = 0;
};

// Whether `finished`, a WAV file's header (up to its samples) as the file holds it at its end, is
// `first`, the header as handed to a follower, but for the sizes Close patches: the RIFF and data
// sizes and a "fact" chunk's frame count. Read bounds-checked.
bool WavHeaderOnlyCompleted(const std::vector<uint8_t>& first, const std::vector<uint8_t>& finished);

}  // namespace sonavert
