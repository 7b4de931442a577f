#pragma once
// Loudness of the samples handed to an encoder: EBU R128 integrated loudness (libebur128) and
// true peak (a 16-times interpolation), and the gain that normalises a file to a target
// loudness under a true-peak ceiling.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "settings/Settings.h"

namespace sonavert {

// Values of the LoudnessGainMode setting.
enum LoudnessGainMode : int32_t {
    kGainFixedPercentage = 0,  // the family's Amplify percentage
    kGainNormaliseFile = 1,    // each file to LoudnessTarget under LoudnessPeakCeiling
    kGainNormaliseAlbum = 2,   // each album to LoudnessTarget with one gain for all its files
};

// What a measurement found.
struct LoudnessFigures {
    bool measured = false;
    double integrated = 0;  // LUFS; -inf when the whole file is below the gate (silence)
    double truePeak = 0;    // linear, 1.0 = full scale
    // Whether the file had a loudness at all (some audio above the gate).
    bool Audible() const;
    double TruePeakDb() const;  // dBTP; -inf for digital silence
};

// Measures frames of one format. The gating blocks are kept (8 bytes per 100 ms, about 1 MB for
// four hours) so the loudness is exact; several meters of an album combine into its figures.
class LoudnessMeter {
public:
    // `channels` 1..8; `channelMask` the WAVE_FORMAT_EXTENSIBLE bits of their order (0 for the
    // usual order: L, R, C, LFE, surround...). A low-frequency channel does not count.
    LoudnessMeter(uint32_t channels, uint32_t rate, uint32_t channelMask = 0);
    ~LoudnessMeter();
    LoudnessMeter(const LoudnessMeter&) = delete;
    LoudnessMeter& operator=(const LoudnessMeter&) = delete;

    bool Valid() const;
    // One or two planes of 16-bit samples (`right` null for one channel).
    void AddPlanar16(const int16_t* left, const int16_t* right, uint32_t frames);
    // One or two planes of unsigned 8-bit samples centred on 128.
    void AddPlanar8(const uint8_t* left, const uint8_t* right, uint32_t frames);
    // Interleaved samples in [-1, 1] scale.
    void AddInterleaved(const double* samples, uint32_t frames);
    LoudnessFigures Figures() const;

    // The figures of several meters taken as one programme (an album): its gated loudness over
    // all their blocks and the highest true peak.
    static LoudnessFigures Combined(const std::vector<const LoudnessMeter*>& meters);

private:
    struct State;  // the libebur128 state and the true peak of each channel
    std::unique_ptr<State> state_;
    uint32_t channels_;
    std::vector<short> interleaved_;
};

// The gain in dB that brings `figures` to `targetLufs` with its true peak at most at
// `ceilingDbtp`; 0 for a file without loudness.
double NormalisingGainDb(const LoudnessFigures& figures, double targetLufs, double ceilingDbtp);

// Whether the settings normalise loudness (each file's or each album's) instead of the fixed
// percentage.
bool NormalisesLoudness(const Settings& settings);
// Whether they normalise each album as a whole.
bool NormalisesAlbums(const Settings& settings);
// Whether the samples handed to the encoder are measured (analysis or normalisation on).
bool MeasuresLoudness(const Settings& settings);

// "-23.0 LUFS, true peak -20.0 dBTP, track gain +5.0 dB" ("silent" for a file without loudness).
std::string LoudnessText(const LoudnessFigures& figures);

}  // namespace sonavert
