#include "encoders/OggParams.h"

#include <algorithm>

#include "encoders/Mp3Params.h"
#include "encoders/NearestValue.h"

namespace sonavert {

namespace {

struct LimitRow {
    uint32_t upTo;  // highest rate of the row
    OggBitRateRange stereo;
    OggBitRateRange mono;
};

constexpr LimitRow kLimits[] = {
    {8000, {16, 80}, {8, 40}},     {12000, {16, 96}, {16, 48}},   {16000, {24, 160}, {16, 80}},
    {24000, {32, 160}, {16, 80}},  {32000, {40, 320}, {32, 160}}, {0xFFFFFFFFu, {48, 480}, {32, 224}},
};

uint32_t OneOrTwo(uint32_t channels) { return channels >= 2 ? 2 : 1; }

}  // namespace

OggBitRateRange OggBitRateLimits(uint32_t rate, uint32_t channels) {
    for (const LimitRow& row : kLimits)
        if (rate <= row.upTo) return channels == 2 ? row.stereo : row.mono;
    return channels == 2 ? kLimits[5].stereo : kLimits[5].mono;
}

uint32_t ChooseOggBitRate(uint32_t kbps, uint32_t rate, uint32_t channels) {
    const OggBitRateRange range = OggBitRateLimits(rate, channels);
    return std::clamp(NearestValue(kOggBitRates, kbps), range.minKbps, range.maxKbps);
}

OggParams ChooseOggParams(const OggParamInputs& in) {
    OggParams p;
    const uint32_t sourceChannels = OneOrTwo(in.sourceChannels);
    if (in.automatic) {
        const Mp3AutoRow row = Mp3AutomaticRow(in.sourceRate, sourceChannels);
        p.channels = sourceChannels;
        p.rate = row.outputRate;
        p.kbps = row.kbps;
        return p;
    }
    p.rate = NearestValue(kOggSampleRates, in.sampleRate ? in.sampleRate : in.sourceRate);
    p.channels = in.channels ? OneOrTwo(in.channels) : sourceChannels;
    uint32_t b = in.bitRate;
    if (b == 0 && (in.sourceIsMp3 || in.sourceIsOgg)) b = in.sourceBitRate;
    if (b == 0) b = Mp3AutomaticRow(p.rate, p.channels).kbps;
    p.kbps = ChooseOggBitRate(b, p.rate, p.channels);
    return p;
}

}  // namespace sonavert
