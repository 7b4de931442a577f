#include "settings/Settings.h"

#include <QDir>
#include <QStandardPaths>
#include <QString>

#include <charconv>
#include <cstring>
#include <strings.h>

#include "settings/SettingsFields.h"
#include "settings/SettingsStore.h"

namespace sonavert {
namespace detail {

#define SONAVERT_INT(name, group) FieldInfo{#name, &Settings::name, nullptr, group}
#define SONAVERT_TEXT(name, group) FieldInfo{#name, nullptr, &Settings::name, group}

const std::vector<FieldInfo>& SettingsFields() {
    static const std::vector<FieldInfo> fields = {
        SONAVERT_TEXT(Folder, kSaveFolder),
        SONAVERT_INT(DestOutputFolderOpt, kSaveOptions),
        SONAVERT_TEXT(DestSpecifiedFolder, kSaveOptions),
        SONAVERT_INT(CreateDirs, kSaveOptions),
        SONAVERT_INT(BrowseOutputFolder, kSaveOptions),
        SONAVERT_INT(ParallelJobs, kSaveOptions),
        SONAVERT_INT(OutputFiles2MyDocuments, kSaveOptions),
        SONAVERT_INT(TargetExistsOpt, kSaveOptions),
        SONAVERT_INT(MonoType, kSaveOptions),
        SONAVERT_INT(EnableExtFilter, kSaveOptions),
        SONAVERT_TEXT(FilterExts, kSaveOptions),
        SONAVERT_INT(OutputFormat, kSaveExit),
        SONAVERT_INT(AutoDestMP3EncodingParam, kSaveOptions),
        SONAVERT_INT(MP3BitRate, kSaveOptions),
        SONAVERT_INT(MP3SampleRate, kSaveOptions),
        SONAVERT_INT(MP3ChannelMode, kSaveOptions),
        SONAVERT_INT(AutoDestWAVEncodingParam, kSaveOptions),
        SONAVERT_INT(WAVSampleRate, kSaveOptions),
        SONAVERT_INT(WAVChannelNum, kSaveOptions),
        SONAVERT_INT(WAVBitsPerSample, kSaveOptions),
        SONAVERT_INT(AutoDestWMAEncodingParam, kSaveOptions),
        SONAVERT_INT(WMABitRate, kSaveOptions),
        SONAVERT_INT(WMASampleRate, kSaveOptions),
        SONAVERT_INT(WMAChannels, kSaveOptions),
        SONAVERT_INT(WMAID3TagType, kSaveOptions),
        SONAVERT_INT(AmplifyWMA, kSaveOptions),
        SONAVERT_INT(AmplifyWMACoeff, kSaveOptions),
        SONAVERT_INT(AutoDestOGGEncodingParam, kSaveOptions),
        SONAVERT_INT(OGGBitRate, kSaveOptions),
        SONAVERT_INT(OGGSampleRate, kSaveOptions),
        SONAVERT_INT(OGGChannels, kSaveOptions),
        SONAVERT_INT(OGGID3TagType, kSaveOptions),
        SONAVERT_INT(AmplifyOGG, kSaveOptions),
        SONAVERT_INT(AmplifyOGGCoeff, kSaveOptions),
        SONAVERT_INT(AutoDestAACEncodingParam, kSaveOptions),
        SONAVERT_INT(AACVBR, kSaveOptions),
        SONAVERT_INT(AACVBRQuality, kSaveOptions),
        SONAVERT_INT(AACABRBitRate, kSaveOptions),
        SONAVERT_INT(AACMpegVersion, kSaveOptions),
        SONAVERT_INT(AACEnableTNS, kSaveOptions),
        SONAVERT_INT(AACEnableMidside, kSaveOptions),
        SONAVERT_INT(AACBlockType, kSaveOptions),
        SONAVERT_INT(AmplifyAAC, kSaveOptions),
        SONAVERT_INT(AmplifyAACCoef, kSaveOptions),
        SONAVERT_INT(AutoDestM4AEncodingParam, kSaveOptions),
        SONAVERT_INT(M4AVBR, kSaveOptions),
        SONAVERT_INT(M4AVBRQuality, kSaveOptions),
        SONAVERT_INT(M4AABRBitRate, kSaveOptions),
        SONAVERT_INT(M4AEnableTNS, kSaveOptions),
        SONAVERT_INT(M4AEnableMidside, kSaveOptions),
        SONAVERT_INT(M4ABlockType, kSaveOptions),
        SONAVERT_INT(AmplifyM4A, kSaveOptions),
        SONAVERT_INT(AmplifyM4ACoef, kSaveOptions),
        SONAVERT_INT(M4AID3TagType, kSaveOptions),
        SONAVERT_INT(AMRType, kSaveOptions),
        SONAVERT_INT(AMRMode, kSaveOptions),
        SONAVERT_INT(AMRWBMode, kSaveOptions),
        SONAVERT_INT(AMRDTX, kSaveOptions),
        SONAVERT_INT(AWBMode, kSaveOptions),
        SONAVERT_INT(AWBDTX, kSaveOptions),
        SONAVERT_INT(AmplifyAMR, kSaveOptions),
        SONAVERT_INT(AmplifyAMRCoef, kSaveOptions),
        SONAVERT_INT(MP3ID3TagType, kSaveOptions),
        SONAVERT_INT(MP3WriteID3Version, kSaveOptions),
        SONAVERT_INT(AmplifyMp3, kSaveOptions),
        SONAVERT_INT(AmplifyMp3Coeff, kSaveOptions),
        SONAVERT_INT(AmplifyWav, kSaveOptions),
        SONAVERT_INT(AmplifyWavCoeff, kSaveOptions),
        SONAVERT_INT(OptStartPageIndex, kSaveExit),
        // Converting a library.
        SONAVERT_INT(KeepAddedFolderTree, kSaveOptions),
        SONAVERT_TEXT(TargetNamePattern, kSaveOptions),
        // Loudness
        SONAVERT_INT(LoudnessAnalysis, kSaveOptions),
        SONAVERT_INT(LoudnessAlbumGain, kSaveOptions),
        SONAVERT_INT(LoudnessAlbumGrouping, kSaveOptions),
        SONAVERT_INT(LoudnessGainMode, kSaveOptions),
        SONAVERT_INT(LoudnessTarget, kSaveOptions),
        SONAVERT_INT(LoudnessPeakCeiling, kSaveOptions),
        // Cover art.
        SONAVERT_INT(CoverArt, kSaveOptions),
        SONAVERT_INT(CoverArtFromFolder, kSaveOptions),
        SONAVERT_INT(CoverArtMaxPixels, kSaveOptions),
        SONAVERT_INT(CoverArtCopyFolderImage, kSaveOptions),
        // Opus output and MP3 with a variable bit rate.
        SONAVERT_INT(OPUSBitRate, kSaveOptions),
        SONAVERT_INT(OPUSBitRateMode, kSaveOptions),
        SONAVERT_INT(OPUSApplication, kSaveOptions),
        SONAVERT_INT(OPUSID3TagType, kSaveOptions),
        SONAVERT_INT(AmplifyOPUS, kSaveOptions),
        SONAVERT_INT(AmplifyOPUSCoeff, kSaveOptions),
        SONAVERT_INT(MP3BitRateMode, kSaveOptions),
        SONAVERT_INT(MP3VBRQuality, kSaveOptions),
        // WAV above 16 bits.
        SONAVERT_INT(WAVSampleFormat, kSaveOptions),
        // FLAC and ALAC output.
        SONAVERT_INT(FLACCompression, kSaveOptions),
        SONAVERT_INT(FLACSampleRate, kSaveOptions),
        SONAVERT_INT(FLACID3TagType, kSaveOptions),
        SONAVERT_INT(ALACSampleRate, kSaveOptions),
        // Verified conversions.
        SONAVERT_INT(VerifyTargets, kSaveOptions),
        // Main window geometry.
        SONAVERT_INT(WindowLeft, kSaveExit),
        SONAVERT_INT(WindowTop, kSaveExit),
        SONAVERT_INT(WindowWidth, kSaveExit),
        SONAVERT_INT(WindowHeight, kSaveExit),
    };
    return fields;
}

#undef SONAVERT_INT
#undef SONAVERT_TEXT
#define SONAVERT_TAG_INT(name) TagFieldInfo{#name, &TagOverrides::name, nullptr}
#define SONAVERT_TAG_TEXT(name) TagFieldInfo{#name, nullptr, &TagOverrides::name}

const std::vector<TagFieldInfo>& TagFields() {
    static const std::vector<TagFieldInfo> fields = {
        SONAVERT_TAG_TEXT(Title),   SONAVERT_TAG_TEXT(Artist),   SONAVERT_TAG_TEXT(Album),
        SONAVERT_TAG_TEXT(Year),    SONAVERT_TAG_TEXT(Genre),    SONAVERT_TAG_TEXT(Comment),
        SONAVERT_TAG_TEXT(Composer), SONAVERT_TAG_TEXT(Copyright), SONAVERT_TAG_INT(TitleAsFileName),
        SONAVERT_TAG_INT(TrackNumType), SONAVERT_TAG_INT(CustomTrackNum),
    };
    return fields;
}

#undef SONAVERT_TAG_INT
#undef SONAVERT_TAG_TEXT

const std::vector<TagSetInfo>& TagSets() {
    static const std::vector<TagSetInfo> sets = {
        {"MP3", &Settings::MP3Tag}, {"OGG", &Settings::OGGTag}, {"WMA", &Settings::WMATag}, {"M4A", &Settings::M4ATag},
        // FLAC output.
        {"FLAC", &Settings::FLACTag},
        // Opus output.
        {"OPUS", &Settings::OPUSTag}};
    return sets;
}

}  // namespace detail

std::string DocumentsFolder() {
    QString path = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (path.isEmpty() || !QDir().mkpath(path)) return std::string();
    while (path.size() > 1 && path.endsWith('/')) path.chop(1);
    return path.toStdString();
}

Settings DefaultSettings() {
    Settings s;
    std::string documents = DocumentsFolder();
    if (!documents.empty()) {
        s.DestSpecifiedFolder = documents;
        s.DestOutputFolderOpt = kDestCustomFolder;
    }
    return s;
}

void RebuildExtensionFilter(Settings& settings) {
    settings.ExtensionFilter.clear();
    if (!settings.EnableExtFilter) return;
    // Lower-case the whole text as Unicode, then split at every comma keeping empty pieces.
    std::string lower = QString::fromStdString(settings.FilterExts).toLower().toStdString();
    size_t start = 0;
    for (;;) {
        size_t comma = lower.find(',', start);
        settings.ExtensionFilter.push_back(lower.substr(start, comma == std::string::npos ? comma : comma - start));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
}

int32_t ApplyLoadRule(const std::string& name, int32_t v) {
    auto clampGain = [](int32_t g) { return g < 10 ? 10 : (g > 3000 ? 3000 : g); };
    if (name == "MP3ChannelMode") return (v == 0 || v == 1 || v == 3 || v == 4) ? v : 1;
    if (name == "WAVChannelNum" || name == "OGGChannels") return (v >= 0 && v <= 2) ? v : 2;
    if (name == "WMAChannels") return (v == 1 || v == 2) ? v : 2;
    if (name == "WMAID3TagType" || name == "M4AID3TagType" || name == "FLACID3TagType" || name == "OPUSID3TagType")
        return (v >= 0 && v <= 2) ? v : 2;
    if (name == "FLACCompression") return v < 0 ? 0 : (v > 8 ? 8 : v);
    if (name == "OPUSBitRate") return v < 6 ? 6 : (v > 510 ? 510 : v);
    if (name == "OPUSBitRateMode") return (v >= 0 && v <= 2) ? v : 0;
    if (name == "MP3BitRateMode") return v == 1 ? 1 : 0;
    if (name == "MP3VBRQuality") return v < 0 ? 0 : (v > 9 ? 9 : v);
    // Older versions stored the OGG bit rate in bits per second.
    if (name == "OGGBitRate") return v > 1000 ? v / 1000 : v;
    // Every gain, the AAC, M4A and AMR ones too: a hand-edited store must not turn the gain into a
    // square wave or near-silence.
    if (name == "AmplifyMp3Coeff" || name == "AmplifyWavCoeff" || name == "AmplifyWMACoeff" ||
        name == "AmplifyOGGCoeff" || name == "AmplifyAACCoef" || name == "AmplifyM4ACoef" ||
        name == "AmplifyAMRCoef" || name == "AmplifyOPUSCoeff")
        return clampGain(v);
    return v;
}

namespace {

bool ParseInt32(const std::string& text, int32_t& out) {
    const char* first = text.data();
    const char* last = text.data() + text.size();
    if (first != last && *first == '+') ++first;
    int32_t v = 0;
    auto [end, ec] = std::from_chars(first, last, v);
    if (ec != std::errc() || end != last || first == last) return false;
    out = v;
    return true;
}

bool SameName(const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; }

}  // namespace

bool SetByName(Settings& settings, const std::string& name, const std::string& value) {
    size_t sep = name.find_first_of("/\\");
    if (sep != std::string::npos) {
        std::string setName = name.substr(0, sep), field = name.substr(sep + 1);
        for (const auto& set : detail::TagSets()) {
            if (!SameName(setName, (std::string(set.name) + "Tag").c_str())) continue;
            TagOverrides& tags = settings.*set.set;
            for (const auto& f : detail::TagFields()) {
                if (!SameName(field, f.name)) continue;
                if (f.textField) {
                    tags.*f.textField = value;
                    return true;
                }
                return ParseInt32(value, tags.*f.intField);
            }
        }
        return false;
    }
    for (const auto& f : detail::SettingsFields()) {
        if (!SameName(name, f.name)) continue;
        if (f.textField) {
            settings.*f.textField = value;
        } else {
            int32_t v = 0;
            if (!ParseInt32(value, v)) return false;
            settings.*f.intField = ApplyLoadRule(f.name, v);
        }
        if (f.intField == &Settings::EnableExtFilter || f.textField == &Settings::FilterExts)
            RebuildExtensionFilter(settings);
        return true;
    }
    return false;
}

}  // namespace sonavert
