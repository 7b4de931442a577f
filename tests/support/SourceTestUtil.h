#pragma once
// Helpers for decoder tests: reading a source to its end under the plane contract, building files
// byte by byte, and reference decodes by libsndfile (through python3-soundfile and
// sndfile-convert) and sox.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "sources/AudioSource.h"
#include "support/TestUtil.h"

namespace testutil {

// Writes `bytes` as `name` in `dir` and returns its path.
std::string WriteTestFile(const TempDir& dir, const std::string& name, const std::vector<uint8_t>& bytes);

// ffmpeg's decode of `path` in the raw sample format `fmt` ("s16le", "f32le", ...).
template <typename T>
std::vector<T> FfmpegDecodeAs(const std::string& path, const char* fmt) {
    std::string out;
    Run("ffmpeg -v error -nostdin -i " + Quote(path) + " -f " + fmt + " -", &out);
    std::vector<T> all(out.size() / sizeof(T));
    std::memcpy(all.data(), out.data(), all.size() * sizeof(T));
    return all;
}

struct DecodedSource {
    std::vector<int16_t> samples;  // interleaved, GetChannels() per frame; 8-bit bytes widened
    std::vector<uint32_t> blockSizes;
};

// Reads `source` to the end. Checks on the way: no block above 1152 frames, mono never touches the
// right plane, the position never passes the length.
DecodedSource ReadSource(sonavert::AudioSource& source);

// Bytes in big-endian (AIFF, AU) or little-endian order.
struct ByteBuilder {
    std::vector<uint8_t> b;
    bool little = false;
    ByteBuilder& tag(const char* t) {
        b.insert(b.end(), t, t + 4);
        return *this;
    }
    ByteBuilder& u8(uint8_t v) {
        b.push_back(v);
        return *this;
    }
    ByteBuilder& u16(uint16_t v) {
        return little ? u8(v & 0xFF).u8(v >> 8) : u8(v >> 8).u8(v & 0xFF);
    }
    ByteBuilder& u32(uint32_t v) {
        return little ? u16(v & 0xFFFF).u16(v >> 16) : u16(v >> 16).u16(v & 0xFFFF);
    }
    ByteBuilder& raw(const std::vector<uint8_t>& v) {
        b.insert(b.end(), v.begin(), v.end());
        return *this;
    }
    // An IFF chunk with its pad byte (big-endian size).
    ByteBuilder& chunk(const char* id, const std::vector<uint8_t>& body) {
        tag(id).u32(static_cast<uint32_t>(body.size())).raw(body);
        if (body.size() & 1) u8(0);
        return *this;
    }
};

// libsndfile's decode of a file as 16-bit samples (python3-soundfile), all channels interleaved.
std::vector<int16_t> SndfileDecodeS16(const std::string& path);
// libsndfile's decode of a file through sndfile-convert to 32-bit PCM, all channels interleaved
// (for codings libsndfile cannot seek in, such as DWVW).
std::vector<int32_t> SndfileConvertS32(const std::string& path);
// Writes `samples` (one channel, -1..1) with libsndfile in the given format and subtype.
bool SndfileWrite(const std::string& path, const std::vector<double>& samples, int rate, const char* format,
                  const char* subtype);
// sox's decode of a file as 16-bit samples.
std::vector<int16_t> SoxDecodeS16(const std::string& path);

}  // namespace testutil
