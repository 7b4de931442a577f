#include "encoders/AmrEncoder.h"

#include <algorithm>
#include <utility>

namespace sonavert {

namespace {

// A mode outside the band's range (a hand-edited settings file) becomes the fallback mode, the one
// the options page shows and saves for such a value.
int EncodedMode(int mode, int modeCount) {
    return mode >= 0 && mode < modeCount ? mode : AmrEncoder::kFallbackMode;
}

}  // namespace

AmrEncoder::~AmrEncoder() { Close(); }

int AmrEncoder::SetBand(int narrowBand) {
    const int closed = Close();
    narrowBand_ = narrowBand ? 1 : 0;
    frameLength_ = narrowBand_ ? kAmrNbFrameSamples : kAmrWbFrameSamples;
    return closed;
}

int AmrEncoder::Open(const std::string& path) {
    Finish();
    failure_.clear();
    buffered_ = 0;
    // Set from the band here too, so that an Open without SetBand (narrow band after construction
    // or Close) still cuts frames of the right length.
    frameLength_ = IsNarrowBand() ? kAmrNbFrameSamples : kAmrWbFrameSamples;
    if (IsNarrowBand())
        narrow_ = amrnbenc_init(path, dtx_, EncodedMode(narrowMode_, kAmrNbModeCount), failure_);
    else
        wide_ = amrwbenc_init(path, dtx_, EncodedMode(wideMode_, kAmrWbModeCount), failure_);
    return IsOpen() ? 1 : 0;
}

bool AmrEncoder::EncodeFrame(const int16_t* frame) {
    const int ok = narrow_ ? amrnbenc_encode(*narrow_, frame, failure_) : amrwbenc_encode(*wide_, frame, failure_);
    if (!ok) failed_ = true;
    return ok != 0;
}

int AmrEncoder::EncodeBlock(const int16_t* samples, uint32_t count) {
    if (!IsOpen()) {
        failure_ = "No file is open";
        return 0;
    }
    if (failed_) return 0;
    if (count == 0) return 1;
    if (!samples) {
        failure_ = "No samples to encode";
        return 0;
    }
    const uint32_t frame = frameLength_;
    // Not enough for a frame yet: keep everything.
    if (count < frame - buffered_) {
        std::copy_n(samples, count, frame_.begin() + buffered_);
        buffered_ += count;
        return 1;
    }
    uint32_t used = 0;
    if (buffered_ > 0) {
        used = frame - buffered_;
        std::copy_n(samples, used, frame_.begin() + buffered_);
        buffered_ = 0;
        if (!EncodeFrame(frame_.data())) return 0;
    }
    for (; count - used >= frame; used += frame) {
        if (!EncodeFrame(samples + used)) return 0;
    }
    buffered_ = count - used;
    std::copy_n(samples + used, buffered_, frame_.begin());
    return 1;
}

bool AmrEncoder::Finish() {
    if (!IsOpen()) return true;
    if (!failed_ && buffered_ > 0) {
        std::fill(frame_.begin() + buffered_, frame_.begin() + frameLength_, int16_t{0});
        EncodeFrame(frame_.data());
    }
    buffered_ = 0;
    std::string reason;
    const int closed = narrow_ ? amrnbenc_quit(std::move(narrow_), reason) : amrwbenc_quit(std::move(wide_), reason);
    narrow_.reset();
    wide_.reset();
    // The first failure is the one worth reporting; a failed frame also fails the close.
    if (!closed && !failed_) failure_ = reason;
    const bool ok = closed && !failed_;
    failed_ = false;
    return ok;
}

int AmrEncoder::Close() {
    const bool ok = Finish();
    narrowBand_ = 1;
    dtx_ = 0;
    narrowMode_ = kDefaultMode;
    wideMode_ = kDefaultMode;
    frameLength_ = 0;
    buffered_ = 0;
    return ok ? 1 : 0;
}

}  // namespace sonavert
