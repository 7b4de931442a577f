#pragma once
// Helpers for the AAC and MPEG-4 writer tests: test signals as planes, the ADTS frame layout of a
// raw AAC file, and ffprobe's view of a file.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace testutil {

struct Planes {
    std::vector<int16_t> left, right;
    size_t size() const { return left.size(); }
};
// A tone on both planes: the left at `freq`, the right at 1.5 x freq and half the amplitude.
Planes TonePlanes(double freq, int rate, size_t samples, double amplitude = 0.5);
// Deterministic white noise on both planes (different on each).
Planes NoisePlanes(size_t samples, double amplitude = 0.3);
// A linear sweep from 200 Hz to 5 kHz over `samples`, the same on both planes: its correlation
// with a copy has one sharp peak, so it shows any shift.
Planes SweepPlanes(int rate, size_t samples, double amplitude = 0.5);
// The planes as unsigned 8-bit samples (high byte, offset by 128).
std::vector<uint8_t> ToUnsigned8(const std::vector<int16_t>& plane);

struct AdtsFrame {
    size_t offset = 0, length = 0;
    int mpeg2 = 0;        // the identifier bit
    int profile = 0;      // object type - 1
    int rateIndex = 0;
    int channels = 0;
    int protectionAbsent = 0;
};
// The ADTS frames from the start of `bytes`, up to the first position that holds no whole frame.
std::vector<AdtsFrame> ParseAdts(const std::vector<uint8_t>& bytes);

// ffprobe's key=value lines for `entries` (an -show_entries argument) of `path`, with `extra`
// options in front; a key met more than once keeps its first value.
std::map<std::string, std::string> Probe(const std::string& path, const std::string& entries,
                                         const std::string& extra = "");
// One line per packet of the first audio stream: the packet durations in stream time units.
std::vector<int64_t> PacketDurations(const std::string& path, const std::string& extra = "");

// The shift (in samples, positive when `decoded` lags) within +-maxLag that best lines channel 0
// of `decoded` up with `source`, over the first `window` samples.
int BestLag(const std::vector<int16_t>& source, const std::vector<int16_t>& decoded, int channels,
            size_t window, int maxLag);

// Level of channel `channel` of interleaved samples relative to `reference` (an RMS of 0..1), in dB.
double LevelDb(const std::vector<int16_t>& interleaved, int channels, int channel, double reference);

}  // namespace testutil
