#pragma once
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "base/Downmix.h"
#include "sources/AudioSource.h"
#include "sources/G72x.h"  // the G.711 expansions

struct gsm_state;

namespace sonavert {

// Block decoder of one ADPCM flavour. Decode turns one block of exactly `blockAlign` bytes into
// samplesPerBlock x channels interleaved 16-bit values; it returns false when the block cannot be
// decoded (the stream then ends).
class AdpcmDecoder {
public:
    virtual ~AdpcmDecoder() = default;
    virtual bool Decode(const uint8_t* block, int16_t* out) const = 0;
    uint16_t GetSamplesPerBlock() const { return samplesPerBlock_; }

protected:
    uint16_t channels_ = 0;
    uint16_t blockAlign_ = 0;
    uint16_t samplesPerBlock_ = 0;
};

// Microsoft ADPCM with the coefficient pairs of the file's own format block.
class MsAdpcmDecoder : public AdpcmDecoder {
public:
    // `format` is the whole format block: 16-byte base format, cbSize, samples per block,
    // coefficient count and the coefficient pairs.
    explicit MsAdpcmDecoder(std::vector<uint8_t> format);
    bool Decode(const uint8_t* block, int16_t* out) const override;
    uint16_t GetCoefficientCount() const { return coefficientCount_; }

private:
    std::vector<uint8_t> format_;
    uint16_t coefficientCount_ = 0;
    int32_t Coefficient(uint32_t pair, uint32_t which) const;
};

// IMA/DVI ADPCM in the WAV block layout.
class ImaAdpcmDecoder : public AdpcmDecoder {
public:
    // `format` is the 20-byte block: 16-byte base format, cbSize, samples per block.
    explicit ImaAdpcmDecoder(std::vector<uint8_t> format);
    bool Decode(const uint8_t* block, int16_t* out) const override;
    // The same coding in Apple's IMA4 layout (AIFF-C): the block is one 34-byte packet per channel,
    // each a 2-byte header (predictor in the top 9 bits, step index in the low 7) and 32 bytes of
    // 64 codes, low nibble first. Writes 64 x channels interleaved values.
    bool DecodeAppleIma4(const uint8_t* block, int16_t* out) const;

private:
    std::vector<uint8_t> format_;
};

// Decoder of RIFF WAVE files: integer PCM of 8/16/24/32 bits, IEEE float 32/64, extensible PCM or
// float, G.711 A-law and mu-law, Microsoft ADPCM, IMA ADPCM and GSM 06.10 (WAV49 framing).
//
// Length and position are bytes of the "data" chunk. 8-bit PCM is delivered as its unsigned bytes,
// everything else as signed 16-bit samples. More than two channels are delivered as their stereo
// downmix (base/Downmix.h), by the extensible header's channel mask or the usual WAVE order. The
// wide read delivers integer PCM and float files as stored: every channel, all their bits, the
// channel mask; the companded and ADPCM formats widen the 16-bit read.
class WavReader : public AudioSource {
public:
    WavReader() = default;
    ~WavReader() override;

    void Close() override;
    int Open(const std::string& path, uint32_t renderRate) override;
    uint32_t Read(void* left, void* right) override;
    WideFormat GetWideFormat() override;
    uint32_t ReadWide(double* interleaved) override;

    // Opens an already opened stream (for example one made by fmemopen). The reader takes ownership
    // and closes the stream in every case.
    int OpenStream(std::FILE* stream);

    // The "data" chunk is empty (a size of 0 with nothing after it counts as empty too).
    bool StatesNoAudio() override { return file_ && length == 0; }
    // The data chunk's size, when the header gives one, states the length.
    double StatedSeconds() override { return statedSeconds_; }

private:
    using Routine = uint32_t (WavReader::*)(void*, void*);
    struct FileCloser {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    struct GsmDestroyer {
        void operator()(gsm_state* g) const;
    };

    int Walk();
    bool ParseFormat(uint32_t chunkSize);
    bool Resynchronise();
    bool ChooseRoutine();
    void DeriveValues();

    // Reads the next uncompressed request into `target`; returns the bytes read, 0 at the end.
    size_t ReadRequest(uint8_t* target);
    // Pads the bytes beyond `got` up to the end of the last (partial) frame with silence and
    // returns the number of frames in the request.
    uint32_t CompleteFrames(uint8_t* target, size_t got, uint32_t sampleBytes, uint8_t silence);

    double statedSeconds_ = 0;
    bool sizeStated_ = false;

    uint32_t ReadPcm8(void* left, void* right);
    uint32_t ReadPcm16(void* left, void* right);
    uint32_t ReadPcm24(void* left, void* right);
    uint32_t ReadPcm32(void* left, void* right);
    uint32_t ReadFloat32(void* left, void* right);
    uint32_t ReadFloat64(void* left, void* right);
    uint32_t ReadG711(void* left, void* right);
    uint32_t ReadCompressed(void* left, void* right);
    bool DecodeNextBlock();
    uint32_t Deliver(int16_t* left, int16_t* right, uint32_t done);

    std::unique_ptr<std::FILE, FileCloser> file_;
    uint16_t formatTag_ = 0;
    uint16_t storedBits_ = 0;
    uint16_t blockAlign_ = 0;
    bool formatSeen_ = false;
    bool floatSamples_ = false;  // the extensible sub-format or the tag says IEEE float
    bool failed_ = false;        // a decode error ended the stream
    Routine routine_ = nullptr;
    int16_t (*expand_)(uint8_t) = nullptr;
    std::unique_ptr<AdpcmDecoder> adpcm_;
    std::unique_ptr<gsm_state, GsmDestroyer> gsm_;
    std::vector<uint8_t> raw_;    // one read unit
    uint32_t readUnit_ = 0;
    uint32_t channelMask_ = 0;  // of an extensible header; 0 = none stated
    uint16_t validBits_ = 0;    // of an extensible header; 0 = none stated
    // Integer PCM or float, whose wide read delivers the stored samples.
    bool WideFrames() const;
    StereoDownmix downmix_;     // frames of more than two channels
    std::vector<int16_t> mixScratch_;
    std::vector<int16_t> block_;  // decoded block (compressed formats)
    uint32_t blockValues_ = 0;
    uint32_t cursor_ = 0;
};

}  // namespace sonavert
