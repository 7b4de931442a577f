#include "sources/FfmpegSource.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/samplefmt.h>
}

#include "sources/WavReader.h"
#include "sources/bass/FirstBytes.h"

namespace sonavert {

namespace ffmpeg_detail {

void FormatCloser::operator()(AVFormatContext* ctx) const { avformat_close_input(&ctx); }
void CodecFreer::operator()(AVCodecContext* ctx) const { avcodec_free_context(&ctx); }
void PacketFreer::operator()(AVPacket* pkt) const { av_packet_free(&pkt); }
void FrameFreer::operator()(AVFrame* frame) const { av_frame_free(&frame); }

FormatPtr OpenInput(const std::string& path) {
    if (path.empty()) return {};
    // The explicit "file:" scheme keeps a name such as "a:b.flac" or "http://x" a local file name, and
    // the whitelist stops playlists and similar containers from reaching out to other protocols.
    const std::string url = "file:" + path;
    auto open = [&url](AVFormatContext** raw, const AVInputFormat* container) {
        AVDictionary* options = nullptr;
        av_dict_set(&options, "protocol_whitelist", "file", 0);
        // Wave64 states no length, and the stream analysis then reads and probes five megabytes
        // of PCM for another codec stored as PCM; its first 4 KB tell such a stream as well.
        if (container && std::strcmp(container->name, "w64") == 0) av_dict_set(&options, "probesize", "4096", 0);
        const int opened = avformat_open_input(raw, url.c_str(), container, &options);
        av_dict_free(&options);
        return opened >= 0;  // a failed call frees the context
    };
    // A container its first bytes name goes straight to its demuxer; FFmpeg's probe tries every
    // demuxer's signature, several milliseconds a file. A header the named demuxer refuses still
    // gets the probe.
    const AVInputFormat* container = bass::ContainerByFirstBytes(path);
    AVFormatContext* raw = nullptr;
    if (!(container && open(&raw, container)) && !open(&raw, nullptr)) return {};
    FormatPtr format(raw);
    if (avformat_find_stream_info(raw, nullptr) < 0) return {};
    return format;
}

SpeakerLayout SpeakersOf(const AVChannelLayout& layout) {
    const int nb = layout.nb_channels > 0 ? layout.nb_channels : 0;
    if (layout.order != AV_CHANNEL_ORDER_NATIVE && layout.order != AV_CHANNEL_ORDER_CUSTOM)
        return LayoutFromMask(static_cast<uint32_t>(nb), 0);
    SpeakerLayout speakers(static_cast<size_t>(nb), 0);
    for (int c = 0; c < nb; ++c) {
        const AVChannel id = av_channel_layout_channel_from_index(&layout, static_cast<unsigned>(c));
        // FFmpeg's first 18 positions are the WAVE mask bits, in the same order.
        if (id >= AV_CHAN_FRONT_LEFT && id <= AV_CHAN_TOP_BACK_RIGHT)
            speakers[static_cast<size_t>(c)] = uint32_t{1} << id;
        else if (id == AV_CHAN_STEREO_LEFT || id == AV_CHAN_WIDE_LEFT)
            speakers[static_cast<size_t>(c)] = kSpeakerFrontLeft;
        else if (id == AV_CHAN_STEREO_RIGHT || id == AV_CHAN_WIDE_RIGHT)
            speakers[static_cast<size_t>(c)] = kSpeakerFrontRight;
        else if (id == AV_CHAN_SURROUND_DIRECT_LEFT)
            speakers[static_cast<size_t>(c)] = kSpeakerSideLeft;
        else if (id == AV_CHAN_SURROUND_DIRECT_RIGHT)
            speakers[static_cast<size_t>(c)] = kSpeakerSideRight;
    }
    return speakers;
}

int16_t FloatToS16(double x) {
    if (std::isnan(x)) return 0;
    if (x >= 1.0) return INT16_MAX;
    if (x <= -1.0) return INT16_MIN;
    const int64_t wide = static_cast<int64_t>(x * 2147483647.0);
    return static_cast<int16_t>(wide >> 16);
}

}  // namespace ffmpeg_detail

namespace {

using namespace ffmpeg_detail;

uint64_t InputSize(AVFormatContext* format) {
    if (!format || !format->pb) return 0;
    const int64_t size = avio_size(format->pb);
    return size > 0 ? static_cast<uint64_t>(size) : 0;
}

// Whether the file states that `stream` holds no audio: a duration of exactly 0, or a WAV file
// whose "data" chunk is empty (the WAV demuxer takes a size of 0 as "unknown", so its own header
// decides).
bool StreamStatesNoAudio(const AVFormatContext* format, const AVStream* stream, const std::string& path) {
    if (stream->duration == 0) return true;
    if (stream->duration != AV_NOPTS_VALUE || !format->iformat || !format->iformat->name) return false;
    if (std::string(format->iformat->name) != "wav") return false;
    WavReader header;
    return header.Open(path, 0) && header.StatesNoAudio();
}

uint64_t InputPosition(AVFormatContext* format) {
    if (!format || !format->pb) return 0;
    const int64_t pos = avio_tell(format->pb);
    return pos > 0 ? static_cast<uint64_t>(pos) : 0;
}

int32_t DurationSeconds(AVFormatContext* format) {
    if (format->duration == AV_NOPTS_VALUE || format->duration <= 0) return 0;
    const int64_t seconds = format->duration / AV_TIME_BASE;
    return seconds > INT32_MAX ? INT32_MAX : static_cast<int32_t>(seconds);
}

int FirstStreamOfType(AVFormatContext* format, AVMediaType type) {
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        const AVStream* st = format->streams[i];
        if (st->codecpar->codec_type != type) continue;
        // Cover pictures are stored as one-frame video streams; they are not a video.
        if (type == AVMEDIA_TYPE_VIDEO && (st->disposition & AV_DISPOSITION_ATTACHED_PIC)) continue;
        return static_cast<int>(i);
    }
    return -1;
}

bool IsUnsigned8(int sampleFormat) {
    return sampleFormat == AV_SAMPLE_FMT_U8 || sampleFormat == AV_SAMPLE_FMT_U8P;
}

inline int16_t ToS16(uint8_t v) { return static_cast<int16_t>((static_cast<int>(v) - 128) * 256); }
inline int16_t ToS16(int16_t v) { return v; }
inline int16_t ToS16(int32_t v) { return static_cast<int16_t>(v >> 16); }
inline int16_t ToS16(int64_t v) { return static_cast<int16_t>(v >> 48); }
inline int16_t ToS16(float v) { return FloatToS16(v); }
inline int16_t ToS16(double v) { return FloatToS16(v); }

inline uint8_t ToU8(uint8_t v) { return v; }
inline uint8_t ToU8(int16_t v) { return static_cast<uint8_t>((v >> 8) + 128); }
template <typename T>
inline uint8_t ToU8(T v) { return ToU8(ToS16(v)); }

// Moves `count` frames starting at frame `from` of a decoded frame into the planes at `at`. Channel 0
// goes left; channel 1 (or channel 0 again when the frame turned out to be mono) goes right when
// `stereo`. Frames of more than two channels are converted whole into `scratch` and mixed down by
// `downmix` (mono planes take the mean of its two outputs). `eight` selects unsigned 8-bit planes,
// otherwise signed 16-bit.
template <typename T>
void MoveSamples(const AVFrame* frame, bool planar, int from, int count, bool stereo, bool eight,
                 const StereoDownmix& downmix, std::vector<int16_t>& scratch, void* left, void* right, uint32_t at) {
    const int nb = frame->ch_layout.nb_channels;
    const bool writeRight = stereo && right;
    if (nb > 2 && downmix.Channels() == static_cast<uint32_t>(nb)) {
        const size_t samples = static_cast<size_t>(count) * nb;
        scratch.resize(samples + 2 * static_cast<size_t>(count));
        for (int c = 0; c < nb; ++c) {
            const T* in = planar ? reinterpret_cast<const T*>(frame->extended_data[c]) + from
                                 : reinterpret_cast<const T*>(frame->extended_data[0]) +
                                       static_cast<ptrdiff_t>(from) * nb + c;
            const ptrdiff_t stride = planar ? 1 : nb;
            for (int i = 0; i < count; ++i) scratch[static_cast<size_t>(i) * nb + c] = ToS16(in[i * stride]);
        }
        int16_t* l = scratch.data() + samples;
        int16_t* r = l + count;
        downmix.Mix(scratch.data(), static_cast<uint32_t>(count), l, r);
        if (!stereo)
            for (int i = 0; i < count; ++i) l[i] = static_cast<int16_t>((l[i] + r[i]) / 2);
        for (int i = 0; i < count; ++i) {
            if (eight) {
                static_cast<uint8_t*>(left)[at + i] = ToU8(l[i]);
                if (writeRight) static_cast<uint8_t*>(right)[at + i] = ToU8(r[i]);
            } else {
                static_cast<int16_t*>(left)[at + i] = l[i];
                if (writeRight) static_cast<int16_t*>(right)[at + i] = r[i];
            }
        }
        return;
    }
    const int rightChannel = nb > 1 ? 1 : 0;
    const T* l;
    const T* r;
    ptrdiff_t stride;
    if (planar) {
        l = reinterpret_cast<const T*>(frame->extended_data[0]) + from;
        r = reinterpret_cast<const T*>(frame->extended_data[rightChannel]) + from;
        stride = 1;
    } else {
        l = reinterpret_cast<const T*>(frame->extended_data[0]) + static_cast<ptrdiff_t>(from) * nb;
        r = l + rightChannel;
        stride = nb;
    }
    if (eight) {
        uint8_t* lo = static_cast<uint8_t*>(left) + at;
        uint8_t* ro = writeRight ? static_cast<uint8_t*>(right) + at : nullptr;
        for (int i = 0; i < count; ++i) {
            lo[i] = ToU8(l[i * stride]);
            if (ro) ro[i] = ToU8(r[i * stride]);
        }
    } else {
        int16_t* lo = static_cast<int16_t*>(left) + at;
        int16_t* ro = writeRight ? static_cast<int16_t*>(right) + at : nullptr;
        for (int i = 0; i < count; ++i) {
            lo[i] = ToS16(l[i * stride]);
            if (ro) ro[i] = ToS16(r[i * stride]);
        }
    }
}

// Leading decimal number of a tag text ("2021-05-01" → 2021, "3/12" → 3) when positive, else "".
std::string PositiveNumber(const std::string& text) {
    errno = 0;
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (end == text.c_str() || errno == ERANGE || value <= 0 || value > INT32_MAX) return {};
    return std::to_string(value);
}

// Consecutive decoder errors after which a stream counts as broken beyond repair.
constexpr int kMaxDecoderErrors = 64;

}  // namespace

