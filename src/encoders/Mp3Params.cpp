#include "encoders/Mp3Params.h"

#include "encoders/Mp3Encoder.h"
#include "encoders/NearestValue.h"

namespace sonavert {

namespace {

constexpr int kModeStereo = 0;
constexpr int kModeJoint = 1;
constexpr int kModeMono = 3;
constexpr int kModeAuto = 4;

struct AutoRow {
    uint32_t upTo;  // highest source rate of the row
    uint32_t outputRate;
    uint32_t monoKbps;
    uint32_t stereoKbps;
};

constexpr AutoRow kAutoTable[] = {
    {11025, 11025, 24, 48}, {12000, 12000, 24, 48}, {16000, 16000, 32, 56}, {22050, 22050, 48, 64},
    {24000, 24000, 48, 64}, {32000, 32000, 64, 96}, {44100, 44100, 96, 128},
};
constexpr AutoRow kAutoTop = {0xFFFFFFFFu, 48000, 128, 192};

const AutoRow& RowFor(uint32_t rate) {
    for (const AutoRow& row : kAutoTable)
        if (rate <= row.upTo) return row;
    return kAutoTop;
}

}  // namespace

Mp3AutoRow Mp3AutomaticRow(uint32_t sourceRate, uint32_t channels) {
    const AutoRow& row = RowFor(sourceRate);
    return {row.outputRate, channels == 1 ? row.monoKbps : row.stereoKbps};
}

Mp3Params ChooseMp3Params(const Mp3ParamInputs& in) {
    Mp3Params p;
    p.inputRate = in.sourceRate;

    if (in.automatic) {
        p.channels = static_cast<int>(in.sourceChannels);
        const Mp3AutoRow row = Mp3AutomaticRow(in.sourceRate, in.sourceChannels);
        p.outputRate = row.outputRate;
        p.bitRate = row.kbps;
        return p;
    }

    int m = in.channelMode;
    if (m != kModeStereo && m != kModeJoint && m != kModeMono && m != kModeAuto) m = kModeJoint;
    if (m == kModeAuto) {
        if (in.sourceIsMp3)
            m = in.sourceChannelMode;
        else
            m = in.sourceChannels >= 2 ? kModeJoint : kModeMono;
    }
    const uint32_t tableChannels = m == kModeMono ? 1 : 2;

    if (in.sourceChannels == 2 && m == kModeMono && in.monoType != 0) {
        p.channels = 1;
        p.monoPick = in.monoType == 2 ? 2 : 1;
    } else {
        p.channels = static_cast<int>(in.sourceChannels);
    }
    p.setMode = true;
    p.mode = m;

    p.outputRate = NearestValue(kMp3SampleRates, in.sampleRate ? in.sampleRate : in.sourceRate);

    uint32_t b = in.bitRate;
    if (b == 0) {
        if (in.sourceIsMp3 || in.sourceIsOgg)
            b = in.sourceBitRate;
        else
            b = Mp3AutomaticRow(p.outputRate, tableChannels).kbps;
    }
    if (b > 0) {
        b = NearestValue(kMp3BitRates, b);
        if (p.outputRate <= 12000 && b > 64) b = 64;
        if (p.outputRate > 12000 && p.outputRate <= 24000 && b > 160) b = 160;
        if (p.outputRate > 24000 && b < 32) b = 32;
    }
    p.bitRate = b;
    return p;
}

void ApplyMp3Params(Mp3Encoder& encoder, const Mp3Params& params) {
    encoder.SetInputSampleRate(params.inputRate);
    encoder.SetChannels(params.channels);
    if (params.setMode) encoder.SetChannelMode(params.mode);
    encoder.SetOutputSampleRate(params.outputRate);
    // A variable bit rate leaves the constant one unset: LAME would take it as a bound.
    if (params.vbrQuality >= 0)
        encoder.SetVbrQuality(params.vbrQuality);
    else if (params.bitRate > 0)
        encoder.SetBitRate(static_cast<int>(params.bitRate));
}

}  // namespace sonavert
