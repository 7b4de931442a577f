#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "base/Downmix.h"
#include "sources/AudioSource.h"

namespace sonavert {

// General-purpose source decoding through the decoding layer (src/sources/bass/): every stream
// format the layer and its loaded add-ons accept, tracker modules and MIDI. Length and position are
// in bytes of decoded PCM. More than two channels are delivered as their stereo downmix
// (base/Downmix.h) by the speaker mask the layer states, or the usual WAVE order.
class BassSource : public AudioSource {
public:
    enum Kind : int { kPlainStream = 0, kMp3Stream = 1, kModule = 2, kMidi = 3 };

    BassSource() = default;
    ~BassSource() override;

    void Close() override;
    int Open(const std::string& path, uint32_t renderRate) override;
    uint32_t Read(void* left, void* right) override;
    // Streams of up to eight channels deliver every channel with the bits the file stores; modules,
    // MIDI and MPEG audio widen the 16-bit read.
    WideFormat GetWideFormat() override;
    uint32_t ReadWide(double* interleaved) override;
    uint64_t GetPosition() override;
    const uint8_t* GetID3v1Block() override;
    const uint8_t* GetID3v2Block(uint32_t* size) override;
    // The file's tag texts (ID3 for MP3 files, the format's own tags otherwise).
    int ReadTags(TagRecord& tags) override;
    std::string RefusalReason() override { return refusal_; }
    std::string DecodeFailure() override;
    double StatedSeconds() override { return statedSeconds_; }

    int GetKind() const { return kind_; }
    uint32_t GetHandle() const { return handle_; }

private:
    void ProbeMpegChannelMode(const std::string& path);

    uint32_t handle_ = 0;
    std::vector<uint8_t> readBuffer_;
    std::vector<uint8_t> id3v1_;
    int kind_ = kPlainStream;
    bool wide_ = false;  // the stream was switched to the wide delivery
    StereoDownmix downmix_;
    std::string path_;
    std::string refusal_;
    double statedSeconds_ = 0;
};

}  // namespace sonavert
