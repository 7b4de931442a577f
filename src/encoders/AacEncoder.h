#pragma once
// Raw AAC file writer: a plain sequence of ADTS frames, no container and no tags, at the sample
// rate and channel count it is opened with (no resampling or mixing here). Lifecycle: Open, adjust
// Configuration(), Start, EncodeBlock16 or EncodeBlock8 per block, Close (which flushes the encoder).
#include <cstdint>
#include <string>
#include <vector>

#include "encoders/AacInput.h"
#include "encoders/FaacLayer.h"

namespace sonavert {

class AacEncoder {
public:
    AacEncoder() = default;
    AacEncoder(const AacEncoder&) = delete;
    AacEncoder& operator=(const AacEncoder&) = delete;
    // Closes (and flushes) a file that is still open.
    virtual ~AacEncoder();

    // Closes anything still open, creates (truncates) `path` and opens the encoder for `sampleRate`
    // and `channels` (1 or 2). The record starts as: low complexity, MPEG-4, TNS off, mid/side
    // allowed, bandwidth 0, ADTS output, 16-bit input. `bitsPerSample` (8 or 16) is only kept.
    // Returns 1, or 0 when the file cannot be created or the encoder not opened (a created file
    // stays until Close).
    int Open(const std::string& path, uint32_t sampleRate, uint32_t channels, uint32_t bitsPerSample);

    // The configuration record, to be changed between Open and Start; null when not open.
    FaacConfiguration* Configuration();

    // Applies the record and prepares the buffers. Returns 0 when the encoder refuses the record
    // (for example an unsupported sample rate), or when not open.
    int Start();

    // `count` samples per channel of planar audio; the right plane is not read for one channel.
    // 8-bit samples are unsigned and widened as (u - 128) x 256. Every full frame is encoded and
    // written at once; a remainder waits for the next block. Return 1, or 0 when not started, after
    // an encoder or write error, or when an earlier call failed.
    int EncodeBlock16(const int16_t* left, const int16_t* right, uint32_t count);
    int EncodeBlock8(const uint8_t* left, const uint8_t* right, uint32_t count);

    // Encodes the buffered remainder, drains the encoder, closes the file and releases everything.
    // Safe to call repeatedly. Returns 0 when anything since Open failed (reason in
    // FailureReason), 1 otherwise (also when nothing was open).
    int Close();

    // Why the last failing operation failed; empty when nothing failed since Open.
    const std::string& FailureReason() const { return reason_; }

    bool IsOpen() const { return fd_ >= 0; }
    // Samples (all channels) per encoder call and the largest frame in bytes, from the encoder.
    unsigned long InputSamplesPerCall() const { return inputSamples_; }
    unsigned long MaxOutputBytes() const { return maxOutputBytes_; }

private:
    template <typename Sample>
    int EncodeBlock(const Sample* left, const Sample* right, uint32_t count);
    // One encoder call with `samples` interleaved samples; writes what it produced. Returns the
    // bytes produced, or -1 after a failure.
    int EncodeAndWrite(const int16_t* samples, size_t count);
    bool WriteAll(const uint8_t* data, size_t size);
    int Fail(std::string reason);

    int fd_ = -1;
    FaacEncPtr faac_;
    FaacConfiguration* config_ = nullptr;
    uint32_t sampleRate_ = 0;
    uint32_t channels_ = 0;
    uint32_t bitsPerSample_ = 0;
    unsigned long inputSamples_ = 0;
    unsigned long maxOutputBytes_ = 0;
    AacInputBuffer input_;
    std::vector<uint8_t> output_;
    bool started_ = false;
    bool failed_ = false;
    std::string reason_;
};

}  // namespace sonavert
