#include <algorithm>
#include <vector>

#include "encoders/OpusEncoder.h"
#include "engine/Pipeline.h"

namespace sonavert {
namespace {

// The stream's bit rate: OPUSBitRate is the rate of two channels, so one channel gets half of it
// and more channels their share each (5.1 at the default 128 kbps gets 384 kbps).
int32_t OpusBitRateFor(int32_t stereoKbps, uint32_t channels) {
    const int64_t kbps = std::clamp<int64_t>(stereoKbps, 6, 510);
    return static_cast<int32_t>(std::max<int64_t>(6, kbps * channels / 2) * 1000);
}

// The speaker masks of the Vorbis layouts Opus's mapping 1 stands for, by channel count (WAV
// channel bits: FL FR FC LFE BL BR ... BC SL SR); a second mask where two layouts share a count.
bool VorbisLayout(uint32_t channels, uint32_t mask) {
    static const uint32_t kMasks[9][2] = {{0, 0},         {0x4, 0x4},     {0x3, 0x3},
                                          {0x7, 0x7},     {0x33, 0x603},  {0x37, 0x607},
                                          {0x3F, 0x60F},  {0x70F, 0x70F}, {0x63F, 0x63F}};
    return mask == 0 || (channels < 9 && (mask == kMasks[channels][0] || mask == kMasks[channels][1]));
}

// The Opus encoder opens on the target first and takes the source's wide read as floats, every
// channel. One or two channels are converted to Opus's 48 kHz here, which lets the encoder code
// them with libopus directly; more keep the source's own rate, which libopusenc converts. Either
// way the header records the source's rate. More than two channels are coded in the Vorbis layout
// (mapping 1), reordered from the WAV order; a speaker set no Vorbis layout describes keeps its
// order with no layout stated (mapping 255). The stream ends after the source is closed.
class OpusAdapter : public EncoderAdapter {
public:
    bool Open(const PipelineCall& call) override { return encoder_.Open(call.request.targetPath) != 0; }
    TargetFormat ChooseFormat(const PipelineCall& call) override {
        const WideFormat& w = call.facts.wide;
        const uint32_t rate = w.channels <= 2 ? 48000u : call.facts.rate;
        TargetFormat f{rate, 16, std::clamp(w.channels, 1u, 2u), {}};
        f.wide.channels = w.channels;
        f.wide.channelMask = w.channelMask;
        f.wide.bits = 32;
        f.wide.isFloat = true;
        return f;
    }
    bool Start(const PipelineCall& call, const TargetFormat& format, const TagChoice& tags) override {
        const Settings& s = call.settings;
        if (tags.kind == TagChoice::kTexts) encoder_.SetComments(tags.texts);
        if (tags.picture) encoder_.SetPicture(*tags.picture);
        OpusStreamParams p;
        p.inputRate = format.rate;
        p.sourceRate = call.facts.rate;
        p.channels = format.wide.channels;
        p.bitRate = OpusBitRateFor(s.OPUSBitRate, p.channels);
        p.mode = s.OPUSBitRateMode == 1   ? OpusRateMode::Constrained
                 : s.OPUSBitRateMode == 2 ? OpusRateMode::Constant
                                          : OpusRateMode::Variable;
        p.voice = s.OPUSApplication == 1;
        p.unnamedLayout = p.channels > 2 && !VorbisLayout(p.channels, format.wide.channelMask);
        channels_ = p.channels;
        reorder_ = p.channels > 2 && !p.unnamedLayout;
        return encoder_.Start(p) != 0;
    }
    bool EncodeWide(const double* in, uint32_t n) override {
        samples_.resize(static_cast<size_t>(n) * channels_);
        for (size_t i = 0; i < samples_.size(); ++i) samples_[i] = static_cast<float>(in[i]);
        if (reorder_) {
            float frame[OpusEncoder::kMaxChannels];
            for (uint32_t i = 0; i < n; ++i) {
                float* at = samples_.data() + static_cast<size_t>(i) * channels_;
                WavToVorbisOrder(at, frame, channels_);
                std::copy(frame, frame + channels_, at);
            }
        }
        return encoder_.Encode(samples_.data(), n) != 0;
    }
    // Opus codes at 48 kHz whatever rate it is handed: decoders give the stream at that rate.
    void StoredFormat(uint32_t& rate, uint32_t&) const override { rate = 48000; }
    bool End() override { return encoder_.Finish() != 0; }
    bool WritesPicture(const PipelineCall&) const override { return true; }
    bool CreatedTarget() const override { return encoder_.IsOpen(); }
    std::string FailureReason() const override { return encoder_.FailureReason(); }

private:
    OpusEncoder encoder_;
    uint32_t channels_ = 0;
    bool reorder_ = false;
    std::vector<float> samples_;
};

}  // namespace

int ConvertToOpus(const ConversionRequest& request, ConversionContext& context) {
    OpusAdapter adapter;
    return RunPipeline(request, context, Family::Opus, adapter);
}

}  // namespace sonavert
