#include "engine/OutputFormats.h"

#include <cctype>

namespace sonavert {

const std::vector<OutputFormatInfo>& OutputFormats() {
    static const std::vector<OutputFormatInfo> formats = {
        {1000, "MP3", ".mp3"}, {2000, "WAV", ".wav"}, {4000, "OGG", ".ogg"}, {5500, "AMR", ".amr"},
        {5600, "AWB", ".awb"}, {6000, "AAC", ".aac"}, {6500, "M4A", ".m4a"}, {6600, "MP4", ".mp4"},
        {6700, "M4B", ".m4b"}, {6800, "M4R", ".m4r"}, {7100, "WMA", ".wma"}, {7200, "WMV", ".wmv"},
        {7300, "ASF", ".asf"},
    };
    return formats;
}

const OutputFormatInfo* FindOutputFormat(int code) {
    for (const auto& f : OutputFormats())
        if (f.code == code) return &f;
    return nullptr;
}

const OutputFormatInfo* FindOutputFormatByName(const std::string& name) {
    std::string upper;
    for (char c : name) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (const auto& f : OutputFormats())
        if (upper == f.name) return &f;
    return nullptr;
}

}  // namespace sonavert
