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

struct AVCodecContext;
struct AVDictionary;
struct AVFormatContext;
struct AVFrame;
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

// The iTunes-style metadata both MPEG-4 writers store: title, artist, album, year, genre, comment
// and composer (each skipped when empty or not valid UTF-8) and `track` as the track number with
// total 0 (skipped unless 1..65535).
void SetMp4Metadata(AVDictionary** metadata, const TagRecord& tags, int track);

// Apple Lossless in the same MPEG-4 audio file (FFmpeg's ALAC encoder and the muxer of M4aWriter):
// 1 to 8 channels, 16 or 24 bits. The channels are stored in the layout ALAC has for their count
// (mono, stereo, 3.0, 4.0, 5.0, 5.1, 6.1, 7.1); samples arrive in the source's speaker order by
// its mask and are placed by position, a side pair taking the place of the back pair where the
// layout has no side pair. Lifecycle: Open, SetMetadata (optional), EncodeInterleaved per block,
// Close.
class AlacWriter {
public:
    static constexpr uint32_t kMaxChannels = 8;

    AlacWriter();
    AlacWriter(const AlacWriter&) = delete;
    AlacWriter& operator=(const AlacWriter&) = delete;
    ~AlacWriter();

    // The channel mask of ALAC's layout for `channels` (1..8), 0 for another count.
    static uint64_t LayoutMask(uint32_t channels);

    // Closes anything still open, creates (truncates) `path` and opens the encoder: `bits` 16 or
    // 24, `sourceMask` the speaker positions of the samples that will arrive (0: already in
    // ALAC's order). Returns 1, or 0 with a reason.
    int Open(const std::string& path, uint32_t sampleRate, uint32_t channels, uint32_t bits, uint64_t sourceMask);

    // Metadata as M4aWriter's, before the first block. Returns 1, or 0 when not open or too late.
    int SetMetadata(const TagRecord& tags, int track);

    // `frames` frames of interleaved samples in [-1, 1] scale, rounded to the stream's bits and
    // clamped. Returns 1, or 0 after a failure.
    int EncodeInterleaved(const double* samples, uint32_t frames);

    // Encodes the buffered remainder, drains the encoder, finishes the container and closes the
    // file. Returns 0 when anything since Open failed, 1 otherwise. Safe to call repeatedly.
    int Close();

    const std::string& FailureReason() const { return reason_; }
    bool IsOpen() const { return format_ != nullptr; }

private:
    struct FormatCloser {
        void operator()(AVFormatContext* f) const;
    };
    struct CodecCloser {
        void operator()(AVCodecContext* c) const;
    };
    struct FrameCloser {
        void operator()(AVFrame* f) const;
    };
    struct PacketCloser {
        void operator()(AVPacket* p) const;
    };

    bool SendFrame(bool flush);
    bool Drain();
    bool WriteHeader();
    int Fail(std::string reason);

    std::unique_ptr<AVFormatContext, FormatCloser> format_;
    std::unique_ptr<AVCodecContext, CodecCloser> codec_;
    std::unique_ptr<AVFrame, FrameCloser> frame_;
    std::unique_ptr<AVPacket, PacketCloser> packet_;
    AVStream* stream_ = nullptr;
    uint32_t channels_ = 0;
    uint32_t bits_ = 0;
    uint32_t rate_ = 0;
    int frameSize_ = 0;
    int filled_ = 0;           // frames waiting in frame_
    int64_t pts_ = 0;          // frames sent to the encoder
    uint32_t order_[kMaxChannels] = {};  // target channel i takes source channel order_[i]
    std::vector<int32_t> quantised_;     // the block being taken, interleaved, at the target's bits
    bool headerWritten_ = false;
    bool failed_ = false;
    std::string reason_;
};

}  // namespace sonavert
