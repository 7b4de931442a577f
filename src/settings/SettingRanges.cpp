#include "settings/SettingRanges.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <map>
#include <strings.h>

#include "base/AudioLimits.h"
#include "settings/SettingsFields.h"

namespace sonavert {

const std::vector<int>& Mp3BitRates() {
    static const std::vector<int> v = {8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 192, 224, 256, 320};
    return v;
}
const std::vector<int>& Mp3SampleRates() {
    static const std::vector<int> v = {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000};
    return v;
}
const std::vector<int>& OggBitRates() {
    static const std::vector<int> v = [] {
        std::vector<int> rates = Mp3BitRates();
        rates.push_back(400);
        rates.push_back(480);
        return rates;
    }();
    return v;
}
const std::vector<int>& WavSampleRates() {
    static const std::vector<int> v = {6000, 8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000, 88200, 96000};
    return v;
}
const std::vector<int>& LosslessSampleRates() {
    static const std::vector<int> v = {8000,  11025, 12000, 16000, 22050,  24000,  32000,
                                       44100, 48000, 88200, 96000, 176400, 192000};
    return v;
}
const std::vector<int>& AacBitRates() {
    static const std::vector<int> v = {16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 192, 224, 256, 320};
    return v;
}

bool SettingRange::Accepts(int32_t value) const {
    switch (kind) {
        case Kind::Any: return true;
        case Kind::Boolean: return value == 0 || value == 1;
        case Kind::Interval: return value >= min && value <= max;
        case Kind::Choices: return std::find(choices.begin(), choices.end(), value) != choices.end();
    }
    return true;
}

std::string SettingRange::Describe() const {
    switch (kind) {
        case Kind::Any: return "any value";
        case Kind::Boolean: return "0 or 1 (also true/false, yes/no, on/off)";
        case Kind::Interval: return std::to_string(min) + " to " + std::to_string(max);
        case Kind::Choices: break;
    }
    std::string text;
    for (int32_t c : choices) text += (text.empty() ? "" : ", ") + std::to_string(c);
    return text;
}

namespace {

SettingRange Boolean() { return {SettingRange::Kind::Boolean, 0, 1, {}}; }
SettingRange Interval(int32_t min, int32_t max) { return {SettingRange::Kind::Interval, min, max, {}}; }
SettingRange Choices(std::vector<int32_t> values) { return {SettingRange::Kind::Choices, 0, 0, std::move(values)}; }
// A list's values after "Same as original file" (0).
SettingRange SameOr(const std::vector<int>& table) {
    std::vector<int32_t> values{0};
    values.insert(values.end(), table.begin(), table.end());
    return Choices(std::move(values));
}

}  // namespace

const SettingRange& TargetSampleRates() {
    static const SettingRange r = Interval(static_cast<int32_t>(kMinSampleRate), static_cast<int32_t>(kMaxSampleRate));
    return r;
}
const SettingRange& TargetChannels() {
    static const SettingRange r = Interval(1, static_cast<int32_t>(kMaxTargetChannels));
    return r;
}
const SettingRange& TargetSampleBits() {
    static const SettingRange r = [] {
        std::vector<int32_t> bits;
        for (uint32_t b : kTargetSampleBits) bits.push_back(static_cast<int32_t>(b));
        return Choices(std::move(bits));
    }();
    return r;
}

namespace {

struct CaseLess {
    bool operator()(const std::string& a, const std::string& b) const { return strcasecmp(a.c_str(), b.c_str()) < 0; }
};

const std::map<std::string, SettingRange, CaseLess>& FlatRanges() {
    static const std::map<std::string, SettingRange, CaseLess> ranges = [] {
        std::map<std::string, SettingRange, CaseLess> r;
        const SettingRange gain = Interval(10, 3000);
        for (const char* name : {"CreateDirs", "BrowseOutputFolder", "OutputFiles2MyDocuments", "EnableExtFilter",
                                 "AutoDestMP3EncodingParam", "AmplifyMp3", "AutoDestWAVEncodingParam", "AmplifyWav",
                                 "AutoDestWMAEncodingParam", "AmplifyWMA", "AutoDestOGGEncodingParam", "AmplifyOGG",
                                 "AutoDestAACEncodingParam", "AACVBR", "AACEnableTNS", "AACEnableMidside",
                                 "AmplifyAAC", "AutoDestM4AEncodingParam", "M4AVBR", "M4AEnableTNS",
                                 "M4AEnableMidside", "AmplifyM4A", "AMRDTX", "AWBDTX", "AmplifyAMR"})
            r[name] = Boolean();
        for (const char* name : {"AmplifyMp3Coeff", "AmplifyWavCoeff", "AmplifyWMACoeff", "AmplifyOGGCoeff",
                                 "AmplifyAACCoef", "AmplifyM4ACoef", "AmplifyAMRCoef"})
            r[name] = gain;
        for (const char* name : {"MonoType", "MP3ID3TagType", "MP3WriteID3Version", "WAVChannelNum", "WMAID3TagType",
                                 "OGGChannels", "OGGID3TagType", "AACBlockType", "M4ABlockType", "M4AID3TagType"})
            r[name] = Interval(0, 2);
        r["DestOutputFolderOpt"] = Choices({kDestBesideSource, kDestCustomFolder});
        r["TargetExistsOpt"] = Choices({kTargetRename, kTargetOverwrite, kTargetSkip, kTargetUpdate});
        r["MP3BitRate"] = SameOr(Mp3BitRates());
        r["MP3SampleRate"] = SameOr(Mp3SampleRates());
        r["MP3ChannelMode"] = Choices({0, 1, 3, 4});
        r["WAVSampleRate"] = SameOr(WavSampleRates());
        // 0: the source's; 24 and 32 are written from the wide read.
        r["WAVBitsPerSample"] = Choices({0, 8, 16, 24, 32});
        r["WMAChannels"] = Choices({1, 2});
        r["OGGBitRate"] = SameOr(OggBitRates());
        r["OGGSampleRate"] = SameOr(Mp3SampleRates());
        r["AACVBRQuality"] = Interval(10, 500);
        r["M4AVBRQuality"] = Interval(10, 500);
        r["AACABRBitRate"] = SameOr(AacBitRates());
        r["M4AABRBitRate"] = SameOr(AacBitRates());
        r["AACMpegVersion"] = Interval(0, 1);
        r["AMRType"] = Interval(0, 1);
        r["AMRMode"] = Interval(0, 7);
        r["AMRWBMode"] = Interval(0, 8);
        r["AWBMode"] = Interval(0, 8);
        r["OptStartPageIndex"] = Interval(0, 12);
        r["ParallelJobs"] = Interval(0, 32);
        // Converting a library.
        r["KeepAddedFolderTree"] = Boolean();
        // Loudness
        r["LoudnessAnalysis"] = Boolean();
        r["LoudnessAlbumGain"] = Boolean();
        r["LoudnessAlbumGrouping"] = Interval(0, 1);
        r["LoudnessGainMode"] = Interval(0, 2);
        r["LoudnessTarget"] = Choices({-14, -16, -18, -23});
        r["LoudnessPeakCeiling"] = Interval(-100, 0);
        // Cover art.
        for (const char* name : {"CoverArt", "CoverArtFromFolder", "CoverArtCopyFolderImage"}) r[name] = Boolean();
        r["CoverArtMaxPixels"] = Interval(0, 16384);
        // Opus output and MP3 with a variable bit rate.
        r["OPUSBitRate"] = Interval(6, 510);
        r["OPUSBitRateMode"] = Interval(0, 2);
        r["OPUSApplication"] = Boolean();
        r["OPUSID3TagType"] = Interval(0, 2);
        r["AmplifyOPUS"] = Boolean();
        r["AmplifyOPUSCoeff"] = gain;
        r["MP3BitRateMode"] = Boolean();
        r["MP3VBRQuality"] = Interval(0, 9);
        // WAV above 16 bits.
        r["WAVSampleFormat"] = Interval(0, 1);
        // FLAC and ALAC output.
        r["FLACCompression"] = Interval(0, 8);
        r["FLACSampleRate"] = SameOr(LosslessSampleRates());
        r["FLACID3TagType"] = Interval(0, 2);
        r["ALACSampleRate"] = SameOr(LosslessSampleRates());
        // Verified conversions.
        r["VerifyTargets"] = Interval(0, 2);
        // Main window geometry.
        r["WindowLeft"] = Interval(-32768, 32767);
        r["WindowTop"] = Interval(-32768, 32767);
        r["WindowWidth"] = Interval(0, 32767);
        r["WindowHeight"] = Interval(0, 32767);
        return r;
    }();
    return ranges;
}

bool SameName(const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; }

// Whether `name` names a setting or a tag-set field; `text` tells a text setting.
bool KnownName(const std::string& name, bool& text) {
    const size_t sep = name.find_first_of("/\\");
    if (sep != std::string::npos) {
        const std::string setName = name.substr(0, sep), field = name.substr(sep + 1);
        for (const auto& set : detail::TagSets()) {
            if (!SameName(setName, (std::string(set.name) + "Tag").c_str())) continue;
            for (const auto& f : detail::TagFields()) {
                if (!SameName(field, f.name)) continue;
                text = f.textField != nullptr;
                return true;
            }
        }
        return false;
    }
    for (const auto& f : detail::SettingsFields()) {
        if (!SameName(name, f.name)) continue;
        text = f.textField != nullptr;
        return true;
    }
    return false;
}

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool ParseInt(const std::string& text, int32_t& out) {
    const char* first = text.data();
    const char* last = text.data() + text.size();
    if (first != last && *first == '+') ++first;
    auto [end, ec] = std::from_chars(first, last, out);
    return ec == std::errc() && end == last && first != last;
}

}  // namespace

SettingRange AcceptedRange(const std::string& name) {
    const size_t sep = name.find_first_of("/\\");
    if (sep != std::string::npos) {
        const std::string field = name.substr(sep + 1);
        if (SameName(field, "TitleAsFileName")) return Boolean();
        if (SameName(field, "TrackNumType")) return Interval(0, 2);
        if (SameName(field, "CustomTrackNum")) return Interval(0, 255);
        return {};
    }
    const auto& ranges = FlatRanges();
    const auto it = ranges.find(name);
    return it == ranges.end() ? SettingRange{} : it->second;
}

SetOutcome SetChecked(Settings& settings, const std::string& name, const std::string& value, std::string& accepted) {
    bool text = false;
    if (!KnownName(name, text)) return SetOutcome::UnknownName;
    if (text) return SetByName(settings, name, value) ? SetOutcome::Set : SetOutcome::UnknownName;

    const SettingRange range = AcceptedRange(name);
    int32_t number = 0;
    bool parsed = ParseInt(value, number);
    if (!parsed && range.kind == SettingRange::Kind::Boolean) {
        const std::string word = Lower(value);
        if (word == "true" || word == "yes" || word == "on") number = 1, parsed = true;
        else if (word == "false" || word == "no" || word == "off") number = 0, parsed = true;
    }
    if (!parsed || !range.Accepts(number)) {
        accepted = range.kind == SettingRange::Kind::Any ? "a whole number" : range.Describe();
        return SetOutcome::Refused;
    }
    return SetByName(settings, name, std::to_string(number)) ? SetOutcome::Set : SetOutcome::Refused;
}

}  // namespace sonavert
