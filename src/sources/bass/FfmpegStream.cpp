// Streams decoded through libavformat/libavcodec, converted to interleaved integer PCM with
// libswresample.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <utility>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

#include "base/Downmix.h"
#include "sources/bass/Channel.h"
#include "sources/bass/FirstBytes.h"
#include "sources/bass/MpegHeader.h"

namespace sonavert::bass {
namespace {

struct FormatCloser {
    void operator()(AVFormatContext* f) const { avformat_close_input(&f); }
};
struct CodecCloser {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct SwrCloser {
    void operator()(SwrContext* s) const { swr_free(&s); }
};
struct PacketCloser {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct FrameCloser {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};

// Grows a buffer of bytes without zero-filling them: the converter writes every byte it keeps
// before any is read, and filling each frame's worth first costs as much as copying it.
template <class T>
struct UninitialisedAllocator : std::allocator<T> {
    UninitialisedAllocator() = default;
    template <class U>
    UninitialisedAllocator(const UninitialisedAllocator<U>&) noexcept {}
    template <class U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};

// Consecutive decoder errors tolerated before the stream is treated as ended.
constexpr int kMaxDecodeErrors = 100;

// Containers whose header states what the stream analysis would find out by decoding: the rate,
// the channels and the length (TTA of one or two channels, WavPack of up to eight).
bool HeaderStatesEnough(const AVFormatContext* fmt, const AVInputFormat* container) {
    // Only the demuxer the first bytes named, not one the probe chose after it refused the file.
    if (!container || fmt->iformat != container) return false;
    if (std::strcmp(container->name, "tta") != 0 && std::strcmp(container->name, "wv") != 0) return false;
    if (fmt->nb_streams != 1) return false;
    const AVStream* st = fmt->streams[0];
    const AVCodecParameters* par = st->codecpar;
    const int most = std::strcmp(container->name, "wv") == 0 ? 8 : 2;
    return par->codec_type == AVMEDIA_TYPE_AUDIO && par->sample_rate > 0 && par->ch_layout.nb_channels >= 1 &&
           par->ch_layout.nb_channels <= most && st->duration != AV_NOPTS_VALUE && st->duration > 0;
}

// The format of a stream's frames, known before any is decoded.
struct KnownFormat {
    AVSampleFormat format = AV_SAMPLE_FMT_NONE;
    const AVChannelLayout* layout = nullptr;
    int rate = 0;
    int bits = 0;  // significant bits of integer samples, 0 for the container's
};

// The format the WavPack decoder gives the frames of a file, from the first block: float samples
// as float planes, 8- and 16-bit ones as 16-bit planes, wider ones as 32-bit planes of their
// width; a single block of one or two channels as mono or stereo, a file of more channels in the
// layout its channel information states; the rate of the header's index or, for a custom rate,
// of the rate sub-block. Floats, custom rates and multichannel files need the block's metadata
// sub-blocks, which are read bounds-checked as the decoder reads them. DSD, damaged metadata and
// anything the demuxer's description disagrees with are left to the decoder's first frame.
bool WavPackFormat(const std::string& path, const AVCodecParameters& par, KnownFormat& known) {
    static const int kRates[15] = {6000,  8000,  9600,  11025, 12000, 16000, 22050, 24000,
                                   32000, 44100, 48000, 64000, 88200, 96000, 192000};
    static const AVChannelLayout kMono = AV_CHANNEL_LAYOUT_MONO, kStereo = AV_CHANNEL_LAYOUT_STEREO;
    constexpr size_t kHeader = 32, kMostBlock = size_t{1} << 20;  // the demuxer's limit of a block
    uint8_t h[kHeader];
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!f || std::fread(h, 1, kHeader, f.get()) != kHeader || std::memcmp(h, "wvpk", 4) != 0) return false;
    auto le = [](const uint8_t* at, int bytes) {
        uint32_t v = 0;
        for (int i = bytes - 1; i >= 0; --i) v = v << 8 | at[i];
        return v;
    };
    const uint32_t blockIndex = le(h + 16, 4), blockSamples = le(h + 20, 4), flags = le(h + 24, 4);
    const size_t blockSize = size_t{le(h + 4, 4)} + 8;
    constexpr uint32_t kMonoFlag = 0x4, kFloat = 0x80, kInitial = 0x800, kFinal = 0x1000, kDsd = 0x80000000u;
    const uint32_t rateIndex = (flags >> 23) & 0xF;
    const uint32_t version = le(h + 8, 2);
    if (version < 0x402 || version > 0x410 || blockIndex != 0 || blockSamples == 0 || (flags & kDsd) ||
        !(flags & kInitial) || blockSize < kHeader || blockSize > kMostBlock)
        return false;
    const bool single = (flags & kFinal) != 0, isFloat = (flags & kFloat) != 0;
    int rate = rateIndex < 15 ? kRates[rateIndex] : 0;
    uint32_t chan = 0, mask = 0;
    bool floatInfo = false;
    if (isFloat || rateIndex == 15 || !single) {
        // The metadata sub-blocks: an id (0x80: a 24-bit size follows, 0x40: the last byte is
        // padding), a size in 16-bit words, the data.
        std::vector<uint8_t> b(blockSize - kHeader);
        if (std::fread(b.data(), 1, b.size(), f.get()) != b.size()) return false;
        constexpr uint32_t kLong = 0x80, kOdd = 0x40, kIdMask = 0x3F;
        constexpr uint32_t kFloatInfo = 0x8, kChannelInfo = 0xD, kDsdData = 0xE, kSampleRate = 0x27;
        const size_t end = b.size();
        size_t at = 0;
        while (at < end) {
            const uint32_t id = b[at];
            const size_t head = (id & kLong) ? 4 : 2;
            if (end - at < head) return false;
            const size_t stored = size_t{le(&b[at + 1], (id & kLong) ? 3 : 1)} * 2;
            at += head;
            if (end - at < stored || (stored == 0 && (id & kOdd))) return false;
            const size_t size = (id & kOdd) ? stored - 1 : stored;
            switch (id & kIdMask) {
            case kFloatInfo:
                if (size != 4) return false;
                floatInfo = true;
                break;
            case kChannelInfo:
                // A count byte, then a mask of 1 to 4 bytes (the form for more than 255 channels
                // is left to the decoder).
                if (size < 2 || size > 5) return false;
                chan = b[at];
                mask = le(&b[at + 1], static_cast<int>(size - 1));
                break;
            case kSampleRate:
                if (size != 3) return false;
                rate = static_cast<int>(le(&b[at], 3));
                break;
            case kDsdData: return false;
            default: break;
            }
            at += stored;
        }
    }
    if (rate <= 0 || rate != par.sample_rate || (isFloat && !floatInfo)) return false;
    if (single) {
        const int channels = (flags & kMonoFlag) ? 1 : 2;
        if (channels != par.ch_layout.nb_channels) return false;
        known.layout = channels == 1 ? &kMono : &kStereo;
    } else {
        // The decoder takes the layout of the mask, or without one the demuxer's, which read the
        // same sub-block.
        if (mask) {
            AVChannelLayout stated{};
            if (av_channel_layout_from_mask(&stated, mask) < 0) return false;
            const bool same = (chan == 0 || stated.nb_channels == static_cast<int>(chan)) &&
                              av_channel_layout_compare(&stated, &par.ch_layout) == 0;
            av_channel_layout_uninit(&stated);
            if (!same) return false;
        }
        if (par.ch_layout.nb_channels < 1) return false;
        known.layout = &par.ch_layout;
    }
    const int bytes = static_cast<int>(flags & 3) + 1;
    known.format = isFloat ? AV_SAMPLE_FMT_FLTP : bytes <= 2 ? AV_SAMPLE_FMT_S16P : AV_SAMPLE_FMT_S32P;
    known.rate = rate;
    known.bits = isFloat ? 0 : bytes * 8;
    return true;
}

// Whether the format of the frames is known once the decoder is open: TTA's decoder reads the
// stream header when it opens and never changes its format on the way; a WavPack file's first
// block tells what its decoder will make of it.
bool FormatKnownAtOpen(const AVCodecContext& dec, const AVCodecParameters& par, const std::string& path,
                       bool namedContainer, KnownFormat& known) {
    if (!namedContainer) return false;
    if (dec.codec_id == AV_CODEC_ID_WAVPACK) return WavPackFormat(path, par, known);
    if (dec.codec_id != AV_CODEC_ID_TTA || dec.sample_fmt == AV_SAMPLE_FMT_NONE || dec.sample_rate <= 0 ||
        dec.ch_layout.nb_channels < 1 || dec.ch_layout.nb_channels > 2)
        return false;
    known.format = dec.sample_fmt;
    known.layout = &dec.ch_layout;
    known.rate = dec.sample_rate;
    known.bits = dec.bits_per_raw_sample;
    return true;
}

bool IsMpegAudio(AVCodecID id) {
    return id == AV_CODEC_ID_MP1 || id == AV_CODEC_ID_MP2 || id == AV_CODEC_ID_MP3;
}

// Speaker of each channel of a layout (WAVE mask bits, 0 for none); an unspecified order takes the
// usual WAVE order for its count.
sonavert::SpeakerLayout Speakers(const AVChannelLayout& layout) {
    const uint32_t nb = layout.nb_channels > 0 ? static_cast<uint32_t>(layout.nb_channels) : 0;
    if (layout.order != AV_CHANNEL_ORDER_NATIVE && layout.order != AV_CHANNEL_ORDER_CUSTOM)
        return sonavert::LayoutFromMask(nb, 0);
    sonavert::SpeakerLayout speakers(nb, 0);
    for (uint32_t c = 0; c < nb; ++c) {
        const AVChannel id = av_channel_layout_channel_from_index(&layout, c);
        if (id >= AV_CHAN_FRONT_LEFT && id <= AV_CHAN_TOP_BACK_RIGHT) speakers[c] = uint32_t{1} << id;
    }
    return speakers;
}

// Gains (output rows, input columns) that map frames of `in` onto the channels of `out`: into
// stereo the standard downmix, into mono the mean of that downmix, into more channels each input
// channel onto the output channel of the same speaker (a mono input onto the front pair or centre).
std::vector<double> ChannelMatrix(const AVChannelLayout& in, const AVChannelLayout& out) {
    const sonavert::SpeakerLayout is = Speakers(in), os = Speakers(out);
    const size_t ni = is.size(), no = os.size();
    std::vector<double> m(ni * no, 0.0);
    if (no <= 2) {
        const sonavert::StereoDownmix mix(ni > 2 ? is : ni == 2 ? sonavert::SpeakerLayout{1, 2} : sonavert::SpeakerLayout{4});
        for (size_t i = 0; i < ni; ++i) {
            double l = mix.LeftGain(static_cast<uint32_t>(i)), r = mix.RightGain(static_cast<uint32_t>(i));
            if (ni == 1) l = r = 1.0;
            if (no == 1) m[i] = (l + r) / 2;
            else if (no == 2) {
                m[i] = l;
                m[ni + i] = r;
            }
        }
        return m;
    }
    for (size_t i = 0; i < ni; ++i) {
        bool placed = false;
        for (size_t o = 0; o < no; ++o)
            if (is[i] != 0 && os[o] == is[i]) {
                m[o * ni + i] = 1.0;
                placed = true;
            }
        if (placed || ni != 1) continue;
        for (size_t o = 0; o < no; ++o)
            if (os[o] == sonavert::kSpeakerFrontLeft || os[o] == sonavert::kSpeakerFrontRight) m[o * ni + i] = 1.0;
    }
    return m;
}

class FfmpegStream final : public Channel {
public:
    ~FfmpegStream() override { av_channel_layout_uninit(&outLayout_); av_channel_layout_uninit(&inLayout_); }

