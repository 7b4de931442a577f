#include "encoders/WavWriter.h"
#include "engine/Pipeline.h"

namespace sonavert {

// The WAV family's rule: automatic parameters keep the source's format exactly (never converted,
// no pick); otherwise each setting of 0 means "as the source", and the conversion rule decides.
TargetFormat WavTargetFormat(const Settings& s, const SourceFacts& source) {
    TargetFormat f{source.rate, source.bits, source.channels, {}};
    if (s.AutoDestWAVEncodingParam) return f;
    if (s.WAVSampleRate > 0) f.rate = static_cast<uint32_t>(s.WAVSampleRate);
    if (s.WAVChannelNum > 0) f.channels = static_cast<uint32_t>(s.WAVChannelNum);
    if (s.WAVBitsPerSample > 0) f.bits = static_cast<uint32_t>(s.WAVBitsPerSample);
    f.plan = PlanConversion(source.rate, source.bits, source.channels, f.rate, f.bits, f.channels, s.MonoType);
    return f;
}

namespace {

// The WAV writer opens once the target format is known, and closes after the source.
class WavAdapter : public EncoderAdapter {
public:
    TargetFormat ChooseFormat(const PipelineCall& call) override { return WavTargetFormat(call.settings, call.facts); }
    bool Start(const PipelineCall& call, const TargetFormat& format, const TagChoice&) override {
        bits_ = format.bits;
        opened_ = true;
        return writer_.Open(call.request.targetPath, format.channels == 2, format.bits, format.rate) != 0;
    }
    bool EncodeBlock(void* left, void* right, uint32_t n) override {
        if (bits_ == 16)
            return writer_.WriteSamples16(static_cast<const int16_t*>(left), static_cast<const int16_t*>(right), n);
        return writer_.WriteSamples8(static_cast<const uint8_t*>(left), static_cast<const uint8_t*>(right), n);
    }
    bool End() override { return writer_.Close() != 0; }
    bool CreatedTarget() const override { return opened_; }
    std::string FailureReason() const override { return writer_.FailureReason(); }

private:
    WavWriter writer_;
    uint32_t bits_ = 16;
    bool opened_ = false;
};

}  // namespace

int ConvertToWav(const ConversionRequest& request, ConversionContext& context) {
    WavAdapter adapter;
    return RunPipeline(request, context, Family::Wav, adapter);
}

}  // namespace sonavert
