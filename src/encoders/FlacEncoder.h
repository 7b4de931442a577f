#pragma once
// FLAC file writer over libFLAC's stream encoder: 1 to 8 channels of 4 to 24-bit integer samples,
// a seek table of points every ten seconds, the MD5 signature of the audio in STREAMINFO and the
// tags as Vorbis comments. The file is written through callbacks over a stream this class owns,
// so every write, the seeks that complete STREAMINFO and the seek table at the end, and the final
// flush are checked.
//
// Calling order: Open, Configure, [SetComments], Start, EncodeInterleaved per block, Close (which
// finishes the stream). Close is valid in every state and the destructor performs it.
#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <FLAC/metadata.h>
#include <FLAC/stream_encoder.h>

#include "tags/CoverArt.h"
#include "tags/TagRecord.h"

namespace sonavert {

class GrowingFile;

class FlacEncoder {
public:
    static constexpr uint32_t kMaxChannels = 8;
    static constexpr uint32_t kMinBits = 4;
    static constexpr uint32_t kMaxBits = 24;
    static constexpr int kMaxCompression = 8;
    // Distance of the seek table's points.
    static constexpr uint32_t kSeekPointSeconds = 10;

    FlacEncoder() = default;
    FlacEncoder(const FlacEncoder&) = delete;
    FlacEncoder& operator=(const FlacEncoder&) = delete;
    ~FlacEncoder();

    // Closes anything still open and creates (truncates) `path`. Returns 1, or 0 with a reason.
    int Open(const std::string& path);

    // The stream's format: `channels` 1..8, `bits` 4..24, `compression` 0..8 (libFLAC's levels),
    // `channelMask` the speaker positions in WAVE_FORMAT_EXTENSIBLE bits (0 unknown; stored as a
    // comment where more than two channels carry one), `expectedFrames` the length the source
    // states (0 unknown: no seek table). Returns 0 with a reason for a format FLAC cannot hold,
    // or when not open or already started.
    int Configure(uint32_t rate, uint32_t channels, uint32_t bits, int compression, uint64_t channelMask,
                  uint64_t expectedFrames);

    // The Vorbis comments: TITLE, ARTIST, ALBUM, DATE, GENRE, COMMENT, COMPOSER, COPYRIGHT for each
    // text that is not empty and is valid UTF-8, then TRACKNUMBER when the track text's value is
    // greater than 0. Ignored unless configured and not yet started.
    void SetComments(const TagRecord& tags);
    // A PICTURE block with `picture` (its bytes as they are). Ignored unless configured and not
    // yet started, or when the picture does not fit one metadata block.
    void SetPicture(const Picture& picture);

    // Leaves the MD5 signature of the audio to the caller, who sums the samples it hands over and
    // gives the sum with SetMd5 before Close (STREAMINFO holds zeros, "not set", without it). For
    // an encoder driven from a thread other than the one that has time to sum. Ignored unless
    // configured and not yet started.
    void LeaveMd5ToCaller();
    void SetMd5(const std::array<uint8_t, 16>& md5);

    // Has `file` follow the target as it is written, so that another thread can read it back
    // meanwhile: the header as Start writes it is its prefix, the frames are published after a
    // flush about every kPublishBytes and at the end, and Close finishes or fails it. Call after
    // Open and before Start; ignored otherwise.
    void FollowWith(std::shared_ptr<GrowingFile> file);
    static constexpr uint64_t kPublishBytes = 256 * 1024;

    // Writes the stream's header and metadata. Returns 0 with a reason on failure.
    int Start();

    // `frames` frames of interleaved samples in [-1, 1] scale (an integer sample is value /
    // 2^(bits-1)); each is rounded to the stream's bits and clamped to its range. Returns 1, or 0
    // after a failure (the first failure's reason stays).
    int EncodeInterleaved(const double* samples, uint32_t frames);

    // Finishes the stream (the last frame, STREAMINFO with length and MD5, the seek table) and
    // closes the file. Returns 0 when anything since Open failed, 1 otherwise (also when nothing
    // was open). Safe to call repeatedly.
    int Close();

    const std::string& FailureReason() const { return reason_; }
    bool IsOpen() const { return file_ != nullptr; }
    bool Failed() const { return failed_; }

private:
    // libFLAC's write, seek and tell callbacks over file_.
    struct Io;
    friend struct Io;
    void Fail(const std::string& reason);
    void WriteFailed();
    // Flushes what was appended and publishes it to follow_; false (failed) when the flush fails.
    bool PublishAppended();
    void ReleaseMetadata();
    // After the stream was finished: seek points beyond a stream that ended short of the length
    // it was configured for are turned into placeholders, so none points at the file's start.
    void MendSeekTable();
    // After the stream was finished: the caller's MD5 written into STREAMINFO.
    void WriteGivenMd5();

    std::FILE* file_ = nullptr;
    std::string path_;
    // Following: bytes appended before the end's rewrite began, those published, the header
    // while Start writes it, and whether libFLAC went back to rewrite the header.
    std::shared_ptr<GrowingFile> follow_;
    uint64_t appended_ = 0;
    uint64_t published_ = 0;
    std::vector<uint8_t> header_;
    bool writingHeader_ = false;
    bool rewinding_ = false;
    FLAC__StreamEncoder* encoder_ = nullptr;
    FLAC__StreamMetadata* comments_ = nullptr;
    FLAC__StreamMetadata* seekTable_ = nullptr;
    FLAC__StreamMetadata* picture_ = nullptr;
    std::vector<int32_t> buffer_;
    uint32_t channels_ = 0;
    uint32_t bits_ = 0;
    bool configured_ = false;
    bool started_ = false;
    bool md5FromCaller_ = false;
    bool md5Given_ = false;
    std::array<uint8_t, 16> md5_{};
    bool failed_ = false;
    std::string reason_;
};

// What a FLAC file's STREAMINFO block states of its samples.
struct FlacStreamInfo {
    uint32_t rate = 0;
    uint32_t channels = 0;
    uint32_t bits = 0;
    uint8_t md5[16] = {};
};

// A FLAC file's STREAMINFO (libFLAC's metadata reader, which checks the stream's header and the
// block's bounds). False when the file has no readable STREAMINFO.
bool ReadFlacStreamInfo(const std::string& path, FlacStreamInfo& info);

// Whether `finished`, a FLAC file's header (the marker and its metadata blocks) as the file holds
// it at its end, is `first`, the header as the encoder wrote it before the first frame, but for
// what finishing the stream completes: STREAMINFO's frame sizes, length and MD5, and the seek
// table's points. Anything else (another layout, rate, channels, bits or block size, other tags)
// is false. Both are read bounds-checked.
bool FlacHeaderOnlyCompleted(const std::vector<uint8_t>& first, const std::vector<uint8_t>& finished);

}  // namespace sonavert
