#pragma once
// Decodes a whole file at its full resolution through FFmpeg's demuxer and decoder, independent of
// any encoder state: the check of a written target reads it back this way.
#include <cstdint>
#include <functional>
#include <string>

namespace sonavert {

class GrowingFile;

// A run of decoded frames, interleaved. `stored` holds each sample as the file keeps it: integer
// samples left-justified in 32 bits (an 8-bit sample's offset removed, a 24-bit one shifted up
// by 8), floating-point samples as the bits of their 32-bit float. `values` holds the same
// samples scaled to [-1, 1] (integers divided by 2^31).
struct DecodedBlock {
    const int32_t* stored = nullptr;
    const double* values = nullptr;
    uint32_t frames = 0;
    uint32_t channels = 0;
};

// What the decode found.
struct DecodedStream {
    uint32_t rate = 0;
    uint32_t channels = 0;
    bool isFloat = false;
    // The container trims the codec's delay and padding (gapless information), so the decoded
    // length is the encoded one.
    bool trimmed = false;
    uint64_t frames = 0;
    // A packet failed to decode (it was skipped and the decode went on); `damagedAt` is the
    // number of frames decoded before the first such packet.
    bool damaged = false;
    uint64_t damagedAt = 0;
};

// Hands every decoded frame of the first audio stream of `path` to `take` (which returns false to
// stop: the decode then ends with `reason` "cancelled"). Returns false with `reason` set when the
// file cannot be opened, holds no audio stream or the format changes on the way; packets that
// fail to decode are skipped and marked in `stream`. Up to `threads` threads decode where the
// codec decodes its frames independently (FLAC, ALAC); `take` is called on the caller's thread.
bool DecodeBack(const std::string& path, const std::function<bool(const DecodedBlock&)>& take, DecodedStream& stream,
                std::string& reason, int threads = 1);

// The bytes a followed decode read from the audio's start (the end of the file's prefix) to the
// end: their count and StreamHash.
struct FollowedBytes {
    uint64_t audioStart = 0;
    uint64_t count = 0;
    uint64_t hash = 0;
};

// DecodeBack of a target while it is written: reads `file` in order as its writer publishes it,
// through the `container` demuxer ("flac", "wav"), to the end of the finished file. A writer that fails
// or a reader that aborts ends it with `reason` set; `bytes` tells what was read once it succeeds.
// The blocks hold the stored samples only (`values` null).
bool DecodeBackFollowing(GrowingFile& file, const char* container, const std::function<bool(const DecodedBlock&)>& take,
                         DecodedStream& stream, FollowedBytes& bytes, std::string& reason);

}  // namespace sonavert
