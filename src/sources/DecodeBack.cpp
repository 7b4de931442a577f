#include "sources/DecodeBack.h"

#include <cstring>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/samplefmt.h>
}

#include "base/GrowingFile.h"
#include "base/VectorState.h"
#include "sources/FfmpegSource.h"

namespace sonavert {

namespace {

using namespace ffmpeg_detail;

constexpr double kInt32Scale = 1.0 / 2147483648.0;

int32_t FloatBits(float f) {
    int32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    return bits;
}

// One sample of a decoded frame in both forms; `Kind` is the packed format of the family of
// formats (planar or not), fixed per loop so that the conversion inlines into it.
template <AVSampleFormat Kind>
inline void Convert(const uint8_t* data, size_t index, int32_t& stored, double& value) {
    if constexpr (Kind == AV_SAMPLE_FMT_U8) {
        stored = static_cast<int32_t>(static_cast<uint32_t>(data[index] ^ 0x80u) << 24);
        value = stored * kInt32Scale;
    } else if constexpr (Kind == AV_SAMPLE_FMT_S16) {
        int16_t v;
        std::memcpy(&v, data + index * 2, 2);
        stored = static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint16_t>(v)) << 16);
        value = stored * kInt32Scale;
    } else if constexpr (Kind == AV_SAMPLE_FMT_S32) {
        std::memcpy(&stored, data + index * 4, 4);
        value = stored * kInt32Scale;
    } else if constexpr (Kind == AV_SAMPLE_FMT_FLT) {
        float f;
        std::memcpy(&f, data + index * 4, 4);
        stored = FloatBits(f);
        value = f;
    } else {
        double d;
        std::memcpy(&d, data + index * 8, 8);
        stored = FloatBits(static_cast<float>(d));
        value = d;
    }
}

// A decoded frame's samples, interleaved, in both forms (`Values`), or as stored only.
template <AVSampleFormat Kind, bool Values>
void ConvertFrame(const AVFrame& frame, bool planar, size_t frames, size_t channels, int32_t* stored, double* values) {
    double unused;
    if (!planar) {
        const uint8_t* data = frame.extended_data[0];
        const size_t count = frames * channels;
        for (size_t at = 0; at < count; ++at) Convert<Kind>(data, at, stored[at], Values ? values[at] : unused);
        return;
    }
    for (size_t c = 0; c < channels; ++c) {
        const uint8_t* data = frame.extended_data[c];
        for (size_t i = 0; i < frames; ++i)
            Convert<Kind>(data, i, stored[i * channels + c], Values ? values[i * channels + c] : unused);
    }
}

template <bool Values>
void ConvertFrame(AVSampleFormat format, const AVFrame& frame, size_t frames, size_t channels, int32_t* stored,
                  double* values) {
    const bool planar = av_sample_fmt_is_planar(format) != 0;
    switch (av_get_packed_sample_fmt(format)) {
        case AV_SAMPLE_FMT_U8:
            return ConvertFrame<AV_SAMPLE_FMT_U8, Values>(frame, planar, frames, channels, stored, values);
        case AV_SAMPLE_FMT_S16:
            return ConvertFrame<AV_SAMPLE_FMT_S16, Values>(frame, planar, frames, channels, stored, values);
        case AV_SAMPLE_FMT_S32:
            return ConvertFrame<AV_SAMPLE_FMT_S32, Values>(frame, planar, frames, channels, stored, values);
        case AV_SAMPLE_FMT_FLT:
            return ConvertFrame<AV_SAMPLE_FMT_FLT, Values>(frame, planar, frames, channels, stored, values);
        default: return ConvertFrame<AV_SAMPLE_FMT_DBL, Values>(frame, planar, frames, channels, stored, values);
    }
}

bool Supported(AVSampleFormat f) {
    switch (f) {
        case AV_SAMPLE_FMT_U8: case AV_SAMPLE_FMT_U8P: case AV_SAMPLE_FMT_S16: case AV_SAMPLE_FMT_S16P:
        case AV_SAMPLE_FMT_S32: case AV_SAMPLE_FMT_S32P: case AV_SAMPLE_FMT_FLT: case AV_SAMPLE_FMT_FLTP:
        case AV_SAMPLE_FMT_DBL: case AV_SAMPLE_FMT_DBLP:
            return true;
        default:
            return false;
    }
}

}  // namespace

