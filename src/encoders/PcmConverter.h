#pragma once
// Converts planar PCM blocks between sample rates, sample widths (8-bit unsigned centred on 128,
// 16-bit signed) and channel counts (mono, stereo) for the encoders; WidePcmConverter does the same
// for the interleaved blocks of the wide read.
#include <cstdint>
#include <memory>
#include <vector>

struct soxr;

namespace sonavert {

class PcmConverter {
public:
    PcmConverter() = default;
    virtual ~PcmConverter();
    PcmConverter(const PcmConverter&) = delete;
    PcmConverter& operator=(const PcmConverter&) = delete;

    // Configuration, set by the caller before Setup; -1 until then. Channels are 1 or 2, bits 8
    // or 16, rates in Hz.
    int outputChannels = -1;
    int outputRate = -1;
    int outputBits = -1;
    int inputChannels = -1;
    int inputRate = -1;
    int inputBits = -1;

    // Checks the configuration and, when the rates differ, creates the resamplers (one per
    // channel that is resampled). Returns 1 on success, 0 for an invalid configuration or when a
    // resampler cannot be created.
    int Setup();

    // Converts one block of `inCount` frames. inRight is read only for stereo input, outRight is
    // written only for stereo output. Each output plane must hold OutputCapacity() samples when
    // inCount is at most 1152 (more generally (outputRate / inputRate + 1) * inCount samples);
    // the converter never writes beyond that. Stores the frames written in *outCount and returns
    // 1; returns 0 (and stores 0) when the converter is not set up or was flushed.
    //
    // When resampling, the resampler keeps a short history across blocks, so a block's output
    // count varies around inCount * outputRate / inputRate; what is still held back at the end
    // of the stream comes out of Flush.
    int Convert(const void* inLeft, const void* inRight, uint32_t inCount, void* outLeft, void* outRight,
                uint32_t* outCount);

    // Ends the stream: writes up to OutputCapacity() frames of the samples the resampler still
    // holds into the output planes (same layout as Convert) and returns how many it wrote. Call it
    // until it returns 0 to receive the whole tail. Returns 0 at once when the rates are equal
    // (nothing is ever held back then). After the first Flush, Convert fails.
    uint32_t Flush(void* outLeft, void* outRight);

    // Samples per output plane a caller provides for blocks of up to 1152 frames:
    // (outputRate / inputRate, integer division, + 1) * 1152. 0 before a valid configuration.
    uint32_t OutputCapacity() const;

private:
    struct SoxrDeleter {
        void operator()(soxr* p) const;
    };
    using SoxrHandle = std::unique_ptr<soxr, SoxrDeleter>;

    bool ValidConfig() const;
    bool Resampling() const { return inputRate != outputRate; }
    // Channels left for the resampler after an eventual stereo-to-mono mix.
    int ResampledChannels() const { return inputChannels == 2 && outputChannels == 2 ? 2 : 1; }
    // Resamples one plane (already mixed, at input width) into an output plane at output width.
    // inCount 0 with `flush` set drains the resampler. Returns frames written.
    uint32_t ResamplePlane(int channel, const void* in, uint32_t inCount, bool flush, void* out, size_t capacity);

    bool ready_ = false;
    bool flushed_ = false;
    double factor_ = 1.0;
    SoxrHandle resampler_[2];

    // Scratch buffers; they only ever grow, so steady-state blocks allocate nothing.
    // Integer planes are held as 16-bit slots, which also fit 8-bit samples.
    std::vector<int16_t> mix_;
    std::vector<int16_t> widthLeft_;
    std::vector<int16_t> widthRight_;
    std::vector<float> floatIn_;
    std::vector<float> floatOut_;
};

// Converts interleaved blocks of the wide read (doubles, full scale at +-1) to another sample rate
// and channel count for the encoders of the wide families. Channels are kept, mixed down to stereo
// by their speaker positions (base/Downmix.h, the coefficients of the 16-bit read), or to mono as
// the mean of the stereo mix or one of its sides; a mono input goes to both sides of a stereo
// output. Rates change with libsoxr at its very high quality, in double precision. Samples are
// neither clamped nor quantised: the encoder does that at its own width.
class WidePcmConverter {
public:
    WidePcmConverter() = default;
    ~WidePcmConverter();
    WidePcmConverter(const WidePcmConverter&) = delete;
    WidePcmConverter& operator=(const WidePcmConverter&) = delete;

    // Configuration, set before Setup. Channels 1..kMaxWideTargetChannels; the output keeps the
    // input's count or has 1 or 2 channels.
    uint32_t inputRate = 0;
    uint32_t outputRate = 0;
    uint32_t inputChannels = 0;
    uint32_t outputChannels = 0;
    uint64_t inputMask = 0;  // speaker mask of the input's channels; 0 = the usual one for the count
    int monoPick = 0;        // stereo to mono: 0 the mean, 1 the left side, 2 the right side

    // Checks the configuration and creates the resampler when the rates differ. False for an
    // invalid configuration or when the resampler cannot be created.
    bool Setup();

    // Converts `frames` input frames (at most 1152). On success *out points at *outFrames
    // converted frames, valid until the next call (possibly `in` itself when nothing changes).
    // The resampler keeps a short history, so the output count varies around frames *
    // outputRate / inputRate; the rest comes out of Flush. False when not set up or flushed.
    bool Convert(const double* in, uint32_t frames, const double** out, uint32_t* outFrames);

    // Ends the stream: hands out what the resampler still holds, at most OutputCapacity() frames
    // per call; call until it returns 0. 0 at once when the rates are equal.
    uint32_t Flush(const double** out);

    // Frames one Convert or Flush hands out at most.
    uint32_t OutputCapacity() const;

private:
    struct SoxrDeleter {
        void operator()(soxr* p) const;
    };
    bool ValidConfig() const;
    bool Resampling() const { return inputRate != outputRate; }
    bool Mixing() const { return inputChannels != outputChannels; }
    void Mix(const double* in, uint32_t frames, double* out) const;

    bool ready_ = false;
    bool flushed_ = false;
    std::unique_ptr<soxr, SoxrDeleter> resampler_;
    std::vector<double> leftGain_, rightGain_;  // stereo mix of more than two channels
    std::vector<double> mixed_;
    std::vector<double> resampled_;
};

}  // namespace sonavert
