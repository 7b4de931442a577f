#include "engine/OutputFormats.h"

#include <cctype>

#include "engine/Pipeline.h"

namespace sonavert {
namespace {

uint32_t RateOr44100(int32_t autoFlag, int32_t rate) { return autoFlag || rate < 1 ? 44100u : static_cast<uint32_t>(rate); }

uint32_t Mp3RenderRate(const Settings& s, int) { return RateOr44100(s.AutoDestMP3EncodingParam, s.MP3SampleRate); }
uint32_t WavRenderRate(const Settings& s, int) { return RateOr44100(s.AutoDestWAVEncodingParam, s.WAVSampleRate); }
uint32_t OggRenderRate(const Settings& s, int) { return RateOr44100(s.AutoDestOGGEncodingParam, s.OGGSampleRate); }
// AMR renders at the codec's own rate: narrow band 8000 Hz, wide band (AWB, or AMR with AMRType
// set) 16000 Hz.
uint32_t AmrRenderRate(const Settings& s, int code) { return code == kOutputAwb || s.AMRType ? 16000u : 8000u; }
uint32_t Fixed44100(const Settings&, int) { return 44100u; }
uint32_t WmaRenderRate(const Settings& s, int) { return RateOr44100(s.AutoDestWMAEncodingParam, s.WMASampleRate); }
// The lossless families render at their chosen rate, or 44100 Hz when they keep the source's.
uint32_t FlacRenderRate(const Settings& s, int) { return RateOr44100(0, s.FLACSampleRate); }
uint32_t AlacRenderRate(const Settings& s, int) { return RateOr44100(0, s.ALACSampleRate); }
// Opus codes at 48 kHz whatever it is given: rendering at that rate spares a conversion.
uint32_t Fixed48000(const Settings&, int) { return 48000u; }

}  // namespace

const FamilyInfo& FamilyOf(Family family) {
    static const FamilyInfo families[] = {
        {Family::Mp3, Mp3RenderRate, false, &Settings::AutoDestMP3EncodingParam, &Settings::AmplifyMp3,
         &Settings::AmplifyMp3Coeff, &Settings::MP3ID3TagType, &Settings::MP3Tag, ConvertToMp3, SampleLayout::Planar16,
         {false, 1152 * 2, true}},
        {Family::Wav, WavRenderRate, false, &Settings::AutoDestWAVEncodingParam, &Settings::AmplifyWav,
         &Settings::AmplifyWavCoeff, nullptr, nullptr, ConvertToWav, SampleLayout::Either,
         {true, 0, true}},
        {Family::Ogg, OggRenderRate, false, &Settings::AutoDestOGGEncodingParam, &Settings::AmplifyOGG,
         &Settings::AmplifyOGGCoeff, &Settings::OGGID3TagType, &Settings::OGGTag, ConvertToOgg, SampleLayout::Planar16,
         {false, 2048, false}},
        {Family::Amr, AmrRenderRate, false, nullptr, &Settings::AmplifyAMR, &Settings::AmplifyAMRCoef, nullptr,
         nullptr, ConvertToAmr, SampleLayout::Planar16,
         {false, 320 * 2, false}},
        {Family::Aac, Fixed44100, false, &Settings::AutoDestAACEncodingParam, &Settings::AmplifyAAC,
         &Settings::AmplifyAACCoef, nullptr, nullptr, ConvertToAac, SampleLayout::Planar16,
         {false, 1024 * 3, false}},
        {Family::Mp4, Fixed44100, false, &Settings::AutoDestM4AEncodingParam, &Settings::AmplifyM4A,
         &Settings::AmplifyM4ACoef, &Settings::M4AID3TagType, &Settings::M4ATag, ConvertToMp4, SampleLayout::Planar16,
         {false, 1024 * 3, false}},
        {Family::WindowsMedia, WmaRenderRate, true, &Settings::AutoDestWMAEncodingParam, &Settings::AmplifyWMA,
         &Settings::AmplifyWMACoeff, &Settings::WMAID3TagType, &Settings::WMATag, ConvertToWindowsMedia, SampleLayout::Planar16,
         {false, 2048 * 3, false}},
        // The lossless families have no gain: what they store is the source's own samples.
        {Family::Flac, FlacRenderRate, false, nullptr, nullptr, nullptr, &Settings::FLACID3TagType, &Settings::FLACTag,
         ConvertToFlac, SampleLayout::Wide, {true, 0, true, true}},
        {Family::Alac, AlacRenderRate, false, nullptr, nullptr, nullptr, &Settings::M4AID3TagType, &Settings::M4ATag,
         ConvertToAlac, SampleLayout::Wide, {true, 0, true}},
        {Family::Opus, Fixed48000, false, nullptr, &Settings::AmplifyOPUS, &Settings::AmplifyOPUSCoeff,
         &Settings::OPUSID3TagType, &Settings::OPUSTag, ConvertToOpus, SampleLayout::Wide, {false, 960 * 3, true}},
    };
    for (const FamilyInfo& f : families)
        if (f.family == family) return f;
    return families[0];
}

const std::vector<OutputFormatInfo>& OutputFormats() {
    static const std::vector<OutputFormatInfo> formats = {
        {kOutputMp3, "MP3", ".mp3", Family::Mp3}, {kOutputWav, "WAV", ".wav", Family::Wav},
        {kOutputOgg, "OGG", ".ogg", Family::Ogg}, {kOutputAmr, "AMR", ".amr", Family::Amr},
        {kOutputAwb, "AWB", ".awb", Family::Amr}, {kOutputAac, "AAC", ".aac", Family::Aac},
        {kOutputM4a, "M4A", ".m4a", Family::Mp4}, {kOutputMp4, "MP4", ".mp4", Family::Mp4},
        {kOutputM4b, "M4B", ".m4b", Family::Mp4}, {kOutputM4r, "M4R", ".m4r", Family::Mp4},
        {kOutputWma, "WMA", ".wma", Family::WindowsMedia}, {kOutputWmv, "WMV", ".wmv", Family::WindowsMedia},
        {kOutputAsf, "ASF", ".asf", Family::WindowsMedia}, {kOutputFlac, "FLAC", ".flac", Family::Flac},
        {kOutputOpus, "OPUS", ".opus", Family::Opus}, {kOutputAlac, "ALAC", ".m4a", Family::Alac},
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

const FamilyInfo* FamilyOfFormat(int code) {
    const OutputFormatInfo* format = FindOutputFormat(code);
    return format ? &FamilyOf(format->family) : nullptr;
}

const std::vector<FormatChoice>& FormatChoices() {
    static const std::vector<FormatChoice> choices = [] {
        // Entries without a display name show the format's extension in upper case.
        struct Entry {
            int code;
            const char* displayName;
        };
        const Entry entries[] = {
            {kOutputMp3, nullptr},
            {kOutputWav, nullptr},
            {kOutputWma, nullptr},
            {kOutputWmv, "WMV (Audio only)"},
            {kOutputAsf, "ASF (Audio only)"},
            {kOutputOgg, nullptr},
            {kOutputAac, nullptr},
            {kOutputM4a, "AAC for iPod / iTunes / DSi"},
            {kOutputMp4, "MP4 (Audio only)"},
            {kOutputM4a, "M4A (MPEG-4 Audio)"},
            {kOutputM4b, "M4B (MPEG-4 Audiobook)"},
            {kOutputM4r, "M4R (iPhone Ringtone)"},
            {kOutputAmr, nullptr},
            {kOutputAwb, nullptr},
            {kOutputFlac, nullptr},
            {kOutputAlac, "ALAC"},
            {kOutputOpus, "Opus"},
        };
        std::vector<FormatChoice> out;
        for (const Entry& e : entries) {
            std::string name;
            if (e.displayName) {
                name = e.displayName;
            } else {
                for (const char* p = FindOutputFormat(e.code)->extension; *p; ++p)
                    if (*p != '.') name += static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
            }
            out.push_back({e.code, " to " + name});
        }
        return out;
    }();
    return choices;
}

}  // namespace sonavert
