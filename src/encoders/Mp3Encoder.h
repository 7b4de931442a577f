#pragma once
// Constant-bit-rate MPEG layer III writer over LAME. The file is laid out as
// [ID3v2 block] [Info frame] frames [flushed frames] [128-byte ID3v1 block]; both tag blocks are
// optional and handed over already rendered.
#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "encoders/Mp3InfoFrame.h"

struct lame_global_struct;

namespace sonavert {

// Output sample rates MPEG audio layer III can carry, ascending.
inline constexpr std::array<uint32_t, 9> kMp3SampleRates = {8000,  11025, 12000, 16000, 22050,
                                                            24000, 32000, 44100, 48000};
// Bit rates (kbps) offered for MP3 output, ascending.
inline constexpr std::array<uint32_t, 18> kMp3BitRates = {8,   16,  24,  32,  40,  48,
                                                          56,  64,  80,  96,  112, 128,
                                                          144, 160, 192, 224, 256, 320};

class Mp3Encoder {
public:
    // Size of the buffer every encode and flush call writes into.
    static constexpr size_t kOutputBufferBytes = 0x24000;
    static constexpr size_t kId3v1Bytes = 128;

    Mp3Encoder();
    Mp3Encoder(const Mp3Encoder&) = delete;
    Mp3Encoder& operator=(const Mp3Encoder&) = delete;
    // Finishes a file that is still open.
    virtual ~Mp3Encoder();

    // Finishes anything still open, creates (truncates) `path` and makes a LAME context. Returns 1
    // when both exist; 0 when the file cannot be created (no context is made then) or LAME fails.
    int Open(const std::string& path);

    // Keep copies of the rendered tag blocks: exactly 128 bytes for ID3v1, `size` bytes for ID3v2.
    // A null block drops an earlier one.
    void SetID3v1Tag(const uint8_t* block);
    void SetID3v2Tag(const uint8_t* block, uint32_t size);

    // Stream parameters; they take effect at Start. Ignored while no file is open.
    void SetInputSampleRate(uint32_t rate);
    // Below 1 becomes 1, above 2 becomes 2.
    void SetChannels(int channels);
    // LAME's mode numbers: 0 stereo, 1 joint stereo, 3 mono; any other value becomes 0.
    void SetChannelMode(int mode);
    void SetOutputSampleRate(uint32_t rate);
    // kbps, clamped to 8..320.
    void SetBitRate(int kbps);

    // Constant bit rate with an Info frame (encoder delay and padding) ahead of the audio. Applies
    // the parameters and writes the ID3v2 block ahead of the first frame. Returns 0 when LAME rejects the parameters or the tag cannot be written.
    int Start();
    // The same, writing `id3v2` (`size` bytes) instead of a kept ID3v2 block: a block too large to
    // copy is written straight from where its owner holds it.
    int Start(const uint8_t* id3v2, uint32_t size);

    // Encodes `count` samples per channel of signed 16-bit planar audio (the right plane is not
    // read for one channel). Returns 1 when everything LAME produced reached the file, 0 on an
    // encoder error, a short write, or when the encoder is not started.
    int EncodeBlock(const int16_t* left, const int16_t* right, uint32_t count);

    // Flushes the last frames, appends the ID3v1 block, fills in the Info frame, closes the file and
    // releases the context and both tags. Safe to call repeatedly. Returns 0 when anything written since Open (here or
    // in an earlier call) failed to reach the file, 1 otherwise (also when nothing was open).
    int Finish();

    bool IsOpen() const { return file_ != nullptr; }
    const std::string& GetPath() const { return path_; }

    // Why the last operation failed ("No space left on device", ...).
    const std::string& FailureReason() const { return failure_; }

private:
    bool WriteAll(const uint8_t* data, size_t size);
    int Fail(const std::string& reason);
    // Writes an audio frame's bytes, keeping the count and checksum an Info frame of our own needs.
    bool WriteAudio(const uint8_t* data, size_t size);
    // The stream's facts for an Info frame of our own (counts, delay and padding left at 0).
    InfoFrameFacts InfoFacts() const;
    // Writes the finished Info frame (LAME's, or our own where LAME has none) over the placeholder
    // that follows the ID3v2 block.
    void WriteInfoFrame();

    std::string path_;
    std::FILE* file_ = nullptr;
    lame_global_struct* lame_ = nullptr;
    bool started_ = false;
    long infoFrameOffset_ = 0;  // where the placeholder frame starts: right after the ID3v2 block
    bool ownInfoFrame_ = false; // LAME drops its tag frame for this stream: ours stands in for it
    uint16_t musicCrc_ = 0;     // over the audio frames, for our own Info frame
    uint64_t audioBytes_ = 0;
    bool failed_ = false;
    std::string failure_;
    std::vector<uint8_t> output_;  // kOutputBufferBytes, reused for every call
    bool hasId3v1_ = false;
    std::array<uint8_t, kId3v1Bytes> id3v1_{};
    std::vector<uint8_t> id3v2_;
};

}  // namespace sonavert
