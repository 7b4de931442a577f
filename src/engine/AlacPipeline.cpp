#include <vector>

#include "encoders/M4aWriter.h"
#include "engine/Pipeline.h"

namespace sonavert {
namespace {

// ALAC shares the MPEG-4 writer's container and metadata. The writer opens once the format is
// known (in Start) with the source's channels at the kept or chosen rate, takes the M4A family's
// tags before the first block, and closes after the source.
class AlacAdapter : public EncoderAdapter {
public:
    TargetFormat ChooseFormat(const PipelineCall& call) override {
        const Settings& s = call.settings;
        const uint32_t rate = s.ALACSampleRate > 0 ? static_cast<uint32_t>(s.ALACSampleRate) : call.facts.rate;
        TargetFormat f{rate, 16, call.facts.channels, {}};
        f.plan = PlanConversion(call.facts.rate, call.facts.bits, call.facts.channels, f.rate, f.bits, f.channels,
                                s.MonoType);
        return f;
    }
    bool Start(const PipelineCall& call, const TargetFormat& format, const TagChoice& tags) override {
        channels_ = format.channels;
        const int opened = writer_.Open(call.request.targetPath, format.rate, format.channels, format.bits, 0);
        created_ = writer_.IsOpen();
        if (!opened) return false;
        if (tags.kind == TagChoice::kTexts) writer_.SetMetadata(tags.texts, tags.trackNumber);
        return true;
    }
    bool EncodeBlock(void* left, void* right, uint32_t n) override {
        const auto* l = static_cast<const int16_t*>(left);
        const auto* r = static_cast<const int16_t*>(right);
        interleaved_.resize(static_cast<size_t>(n) * channels_);
        for (uint32_t i = 0; i < n; ++i) {
            interleaved_[i * channels_] = l[i] / 32768.0;
            if (channels_ == 2) interleaved_[i * 2 + 1] = (r ? r[i] : l[i]) / 32768.0;
        }
        return writer_.EncodeInterleaved(interleaved_.data(), n) != 0;
    }
    bool End() override { return writer_.Close() != 0; }
    bool CreatedTarget() const override { return created_; }
    std::string FailureReason() const override { return writer_.FailureReason(); }

private:
    AlacWriter writer_;
    uint32_t channels_ = 0;
    bool created_ = false;
    std::vector<double> interleaved_;
};

}  // namespace

int ConvertToAlac(const ConversionRequest& request, ConversionContext& context) {
    AlacAdapter adapter;
    return RunPipeline(request, context, Family::Alac, adapter);
}

}  // namespace sonavert
