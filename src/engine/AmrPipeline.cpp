#include "encoders/AmrEncoder.h"
#include "engine/Pipeline.h"

namespace sonavert {

// The AMR family's rule: one 16-bit channel at the codec's rate (narrow band 8000 Hz for ".amr"
// with AMRType 0, wide band 16000 Hz otherwise); a stereo source is mixed by the converter
// (MonoType 0) or reduced to the channel MonoType picks.
TargetFormat AmrTargetFormat(const Settings& s, int outputFormat, const SourceFacts& source) {
    const bool narrow = outputFormat != kOutputAwb && s.AMRType == 0;
    TargetFormat f{narrow ? 8000u : 16000u, 16, 1, {}};
    f.plan = PlanConversion(source.rate, source.bits, source.channels, f.rate, f.bits, f.channels, s.MonoType);
    return f;
}

namespace {

// The AMR encoder takes its band, DTX and mode, then opens on the target; it closes after the source.
class AmrAdapter : public EncoderAdapter {
public:
    TargetFormat ChooseFormat(const PipelineCall& call) override {
        return AmrTargetFormat(call.settings, call.request.outputFormat, call.facts);
    }
    bool Start(const PipelineCall& call, const TargetFormat& format, const TagChoice&) override {
        const Settings& s = call.settings;
        const bool awb = call.request.outputFormat == kOutputAwb;
        encoder_.SetBand(format.rate == 8000 ? 1 : 0);
        encoder_.SetDtx(awb ? s.AWBDTX : s.AMRDTX);
        if (format.rate == 8000)
            encoder_.SetNarrowBandMode(s.AMRMode);
        else
            encoder_.SetWideBandMode(awb ? s.AWBMode : s.AMRWBMode);
        opened_ = true;
        return encoder_.Open(call.request.targetPath) != 0;
    }
    bool EncodeBlock(void* left, void*, uint32_t n) override {
        return encoder_.EncodeBlock(static_cast<const int16_t*>(left), n) != 0;
    }
    bool End() override { return encoder_.Close() != 0; }
    bool CreatedTarget() const override { return opened_; }
    std::string FailureReason() const override { return encoder_.FailureReason(); }

private:
    AmrEncoder encoder_;
    bool opened_ = false;
};

}  // namespace

int ConvertToAmr(const ConversionRequest& request, ConversionContext& context) {
    AmrAdapter adapter;
    return RunPipeline(request, context, Family::Amr, adapter);
}

}  // namespace sonavert
