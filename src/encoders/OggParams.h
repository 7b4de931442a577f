#pragma once
// Choosing the OGG Vorbis stream parameters (rate, channels, nominal bit rate) from the OGG options
// and the source's properties. Pure functions: the OGG pipeline calls them before Configure.
#include <array>
#include <cstdint>

namespace sonavert {

// Output sample rates offered for OGG output (the same nine as MP3), ascending.
inline constexpr std::array<uint32_t, 9> kOggSampleRates = {8000,  11025, 12000, 16000, 22050,
                                                            24000, 32000, 44100, 48000};
// Nominal bit rates (kbps) offered for OGG output, ascending.
inline constexpr std::array<uint32_t, 20> kOggBitRates = {8,   16,  24,  32,  40,  48,  56,  64,  80,  96,
                                                          112, 128, 144, 160, 192, 224, 256, 320, 400, 480};

// The range of nominal bit rates (kbps) manual mode allows for a rate and channel count.
struct OggBitRateRange {
    uint32_t minKbps;
    uint32_t maxKbps;
};

// The row of the rate/channel limit table for `rate`: 8000; 11025 and 12000; 16000; 22050 and
// 24000; 32000; 44100 and 48000. A rate between rows takes the row of the next listed rate above
// it (a rate above 48000 the last row). A channel count other than 2 takes the mono column.
OggBitRateRange OggBitRateLimits(uint32_t rate, uint32_t channels);

// Manual mode's bit rate: `kbps` snapped by the nearest-value rule to kOggBitRates, then limited to
// OggBitRateLimits(rate, channels). 480 kbps at 22050 Hz stereo gives 160; 8 at 44100 mono gives 32.
uint32_t ChooseOggBitRate(uint32_t kbps, uint32_t rate, uint32_t channels);

// What the whole choice depends on. The option fields carry the settings of the same name.
struct OggParamInputs {
    bool automatic = true;       // AutoDestOGGEncodingParam
    uint32_t sampleRate = 0;     // OGGSampleRate, 0 = the source's
    uint32_t channels = 0;       // OGGChannels: 0 = the source's, 1 mono, 2 stereo
    uint32_t bitRate = 0;        // OGGBitRate in kbps, 0 = from the source or the table
    uint32_t sourceRate = 0;
    uint32_t sourceChannels = 0;  // channels the source delivers (1 or 2)
    uint32_t sourceBitRate = 0;   // kbps, 0 when unknown
    bool sourceIsMp3 = false;
    bool sourceIsOgg = false;
};

struct OggParams {
    uint32_t rate = 0;
    uint32_t channels = 0;  // 1 or 2
    uint32_t kbps = 0;      // Configure takes kbps * 1000
};

// Automatic mode: the source's channels, rate and bit rate from the automatic table of the MP3
// encoder (Mp3AutomaticRow) for the source's rate and channels, no limit applied.
// Manual mode: the rate snapped to kOggSampleRates; OGGChannels or the source's; the bit rate from
// OGGBitRate, else the source's for MP3 and OGG sources, else the automatic table's for the chosen
// rate and channels, then ChooseOggBitRate. A source bit rate of 0 (unknown) counts as absent and
// takes the table's value. Channel counts are kept to 1 or 2 (0 or 1 gives 1, more gives 2).
OggParams ChooseOggParams(const OggParamInputs& in);

}  // namespace sonavert