    // kRawMpeg: the file is MPEG audio in its own file and `rawMpegElsewhere` was set.
    // `container`, when given, is the demuxer to use without probing.
    int Open(const std::string& path, CodecFilter accept, bool rawMpegElsewhere, const AVInputFormat* container);
    static constexpr int kRawMpeg = -2;
    QWORD FilePosition(DWORD mode) const override;
    const char* Tags(DWORD type) override;
    bool StoredSamples(DWORD& bits, bool& isFloat) const override;

protected:
    size_t Produce(uint8_t* dst, size_t bytes) override;
    bool SwitchToWide() override;

private:
    bool NextFrame();
    // Converts `in` into pending_, or straight into `direct` (room for `room` bytes) when nothing
    // is pending and all of it fits; `wrote` then tells how many bytes went there.
    bool Convert(const AVFrame* in, uint8_t* direct = nullptr, size_t room = 0, size_t* wrote = nullptr);
    bool Flush();
    void ReadMpegLayout();
    void ReadTags();

    std::unique_ptr<AVFormatContext, FormatCloser> fmt_;
    std::unique_ptr<AVCodecContext, CodecCloser> dec_;
    std::unique_ptr<SwrContext, SwrCloser> swr_;
    std::unique_ptr<AVPacket, PacketCloser> pkt_;
    std::unique_ptr<AVFrame, FrameCloser> frame_;
    // The first decoded frame, kept until the first read so that a switch to the wide delivery can
    // convert it again.
    std::unique_ptr<AVFrame, FrameCloser> first_;
    DWORD wideBits_ = 16;
    bool wideFloat_ = false;
    int streamIndex_ = -1;
    bool havePacket_ = false, flushSent_ = false, decoderDone_ = false, swrFlushed_ = false;