// ---------------------------------------------------------------------------------------------------
// FfmpegSource

FfmpegSource::~FfmpegSource() { Close(); }

void FfmpegSource::Close() {
    frame_.reset();
    packet_.reset();
    codec_.reset();
    format_.reset();
    streamIndex_ = -1;
    statesNoAudio_ = false;
    frameOffset_ = 0;
    frameHeld_ = false;
    inputEnded_ = false;
    flushSent_ = false;
    decoderDone_ = false;
    packetPending_ = false;
    downmix_ = StereoDownmix();
    mixSpeakers_.clear();
    wide_ = WideFormat{};
    ResetFormat();
}

int FfmpegSource::Open(const std::string& path, uint32_t /*renderRate*/) {
    Close();
    FormatPtr format = OpenInput(path);
    if (!format) return 0;
    const int index = FirstStreamOfType(format.get(), AVMEDIA_TYPE_AUDIO);
    if (index < 0) return 0;
    AVStream* stream = format->streams[index];

    const AVCodec* decoder = avcodec_find_decoder(stream->codecpar->codec_id);
    if (!decoder) return 0;
    CodecPtr codec(avcodec_alloc_context3(decoder));
    if (!codec) return 0;
    if (avcodec_parameters_to_context(codec.get(), stream->codecpar) < 0) return 0;
    codec->pkt_timebase = stream->time_base;
    if (avcodec_open2(codec.get(), decoder, nullptr) < 0) return 0;

    PacketPtr packet(av_packet_alloc());
    FramePtr frame(av_frame_alloc());
    if (!packet || !frame) return 0;

    int stored = stream->codecpar->ch_layout.nb_channels;
    if (stored <= 0) stored = codec->ch_layout.nb_channels;
    const int rate = codec->sample_rate > 0 ? codec->sample_rate : stream->codecpar->sample_rate;
    // Without a channel count or a usable rate there is nothing the pipeline could do with the
    // samples.
    if (stored <= 0 || rate <= 0 || !UsableSampleRate(static_cast<uint64_t>(rate))) return 0;
    int sampleFormat = codec->sample_fmt;
    if (sampleFormat == AV_SAMPLE_FMT_NONE) sampleFormat = stream->codecpar->format;

    // Packets of the other streams are dropped by the demuxer.
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        if (static_cast<int>(i) != index) format->streams[i]->discard = AVDISCARD_ALL;
    }

    length = InputSize(format.get());
    position = InputPosition(format.get());
    duration = DurationSeconds(format.get());
    sampleRate = static_cast<uint32_t>(rate);
    bitRate = codec->bit_rate > 0 ? static_cast<uint32_t>(codec->bit_rate / 1000) : 0;
    storedChannels = static_cast<uint32_t>(stored);
    channels = stored > 1 ? 2 : 1;
    channelMode = stored == 1 ? kModeSingleChannel : kModeStereo;
    bitsPerSample = IsUnsigned8(sampleFormat) ? 8 : 16;
    bytesPerSample = bitsPerSample / 8;

    // The wide read: every channel, with the bits the file stores; floats only from lossless
    // codecs (a lossy decoder's float output counts as 16 bits).
    if (stored <= static_cast<int>(kMaxWideChannels)) {
        wide_.channels = static_cast<uint32_t>(stored);
        const AVChannelLayout& layout = stream->codecpar->ch_layout;
        if (layout.order == AV_CHANNEL_ORDER_NATIVE && layout.nb_channels == stored)
            wide_.channelMask = layout.u.mask & 0xFFFFFFFFu;
        const AVSampleFormat packed = av_get_packed_sample_fmt(static_cast<AVSampleFormat>(sampleFormat));
        const AVCodecDescriptor* descriptor = avcodec_descriptor_get(stream->codecpar->codec_id);
        const bool lossless = descriptor && (descriptor->props & AV_CODEC_PROP_LOSSLESS);
        if (packed == AV_SAMPLE_FMT_FLT || packed == AV_SAMPLE_FMT_DBL) {
            wide_.isFloat = lossless;
            wide_.bits = lossless ? (packed == AV_SAMPLE_FMT_DBL ? 64 : 32) : 16;
        } else {
            const int container = std::max(av_get_bytes_per_sample(packed), 1) * 8;
            const int significant = codec->bits_per_raw_sample;
            wide_.bits = static_cast<uint32_t>(significant > 0 && significant <= container ? significant : container);
        }
    }

    format_ = std::move(format);
    codec_ = std::move(codec);
    packet_ = std::move(packet);
    frame_ = std::move(frame);
    streamIndex_ = index;
    statesNoAudio_ = StreamStatesNoAudio(format_.get(), stream, path);
    return 1;
}

