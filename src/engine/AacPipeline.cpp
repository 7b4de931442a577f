#include <type_traits>

#include "encoders/AacEncoder.h"
#include "encoders/M4aWriter.h"
#include "engine/Pipeline.h"
#include "tags/CoverArt.h"

namespace sonavert {
namespace {

// The settings of one AAC-coded family, by their names for raw AAC and for the MPEG-4 container.
struct AacSettings {
    int32_t automatic, vbr, vbrQuality, abrKbps, tns, midside, blockType;
    const int32_t* mpegVersion;  // raw AAC only
};

AacSettings RawAacSettings(const Settings& s) {
    return {s.AutoDestAACEncodingParam, s.AACVBR,       s.AACVBRQuality, s.AACABRBitRate,
            s.AACEnableTNS,             s.AACEnableMidside, s.AACBlockType, &s.AACMpegVersion};
}

AacSettings Mp4Settings(const Settings& s) {
    return {s.AutoDestM4AEncodingParam, s.M4AVBR,          s.M4AVBRQuality, s.M4AABRBitRate,
            s.M4AEnableTNS,             s.M4AEnableMidside, s.M4ABlockType, nullptr};
}

// Changes the encoder's record from the family's settings; automatic parameters leave the
// encoder's defaults.
void Configure(FaacConfiguration& config, const AacSettings& a, uint32_t channels) {
    if (a.automatic) return;
    if (a.vbr) {
        if (a.vbrQuality >= 10 && a.vbrQuality <= 500) config.quantqual = static_cast<unsigned long>(a.vbrQuality);
    } else if (a.abrKbps > 0 && channels > 0) {
        config.bitRate = static_cast<unsigned long>(a.abrKbps) * 1000ul / channels;
    }
    if (a.mpegVersion) config.mpegVersion = *a.mpegVersion;
    config.useTns = a.tns != 0;
    config.allowMidside = a.midside != 0;
    config.shortctl = a.blockType;
}

// Both AAC writers open with the source's channels and bits and the rate AAC encodes it at, and
// close after the source. A source at a rate AAC has (the usual case) goes in unconverted, 8-bit
// sources through EncodeBlock8; any other rate is resampled to the nearest one AAC has (a
// high-resolution rate to its exact half or quarter), as 16-bit blocks. The MPEG-4 writer also
// takes the tags.
template <class Writer>
class AacAdapter : public EncoderAdapter {
public:
    explicit AacAdapter(AacSettings (*settings)(const Settings&)) : settings_(settings) {}

    bool Open(const PipelineCall& call) override {
        opened_ = true;
        return writer_.Open(call.request.targetPath, AacEncodableRate(call.facts.rate), call.facts.channels,
                            call.facts.bits) != 0;
    }
    TargetFormat ChooseFormat(const PipelineCall& call) override {
        const auto rate = static_cast<uint32_t>(AacEncodableRate(call.facts.rate));
        if (rate == call.facts.rate) return {rate, call.facts.bits == 8 ? 8u : 16u, call.facts.channels, {}};
        TargetFormat f{rate, 16, call.facts.channels, {}};
        f.plan.convert = true;
        f.plan.converterInputChannels = static_cast<int>(call.facts.channels);
        return f;
    }
    bool Start(const PipelineCall& call, const TargetFormat& format, const TagChoice& tags) override {
        bits_ = format.bits;
        if (FaacConfiguration* config = writer_.Configuration())
            Configure(*config, settings_(call.settings), format.channels);
        if (!writer_.Start()) return false;
        if constexpr (std::is_same_v<Writer, M4aWriter>) {
            if (tags.kind == TagChoice::kTexts) writer_.SetMetadata(tags.texts, tags.trackNumber);
        }
        return true;
    }
    bool EncodeBlock(void* left, void* right, uint32_t n) override {
        if (bits_ == 8)
            return writer_.EncodeBlock8(static_cast<const uint8_t*>(left), static_cast<const uint8_t*>(right), n) != 0;
        return writer_.EncodeBlock16(static_cast<const int16_t*>(left), static_cast<const int16_t*>(right), n) != 0;
    }
    bool End() override { return writer_.Close() != 0; }
    // The MPEG-4 muxer writes no picture: it is added as "covr" to the finished file.
    bool FinishTarget(const std::string& targetPath, const TagChoice& tags) override {
        if constexpr (std::is_same_v<Writer, M4aWriter>) {
            if (tags.picture && !AttachPictureToMp4(targetPath, *tags.picture, reason_)) return false;
        }
        return true;
    }
    bool WritesPicture(const PipelineCall&) const override { return std::is_same_v<Writer, M4aWriter>; }
    bool CreatedTarget() const override { return opened_; }
    std::string FailureReason() const override {
        return writer_.FailureReason().empty() ? reason_ : writer_.FailureReason();
    }

private:
    Writer writer_;
    AacSettings (*settings_)(const Settings&);
    uint32_t bits_ = 16;
    bool opened_ = false;
    std::string reason_;
};

}  // namespace

int ConvertToAac(const ConversionRequest& request, ConversionContext& context) {
    AacAdapter<AacEncoder> adapter(RawAacSettings);
    return RunPipeline(request, context, Family::Aac, adapter);
}

int ConvertToMp4(const ConversionRequest& request, ConversionContext& context) {
    AacAdapter<M4aWriter> adapter(Mp4Settings);
    return RunPipeline(request, context, Family::Mp4, adapter);
}

}  // namespace sonavert
