#pragma once
// The Info frame of a constant-bit-rate MP3 stream, for streams whose own frames are too small to
// hold LAME's: one frame ahead of the audio at a larger bit rate, laid out as LAME lays out its
// tag (Info header, frame and byte counts, seek table, then the LAME extension with the encoder
// delay and padding), so decoders trim the delay and the last frame's padding.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace sonavert {

// CRC-16 with polynomial 0x8005 (reflected), initial value 0: the checksum of the LAME extension.
uint16_t Crc16Update(uint16_t crc, const uint8_t* data, size_t size);

// Whether LAME writes no tag frame of its own for a constant-bit-rate stream: its tag frame takes
// the stream's bit rate and is dropped when that frame cannot hold the tag.
bool LameDropsItsInfoFrame(int outRate, int kbps, int channels);

struct InfoFrameFacts {
    int outRate = 0;          // Hz: one of the nine MPEG rates
    int kbps = 0;             // the stream's constant bit rate
    int channels = 1;         // 1 or 2
    bool jointStereo = false;
    uint32_t frames = 0;      // audio frames after this one
    uint32_t streamBytes = 0; // this frame and every audio frame
    int encoderDelay = 0;     // samples
    int padding = 0;          // samples
    int lowpassHz = 0;
    uint16_t musicCrc = 0;    // Crc16Update over every audio frame's bytes
    const char* encoder = ""; // up to nine characters, e.g. "LAME3.100"
};

// The smallest frame of the stream's version and mode that holds the tag; its size is the same
// for every call with the same rate, bit rate and channels, so a placeholder of this size can be
// reserved before the audio and filled in afterwards. Empty for a rate MPEG does not have.
std::vector<uint8_t> BuildInfoFrame(const InfoFrameFacts& facts);

}  // namespace sonavert
