#pragma once
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "sources/AudioSource.h"
#include "sources/G72x.h"

namespace sonavert {

// Decoder of Sun/NeXT audio files (".au", ".snd") in either byte order: G.711 mu-law and A-law,
// linear PCM of 8, 16, 24 and 32 bits, 32- and 64-bit floats, G.721 and G.723 (3- and 5-bit) ADPCM.
// Always delivers signed 16-bit samples; files of more than two channels deliver their first channel
// as mono. The wide read delivers linear PCM and floats of up to eight channels as stored (the
// format names no speakers: the mask is 0); the companded and ADPCM encodings widen the 16-bit read.
//
// Length and position are bytes of the data area.
class AuReader : public AudioSource {
public:
    static constexpr size_t kReadBufferBytes = 8u << 20;
    static constexpr size_t kHeaderBytes = 120;
    // Channel counts above this are refused: one block of them would not fit the read buffer.
    static constexpr uint32_t kMaxChannels = 256;

    AuReader();
    ~AuReader() override;

    void Close() override;
    int Open(const std::string& path, uint32_t renderRate) override;
    uint32_t Read(void* left, void* right) override;
    WideFormat GetWideFormat() override;
    uint32_t ReadWide(double* interleaved) override;

    // Opens an already opened stream (for example one made by fmemopen). The reader takes ownership
    // and closes the stream in every case.
    int OpenStream(std::FILE* stream);

    uint32_t GetEncoding() const { return encoding_; }

    // The header's data size is 0 (all bits set means "unknown", not empty).
    bool StatesNoAudio() override { return file_ && statedEmpty_; }

private:
    struct FileCloser {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };

    bool ReadHeader();
    int16_t Convert(const uint8_t* p) const;
    // Linear PCM or floats in at most eight channels, which the wide read delivers as stored.
    bool WideSamples() const;
    double ConvertWide(const uint8_t* p) const;
    uint32_t ReadAdpcm(int16_t* left, int16_t* right, size_t got);

    std::unique_ptr<std::FILE, FileCloser> file_;
    uint8_t header_[kHeaderBytes] = {};
    std::unique_ptr<uint8_t[]> buffer_;
    bool bigEndian_ = true;
    uint32_t encoding_ = 0;
    uint32_t codedBits_ = 0;  // bits of one coded sample (the code width for ADPCM)
    uint32_t dataOffset_ = 0;
    uint32_t fileChannels_ = 0;  // the channel count of the file (0 counted as 1)
    bool adpcm_ = false;
    bool statedEmpty_ = false;
    G72xDecoder g72x_;
    uint32_t pendingBits_ = 0;
    int pendingCount_ = 0;
};

}  // namespace sonavert
