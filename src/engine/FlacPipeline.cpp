#include <algorithm>
#include <cmath>

#include "base/GrowingFile.h"
#include "encoders/FlacEncoder.h"
#include "engine/Pipeline.h"

namespace sonavert {
namespace {

// FLAC takes the wide read. It opens on the target first, is configured for the source's
// channels, speakers and bits at the kept or chosen rate with the compression level, takes the
// comments, and finishes after the source is closed. The length the source states sizes the seek
// table.
class FlacAdapter : public EncoderAdapter {
public:
    bool Open(const PipelineCall& call) override { return encoder_.Open(call.request.targetPath) != 0; }
    // The wide read's channels, speakers and bits at the kept or chosen rate; 32-bit and float
    // sources are stored with FLAC's 24 bits.
    TargetFormat ChooseFormat(const PipelineCall& call) override {
        const Settings& s = call.settings;
        const WideFormat& in = call.facts.wide;
        TargetFormat f;
        f.rate = s.FLACSampleRate > 0 ? static_cast<uint32_t>(s.FLACSampleRate) : call.facts.rate;
        f.channels = in.channels;
        f.wide.channels = in.channels;
        f.wide.channelMask = in.channelMask;
        f.wide.bits = in.isFloat || in.bits > FlacEncoder::kMaxBits ? FlacEncoder::kMaxBits
                                                                   : std::max(in.bits, FlacEncoder::kMinBits);
        f.wide.isFloat = false;
        return f;
    }
    bool Start(const PipelineCall& call, const TargetFormat& format, const TagChoice& tags) override {
        const double stated = call.source.StatedSeconds();
        const uint64_t expected = stated > 0 ? static_cast<uint64_t>(std::llround(stated * format.rate)) : 0;
        if (!encoder_.Configure(format.rate, format.wide.channels, format.wide.bits, call.settings.FLACCompression,
                                format.wide.channelMask, expected))
            return false;
        if (tags.kind == TagChoice::kTexts) encoder_.SetComments(tags.texts);
        if (tags.picture) encoder_.SetPicture(*tags.picture);
        // A verified target is decoded back on another thread while it is written.
        std::shared_ptr<GrowingFile> follow;
        if (call.record && call.record->samples.Begun()) {
            follow = std::make_shared<GrowingFile>();
            encoder_.FollowWith(follow);
        }
        if (encoder_.Start() == 0) return false;
        if (follow) {
            const SampleLedger& handed = call.record->samples;
            call.record->follower =
                std::make_shared<TargetFollower>(follow, "flac", &FlacHeaderOnlyCompleted, handed.Rate(),
                                                 handed.Channels(), handed.Bits(), handed.IsFloat(),
                                                 FamilyOf(Family::Flac).check.streamMd5);
        }
        return true;
    }
    bool EncodeWide(const double* interleaved, uint32_t n) override {
        return encoder_.EncodeInterleaved(interleaved, n) != 0;
    }
    bool End() override { return encoder_.Close() != 0; }
    bool WritesPicture(const PipelineCall&) const override { return true; }
    bool CreatedTarget() const override { return encoder_.IsOpen(); }
    std::string FailureReason() const override { return encoder_.FailureReason(); }

private:
    FlacEncoder encoder_;
};

}  // namespace

int ConvertToFlac(const ConversionRequest& request, ConversionContext& context) {
    FlacAdapter adapter;
    return RunPipeline(request, context, Family::Flac, adapter);
}

}  // namespace sonavert