    AVChannelLayout outLayout_{};
    AVSampleFormat outFormat_ = AV_SAMPLE_FMT_S16;
    int outRate_ = 0;
    uint32_t frameBytes_ = 0;
    AVChannelLayout inLayout_{};
    int inFormat_ = -1, inRate_ = 0;

    std::vector<uint8_t, UninitialisedAllocator<uint8_t>> pending_;
    size_t pendingPos_ = 0;

    int64_t fileSize_ = -1;
    int64_t firstPacketPos_ = -1;
    int64_t firstFrameOffset_ = -1;
    bool mpeg_ = false;
    bool tagsRead_ = false;
    std::vector<uint8_t> id3v1_, id3v2_;
};

int FfmpegStream::Open(const std::string& path, CodecFilter accept, bool rawMpegElsewhere,
                       const AVInputFormat* container) {
    path_ = path;
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) return BASS_ERROR_FILEOPEN;
    auto size = std::filesystem::file_size(path, ec);
    fileSize_ = ec ? -1 : static_cast<int64_t>(size);

    AVFormatContext* raw = nullptr;
    // FFmpeg's WAV demuxer runs every demuxer's probe over the first 32 packets of 16-bit PCM (4 KB
    // each), at each doubling of what it gathered, looking for other codecs stored as PCM: 250 KB
    // of probing, most of the cost of opening a short file. The first packet (4 KB, ten MPEG frames
    // at 128 kbps) still tells such a file.
    const bool wav = container && std::strcmp(container->name, "wav") == 0;
    AVDictionary* options = nullptr;
    if (wav) av_dict_set(&options, "max_probe_packets", "1", 0);
    // A damaged header the named demuxer refuses still gets the full probe, as before.
    const bool opened = avformat_open_input(&raw, path.c_str(), container, &options) >= 0 ||
                        (container && avformat_open_input(&raw, path.c_str(), nullptr, nullptr) >= 0);
    av_dict_free(&options);
    if (!opened) return BASS_ERROR_FILEFORM;
    fmt_.reset(raw);
    if (rawMpegElsewhere && std::strcmp(fmt_->iformat->name, "mp3") == 0) return kRawMpeg;
    // The stream analysis decodes the first frame of a codec whose sample format the container
    // does not state; a TTA frame is a second of sound, a WavPack block half of one. Where the
    // header of a container named by its first bytes already states the rate, one or two channels
    // and the length, the analysis is left out: the first frame is decoded below anyway.
    if (!HeaderStatesEnough(fmt_.get(), container) && avformat_find_stream_info(fmt_.get(), nullptr) < 0)
        return BASS_ERROR_FILEFORM;
    for (unsigned i = 0; i < fmt_->nb_streams; ++i) {
        if (streamIndex_ < 0 && fmt_->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO)
            streamIndex_ = static_cast<int>(i);
        else
            fmt_->streams[i]->discard = AVDISCARD_ALL;
    }
    if (streamIndex_ < 0) return BASS_ERROR_FILEFORM;
    AVStream* st = fmt_->streams[streamIndex_];
    const AVCodecParameters* par = st->codecpar;
    if (!accept(par->codec_id, fmt_->iformat->name)) return BASS_ERROR_FILEFORM;
    const AVCodec* codec = avcodec_find_decoder(par->codec_id);
    if (!codec) return BASS_ERROR_FILEFORM;
    dec_.reset(avcodec_alloc_context3(codec));
    if (!dec_ || avcodec_parameters_to_context(dec_.get(), par) < 0) return BASS_ERROR_MEM;
    dec_->pkt_timebase = st->time_base;
    if (avcodec_open2(dec_.get(), codec, nullptr) < 0) return BASS_ERROR_FILEFORM;
    pkt_.reset(av_packet_alloc());
    frame_.reset(av_frame_alloc());
    if (!pkt_ || !frame_) return BASS_ERROR_MEM;
    mpeg_ = IsMpegAudio(par->codec_id);

