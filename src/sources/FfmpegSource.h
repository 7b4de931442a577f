#pragma once
// Decoders over libavformat/libavcodec: FfmpegSource decodes the first audio stream of any container
// FFmpeg can read; FfmpegProbeSource only reads the container's format (for the file list).
// More than two channels are delivered as their stereo downmix (base/Downmix.h) by the decoded
// frames' channel layout. The wide read delivers up to eight channels as decoded, with the bits the
// file stores (floats only from lossless codecs).
#include <cstdint>
#include <memory>
#include <string>

#include <vector>

#include "base/Downmix.h"
#include "sources/AudioSource.h"

struct AVChannelLayout;
struct AVFormatContext;
struct AVCodecContext;
struct AVPacket;
struct AVFrame;

namespace sonavert {

namespace ffmpeg_detail {
struct FormatCloser {
    void operator()(AVFormatContext* ctx) const;
};
struct CodecFreer {
    void operator()(AVCodecContext* ctx) const;
};
struct PacketFreer {
    void operator()(AVPacket* pkt) const;
};
struct FrameFreer {
    void operator()(AVFrame* frame) const;
};
using FormatPtr = std::unique_ptr<AVFormatContext, FormatCloser>;
using CodecPtr = std::unique_ptr<AVCodecContext, CodecFreer>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFreer>;
using FramePtr = std::unique_ptr<AVFrame, FrameFreer>;

// Opens `path` as a local file (no other protocol is reachable from it) and probes its streams.
FormatPtr OpenInput(const std::string& path);

// The speaker of each channel of an FFmpeg channel layout; a layout without positions (unspecified
// order) gets the usual WAVE order for its channel count.
SpeakerLayout SpeakersOf(const AVChannelLayout& layout);

// Converts one decoded sample to the delivered 16-bit form. Float samples are scaled by 2^31 - 1,
// truncated to an integer and shifted right by 16; values beyond +-1.0 saturate at the ends of the
// range instead of wrapping.
int16_t FloatToS16(double x);
}  // namespace ffmpeg_detail

class FfmpegSource : public AudioSource {
public:
    FfmpegSource() = default;
    ~FfmpegSource() override;

    void Close() override;
    // renderRate is ignored.
    int Open(const std::string& path, uint32_t renderRate) override;
    uint32_t Read(void* left, void* right) override;
    WideFormat GetWideFormat() override;
    uint32_t ReadWide(double* interleaved) override;
    // Tags of the container (falling back to the audio stream's own metadata, where Ogg keeps them).
    int ReadTags(TagRecord& tags) override;
    bool StatesNoAudio() override { return statesNoAudio_; }

private:
    // Moves samples of the held frame into the planes from frame `filled` on; returns frames moved.
    uint32_t TakeFromFrame(void* left, void* right, uint32_t filled);
    // The same for the wide read: interleaved doubles of `channels` channels.
    uint32_t TakeWide(double* out, uint32_t channels, uint32_t filled);
    // Makes the decoder produce the next frame into frame_; false when the stream is over.
    bool NextFrame();
    void UpdatePosition();

    ffmpeg_detail::FormatPtr format_;
    ffmpeg_detail::CodecPtr codec_;
    ffmpeg_detail::PacketPtr packet_;
    ffmpeg_detail::FramePtr frame_;
    int streamIndex_ = -1;
    int frameOffset_ = 0;       // frames of frame_ already delivered
    bool frameHeld_ = false;    // frame_ holds decoded samples
    bool inputEnded_ = false;   // no more packets from the demuxer
    bool flushSent_ = false;    // the decoder was told that the input ended
    bool decoderDone_ = false;  // the decoder has given its last frame
    bool packetPending_ = false;  // packet_ holds an audio packet the decoder has not taken yet
    bool statesNoAudio_ = false;
    WideFormat wide_;  // what the wide read delivers, fixed at open
    // Frames of more than two channels: the mix for the layout of the last such frame.
    StereoDownmix downmix_;
    SpeakerLayout mixSpeakers_;
    std::vector<int16_t> mixScratch_;
};

// Reads the format of a file without decoding it; Read always returns 0. A file without an audio
// stream still opens (its video stream's picture size and frame rate are reported).
class FfmpegProbeSource : public AudioSource {
public:
    FfmpegProbeSource() = default;
    ~FfmpegProbeSource() override;

    void Close() override;
    int Open(const std::string& path, uint32_t renderRate) override;
    uint32_t Read(void* left, void* right) override;
    bool HasAudioStream() override { return streamIndex_ >= 0; }

private:
    ffmpeg_detail::FormatPtr format_;
    int streamIndex_ = -1;
};

}  // namespace sonavert
