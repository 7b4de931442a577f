#include "winmedia/WmSyncReader.h"

#include "winmedia/AsfObjects.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <utility>

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

// The demuxer files every entry of a metadata object into a dictionary whose insert searches the
// whole dictionary, so objects of tens of thousands of entries took minutes. A file is read
// through this view, which states at most kMaxMetadataEntries entries for each such object; the
// demuxer then skips the rest to the object's end. The entries players use come first.
constexpr uint16_t kMaxMetadataEntries = 1024;
constexpr uint64_t kMaxHeaderBytes = 64u << 20;

using namespace asf;

// A file as the demuxer sees it: its bytes, with the entry counts of oversized metadata objects
// lowered. Owns the descriptor.
class BoundedAsfFile {
public:
    BoundedAsfFile() = default;
    BoundedAsfFile(const BoundedAsfFile&) = delete;
    BoundedAsfFile& operator=(const BoundedAsfFile&) = delete;
    ~BoundedAsfFile() {
        if (fd_ >= 0) ::close(fd_);
    }

    bool Open(const std::string& path) {
        fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat st;
        if (fd_ < 0 || fstat(fd_, &st) != 0) return false;
        size_ = st.st_size;
        FindOversizedObjects();
        return true;
    }

    static int Read(void* opaque, uint8_t* buffer, int size) {
        auto* self = static_cast<BoundedAsfFile*>(opaque);
        const ssize_t got = ::pread(self->fd_, buffer, static_cast<size_t>(size), self->position_);
        if (got < 0) return AVERROR(errno);
        if (got == 0) return AVERROR_EOF;
        for (const auto& [at, count] : self->patches_)
            for (int i = 0; i < 2; ++i)
                if (at + i >= self->position_ && at + i < self->position_ + got)
                    buffer[at + i - self->position_] = static_cast<uint8_t>(count >> (8 * i));
        self->position_ += got;
        return static_cast<int>(got);
    }

    static int64_t Seek(void* opaque, int64_t offset, int whence) {
        auto* self = static_cast<BoundedAsfFile*>(opaque);
        if (whence & AVSEEK_SIZE) return self->size_;
        int64_t to = offset;
        switch (whence & ~AVSEEK_FORCE) {
            case SEEK_SET: break;
            case SEEK_CUR: to += self->position_; break;
            case SEEK_END: to += self->size_; break;
            default: return AVERROR(EINVAL);
        }
        if (to < 0) return AVERROR(EINVAL);
        self->position_ = to;
        return to;
    }

private:
    // Walks the header's objects (and those inside its extension) with every size checked.
    void FindOversizedObjects() {
        uint8_t head[30];
        if (::pread(fd_, head, sizeof head, 0) != static_cast<ssize_t>(sizeof head) ||
            std::memcmp(head, kHeaderGuid, 16) != 0)
            return;
        const uint64_t headerSize = Le(head + 16, 8);
        if (headerSize < 30 || headerSize > kMaxHeaderBytes || headerSize > static_cast<uint64_t>(size_)) return;
        std::vector<uint8_t> header(static_cast<size_t>(headerSize));
        if (::pread(fd_, header.data(), header.size(), 0) != static_cast<ssize_t>(header.size())) return;
        Walk(header, 30, header.size(), true);
    }

    void Walk(const std::vector<uint8_t>& header, size_t at, size_t end, bool top) {
        while (at + 24 <= end) {
            const uint8_t* object = header.data() + at;
            const uint64_t size = Le(object + 16, 8);
            if (size < 24 || size > end - at) return;
            const bool counted = std::memcmp(object, kExtendedContentGuid, 16) == 0 ||
                                 std::memcmp(object, kMetadataGuid, 16) == 0 ||
                                 std::memcmp(object, kMetadataLibraryGuid, 16) == 0;
            if (counted && size >= 26 && Le(object + 24, 2) > kMaxMetadataEntries)
                patches_.emplace_back(static_cast<int64_t>(at + 24), kMaxMetadataEntries);
            // The extension holds objects of its own after 22 bytes of fields; it is not nested further.
            if (top && std::memcmp(object, kHeaderExtensionGuid, 16) == 0 && size >= 46)
                Walk(header, at + 46, at + static_cast<size_t>(size), false);
            at += static_cast<size_t>(size);
        }
    }

    int fd_ = -1;
    int64_t size_ = 0;
    int64_t position_ = 0;
    std::vector<std::pair<int64_t, uint16_t>> patches_;
};

class FfmpegSyncReader : public WmSyncReader {
public:
    ~FfmpegSyncReader() override { Close(); }

    bool Open(const std::string& path) override {
        Close();
        file_ = std::make_unique<BoundedAsfFile>();
        if (!file_->Open(path)) {
            Close();
            return false;
        }
        constexpr int kBufferSize = 64 * 1024;
        auto* buffer = static_cast<uint8_t*>(av_malloc(kBufferSize));
        if (buffer) io_ = avio_alloc_context(buffer, kBufferSize, 0, file_.get(), &BoundedAsfFile::Read, nullptr,
                                             &BoundedAsfFile::Seek);
        if (!io_) av_free(buffer);
        format_ = io_ ? avformat_alloc_context() : nullptr;
        if (!format_) {
            Close();
            return false;
        }
        format_->pb = io_;
        // On failure the demuxer frees the context it was given.
        if (avformat_open_input(&format_, nullptr, av_find_input_format("asf"), nullptr) < 0) {
            Close();
            return false;
        }
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
        if (io_) av_freep(&io_->buffer);
        avio_context_free(&io_);
        file_.reset();
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

    std::unique_ptr<BoundedAsfFile> file_;
    AVIOContext* io_ = nullptr;
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
