#include "sources/bass/FirstBytes.h"

#include <cstdint>
#include <cstring>
#include <fstream>

extern "C" {
#include <libavformat/avformat.h>
}

namespace sonavert::bass {

const AVInputFormat* ContainerByFirstBytes(const std::string& path) {
    // Sony Wave64: the "riff" GUID, a 64-bit size, then the "wave" GUID.
    static const uint8_t kW64Riff[16] = {0x72, 0x69, 0x66, 0x66, 0x2E, 0x91, 0xCF, 0x11,
                                         0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00};
    static const uint8_t kW64Wave[16] = {0x77, 0x61, 0x76, 0x65, 0xF3, 0xAC, 0xD3, 0x11,
                                         0x8C, 0xD1, 0x00, 0xC0, 0x4F, 0x8E, 0xDB, 0x8A};
    uint8_t h[40] = {};
    std::streamsize got = 0;
    {
        std::ifstream in(path, std::ios::binary);
        if (!in) return nullptr;
        in.read(reinterpret_cast<char*>(h), sizeof h);
        got = in.gcount();
    }
    if (got < 16) return nullptr;
    auto at = [&](size_t offset, const char* magic) { return std::memcmp(h + offset, magic, std::strlen(magic)) == 0; };
    const char* name = nullptr;
    if ((at(0, "RIFF") || at(0, "RF64")) && at(8, "WAVE")) name = "wav";
    else if (at(0, "FORM") && (at(8, "AIFF") || at(8, "AIFC"))) name = "aiff";
    else if (at(0, ".snd")) name = "au";
    else if (at(0, "fLaC")) name = "flac";
    else if (at(0, "OggS")) name = "ogg";
    else if (at(4, "ftyp")) name = "mov";
    else if (at(0, "wvpk")) name = "wv";
    else if (at(0, "MAC ")) name = "ape";
    else if (at(0, "TTA1")) name = "tta";
    else if (at(0, "#!AMR\n")) name = "amr";
    else if (got == sizeof h && std::memcmp(h, kW64Riff, 16) == 0 && std::memcmp(h + 24, kW64Wave, 16) == 0)
        name = "w64";
    return name ? av_find_input_format(name) : nullptr;
}

}  // namespace sonavert::bass
