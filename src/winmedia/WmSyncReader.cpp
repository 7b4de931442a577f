#include "winmedia/WmSyncReader.h"

#include <climits>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

namespace sonavert {
namespace {

// Where the demuxer leaves each attribute: it turns the Windows Media names into generic keys.
struct AttributeKeys {
    const char* name;
    const char* keys[3];
};
constexpr AttributeKeys kAttributeKeys[] = {
    {"Title", {"title", nullptr}},
    {"Author", {"author", "artist", nullptr}},
    {"Description", {"comment", "Description", nullptr}},
    {"WM/AlbumTitle", {"album", "WM/AlbumTitle", nullptr}},
    {"WM/Genre", {"genre", "WM/Genre", nullptr}},
    {"WM/TrackNumber", {"track", "WM/TrackNumber", nullptr}},
    {"WM/Year", {"WM/Year", "date", nullptr}},
    {"Copyright", {"copyright", nullptr}},
    {"WM/Composer", {"composer", "WM/Composer", nullptr}},
    {"WM/AlbumArtist", {"album_artist", "WM/AlbumArtist", nullptr}},
};

class FfmpegSyncReader : public WmSyncReader {
public:
    ~FfmpegSyncReader() override { Close(); }

    bool Open(const std::string& path) override {
        Close();
        if (avformat_open_input(&format_, path.c_str(), av_find_input_format("asf"), nullptr) < 0) return false;
        if (avformat_find_stream_info(format_, nullptr) < 0) {
            Close();
            return false;
        }
        packet_ = av_packet_alloc();
        frame_ = av_frame_alloc();
        return packet_ && frame_;
    }

    void Close() override {
        av_packet_free(&packet_);
        av_frame_free(&frame_);
        swr_free(&swr_);
        avcodec_free_context(&codec_);
        if (format_) avformat_close_input(&format_);
        index_ = -1;
        draining_ = finished_ = false;
    }

    std::vector<WmStreamInfo> Streams() override {
        std::vector<WmStreamInfo> out;
        if (!format_) return out;
        for (unsigned i = 0; i < format_->nb_streams && i < 0xFFFF; ++i) {
            const AVMediaType t = format_->streams[i]->codecpar->codec_type;
            out.push_back({static_cast<uint16_t>(i + 1), t == AVMEDIA_TYPE_AUDIO   ? WmStreamType::Audio
                                                         : t == AVMEDIA_TYPE_VIDEO ? WmStreamType::Video
                                                                                   : WmStreamType::Other});
        }
        return out;
    }

    bool SelectStream(uint16_t number) override {
        if (!format_ || number == 0 || number > format_->nb_streams) return false;
        const int index = number - 1;
        AVStream* st = format_->streams[index];
        const AVCodec* decoder = avcodec_find_decoder(st->codecpar->codec_id);
        if (!decoder || st->codecpar->codec_type != AVMEDIA_TYPE_AUDIO) return false;
        avcodec_free_context(&codec_);
        codec_ = avcodec_alloc_context3(decoder);
        if (!codec_ || avcodec_parameters_to_context(codec_, st->codecpar) < 0 ||
            avcodec_open2(codec_, decoder, nullptr) < 0)
            return false;
        if (codec_->ch_layout.nb_channels < 1 || codec_->sample_rate <= 0) return false;
        for (unsigned i = 0; i < format_->nb_streams; ++i)
            format_->streams[i]->discard = static_cast<int>(i) == index ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
        swr_free(&swr_);
        if (swr_alloc_set_opts2(&swr_, &codec_->ch_layout, AV_SAMPLE_FMT_S16, codec_->sample_rate, &codec_->ch_layout,
                                codec_->sample_fmt, codec_->sample_rate, 0, nullptr) < 0 ||
            swr_init(swr_) < 0)
            return false;
        index_ = index;
        return true;
    }