bool FfmpegSource::NextFrame() {
    int errors = 0;
    while (!decoderDone_) {
        const int received = avcodec_receive_frame(codec_.get(), frame_.get());
        if (received == 0) {
            if (frame_->nb_samples > 0 && frame_->ch_layout.nb_channels > 0 && frame_->extended_data) {
                frameHeld_ = true;
                frameOffset_ = 0;
                return true;
            }
            av_frame_unref(frame_.get());
            continue;
        }
        if (received == AVERROR_EOF) {
            decoderDone_ = true;
            break;
        }
        if (received != AVERROR(EAGAIN)) {
            // The decoder rejected what it was given; carry on with the next packet.
            if (++errors > kMaxDecoderErrors) {
                decoderDone_ = true;
                break;
            }
            if (flushSent_) continue;  // draining: the remaining buffered frames may still come
        }

        // The decoder wants more input.
        if (flushSent_) {
            decoderDone_ = true;
            break;
        }
        if (!packetPending_) {
            if (inputEnded_) {
                // A null packet makes the decoder hand out the samples it still holds.
                avcodec_send_packet(codec_.get(), nullptr);
                flushSent_ = true;
                continue;
            }
            if (av_read_frame(format_.get(), packet_.get()) < 0) {
                inputEnded_ = true;
                continue;
            }
            if (packet_->stream_index != streamIndex_) {
                av_packet_unref(packet_.get());
                continue;
            }
        }
        const int sent = avcodec_send_packet(codec_.get(), packet_.get());
        if (sent == AVERROR(EAGAIN)) {
            // The decoder still holds output: keep the packet for after the next receive.
            packetPending_ = true;
            if (++errors > kMaxDecoderErrors) {
                av_packet_unref(packet_.get());
                packetPending_ = false;
                decoderDone_ = true;
            }
            continue;
        }
        // Taken, or refused as undecodable: either way this packet is finished with.
        packetPending_ = false;
        av_packet_unref(packet_.get());
        if (sent == 0) errors = 0;
    }
    return false;
}

