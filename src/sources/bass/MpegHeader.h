#pragma once
// MPEG audio frame headers and ID3 tag framing, shared by the decoding layer and its callers.
#include <cstddef>
#include <cstdint>

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

}  // namespace sonavert::bass
