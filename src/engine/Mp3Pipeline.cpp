#include <algorithm>
#include <memory>
#include <vector>

#include "encoders/Mp3Encoder.h"
#include "encoders/Mp3Params.h"
#include "encoders/PcmConverter.h"
#include "engine/Gain.h"
#include "engine/Pipeline.h"
#include "tags/Id3Writer.h"
#include "engine/TagChoice.h"

namespace sonavert {
namespace {

// MP3WriteID3Version: 0 ID3v1 only, 1 ID3v2 only, 2 both.
bool WantsId3v1(int32_t version) { return version == 0 || version == 2; }
bool WantsId3v2(int32_t version) { return version == 1 || version == 2; }

TagChoice ChooseMp3Tags(const ConversionRequest& request, const Settings& s, AudioSource& source) {
    TagChoiceInputs in;
    in.policy = s.MP3ID3TagType;
    in.typed = s.MP3Tag;
    in.sourcePath = request.sourcePath;
    in.sourceType = request.sourceType;
    in.sequenceNumber = static_cast<uint32_t>(std::max(request.sequenceNumber, 0));
    in.mp3Target = true;
    return ChooseTags(in, source);
}

// Hands the chosen tags to the encoder: the source's raw ID3 blocks as they are, or blocks rendered
// from texts in the versions MP3WriteID3Version asks for.
void HandOverTags(const TagChoice& choice, int32_t version, Mp3Encoder& encoder) {
    if (choice.kind == TagChoice::kId3Blocks) {
        if (choice.id3v1.size() == Mp3Encoder::kId3v1Bytes) encoder.SetID3v1Tag(choice.id3v1.data());
        if (!choice.id3v2.empty())
            encoder.SetID3v2Tag(choice.id3v2.data(), static_cast<uint32_t>(choice.id3v2.size()));
        return;
    }
    if (choice.kind != TagChoice::kTexts) return;
    const uint32_t track = static_cast<uint32_t>(std::max(choice.trackNumber, 0));
    if (WantsId3v1(version)) {
        const std::vector<uint8_t> v1 = BuildId3Block(1, choice.texts, track);
        if (v1.size() == Mp3Encoder::kId3v1Bytes) encoder.SetID3v1Tag(v1.data());
    }
    if (WantsId3v2(version)) {
        const std::vector<uint8_t> v2 = BuildId3Block(2, choice.texts, track);
        if (!v2.empty()) encoder.SetID3v2Tag(v2.data(), static_cast<uint32_t>(v2.size()));
    }
}

}  // namespace

int ConvertToMp3(const ConversionRequest& request, ConversionContext& context) {
    const Settings& s = context.settings;
    std::unique_ptr<AudioSource> source =
        CreateSource(request.sourcePath, request.sourceType, RenderRateFor(kOutputMp3, s), kPurposeConvert,
                     &context.sources);
    if (!source) return 0;

    // Ends a conversion that failed before the loop: the encoder first, then the source, then the
    // partial target.
    Mp3Encoder encoder;
    auto abandon = [&]() {
        const bool created = encoder.IsOpen();
        encoder.Finish();
        source->Close();
        source.reset();
        if (created) DeleteFailedTarget(request.targetPath, request.sourcePath);
        return 0;
    };

    // A file the encoder created before LAME failed to start is removed too; a target the encoder
    // could not create is left alone (it may be someone else's file).
    if (!encoder.Open(request.targetPath)) return abandon();

    HandOverTags(ChooseMp3Tags(request, s, *source), s.MP3WriteID3Version, encoder);

    const uint32_t srcRate = source->GetSampleRate();
    const uint32_t srcBits = source->GetBitsPerSample();
    const uint32_t srcChannels = source->GetChannels();

    Mp3ParamInputs in;
    in.automatic = s.AutoDestMP3EncodingParam != 0;
    in.channelMode = s.MP3ChannelMode;
    in.monoType = s.MonoType;
    in.sampleRate = s.MP3SampleRate > 0 ? static_cast<uint32_t>(s.MP3SampleRate) : 0;
    in.bitRate = s.MP3BitRate > 0 ? static_cast<uint32_t>(s.MP3BitRate) : 0;
    in.sourceRate = srcRate;
    in.sourceChannels = srcChannels;
    in.sourceChannelMode = source->GetChannelMode();
    in.sourceBitRate = source->GetBitRate();
    in.sourceIsMp3 = request.sourceType == kSourceMp3;
    in.sourceIsOgg = request.sourceType == kSourceOgg;
    const Mp3Params params = ChooseMp3Params(in);
    ApplyMp3Params(encoder, params);
    if (!encoder.Start()) return abandon();

    const int channels = params.channels;  // planes handed to the encoder: 1 or 2
    const Gain gain = GainFor(s.AmplifyMp3, s.AmplifyMp3Coeff);

    // LAME takes 16-bit samples only: 8-bit sources are widened at their own rate first.
    const bool widen = srcBits == 8;
    PcmConverter converter;
    std::vector<int16_t> wideLeft, wideRight;
    if (widen) {
        converter.inputRate = static_cast<int>(srcRate);
        converter.outputRate = static_cast<int>(srcRate);
        converter.inputChannels = channels;
        converter.outputChannels = channels;
        converter.inputBits = 8;
        converter.outputBits = 16;
        if (!converter.Setup()) return abandon();
        wideLeft.resize(converter.OutputCapacity());
        if (channels == 2) wideRight.resize(converter.OutputCapacity());
    }
    int16_t* const wideL = wideLeft.data();
    int16_t* const wideR = wideRight.empty() ? nullptr : wideRight.data();

    auto encode = [&](int16_t* left, int16_t* right, uint32_t n) -> int {
        if (gain.on) ApplyGain16(left, right, n, channels, gain.factor);
        return encoder.EncodeBlock(left, right, n);
    };

    auto sink = [&](void* left, void* right, uint32_t n) -> int {
        // Under a mono pick only the chosen plane goes on, as the one channel.
        void* in = params.monoPick == 2 ? right : left;
        void* inRight = channels == 2 ? right : nullptr;
        if (!widen) return encode(static_cast<int16_t*>(in), static_cast<int16_t*>(inRight), n);
        uint32_t out = 0;
        if (!converter.Convert(in, inRight, n, wideL, wideR, &out)) return 0;
        return out ? encode(wideL, wideR, out) : 1;
    };

    // The widening keeps the rate, so the converter never holds samples back: nothing to flush.
    int result = PumpSource(*source, request.sourceType, request.sourcePath, context.driver, sink);

    // The encoder is finished (last frames and the ID3v1 block written) before the source closes;
    // a flush or close that fails leaves an incomplete file, which counts as a failure.
    if (!encoder.Finish()) result = 0;
    source->Close();
    source.reset();
    if (!result) DeleteFailedTarget(request.targetPath, request.sourcePath);
    return result;
}

}  // namespace sonavert