uint32_t FfmpegSource::TakeFromFrame(void* left, void* right, uint32_t filled) {
    const AVFrame* frame = frame_.get();
    const int available = frame->nb_samples - frameOffset_;
    const int room = static_cast<int>(kBlockFrames - filled);
    const int count = available < room ? available : room;
    const bool stereo = channels == 2;
    const bool eight = bitsPerSample == 8;
    const auto sampleFormat = static_cast<AVSampleFormat>(frame->format);
    const bool planar = av_sample_fmt_is_planar(sampleFormat) != 0;
    if (frame->ch_layout.nb_channels > 2) {
        // The mix follows the frame's own layout, which a stream may change on the way.
        SpeakerLayout speakers = ffmpeg_detail::SpeakersOf(frame->ch_layout);
        if (speakers != mixSpeakers_ || downmix_.Channels() != speakers.size()) {
            downmix_ = StereoDownmix(speakers);
            mixSpeakers_ = std::move(speakers);
        }
    }
    bool known = true;
    if (count > 0) {
        switch (av_get_packed_sample_fmt(sampleFormat)) {
        case AV_SAMPLE_FMT_U8:
            MoveSamples<uint8_t>(frame, planar, frameOffset_, count, stereo, eight, downmix_, mixScratch_, left, right,
                              filled);
            break;
        case AV_SAMPLE_FMT_S16:
            MoveSamples<int16_t>(frame, planar, frameOffset_, count, stereo, eight, downmix_, mixScratch_, left, right,
                              filled);
            break;
        case AV_SAMPLE_FMT_S32:
            MoveSamples<int32_t>(frame, planar, frameOffset_, count, stereo, eight, downmix_, mixScratch_, left, right,
                              filled);
            break;
        case AV_SAMPLE_FMT_S64:
            MoveSamples<int64_t>(frame, planar, frameOffset_, count, stereo, eight, downmix_, mixScratch_, left, right,
                              filled);
            break;
        case AV_SAMPLE_FMT_FLT:
            MoveSamples<float>(frame, planar, frameOffset_, count, stereo, eight, downmix_, mixScratch_, left, right,
                              filled);
            break;
        case AV_SAMPLE_FMT_DBL:
            MoveSamples<double>(frame, planar, frameOffset_, count, stereo, eight, downmix_, mixScratch_, left, right,
                              filled);
            break;
        default:
            known = false;  // a format no decoder here produces: drop the frame
            break;
        }
    }
    if (!known || count <= 0 || (frameOffset_ += count) >= frame->nb_samples) {
        av_frame_unref(frame_.get());
        frameHeld_ = false;
        frameOffset_ = 0;
    }
    return known && count > 0 ? static_cast<uint32_t>(count) : 0;
}

