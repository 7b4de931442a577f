#pragma once
// MPEG audio frame headers and ID3 tags as tests see them on disk.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace testutil {

struct Mp3Frame {
    size_t offset = 0;
    size_t length = 0;
    int version = 0;  // 10 MPEG-1, 20 MPEG-2, 25 MPEG-2.5
    int kbps = 0;
    int rate = 0;
    int mode = 0;     // 0 stereo, 1 joint stereo, 2 dual channel, 3 mono
};

// Layer III frames laid end to end from `start` up to `end`; stops at the first byte run that is not
// a valid frame header or a frame that would run past `end`.
std::vector<Mp3Frame> ParseMp3Frames(const std::vector<uint8_t>& bytes, size_t start, size_t end);

// The frames of an ID3v2.3/2.4 tag in order: id and raw content (after the 10-byte frame header).
std::vector<std::pair<std::string, std::vector<uint8_t>>> Id3v2Frames(const std::vector<uint8_t>& tag);

// Format tags as ffprobe reports them (keys in lower case).
std::map<std::string, std::string> FfprobeTags(const std::string& path);

}  // namespace testutil
