#include "winmedia/WmaFormats.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "winmedia/WindowsMediaRuntime.h"

namespace sonavert {
namespace {

std::string Describe(const WmaFormat& f) {
    const char* version = f.subtype == kWmaSubtypeV9 ? "Windows Media Audio 9" : "Windows Media Audio 8";
    return std::string(version) + ", " + std::to_string(f.bitRate / 1000) + " kbps, " + std::to_string(f.sampleRate) +
           " Hz, " + (f.channels == 1 ? "mono" : "stereo") + " CBR";
}

std::vector<WmaCodecFormat> MakeCodecTable() {
    // What the WMA v2 encoder serves and decodes back to its input: 8000 to 48000 Hz, one or two
    // channels, from 24 kbps (the encoder's floor) up to about 2.2 bits per sample and channel.
    // The encoder takes higher rates without complaint, but they only bloat the file: above that
    // its quantiser has nothing left to spend them on.
    struct Row {
        uint32_t rate, channels;
        std::vector<uint32_t> kbps;
    };
    const Row rows[] = {
        {8000, 1, {24}},           {8000, 2, {24, 32}},
        {11025, 1, {24}},          {11025, 2, {32, 48}},
        {16000, 1, {24, 32}},      {16000, 2, {32, 48}},
        {22050, 1, {32, 48}},      {22050, 2, {32, 48, 64}},
        {32000, 1, {48, 64}},      {32000, 2, {48, 64, 96}},
        {44100, 1, {48, 64}},      {44100, 2, {48, 64, 96, 128, 160, 192}},
        {48000, 1, {64}},          {48000, 2, {96, 128, 160, 192}},
    };
    std::vector<WmaCodecFormat> table;
    for (const Row& row : rows) {
        for (uint32_t k : row.kbps) {
            WmaFormat f{row.rate >= 32000 ? kWmaSubtypeV9 : kWmaSubtypeV8, row.rate, row.channels, k * 1000};
            table.push_back({f, Describe(f)});
        }
    }
    return table;
}

bool Listed(const WmaCodecFormat& codec) {
    std::string upper = codec.description;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (upper.find("(A/V)") != std::string::npos) return false;
    const WmaFormat& f = codec.format;
    return (f.subtype == kWmaSubtypeV8 || f.subtype == kWmaSubtypeV9) && f.channels >= 1 && f.channels <= 2 &&
           f.sampleRate > 0 && f.bitRate > 0;
}

void Insert(WmaFormatList& list, const WmaFormat& f) {
    // Look for a duplicate over the whole list first, so an entry of the same rate and bit rate
    // but another channel count ahead of it cannot let the duplicate in.
    for (const WmaFormat& e : list)
        if (e.sampleRate == f.sampleRate && e.bitRate == f.bitRate && e.channels == f.channels) return;
    auto at = std::find_if(list.begin(), list.end(), [&](const WmaFormat& e) {
        if (e.sampleRate != f.sampleRate) return e.sampleRate > f.sampleRate;
        if (e.bitRate != f.bitRate) return e.bitRate > f.bitRate;
        return e.channels != f.channels;
    });
    list.insert(at, f);
}

uint32_t Distance(uint32_t a, uint32_t b) { return a > b ? a - b : b - a; }

}  // namespace

const std::vector<WmaCodecFormat>& WmaCodecTable() {
    static const std::vector<WmaCodecFormat> table = MakeCodecTable();
    return table;
}

void BuildWmaFormatListFrom(const std::vector<WmaCodecFormat>& codecs, WmaFormatList& list) {
    list.clear();
    for (const WmaCodecFormat& codec : codecs)
        if (Listed(codec)) Insert(list, codec.format);
}

bool BuildWmaFormatList(WmaFormatList& list) {
    list.clear();
    if (!LoadWindowsMediaRuntime()) return false;
    BuildWmaFormatListFrom(WmaCodecTable(), list);
    return true;
}

bool ChooseWmaFormat(const WmaFormatList& list, uint32_t rate, uint32_t bitRate, uint32_t channels, WmaFormat& chosen) {
    const WmaFormat* remembered = nullptr;
    for (const WmaFormat& e : list) {
        if (e.channels != channels) continue;
        if (e.sampleRate < rate) {
            remembered = &e;
        } else if (e.sampleRate == rate) {
            if (e.bitRate == bitRate) {
                chosen = e;
                return true;
            }
            if (e.bitRate < bitRate) {
                remembered = &e;
                continue;
            }
            const bool rememberedNearer = remembered && remembered->sampleRate == rate &&
                                          Distance(remembered->bitRate, bitRate) < Distance(e.bitRate, bitRate);
            chosen = rememberedNearer ? *remembered : e;
            return true;
        } else {
            chosen = remembered && remembered->sampleRate == rate ? *remembered : e;
            return true;
        }
    }
    if (!remembered) return false;
    chosen = *remembered;
    return true;
}

const WmaFormatList& SharedWmaFormatList() {
    // From the codec table alone, so it is the same whenever it is first asked for.
    static const WmaFormatList list = [] {
        WmaFormatList l;
        BuildWmaFormatListFrom(WmaCodecTable(), l);
        return l;
    }();
    return list;
}

}  // namespace sonavert