void FfmpegSource::UpdatePosition() { position = InputPosition(format_.get()); }

uint32_t FfmpegSource::Read(void* left, void* right) {
    if (!codec_ || !left) return 0;
    uint32_t filled = 0;
    while (filled < kBlockFrames) {
        if (frameHeld_) {
            filled += TakeFromFrame(left, right, filled);
            continue;
        }
        if (!NextFrame()) break;
    }
    UpdatePosition();
    return filled;
}

WideFormat FfmpegSource::GetWideFormat() {
    if (!codec_ || wide_.channels == 0) return AudioSource::GetWideFormat();
    return wide_;
}

namespace {

inline double ToWide(uint8_t v) { return (static_cast<int>(v) - 128) / 128.0; }
inline double ToWide(int16_t v) { return v / 32768.0; }
inline double ToWide(int32_t v) { return v / 2147483648.0; }
inline double ToWide(int64_t v) { return static_cast<double>(v) / 9223372036854775808.0; }
inline double ToWide(float v) { return v; }
inline double ToWide(double v) { return v; }

// Copies `count` frames from frame `from` of a decoded frame into `out` (at frame `at`, `channels`
// per frame); channels the frame lacks are silent, channels beyond `channels` are dropped.
template <typename T>
void MoveWide(const AVFrame* frame, bool planar, int from, int count, uint32_t channels, double* out, uint32_t at) {
    const int nb = frame->ch_layout.nb_channels;
    for (uint32_t c = 0; c < channels; ++c) {
        double* o = out + static_cast<size_t>(at) * channels + c;
        if (static_cast<int>(c) >= nb) {
            for (int i = 0; i < count; ++i) o[static_cast<size_t>(i) * channels] = 0.0;
            continue;
        }
        const T* in = planar ? reinterpret_cast<const T*>(frame->extended_data[c]) + from
                             : reinterpret_cast<const T*>(frame->extended_data[0]) + static_cast<ptrdiff_t>(from) * nb + c;
        const ptrdiff_t stride = planar ? 1 : nb;
        for (int i = 0; i < count; ++i) o[static_cast<size_t>(i) * channels] = ToWide(in[i * stride]);
    }
}

}  // namespace

