#include <algorithm>
#include <vector>

#include "encoders/OpusEncoder.h"
#include "engine/Pipeline.h"

namespace sonavert {
namespace {

// The stream's bit rate: OPUSBitRate is the rate of two channels, so one channel gets half of it
// and more channels their share each (5.1 at the default 128 kbps gets 384 kbps).
int32_t OpusBitRateFor(int32_t stereoKbps, uint32_t channels) {
    const int64_t kbps = std::clamp<int64_t>(stereoKbps, 6, 510);
    return static_cast<int32_t>(std::max<int64_t>(6, kbps * channels / 2) * 1000);
}

// The Opus encoder opens on the target first and takes the source's rate and channels as they
// are: libopusenc converts to 48 kHz itself and records the source's rate in the header. Only
// 8-bit sources go through the converter, which widens them to 16 bits. The stream ends after
// the source is closed.
class OpusAdapter : public EncoderAdapter {
public:
    bool Open(const PipelineCall& call) override { return encoder_.Open(call.request.targetPath) != 0; }
    TargetFormat ChooseFormat(const PipelineCall& call) override {
        const uint32_t channels = std::clamp(call.facts.channels, 1u, 2u);
        TargetFormat f{call.facts.rate, 16, channels, {}};
        f.plan = PlanConversion(call.facts.rate, call.facts.bits, call.facts.channels, f.rate, f.bits, f.channels,
                                call.settings.MonoType);
        return f;
    }
    bool Start(const PipelineCall& call, const TargetFormat& format, const TagChoice& tags) override {
        const Settings& s = call.settings;
        if (tags.kind == TagChoice::kTexts) encoder_.SetComments(tags.texts);
        OpusStreamParams p;
        p.inputRate = format.rate;
        p.channels = format.channels;
        p.bitRate = OpusBitRateFor(s.OPUSBitRate, format.channels);
        p.mode = s.OPUSBitRateMode == 1   ? OpusRateMode::Constrained
                 : s.OPUSBitRateMode == 2 ? OpusRateMode::Constant
                                          : OpusRateMode::Variable;
        p.voice = s.OPUSApplication == 1;
        channels_ = format.channels;
        return encoder_.Start(p) != 0;
    }
    // The 16-bit planes interleaved as floats (each sample / 32768).
    bool EncodeBlock(void* left, void* right, uint32_t n) override {
        const auto* l = static_cast<const int16_t*>(left);
        const auto* r = static_cast<const int16_t*>(right);
        if (channels_ == 2 && !r) return false;
        samples_.resize(static_cast<size_t>(n) * channels_);
        constexpr float kScale = 1.0f / 32768.0f;
        for (uint32_t i = 0; i < n; ++i) {
            samples_[static_cast<size_t>(i) * channels_] = l[i] * kScale;
            if (channels_ == 2) samples_[static_cast<size_t>(i) * 2 + 1] = r[i] * kScale;
        }
        return encoder_.Encode(samples_.data(), n) != 0;
    }
    bool End() override { return encoder_.Finish() != 0; }
    bool CreatedTarget() const override { return encoder_.IsOpen(); }
    std::string FailureReason() const override { return encoder_.FailureReason(); }

private:
    OpusEncoder encoder_;
    uint32_t channels_ = 0;
    std::vector<float> samples_;
};

}  // namespace

int ConvertToOpus(const ConversionRequest& request, ConversionContext& context) {
    OpusAdapter adapter;
    return RunPipeline(request, context, Family::Opus, adapter);
}

}  // namespace sonavert
