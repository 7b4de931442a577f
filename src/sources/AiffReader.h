#pragma once
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "base/Downmix.h"
#include "sources/AudioSource.h"
#include "tags/TagRecord.h"

struct gsm_state;

namespace sonavert {

class ImaAdpcmDecoder;

// Decoder of AIFF and AIFF-C files: integer PCM of 1 to 32 bits in either byte order, 32- and
// 64-bit floats, G.711 A-law and mu-law, unsigned 8-bit "raw", Apple IMA4 ADPCM (stereo), DWVW of 8
// to 24 bits and GSM 06.10 (mono). The tags of an "ID3 " chunk are read in memory.
//
// Length is the size of the whole file and position the file offset of the next byte to read, so
// progress starts at the data offset. 8-bit PCM and "raw" are delivered as unsigned bytes,
// everything else as signed 16-bit samples. Files of 3, 4 or 6 channels are delivered as their
// stereo downmix by AIFF's channel order (3 L R C, 4 quad, 6 L LC C R RC S). The wide read delivers
// integer PCM, "raw" and float files as stored: every channel (put in WAVE order with its speaker
// mask) and all their bits; the other kinds widen the 16-bit read.
class AiffReader : public AudioSource {
public:
    // The work buffer that holds chunk headers, the "COMM" body, an "ID3 " chunk and raw samples.
    static constexpr size_t kWorkBytes = 8u << 20;

    AiffReader();
    ~AiffReader() override;

    void Close() override;
    int Open(const std::string& path, uint32_t renderRate) override;
    uint32_t Read(void* left, void* right) override;
    WideFormat GetWideFormat() override;
    uint32_t ReadWide(double* interleaved) override;
    int ReadTags(TagRecord& tags) override;

    // Opens an already opened stream (for example one made by fmemopen). The reader takes ownership
    // and closes the stream in every case.
    int OpenStream(std::FILE* stream);

    // The sample frame count the reader derived (for IMA4 and GSM from the data size).
    uint64_t GetFrames() const { return frames_; }
    // The "COMM" frame count states the length.
    double StatedSeconds() override {
        return framesKnown_ && sampleRate ? static_cast<double>(frames_) / sampleRate : 0;
    }

    // The "SSND" chunk holds no sample bytes.
    bool StatesNoAudio() override { return file_ && dataBytes_ == 0; }

private:
    enum class Kind { None, Pcm, MuLaw, ALaw, Float32, Float64, Ima4, Raw, Gsm, Dwvw };
    using Routine = uint32_t (AiffReader::*)(void*, void*);
    struct FileCloser {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    struct GsmDestroyer {
        void operator()(gsm_state* g) const;
    };

    bool Walk();
    // Integer PCM, "raw" or floats: kinds whose wide read delivers the stored samples.
    bool StoredSamples() const;
    bool ParseComm(const uint8_t* body, bool aifc);
    bool Prepare();

    // Reads the next request of at most `unit` bytes into the work buffer; returns the whole frames
    // it holds (0 at the end or on a failed read).
    uint32_t ReadFrames(size_t unit);
    uint32_t ReadPcm8(void* left, void* right);
    uint32_t ReadRaw(void* left, void* right);
    uint32_t ReadPcm16(void* left, void* right);
    uint32_t ReadPcm24(void* left, void* right);
    uint32_t ReadPcm32(void* left, void* right);
    uint32_t ReadFloat32(void* left, void* right);
    uint32_t ReadFloat64(void* left, void* right);
    uint32_t ReadG711(void* left, void* right);
    uint32_t ReadIma4(void* left, void* right);
    uint32_t ReadGsm(void* left, void* right);
    uint32_t ReadDwvw(void* left, void* right);
    template <typename Convert>
    uint32_t Spread16(uint32_t frames, uint32_t sampleBytes, void* left, void* right, Convert convert);

    // DWVW bit reservoir: takes `count` bits (at most 25), most significant first; false at the end.
    bool DwvwBits(int count, uint32_t& out);

    std::unique_ptr<std::FILE, FileCloser> file_;
    std::unique_ptr<uint8_t[]> work_;
    TagRecord tags_;
    uint64_t frames_ = 0;
    bool framesKnown_ = false;  // the "COMM" frame count was neither 0 nor all bits set
    uint32_t sampleBits_ = 0;   // sample size in bits (from "COMM", or fixed by the kind)
    uint32_t sampleBytes_ = 0;  // bytes per stored sample
    Kind kind_ = Kind::None;
    bool littleEndian_ = false;
    bool commSeen_ = false;
    bool ssndSeen_ = false;
    uint32_t rightIndex_ = 0;  // index of the right channel within a stored frame
    StereoDownmix downmix_;    // frames of more than two channels
    std::vector<int16_t> mix16_;
    std::vector<uint8_t> mix8_;
    uint64_t dataStart_ = 0;
    uint64_t dataBytes_ = 0;
    uint64_t remaining_ = 0;
    Routine routine_ = nullptr;
    int16_t (*expand_)(uint8_t) = nullptr;

    std::unique_ptr<ImaAdpcmDecoder> ima_;
    std::unique_ptr<gsm_state, GsmDestroyer> gsm_;
    std::vector<int16_t> gsmOut_;

    struct DwvwState {
        int bitWidth = 0;
        int dwmMax = 0;
        int32_t maxDelta = 0;
        int32_t span = 0;
        int lastWidth = 0;
        int32_t lastSample = 0;
        uint64_t bits = 0;  // pending bits, the oldest highest
        int bitCount = 0;
        uint32_t inIndex = 0, inEnd = 0;  // bytes of the 256-byte input block
        uint64_t samplesLeft = 0;         // samples the "COMM" frame count still allows
        uint8_t in[256] = {};
    } dwvw_;
    std::vector<int32_t> dwvwOut_;
};

}  // namespace sonavert
