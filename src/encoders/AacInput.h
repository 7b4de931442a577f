#pragma once
// The input side shared by the AAC file writers: planar 8- or 16-bit blocks interleaved into a
// buffer of exactly one encoder call, handed on each time it fills.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace sonavert {

// An unsigned 8-bit sample centred on 128 as a signed 16-bit one: (u - 128) x 256.
constexpr int16_t WidenPcm8(uint8_t u) { return static_cast<int16_t>((u - 128) * 256); }

class AacInputBuffer {
public:
    // `samplesPerCall` counts all channels; `channels` is 1 or 2.
    void Reset(size_t samplesPerCall, unsigned channels) {
        buffer_.assign(samplesPerCall, 0);
        channels_ = channels;
        fill_ = 0;
    }
    void Release() {
        buffer_.clear();
        buffer_.shrink_to_fit();
        fill_ = 0;
    }

    // Appends `count` samples per channel (left then right when there are two channels; the right
    // plane is not read for one). Each time the buffer becomes full, `full(samples, sampleCount)`
    // runs and the buffer starts over; when it returns false, appending stops and false comes back.
    // What is left at the end stays buffered.
    template <typename Sample, typename Full>
    bool Append(const Sample* left, const Sample* right, uint32_t count, Full&& full) {
        if (buffer_.empty()) return false;
        for (uint32_t i = 0; i < count; ++i) {
            buffer_[fill_++] = Widen(left[i]);
            if (channels_ == 2) buffer_[fill_++] = Widen(right[i]);
            if (fill_ >= buffer_.size()) {
                fill_ = 0;
                if (!full(buffer_.data(), buffer_.size())) return false;
            }
        }
        return true;
    }

    const int16_t* data() const { return buffer_.data(); }
    size_t fill() const { return fill_; }
    void Clear() { fill_ = 0; }

private:
    static int16_t Widen(int16_t s) { return s; }
    static int16_t Widen(uint8_t u) { return WidenPcm8(u); }

    std::vector<int16_t> buffer_;
    unsigned channels_ = 1;
    size_t fill_ = 0;
};

}  // namespace sonavert
