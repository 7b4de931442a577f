#include "encoders/FaacLayer.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <deque>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
}

#include "encoders/NearestValue.h"

namespace sonavert {

namespace {

// The AAC sampling-frequency table; a rate's position is the index ADTS headers carry.
constexpr std::array<unsigned long, 13> kAacRates = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                                     22050, 16000, 12000, 11025, 8000,  7350};
// Most bits one frame can hold per channel.
constexpr unsigned long kMaxFrameBitsPerChannel = 6144;
// The encoder allocates at most this many bytes per channel for a frame.
constexpr unsigned long kMaxPacketBytesPerChannel = 8192;
// ADTS frame lengths have 13 bits.
constexpr size_t kMaxAdtsFrameBytes = 8191;

struct CodecCloser {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameCloser {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketCloser {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};

int RateIndex(unsigned long rate) {
    for (size_t i = 0; i < kAacRates.size(); ++i)
        if (kAacRates[i] == rate) return static_cast<int>(i);
    return -1;
}

std::string AvError(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

void PutAdtsHeader(uint8_t* h, bool mpeg2, int objectType, int rateIndex, unsigned channels, size_t frameBytes) {
    const unsigned profile = static_cast<unsigned>(objectType - 1);
    h[0] = 0xFF;
    // Sync word, identifier (1 = MPEG-2), layer 0, no CRC.
    h[1] = static_cast<uint8_t>(0xF0 | (mpeg2 ? 0x08 : 0x00) | 0x01);
    h[2] = static_cast<uint8_t>((profile << 6) | (static_cast<unsigned>(rateIndex) << 2) | ((channels >> 2) & 1));
    h[3] = static_cast<uint8_t>(((channels & 3) << 6) | ((frameBytes >> 11) & 3));
    h[4] = static_cast<uint8_t>(frameBytes >> 3);
    // Buffer fullness 0x7FF (variable rate), one raw data block.
    h[5] = static_cast<uint8_t>(((frameBytes & 7) << 5) | 0x1F);
    h[6] = 0xFC;
}

}  // namespace

struct FaacEncoder {
    unsigned long sampleRate = 0;
    unsigned channels = 0;
    FaacConfiguration config;
    FaacConfiguration applied;  // the record the open encoder was made from
    std::unique_ptr<AVCodecContext, CodecCloser> codec;
    std::unique_ptr<AVFrame, FrameCloser> frame;
    std::unique_ptr<AVPacket, PacketCloser> packet;
    std::deque<std::vector<uint8_t>> pending;  // packets received but not yet handed out
    int64_t nextPts = 0;
    bool encoding = false;     // a frame has been sent
    bool lastFrameSent = false;  // a short frame ended the input
    bool flushSent = false;
    bool drained = false;
    std::string error;