    AttributeResult GetAttributeByName(const std::string& name, WmAttribute& value) override {
        if (!format_) return kFailed;
        if (name == "Duration") {
            if (format_->duration == AV_NOPTS_VALUE || format_->duration <= 0) return kNotFound;
            value.type = WmAttribute::kQword;
            value.number = static_cast<uint64_t>(av_rescale(format_->duration, 10000000, AV_TIME_BASE));
            return kFound;
        }
        if (name == "Bitrate") {
            if (format_->bit_rate <= 0) return kNotFound;
            value.type = WmAttribute::kDword;
            value.number = static_cast<uint64_t>(format_->bit_rate > UINT32_MAX ? UINT32_MAX : format_->bit_rate);
            return kFound;
        }
        for (const AttributeKeys& a : kAttributeKeys) {
            if (name != a.name) continue;
            for (const char* const* k = a.keys; *k; ++k) {
                if (const AVDictionaryEntry* e = av_dict_get(format_->metadata, *k, nullptr, 0)) {
                    value.type = WmAttribute::kString;
                    value.text = e->value;
                    return kFound;
                }
            }
            return kNotFound;
        }
        return kNotFound;
    }

    std::vector<WmOutputInfo> Outputs() override {
        std::vector<WmOutputInfo> out;
        if (codec_) {
            // FFmpeg's native order is the WAVE order, with the same position bits.
            const AVChannelLayout& layout = codec_->ch_layout;
            const uint32_t mask =
                layout.order == AV_CHANNEL_ORDER_NATIVE ? static_cast<uint32_t>(layout.u.mask & 0xFFFFFFFFu) : 0;
            out.push_back({true, static_cast<uint32_t>(codec_->sample_rate), static_cast<uint32_t>(layout.nb_channels),
                           mask});
        }
        return out;
    }

    bool GetNextSample(uint16_t stream, const uint8_t** data, uint32_t* length, uint64_t* time) override {
        if (!codec_ || stream != index_ + 1 || finished_) return false;
        for (;;) {
            const int r = avcodec_receive_frame(codec_, frame_);
            if (r == 0) {
                const bool ok = Deliver(data, length, time);
                av_frame_unref(frame_);
                if (ok) return true;
                continue;
            }
            if (r != AVERROR(EAGAIN) || draining_) {
                finished_ = true;
                return false;
            }
            if (av_read_frame(format_, packet_) < 0) {
                draining_ = true;
                avcodec_send_packet(codec_, nullptr);
                continue;
            }
            if (packet_->stream_index == index_) {
                // A damaged packet is skipped; the decoder goes on with the next one.
                avcodec_send_packet(codec_, packet_);
            }
            av_packet_unref(packet_);
        }
    }

private:
    bool Deliver(const uint8_t** data, uint32_t* length, uint64_t* time) {
        const int channels = codec_->ch_layout.nb_channels;
        const int frames = frame_->nb_samples;
        if (frames <= 0) return false;
        pcm_.resize(static_cast<size_t>(frames) * channels * 2);
        uint8_t* out[1] = {pcm_.data()};
        const int got = swr_convert(swr_, out, frames, const_cast<const uint8_t**>(frame_->extended_data), frames);
        if (got <= 0) return false;
        const AVStream* st = format_->streams[index_];
        int64_t pts = frame_->best_effort_timestamp;
        if (pts == AV_NOPTS_VALUE) pts = 0;
        if (st->start_time != AV_NOPTS_VALUE) pts -= st->start_time;
        *time = pts > 0 ? static_cast<uint64_t>(av_rescale_q(pts, st->time_base, AVRational{1, 10000000})) : 0;
        *data = pcm_.data();
        *length = static_cast<uint32_t>(got) * static_cast<uint32_t>(channels) * 2;
        return true;
    }

    AVFormatContext* format_ = nullptr;
    AVCodecContext* codec_ = nullptr;
    SwrContext* swr_ = nullptr;
    AVPacket* packet_ = nullptr;
    AVFrame* frame_ = nullptr;
    int index_ = -1;
    bool draining_ = false;
    bool finished_ = false;
    std::vector<uint8_t> pcm_;
};

}  // namespace

std::unique_ptr<WmSyncReader> CreateWmSyncReader() { return std::make_unique<FfmpegSyncReader>(); }

}  // namespace sonavert
