#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "base/GrowingFile.h"
#include "encoders/FlacEncoder.h"
#include "encoders/SampleQuantiser.h"
#include "engine/Pipeline.h"
#include "engine/Verify.h"

namespace sonavert {
namespace {

// FLAC takes the wide read. It opens on the target first, is configured for the source's
// channels, speakers and bits at the kept or chosen rate with the compression level, takes the
// comments, and finishes after the source is closed. The length the source states sizes the seek
// table. With the encoder on a thread of its own, the stream's MD5 is summed on the pipeline's
// thread instead of by libFLAC, which takes a sixth of the encoder's time at the default level.
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
        if (call.encoderThread) {
            encoder_.LeaveMd5ToCaller();
            md5_ = std::make_unique<SampleMd5>(format.wide.bits);
            channels_ = format.wide.channels;
            scale_ = std::ldexp(1.0, static_cast<int>(format.wide.bits) - 1);
        }
        // A verified target is decoded back on another thread while it is written.
        std::shared_ptr<GrowingFile> follow;
        if (call.record && call.record->samples.Begun()) {
            follow = std::make_shared<GrowingFile>();
            encoder_.FollowWith(follow);
        }
        if (encoder_.Start() == 0) return false;
        if (follow) {
            // The samples are summed beside an encoder on a thread of its own: the check takes
            // that sum, and the follower need not sum the decoded ones.
            record_ = md5_ ? call.record : nullptr;
            const SampleLedger& handed = call.record->samples;
            call.record->follower = std::make_shared<TargetFollower>(
                follow, "flac", &FlacHeaderOnlyCompleted, handed.Rate(), handed.Channels(), handed.Bits(),
                handed.IsFloat(), FamilyOf(Family::Flac).check.streamMd5 && !md5_);
        }
        return true;
    }
    // The samples as the encoder quantises them, summed as STREAMINFO's MD5 sums them.
    void BeforeEncodeWide(const double* interleaved, uint32_t n) override {
        if (!md5_) return;
        const size_t count = size_t{n} * channels_;
        if (quantised_.size() < count) quantised_.resize(count);
        for (size_t i = 0; i < count; ++i) quantised_[i] = QuantiseSample(interleaved[i], scale_);
        md5_->AddShifted(quantised_.data(), static_cast<uint32_t>(count), 0);
    }
    bool EncodeWide(const double* interleaved, uint32_t n) override {
        return encoder_.EncodeInterleaved(interleaved, n) != 0;
    }
    bool End() override {
        if (md5_) {
            const std::array<uint8_t, 16> sum = md5_->Result();
            encoder_.SetMd5(sum);
            if (record_) {
                record_->handedMd5 = sum;
                record_->handedMd5Set = true;
            }
        }
        md5_.reset();
        return encoder_.Close() != 0;
    }
    bool WritesPicture(const PipelineCall&) const override { return true; }
    bool CreatedTarget() const override { return encoder_.IsOpen(); }
    std::string FailureReason() const override { return encoder_.FailureReason(); }

private:
    FlacEncoder encoder_;
    std::unique_ptr<SampleMd5> md5_;  // when the MD5 is left to this thread
    EncodeRecord* record_ = nullptr;  // takes that MD5 for the check
    uint32_t channels_ = 0;
    double scale_ = 1.0;
    std::vector<int32_t> quantised_;
};

}  // namespace

int ConvertToFlac(const ConversionRequest& request, ConversionContext& context) {
    FlacAdapter adapter;
    return RunPipeline(request, context, Family::Flac, adapter);
}

}  // namespace sonavert
