#include "encoders/M4aWriter.h"

#include <algorithm>
#include <cmath>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

#include "encoders/SampleQuantiser.h"
#include "tags/TagReading.h"

namespace sonavert {

namespace {

// One muxer for every extension: the iTunes-style MPEG-4 audio file (brand "M4A ").
constexpr const char* kMuxer = "ipod";

std::string AvError(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

}  // namespace

void SetMp4Metadata(AVDictionary** meta, const TagRecord& tags, int track) {
    auto text = [&](const char* key, const std::string& value) {
        if (value.empty() || !Utf8ToLocal(value)) return;
        av_dict_set(meta, key, value.c_str(), 0);
    };
    text("title", tags.title);
    text("artist", tags.artist);
    text("album", tags.album);
    // The muxer stores "n" as track n of total 0.
    if (track > 0 && track <= 0xFFFF) av_dict_set(meta, "track", std::to_string(track).c_str(), 0);
    text("date", tags.year);
    text("genre", tags.genre);
    text("comment", tags.comment);
    text("composer", tags.composer);
}

void M4aWriter::FormatCloser::operator()(AVFormatContext* f) const {
    if (f->pb) avio_closep(&f->pb);
    avformat_free_context(f);
}

void M4aWriter::PacketCloser::operator()(AVPacket* p) const { av_packet_free(&p); }

M4aWriter::M4aWriter() = default;

M4aWriter::~M4aWriter() { Close(); }

int M4aWriter::Fail(std::string reason) {
    failed_ = true;
    reason_ = std::move(reason);
    return 0;
}

int M4aWriter::Open(const std::string& path, uint32_t sampleRate, uint32_t channels, uint32_t bitsPerSample) {
    Close();
    failed_ = false;
    reason_.clear();
    sampleRate_ = sampleRate;
    channels_ = channels;
    bitsPerSample_ = bitsPerSample;

    AVFormatContext* raw = nullptr;
    if (avformat_alloc_output_context2(&raw, nullptr, kMuxer, nullptr) < 0 || !raw)
        return Fail("no MPEG-4 muxer available");
    format_.reset(raw);
    // No encoder name or creation time in the file: the same audio always gives the same bytes.
    format_->flags |= AVFMT_FLAG_BITEXACT;
    // The "file:" prefix keeps a colon in the name from being read as a protocol.
    const int r = avio_open(&format_->pb, ("file:" + path).c_str(), AVIO_FLAG_WRITE);
    if (r < 0) {
        format_.reset();
        return Fail("cannot create the MP4 file: " + AvError(r));
    }
    packet_.reset(av_packet_alloc());
    if (!packet_) return Fail("out of memory");

    faac_.reset(faacEncOpen(sampleRate, channels, &inputSamples_, &maxOutputBytes_));
    if (!faac_) return Fail("the AAC encoder takes 1 or 2 channels at a nonzero rate");
    config_ = faacEncGetCurrentConfiguration(faac_.get());
    if (!config_) return Fail("the AAC encoder has no configuration");
    config_->aacObjectType = kFaacObjectLow;
    config_->mpegVersion = kFaacMpeg4;
    config_->useTns = 0;
    config_->allowMidside = 1;
    config_->bandWidth = 0;
    config_->outputFormat = kFaacRaw;
    config_->inputFormat = kFaacInput16Bit;
    frameLength_ = static_cast<uint32_t>(inputSamples_ / channels);
    return 1;
}

FaacConfiguration* M4aWriter::Configuration() { return format_ ? config_ : nullptr; }

int M4aWriter::Start() {
    if (!format_ || !faac_ || !config_) return Fail("the MP4 file is not open");
    if (started_) return Fail("the MP4 writer is already started");
    // The container takes bare frames, whatever the record says.
    config_->outputFormat = kFaacRaw;
    config_->mpegVersion = kFaacMpeg4;
    if (!faacEncSetConfiguration(faac_.get(), config_)) return Fail(faacEncGetLastError(faac_.get()));
    std::vector<uint8_t> info;
    if (!faacEncGetDecoderSpecificInfo(faac_.get(), info)) return Fail(faacEncGetLastError(faac_.get()));

    stream_ = avformat_new_stream(format_.get(), nullptr);
    if (!stream_) return Fail("out of memory");
    AVCodecParameters* par = stream_->codecpar;
    par->codec_type = AVMEDIA_TYPE_AUDIO;
    par->codec_id = AV_CODEC_ID_AAC;
    par->profile = FF_PROFILE_AAC_LOW;
    par->sample_rate = static_cast<int>(sampleRate_);
    av_channel_layout_default(&par->ch_layout, static_cast<int>(channels_));
    par->frame_size = static_cast<int>(frameLength_);
    par->bit_rate = static_cast<int64_t>(config_->bitRate) * channels_;
    par->extradata = static_cast<uint8_t*>(av_mallocz(info.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!par->extradata) return Fail("out of memory");
    std::memcpy(par->extradata, info.data(), info.size());
    par->extradata_size = static_cast<int>(info.size());
    stream_->time_base = AVRational{1, static_cast<int>(sampleRate_)};

    input_.Reset(inputSamples_, channels_);
    output_.assign(maxOutputBytes_, 0);
    samplesFed_ = durationWritten_ = 0;
    started_ = true;
    return 1;
}

int M4aWriter::SetMetadata(const TagRecord& tags, int track) {
    if (!started_ || failed_) return 0;
    if (headerWritten_) {
        // Too late for this file, but nothing of it is lost: no failure.
        reason_ = "metadata comes before the first block";
        return 0;
    }
    SetMp4Metadata(&format_->metadata, tags, track);
    return 1;
}

bool M4aWriter::WriteHeader() {
    if (headerWritten_) return true;
    AVDictionary* options = nullptr;
    av_dict_set_int(&options, "movie_timescale", kMovieTimeScale, 0);
    av_dict_set(&options, "skip_iods", "0", 0);
    av_dict_set_int(&options, "iods_audio_profile", kAudioProfileLevel, 0);
    const int r = avformat_write_header(format_.get(), &options);
    av_dict_free(&options);
    if (r < 0) {
        Fail("cannot write the MP4 file: " + AvError(r));
        return false;
    }
    headerWritten_ = true;
    return true;
}

bool M4aWriter::StoreFrame(const uint8_t* data, size_t size) {
    // Durations follow the input: a full frame each until the output has caught up, then what is
    // left of the input plus the priming frame, so the track totals samples fed + one frame.
    const int64_t left = static_cast<int64_t>(samplesFed_) + frameLength_ - static_cast<int64_t>(durationWritten_);
    const int64_t duration = (left >= 0 && left <= frameLength_) ? left : frameLength_;
    // A frame past the end of input and priming would present nothing; it is not stored.
    if (duration == 0) return true;
    if (!WriteHeader()) return false;

    AVPacket* p = packet_.get();
    av_packet_unref(p);
    if (av_new_packet(p, static_cast<int>(size)) < 0) {
        Fail("out of memory");
        return false;
    }
    std::memcpy(p->data, data, size);
    // The first frame holds the priming, so the track starts one frame before the first source
    // sample; the muxer's edit list skips it.
    const AVRational trackTime{1, static_cast<int>(sampleRate_)};
    p->pts = p->dts = av_rescale_q(static_cast<int64_t>(durationWritten_) - frameLength_, trackTime, stream_->time_base);
    p->duration = av_rescale_q(duration, trackTime, stream_->time_base);
    p->flags |= AV_PKT_FLAG_KEY;
    p->stream_index = stream_->index;
    const int r = av_write_frame(format_.get(), p);
    av_packet_unref(p);
    if (r < 0) {
        Fail("cannot write the MP4 file: " + AvError(r));
        return false;
    }
    durationWritten_ += static_cast<uint64_t>(duration);
    return true;
}

int M4aWriter::EncodeAndStore(const int16_t* samples, size_t count) {
    samplesFed_ += count / channels_;
    const int bytes = faacEncEncode(faac_.get(), samples, static_cast<unsigned>(count), output_.data(),
                                    static_cast<unsigned>(output_.size()));
    if (bytes < 0) {
        Fail(faacEncGetLastError(faac_.get()));
        return -1;
    }
    if (bytes > 0 && !StoreFrame(output_.data(), static_cast<size_t>(bytes))) return -1;
    return bytes;
}

template <typename Sample>
int M4aWriter::EncodeBlock(const Sample* left, const Sample* right, uint32_t count) {
    if (!started_ || failed_) return 0;
    if (count == 0) return 1;
    if (!left || (channels_ == 2 && !right)) return Fail("a block without samples");
    const bool ok = input_.Append(left, right, count, [this](const int16_t* samples, size_t n) {
        return EncodeAndStore(samples, n) >= 0;
    });
    return ok ? 1 : 0;
}

int M4aWriter::EncodeBlock16(const int16_t* left, const int16_t* right, uint32_t count) {
    return EncodeBlock(left, right, count);
}

int M4aWriter::EncodeBlock8(const uint8_t* left, const uint8_t* right, uint32_t count) {
    return EncodeBlock(left, right, count);
}

int M4aWriter::Close() {
    if (format_ && faac_ && config_ && started_ && !failed_) {
        int bytes = EncodeAndStore(input_.data(), input_.fill());
        input_.Clear();
        while (bytes >= 0) {
            bytes = EncodeAndStore(nullptr, 0);
            if (bytes == 0) break;
        }
        if (!failed_ && WriteHeader()) {
            const int r = av_write_trailer(format_.get());
            if (r < 0) Fail("cannot write the MP4 file: " + AvError(r));
        }
    }
    if (format_ && format_->pb) {
        const int r = avio_closep(&format_->pb);
        if (r < 0 && !failed_) Fail("cannot write the MP4 file: " + AvError(r));
    }
    format_.reset();
    stream_ = nullptr;
    packet_.reset();
    faac_.reset();
    config_ = nullptr;
    input_.Release();
    output_.clear();
    output_.shrink_to_fit();
    sampleRate_ = channels_ = bitsPerSample_ = 0;
    inputSamples_ = maxOutputBytes_ = 0;
    frameLength_ = 0;
    samplesFed_ = durationWritten_ = 0;
    started_ = headerWritten_ = false;
    return failed_ ? 0 : 1;
}

// ---- Apple Lossless ----

namespace {

// ALAC's layouts by channel count, as FFmpeg's encoder takes them.
constexpr uint64_t kAlacMasks[AlacWriter::kMaxChannels] = {
    AV_CH_LAYOUT_MONO,       AV_CH_LAYOUT_STEREO,       AV_CH_LAYOUT_SURROUND,      AV_CH_LAYOUT_4POINT0,
    AV_CH_LAYOUT_5POINT0_BACK, AV_CH_LAYOUT_5POINT1_BACK, AV_CH_LAYOUT_6POINT1_BACK, AV_CH_LAYOUT_7POINT1_WIDE};

// The speaker positions of a mask in their stored order.
std::vector<uint64_t> Positions(uint64_t mask) {
    std::vector<uint64_t> out;
    for (int bit = 0; bit < 64; ++bit)
        if (mask & (uint64_t{1} << bit)) out.push_back(uint64_t{1} << bit);
    return out;
}

}  // namespace

void AlacWriter::FormatCloser::operator()(AVFormatContext* f) const {
    if (f->pb) avio_closep(&f->pb);
    avformat_free_context(f);
}
void AlacWriter::CodecCloser::operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
void AlacWriter::FrameCloser::operator()(AVFrame* f) const { av_frame_free(&f); }
void AlacWriter::PacketCloser::operator()(AVPacket* p) const { av_packet_free(&p); }

AlacWriter::AlacWriter() = default;
AlacWriter::~AlacWriter() { Close(); }

uint64_t AlacWriter::LayoutMask(uint32_t channels) {
    return channels >= 1 && channels <= kMaxChannels ? kAlacMasks[channels - 1] : 0;
}

int AlacWriter::Fail(std::string reason) {
    if (!failed_) reason_ = std::move(reason);
    failed_ = true;
    return 0;
}

int AlacWriter::Open(const std::string& path, uint32_t sampleRate, uint32_t channels, uint32_t bits,
                     uint64_t sourceMask) {
    Close();
    failed_ = false;
    reason_.clear();
    if (channels < 1 || channels > kMaxChannels || (bits != 16 && bits != 24) || sampleRate < 1 ||
        sampleRate > INT32_MAX)
        return Fail("ALAC cannot store " + std::to_string(channels) + " channel(s) of " + std::to_string(bits) +
                    " bits at " + std::to_string(sampleRate) + " Hz");
    channels_ = channels;
    bits_ = bits;
    rate_ = sampleRate;

    // Target channel i takes the source channel at the same position; positions the layout lacks
    // take the source's remaining channels in their order.
    const uint64_t target = kAlacMasks[channels - 1];
    const std::vector<uint64_t> from = Positions(sourceMask);
    const std::vector<uint64_t> to = Positions(target);
    for (uint32_t i = 0; i < channels; ++i) order_[i] = i;
    if (from.size() == channels && sourceMask != target) {
        std::vector<bool> taken(channels, false), placed(channels, false);
        for (uint32_t t = 0; t < channels; ++t)
            for (uint32_t f = 0; f < channels; ++f)
                if (!taken[f] && from[f] == to[t]) {
                    order_[t] = f;
                    taken[f] = placed[t] = true;
                    break;
                }
        uint32_t next = 0;
        for (uint32_t t = 0; t < channels; ++t) {
            if (placed[t]) continue;
            while (taken[next]) ++next;
            order_[t] = next;
            taken[next] = true;
        }
    }

    AVFormatContext* raw = nullptr;
    if (avformat_alloc_output_context2(&raw, nullptr, kMuxer, nullptr) < 0 || !raw)
        return Fail("no MPEG-4 muxer available");
    format_.reset(raw);
    format_->flags |= AVFMT_FLAG_BITEXACT;
    const int r = avio_open(&format_->pb, ("file:" + path).c_str(), AVIO_FLAG_WRITE);
    if (r < 0) {
        format_.reset();
        return Fail("cannot create the MP4 file: " + AvError(r));
    }

    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_ALAC);
    if (!codec) return Fail("no ALAC encoder available");
    codec_.reset(avcodec_alloc_context3(codec));
    frame_.reset(av_frame_alloc());
    packet_.reset(av_packet_alloc());
    if (!codec_ || !frame_ || !packet_) return Fail("out of memory");
    codec_->sample_rate = static_cast<int>(sampleRate);
    codec_->sample_fmt = bits == 24 ? AV_SAMPLE_FMT_S32P : AV_SAMPLE_FMT_S16P;
    codec_->bits_per_raw_sample = static_cast<int>(bits);
    codec_->time_base = AVRational{1, static_cast<int>(sampleRate)};
    codec_->flags |= AV_CODEC_FLAG_BITEXACT;
    av_channel_layout_from_mask(&codec_->ch_layout, target);
    if (format_->oformat->flags & AVFMT_GLOBALHEADER) codec_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (const int e = avcodec_open2(codec_.get(), codec, nullptr); e < 0)
        return Fail("the ALAC encoder could not be opened: " + AvError(e));

    stream_ = avformat_new_stream(format_.get(), nullptr);
    if (!stream_) return Fail("out of memory");
    if (const int e = avcodec_parameters_from_context(stream_->codecpar, codec_.get()); e < 0)
        return Fail("cannot set up the MP4 track: " + AvError(e));
    stream_->time_base = codec_->time_base;

    frameSize_ = codec_->frame_size > 0 ? codec_->frame_size : 4096;
    frame_->format = codec_->sample_fmt;
    frame_->nb_samples = frameSize_;
    frame_->sample_rate = codec_->sample_rate;
    av_channel_layout_copy(&frame_->ch_layout, &codec_->ch_layout);
    if (const int e = av_frame_get_buffer(frame_.get(), 0); e < 0) return Fail("out of memory: " + AvError(e));
    filled_ = 0;
    pts_ = 0;
    return 1;
}

int AlacWriter::SetMetadata(const TagRecord& tags, int track) {
    if (!format_ || failed_ || headerWritten_) return 0;
    SetMp4Metadata(&format_->metadata, tags, track);
    return 1;
}

bool AlacWriter::WriteHeader() {
    if (headerWritten_) return true;
    AVDictionary* options = nullptr;
    av_dict_set_int(&options, "movie_timescale", M4aWriter::kMovieTimeScale, 0);
    const int r = avformat_write_header(format_.get(), &options);
    av_dict_free(&options);
    if (r < 0) {
        Fail("cannot write the MP4 file: " + AvError(r));
        return false;
    }
    headerWritten_ = true;
    return true;
}

bool AlacWriter::Drain() {
    for (;;) {
        const int r = avcodec_receive_packet(codec_.get(), packet_.get());
        if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return true;
        if (r < 0) {
            Fail("the ALAC encoder failed: " + AvError(r));
            return false;
        }
        av_packet_rescale_ts(packet_.get(), codec_->time_base, stream_->time_base);
        packet_->stream_index = stream_->index;
        const int w = av_write_frame(format_.get(), packet_.get());
        av_packet_unref(packet_.get());
        if (w < 0) {
            Fail("cannot write the MP4 file: " + AvError(w));
            return false;
        }
    }
}

bool AlacWriter::SendFrame(bool flush) {
    if (!WriteHeader()) return false;
    int r = 0;
    if (filled_ > 0) {
        frame_->nb_samples = filled_;
        frame_->pts = pts_;
        r = avcodec_send_frame(codec_.get(), frame_.get());
        pts_ += filled_;
        filled_ = 0;
        if (r < 0) {
            Fail("the ALAC encoder failed: " + AvError(r));
            return false;
        }
        if (!Drain()) return false;
    }
    if (flush) {
        r = avcodec_send_frame(codec_.get(), nullptr);
        if (r < 0 && r != AVERROR_EOF) {
            Fail("the ALAC encoder failed: " + AvError(r));
            return false;
        }
        return Drain();
    }
    return true;
}

int AlacWriter::EncodeInterleaved(const double* samples, uint32_t frames) {
    if (!codec_ || failed_) return 0;
    if (frames == 0) return 1;
    if (!samples) return Fail("a block without samples");
    const double scale = bits_ == 24 ? 8388608.0 : 32768.0;
    // The whole block is quantised in one loop over its interleaved samples, then dealt out to the
    // channels' planes in runs that end where the encoder's frame fills.
    const size_t count = size_t{frames} * channels_;
    if (quantised_.size() < count) quantised_.resize(count);
    int32_t* q = quantised_.data();
    for (size_t i = 0; i < count; ++i) q[i] = QuantiseSample(samples[i], scale);
    uint32_t done = 0;
    while (done < frames) {
        if (filled_ == 0) {
            // The encoder may still hold the last frame's buffers.
            frame_->nb_samples = frameSize_;
            if (const int e = av_frame_make_writable(frame_.get()); e < 0) return Fail("out of memory: " + AvError(e));
        }
        const uint32_t run = std::min(frames - done, static_cast<uint32_t>(frameSize_ - filled_));
        const int32_t* block = q + static_cast<size_t>(done) * channels_;
        for (uint32_t c = 0; c < channels_; ++c) {
            const int32_t* in = block + order_[c];
            if (bits_ == 24) {
                int32_t* out = reinterpret_cast<int32_t*>(frame_->extended_data[c]) + filled_;
                for (uint32_t n = 0; n < run; ++n) out[n] = in[size_t{n} * channels_] * 256;
            } else {
                int16_t* out = reinterpret_cast<int16_t*>(frame_->extended_data[c]) + filled_;
                for (uint32_t n = 0; n < run; ++n) out[n] = static_cast<int16_t>(in[size_t{n} * channels_]);
            }
        }
        done += run;
        filled_ += static_cast<int>(run);
        if (filled_ == frameSize_ && !SendFrame(false)) return 0;
    }
    return 1;
}

int AlacWriter::Close() {
    if (format_ && codec_ && !failed_) {
        if (SendFrame(true) && WriteHeader()) {
            const int r = av_write_trailer(format_.get());
            if (r < 0) Fail("cannot write the MP4 file: " + AvError(r));
        }
    }
    if (format_ && format_->pb) {
        const int r = avio_closep(&format_->pb);
        if (r < 0) Fail("cannot write the MP4 file: " + AvError(r));
    }
    format_.reset();
    codec_.reset();
    frame_.reset();
    packet_.reset();
    stream_ = nullptr;
    channels_ = bits_ = rate_ = 0;
    frameSize_ = filled_ = 0;
    pts_ = 0;
    quantised_.clear();
    quantised_.shrink_to_fit();
    headerWritten_ = false;
    return failed_ ? 0 : 1;
}

}  // namespace sonavert