    // The output format follows what the decoder really produces, so the first frame is decoded
    // now; only an empty stream falls back to the container's description. Where the format is
    // known before (TTA, WavPack), the first frame waits for the first read.
    KnownFormat known;
    const bool formatAtOpen = FormatKnownAtOpen(*dec_, *par, path, container && fmt_->iformat == container, known);
    bool haveFrame = !formatAtOpen && NextFrame();
    const AVChannelLayout& layout = haveFrame ? frame_->ch_layout : formatAtOpen ? *known.layout : par->ch_layout;
    int format = haveFrame ? frame_->format : formatAtOpen ? known.format : par->format;
    outRate_ = haveFrame ? frame_->sample_rate : formatAtOpen ? known.rate : par->sample_rate;
    if (layout.nb_channels <= 0 || outRate_ <= 0) return BASS_ERROR_FILEFORM;
    if (av_channel_layout_copy(&outLayout_, &layout) < 0) return BASS_ERROR_MEM;
    // FFmpeg's native order is the WAVE order, and its first 18 position bits are the WAVE mask's.
    if (outLayout_.order == AV_CHANNEL_ORDER_NATIVE && outLayout_.nb_channels > 2)
        channelMask_ = static_cast<DWORD>(outLayout_.u.mask & 0xFFFFFFFFu);
    bool eightBit = format == AV_SAMPLE_FMT_U8 || format == AV_SAMPLE_FMT_U8P ||
                    par->codec_id == AV_CODEC_ID_PCM_U8 || par->codec_id == AV_CODEC_ID_PCM_S8;
    outFormat_ = eightBit ? AV_SAMPLE_FMT_U8 : AV_SAMPLE_FMT_S16;
    SetFormat(static_cast<DWORD>(outRate_), static_cast<DWORD>(layout.nb_channels), eightBit ? 8 : 16,
              BASS_CTYPE_STREAM);
    frameBytes_ = FrameBytes();
    if (haveFrame && !Convert(frame_.get())) return BASS_ERROR_DECODE;
    if (haveFrame) first_.reset(av_frame_clone(frame_.get()));
    av_frame_unref(frame_.get());
    // What the file stores: floats only from lossless codecs (a lossy decoder's float output is no
    // stored format, and counts as 16 bits); integers with the decoder's significant bits.
    const AVSampleFormat packed = av_get_packed_sample_fmt(static_cast<AVSampleFormat>(format));
    const AVCodecDescriptor* descriptor = avcodec_descriptor_get(par->codec_id);
    const bool lossless = descriptor && (descriptor->props & AV_CODEC_PROP_LOSSLESS);
    if (packed == AV_SAMPLE_FMT_FLT || packed == AV_SAMPLE_FMT_DBL) {
        wideFloat_ = lossless;
        wideBits_ = lossless ? (packed == AV_SAMPLE_FMT_DBL ? 64 : 32) : 16;
    } else {
        const int container = std::max(av_get_bytes_per_sample(packed), 1) * 8;
        const int significant = formatAtOpen ? known.bits : dec_->bits_per_raw_sample;
        wideBits_ = static_cast<DWORD>(significant > 0 && significant <= container ? significant : container);
    }