    int Fail(std::string reason) {
        error = std::move(reason);
        return 0;
    }
    bool Receive();
};

bool IsAacSampleRate(unsigned long sampleRate) { return RateIndex(sampleRate) >= 0; }

unsigned long AacEncodableRate(unsigned long sampleRate) {
    if (IsAacSampleRate(sampleRate)) return sampleRate;
    // High-resolution rates keep their family: halve or quarter them onto the table when that is
    // exact, rather than jumping to whichever rate lies nearer.
    if (sampleRate > kAacRates.front())
        for (unsigned long divisor : {2ul, 4ul})
            if (sampleRate % divisor == 0 && IsAacSampleRate(sampleRate / divisor)) return sampleRate / divisor;
    constexpr std::array<uint32_t, kAacRates.size()> kAscending = {7350,  8000,  11025, 12000, 16000, 22050, 24000,
                                                                   32000, 44100, 48000, 64000, 88200, 96000};
    return NearestValue(kAscending, static_cast<uint32_t>(std::min<unsigned long>(sampleRate, UINT32_MAX)));
}

unsigned long FaacQualityBitRate(unsigned long quantqual, unsigned long sampleRate) {
    const double q = static_cast<double>(std::clamp(quantqual, kFaacMinQuality, kFaacMaxQuality));
    // Bits per second per channel at full bandwidth (32000 Hz and above).
    const double full = q <= 100 ? 12000.0 + (q - 10.0) * 52000.0 / 90.0 : 64000.0 + (q - 100.0) * 240.0;
    const double rate = static_cast<double>(sampleRate);
    const double scaled = rate >= 32000 ? full : full * std::sqrt(rate / 32000.0);
    const unsigned long most = kMaxFrameBitsPerChannel * sampleRate / kAacFrameLength;
    return std::min(static_cast<unsigned long>(std::lround(scaled)), most);
}

FaacEncHandle faacEncOpen(unsigned long sampleRate, unsigned int numChannels, unsigned long* inputSamples,
                          unsigned long* maxOutputBytes) {
    if (sampleRate == 0 || numChannels < 1 || numChannels > 2) return nullptr;
    auto* h = new FaacEncoder;
    h->sampleRate = sampleRate;
    h->channels = numChannels;
    if (inputSamples) *inputSamples = kAacFrameLength * numChannels;
    if (maxOutputBytes) *maxOutputBytes = kMaxPacketBytesPerChannel * numChannels + kAdtsHeaderBytes;
    return h;
}

FaacConfiguration* faacEncGetCurrentConfiguration(FaacEncHandle handle) {
    return handle ? &handle->config : nullptr;
}

int faacEncSetConfiguration(FaacEncHandle h, const FaacConfiguration* config) {
    if (!h || !config) return 0;
    if (h->encoding) return h->Fail("the configuration cannot change once encoding has begun");
    const FaacConfiguration c = *config;
    if (!IsAacSampleRate(h->sampleRate))
        return h->Fail("AAC cannot be encoded at " + std::to_string(h->sampleRate) + " Hz");
    if (c.aacObjectType != kFaacObjectLow)
        return h->Fail("AAC object type " + std::to_string(c.aacObjectType) + " is not supported");
    if (c.mpegVersion != kFaacMpeg4 && c.mpegVersion != kFaacMpeg2)
        return h->Fail("unknown MPEG version " + std::to_string(c.mpegVersion));
    if (c.outputFormat != kFaacRaw && c.outputFormat != kFaacAdts)
        return h->Fail("unknown output format " + std::to_string(c.outputFormat));
    if (c.inputFormat != kFaacInput16Bit) return h->Fail("only 16-bit input is supported");
    const unsigned long maxBitRate = kMaxFrameBitsPerChannel * h->sampleRate / kAacFrameLength;
    if (c.bitRate > maxBitRate)
        return h->Fail("a bit rate of " + std::to_string(c.bitRate) + " per channel is above the most (" +
                       std::to_string(maxBitRate) + ") at " + std::to_string(h->sampleRate) + " Hz");

    const AVCodec* encoder = avcodec_find_encoder_by_name("aac");
    if (!encoder) return h->Fail("no AAC encoder available");
    std::unique_ptr<AVCodecContext, CodecCloser> ctx(avcodec_alloc_context3(encoder));
    std::unique_ptr<AVFrame, FrameCloser> frame(av_frame_alloc());
    std::unique_ptr<AVPacket, PacketCloser> packet(av_packet_alloc());
    if (!ctx || !frame || !packet) return h->Fail("out of memory");
    ctx->sample_rate = static_cast<int>(h->sampleRate);
    ctx->sample_fmt = AV_SAMPLE_FMT_FLTP;
    av_channel_layout_default(&ctx->ch_layout, static_cast<int>(h->channels));
    ctx->time_base = AVRational{1, static_cast<int>(h->sampleRate)};
    ctx->profile = FF_PROFILE_AAC_LOW;
    ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    // Always the encoder's average-bit-rate mode; a quality stands for a rate (see the header).
    const unsigned long perChannel = c.bitRate > 0 ? c.bitRate : FaacQualityBitRate(c.quantqual, h->sampleRate);
    ctx->bit_rate = static_cast<int64_t>(perChannel) * h->channels;
    if (c.bandWidth > 0) ctx->cutoff = static_cast<int>(std::min<unsigned long>(c.bandWidth, h->sampleRate / 2));

    AVDictionary* options = nullptr;
    av_dict_set(&options, "aac_tns", c.useTns ? "1" : "0", 0);
    if (!c.allowMidside) av_dict_set(&options, "aac_ms", "0", 0);
    const int r = avcodec_open2(ctx.get(), encoder, &options);
    // The encoder takes the options it knows out of the dictionary; one left over was not applied.
    const int unused = av_dict_count(options);
    av_dict_free(&options);
    if (r < 0) return h->Fail("the AAC encoder refused the settings (" + AvError(r) + ")");
    if (unused > 0) return h->Fail("the AAC encoder lacks the TNS or mid/side switch");
    if (ctx->frame_size != static_cast<int>(kAacFrameLength) || !ctx->extradata || ctx->extradata_size < 2)
        return h->Fail("the AAC encoder does not work in 1024-sample frames");

    h->codec = std::move(ctx);
    h->frame = std::move(frame);
    h->packet = std::move(packet);
    h->applied = c;
    h->config = c;
    h->pending.clear();
    h->nextPts = 0;
    h->lastFrameSent = h->flushSent = h->drained = false;
    return 1;
}

bool FaacEncoder::Receive() {
    for (;;) {
        const int r = avcodec_receive_packet(codec.get(), packet.get());
        if (r == AVERROR(EAGAIN)) return true;
        if (r == AVERROR_EOF) {
            drained = true;
            return true;
        }
        if (r < 0) {
            error = "AAC encoding failed (" + AvError(r) + ")";
            return false;
        }
        pending.emplace_back(packet->data, packet->data + packet->size);
        av_packet_unref(packet.get());
    }
}

int faacEncEncode(FaacEncHandle h, const int16_t* input, unsigned int samplesInput, uint8_t* output,
                  unsigned int bufferSize) {
    if (!h) return -1;
    if (!h->codec && !faacEncSetConfiguration(h, &h->config)) return -1;
    if (samplesInput > 0) {
        if (!input || samplesInput > kAacFrameLength * h->channels || samplesInput % h->channels != 0) {
            h->error = "an encode call takes up to 1024 whole sample frames";
            return -1;
        }
        if (h->lastFrameSent || h->flushSent) {
            h->error = "samples after the end of the stream";
            return -1;
        }
        AVFrame* f = h->frame.get();
        av_frame_unref(f);
        f->format = AV_SAMPLE_FMT_FLTP;
        f->sample_rate = static_cast<int>(h->sampleRate);
        f->nb_samples = static_cast<int>(samplesInput / h->channels);
        if (av_channel_layout_copy(&f->ch_layout, &h->codec->ch_layout) < 0 || av_frame_get_buffer(f, 0) < 0) {
            h->error = "out of memory";
            return -1;
        }
        for (unsigned ch = 0; ch < h->channels; ++ch) {
            float* plane = reinterpret_cast<float*>(f->data[ch]);
            for (int i = 0; i < f->nb_samples; ++i)
                plane[i] = static_cast<float>(input[static_cast<size_t>(i) * h->channels + ch]) / 32768.0f;
        }
        f->pts = h->nextPts;
        h->nextPts += f->nb_samples;
        const int r = avcodec_send_frame(h->codec.get(), f);
        av_frame_unref(f);
        if (r < 0) {
            h->error = "AAC encoding failed (" + AvError(r) + ")";
            return -1;
        }
        h->encoding = true;
        if (samplesInput < kAacFrameLength * h->channels) h->lastFrameSent = true;
    } else if (!h->flushSent) {
        h->encoding = true;
        h->flushSent = true;
        const int r = avcodec_send_frame(h->codec.get(), nullptr);
        if (r < 0 && r != AVERROR_EOF) {
            h->error = "AAC encoding failed (" + AvError(r) + ")";
            return -1;
        }
    }
    if (!h->drained && !h->Receive()) return -1;
    if (h->pending.empty()) return 0;

    const std::vector<uint8_t>& data = h->pending.front();
    const bool adts = h->applied.outputFormat == kFaacAdts;
    const size_t header = adts ? kAdtsHeaderBytes : 0;
    const size_t total = header + data.size();
    if (!output || total > bufferSize || (adts && total > kMaxAdtsFrameBytes)) {
        h->error = "an AAC frame of " + std::to_string(total) + " bytes does not fit the output buffer";
        return -1;
    }
    if (adts)
        PutAdtsHeader(output, h->applied.mpegVersion == kFaacMpeg2, h->applied.aacObjectType,
                      RateIndex(h->sampleRate), h->channels, total);
    std::memcpy(output + header, data.data(), data.size());
    h->pending.pop_front();
    return static_cast<int>(total);
}

int faacEncClose(FaacEncHandle handle) {
    delete handle;
    return 1;
}

int faacEncGetDecoderSpecificInfo(FaacEncHandle h, std::vector<uint8_t>& info) {
    if (!h || !h->codec || !h->codec->extradata) return 0;
    info.assign(h->codec->extradata, h->codec->extradata + h->codec->extradata_size);
    return 1;
}

const std::string& faacEncGetLastError(FaacEncHandle handle) {
    static const std::string kNoHandle = "no AAC encoder";
    return handle ? handle->error : kNoHandle;
}

}  // namespace sonavert
