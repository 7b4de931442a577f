#pragma once
// The audio formats Windows Media output offers, and the choice of one for a conversion.
#include <cstdint>
#include <string>
#include <vector>

namespace sonavert {

// Codec subtypes of the Windows Media audio codecs. Both are written by the WMA v2 encoder.
enum WmaSubtype : int { kWmaSubtypeOther = 0, kWmaSubtypeV8 = 8, kWmaSubtypeV9 = 9 };

// One stream format: the codec, its sample rate, channel count and bit rate (bits per second).
struct WmaFormat {
    int subtype = kWmaSubtypeV8;
    uint32_t sampleRate = 0;
    uint32_t channels = 0;
    uint32_t bitRate = 0;
};

// A format as the codec layer describes it.
struct WmaCodecFormat {
    WmaFormat format;
    std::string description;
};

// Ordered by sample rate, then bit rate; no two entries alike in rate, bit rate and channels.
using WmaFormatList = std::vector<WmaFormat>;

// The codec layer's own table of formats.
const std::vector<WmaCodecFormat>& WmaCodecTable();

// Empties `list` and fills it from the codec table; false when the runtime is not loaded.
bool BuildWmaFormatList(WmaFormatList& list);

// Empties `list` and fills it from `codecs`: formats described "(A/V)" (any letter case), of another
// subtype or with more than two channels are passed over; the rest are inserted in order.
void BuildWmaFormatListFrom(const std::vector<WmaCodecFormat>& codecs, WmaFormatList& list);

// Picks the entry for a requested rate, bit rate and channel count (entries of other channel
// counts are ignored): an exact match, else the nearer bit rate at the requested rate (the higher
// on a tie), else the first higher rate's lowest entry, else the last entry below. False when no
// entry has the channel count.
bool ChooseWmaFormat(const WmaFormatList& list, uint32_t rate, uint32_t bitRate, uint32_t channels, WmaFormat& chosen);

// The list built once for the whole process from the codec table.
// Immutable after it is built, so conversions on several threads may share it.
const WmaFormatList& SharedWmaFormatList();

}  // namespace sonavert
