#include "encoders/Mp3InfoFrame.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace sonavert {

namespace {

constexpr int kLameTagBytes = 156;  // "Info" header, counts, seek table, quality, LAME extension
constexpr std::array<int, 15> kMpeg1Kbps{0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
constexpr std::array<int, 15> kMpeg2Kbps{0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160};

struct Version {
    int bits;       // header's version field: 3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5
    int rateIndex;
    bool mpeg1;
};

bool VersionOf(int rate, Version& v) {
    static constexpr std::array<int, 9> rates{44100, 48000, 32000, 22050, 24000, 16000, 11025, 12000, 8000};
    static constexpr std::array<int, 3> bits{3, 2, 0};
    for (size_t i = 0; i < rates.size(); ++i) {
        if (rates[i] == rate) {
            v = {bits[i / 3], static_cast<int>(i % 3), i < 3};
            return true;
        }
    }
    return false;
}

// Side information after the 4-byte header.
int SideInfoBytes(bool mpeg1, int channels) {
    if (mpeg1) return channels == 1 ? 17 : 32;
    return channels == 1 ? 9 : 17;
}

int FrameBytes(bool mpeg1, int kbps, int rate) { return (mpeg1 ? 144000 : 72000) * kbps / rate; }

void PutBe(uint8_t* p, uint32_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) {
        p[i] = static_cast<uint8_t>(value & 0xFF);
        value >>= 8;
    }
}

}  // namespace

uint16_t Crc16Update(uint16_t crc, const uint8_t* data, size_t size) {
    static const std::array<uint16_t, 256> table = [] {
        std::array<uint16_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xA001 : c >> 1;
            t[i] = static_cast<uint16_t>(c);
        }
        return t;
    }();
    for (size_t i = 0; i < size; ++i) crc = static_cast<uint16_t>((crc >> 8) ^ table[(crc ^ data[i]) & 0xFF]);
    return crc;
}

bool LameDropsItsInfoFrame(int outRate, int kbps, int channels) {
    Version v{};
    if (!VersionOf(outRate, v) || kbps <= 0) return false;
    return FrameBytes(v.mpeg1, kbps, outRate) < 4 + SideInfoBytes(v.mpeg1, channels) + kLameTagBytes;
}

std::vector<uint8_t> BuildInfoFrame(const InfoFrameFacts& f) {
    Version v{};
    if (!VersionOf(f.outRate, v)) return {};
    const int channels = f.channels == 2 ? 2 : 1;
    const int side = SideInfoBytes(v.mpeg1, channels);
    const auto& kbpsTable = v.mpeg1 ? kMpeg1Kbps : kMpeg2Kbps;
    // The smallest bit rate at or above the stream's whose frame holds the tag.
    int index = 0;
    for (int i = 1; i < static_cast<int>(kbpsTable.size()); ++i) {
        if (kbpsTable[i] >= f.kbps && FrameBytes(v.mpeg1, kbpsTable[i], f.outRate) >= 4 + side + kLameTagBytes) {
            index = i;
            break;
        }
    }
    if (index == 0) return {};
    std::vector<uint8_t> frame(static_cast<size_t>(FrameBytes(v.mpeg1, kbpsTable[index], f.outRate)), 0);
    uint8_t* p = frame.data();
    const int modeBits = channels == 1 ? 3 : (f.jointStereo ? 1 : 0);
    p[0] = 0xFF;
    p[1] = static_cast<uint8_t>(0xE0 | (v.bits << 3) | (1 << 1) | 1);  // layer III, no CRC
    p[2] = static_cast<uint8_t>((index << 4) | (v.rateIndex << 2));
    p[3] = static_cast<uint8_t>(modeBits << 6);
    uint8_t* t = p + 4 + side;
    std::memcpy(t, "Info", 4);
    PutBe(t + 4, 0x0F, 4);  // frames, bytes, seek table and quality present
    PutBe(t + 8, f.frames, 4);
    PutBe(t + 12, f.streamBytes, 4);
    for (int i = 0; i < 100; ++i) t[16 + i] = static_cast<uint8_t>(i * 256 / 100);  // constant bit rate
    PutBe(t + 116, 0, 4);  // quality: unknown
    uint8_t* e = t + 120;  // the LAME extension
    const size_t nameBytes = std::min<size_t>(std::strlen(f.encoder), 9);
    std::memset(e, ' ', 9);
    std::memcpy(e, f.encoder, nameBytes);
    e[9] = 0x01;  // tag revision 0, constant bit rate
    e[10] = static_cast<uint8_t>(std::clamp(f.lowpassHz / 100, 0, 255));
    // e[11..18]: peak and the two gains stay 0 (not measured); e[19]: flags and ATH type
    e[20] = static_cast<uint8_t>(std::clamp(f.kbps, 0, 255));
    const uint32_t delay = static_cast<uint32_t>(std::clamp(f.encoderDelay, 0, 4095));
    const uint32_t padding = static_cast<uint32_t>(std::clamp(f.padding, 0, 4095));
    PutBe(e + 21, (delay << 12) | padding, 3);
    // e[24] misc, e[25] MP3 gain, e[26..27] preset and surround: 0
    PutBe(e + 28, f.streamBytes, 4);
    PutBe(e + 32, f.musicCrc, 2);
    const size_t crcAt = static_cast<size_t>(e + 34 - p);
    PutBe(e + 34, Crc16Update(0, p, crcAt), 2);
    return frame;
}

}  // namespace sonavert
