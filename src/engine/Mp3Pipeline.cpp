#include <algorithm>
#include <vector>

#include "encoders/Mp3Encoder.h"
#include "encoders/Mp3Params.h"
#include "engine/Pipeline.h"
#include "tags/Id3Writer.h"

namespace sonavert {
namespace {

// MP3WriteID3Version: 0 ID3v1 only, 1 ID3v2 only, 2 both.
bool WantsId3v1(int32_t version) { return version == 0 || version == 2; }
bool WantsId3v2(int32_t version) { return version == 1 || version == 2; }

// Hands the chosen tags to the encoder: the source's raw ID3v1 block as it is (its ID3v2 block is
// written at Start straight from the choice), or blocks rendered from texts in the versions
// MP3WriteID3Version asks for. A picture goes into the ID3v2 tag (ID3v1 holds none); with a
// picture but no texts, the ID3v2 tag holds the picture alone.
void HandOverTags(const TagChoice& choice, int32_t version, Mp3Encoder& encoder) {
    if (choice.kind == TagChoice::kId3Blocks) {
        if (choice.id3v1.size() == Mp3Encoder::kId3v1Bytes) encoder.SetID3v1Tag(choice.id3v1.data());
        return;
    }
    if (choice.kind == TagChoice::kNone && choice.picture && WantsId3v2(version)) {
        const std::vector<uint8_t> v2 = BuildId3PictureTag(*choice.picture);
        if (!v2.empty()) encoder.SetID3v2Tag(v2.data(), static_cast<uint32_t>(v2.size()));
        return;
    }
    if (choice.kind != TagChoice::kTexts) return;
    const uint32_t track = static_cast<uint32_t>(std::max(choice.trackNumber, 0));
    if (WantsId3v1(version)) {
        const std::vector<uint8_t> v1 = BuildId3Block(1, choice.texts, track);
        if (v1.size() == Mp3Encoder::kId3v1Bytes) encoder.SetID3v1Tag(v1.data());
    }
    if (WantsId3v2(version)) {
        const std::vector<uint8_t> v2 = BuildId3Block(2, choice.texts, track, 0, choice.picture.get());
        if (!v2.empty()) encoder.SetID3v2Tag(v2.data(), static_cast<uint32_t>(v2.size()));
    }
}

// The MP3 encoder opens on the target first and is finished before the source closes. LAME
// converts rates itself and mixes a stereo source down; only 8-bit sources go through the
// converter, which widens them to 16 bits at their own rate.
class Mp3Adapter : public EncoderAdapter {
public:
    bool Open(const PipelineCall& call) override { return encoder_.Open(call.request.targetPath) != 0; }
    TargetFormat ChooseFormat(const PipelineCall& call) override {
        const Settings& s = call.settings;
        Mp3ParamInputs in;
        in.automatic = s.AutoDestMP3EncodingParam != 0;
        in.channelMode = s.MP3ChannelMode;
        in.monoType = s.MonoType;
        in.sampleRate = s.MP3SampleRate > 0 ? static_cast<uint32_t>(s.MP3SampleRate) : 0;
        in.bitRate = s.MP3BitRate > 0 ? static_cast<uint32_t>(s.MP3BitRate) : 0;
        in.sourceRate = call.facts.rate;
        in.sourceChannels = call.facts.channels;
        in.sourceChannelMode = call.facts.channelMode;
        in.sourceBitRate = call.facts.bitRate;
        in.sourceIsMp3 = call.request.sourceType == kSourceMp3;
        in.sourceIsOgg = call.request.sourceType == kSourceOgg;
        params_ = ChooseMp3Params(in);
        if (s.MP3BitRateMode == 1) params_.vbrQuality = std::clamp(s.MP3VBRQuality, 0, 9);
        TargetFormat f{call.facts.rate, 16, static_cast<uint32_t>(params_.channels), {}};
        f.plan.convert = call.facts.bits == 8;
        f.plan.pick = params_.monoPick;
        f.plan.converterInputChannels = params_.channels;
        return f;
    }
    bool Start(const PipelineCall& call, const TargetFormat&, const TagChoice& tags) override {
        HandOverTags(tags, call.settings.MP3WriteID3Version, encoder_);
        ApplyMp3Params(encoder_, params_);
        if (tags.kind == TagChoice::kId3Blocks && !tags.id3v2.empty())
            return encoder_.Start(tags.id3v2.data(), static_cast<uint32_t>(tags.id3v2.size())) != 0;
        return encoder_.Start() != 0;
    }
    bool EncodeBlock(void* left, void* right, uint32_t n) override {
        return encoder_.EncodeBlock(static_cast<const int16_t*>(left), static_cast<const int16_t*>(right), n) != 0;
    }
    bool End() override { return encoder_.Finish() != 0; }
    // The picture goes into the ID3v2 tag only.
    bool WritesPicture(const PipelineCall& call) const override {
        return WantsId3v2(call.settings.MP3WriteID3Version);
    }
    void StoredFormat(uint32_t& rate, uint32_t&) const override {
        if (const uint32_t out = encoder_.OutputSampleRate()) rate = out;
    }
    bool EndsBeforeSourceCloses() const override { return true; }
    bool CreatedTarget() const override { return encoder_.IsOpen(); }
    std::string FailureReason() const override { return encoder_.FailureReason(); }

private:
    Mp3Encoder encoder_;
    Mp3Params params_;
};

}  // namespace

int ConvertToMp3(const ConversionRequest& request, ConversionContext& context) {
    Mp3Adapter adapter;
    return RunPipeline(request, context, Family::Mp3, adapter);
}

}  // namespace sonavert
