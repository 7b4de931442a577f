#pragma once
// Writes planar PCM blocks as an uncompressed RIFF/WAVE file with the canonical 44-byte header. The
// two size fields are written as placeholders and patched when the file is closed.
#include <cstdint>
#include <string>
#include <vector>

namespace sonavert {

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
    // Write `count` samples per channel; mono files take only `left`. Return 1, or 0 when the write
    // failed, the file is not open with that width, or the block would take the file past the size
    // limit (nothing of the block is written then).
    int WriteSamples16(const int16_t* left, const int16_t* right, uint32_t count);
    int WriteSamples8(const uint8_t* left, const uint8_t* right, uint32_t count);
    // Patches both size fields from the file's real size and closes it. Does nothing when no file is
    // open. Returns 0 when the header could not be patched or the close reported an error.
    int Close();

    bool IsOpen() const { return fd_ >= 0; }

    // Why the last Open, write or Close failed ("No space left on device", ...).
    const std::string& FailureReason() const { return failure_; }

private:
    int WriteBlock(const void* left, const void* right, uint32_t count, uint32_t sampleBytes);
    int Fail(const std::string& reason);
    bool WriteAll(const uint8_t* data, size_t size);

    int fd_ = -1;
    uint16_t channels_ = 0;
    uint16_t bits_ = 0;
    uint64_t dataBytes_ = 0;
    uint64_t maxDataBytes_;
    bool failed_ = false;
    std::string failure_;
    std::vector<uint8_t> buffer_;  // one interleaved block, reused
};

}  // namespace sonavert
