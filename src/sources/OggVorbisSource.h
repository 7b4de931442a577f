#pragma once
// Decoder of Ogg Vorbis files over libvorbisfile, with the file's Vorbis comments as tags.
//
// Length and position are in samples per channel (the decoder's PCM positions). Samples are
// delivered as signed 16-bit. A stream of more than two channels delivers its front left and front
// right channels (Vorbis channel order: index 0 and index 2 for 3, 5, 6, 7 and 8 channels, index 1
// for 4; nine or more channels have no defined order and give indexes 0 and 1).
#include <vorbis/vorbisfile.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "sources/AudioSource.h"

namespace sonavert {

class OggVorbisSource : public AudioSource {
public:
    // Consecutive failed reads (holes, decoder errors) after which the stream counts as ended.
    static constexpr int kMaxConsecutiveHoles = 64;
    static constexpr size_t kScratchBytes = 4096;

    OggVorbisSource() = default;
    ~OggVorbisSource() override;

    void Close() override;
    // Fails (0) for anything libvorbisfile cannot open as Vorbis, such as an Ogg file holding Opus
    // or FLAC: the factory then tries the next decoder. renderRate is ignored.
    int Open(const std::string& path, uint32_t renderRate) override;
    uint32_t Read(void* left, void* right) override;
    uint64_t GetPosition() override;
    // The stream's stated sample count is 0 (an unseekable stream's is unknown).
    bool StatesNoAudio() override { return open_ && statedEmpty_; }
    // TITLE, ARTIST, ALBUM, DATE, GENRE, COMMENT, TRACKNUMBER, COMPOSER, COPYRIGHT, keys compared
    // without regard to case; the last matching comment wins; a field without one is empty.
    // Returns 1 always (when open).
    int ReadTags(TagRecord& tags) override;

    // The file's comments as kept at Open: valid UTF-8 whole, in file order; others dropped.
    const std::vector<std::string>& Comments() const { return comments_; }

    // Index of the channel delivered as the right one for a stream of `channels` channels.
    static uint32_t RightChannelIndex(uint32_t channels);

private:
    // One ov_read into `target`, repeated over holes up to the bound; returns the bytes read, 0 at
    // the end or after too many failures in a row. `linkChannels` receives the channel count of the
    // link the bytes came from.
    long ReadBytes(char* target, int bytes, uint32_t& linkChannels);

    OggVorbis_File file_{};
    bool open_ = false;
    bool ended_ = false;
    bool statedEmpty_ = false;
    std::vector<std::string> comments_;
    // Interleaved samples of one read for sources of two or more channels. A later link of a
    // chained file may have fewer channels than the first: frames beyond one block then wait here
    // for the next Read.
    std::array<int16_t, kScratchBytes / 2> scratch_{};
    uint32_t scratchFrames_ = 0;    // frames held
    uint32_t scratchNext_ = 0;      // first frame not yet delivered
    uint32_t scratchChannels_ = 0;  // channels of the held frames
};

}  // namespace sonavert
