#pragma once
// Decoder of Ogg Vorbis files over libvorbisfile, with the file's Vorbis comments as tags.
//
// Length and position are in samples per channel at the first link's rate. Samples are delivered
// as signed 16-bit. A stream of more than two channels is delivered as its stereo downmix by the
// Vorbis channel order (base/Downmix.h). Every link of a chained file is delivered at the first
// link's rate (resampled with libsoxr where it differs) and with the first link's delivered
// channel count, so that pitch and length hold across links.
#include <soxr.h>
#include <vorbis/vorbisfile.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/Downmix.h"
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

private:
    struct Link {
        uint32_t rate = 0;
        uint32_t channels = 0;
        uint64_t pcmStart = 0;     // first sample, in the decoder's positions (each link's own rate)
        uint64_t pcmLength = 0;    // samples at the link's own rate
        uint64_t scaledStart = 0;  // first sample at the first link's rate
    };
    struct SoxrDeleter {
        void operator()(soxr* s) const { soxr_delete(s); }
    };

    // One ov_read into `target`, repeated over holes up to the bound; returns the bytes read, 0 at the
    // end or after too many failures in a row. `link` receives the link the bytes came from.
    long ReadBytes(char* target, int bytes, int& link);
    // Decodes more into the queue; false once nothing more will come.
    bool Refill();
    // Sets up the channel mix and the resampler of link `index`.
    bool StartLink(int index);
    // Appends interleaved frames of the delivered channel count at the link's rate to the queue,
    // through the resampler when there is one; null input drains the resampler.
    void Queue(const int16_t* frames, size_t count);
    uint64_t Scaled(const Link& link, uint64_t samples) const;

    OggVorbis_File file_{};
    bool open_ = false;
    bool ended_ = false;
    bool statedEmpty_ = false;
    std::vector<std::string> comments_;
    std::vector<Link> links_;
    int link_ = -1;                // link whose samples are being decoded
    uint32_t linkChannels_ = 0;    // its channel count
    StereoDownmix linkMix_;        // its downmix when it has more than two channels
    std::unique_ptr<soxr, SoxrDeleter> resampler_;  // its resampler when its rate differs
    std::array<int16_t, kScratchBytes / 2> scratch_{};
    std::vector<int16_t> converted_;  // one read at the delivered channel count
    size_t convertedNext_ = 0;        // first frame of it not yet queued
    std::vector<int16_t> queue_;      // interleaved frames ready for Read
    size_t queueNext_ = 0;            // first frame not yet delivered
};

}  // namespace sonavert
