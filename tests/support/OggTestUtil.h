#pragma once
// Ogg pages and Vorbis headers as tests see them on disk, an independent comment reader, and a
// writer of Vorbis files straight over libvorbisenc (any channel count, raw comments, damaged
// stretches) for testing decoders.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace testutil {

struct OggPage {
    size_t offset = 0;
    size_t length = 0;  // header and body
    uint8_t flags = 0;  // 1 continued packet, 2 beginning of stream, 4 end of stream
    int64_t granule = 0;
    uint32_t serial = 0;
    uint32_t sequence = 0;
    bool crcOk = false;
    std::vector<uint8_t> lacing;
    std::vector<uint8_t> body;
    // Packets that end on this page (a lacing value below 255 ends one).
    int PacketsEnded() const;
    bool EndsWithCompletePacket() const { return !lacing.empty() && lacing.back() < 255; }
};

// Pages laid end to end from the start of `bytes`; stops at the first byte run that is not a page.
std::vector<OggPage> ParseOggPages(const std::vector<uint8_t>& bytes);

// Recomputes the CRC of the page that starts at `pageOffset` (after a test changed its bytes).
void FixOggPageCrc(std::vector<uint8_t>& bytes, size_t pageOffset);

// The fields of the Vorbis identification header (the first packet of the first page).
struct VorbisIdHeader {
    bool ok = false;
    int channels = 0;
    uint32_t rate = 0;
    int32_t maximum = 0, nominal = 0, minimum = 0;
};
VorbisIdHeader ReadVorbisIdHeader(const std::vector<uint8_t>& bytes);

// The comments of an Ogg Vorbis file as `vorbiscomment -l -R` lists them (raw UTF-8), one entry a
// line, in file order. `ok` is false when the tool failed.
std::vector<std::string> VorbisCommentList(const std::string& path, bool* ok = nullptr);

struct VorbisFileOptions {
    float quality = 0.3f;
    // Raw comment texts ("KEY=value"), in order; any bytes but NUL.
    std::vector<std::string> comments;
    // Drops this audio page (counted from 0 after the header pages): one hole in the stream.
    int dropAudioPage = -1;
    // After `junkAfterPackets` audio packets, a packet of `junkBytes` bytes that is no audio, split
    // over pages of which every second one is left out: one hole per page that remains.
    size_t junkBytes = 0;
    int junkAfterPackets = 0;
};

// Writes interleaved 16-bit samples of `channels` channels (in Vorbis channel order) as an Ogg
// Vorbis file through libvorbisenc's quality mode. Returns false on any failure.
bool WriteVorbisFile(const std::string& path, const std::vector<int16_t>& interleaved, int channels, int rate,
                     const VorbisFileOptions& options = {});

}  // namespace testutil
