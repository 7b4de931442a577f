#include "encoders/PcmConverter.h"

#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "base/AudioLimits.h"
#include "base/Downmix.h"

namespace sonavert {
namespace {

constexpr uint32_t kMaxBlockFrames = 1152;

template <class T>
T* Grow(std::vector<T>& v, size_t count) {
    if (v.size() < count) v.resize(count);
    return v.data();
}

// 8-bit unsigned <-> 16-bit signed.
void ConvertWidth(const void* in, uint32_t count, int inBits, void* out) {
    if (inBits == 8) {
        const uint8_t* s = static_cast<const uint8_t*>(in);
        int16_t* d = static_cast<int16_t*>(out);
        for (uint32_t i = 0; i < count; ++i) d[i] = static_cast<int16_t>((s[i] - 128) * 256);
    } else {
        const int16_t* s = static_cast<const int16_t*>(in);
        uint8_t* d = static_cast<uint8_t*>(out);
        for (uint32_t i = 0; i < count; ++i) d[i] = static_cast<uint8_t>((s[i] >> 8) + 128);
    }
}

// (left + right) / 2 rounded toward minus infinity, summed in int so that nothing overflows.
void MixToMono(const void* left, const void* right, uint32_t count, int bits, void* out) {
    if (bits == 8) {
        const uint8_t* l = static_cast<const uint8_t*>(left);
        const uint8_t* r = static_cast<const uint8_t*>(right);
        uint8_t* d = static_cast<uint8_t*>(out);
        for (uint32_t i = 0; i < count; ++i) d[i] = static_cast<uint8_t>((int(l[i]) + int(r[i])) >> 1);
    } else {
        const int16_t* l = static_cast<const int16_t*>(left);
        const int16_t* r = static_cast<const int16_t*>(right);
        int16_t* d = static_cast<int16_t*>(out);
        for (uint32_t i = 0; i < count; ++i) d[i] = static_cast<int16_t>((int(l[i]) + int(r[i])) >> 1);
    }
}

void ToFloat(const void* in, uint32_t count, int bits, float* out) {
    if (bits == 8) {
        const uint8_t* s = static_cast<const uint8_t*>(in);
        for (uint32_t i = 0; i < count; ++i) out[i] = static_cast<float>(s[i] - 128) * 0.0078125f;
    } else {
        const int16_t* s = static_cast<const int16_t*>(in);
        for (uint32_t i = 0; i < count; ++i) out[i] = static_cast<float>(s[i]) * (1.0f / 32768.0f);
    }
}

// Clamps to [-1, 1] and scales, truncating toward zero.
void FromFloat(const float* in, size_t count, int bits, void* out) {
    for (size_t i = 0; i < count; ++i) {
        float x = in[i];
        if (std::isnan(x)) x = 0.0f;
        if (x > 1.0f) x = 1.0f;
        if (x < -1.0f) x = -1.0f;
        if (bits == 8)
            static_cast<uint8_t*>(out)[i] = static_cast<uint8_t>(128 + static_cast<int>(x * 127.0f));
        else
            static_cast<int16_t*>(out)[i] = static_cast<int16_t>(static_cast<int>(x * 32767.0f));
    }
}

}  // namespace

void PcmConverter::SoxrDeleter::operator()(soxr* p) const { soxr_delete(p); }

PcmConverter::~PcmConverter() = default;

bool PcmConverter::ValidConfig() const {
    auto channelsOk = [](int c) { return c == 1 || c == 2; };
    auto bitsOk = [](int b) { return b == 8 || b == 16; };
    return channelsOk(inputChannels) && channelsOk(outputChannels) && bitsOk(inputBits) && bitsOk(outputBits) &&
           inputRate > 0 && outputRate > 0;
}

uint32_t PcmConverter::OutputCapacity() const {
    if (!ValidConfig()) return 0;
    return static_cast<uint32_t>(outputRate / inputRate + 1) * kMaxBlockFrames;
}

int PcmConverter::Setup() {
    ready_ = false;
    flushed_ = false;
    resampler_[0].reset();
    resampler_[1].reset();
    if (!ValidConfig()) return 0;
    if (Resampling()) {
        factor_ = static_cast<double>(outputRate) / inputRate;
        soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
        soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
        soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
        for (int c = 0; c < ResampledChannels(); ++c) {
            soxr_error_t error = nullptr;
            resampler_[c].reset(soxr_create(inputRate, outputRate, 1, &error, &io, &quality, &runtime));
            if (error || !resampler_[c]) {
                resampler_[0].reset();
                resampler_[1].reset();
                return 0;
            }
        }
    }
    ready_ = true;
    return 1;
}

uint32_t PcmConverter::ResamplePlane(int channel, const void* in, uint32_t inCount, bool flush, void* out,
                                     size_t capacity) {
    float* fout = Grow(floatOut_, capacity);
    size_t produced = 0;
    if (flush) {
        // A null input tells the resampler that the stream has ended; it then releases its tail,
        // at most `capacity` samples per call.
        soxr_process(resampler_[channel].get(), nullptr, 0, nullptr, fout, capacity, &produced);
    } else {
        float* fin = Grow(floatIn_, inCount);
        ToFloat(in, inCount, inputBits, fin);
        // No input-consumed counter is passed, so the resampler takes the whole block into its
        // own queue and only limits what it writes; output that does not fit this call stays
        // queued and comes out with a later block or the flush. Nothing is dropped.
        soxr_process(resampler_[channel].get(), fin, inCount, nullptr, fout, capacity, &produced);
    }
    if (produced > capacity) produced = capacity;
    FromFloat(fout, produced, outputBits, out);
    return static_cast<uint32_t>(produced);
}

int PcmConverter::Convert(const void* inLeft, const void* inRight, uint32_t inCount, void* outLeft, void* outRight,
                          uint32_t* outCount) {
    if (outCount) *outCount = 0;
    if (!ready_ || flushed_ || !outCount || (inCount && (!inLeft || !outLeft))) return 0;
    if (inCount && ((inputChannels == 2 && !inRight) || (outputChannels == 2 && !outRight))) return 0;
    if (inCount == 0) return 1;

    const int outBytes = outputBits / 8;
    const void* left = inLeft;
    const void* right = inRight;

    if (!Resampling()) {
        if (inputBits != outputBits) {
            void* wl = Grow(widthLeft_, inCount);
            ConvertWidth(left, inCount, inputBits, wl);
            left = wl;
            if (inputChannels == 2) {
                void* wr = Grow(widthRight_, inCount);
                ConvertWidth(right, inCount, inputBits, wr);
                right = wr;
            }
        }
        if (inputChannels == 2 && outputChannels == 1) {
            void* m = Grow(mix_, inCount);
            MixToMono(left, right, inCount, outputBits, m);
            left = m;
        } else if (inputChannels == 1 && outputChannels == 2) {
            right = left;
        }
        std::memcpy(outLeft, left, size_t(inCount) * outBytes);
        if (outputChannels == 2) std::memcpy(outRight, right, size_t(inCount) * outBytes);
        *outCount = inCount;
        return 1;
    }

    if (inputChannels == 2 && outputChannels == 1) {
        void* m = Grow(mix_, inCount);
        MixToMono(left, right, inCount, inputBits, m);
        left = m;
    }
    const size_t capacity = size_t(outputRate / inputRate + 1) * inCount;
    uint32_t produced = ResamplePlane(0, left, inCount, false, outLeft, capacity);
    if (ResampledChannels() == 2) {
        // Both resamplers have the same configuration and see the same counts, so they produce
        // the same number of frames.
        uint32_t producedRight = ResamplePlane(1, right, inCount, false, outRight, capacity);
        if (producedRight < produced) produced = producedRight;
    } else if (outputChannels == 2) {
        std::memcpy(outRight, outLeft, size_t(produced) * outBytes);
    }
    *outCount = produced;
    return 1;
}

uint32_t PcmConverter::Flush(void* outLeft, void* outRight) {
    if (!ready_ || !Resampling() || !outLeft || (outputChannels == 2 && !outRight)) return 0;
    flushed_ = true;
    const size_t capacity = OutputCapacity();
    uint32_t produced = ResamplePlane(0, nullptr, 0, true, outLeft, capacity);
    if (ResampledChannels() == 2) {
        uint32_t producedRight = ResamplePlane(1, nullptr, 0, true, outRight, capacity);
        if (producedRight < produced) produced = producedRight;
    } else if (outputChannels == 2) {
        std::memcpy(outRight, outLeft, size_t(produced) * (outputBits / 8));
    }
    return produced;
}

void WidePcmConverter::SoxrDeleter::operator()(soxr* p) const { soxr_delete(p); }

WidePcmConverter::~WidePcmConverter() = default;

bool WidePcmConverter::ValidConfig() const {
    auto channelsOk = [](uint32_t c) { return c >= 1 && c <= kMaxWideTargetChannels; };
    return channelsOk(inputChannels) && channelsOk(outputChannels) &&
           (outputChannels == inputChannels || outputChannels <= 2) && inputRate > 0 && outputRate > 0;
}

uint32_t WidePcmConverter::OutputCapacity() const {
    if (!ValidConfig()) return 0;
    return (outputRate / inputRate + 1) * kMaxBlockFrames;
}

bool WidePcmConverter::Setup() {
    ready_ = false;
    flushed_ = false;
    resampler_.reset();
    if (!ValidConfig()) return false;
    leftGain_.assign(inputChannels, 0.0);
    rightGain_.assign(inputChannels, 0.0);
    if (inputChannels > 2 && outputChannels <= 2) {
        const StereoDownmix downmix(LayoutFromMask(inputChannels, static_cast<uint32_t>(inputMask)));
        for (uint32_t c = 0; c < inputChannels; ++c) {
            leftGain_[c] = downmix.LeftGain(c);
            rightGain_[c] = downmix.RightGain(c);
        }
    } else if (inputChannels == 2) {
        leftGain_[0] = 1.0;
        rightGain_[1] = 1.0;
    } else if (inputChannels == 1) {
        leftGain_[0] = rightGain_[0] = 1.0;
    }
    if (Resampling()) {
        soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT64_I, SOXR_FLOAT64_I);
        soxr_quality_spec_t quality = soxr_quality_spec(SOXR_VHQ, 0);
        soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
        soxr_error_t error = nullptr;
        resampler_.reset(soxr_create(inputRate, outputRate, outputChannels, &error, &io, &quality, &runtime));
        if (error || !resampler_) {
            resampler_.reset();
            return false;
        }
    }
    ready_ = true;
    return true;
}