uint32_t FfmpegSource::TakeWide(double* out, uint32_t channels, uint32_t filled) {
    const AVFrame* frame = frame_.get();
    const int available = frame->nb_samples - frameOffset_;
    const int room = static_cast<int>(kBlockFrames - filled);
    const int count = available < room ? available : room;
    const auto sampleFormat = static_cast<AVSampleFormat>(frame->format);
    const bool planar = av_sample_fmt_is_planar(sampleFormat) != 0;
    bool known = true;
    if (count > 0) {
        switch (av_get_packed_sample_fmt(sampleFormat)) {
        case AV_SAMPLE_FMT_U8: MoveWide<uint8_t>(frame, planar, frameOffset_, count, channels, out, filled); break;
        case AV_SAMPLE_FMT_S16: MoveWide<int16_t>(frame, planar, frameOffset_, count, channels, out, filled); break;
        case AV_SAMPLE_FMT_S32: MoveWide<int32_t>(frame, planar, frameOffset_, count, channels, out, filled); break;
        case AV_SAMPLE_FMT_S64: MoveWide<int64_t>(frame, planar, frameOffset_, count, channels, out, filled); break;
        case AV_SAMPLE_FMT_FLT: MoveWide<float>(frame, planar, frameOffset_, count, channels, out, filled); break;
        case AV_SAMPLE_FMT_DBL: MoveWide<double>(frame, planar, frameOffset_, count, channels, out, filled); break;
        default: known = false; break;
        }
    }
    if (!known || count <= 0 || (frameOffset_ += count) >= frame->nb_samples) {
        av_frame_unref(frame_.get());
        frameHeld_ = false;
        frameOffset_ = 0;
    }
    return known && count > 0 ? static_cast<uint32_t>(count) : 0;
}

