#pragma once
// Raw ID3 blocks of an MP3 file, copied byte for byte (for handing them to the MP3 encoder unchanged).
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sonavert {

inline constexpr size_t kId3v1BlockBytes = 128;
inline constexpr size_t kId3v2HeaderBytes = 10;

// The whole size of an ID3v2 tag from its 10-byte header: the 28-bit synchsafe size plus the
// header, plus 10 more when the header announces a footer. 0 when `header` is not an ID3v2 header
// (wrong magic, unknown major version, a size byte with its top bit set) or is shorter than 10 bytes.
uint32_t Id3v2TagSize(const uint8_t* header, size_t available);

// The 128-byte ID3v1 tag at the end of the file, or an empty vector when there is none.
std::vector<uint8_t> ReadID3v1Block(const std::string& path);
// The ID3v2 tag at the start of the file, whole, or an empty vector when there is none or the file
// is shorter than the tag claims.
std::vector<uint8_t> ReadID3v2Block(const std::string& path);

}  // namespace sonavert
