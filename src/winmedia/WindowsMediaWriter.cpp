#include "winmedia/WindowsMediaWriter.h"

#include "winmedia/AsfObjects.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include "winmedia/WindowsMediaRuntime.h"

namespace sonavert {
namespace {

// The muxer writes every extended attribute as a string, and it copies the attributes it keeps in
// the content description (Title, Author, Copyright, ...) into the extended list as well. After
// the file is complete its header is mended in place: the track number's string (written with
// kTrackDigits digits, 28 bytes of value) becomes the DWORD it should be, the extended copies of
// the content description's texts go, and the bytes freed become one padding object after the
// extended list, so no offset in the file moves.
constexpr int kTrackDigits = 13;
constexpr uint16_t kTrackStringBytes = (kTrackDigits + 1) * 2;
constexpr uint64_t kObjectHeader = 24;  // GUID and 64-bit size: also the smallest padding object

using namespace asf;

// The content description's five texts, in the order of their lengths in that object.
const char16_t* const kDescriptionNames[5] = {u"Title", u"Author", u"Copyright", u"Description", u"Rating"};

void PutLe(uint8_t* p, uint64_t v, int n) {
    for (int i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

std::string TrackText(uint32_t track) {
    std::string digits = std::to_string(track);
    return std::string(kTrackDigits - digits.size(), '0') + digits;
}

// Whether the zero-terminated UTF-16LE name of `bytes` bytes at `p` is `name`, ignoring ASCII case.
bool NameIs(const uint8_t* p, size_t bytes, const char16_t* name) {
    const size_t n = std::char_traits<char16_t>::length(name);
    if (bytes != (n + 1) * 2) return false;
    for (size_t i = 0; i < n; ++i) {
        uint64_t c = Le(p + 2 * i, 2);
        if (c >= 'a' && c <= 'z') c -= 'a' - 'A';
        char16_t w = name[i];
        if (w >= u'a' && w <= u'z') w = static_cast<char16_t>(w - (u'a' - u'A'));
        if (c != static_cast<uint64_t>(w)) return false;
    }
    return true;
}

// Rebuilds the extended content list of `header` spanning [at, at + size): drops the attributes
// `dropped` names and stores the track number as a DWORD. Returns the new body, or nothing when
// the list is malformed or nothing would change.
std::optional<std::vector<uint8_t>> MendedExtendedContent(const std::vector<uint8_t>& header, size_t at,
                                                          size_t size, const bool dropped[5], uint32_t track) {
    if (size < kObjectHeader + 2) return std::nullopt;
    const size_t end = at + size;
    std::vector<uint8_t> out(header.begin() + static_cast<long>(at), header.begin() + static_cast<long>(at + 26));
    uint64_t kept = 0;
    bool changed = false;
    size_t d = at + 26;
    for (uint64_t n = Le(&header[at + 24], 2); n > 0; --n) {
        if (d + 2 > end) return std::nullopt;
        const size_t nameBytes = Le(&header[d], 2);
        if (d + 2 + nameBytes + 4 > end) return std::nullopt;
        const size_t typeAt = d + 2 + nameBytes;
        const size_t valueBytes = Le(&header[typeAt + 2], 2);
        const size_t next = typeAt + 4 + valueBytes;
        if (next > end) return std::nullopt;
        bool drop = false;
        for (int i = 0; i < 5; ++i) drop = drop || (dropped[i] && NameIs(&header[d + 2], nameBytes, kDescriptionNames[i]));
        if (drop) {
            changed = true;
        } else if (NameIs(&header[d + 2], nameBytes, u"WM/TrackNumber") && Le(&header[typeAt], 2) == 0 &&
                   valueBytes == kTrackStringBytes) {
            out.insert(out.end(), &header[d], &header[typeAt]);
            uint8_t value[8];
            PutLe(value, 3, 2);  // DWORD
            PutLe(value + 2, 4, 2);
            PutLe(value + 4, track, 4);
            out.insert(out.end(), value, value + 8);
            ++kept;
            changed = true;
        } else {
            out.insert(out.end(), &header[d], &header[next]);
            ++kept;
        }
        d = next;
    }
    if (!changed) return std::nullopt;
    out.insert(out.end(), &header[d], &header[end]);  // whatever followed the list
    PutLe(&out[16], out.size(), 8);
    PutLe(&out[24], kept, 2);
    return out;
}

// Mends the header of a finished file: the play duration becomes `duration` (100-ns units, the
// preroll added as the format counts it), the extended attributes lose the copies of the content
// description's texts, and the track number becomes a DWORD. False when the file could not be
// read or written; a header of another shape is left as it is.
bool MendHeader(const std::string& path, uint64_t duration, uint32_t track) {
    FILE* file = std::fopen(path.c_str(), "r+b");
    if (!file) return false;
    std::unique_ptr<FILE, int (*)(FILE*)> guard(file, std::fclose);
    uint8_t top[30];
    if (std::fread(top, 1, sizeof top, file) != sizeof top) return false;
    const uint64_t headerSize = Le(top + 16, 8);
    if (std::memcmp(top, kHeaderGuid, 16) != 0 || headerSize < 30 || headerSize > (1u << 20)) return true;
    std::vector<uint8_t> header(headerSize);
    std::memcpy(header.data(), top, sizeof top);
    if (std::fread(header.data() + 30, 1, headerSize - 30, file) != headerSize - 30) return false;

    bool dropped[5] = {false, false, false, false, false};
    size_t extendedAt = 0, extendedSize = 0;
    bool changed = false;
    for (size_t at = 30; at + kObjectHeader <= header.size();) {
        const uint64_t size = Le(&header[at + 16], 8);
        if (size < kObjectHeader || size > header.size() - at) return true;
        if (std::memcmp(&header[at], kFilePropertiesGuid, 16) == 0 && size >= 88) {
            const uint64_t prerollMs = Le(&header[at + 80], 8);
            if (prerollMs < (1u << 20)) {
                PutLe(&header[at + 64], duration + prerollMs * 10000, 8);
                changed = true;
            }
        } else if (std::memcmp(&header[at], kContentDescriptionGuid, 16) == 0 && size >= 34) {
            uint64_t texts = 0;
            for (int i = 0; i < 5; ++i) texts += Le(&header[at + 24 + 2 * i], 2);
            if (34 + texts <= size)
                for (int i = 0; i < 5; ++i) dropped[i] = Le(&header[at + 24 + 2 * i], 2) > 0;
        } else if (std::memcmp(&header[at], kExtendedContentGuid, 16) == 0 && extendedSize == 0) {
            extendedAt = at;
            extendedSize = size;
        }
        at += size;
    }
    if (extendedSize > 0) {
        const auto body = MendedExtendedContent(header, extendedAt, extendedSize, dropped, track);
        const size_t freed = body ? extendedSize - body->size() : 0;
        // The padding object needs room for its own header; a smaller gain is not worth a move.
        if (body && freed >= kObjectHeader) {
            std::memcpy(&header[extendedAt], body->data(), body->size());
            uint8_t* pad = &header[extendedAt + body->size()];
            std::memcpy(pad, kPaddingGuid, 16);
            PutLe(pad + 16, freed, 8);
            std::memset(pad + kObjectHeader, 0, freed - kObjectHeader);
            PutLe(&header[24], Le(&header[24], 4) + 1, 4);
            changed = true;
        }
    }
    if (!changed) return true;
    if (std::fseek(file, 0, SEEK_SET) != 0) return false;
    if (std::fwrite(header.data(), 1, header.size(), file) != header.size()) return false;
    return std::fflush(file) == 0;
}

}  // namespace

bool UpdateAsfFileSize(const std::string& path) {
    FILE* file = std::fopen(path.c_str(), "r+b");
    if (!file) return false;
    std::unique_ptr<FILE, int (*)(FILE*)> guard(file, std::fclose);
    uint8_t top[30];
    if (std::fread(top, 1, sizeof top, file) != sizeof top || std::memcmp(top, kHeaderGuid, 16) != 0) return false;
    if (std::fseek(file, 0, SEEK_END) != 0) return false;
    const long size = std::ftell(file);
    const uint64_t headerEnd = Le(top + 16, 8);
    if (size < 0 || headerEnd > static_cast<uint64_t>(size)) return false;
    uint64_t at = sizeof top;
    for (uint64_t n = Le(top + 24, 4); n > 0 && at + kObjectHeader <= headerEnd; --n) {
        uint8_t object[kObjectHeader];
        if (std::fseek(file, static_cast<long>(at), SEEK_SET) != 0 || std::fread(object, 1, sizeof object, file) != sizeof object)
            return false;
        const uint64_t objectSize = Le(object + 16, 8);
        if (objectSize < kObjectHeader || objectSize > headerEnd - at) return false;
        if (std::memcmp(object, kFilePropertiesGuid, 16) == 0) {
            // The file size follows the object header and the 16-byte file identifier.
            if (objectSize < kObjectHeader + 24) return false;
            uint8_t value[8];
            PutLe(value, static_cast<uint64_t>(size), 8);
            return std::fseek(file, static_cast<long>(at + kObjectHeader + 16), SEEK_SET) == 0 &&
                   std::fwrite(value, 1, sizeof value, file) == sizeof value && std::fflush(file) == 0;
        }
        at += objectSize;
    }
    return false;
}

// Everything FFmpeg holds for one file being written.
struct WindowsMediaWriter::Session {
    AVFormatContext* format = nullptr;
    AVCodecContext* codec = nullptr;
    SwrContext* swr = nullptr;
    AVAudioFifo* fifo = nullptr;
    AVFrame* frame = nullptr;
    AVPacket* packet = nullptr;
    AVStream* stream = nullptr;
    bool fileOpen = false;
    int64_t pts = 0;
    std::vector<uint8_t> interleaved;

    ~Session() {
        av_packet_free(&packet);
        av_frame_free(&frame);
        if (fifo) av_audio_fifo_free(fifo);
        swr_free(&swr);
        avcodec_free_context(&codec);
        if (format) {
            if (fileOpen) avio_closep(&format->pb);
            avformat_free_context(format);
        }
    }

    // Sends `f` (null to drain) and writes every packet that comes out.
    bool Encode(AVFrame* f) {
        if (avcodec_send_frame(codec, f) < 0) return false;
        for (;;) {
            int r = avcodec_receive_packet(codec, packet);
            if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return true;
            if (r < 0) return false;
            av_packet_rescale_ts(packet, codec->time_base, stream->time_base);
            packet->stream_index = stream->index;
            r = av_interleaved_write_frame(format, packet);
            if (r < 0) return false;
        }
    }

    // Encodes whole encoder frames from the FIFO; with `all`, the rest too, padded with silence.
    bool Drain(bool all) {
        const int size = codec->frame_size;
        while (av_audio_fifo_size(fifo) >= size || (all && av_audio_fifo_size(fifo) > 0)) {
            if (pts == 0 && !SilentFrame()) return false;
            if (!NewFrame()) return false;
            const int got = av_audio_fifo_read(fifo, reinterpret_cast<void**>(frame->data), size);
            if (got < 0) return false;
            if (got < size)
                av_samples_set_silence(frame->data, got, size - got, codec->ch_layout.nb_channels, codec->sample_fmt);
            if (!EncodeFrame()) return false;
        }
        return true;
    }

    // One frame of silence. The WMA encoder laps each frame into the next and has no delayed
    // output to drain, and its decoder takes the first frame of a stream for priming: a silent
    // frame before the first one and another after the last keep the whole source audible
    // (without them a decoder drops the first frame and never gets the last, all of a source
    // shorter than a frame).
    bool SilentFrame() {
        if (!NewFrame()) return false;
        av_samples_set_silence(frame->data, 0, codec->frame_size, codec->ch_layout.nb_channels, codec->sample_fmt);
        return EncodeFrame();
    }

    // `frame` made ready for one encoder frame of samples.
    bool NewFrame() {
        av_frame_unref(frame);
        frame->nb_samples = codec->frame_size;
        frame->format = codec->sample_fmt;
        frame->sample_rate = codec->sample_rate;
        if (av_channel_layout_copy(&frame->ch_layout, &codec->ch_layout) < 0) return false;
        return av_frame_get_buffer(frame, 0) >= 0;
    }

    // Stamps `frame` with the next time and encodes it.
    bool EncodeFrame() {
        frame->pts = pts;
        pts += codec->frame_size;
        return Encode(frame);
    }
};

WindowsMediaWriter::WindowsMediaWriter() = default;

WindowsMediaWriter::~WindowsMediaWriter() {
    if (session_) End();
}

void WindowsMediaWriter::SetOutputFile(const std::string& path) { path_ = path; }

void WindowsMediaWriter::SetInputFormat(uint32_t sampleRate, uint32_t bitsPerSample, uint32_t channels) {
    inRate_ = sampleRate;
    inBits_ = bitsPerSample;
    inChannels_ = channels;
}

void WindowsMediaWriter::SetStreamFormat(const WmaFormat* format, uint32_t bitRate) {
    format_ = format;
    bitRate_ = bitRate;
}

void WindowsMediaWriter::SetTags(const WmaTagTexts& texts, uint32_t trackNumber) {
    tags_ = texts;
    track_ = trackNumber;
}

bool WindowsMediaWriter::IsWriting() const { return session_ != nullptr; }

void WindowsMediaWriter::Reset() {
    session_.reset();
    path_.clear();
    inRate_ = inBits_ = inChannels_ = 0;
    format_ = nullptr;
    bitRate_ = 0;
    tags_ = WmaTagTexts{};
    track_ = 0;
    timeStamp_ = 0;
    framesIn_ = 0;
}

bool WindowsMediaWriter::Begin() {
    reason_.clear();
    auto fail = [&](const char* why, bool created) {
        const std::string path = path_;
        Reset();
        if (created) ::unlink(path.c_str());
        reason_ = why;
        return false;
    };
    if (session_) return fail("the writer is already writing", false);
    if (!LoadWindowsMediaRuntime()) return fail("Windows Media runtime not available", false);
    if (!format_ || bitRate_ == 0) return fail("no Windows Media stream format chosen", false);
    if (inRate_ == 0 || (inBits_ != 8 && inBits_ != 16) || inChannels_ < 1 || inChannels_ > 2)
        return fail("unsupported input format", false);
    if (format_->channels < 1 || format_->channels > 2 || format_->sampleRate == 0)
        return fail("unsupported stream format", false);

    auto s = std::make_unique<Session>();
    if (avformat_alloc_output_context2(&s->format, nullptr, "asf", path_.c_str()) < 0 || !s->format)
        return fail("cannot create the Windows Media writer", false);
    const AVCodec* encoder = avcodec_find_encoder(AV_CODEC_ID_WMAV2);
    s->stream = encoder ? avformat_new_stream(s->format, nullptr) : nullptr;
    s->codec = encoder ? avcodec_alloc_context3(encoder) : nullptr;
    if (!s->stream || !s->codec) return fail("cannot create the audio stream", false);
    s->codec->sample_fmt = AV_SAMPLE_FMT_FLTP;
    s->codec->sample_rate = static_cast<int>(format_->sampleRate);
    av_channel_layout_default(&s->codec->ch_layout, static_cast<int>(format_->channels));
    s->codec->bit_rate = bitRate_;
    s->codec->time_base = AVRational{1, s->codec->sample_rate};
    if (s->format->oformat->flags & AVFMT_GLOBALHEADER) s->codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (avcodec_open2(s->codec, encoder, nullptr) < 0) return fail("the stream format was refused", false);
    if (avcodec_parameters_from_context(s->stream->codecpar, s->codec) < 0)
        return fail("the stream format was refused", false);
    s->stream->time_base = s->codec->time_base;

    // The input format as the samples arrive, converted to the stream's rate, channels and
    // sample layout.
    AVChannelLayout inLayout;
    av_channel_layout_default(&inLayout, static_cast<int>(inChannels_));
    const int ret = swr_alloc_set_opts2(&s->swr, &s->codec->ch_layout, s->codec->sample_fmt, s->codec->sample_rate,
                                        &inLayout, inBits_ == 8 ? AV_SAMPLE_FMT_U8 : AV_SAMPLE_FMT_S16,
                                        static_cast<int>(inRate_), 0, nullptr);
    av_channel_layout_uninit(&inLayout);
    // Channel counts change at the levels every other family uses: two channels mix as (L+R)/2,
    // and one channel is copied to both at its own level (the resampler's default matrix would
    // mix at 0.707 each, 3 dB hot, and copy 3 dB low).
    const double mixDown[2] = {0.5, 0.5}, copyUp[2] = {1.0, 1.0};
    const int outChannels = s->codec->ch_layout.nb_channels;
    int matrixSet = 0;
    if (ret >= 0 && inChannels_ == 2 && outChannels == 1) matrixSet = swr_set_matrix(s->swr, mixDown, 2);
    if (ret >= 0 && inChannels_ == 1 && outChannels == 2) matrixSet = swr_set_matrix(s->swr, copyUp, 1);
    if (ret < 0 || matrixSet < 0 || swr_init(s->swr) < 0) return fail("the input format cannot be converted", false);
    s->fifo = av_audio_fifo_alloc(s->codec->sample_fmt, s->codec->ch_layout.nb_channels,
                                  s->codec->frame_size > 0 ? s->codec->frame_size * 2 : 4096);
    s->frame = av_frame_alloc();
    s->packet = av_packet_alloc();
    if (!s->fifo || !s->frame || !s->packet || s->codec->frame_size <= 0) return fail("out of memory", false);

    // The attributes, under their Windows Media names (the muxer keeps those as they are).
    auto add = [&](const char* name, const std::optional<std::string>& value) {
        if (value && !value->empty()) av_dict_set(&s->format->metadata, name, value->c_str(), 0);
    };
    add("Title", tags_.title);
    add("Author", tags_.artist);
    add("WM/AlbumArtist", tags_.artist);
    add("Description", tags_.comment);
    add("WM/AlbumTitle", tags_.album);
    add("WM/Genre", tags_.genre);
    add("WM/TrackNumber", TrackText(track_));
    add("WM/Year", tags_.year);
    add("WM/Composer", tags_.composer);
    add("Copyright", tags_.copyright);

    if (avio_open(&s->format->pb, path_.c_str(), AVIO_FLAG_WRITE) < 0)
        return fail("cannot create the target file", false);
    s->fileOpen = true;
    if (avformat_write_header(s->format, nullptr) < 0) {
        s.reset();
        return fail("cannot write the Windows Media header", true);
    }
    session_ = std::move(s);
    timeStamp_ = 0;
    framesIn_ = 0;
    return true;
}

bool WindowsMediaWriter::WriteInterleaved(const uint8_t* data, uint32_t frames) {
    timeStamp_ += static_cast<uint64_t>(static_cast<double>(frames) * 10000000.0 / inRate_);
    framesIn_ += frames;
    Session& s = *session_;
    const int room = swr_get_out_samples(s.swr, static_cast<int>(frames));
    if (room < 0) return false;
    if (av_audio_fifo_realloc(s.fifo, av_audio_fifo_size(s.fifo) + room) < 0) return false;
    std::vector<uint8_t*> planes(s.codec->ch_layout.nb_channels);
    std::vector<std::vector<float>> out(planes.size(), std::vector<float>(static_cast<size_t>(room)));
    for (size_t i = 0; i < planes.size(); ++i) planes[i] = reinterpret_cast<uint8_t*>(out[i].data());
    const uint8_t* in[1] = {data};
    const int got = swr_convert(s.swr, planes.data(), room, data ? in : nullptr, static_cast<int>(frames));
    if (got < 0) return false;
    if (got > 0 && av_audio_fifo_write(s.fifo, reinterpret_cast<void**>(planes.data()), got) < got) return false;
    return s.Drain(false);
}

bool WindowsMediaWriter::WriteSamples16(const int16_t* left, const int16_t* right, uint32_t frames) {
    if (!session_ || !left || (inChannels_ == 2 && !right)) {
        reason_ = "nothing to write to";
        return false;
    }
    std::vector<uint8_t>& buf = session_->interleaved;
    buf.resize(static_cast<size_t>(frames) * inChannels_ * 2);
    int16_t* out = reinterpret_cast<int16_t*>(buf.data());
    for (uint32_t i = 0; i < frames; ++i) {
        *out++ = left[i];
        if (inChannels_ == 2) *out++ = right[i];
    }
    if (WriteInterleaved(buf.data(), frames)) return true;
    reason_ = "cannot write the Windows Media samples";
    return false;
}

bool WindowsMediaWriter::WriteSamples8(const uint8_t* left, const uint8_t* right, uint32_t frames) {
    if (!session_ || !left || (inChannels_ == 2 && !right)) {
        reason_ = "nothing to write to";
        return false;
    }
    std::vector<uint8_t>& buf = session_->interleaved;
    buf.resize(static_cast<size_t>(frames) * inChannels_);
    uint8_t* out = buf.data();
    for (uint32_t i = 0; i < frames; ++i) {
        *out++ = left[i];
        if (inChannels_ == 2) *out++ = right[i];
    }
    if (WriteInterleaved(buf.data(), frames)) return true;
    reason_ = "cannot write the Windows Media samples";
    return false;
}

bool WindowsMediaWriter::End() {
    if (!session_) {
        Reset();
        return true;
    }
    Session& s = *session_;
    bool ok = true;
    // What the resampler holds back, the last partial frame, the encoder's delay, the trailer.
    while (ok) {
        const int room = swr_get_out_samples(s.swr, 0);
        if (room <= 0) break;
        std::vector<std::vector<float>> out(s.codec->ch_layout.nb_channels, std::vector<float>(room));
        std::vector<uint8_t*> planes;
        for (auto& p : out) planes.push_back(reinterpret_cast<uint8_t*>(p.data()));
        const int got = swr_convert(s.swr, planes.data(), room, nullptr, 0);
        if (got < 0) ok = false;
        if (got <= 0) break;
        if (av_audio_fifo_write(s.fifo, reinterpret_cast<void**>(planes.data()), got) < got) ok = false;
    }
    const bool hadAudio = s.pts > 0 || av_audio_fifo_size(s.fifo) > 0;
    ok = ok && s.Drain(true) && (!hadAudio || s.SilentFrame()) && s.Encode(nullptr);
    if (ok && av_write_trailer(s.format) < 0) ok = false;
    if (s.format->pb) {
        avio_flush(s.format->pb);
        if (s.format->pb->error < 0) ok = false;
        if (avio_closep(&s.format->pb) < 0) ok = false;
        s.fileOpen = false;
    }
    // The stated length is the source's: the encoder's last frame and the silent one after it
    // are padding that the format has no way to trim.
    const uint64_t duration = inRate_ ? (framesIn_ * 10000000 + inRate_ / 2) / inRate_ : 0;
    if (ok && !MendHeader(path_, duration, track_)) ok = false;
    Reset();
    if (!ok) reason_ = "cannot complete the Windows Media file";
    return ok;
}

}  // namespace sonavert
