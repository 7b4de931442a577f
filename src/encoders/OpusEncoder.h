#pragma once
// Ogg Opus writer. One or two channels handed at 48 kHz (channel mapping 0) are coded by libopus
// directly and paged with libogg here: the identification header records the source's rate and
// the encoder's look-ahead as the pre-skip, the stream is cut into 20 ms packets, the tail padded
// with silence so every sample handed is coded, and the end-of-stream granule position trims
// the decode to exactly the samples handed. Anything else goes through libopusenc, which
// resamples to Opus's 48 kHz itself and sets the same header fields: three to eight channels in
// the Vorbis layout (mapping 1) or, for speakers no Vorbis layout names, as independent channels
// (mapping 255), and one or two channels at another rate. The tag record goes in as Vorbis
// comments.
//
// Calling order: Open, [SetComments], Start, Encode per block, Finish. Finish is valid in every
// state and the destructor performs it.
//
// Every write is checked. The first write that fails or falls short makes the encoder failed:
// FailureReason() says why, Encode returns 0 from then on, and Finish returns 0.
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tags/CoverArt.h"
#include "tags/TagRecord.h"

struct OggOpusComments;
struct OggOpusEnc;

namespace sonavert {

// How the encoder spends its bits (the OPUSBitRateMode setting).
enum class OpusRateMode { Variable = 0, Constrained = 1, Constant = 2 };

struct OpusStreamParams {
    uint32_t inputRate = 48000;  // Hz of the samples handed; libopusenc converts other rates to 48 kHz
    uint32_t sourceRate = 0;     // Hz the header records as the original rate (0: inputRate)
    uint32_t channels = 2;       // 1..8, interleaved in the Vorbis channel order
    int32_t bitRate = 128000;    // bits per second for the whole stream
    OpusRateMode mode = OpusRateMode::Variable;
    bool voice = false;          // tuned for speech instead of general audio
    bool unnamedLayout = false;  // more than two channels in no Vorbis layout: mapping 255
};

class OpusEncoder {
public:
    static constexpr uint32_t kMaxChannels = 8;
    static constexpr int32_t kMinBitRate = 6000;
    static constexpr int32_t kMaxBitRatePerChannel = 256000;

    OpusEncoder();
    OpusEncoder(const OpusEncoder&) = delete;
    OpusEncoder& operator=(const OpusEncoder&) = delete;
    ~OpusEncoder();

    // Finishes anything still open and creates (truncates) `path`. Returns 1 when the file is
    // open, 0 otherwise (with a reason).
    int Open(const std::string& path);

    // The Vorbis comments, replacing any set before: the same keys and rules as the Ogg Vorbis
    // writer (a text that is not valid UTF-8 is skipped; TRACKNUMBER only for a track above 0).
    // Ignored unless open and not yet started.
    void SetComments(const TagRecord& tags);
    // Adds `picture` as a METADATA_BLOCK_PICTURE comment (after SetComments, which starts over).
    void SetPicture(const Picture& picture);

    // Creates the encoder for `params` (the bit rate clamped to 6 kbps .. 256 kbps per channel),
    // sets its bit-rate mode and tuning and, on the direct path, writes the two header pages.
    // Returns 0 with a reason when the encoder refuses or a write fails.
    int Start(const OpusStreamParams& params);

    // Encodes `frames` frames of interleaved samples in [-1, 1] (values beyond are clipped by
    // the encoder). Returns 1 when every page produced reached the file.
    int Encode(const float* interleaved, uint32_t frames);

    // Drains the encoder (the last pages, with the end-of-stream granule position), releases it
    // and closes the file. Returns 0 when anything since Open failed, 1 otherwise (also when
    // nothing was open). Safe to call repeatedly.
    int Finish();

    bool IsOpen() const { return file_ != nullptr; }
    bool Failed() const { return failed_; }
    const std::string& FailureReason() const { return reason_; }

private:
    struct Direct;  // the libopus encoder and Ogg stream of the direct path

    int StartDirect(const OpusStreamParams& params, int32_t bitRate);
    int StartThroughLibopusenc(const OpusStreamParams& params, int32_t bitRate);
    // Codes the direct path's pending frame as one packet; `last` ends the stream with the
    // granule position of the last sample handed. False on failure.
    bool EncodeDirectFrame(bool last);
    // Writes the direct path's complete pages (all of them with `flush`). False on failure.
    bool WriteDirectPages(bool flush);
    bool WriteOggPage(const unsigned char* header, long headerLength, const unsigned char* body, long bodyLength);
    static int WritePage(void* user, const unsigned char* data, int32_t length);
    static int ClosePages(void* user);
    void Fail(const std::string& reason);
    void WriteFailed();

    std::FILE* file_ = nullptr;
    std::string path_;
    std::string reason_;
    bool failed_ = false;
    std::vector<std::pair<std::string, std::string>> comments_;  // key, text
    OggOpusComments* opeComments_ = nullptr;
    bool started_ = false;
    std::unique_ptr<Direct> direct_;
    OggOpusEnc* encoder_ = nullptr;
    uint32_t channels_ = 0;
    uint64_t framesWritten_ = 0;
};

// Reorders one frame of `channels` samples from the WAV channel order (front left, front right,
// centre, LFE, back, side) to the Vorbis order Opus's mapping 1 expects; one, two and four
// channels are the same in both.
void WavToVorbisOrder(const float* in, float* out, uint32_t channels);

}  // namespace sonavert
