#include "filelist/ExtensionTable.h"

#include <algorithm>
#include <cstring>

#include "base/PathHelpers.h"
#include "sources/SourceTypes.h"

namespace sonavert {
namespace {

struct ExtensionCode {
    const char* extension;
    int code;
};

const ExtensionCode kExtensions[] = {
    {".mp3", kSourceMp3},
    {".wav", kSourceWav},       {".wave", kSourceWav},
    {".ogg", kSourceOgg},       {".oga", kSourceOgg},   {".ogm", kSourceOgg},
    {".ogv", kSourceOgg},       {".ogx", kSourceOgg},
    {".mod", kSourceModule},    {".xm", kSourceModule}, {".it", kSourceModule},
    {".s3m", kSourceModule},    {".mtm", kSourceModule}, {".umx", kSourceModule},
    {".mo3", kSourceModule},
    {".midi", kSourceMidi},     {".mid", kSourceMidi},  {".rmi", kSourceMidi},
    {".kar", kSourceMidi},
    {".au", kSourceAu},         {".snd", kSourceAu},
    {".aif", kSourceAiff},      {".aiff", kSourceAiff}, {".aifc", kSourceAiff},
    {".afc", kSourceAiff},
    {".cda", kSourceCdAudio},
    {".flac", kSourceFlac},     {".fla", kSourceFlac},
    {".wma", kSourceWindowsMedia}, {".wmv", kSourceWindowsMedia}, {".asf", kSourceWindowsMedia},
    {".wm", kSourceWindowsMedia},  {".wmd", kSourceWindowsMedia}, {".xwmv", kSourceWindowsMedia},
    {".wv", kSourceWavPack},
    {".adx", kSourceAdx},
    {".ape", kSourceApe},       {".mac", kSourceApe},
    {".mpc", kSourceMusepack},  {".mpp", kSourceMusepack}, {".mp+", kSourceMusepack},
    {".spx", kSourceSpeex},
    {".tta", kSourceTta},
    {".aac", kSourceAac},
    {".mp4", kSourceMp4},       {".m4v", kSourceMp4},
    {".m4a", kSourceM4a},       {".m4b", kSourceM4a},
};

std::string AsciiLower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

}  // namespace

int SourceTypeForExtension(const std::string& extension) {
    std::string lower = AsciiLower(extension);
    for (const ExtensionCode& e : kExtensions)
        if (lower == e.extension) return e.code;
    return kSourceOther;
}

int SourceTypeForPath(const std::string& path) { return SourceTypeForExtension(ExtensionPart(path)); }

const OpenDialogFilter kOpenDialogFilters[kOpenDialogFilterCount] = {
    {"All Files (*.*)", "*.*"},
    {"3GPP Files (*.3gp;*.3gpp)", "*.3gp;*.3gpp"},
    {"3GPP2 Files (*.3g2;*.3gp2)", "*.3g2;*.3gp2"},
    {"Adobe Flash Files (*.swf)", "*.swf"},
    {"Advanced Audio Coding (*.aac)", "*.aac"},
    {"AIFF Files (*.aiff;*.aif;*.aifc;*.afc)", "*.aiff;*.aif;*.aifc;*.afc"},
    {"AMR Files (*.amr;*.awb)", "*.amr;*.awb"},
    {"AU Files (*.au;*.snd)", "*.au;*.snd"},
    {"AVI Files (*.avi)", "*.avi"},
    {"CD Audio (*.cda)", "*.cda"},
    {"Creative Voice Files (*.voc)", "*.voc"},
    {"CRI ADX Files (*.adx)", "*.adx"},
    {"Dolby Digital AC-3 (*.ac3)", "*.ac3"},
    {"DTS Files (*.dts)", "*.dts"},
    {"DV Video Files (*.dv;*.dif)", "*.dv;*.dif"},
    {"DVD Video Files (*.vob;*.dvd)", "*.vob;*.dvd"},
    {"Electronic Arts CDATA Files (*.cdata)", "*.cdata"},
    {"Flash Video Files (*.flv)", "*.flv"},
    {"Free Lossless Audio Codec (*.flac;*.fla)", "*.flac;*.fla"},
    {"H.264/MPEG4 AVC Video (*.m2ts;*.mts)", "*.m2ts;*.mts"},
    {"Matroska Files (*.mkv;*.mka)", "*.mkv;*.mka"},
    {"Microsoft Digital Video Recording (*.dvr-ms)", "*.dvr-ms"},
    {"MIDI Files (*.midi;*.mid;*.rmi;*.kar)", "*.midi;*.mid;*.rmi;*.kar"},
    {"MJPEG Video Files (*.mjpg;*.mjpeg)", "*.mjpg;*.mjpeg"},
    {"MMF Files (*.mmf)", "*.mmf"},
    {"MOD Musics (*.mod;*.xm;*.it;*.s3m;*.mtm;*.umx;*.mo3)", "*.mod;*.xm;*.it;*.s3m;*.mtm;*.umx;*.mo3"},
    {"Monkey's Audio (*.ape;*.mac)", "*.ape;*.mac"},
    {"MP3 Files (*.mp3)", "*.mp3"},
    {"MPEG Audio Files (*.mpa;*.mpga;*.m2a)", "*.mpa;*.mpga;*.m2a"},
    {"MPEG Video Files (*.mpg;*.mpe;*.mpeg;*.m1v;*.mp2;*.m2v;*.mp1;*.mlv)",
     "*.mpg;*.mpe;*.mpeg;*.m1v;*.mp2;*.m2v;*.mp1;*.mlv"},
    {"MPEG-4 Audio Files (*.m4a;*.m4b;*.mp4)", "*.m4a;*.m4b;*.mp4"},
    {"MPEG4 TS HD Video (*.ts)", "*.ts"},
    {"MPEG-4 Video Files (*.mp4;*.m4v;*.mpv;*.psp)", "*.mp4;*.m4v;*.mpv;*.psp"},
    {"Musepack (*.mpc;*.mp+;*.mpp)", "*.mpc;*.mp+;*.mpp"},
    {"Nullsoft Audio/Video Files (*.nsv;*.nsa)", "*.nsv;*.nsa"},
    {"NUT Files (*.nut)", "*.nut"},
    {"OGG Files (*.ogg;*.oga;*.ogm;*.ogv;*.ogx)", "*.ogg;*.oga;*.ogm;*.ogv;*.ogx"},
    {"QuickTime Files (*.mov;*.qt)", "*.mov;*.qt"},
    {"Raw h261 Files (*.h261)", "*.h261"},
    {"Raw h263 Files (*.h263)", "*.h263"},
    {"Raw h264 Video Files (*.h264;*.264)", "*.h264;*.264"},
    {"Real Audio Files (*.ra;*.ram)", "*.ra;*.ram"},
    {"Real Media Files (*.rm;*.rmvb)", "*.rm;*.rmvb"},
    {"Speex (*.spx)", "*.spx"},
    {"The True Audio (*.tta)", "*.tta"},
    {"VCD Video Files (*.dat)", "*.dat"},
    {"WAV Files (*.wav;*.wave)", "*.wav;*.wave"},
    {"WavPack (*.wv)", "*.wv"},
    {"Windows Media Files (*.wma;*.asf;*.wmv;*.wm;*.wmd;*.xwmv)", "*.wma;*.asf;*.wmv;*.wm;*.wmd;*.xwmv"},
    {"YUV Video Files (*.yuv)", "*.yuv"},
};

const char* const kMoreAudioPatterns[] = {"*.opus", "*.webm", "*.weba", "*.caf", "*.w64", "*.rf64",
                                          "*.dsf",  "*.dff",  "*.m4r",  "*.mp2", "*.wv"};
const int kMoreAudioPatternCount = static_cast<int>(sizeof kMoreAudioPatterns / sizeof kMoreAudioPatterns[0]);

std::vector<std::string> AllAudioPatterns() {
    std::vector<std::string> patterns;
    auto add = [&](const std::string& pattern) {
        if (!pattern.empty() && std::find(patterns.begin(), patterns.end(), pattern) == patterns.end())
            patterns.push_back(pattern);
    };
    for (int i = 1; i < kOpenDialogFilterCount; ++i) {
        const std::string list = kOpenDialogFilters[i].pattern;
        size_t start = 0;
        for (size_t end; (end = list.find(';', start)) != std::string::npos; start = end + 1)
            add(list.substr(start, end - start));
        add(list.substr(start));
    }
    for (int i = 0; i < kMoreAudioPatternCount; ++i) add(kMoreAudioPatterns[i]);
    return patterns;
}

}  // namespace sonavert