void WidePcmConverter::Mix(const double* in, uint32_t frames, double* out) const {
    const uint32_t ch = inputChannels;
    for (uint32_t i = 0; i < frames; ++i, in += ch) {
        double l = 0.0, r = 0.0;
        for (uint32_t c = 0; c < ch; ++c) {
            l += leftGain_[c] * in[c];
            r += rightGain_[c] * in[c];
        }
        if (outputChannels == 2) {
            *out++ = l;
            *out++ = r;
        } else {
            *out++ = monoPick == 1 ? l : monoPick == 2 ? r : (l + r) * 0.5;
        }
    }
}

bool WidePcmConverter::Convert(const double* in, uint32_t frames, const double** out, uint32_t* outFrames) {
    if (outFrames) *outFrames = 0;
    if (!ready_ || flushed_ || !out || !outFrames || frames > kMaxBlockFrames || (frames && !in)) return false;
    *out = in;
    if (frames == 0) return true;
    const double* samples = in;
    if (Mixing()) {
        double* mixed = Grow(mixed_, size_t(frames) * outputChannels);
        Mix(in, frames, mixed);
        samples = mixed;
    }
    if (!Resampling()) {
        *out = samples;
        *outFrames = frames;
        return true;
    }
    const size_t capacity = OutputCapacity();
    double* resampled = Grow(resampled_, capacity * outputChannels);
    size_t produced = 0;
    // No input-consumed counter: the resampler queues the whole block and only limits its output;
    // what does not fit comes out with a later block or the flush.
    soxr_process(resampler_.get(), samples, frames, nullptr, resampled, capacity, &produced);
    *out = resampled;
    *outFrames = static_cast<uint32_t>(std::min(produced, capacity));
    return true;
}

uint32_t WidePcmConverter::Flush(const double** out) {
    if (!ready_ || !Resampling() || !out) return 0;
    flushed_ = true;
    const size_t capacity = OutputCapacity();
    double* resampled = Grow(resampled_, capacity * outputChannels);
    size_t produced = 0;
    soxr_process(resampler_.get(), nullptr, 0, nullptr, resampled, capacity, &produced);
    *out = resampled;
    return static_cast<uint32_t>(std::min(produced, capacity));
}

}  // namespace sonavert
