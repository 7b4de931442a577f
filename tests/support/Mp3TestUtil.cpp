#include "support/Mp3TestUtil.h"

#include <algorithm>
#include <cctype>
#include <sstream>

#include "support/TestUtil.h"

namespace testutil {

namespace {

constexpr int kBitRatesV1[16] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0};
constexpr int kBitRatesV2[16] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0};
constexpr int kRatesV1[3] = {44100, 48000, 32000};

}  // namespace

std::vector<Mp3Frame> ParseMp3Frames(const std::vector<uint8_t>& b, size_t start, size_t end) {
    std::vector<Mp3Frame> frames;
    end = std::min(end, b.size());
    size_t at = start;
    while (at + 4 <= end) {
        const uint8_t* h = &b[at];
        if (h[0] != 0xFF || (h[1] & 0xE0) != 0xE0) break;
        const int versionBits = (h[1] >> 3) & 3;  // 0 MPEG-2.5, 2 MPEG-2, 3 MPEG-1
        const int layerBits = (h[1] >> 1) & 3;    // 1 layer III
        const int bitIndex = h[2] >> 4;
        const int rateIndex = (h[2] >> 2) & 3;
        if (versionBits == 1 || layerBits != 1 || bitIndex == 0 || bitIndex == 15 || rateIndex == 3) break;
        Mp3Frame f;
        f.offset = at;
        f.version = versionBits == 3 ? 10 : versionBits == 2 ? 20 : 25;
        f.kbps = versionBits == 3 ? kBitRatesV1[bitIndex] : kBitRatesV2[bitIndex];
        f.rate = kRatesV1[rateIndex] / (versionBits == 3 ? 1 : versionBits == 2 ? 2 : 4);
        f.mode = h[3] >> 6;
        const int padding = (h[2] >> 1) & 1;
        f.length = static_cast<size_t>((versionBits == 3 ? 144 : 72) * f.kbps * 1000 / f.rate + padding);
        if (at + f.length > end) break;
        frames.push_back(f);
        at += f.length;
    }
    return frames;
}

std::vector<std::pair<std::string, std::vector<uint8_t>>> Id3v2Frames(const std::vector<uint8_t>& tag) {
    std::vector<std::pair<std::string, std::vector<uint8_t>>> frames;
    if (tag.size() < 10) return frames;
    const bool synchsafe = tag[3] == 4;
    size_t at = 10;
    while (at + 10 <= tag.size() && tag[at] != 0) {
        uint32_t size = 0;
        for (int i = 4; i < 8; ++i) size = synchsafe ? (size << 7 | (tag[at + i] & 0x7F)) : (size << 8 | tag[at + i]);
        if (at + 10 + size > tag.size()) break;
        frames.emplace_back(std::string(tag.begin() + at, tag.begin() + at + 4),
                            std::vector<uint8_t>(tag.begin() + at + 10, tag.begin() + at + 10 + size));
        at += 10 + size;
    }
    return frames;
}

std::map<std::string, std::string> FfprobeTags(const std::string& path) {
    std::string out;
    Run("ffprobe -v error -show_entries format_tags -of default=noprint_wrappers=1 " + Quote(path), &out);
    std::map<std::string, std::string> tags;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("TAG:", 0) != 0) continue;
        const size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string key = line.substr(4, eq - 4);
        std::transform(key.begin(), key.end(), key.begin(), [](unsigned char c) { return std::tolower(c); });
        tags[key] = line.substr(eq + 1);
    }
    return tags;
}

}  // namespace testutil
