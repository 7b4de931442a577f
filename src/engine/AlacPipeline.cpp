#include "encoders/M4aWriter.h"
#include "engine/Pipeline.h"
#include "sources/SourceTypes.h"

namespace sonavert {
namespace {

// ALAC takes the wide read and shares the MPEG-4 writer's container and metadata. The writer
// opens once the format is known (in Start) with the source's channels at the kept or chosen rate, takes the M4A family's
// tags before the first block, and closes after the source.
class AlacAdapter : public EncoderAdapter {
public:
    // The wide read's channels and speakers at the kept or chosen rate, at 16 bits or (sources
    // of more bits or floats) 24.
    TargetFormat ChooseFormat(const PipelineCall& call) override {
        const Settings& s = call.settings;
        const WideFormat& in = call.facts.wide;
        TargetFormat f;
        f.rate = s.ALACSampleRate > 0 ? static_cast<uint32_t>(s.ALACSampleRate) : call.facts.rate;
        f.channels = in.channels;
        f.wide.channels = in.channels;
        f.wide.channelMask = in.channelMask;
        f.wide.bits = in.isFloat || in.bits > 16 ? 24 : 16;
        f.wide.isFloat = false;
        // The encoder is light and takes its samples as doubles, four times the bytes of the
        // stored ones: from a PCM file at its own rate a second thread has nothing to overlap
        // and only hands the blocks over (2 % slower on 10 minutes of WAV).
        const int type = call.request.sourceType;
        f.encodeHere = (type == kSourceWav || type == kSourceAiff || type == kSourceAu) && f.rate == call.facts.rate;
        return f;
    }
    bool Start(const PipelineCall& call, const TargetFormat& format, const TagChoice& tags) override {
        const int opened = writer_.Open(call.request.targetPath, format.rate, format.wide.channels, format.wide.bits,
                                        format.wide.channelMask);
        created_ = writer_.IsOpen();
        if (!opened) return false;
        if (tags.kind == TagChoice::kTexts) writer_.SetMetadata(tags.texts, tags.trackNumber);
        return true;
    }
    bool EncodeWide(const double* interleaved, uint32_t n) override {
        return writer_.EncodeInterleaved(interleaved, n) != 0;
    }
    bool End() override { return writer_.Close() != 0; }
    bool CreatedTarget() const override { return created_; }
    std::string FailureReason() const override { return writer_.FailureReason(); }

private:
    AlacWriter writer_;
    bool created_ = false;
};

}  // namespace

int ConvertToAlac(const ConversionRequest& request, ConversionContext& context) {
    AlacAdapter adapter;
    return RunPipeline(request, context, Family::Alac, adapter);
}

}  // namespace sonavert
