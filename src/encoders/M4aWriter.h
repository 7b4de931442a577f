#pragma once
// MPEG-4 audio file writer (.m4a, .m4b, .m4r and .mp4 are all this one kind of file): PCM encoded
// to raw AAC frames, stored as the samples of one audio track, plus iTunes-style metadata, at the
// sample rate and channel count it is opened with. Lifecycle: Open, adjust Configuration(), Start,
// SetMetadata (optional), EncodeBlock16 or EncodeBlock8 per block, Close.
//
// Timing: the movie time scale is 90000, the track's is the sample rate. Each frame is a sync
// sample lasting one frame (1024 samples per channel) until the encoder's output has caught up with
// its input; the last one is shortened so that the track's sample durations total N + 1024 for N
// input samples per channel. The first frame out holds the encoder's 1024 samples of priming: the
// samples are laid out from time -1024, with no composition offsets, so the muxer writes an edit
// list that starts at the first source sample and presents exactly N samples.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "encoders/AacInput.h"
#include "encoders/FaacLayer.h"
#include "tags/TagRecord.h"

struct AVFormatContext;
struct AVStream;
struct AVPacket;

namespace sonavert {

class M4aWriter {
public:
    static constexpr int kMovieTimeScale = 90000;
    // MPEG-4 audio profile level stored in the file's initial object descriptor.
    static constexpr int kAudioProfileLevel = 15;

    M4aWriter();
    M4aWriter(const M4aWriter&) = delete;
    M4aWriter& operator=(const M4aWriter&) = delete;
    // Closes (and finishes) a file that is still open.
    virtual ~M4aWriter();

    // Closes anything still open, creates (truncates) `path` and opens the encoder for `sampleRate`
    // and `channels` (1 or 2). The record starts as: low complexity, MPEG-4, TNS off, mid/side
    // allowed, bandwidth 0, raw output, 16-bit input. `bitsPerSample` (8 or 16) is only kept.
    // Returns 1, or 0 when the file cannot be created or the encoder not opened.
    int Open(const std::string& path, uint32_t sampleRate, uint32_t channels, uint32_t bitsPerSample);

    // The configuration record, to be changed between Open and Start; null when not open. The MPEG
    // version and output format fields are not used: the container needs raw MPEG-4 frames.
    FaacConfiguration* Configuration();

    // Applies the record and sets up the AAC track with the encoder's decoder-specific info.
    // Returns 0 when the encoder refuses the record (for example an unsupported sample rate), or
    // when not open.
    int Start();

    // Metadata, after Start and before the first block: title, artist, album, year, genre, comment
    // and composer from `tags` (UTF-8, stored as they are), each skipped when empty or not valid
    // UTF-8; `track` as the track number with total 0, skipped unless 1..65535. The record's track
    // text and copyright are not used. Returns 1, or 0 when not started or already writing frames.
    int SetMetadata(const TagRecord& tags, int track);

    // `count` samples per channel of planar audio; the right plane is not read for one channel.
    // 8-bit samples are unsigned and widened as (u - 128) x 256. Return 1, or 0 when not started,
    // after an encoder or write error, or when an earlier call failed.
    int EncodeBlock16(const int16_t* left, const int16_t* right, uint32_t count);
    int EncodeBlock8(const uint8_t* left, const uint8_t* right, uint32_t count);

    // Encodes the buffered remainder, drains the encoder, finishes the container (index and
    // metadata) and closes the file. Safe to call repeatedly. Returns 0 when anything since Open
    // failed (reason in FailureReason), 1 otherwise (also when nothing was open).
    int Close();

    // Why the last failing operation failed; empty when nothing failed since Open.
    const std::string& FailureReason() const { return reason_; }

    bool IsOpen() const { return format_ != nullptr; }
    unsigned long InputSamplesPerCall() const { return inputSamples_; }
    // Samples per channel in one frame.
    uint32_t FrameLength() const { return frameLength_; }

private:
    struct FormatCloser {
        void operator()(AVFormatContext* f) const;
    };
    struct PacketCloser {
        void operator()(AVPacket* p) const;
    };

    template <typename Sample>
    int EncodeBlock(const Sample* left, const Sample* right, uint32_t count);
    // One encoder call with `count` interleaved samples; stores what it produced. Returns the bytes
    // produced, or -1 after a failure.
    int EncodeAndStore(const int16_t* samples, size_t count);
    bool StoreFrame(const uint8_t* data, size_t size);
    bool WriteHeader();
    int Fail(std::string reason);

    std::unique_ptr<AVFormatContext, FormatCloser> format_;
    AVStream* stream_ = nullptr;
    std::unique_ptr<AVPacket, PacketCloser> packet_;
    FaacEncPtr faac_;
    FaacConfiguration* config_ = nullptr;
    uint32_t sampleRate_ = 0;
    uint32_t channels_ = 0;
    uint32_t bitsPerSample_ = 0;
    unsigned long inputSamples_ = 0;
    unsigned long maxOutputBytes_ = 0;
    uint32_t frameLength_ = 0;
    // Both in track time units (samples per channel).
    uint64_t samplesFed_ = 0;
    uint64_t durationWritten_ = 0;
    AacInputBuffer input_;
    std::vector<uint8_t> output_;
    bool started_ = false;
    bool headerWritten_ = false;
    bool failed_ = false;
    std::string reason_;
};

}  // namespace sonavert
