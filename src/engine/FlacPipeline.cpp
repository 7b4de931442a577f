#include <cmath>
#include <vector>

#include "encoders/FlacEncoder.h"
#include "engine/Pipeline.h"

namespace sonavert {
namespace {

// FLAC opens on the target first, is configured for the source's channels and bits at the kept
// or chosen rate with the compression level, takes the comments, and finishes after the source
// is closed. The length the source states sizes the seek table.
class FlacAdapter : public EncoderAdapter {
public:
    bool Open(const PipelineCall& call) override { return encoder_.Open(call.request.targetPath) != 0; }
    TargetFormat ChooseFormat(const PipelineCall& call) override {
        const Settings& s = call.settings;
        const uint32_t rate = s.FLACSampleRate > 0 ? static_cast<uint32_t>(s.FLACSampleRate) : call.facts.rate;
        TargetFormat f{rate, 16, call.facts.channels, {}};
        f.plan = PlanConversion(call.facts.rate, call.facts.bits, call.facts.channels, f.rate, f.bits, f.channels,
                                s.MonoType);
        return f;
    }
    bool Start(const PipelineCall& call, const TargetFormat& format, const TagChoice& tags) override {
        const double stated = call.source.StatedSeconds();
        const uint64_t expected = stated > 0 ? static_cast<uint64_t>(std::llround(stated * format.rate)) : 0;
        channels_ = format.channels;
        if (!encoder_.Configure(format.rate, format.channels, format.bits, call.settings.FLACCompression, 0, expected))
            return false;
        if (tags.kind == TagChoice::kTexts) encoder_.SetComments(tags.texts);
        return encoder_.Start() != 0;
    }
    bool EncodeBlock(void* left, void* right, uint32_t n) override {
        const auto* l = static_cast<const int16_t*>(left);
        const auto* r = static_cast<const int16_t*>(right);
        interleaved_.resize(static_cast<size_t>(n) * channels_);
        for (uint32_t i = 0; i < n; ++i) {
            interleaved_[i * channels_] = l[i] / 32768.0;
            if (channels_ == 2) interleaved_[i * 2 + 1] = (r ? r[i] : l[i]) / 32768.0;
        }
        return encoder_.EncodeInterleaved(interleaved_.data(), n) != 0;
    }
    bool End() override { return encoder_.Close() != 0; }
    bool CreatedTarget() const override { return encoder_.IsOpen(); }
    std::string FailureReason() const override { return encoder_.FailureReason(); }

private:
    FlacEncoder encoder_;
    uint32_t channels_ = 0;
    std::vector<double> interleaved_;
};

}  // namespace

int ConvertToFlac(const ConversionRequest& request, ConversionContext& context) {
    FlacAdapter adapter;
    return RunPipeline(request, context, Family::Flac, adapter);
}

}  // namespace sonavert