uint32_t FfmpegSource::ReadWide(double* interleaved) {
    if (!codec_ || !interleaved) return 0;
    if (wide_.channels == 0) return AudioSource::ReadWide(interleaved);
    uint32_t filled = 0;
    while (filled < kBlockFrames) {
        if (frameHeld_) {
            filled += TakeWide(interleaved, wide_.channels, filled);
            continue;
        }
        if (!NextFrame()) break;
    }
    UpdatePosition();
    return filled;
}

int FfmpegSource::ReadTags(TagRecord& tags) {
    if (!format_) return 0;
    const AVDictionary* containerTags = format_->metadata;
    const AVDictionary* streamTags = streamIndex_ >= 0 ? format_->streams[streamIndex_]->metadata : nullptr;
    auto find = [&](std::initializer_list<const char*> keys) -> std::string {
        for (const AVDictionary* dict : {containerTags, streamTags}) {
            if (!dict) continue;
            for (const char* key : keys) {
                const AVDictionaryEntry* e = av_dict_get(dict, key, nullptr, 0);
                if (e && e->value && *e->value) return e->value;
            }
        }
        return {};
    };
    TagRecord found;
    found.title = find({"title"});
    found.artist = find({"artist", "author"});
    found.album = find({"album"});
    found.year = PositiveNumber(find({"date", "year"}));
    found.genre = find({"genre"});
    found.comment = find({"comment", "comments"});
    found.track = PositiveNumber(find({"track"}));
    found.copyright = find({"copyright"});
    found.albumArtist = find({"album_artist", "albumartist"});
    found.disc = find({"disc", "discnumber"});
    if (found.title.empty() && found.artist.empty() && found.album.empty() && found.year.empty() &&
        found.genre.empty() && found.comment.empty() && found.track.empty() && found.copyright.empty() &&
        found.albumArtist.empty() && found.disc.empty())
        return 0;
    tags = std::move(found);
    return 1;
}

// ---------------------------------------------------------------------------------------------------
// FfmpegProbeSource

FfmpegProbeSource::~FfmpegProbeSource() { Close(); }

void FfmpegProbeSource::Close() {
    format_.reset();
    streamIndex_ = -1;
    ResetFormat();
}

int FfmpegProbeSource::Open(const std::string& path, uint32_t /*renderRate*/) {
    Close();
    FormatPtr format = OpenInput(path);
    if (!format) return 0;

    length = InputSize(format.get());
    position = InputPosition(format.get());
    duration = DurationSeconds(format.get());

    const int audio = FirstStreamOfType(format.get(), AVMEDIA_TYPE_AUDIO);
    if (audio >= 0) {
        const AVCodecParameters* par = format->streams[audio]->codecpar;
        const int stored = par->ch_layout.nb_channels;
        sampleRate = par->sample_rate > 0 ? static_cast<uint32_t>(par->sample_rate) : 0;
        bitRate = par->bit_rate > 0 ? static_cast<uint32_t>(par->bit_rate / 1000) : 0;
        storedChannels = stored > 0 ? static_cast<uint32_t>(stored) : 0;
        channels = stored > 1 ? 2 : 1;
        channelMode = stored == 1 ? kModeSingleChannel : kModeStereo;
        bitsPerSample = IsUnsigned8(par->format) ? 8 : 16;
        bytesPerSample = bitsPerSample / 8;
    }

    const int video = FirstStreamOfType(format.get(), AVMEDIA_TYPE_VIDEO);
    if (video >= 0) {
        const AVStream* st = format->streams[video];
        videoWidth = st->codecpar->width;
        videoHeight = st->codecpar->height;
        AVRational fps = st->avg_frame_rate;
        if (fps.num <= 0 || fps.den <= 0) fps = st->r_frame_rate;
        videoFrameRate = fps.num > 0 && fps.den > 0 ? av_q2d(fps) : 0.0;
    }

    format_ = std::move(format);
    streamIndex_ = audio;
    return 1;
}

uint32_t FfmpegProbeSource::Read(void* /*left*/, void* /*right*/) { return 0; }

}  // namespace sonavert
