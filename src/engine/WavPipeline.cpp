#include <memory>
#include <vector>

#include "encoders/PcmConverter.h"
#include "encoders/WavWriter.h"
#include "engine/Gain.h"
#include "engine/Pipeline.h"

namespace sonavert {

int ConvertToWav(const ConversionRequest& request, ConversionContext& context) {
    const Settings& s = context.settings;
    std::unique_ptr<AudioSource> source =
        CreateSource(request.sourcePath, request.sourceType, RenderRateFor(kOutputWav, s), kPurposeConvert,
                     &context.sources);
    if (!source) return 0;

    const uint32_t srcRate = source->GetSampleRate();
    const uint32_t srcBits = source->GetBitsPerSample();
    const uint32_t srcChannels = source->GetChannels();

    // Automatic parameters keep the source's format as it is; otherwise each setting of 0 means
    // "as the source".
    uint32_t rate = srcRate, bits = srcBits, channels = srcChannels;
    FormatPlan plan;
    if (!s.AutoDestWAVEncodingParam) {
        if (s.WAVSampleRate > 0) rate = static_cast<uint32_t>(s.WAVSampleRate);
        if (s.WAVChannelNum > 0) channels = static_cast<uint32_t>(s.WAVChannelNum);
        if (s.WAVBitsPerSample > 0) bits = static_cast<uint32_t>(s.WAVBitsPerSample);
        plan = PlanConversion(srcRate, srcBits, srcChannels, rate, bits, channels, s.MonoType);
    }

    WavWriter writer;
    if (!writer.Open(request.targetPath, channels == 2, bits, rate)) {
        source->Close();
        DeleteFailedTarget(request.targetPath, request.sourcePath);
        return 0;
    }

    const Gain gain = GainFor(s.AmplifyWav, s.AmplifyWavCoeff);
    const int outChannels = static_cast<int>(channels);

    PcmConverter converter;
    std::vector<int16_t> outLeft, outRight;  // 16-bit slots hold 8-bit samples too
    if (plan.convert) {
        converter.inputRate = static_cast<int>(srcRate);
        converter.inputChannels = plan.converterInputChannels;
        converter.inputBits = static_cast<int>(srcBits);
        converter.outputRate = static_cast<int>(rate);
        converter.outputChannels = outChannels;
        converter.outputBits = static_cast<int>(bits);
        if (!converter.Setup()) {
            source->Close();
            writer.Close();
            DeleteFailedTarget(request.targetPath, request.sourcePath);
            return 0;
        }
        outLeft.resize(converter.OutputCapacity());
        if (outChannels == 2) outRight.resize(converter.OutputCapacity());
    }

    // Gain, then the writer, on planes at the target's width.
    auto emit = [&](void* left, void* right, uint32_t n) -> int {
        if (bits == 16) {
            if (gain.on) ApplyGain16(static_cast<int16_t*>(left), static_cast<int16_t*>(right), n, outChannels, gain.factor);
            return writer.WriteSamples16(static_cast<const int16_t*>(left), static_cast<const int16_t*>(right), n);
        }
        if (gain.on) ApplyGain8(static_cast<uint8_t*>(left), static_cast<uint8_t*>(right), n, outChannels, gain.factor);
        return writer.WriteSamples8(static_cast<const uint8_t*>(left), static_cast<const uint8_t*>(right), n);
    };

    auto sink = [&](void* left, void* right, uint32_t n) -> int {
        void* in = plan.pick == 2 ? right : left;
        if (!plan.convert) return emit(in, plan.pick ? nullptr : right, n);
        uint32_t out = 0;
        if (!converter.Convert(in, plan.pick ? nullptr : right, n, outLeft.data(),
                               outRight.empty() ? nullptr : outRight.data(), &out))
            return 0;
        return out ? emit(outLeft.data(), outRight.empty() ? nullptr : outRight.data(), out) : 1;
    };

    int result = PumpSource(*source, request.sourceType, request.sourcePath, context.driver, sink);
    // The resampler holds the last few milliseconds back; write them so nothing is lost.
    if (result && plan.convert) {
        while (uint32_t n = converter.Flush(outLeft.data(), outRight.empty() ? nullptr : outRight.data())) {
            if (!emit(outLeft.data(), outRight.empty() ? nullptr : outRight.data(), n)) {
                result = 0;
                break;
            }
        }
    }

    source->Close();
    source.reset();
    if (!writer.Close()) result = 0;
    if (!result) DeleteFailedTarget(request.targetPath, request.sourcePath);
    return result;
}

}  // namespace sonavert
