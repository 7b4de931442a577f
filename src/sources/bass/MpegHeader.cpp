#include "sources/bass/MpegHeader.h"

#include <algorithm>
#include <fstream>

namespace sonavert::bass {
namespace {

// kbps by [MPEG-1 ? 0 : 1][layer 1..3 - 1][index]
constexpr uint16_t kBitRates[2][3][16] = {
    {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448, 0},
     {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 0},
     {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0}},
    {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256, 0},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0}},
};
constexpr uint32_t kSampleRates[3] = {44100, 48000, 32000};

int Version(const uint8_t* h) { return (h[1] >> 3) & 3; }  // 0 = 2.5, 1 reserved, 2 = 2, 3 = 1
int Layer(const uint8_t* h) { return 4 - ((h[1] >> 1) & 3); }  // 1..3, 4 = reserved
int BitRateIndex(const uint8_t* h) { return h[2] >> 4; }
int SampleRateIndex(const uint8_t* h) { return (h[2] >> 2) & 3; }

}  // namespace

uint32_t MpegBitRate(const uint8_t* h) {
    int layer = Layer(h);
    if (layer > 3 || Version(h) == 1) return 0;
    return kBitRates[Version(h) == 3 ? 0 : 1][layer - 1][BitRateIndex(h)];
}

bool IsMpegSync(const uint8_t* h) {
    return h[0] == 0xFF && (h[1] & 0xE0) == 0xE0 && Version(h) != 1 && Layer(h) != 4 &&
           BitRateIndex(h) != 15 && SampleRateIndex(h) != 3;
}

bool IsValidMpegHeader(const uint8_t* h) { return IsMpegSync(h) && MpegBitRate(h) != 0; }

uint32_t MpegFrameLength(const uint8_t* h) {
    if (!IsValidMpegHeader(h)) return 0;
    uint32_t rate = kSampleRates[SampleRateIndex(h)];
    if (Version(h) == 2) rate /= 2;
    else if (Version(h) == 0) rate /= 4;
    uint32_t bitRate = MpegBitRate(h) * 1000;
    uint32_t padding = (h[2] >> 1) & 1;
    bool mpeg1 = Version(h) == 3;
    switch (Layer(h)) {
    case 1: return (12 * bitRate / rate + padding) * 4;
    case 2: return 144 * bitRate / rate + padding;
    default: return (mpeg1 ? 144 : 72) * bitRate / rate + padding;
    }
}

uint32_t Id3v2TagSize(const uint8_t* h) {
    if (h[0] != 'I' || h[1] != 'D' || h[2] != '3' || h[3] == 0xFF || h[4] == 0xFF) return 0;
    for (int i = 6; i < 10; ++i)
        if (h[i] & 0x80) return 0;
    uint32_t body = (uint32_t(h[6]) << 21) | (uint32_t(h[7]) << 14) | (uint32_t(h[8]) << 7) | h[9];
    bool footer = h[3] >= 4 && (h[5] & 0x10);
    return 10 + body + (footer ? 10 : 0);
}

int64_t FindFirstMpegFrame(const uint8_t* data, size_t size) {
    size_t pos = 0;
    // Tags may be stacked; each one starts where the previous ended.
    while (size - pos >= 10) {
        uint32_t tag = Id3v2TagSize(data + pos);
        if (tag == 0 || tag > size - pos) break;
        pos += tag;
    }
    for (; pos + 4 <= size; ++pos) {
        const uint8_t* h = data + pos;
        if (!IsMpegSync(h)) continue;
        uint32_t len = MpegFrameLength(h);
        if (len == 0) return static_cast<int64_t>(pos);  // free format: nothing to cross-check
        if (pos + len + 4 > size) return static_cast<int64_t>(pos);
        const uint8_t* next = h + len;
        if (IsMpegSync(next) && (next[1] & 0xFE) == (h[1] & 0xFE) &&
            SampleRateIndex(next) == SampleRateIndex(h))
            return static_cast<int64_t>(pos);
    }
    return -1;
}

int64_t FirstMpegFrameInFile(const std::string& path, int64_t fileSize, int64_t* tagsEnd) {
    // How far past the ID3v2 tags the first frame is searched for.
    constexpr int64_t kScanWindow = 256 * 1024;
    if (tagsEnd) *tagsEnd = 0;
    std::ifstream in(path, std::ios::binary);
    if (!in || fileSize < 4) return -1;
    int64_t pos = 0;
    uint8_t header[10];
    while (fileSize - pos >= 10) {
        in.seekg(pos);
        if (!in.read(reinterpret_cast<char*>(header), 10)) break;
        uint32_t tag = Id3v2TagSize(header);
        if (tag == 0 || tag > fileSize - pos) break;
        pos += tag;
    }
    if (tagsEnd) *tagsEnd = pos;
    in.clear();
    in.seekg(pos);
    std::vector<uint8_t> window(static_cast<size_t>(std::min<int64_t>(fileSize - pos, kScanWindow)));
    in.read(reinterpret_cast<char*>(window.data()), static_cast<std::streamsize>(window.size()));
    window.resize(static_cast<size_t>(std::max<std::streamsize>(in.gcount(), 0)));
    int64_t found = FindFirstMpegFrame(window.data(), window.size());
    return found >= 0 ? pos + found : -1;
}

void ReadRawId3Tags(const std::string& path, int64_t fileSize, std::vector<uint8_t>& id3v1,
                    std::vector<uint8_t>& id3v2) {
    id3v1.clear();
    id3v2.clear();
    if (fileSize < 10) return;
    std::ifstream in(path, std::ios::binary);
    if (!in) return;
    uint8_t header[10];
    if (in.read(reinterpret_cast<char*>(header), 10)) {
        uint32_t size = Id3v2TagSize(header);
        // Only a tag that lies wholly inside the file is handed out, so its header's size holds.
        if (size > 0 && size <= fileSize) {
            id3v2.resize(size);
            in.seekg(0);
            if (!in.read(reinterpret_cast<char*>(id3v2.data()), size)) id3v2.clear();
        }
    }
    in.clear();
    if (fileSize >= 128) {
        std::vector<uint8_t> tail(128);
        in.seekg(fileSize - 128);
        if (in.read(reinterpret_cast<char*>(tail.data()), 128) && tail[0] == 'T' && tail[1] == 'A' &&
            tail[2] == 'G')
            id3v1 = std::move(tail);
    }
}

}  // namespace sonavert::bass
