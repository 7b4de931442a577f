#pragma once
#include <cstdint>
#include <string>

#include "base/AudioLimits.h"
#include "tags/TagRecord.h"

namespace sonavert {

// Largest number of frames one Read delivers. Callers size each plane for exactly this many samples.
inline constexpr uint32_t kBlockFrames = 1152;

// Largest channel count the wide read delivers.
inline constexpr uint32_t kMaxWideChannels = 8;

// What the wide read delivers: every stored channel, interleaved.
struct WideFormat {
    uint32_t channels = 0;     // 0 before Open, else 1..kMaxWideChannels
    uint64_t channelMask = 0;  // speaker positions in WAVE_FORMAT_EXTENSIBLE bit order, 0 unknown
    uint32_t bits = 16;        // significant bits of the stored samples
    bool isFloat = false;      // the file stores floating-point samples
};

// MPEG channel modes reported by GetChannelMode.
enum ChannelMode : int32_t {
    kModeStereo = 0,
    kModeJointStereo = 1,
    kModeDualChannel = 2,
    kModeSingleChannel = 3,
    kModeNone = 4,
};

// One opened input file, decoded to planar PCM. Readers refuse a file whose sample rate is not
// UsableSampleRate (base/AudioLimits.h), so the next decoder gets its turn.
//
// PCM convention of Read: the caller passes a left and a right plane of kBlockFrames samples each.
// At 16 bits the samples are signed native-endian int16_t, at 8 bits unsigned bytes centred on 128.
// A mono source writes only the left plane (the right one may be null); a source with more than two
// channels delivers its stereo downmix by the file's speaker layout (base/Downmix.h), or its first
// channel where the format knows no layout. Read returns the frames delivered, 0 at the end or on
// failure.
//
// Length and position share one unit chosen by each source; position starts at 0 after Open and
// reaches length at the natural end of the stream.
class AudioSource {
public:
    AudioSource() = default;
    AudioSource(const AudioSource&) = delete;
    AudioSource& operator=(const AudioSource&) = delete;
    virtual ~AudioSource() = default;

    virtual void Close() = 0;
    // renderRate matters only to sources that synthesise sound (tracker modules, MIDI); 0 = default.
    virtual int Open(const std::string& path, uint32_t renderRate) = 0;
    virtual uint32_t Read(void* left, void* right) = 0;

    // The second read, for families that store more than two channels, more than 16 bits or
    // floating-point samples: up to kBlockFrames frames of GetWideFormat().channels interleaved
    // doubles (integer samples divided by 2^(bits-1), so every integer sample up to 32 bits and
    // every float sample comes through exactly). The caller passes room for kBlockFrames *
    // kMaxWideChannels values. A source uses one of the two reads for its whole life. The
    // defaults widen Read's planes (mono or stereo, 8 or 16 bits) for sources that hold nothing
    // wider.
    virtual WideFormat GetWideFormat();
    virtual uint32_t ReadWide(double* interleaved);

    virtual uint64_t GetLength() { return length; }
    virtual uint64_t GetPosition() { return position; }
    virtual int32_t GetDuration() { return duration; }
    virtual uint32_t GetStoredChannels() { return storedChannels; }
    virtual uint32_t GetChannels() { return channels; }
    virtual uint32_t GetSampleRate() { return sampleRate; }
    virtual uint32_t GetBitsPerSample() { return bitsPerSample; }
    virtual int32_t GetChannelMode() { return channelMode; }
    virtual uint32_t GetBitRate() { return bitRate; }

    // Raw ID3 blocks owned by the source (MP3 sources), or null.
    virtual const uint8_t* GetID3v1Block() { return nullptr; }
    virtual const uint8_t* GetID3v2Block(uint32_t* size) {
        if (size) *size = 0;
        return nullptr;
    }
    // Fills the record and returns 1 when the source had tags; 0 leaves the record untouched.
    virtual int ReadTags(TagRecord& /*tags*/) { return 0; }

    virtual void GetVideoSize(int32_t* width, int32_t* height) {
        if (width) *width = videoWidth;
        if (height) *height = videoHeight;
    }
    virtual double GetVideoFrameRate() { return videoFrameRate; }
    // False for an open source that found no audio stream in its file (only the probe of the
    // file list can open such a file, for its picture size).
    virtual bool HasAudioStream() { return true; }
    // True when the file itself states that it holds no audio (a WAV whose data chunk is empty).
    // A source that delivers no sample without saying so was damaged or cut short. False when the
    // stated length is unknown.
    virtual bool StatesNoAudio() { return false; }
    // Why Open refused a file it recognised as its own (a rendered file claiming to play longer
    // than the bound); empty when it did not, or when the file simply was not its kind. No other
    // decoder is tried for a file refused with a reason.
    virtual std::string RefusalReason() { return {}; }
    // After the end was reached: why what was decoded is not the file's sound (a MIDI file whose
    // notes rendered silent); empty when nothing speaks against it.
    virtual std::string DecodeFailure() { return {}; }
    // The playing time in seconds when the file states it as a sample count (FLAC STREAMINFO, a
    // WAV data size, AIFF frames, an MP3 frame count), 0 when the length is estimated or unknown.
    // A decode that ends well short of a stated length lost part of the file.
    virtual double StatedSeconds() { return 0; }

protected:
    // Puts every format field back to its default: channel mode 4, everything else 0.
    void ResetFormat();

    uint64_t length = 0;
    uint64_t position = 0;
    int32_t duration = 0;
    uint32_t sampleRate = 0;
    uint32_t storedChannels = 0;
    uint32_t channels = 0;
    uint32_t bitsPerSample = 0;
    uint32_t bytesPerSample = 0;
    uint32_t bitRate = 0;
    int32_t channelMode = kModeNone;
    int32_t videoWidth = 0;
    int32_t videoHeight = 0;
    double videoFrameRate = 0.0;
};

}  // namespace sonavert
