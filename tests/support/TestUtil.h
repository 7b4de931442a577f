#pragma once
// Shared helpers for tests: temporary folders, running the command-line tools the package script
// installs (ffmpeg, sox, lame, flac, ...), and reference decodes to compare samples against.
#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace testutil {

// A fresh folder under the system's temporary folder, removed with everything in it on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return dir_; }
    std::string file(const std::string& name) const { return (dir_ / name).string(); }

private:
    std::filesystem::path dir_;
};

// Runs a shell command; returns its exit status (-1 when it could not run). Output is discarded
// unless `output` is given, which then receives stdout.
int Run(const std::string& command, std::string* output = nullptr);
// Quotes a string for the shell.
std::string Quote(const std::string& s);

std::vector<uint8_t> ReadFileBytes(const std::string& path);
bool WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes);

// Decodes `path` with ffmpeg to interleaved signed 16-bit samples. `channels` > 0 forces that many
// channels in the output (ffmpeg's own downmix is NOT applied when mapChannels is true: the first
// `channels` channels are taken as they are).
std::vector<int16_t> FfmpegDecodeS16(const std::string& path, int channels = 0, bool mapChannels = true);

// Interleaved 16-bit sine tone.
std::vector<int16_t> Sine(double freq, int rate, int channels, double seconds, double amplitude = 0.5);
// Writes interleaved 16-bit PCM as a canonical WAV file (for producing test inputs).
bool WriteWav16(const std::string& path, const std::vector<int16_t>& samples, int rate, int channels);
// Writes a stereo 44.1 kHz WAV whose left channel is a 440 Hz tone at half scale and whose right
// channel is a 1000 Hz tone at a quarter, so a test can tell the channels apart; returns `path`.
std::string WriteTwoToneWav(const std::string& path, double seconds);

// Planes of a tone: the left at `freq` and half of full scale, the right at 1.5 * freq and a
// quarter, so a test can tell the channels apart.
struct TonePlanes16 {
    std::vector<int16_t> left, right;
};
TonePlanes16 ToneInPlanes(double freq, int rate, double seconds);

// Feeds the planes to `encoder.EncodeBlock(left, right, count)` in blocks of 1152 samples (the
// right plane only for stereo); false when any block failed.
template <class Encoder>
bool EncodeInBlocks(Encoder& encoder, const TonePlanes16& p, bool stereo) {
    for (size_t at = 0; at < p.left.size(); at += 1152) {
        const uint32_t n = static_cast<uint32_t>(std::min<size_t>(1152, p.left.size() - at));
        if (!encoder.EncodeBlock(p.left.data() + at, stereo ? p.right.data() + at : nullptr, n)) return false;
    }
    return true;
}

// Estimated frequency (zero crossings) and RMS level (0..1 of full scale) of one channel.
double EstimateFrequency(const std::vector<int16_t>& interleaved, int channels, int channel, int rate);
double RmsLevel(const std::vector<int16_t>& interleaved, int channels, int channel);

// Amplitude of the sinusoid of `freq` Hz in one channel (a DFT projection over the whole signal).
double ToneAmplitude(const std::vector<int16_t>& interleaved, int channels, int channel, double freq, int rate);

// The stereo downmix a multi-channel source must deliver: each output is the sum of gain x channel,
// divided by the larger of the two gain sums, rounded. Interleaved stereo.
std::vector<int16_t> MixToStereo(const std::vector<int16_t>& interleaved, int channels,
                                 const std::vector<double>& leftGains, const std::vector<double>& rightGains);
// Gains of 5.1 in WAVE order (FL FR FC LFE BL BR): centre and surrounds at -3 dB, LFE dropped.
inline const std::vector<double> k51LeftGains = {1, 0, 0.70710678, 0, 0.70710678, 0};
inline const std::vector<double> k51RightGains = {0, 1, 0.70710678, 0, 0, 0.70710678};

// Runs `body` in a forked child whose writes fail past `fileSizeLimit` bytes per file (a full
// disk, as far as the code under test can tell) and returns the value `body` returned, or -1
// when the child did not end normally. The child does not return into the test.
int RunWithFileSizeLimit(size_t fileSizeLimit, const std::function<int()>& body);

// Folder holding the executables, add-ons and the SoundFont link.
std::string BinDir();

}  // namespace testutil
