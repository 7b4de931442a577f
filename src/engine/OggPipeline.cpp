#include "encoders/OggParams.h"
#include "encoders/OggVorbisEncoder.h"
#include "engine/Pipeline.h"
#include "tags/CoverArt.h"

namespace sonavert {
namespace {

// The OGG Vorbis encoder opens on the target first, is configured for the chosen rate, channels
// and nominal bit rate, takes the comments before it starts, and ends (end of stream, then
// Close) after the source is closed.
class OggAdapter : public EncoderAdapter {
public:
    bool Open(const PipelineCall& call) override { return encoder_.Open(call.request.targetPath) != 0; }
    // Automatic parameters keep the source's channels (no pick) and convert only for the rate or
    // the width; manual ones follow the conversion rule.
    TargetFormat ChooseFormat(const PipelineCall& call) override {
        const Settings& s = call.settings;
        OggParamInputs in;
        in.automatic = s.AutoDestOGGEncodingParam != 0;
        in.sampleRate = s.OGGSampleRate > 0 ? static_cast<uint32_t>(s.OGGSampleRate) : 0;
        in.channels = s.OGGChannels > 0 ? static_cast<uint32_t>(s.OGGChannels) : 0;
        in.bitRate = s.OGGBitRate > 0 ? static_cast<uint32_t>(s.OGGBitRate) : 0;
        in.sourceRate = call.facts.rate;
        in.sourceChannels = call.facts.channels;
        in.sourceBitRate = call.facts.bitRate;
        in.sourceIsMp3 = call.request.sourceType == kSourceMp3;
        in.sourceIsOgg = call.request.sourceType == kSourceOgg;
        params_ = ChooseOggParams(in);
        TargetFormat f{params_.rate, 16, params_.channels, {}};
        if (in.automatic) {
            f.plan.convert = call.facts.rate != f.rate || call.facts.bits != 16;
            f.plan.converterInputChannels = static_cast<int>(call.facts.channels);
        } else {
            f.plan = PlanConversion(call.facts.rate, call.facts.bits, call.facts.channels, f.rate, f.bits, f.channels,
                                    s.MonoType);
        }
        return f;
    }
    bool Start(const PipelineCall&, const TargetFormat& format, const TagChoice& tags) override {
        if (!encoder_.Configure(format.rate, format.channels, static_cast<int32_t>(params_.kbps * 1000))) return false;
        if (tags.kind == TagChoice::kTexts) encoder_.SetComments(tags.texts);
        if (tags.picture) encoder_.AddComment("METADATA_BLOCK_PICTURE", MetadataBlockPicture(*tags.picture));
        return encoder_.Start() != 0;
    }
    // Write errors are checked: a page that did not reach the disk fails the conversion.
    bool EncodeBlock(void* left, void* right, uint32_t n) override {
        return encoder_.EncodeBlock(static_cast<const int16_t*>(left), static_cast<const int16_t*>(right), n) != 0;
    }
    bool End() override {
        bool ok = true;
        if (encoder_.IsOpen() && !encoder_.Failed()) ok = encoder_.EncodeBlock(nullptr, nullptr, 0) != 0;
        return encoder_.Close() != 0 && ok;
    }
    bool WritesPicture(const PipelineCall&) const override { return true; }
    bool CreatedTarget() const override { return encoder_.IsOpen(); }
    std::string FailureReason() const override { return encoder_.FailureReason(); }

private:
    OggVorbisEncoder encoder_;
    OggParams params_;
};

}  // namespace

int ConvertToOgg(const ConversionRequest& request, ConversionContext& context) {
    OggAdapter adapter;
    return RunPipeline(request, context, Family::Ogg, adapter);
}

}  // namespace sonavert
