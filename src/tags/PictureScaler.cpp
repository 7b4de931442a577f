#include "tags/PictureScaler.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libavutil/mem.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

namespace sonavert {
namespace {

struct CodecCloser {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameCloser {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketCloser {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct ScalerCloser {
    void operator()(SwsContext* s) const { sws_freeContext(s); }
};
using CodecPtr = std::unique_ptr<AVCodecContext, CodecCloser>;
using FramePtr = std::unique_ptr<AVFrame, FrameCloser>;
using PacketPtr = std::unique_ptr<AVPacket, PacketCloser>;

// JPEG quality: the quantiser scale of every block (2 is near the encoder's finest).
constexpr int kJpegQuantiser = 2;

// Decodes one image; null on failure.
FramePtr Decode(AVCodecID id, const std::vector<uint8_t>& data) {
    const AVCodec* codec = avcodec_find_decoder(id);
    if (!codec || data.size() > INT32_MAX - AV_INPUT_BUFFER_PADDING_SIZE) return nullptr;
    CodecPtr ctx(avcodec_alloc_context3(codec));
    if (!ctx) return nullptr;
    ctx->max_pixels = static_cast<int64_t>(kMaxDecodedPictureSide) * kMaxDecodedPictureSide;
    ctx->thread_count = 1;
    if (avcodec_open2(ctx.get(), codec, nullptr) < 0) return nullptr;
    PacketPtr packet(av_packet_alloc());
    if (!packet || av_new_packet(packet.get(), static_cast<int>(data.size())) < 0) return nullptr;
    std::memcpy(packet->data, data.data(), data.size());
    FramePtr frame(av_frame_alloc());
    if (!frame || avcodec_send_packet(ctx.get(), packet.get()) < 0) return nullptr;
    avcodec_send_packet(ctx.get(), nullptr);
    if (avcodec_receive_frame(ctx.get(), frame.get()) < 0) return nullptr;
    return frame;
}

// Encodes one image; empty on failure.
std::vector<uint8_t> Encode(AVCodecID id, const AVFrame& frame) {
    const AVCodec* codec = avcodec_find_encoder(id);
    if (!codec) return {};
    CodecPtr ctx(avcodec_alloc_context3(codec));
    if (!ctx) return {};
    ctx->width = frame.width;
    ctx->height = frame.height;
    ctx->pix_fmt = static_cast<AVPixelFormat>(frame.format);
    ctx->time_base = AVRational{1, 1};
    ctx->thread_count = 1;
    ctx->flags |= AV_CODEC_FLAG_BITEXACT;
    if (id == AV_CODEC_ID_MJPEG) {
        ctx->flags |= AV_CODEC_FLAG_QSCALE;
        ctx->global_quality = FF_QP2LAMBDA * kJpegQuantiser;
        ctx->color_range = AVCOL_RANGE_JPEG;
    }
    if (avcodec_open2(ctx.get(), codec, nullptr) < 0) return {};
    FramePtr input(av_frame_clone(&frame));
    if (!input) return {};
    if (id == AV_CODEC_ID_MJPEG) input->quality = ctx->global_quality;
    if (avcodec_send_frame(ctx.get(), input.get()) < 0) return {};
    avcodec_send_frame(ctx.get(), nullptr);
    PacketPtr packet(av_packet_alloc());
    if (!packet || avcodec_receive_packet(ctx.get(), packet.get()) < 0 || packet->size <= 0) return {};
    return std::vector<uint8_t>(packet->data, packet->data + packet->size);
}

// The scaler takes full-range YUV as the plain formats with a range flag; the "J" formats the JPEG
// decoder gives are refused with a warning.
AVPixelFormat PlainFormat(AVPixelFormat format, bool& fullRange) {
    fullRange = true;
    switch (format) {
        case AV_PIX_FMT_YUVJ420P: return AV_PIX_FMT_YUV420P;
        case AV_PIX_FMT_YUVJ422P: return AV_PIX_FMT_YUV422P;
        case AV_PIX_FMT_YUVJ444P: return AV_PIX_FMT_YUV444P;
        case AV_PIX_FMT_YUVJ440P: return AV_PIX_FMT_YUV440P;
        case AV_PIX_FMT_YUVJ411P: return AV_PIX_FMT_YUV411P;
        default: break;
    }
    const auto* desc = av_pix_fmt_desc_get(format);
    fullRange = !desc || (desc->flags & AV_PIX_FMT_FLAG_RGB) || desc->nb_components < 3;
    return format;
}

}  // namespace

bool ScalePictureDown(Picture& picture, uint32_t maxSide, std::string& reason) {
    if (maxSide == 0) return true;
    const std::string type = SniffImageType(picture.data.data(), picture.data.size());
    const bool jpeg = type == "image/jpeg";
    if (!jpeg && type != "image/png") {
        // Only what can be told from its header: a picture of another kind is kept as it is.
        reason = "only JPEG and PNG pictures are scaled";
        return false;
    }
    uint32_t width = 0, height = 0, depth = 0;
    if (ImageDimensions(picture.data, width, height, depth) && width <= maxSide && height <= maxSide) return true;
    if (width > kMaxDecodedPictureSide || height > kMaxDecodedPictureSide) {
        reason = "the picture is too large to decode";
        return false;
    }
    const FramePtr decoded = Decode(jpeg ? AV_CODEC_ID_MJPEG : AV_CODEC_ID_PNG, picture.data);
    if (!decoded || decoded->width <= 0 || decoded->height <= 0) {
        reason = "the picture cannot be decoded";
        return false;
    }
    const uint32_t w = static_cast<uint32_t>(decoded->width), h = static_cast<uint32_t>(decoded->height);
    if (w <= maxSide && h <= maxSide) return true;
    const double scale = static_cast<double>(maxSide) / std::max(w, h);
    const int outW = std::max(1, static_cast<int>(std::lround(w * scale)));
    const int outH = std::max(1, static_cast<int>(std::lround(h * scale)));

    const auto* desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(decoded->format));
    const bool alpha = desc && (desc->flags & AV_PIX_FMT_FLAG_ALPHA);
    // JPEG pictures leave as full-range 4:2:0 (the encoder's JPEG range), PNG ones as 8-bit RGB.
    const AVPixelFormat outFormat = jpeg ? AV_PIX_FMT_YUV420P : (alpha ? AV_PIX_FMT_RGBA : AV_PIX_FMT_RGB24);
    bool fullRange = true;
    const AVPixelFormat inFormat = PlainFormat(static_cast<AVPixelFormat>(decoded->format), fullRange);
    if (decoded->color_range == AVCOL_RANGE_JPEG) fullRange = true;
    const std::unique_ptr<SwsContext, ScalerCloser> scaler(sws_getContext(decoded->width, decoded->height, inFormat,
                                                                          outW, outH, outFormat,
                                                                          SWS_LANCZOS | SWS_ACCURATE_RND, nullptr,
                                                                          nullptr, nullptr));
    FramePtr scaled(av_frame_alloc());
    if (!scaler || !scaled) {
        reason = "the picture cannot be scaled";
        return false;
    }
    const int* coefficients = sws_getCoefficients(SWS_CS_DEFAULT);
    sws_setColorspaceDetails(scaler.get(), coefficients, fullRange ? 1 : 0, coefficients, 1, 0, 1 << 16, 1 << 16);
    scaled->format = outFormat;
    scaled->color_range = AVCOL_RANGE_JPEG;
    scaled->width = outW;
    scaled->height = outH;
    if (av_frame_get_buffer(scaled.get(), 0) < 0 ||
        sws_scale(scaler.get(), decoded->data, decoded->linesize, 0, decoded->height, scaled->data,
                  scaled->linesize) != outH) {
        reason = "the picture cannot be scaled";
        return false;
    }
    std::vector<uint8_t> encoded = Encode(jpeg ? AV_CODEC_ID_MJPEG : AV_CODEC_ID_PNG, *scaled);
    if (encoded.empty()) {
        reason = "the scaled picture cannot be encoded";
        return false;
    }
    picture.data = std::move(encoded);
    picture.width = static_cast<uint32_t>(outW);
    picture.height = static_cast<uint32_t>(outH);
    picture.depth = jpeg ? 24 : (alpha ? 32 : 24);
    picture.colors = 0;
    return true;
}

}  // namespace sonavert