namespace {

// Decodes the opened `format` as DecodeBack does; without `withValues` the blocks hold no values.
bool DecodeOpened(AVFormatContext* format, const std::function<bool(const DecodedBlock&)>& take, DecodedStream& stream,
                  std::string& reason, bool withValues = true, int threads = 1) {
    const int index = av_find_best_stream(format, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (index < 0) {
        reason = "the target holds no audio stream";
        return false;
    }
    const AVCodecParameters* par = format->streams[index]->codecpar;
    const AVCodec* decoder = avcodec_find_decoder(par->codec_id);
    CodecPtr codec(decoder ? avcodec_alloc_context3(decoder) : nullptr);
    // Decoders of independent frames (FLAC, ALAC) decode several at once on threads of their own
    // and still give them back in order, sample for sample as one thread does.
    if (codec && threads > 1 && (decoder->capabilities & AV_CODEC_CAP_FRAME_THREADS)) {
        codec->thread_count = threads;
        codec->thread_type = FF_THREAD_FRAME;
    }
    if (!codec || avcodec_parameters_to_context(codec.get(), par) < 0 || avcodec_open2(codec.get(), decoder, nullptr) < 0) {
        reason = "the target's audio cannot be decoded";
        return false;
    }
    PacketPtr packet(av_packet_alloc());
    FramePtr frame(av_frame_alloc());
    if (!packet || !frame) {
        reason = "out of memory";
        return false;
    }
    std::vector<int32_t> stored;
    std::vector<double> values;
    bool first = true;
    auto markDamaged = [&]() {
        if (!stream.damaged) stream.damagedAt = stream.frames;
        stream.damaged = true;
    };

    // Takes every frame the decoder has ready; false when decoding must stop (reason set).
    auto drain = [&]() -> bool {
        for (;;) {
            const int got = avcodec_receive_frame(codec.get(), frame.get());
            if (got == AVERROR(EAGAIN) || got == AVERROR_EOF) return true;
            if (got < 0) {
                markDamaged();
                return true;
            }
            const auto fmt = static_cast<AVSampleFormat>(frame->format);
            const int nb = frame->ch_layout.nb_channels;
            if (!Supported(fmt) || nb < 1 || frame->sample_rate < 1 || frame->nb_samples < 0) {
                reason = "the target's audio has a sample format that cannot be checked";
                return false;
            }
            if (first) {
                stream.rate = static_cast<uint32_t>(frame->sample_rate);
                stream.channels = static_cast<uint32_t>(nb);
                stream.isFloat = fmt == AV_SAMPLE_FMT_FLT || fmt == AV_SAMPLE_FMT_FLTP || fmt == AV_SAMPLE_FMT_DBL ||
                                 fmt == AV_SAMPLE_FMT_DBLP;
                first = false;
            } else if (stream.rate != static_cast<uint32_t>(frame->sample_rate) ||
                       stream.channels != static_cast<uint32_t>(nb)) {
                reason = "the target's audio changes its format on the way";
                return false;
            }
            const size_t frames = static_cast<size_t>(frame->nb_samples);
            const size_t channels = static_cast<size_t>(nb);
            stored.resize(frames * channels);
            if (withValues) {
                values.resize(frames * channels);
                ConvertFrame<true>(fmt, *frame, frames, channels, stored.data(), values.data());
            } else {
                ConvertFrame<false>(fmt, *frame, frames, channels, stored.data(), nullptr);
            }
            av_frame_unref(frame.get());
            stream.frames += frames;
            if (frames && !take(DecodedBlock{stored.data(), withValues ? values.data() : nullptr,
                                             static_cast<uint32_t>(frames), static_cast<uint32_t>(channels)})) {
                reason = "cancelled";
                return false;
            }
        }
    };

    for (;;) {
        ClearUpperVectorState();
        const int read = av_read_frame(format, packet.get());
        if (read == AVERROR_EOF) break;
        if (read < 0) {
            reason = "the target cannot be read to its end";
            return false;
        }
        if (packet->stream_index != index) {
            av_packet_unref(packet.get());
            continue;
        }
        if (av_packet_get_side_data(packet.get(), AV_PKT_DATA_SKIP_SAMPLES, nullptr)) stream.trimmed = true;
        int sent = avcodec_send_packet(codec.get(), packet.get());
        // A decoder that holds frames takes the packet once they are taken.
        while (sent == AVERROR(EAGAIN)) {
            if (!drain()) return false;
            sent = avcodec_send_packet(codec.get(), packet.get());
        }
        av_packet_unref(packet.get());
        if (sent < 0) markDamaged();
        if (!drain()) return false;
    }
    avcodec_send_packet(codec.get(), nullptr);
    if (!drain()) return false;
    if (first) {
        reason = "the target holds no audio";
        return false;
    }
    return true;
}

// The read callback of a followed target: the growing file's bytes in order, those from the
// audio's start on summed as they pass.
struct Following {
    explicit Following(GrowingFile& f) : file(f) {}
    GrowingFile& file;
    uint64_t offset = 0;
    uint64_t audioStart = 0;
    StreamHash hash;

    static int Read(void* opaque, uint8_t* buffer, int size) {
        auto* self = static_cast<Following*>(opaque);
        if (size <= 0) return 0;
        const int64_t n = self->file.Read(self->offset, buffer, static_cast<size_t>(size));
        if (n < 0) return AVERROR_EXIT;
        if (n == 0) return AVERROR_EOF;
        if (self->offset + static_cast<uint64_t>(n) > self->audioStart) {
            const uint64_t skip = self->audioStart > self->offset ? self->audioStart - self->offset : 0;
            self->hash.Add(buffer + skip, static_cast<size_t>(static_cast<uint64_t>(n) - skip));
        }
        self->offset += static_cast<uint64_t>(n);
        return static_cast<int>(n);
    }
};

struct AvioFreer {
    void operator()(AVIOContext* io) const {
        if (!io) return;
        av_freep(&io->buffer);
        avio_context_free(&io);
    }
};

}  // namespace

bool DecodeBack(const std::string& path, const std::function<bool(const DecodedBlock&)>& take, DecodedStream& stream,
                std::string& reason, int threads) {
    stream = DecodedStream{};
    FormatPtr format = OpenInput(path);
    if (!format) {
        reason = "the target cannot be opened";
        return false;
    }
    return DecodeOpened(format.get(), take, stream, reason, true, threads);
}

bool DecodeBackFollowing(GrowingFile& file, const char* container, const std::function<bool(const DecodedBlock&)>& take,
                         DecodedStream& stream, FollowedBytes& bytes, std::string& reason) {
    stream = DecodedStream{};
    bytes = FollowedBytes{};
    Following following(file);
    following.audioStart = file.PrefixSize();
    const AVInputFormat* demuxer = av_find_input_format(container);
    constexpr int kBufferBytes = 64 * 1024;
    auto* buffer = static_cast<uint8_t*>(av_malloc(kBufferBytes));
    // Not seekable: FFmpeg reads the stream once, in order, as it grows.
    std::unique_ptr<AVIOContext, AvioFreer> io(
        buffer ? avio_alloc_context(buffer, kBufferBytes, 0, &following, &Following::Read, nullptr, nullptr) : nullptr);
    if (!io) av_free(buffer);
    AVFormatContext* raw = io && demuxer ? avformat_alloc_context() : nullptr;
    if (!raw) {
        reason = "the target cannot be opened";
        return false;
    }
    io->seekable = 0;
    raw->pb = io.get();
    raw->flags |= AVFMT_FLAG_CUSTOM_IO;
    // Declared after `io`: the format closes first, then its reader is freed.
    FormatPtr format;
    if (avformat_open_input(&raw, nullptr, demuxer, nullptr) < 0) {  // a failed call frees the context
        reason = "the target cannot be opened";
        return false;
    }
    format.reset(raw);
    if (avformat_find_stream_info(raw, nullptr) < 0) {
        reason = "the target cannot be opened";
        return false;
    }
    if (!DecodeOpened(format.get(), take, stream, reason, false)) return false;
    bytes.hash = following.hash.Result();
    bytes.count = following.hash.Count();
    bytes.audioStart = following.audioStart;
    return true;
}

}  // namespace sonavert