    // Length: exact where the container knows it, otherwise estimated from the duration.
    int64_t frames = 0;
    if (st->duration != AV_NOPTS_VALUE && st->duration > 0)
        frames = av_rescale_q(st->duration, st->time_base, AVRational{1, outRate_});
    else if (fmt_->duration != AV_NOPTS_VALUE && fmt_->duration > 0)
        frames = av_rescale(fmt_->duration, outRate_, AV_TIME_BASE);
    length_ = static_cast<QWORD>(std::max<int64_t>(frames, 0)) * frameBytes_;
    // Containers whose header states the sample count (FLAC STREAMINFO, a WAV data size, AIFF
    // frames); elsewhere the length may be an estimate from the bit rate or the last timestamp.
    static const char* const kStatingFormats[] = {"flac", "wav", "w64", "aiff"};
    bool stating = false;
    for (const char* name : kStatingFormats) stating = stating || std::strcmp(fmt_->iformat->name, name) == 0;
    lengthStated_ = stating && frames > 0 && st->duration != AV_NOPTS_VALUE &&
                    fmt_->duration_estimation_method == AVFMT_DURATION_FROM_STREAM;

    if (mpeg_) ReadMpegLayout();
    return BASS_OK;
}

bool FfmpegStream::NextFrame() {
    int errors = 0;
    for (;;) {
        int r = avcodec_receive_frame(dec_.get(), frame_.get());
        if (r == 0) {
            if (frame_->nb_samples > 0 && frame_->ch_layout.nb_channels > 0 && frame_->sample_rate > 0)
                return true;
            av_frame_unref(frame_.get());
            continue;
        }
        if (r == AVERROR_EOF) {
            decoderDone_ = true;
            return false;
        }
        if (r != AVERROR(EAGAIN)) {
            if (++errors > kMaxDecodeErrors) return false;
            continue;
        }
        if (flushSent_) return false;
        if (!havePacket_) {
            r = av_read_frame(fmt_.get(), pkt_.get());
            if (r < 0) {
                // End of file, or a read failure half way: either way the stream ends here.
                avcodec_send_packet(dec_.get(), nullptr);
                flushSent_ = true;
                continue;
            }
            if (pkt_->stream_index != streamIndex_) {
                av_packet_unref(pkt_.get());
                continue;
            }
            if (firstPacketPos_ < 0 && pkt_->pos >= 0) firstPacketPos_ = pkt_->pos;
            havePacket_ = true;
        }
        r = avcodec_send_packet(dec_.get(), pkt_.get());
        av_packet_unref(pkt_.get());
        havePacket_ = false;
        // A packet the decoder rejects is skipped.
        if (r < 0 && ++errors > kMaxDecodeErrors) return false;
    }
}

bool FfmpegStream::Convert(const AVFrame* in, uint8_t* direct, size_t room, size_t* wrote) {
    if (wrote) *wrote = 0;
    pending_.clear();
    pendingPos_ = 0;
    if (!swr_ || in->format != inFormat_ || in->sample_rate != inRate_ ||
        av_channel_layout_compare(&in->ch_layout, &inLayout_) != 0) {
        // The samples the converter of the former format still holds come first.
        if (swr_) {
            const int held = swr_get_out_samples(swr_.get(), 0);
            if (held > 0) {
                pending_.resize(static_cast<size_t>(held) * frameBytes_);
                uint8_t* out[1] = {pending_.data()};
                const int n = swr_convert(swr_.get(), out, held, nullptr, 0);
                pending_.resize(n > 0 ? static_cast<size_t>(n) * frameBytes_ : 0);
            }
        }
        SwrContext* raw = nullptr;
        if (swr_alloc_set_opts2(&raw, &outLayout_, outFormat_, outRate_, const_cast<AVChannelLayout*>(&in->ch_layout),
                                static_cast<AVSampleFormat>(in->format), in->sample_rate, 0, nullptr) < 0)
            return false;
        swr_.reset(raw);
        // A stream whose channels change on the way (a chained Ogg file) is mapped onto the first
        // frame's channels by speaker position, never by the converter's own mixing rules.
        if (av_channel_layout_compare(&in->ch_layout, &outLayout_) != 0) {
            const std::vector<double> matrix = ChannelMatrix(in->ch_layout, outLayout_);
            if (swr_set_matrix(swr_.get(), matrix.data(), in->ch_layout.nb_channels) < 0) return false;
        }
        if (swr_init(swr_.get()) < 0) {
            swr_.reset();
            return false;
        }
        inFormat_ = in->format;
        inRate_ = in->sample_rate;
        av_channel_layout_uninit(&inLayout_);
        if (av_channel_layout_copy(&inLayout_, &in->ch_layout) < 0) return false;
    }
    int maxOut = swr_get_out_samples(swr_.get(), in->nb_samples);
    if (maxOut <= 0) return true;
    // The caller's buffer takes the samples without a copy through pending_.
    if (direct && wrote && pending_.empty() && static_cast<size_t>(maxOut) * frameBytes_ <= room) {
        uint8_t* out[1] = {direct};
        const int n =
            swr_convert(swr_.get(), out, maxOut, const_cast<const uint8_t**>(in->extended_data), in->nb_samples);
        *wrote = n > 0 ? static_cast<size_t>(n) * frameBytes_ : 0;
        return true;
    }
    const size_t at = pending_.size();
    pending_.resize(at + static_cast<size_t>(maxOut) * frameBytes_);
    uint8_t* out[1] = {pending_.data() + at};
    int n = swr_convert(swr_.get(), out, maxOut, const_cast<const uint8_t**>(in->extended_data), in->nb_samples);
    pending_.resize(at + (n > 0 ? static_cast<size_t>(n) * frameBytes_ : 0));
    return true;
}

bool FfmpegStream::Flush() {
    if (swrFlushed_ || !swr_) return false;
    swrFlushed_ = true;
    int maxOut = swr_get_out_samples(swr_.get(), 0);
    if (maxOut <= 0) return false;
    pending_.resize(static_cast<size_t>(maxOut) * frameBytes_);
    uint8_t* out[1] = {pending_.data()};
    int n = swr_convert(swr_.get(), out, maxOut, nullptr, 0);
    pending_.resize(n > 0 ? static_cast<size_t>(n) * frameBytes_ : 0);
    pendingPos_ = 0;
    return !pending_.empty();
}

bool FfmpegStream::StoredSamples(DWORD& bits, bool& isFloat) const {
    if (outLayout_.nb_channels < 1 || outLayout_.nb_channels > 8) return false;
    bits = wideBits_;
    isFloat = wideFloat_;
    return true;
}

bool FfmpegStream::SwitchToWide() {
    if (outLayout_.nb_channels < 1 || outLayout_.nb_channels > 8) return false;
    // Every channel as doubles: a plain format change, exact for every integer and float sample.
    outFormat_ = AV_SAMPLE_FMT_DBL;
    frameBytes_ = static_cast<uint32_t>(outLayout_.nb_channels) * 8;
    swr_.reset();
    inFormat_ = -1;
    inRate_ = 0;
    av_channel_layout_uninit(&inLayout_);
    pending_.clear();
    pendingPos_ = 0;
    const bool ok = !first_ || Convert(first_.get());
    first_.reset();
    return ok;
}

size_t FfmpegStream::Produce(uint8_t* dst, size_t bytes) {
    first_.reset();
    size_t done = 0;
    while (done < bytes) {
        if (pendingPos_ < pending_.size()) {
            size_t n = std::min(bytes - done, pending_.size() - pendingPos_);
            std::memcpy(dst + done, pending_.data() + pendingPos_, n);
            pendingPos_ += n;
            done += n;
            continue;
        }
        pending_.clear();
        pendingPos_ = 0;
        if (NextFrame()) {
            size_t wrote = 0;
            bool ok = Convert(frame_.get(), dst + done, bytes - done, &wrote);
            av_frame_unref(frame_.get());
            done += wrote;
            if (!ok) break;
        } else if (!Flush()) {
            break;
        }
    }
    return done;
}

void FfmpegStream::ReadMpegLayout() {
    int64_t found = FirstMpegFrameInFile(path_, fileSize_);
    firstFrameOffset_ = found >= 0 ? found : firstPacketPos_;
}

void FfmpegStream::ReadTags() {
    tagsRead_ = true;
    if (mpeg_) ReadRawId3Tags(path_, fileSize_, id3v1_, id3v2_);
}

const char* FfmpegStream::Tags(DWORD type) {
    if (!tagsRead_) ReadTags();
    const std::vector<uint8_t>* tag = type == BASS_TAG_ID3 ? &id3v1_ : type == BASS_TAG_ID3V2 ? &id3v2_ : nullptr;
    if (!tag || tag->empty()) return nullptr;
    return reinterpret_cast<const char*>(tag->data());
}

QWORD FfmpegStream::FilePosition(DWORD mode) const {
    int64_t v = -1;
    if (mode == BASS_FILEPOS_END) v = fileSize_;
    else if (mode == BASS_FILEPOS_START) v = mpeg_ ? firstFrameOffset_ : firstPacketPos_;
    return v < 0 ? kNoFilePosition : static_cast<QWORD>(v);
}

}  // namespace

std::unique_ptr<Channel> OpenFfmpegStream(const std::string& path, CodecFilter accept, int& error,
                                          bool mpegThroughFfmpeg) {
    // A container named by the file's first bytes goes straight to its demuxer.
    const AVInputFormat* container = ContainerByFirstBytes(path);
    // A file whose audio starts right after its ID3v2 tags with an MPEG frame header is MPEG
    // audio in its own file. FFmpeg's probe is not asked first: it misses free-format streams.
    if (!mpegThroughFfmpeg && !container) {
        std::error_code ec;
        auto size = std::filesystem::file_size(path, ec);
        int64_t tagsEnd = 0;
        if (!ec && FirstMpegFrameInFile(path, static_cast<int64_t>(size), &tagsEnd) == tagsEnd) {
            if (auto mpeg = OpenMpg123Stream(path, error)) return mpeg;
        }
    }
    auto stream = std::make_unique<FfmpegStream>();
    error = stream->Open(path, accept, !mpegThroughFfmpeg, container);
    if (error == FfmpegStream::kRawMpeg) {
        stream.reset();
        if (auto mpeg = OpenMpg123Stream(path, error)) return mpeg;
        return OpenFfmpegStream(path, accept, error, true);
    }
    if (error != BASS_OK) return nullptr;
    return stream;
}

}  // namespace sonavert::bass
