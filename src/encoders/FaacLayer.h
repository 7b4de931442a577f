#pragma once
// A small AAC encoding layer with the classic configuration record and call set (open, get and set
// the configuration, encode, close, decoder-specific info), built on libavcodec's native "aac"
// encoder. Each handle owns its codec context and nothing else is shared, so separate handles may
// be used from separate threads.
//
// How the record's fields reach the encoder (applied by faacEncSetConfiguration):
// - aacObjectType: only kFaacObjectLow (2) is taken; it selects the "aac_low" profile. Other object
//   types are refused.
// - mpegVersion: kFaacMpeg4 (0) or kFaacMpeg2 (1). The coded audio is the same; the value only sets
//   the identifier bit of the ADTS headers this layer writes (1 = MPEG-2).
// - useTns: always passed to the encoder's "aac_tns" option explicitly, as 0 or 1, because the
//   encoder's own default is on while this record starts with it off.
// - allowMidside: nonzero leaves "aac_ms" automatic (the encoder decides per band); 0 sets it to 0.
//   It is never set to 1, which would force mid/side on every band.
// - bandWidth: 0 lets the encoder choose its cut-off; any other value is the cut-off in Hz (at most
//   half the sample rate).
// - bitRate (bits per second per channel): nonzero selects average-bit-rate coding at
//   bitRate x channels. It may not exceed 6144 bits per channel per 1024-sample frame
//   (6 x sample rate), the most an AAC frame can hold.
// - quantqual (10..500, default 100, out-of-range values are clamped): used when bitRate is 0. The
//   encoder is then driven at an average bit rate derived from the quality (FaacQualityBitRate),
//   not in its own quality (q-scale) mode: that mode mis-codes transients, leaving single blocks of
//   one channel near 0 dB signal-to-noise, and codes the first frames far worse than the rest. The
//   rate rises with the quality and is about what the q-scale mode spent on dense material, so a
//   quality means the same file size as before. Per channel at 32000 Hz and above:
//   10..100 -> 12..64 kbps (linear), 100..500 -> 64..160 kbps (linear); below 32000 Hz the rate is
//   scaled by sqrt(rate / 32000) (less audio bandwidth to code), and it never exceeds what a frame
//   holds (6 bits per sample per channel).
// - outputFormat: kFaacRaw (0) gives bare AAC frames, kFaacAdts (1) prefixes each with a 7-byte
//   ADTS header (no CRC).
// - inputFormat: only kFaacInput16Bit (1), interleaved native-endian 16-bit samples.
// - shortctl (block-type control): kept in the record, but the encoder's psychoacoustic model
//   always chooses between long and short blocks by itself and has no switch for it, so the value
//   has no effect.
//
// The defaults of a fresh record are: MPEG-4, low complexity, mid/side allowed, TNS off, bandwidth 0,
// bit rate 0, quantqual 100, ADTS, 16-bit input, normal block switching. So an untouched record
// (what the automatic encoding mode uses) codes at quality 100: 64 kbps per channel at 44100 Hz.
//
// The encoder works in frames of 1024 samples per channel and delays its output by one frame: the
// first call with a full frame produces no bytes, and the first frame it produces carries 1024
// samples of priming ahead of the input.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace sonavert {

inline constexpr int kFaacMpeg4 = 0;
inline constexpr int kFaacMpeg2 = 1;
inline constexpr int kFaacObjectLow = 2;
inline constexpr int kFaacRaw = 0;
inline constexpr int kFaacAdts = 1;
inline constexpr int kFaacInput16Bit = 1;
inline constexpr int kFaacShortNormal = 0;
inline constexpr int kFaacShortNoShort = 1;
inline constexpr int kFaacShortNoLong = 2;
inline constexpr unsigned long kFaacDefaultQuality = 100;
inline constexpr unsigned long kFaacMinQuality = 10;
inline constexpr unsigned long kFaacMaxQuality = 500;
// Samples per channel in one AAC frame.
inline constexpr unsigned kAacFrameLength = 1024;
inline constexpr unsigned kAdtsHeaderBytes = 7;

struct FaacConfiguration {
    int mpegVersion = kFaacMpeg4;
    int aacObjectType = kFaacObjectLow;
    int allowMidside = 1;
    int useTns = 0;
    unsigned long bitRate = 0;  // bits per second per channel; 0 = quality mode
    unsigned int bandWidth = 0;  // Hz; 0 = the encoder's choice
    unsigned long quantqual = kFaacDefaultQuality;
    int outputFormat = kFaacAdts;
    int inputFormat = kFaacInput16Bit;
    int shortctl = kFaacShortNormal;
};

struct FaacEncoder;
using FaacEncHandle = FaacEncoder*;

// Sample rates the encoder takes: the thirteen of the AAC sampling-frequency table.
bool IsAacSampleRate(unsigned long sampleRate);
// The rate a source at `sampleRate` is encoded at: the rate itself when AAC takes it; above the
// table's top an exact half or quarter on it (192000 -> 96000, 176400 -> 88200); otherwise the
// nearest table rate, the lower one on a tie.
unsigned long AacEncodableRate(unsigned long sampleRate);
// The average bit rate per channel (bits per second) that a quantqual value (clamped to 10..500)
// stands for at `sampleRate`; see quantqual above.
unsigned long FaacQualityBitRate(unsigned long quantqual, unsigned long sampleRate);

// A handle for `numChannels` (1 or 2) channels at `sampleRate` Hz; null for another channel count
// or a zero rate. Reports the samples each encode call takes (1024 x channels) and the largest
// output one call can produce. The rate itself is checked by faacEncSetConfiguration.
FaacEncHandle faacEncOpen(unsigned long sampleRate, unsigned int numChannels, unsigned long* inputSamples,
                          unsigned long* maxOutputBytes);
// The handle's record, for the caller to change before faacEncSetConfiguration. Null for a null
// handle.
FaacConfiguration* faacEncGetCurrentConfiguration(FaacEncHandle handle);
// Checks the record and opens the encoder with it. Returns 1, or 0 when the record or the stream
// cannot be encoded (an unsupported sample rate, a bit rate above the frame's capacity, another
// object type or input format, the encoder failing to open, or encoding already begun); the reason
// is then in faacEncGetLastError.
int faacEncSetConfiguration(FaacEncHandle handle, const FaacConfiguration* config);
// Encodes `samplesInput` interleaved samples (all channels counted; at most inputSamples and a
// multiple of the channel count). A full frame is the normal case; fewer samples end the stream
// with a short last frame, after which only 0-sample calls are accepted. A call with 0 samples
// drains the encoder: repeat it until it returns 0. Returns the bytes placed in `output` (0 while
// the encoder holds the frame back), or -1 on an error (reason in faacEncGetLastError). An
// unconfigured handle is configured from its record on the first call.
int faacEncEncode(FaacEncHandle handle, const int16_t* input, unsigned int samplesInput, uint8_t* output,
                  unsigned int bufferSize);
// Releases the handle (null is allowed). Returns 1.
int faacEncClose(FaacEncHandle handle);
// The AudioSpecificConfig for a container (2 or more bytes). Returns 1, or 0 before a successful
// faacEncSetConfiguration.
int faacEncGetDecoderSpecificInfo(FaacEncHandle handle, std::vector<uint8_t>& info);
// Why the last failed call on this handle failed.
const std::string& faacEncGetLastError(FaacEncHandle handle);

struct FaacEncCloser {
    void operator()(FaacEncoder* handle) const { faacEncClose(handle); }
};
using FaacEncPtr = std::unique_ptr<FaacEncoder, FaacEncCloser>;

}  // namespace sonavert
