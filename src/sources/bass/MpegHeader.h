#pragma once
// MPEG audio frame headers and ID3 tag framing, shared by the decoding layer and its callers.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sonavert::bass {

// Bit rate in kbps of a header's bit-rate index (0 for free format or a reserved combination).
uint32_t MpegBitRate(const uint8_t* header);

// True when the four bytes form an MPEG audio frame header: frame sync, version not reserved,
// layer not reserved, bit-rate index neither 15 nor free format (index 0), sample-rate index not
// reserved.
bool IsValidMpegHeader(const uint8_t* header);

// As IsValidMpegHeader, but free-format headers (bit-rate index 0) pass too.
bool IsMpegSync(const uint8_t* header);

// Length in bytes of the frame a valid header starts (0 for free format).
uint32_t MpegFrameLength(const uint8_t* header);

// Total size (header, body and footer) of the ID3v2 tag whose 10-byte header is given, or 0 when
// the bytes are not an ID3v2 header.
uint32_t Id3v2TagSize(const uint8_t* header);

// File offset of the first MPEG audio frame in `data` (the file's first `size` bytes): after any
// ID3v2 tags and junk. A frame with a computable length counts only when another header of the same
// stream follows it (or the data ends). Returns -1 when none is found.
int64_t FindFirstMpegFrame(const uint8_t* data, size_t size);

// File offset of the first MPEG audio frame of the file at `path` (`fileSize` bytes): stacked
// ID3v2 tags are skipped by their headers, then FindFirstMpegFrame searches a window after them.
// -1 when none is found or the file cannot be read. `tagsEnd`, when given, receives the offset
// just past the ID3v2 tags (0 without tags).
int64_t FirstMpegFrameInFile(const std::string& path, int64_t fileSize, int64_t* tagsEnd = nullptr);

// The raw ID3v2 tag at the start of the file (only when it lies wholly inside the file) and the
// 128-byte ID3v1 tag at its end; each left empty when absent.
void ReadRawId3Tags(const std::string& path, int64_t fileSize, std::vector<uint8_t>& id3v1,
                    std::vector<uint8_t>& id3v2);

}  // namespace sonavert::bass
