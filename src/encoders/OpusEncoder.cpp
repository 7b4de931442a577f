#include "encoders/OpusEncoder.h"

#include <opus/opusenc.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/Random.h"
#include "tags/TagReading.h"

namespace sonavert {

namespace {

// Largest slice handed to libopusenc in one call: it buffers what it is given before encoding.
constexpr uint32_t kMaxSliceFrames = 16384;

std::string ErrnoText(int error) { return error ? std::string(": ") + std::strerror(error) : std::string(); }

}  // namespace

void WavToVorbisOrder(const float* in, float* out, uint32_t channels) {
    // For each Vorbis position, the WAV position it takes its sample from.
    static const uint8_t kFrom[9][8] = {
        {},
        {0},
        {0, 1},
        {0, 2, 1},                 // L C R
        {0, 1, 2, 3},              // FL FR BL BR
        {0, 2, 1, 3, 4},           // FL C FR BL BR
        {0, 2, 1, 4, 5, 3},        // FL C FR BL BR LFE
        {0, 2, 1, 5, 6, 4, 3},     // FL C FR SL SR BC LFE
        {0, 2, 1, 6, 7, 4, 5, 3},  // FL C FR SL SR BL BR LFE
    };
    const uint32_t n = std::min(channels, 8u);
    for (uint32_t c = 0; c < n; ++c) out[c] = in[kFrom[n][c]];
}

OpusEncoder::~OpusEncoder() { Finish(); }

void OpusEncoder::Fail(const std::string& reason) {
    if (!failed_) reason_ = reason;
    failed_ = true;
}

void OpusEncoder::WriteFailed() { Fail("Failed to write file \"" + path_ + "\"" + ErrnoText(errno)); }

int OpusEncoder::WritePage(void* user, const unsigned char* data, int32_t length) {
    auto* self = static_cast<OpusEncoder*>(user);
    if (self->failed_ || !self->file_ || length < 0) return 1;
    errno = 0;
    const size_t size = static_cast<size_t>(length);
    if (std::fwrite(data, 1, size, self->file_) != size) {
        self->WriteFailed();
        return 1;
    }
    return 0;
}

// The file is closed by Finish, which checks the close.
int OpusEncoder::ClosePages(void*) { return 0; }

int OpusEncoder::Open(const std::string& path) {
    Finish();
    reason_.clear();
    failed_ = false;
    path_ = path;
    errno = 0;
    file_ = std::fopen(path.c_str(), "wbe");
    if (!file_) {
        Fail("Failed to create file \"" + path + "\"" + ErrnoText(errno));
        return 0;
    }
    comments_ = ope_comments_create();
    if (!comments_) {
        Fail("The Opus encoder could not be created");
        return 0;
    }
    return 1;
}

void OpusEncoder::SetPicture(const Picture& picture) {
    if (!file_ || encoder_ || !comments_) return;
    const std::string block = MetadataBlockPicture(picture);
    if (!block.empty()) ope_comments_add(comments_, "METADATA_BLOCK_PICTURE", block.c_str());
}

void OpusEncoder::SetComments(const TagRecord& tags) {
    if (!file_ || encoder_ || !comments_) return;
    ope_comments_destroy(comments_);
    comments_ = ope_comments_create();
    if (!comments_) return;
    for (const auto& [key, text] : VorbisComments(tags)) ope_comments_add(comments_, key, text.c_str());
}

int OpusEncoder::Start(const OpusStreamParams& p) {
    if (!file_ || !comments_ || encoder_ || failed_) {
        Fail(encoder_ ? "the Opus encoder was already started" : "no file is open");
        return 0;
    }
    if (p.channels < 1 || p.channels > kMaxChannels || p.inputRate < 1 || p.inputRate > 768000) {
        Fail("The Opus encoder cannot encode " + std::to_string(p.inputRate) + " Hz, " +
             std::to_string(p.channels) + " channel(s)");
        return 0;
    }
    OpusEncCallbacks callbacks{&OpusEncoder::WritePage, &OpusEncoder::ClosePages};
    int error = OPE_OK;
    const int family = p.channels <= 2 ? 0 : p.unnamedLayout ? 255 : 1;
    encoder_ = ope_encoder_create_callbacks(&callbacks, this, comments_, static_cast<int32_t>(p.inputRate),
                                            static_cast<int>(p.channels), family, &error);
    if (!encoder_ || error != OPE_OK) {
        Fail(std::string("The Opus encoder could not be created: ") + ope_strerror(error));
        return 0;
    }
    channels_ = p.channels;
    const int32_t bitRate =
        std::clamp(p.bitRate, kMinBitRate, kMaxBitRatePerChannel * static_cast<int32_t>(p.channels));
    bool set = ope_encoder_ctl(encoder_, OPE_SET_SERIALNO(static_cast<int32_t>(NextRandom() & 0x7FFFFFFF))) == OPE_OK;
    set = set && ope_encoder_ctl(encoder_, OPUS_SET_BITRATE(bitRate)) == OPE_OK;
    set = set && ope_encoder_ctl(encoder_, OPUS_SET_VBR(p.mode == OpusRateMode::Constant ? 0 : 1)) == OPE_OK;
    if (p.mode != OpusRateMode::Constant)
        set = set && ope_encoder_ctl(encoder_, OPUS_SET_VBR_CONSTRAINT(p.mode == OpusRateMode::Constrained ? 1 : 0)) ==
                         OPE_OK;
    set = set && ope_encoder_ctl(encoder_, OPUS_SET_SIGNAL(p.voice ? OPUS_SIGNAL_VOICE : OPUS_SIGNAL_MUSIC)) == OPE_OK;
    if (p.voice) set = set && ope_encoder_ctl(encoder_, OPUS_SET_APPLICATION(OPUS_APPLICATION_VOIP)) == OPE_OK;
    if (!set) {
        Fail("The Opus encoder refused its settings (" + std::to_string(bitRate / 1000) + " kbps)");
        return 0;
    }
    return 1;
}

int OpusEncoder::Encode(const float* interleaved, uint32_t frames) {
    if (failed_) return 0;
    if (!encoder_ || (!interleaved && frames > 0)) {
        Fail("the Opus encoder was not started");
        return 0;
    }
    while (frames > 0) {
        const uint32_t slice = std::min(frames, kMaxSliceFrames);
        const int result = ope_encoder_write_float(encoder_, interleaved, static_cast<int>(slice));
        if (failed_) return 0;
        if (result != OPE_OK) {
            Fail(std::string("The Opus encoder failed: ") + ope_strerror(result));
            return 0;
        }
        framesWritten_ += slice;
        interleaved += static_cast<size_t>(slice) * channels_;
        frames -= slice;
    }
    return 1;
}

int OpusEncoder::Finish() {
    if (encoder_) {
        if (!failed_) {
            // libopusenc's drain can abort the process on a stream that never received a sample
            // (an empty source, a decode that gave up at once): such a stream gets one frame of
            // silence, so that it ends as a valid, practically empty file.
            int result = OPE_OK;
            if (framesWritten_ == 0) {
                const float silence[kMaxChannels] = {};
                result = ope_encoder_write_float(encoder_, silence, 1);
            }
            if (result == OPE_OK && !failed_) result = ope_encoder_drain(encoder_);
            if (result != OPE_OK && !failed_)
                Fail(std::string("The Opus encoder failed at the end: ") + ope_strerror(result));
        }
        ope_encoder_destroy(encoder_);
        encoder_ = nullptr;
    }
    if (comments_) {
        ope_comments_destroy(comments_);
        comments_ = nullptr;
    }
    if (file_) {
        errno = 0;
        const bool flushed = std::fflush(file_) == 0;
        const int flushError = errno;
        const bool closed = std::fclose(file_) == 0;
        if (!flushed || !closed) {
            errno = flushed ? errno : flushError;
            WriteFailed();
        }
        file_ = nullptr;
    }
    channels_ = 0;
    framesWritten_ = 0;
    return failed_ ? 0 : 1;
}

}  // namespace sonavert
