// The analysis pass of loudness normalisation: the source decoded a second time and measured as
// the encoder will receive it, before a byte of the target is encoded.
#include <algorithm>
#include <cmath>
#include <vector>

#include "encoders/PcmConverter.h"
#include "engine/Pipeline.h"
#include "tags/GainTags.h"

namespace sonavert {

namespace {

bool MeasureWide(const ConversionRequest& request, ConversionContext& context, AudioSource& source,
                 const SourceFacts& facts, const TargetFormat& format, LoudnessMeter& meter) {
    const WideFormat in = source.GetWideFormat();
    if (in.channels != facts.wide.channels || in.channelMask != facts.wide.channelMask) {
        context.failureReason = "the source changed while it was converted";
        return false;
    }
    WidePcmConverter converter;
    converter.inputRate = facts.rate;
    converter.inputChannels = in.channels;
    converter.inputMask = in.channelMask;
    converter.outputRate = format.rate;
    converter.outputChannels = format.wide.channels;
    converter.monoPick = context.settings.MonoType == 1 || context.settings.MonoType == 2 ? context.settings.MonoType : 0;
    if (!meter.Valid() || !converter.Setup()) {
        context.failureReason = "the loudness cannot be measured";
        return false;
    }
    auto sink = [&](const double* samples, uint32_t n) -> int {
        const double* out = nullptr;
        uint32_t produced = 0;
        if (!converter.Convert(samples, n, &out, &produced)) return 0;
        if (produced) meter.AddInterleaved(out, produced);
        return 1;
    };
    if (!PumpSourceWide(source, request.sourceType, request.sourcePath, context.progress, sink)) {
        if (!context.progress.CancelRequested()) context.failureReason = "the loudness analysis failed";
        return false;
    }
    const double* out = nullptr;
    while (uint32_t n = converter.Flush(&out)) meter.AddInterleaved(out, n);
    return true;
}

}  // namespace

bool MeasureBeforeEncoding(const ConversionRequest& request, ConversionContext& context, uint32_t renderRate,
                           const SourceFacts& facts, const TargetFormat& format, LoudnessFigures& figures,
                           std::shared_ptr<LoudnessMeter>* measured) {
    figures = {};
    std::unique_ptr<AudioSource> source =
        CreateSource(request.sourcePath, request.sourceType, renderRate, kPurposeConvert, &context.sources);
    if (!source) {
        context.failureReason = context.sources.failureReason.empty() ? "the source could not be read again"
                                                                      : context.sources.failureReason;
        return false;
    }
    // The plan was made for the first opening: a source that opens differently now is measured
    // in the wrong format, so the gain would be wrong.
    if (source->GetSampleRate() != facts.rate || source->GetBitsPerSample() != facts.bits ||
        source->GetChannels() != facts.channels) {
        context.failureReason = "the source changed while it was converted";
        return false;
    }
    const bool wide = format.wide.channels != 0;
    auto kept = wide ? std::make_shared<LoudnessMeter>(format.wide.channels, format.rate,
                                                       static_cast<uint32_t>(format.wide.channelMask))
                     : std::make_shared<LoudnessMeter>(format.channels, format.rate);
    LoudnessMeter& meter = *kept;
    auto done = [&]() {
        figures = meter.Figures();
        if (measured) *measured = kept;
        return true;
    };
    // Families fed by the wide read are measured on the wide read, converted as they receive it.
    if (wide) return MeasureWide(request, context, *source, facts, format, meter) && done();
    if (!meter.Valid()) {
        context.failureReason = "the loudness cannot be measured";
        return false;
    }
    auto measure = [&meter, &format](void* left, void* right, uint32_t n) {
        if (format.bits == 16)
            meter.AddPlanar16(static_cast<const int16_t*>(left), static_cast<const int16_t*>(right), n);
        else
            meter.AddPlanar8(static_cast<const uint8_t*>(left), static_cast<const uint8_t*>(right), n);
    };

    const FormatPlan& plan = format.plan;
    PcmConverter converter;
    std::vector<int16_t> outLeft, outRight;
    if (plan.convert) {
        converter.inputRate = static_cast<int>(facts.rate);
        converter.inputChannels = plan.converterInputChannels;
        converter.inputBits = static_cast<int>(facts.bits);
        converter.outputRate = static_cast<int>(format.rate);
        converter.outputChannels = static_cast<int>(format.channels);
        converter.outputBits = static_cast<int>(format.bits);
        if (!converter.Setup()) {
            context.failureReason = "the loudness cannot be measured";
            return false;
        }
        outLeft.resize(converter.OutputCapacity());
        if (format.channels == 2) outRight.resize(converter.OutputCapacity());
    }
    void* const convLeft = outLeft.data();
    void* const convRight = outRight.empty() ? nullptr : outRight.data();
    auto sink = [&](void* left, void* right, uint32_t n) -> int {
        void* in = plan.pick == 2 ? right : left;
        void* inRight = plan.pick ? nullptr : right;
        if (!plan.convert) {
            measure(in, format.channels == 2 ? inRight : nullptr, n);
            return 1;
        }
        uint32_t out = 0;
        if (!converter.Convert(in, inRight, n, convLeft, convRight, &out)) return 0;
        measure(convLeft, convRight, out);
        return 1;
    };
    if (!PumpSource(*source, request.sourceType, request.sourcePath, context.progress, sink)) {
        if (!context.progress.CancelRequested()) context.failureReason = "the loudness analysis failed";
        return false;
    }
    if (plan.convert)
        while (uint32_t n = converter.Flush(convLeft, convRight)) measure(convLeft, convRight, n);
    return done();
}

Gain NormalisingGain(const LoudnessFigures& figures, const Settings& s) {
    const int32_t target = s.LoudnessTarget;
    const bool known = target == -14 || target == -16 || target == -18 || target == -23;
    const double ceiling = std::clamp(s.LoudnessPeakCeiling, -100, 0) / 10.0;
    const double gainDb = NormalisingGainDb(figures, known ? target : -18.0, ceiling);
    Gain gain;
    if (gainDb != 0) {
        gain.on = true;
        gain.factor = static_cast<float>(std::pow(10.0, gainDb / 20.0));
    }
    return gain;
}

void KeepLoudness(const ConversionRequest& request, ConversionContext& context, std::shared_ptr<LoudnessMeter> meter) {
    if (!meter || !meter->Valid()) return;
    context.loudness = meter->Figures();
    context.loudnessMeter = std::move(meter);
    if (!context.settings.LoudnessAnalysis || !context.loudness.Audible()) return;
    const OutputFormatInfo* format = FindOutputFormat(request.outputFormat);
    const GainTagKind kind = format ? GainTagKindOf(format->extension) : GainTagKind::None;
    GainTagValues values;
    values.track = true;
    values.trackFigures = {context.loudness.integrated, context.loudness.truePeak};
    std::string reason;
    if (!WriteGainTags(request.targetPath, kind, values, reason) && context.warning.empty()) context.warning = reason;
}

}  // namespace sonavert
