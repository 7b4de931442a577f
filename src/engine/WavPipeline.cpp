#include "base/Downmix.h"
#include "base/GrowingFile.h"
#include "encoders/WavWriter.h"
#include "engine/Pipeline.h"

namespace sonavert {

// The WAV family's rule: automatic parameters keep the format of the source's 16-bit read exactly
// (never converted, no pick), as they always did; otherwise each setting of 0 means "as the
// source". Targets of 8 or 16 bits in one or two channels go through the 16-bit read and the
// conversion rule. Targets of 24 or 32 bits, floats, or more than two channels go through the wide
// read; "as the source" then means the source's real channels, speakers and sample format (a
// 24-bit source stays 24-bit, a float source float).
TargetFormat WavTargetFormat(const Settings& s, const SourceFacts& source) {
    TargetFormat f{source.rate, source.bits, source.channels, {}};
    if (s.AutoDestWAVEncodingParam) return f;
    if (s.WAVSampleRate > 0) f.rate = static_cast<uint32_t>(s.WAVSampleRate);

    const WideFormat& w = source.wide;
    WideFormat target;
    target.channels = s.WAVChannelNum > 0 ? static_cast<uint32_t>(s.WAVChannelNum) : w.channels;
    if (s.WAVBitsPerSample > 0) {
        target.bits = static_cast<uint32_t>(s.WAVBitsPerSample);
        target.isFloat = target.bits == 32 && s.WAVSampleFormat == 1;
    } else if (w.isFloat) {
        target.bits = w.bits == 64 ? 64 : 32;
        target.isFloat = true;
    } else {
        // Sizes between the byte steps are stored in the next larger one.
        target.bits = w.bits <= 8 ? 8 : w.bits <= 16 ? 16 : w.bits <= 24 ? 24 : 32;
    }
    if (target.channels > 2 || target.bits > 16 || target.isFloat) {
        target.channelMask = target.channels == w.channels && w.channelMask ? w.channelMask
                                                                             : DefaultChannelMask(target.channels);
        f.wide = target;
        return f;
    }
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
        const bool opened =
            format.wide.channels
                ? writer_.OpenInterleaved(call.request.targetPath, format.wide.channels, format.wide.bits,
                                          format.wide.isFloat, format.rate,
                                          static_cast<uint32_t>(format.wide.channelMask)) != 0
                : writer_.Open(call.request.targetPath, format.channels == 2, format.bits, format.rate) != 0;
        // A verified target is decoded back on another thread while it is written.
        if (opened && call.record && call.record->samples.Begun()) {
            auto follow = std::make_shared<GrowingFile>();
            writer_.FollowWith(follow);
            const SampleLedger& handed = call.record->samples;
            call.record->follower =
                std::make_shared<TargetFollower>(follow, "wav", &WavHeaderOnlyCompleted, handed.Rate(),
                                                 handed.Channels(), handed.Bits(), handed.IsFloat(),
                                                 FamilyOf(Family::Wav).check.streamMd5);
            call.record->followerTakesSpareCore = true;
        }
        return opened;
    }
    bool EncodeBlock(void* left, void* right, uint32_t n) override {
        if (bits_ == 16)
            return writer_.WriteSamples16(static_cast<const int16_t*>(left), static_cast<const int16_t*>(right), n);
        return writer_.WriteSamples8(static_cast<const uint8_t*>(left), static_cast<const uint8_t*>(right), n);
    }
    bool EncodeWide(const double* samples, uint32_t n) override { return writer_.WriteInterleaved(samples, n) != 0; }
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
