#pragma once
// The one record of all options. Every field carries the name under which the settings store
// keeps it, and every other module refers to the option by that name.
#include <cstdint>
#include <string>
#include <vector>

namespace sonavert {

// Output folder choices (DestOutputFolderOpt).
inline constexpr int32_t kDestBesideSource = 199;
inline constexpr int32_t kDestCustomFolder = 399;
// Existing-target policies (TargetExistsOpt).
inline constexpr int32_t kTargetRename = 11;
inline constexpr int32_t kTargetOverwrite = 22;
inline constexpr int32_t kTargetSkip = 33;
// Converts only when the target is missing or older than its source; otherwise the row is done.
inline constexpr int32_t kTargetUpdate = 44;

// Tag texts typed by the user for one output family ("MP3", "OGG", "WMA", "M4A", "FLAC"). Used when the
// family's ...ID3TagType is 0.
struct TagOverrides {
    int32_t TitleAsFileName = 1;  // the source's file name without extension becomes the title
    std::string Title;
    std::string Artist;
    std::string Album;
    std::string Year;
    std::string Genre;
    std::string Comment;
    std::string Composer;
    std::string Copyright;
    int32_t TrackNumType = 0;    // 0 none, 1 sequence number in the batch, 2 CustomTrackNum
    int32_t CustomTrackNum = 0;  // 0..255

    bool operator==(const TagOverrides&) const = default;
};

// Booleans are integers 0 or 1 as stored. In rate, bit-rate, channel and sample-size choices 0
// means "same as the source file". Gains are percentages (100 = unchanged).
struct Settings {
    // General, output folder and list filter.
    std::string Folder;                         // last folder of the Add Folder browse
    int32_t DestOutputFolderOpt = kDestBesideSource;
    std::string DestSpecifiedFolder;
    int32_t CreateDirs = 0;
    int32_t TargetExistsOpt = kTargetRename;
    int32_t OutputFiles2MyDocuments = 1;
    int32_t BrowseOutputFolder = 1;
    int32_t ParallelJobs = 0;                   // files converted at once: 0 one per core, 1..32
    int32_t MonoType = 0;                       // 0 (L+R)/2, 1 left, 2 right
    int32_t EnableExtFilter = 0;
    std::string FilterExts;                     // "wav,mp3,m4a"
    int32_t OutputFormat = 1000;
    int32_t OptStartPageIndex = 0;

    // MP3 output.
    int32_t AutoDestMP3EncodingParam = 1;
    int32_t MP3BitRate = 128;                   // kbps
    int32_t MP3SampleRate = 44100;
    int32_t MP3ChannelMode = 1;                 // 0 stereo, 1 joint, 3 mono, 4 same as source
    int32_t MP3ID3TagType = 1;                  // 0 typed texts, 1 source tags, 2 none
    int32_t MP3WriteID3Version = 1;             // 0 ID3v1, 1 ID3v2, 2 both
    int32_t AmplifyMp3 = 0;
    int32_t AmplifyMp3Coeff = 100;

    // WAV output.
    int32_t AutoDestWAVEncodingParam = 1;
    int32_t WAVSampleRate = 44100;
    int32_t WAVChannelNum = 2;
    int32_t WAVBitsPerSample = 16;
    int32_t AmplifyWav = 0;
    int32_t AmplifyWavCoeff = 100;

    // WMA, WMV and ASF output.
    int32_t AutoDestWMAEncodingParam = 1;
    int32_t WMABitRate = 128000;                // bits per second
    int32_t WMASampleRate = 44100;
    int32_t WMAChannels = 2;
    int32_t WMAID3TagType = 1;
    int32_t AmplifyWMA = 0;
    int32_t AmplifyWMACoeff = 100;

    // OGG Vorbis output.
    int32_t AutoDestOGGEncodingParam = 1;
    int32_t OGGBitRate = 128;                   // kbps
    int32_t OGGSampleRate = 44100;
    int32_t OGGChannels = 2;
    int32_t OGGID3TagType = 1;
    int32_t AmplifyOGG = 0;
    int32_t AmplifyOGGCoeff = 100;

    // Raw AAC output.
    int32_t AutoDestAACEncodingParam = 1;
    int32_t AACVBR = 1;
    int32_t AACVBRQuality = 100;
    int32_t AACABRBitRate = 128;
    int32_t AACMpegVersion = 0;                 // 0 MPEG-4, 1 MPEG-2
    int32_t AACEnableTNS = 0;
    int32_t AACEnableMidside = 1;
    int32_t AACBlockType = 0;                   // 0 both, 1 no short, 2 no long
    int32_t AmplifyAAC = 0;
    int32_t AmplifyAACCoef = 100;

    // MPEG-4 container output (M4A, M4B, M4R, MP4).
    int32_t AutoDestM4AEncodingParam = 1;
    int32_t M4AVBR = 1;
    int32_t M4AVBRQuality = 100;
    int32_t M4AABRBitRate = 128;
    int32_t M4AEnableTNS = 0;
    int32_t M4AEnableMidside = 1;
    int32_t M4ABlockType = 0;
    int32_t AmplifyM4A = 0;
    int32_t AmplifyM4ACoef = 100;
    int32_t M4AID3TagType = 1;

    // AMR (narrow or wide band) and AWB output.
    int32_t AMRType = 0;                        // 0 narrow band 8000 Hz, 1 wide band 16000 Hz
    int32_t AMRMode = 6;
    int32_t AMRWBMode = 6;
    int32_t AMRDTX = 0;
    int32_t AWBMode = 6;
    int32_t AWBDTX = 0;
    int32_t AmplifyAMR = 0;
    int32_t AmplifyAMRCoef = 100;

    // WAV above 16 bits: the sample format of 32-bit WAV output.
    int32_t WAVSampleFormat = 0;                // 0 integer, 1 floating point (with 32 bits only)
    // Verified conversions: 0 off, 1 lossless targets only, 2 every target.
    int32_t VerifyTargets = 1;

    TagOverrides MP3Tag;
    TagOverrides OGGTag;
    TagOverrides WMATag;
    TagOverrides M4ATag;

    // FLAC and ALAC output (ALAC's tags follow the M4A policy and typed set).
    int32_t FLACCompression = 5;                // libFLAC's level, 0 fastest to 8 smallest
    int32_t FLACSampleRate = 0;                 // Hz; 0 keeps the source's rate
    int32_t FLACID3TagType = 1;                 // 0 typed texts, 1 source tags, 2 none
    TagOverrides FLACTag;
    int32_t ALACSampleRate = 0;                 // Hz; 0 keeps the source's rate
    // Opus output and MP3 with a variable bit rate.
    int32_t OPUSBitRate = 128;                  // kbps for two channels; others scale by channel count
    int32_t OPUSBitRateMode = 0;                // 0 variable, 1 constrained variable, 2 constant
    int32_t OPUSApplication = 0;                // 0 general audio, 1 voice
    int32_t OPUSID3TagType = 1;                 // 0 typed texts, 1 source tags, 2 none
    int32_t AmplifyOPUS = 0;
    int32_t AmplifyOPUSCoeff = 100;
    int32_t MP3BitRateMode = 0;                 // 0 constant (MP3BitRate), 1 variable (MP3VBRQuality)
    int32_t MP3VBRQuality = 2;                  // LAME's VBR quality: 0 best .. 9 smallest
    TagOverrides OPUSTag;

    // Derived from EnableExtFilter and FilterExts by RebuildExtensionFilter; never stored.
    std::vector<std::string> ExtensionFilter;

    // Converting a library: folders below the added folder mirrored, names from tags.
    int32_t KeepAddedFolderTree = 0;            // 1: the path below a row's added folder is kept
    std::string TargetNamePattern;              // "{artist}/{album}/{track:02} {title}"; empty: source name

    // Loudness: analysis with ReplayGain tags, and normalisation instead of the fixed percentage.
    int32_t LoudnessAnalysis = 0;       // measure every target (EBU R128) and write its gain tags
    int32_t LoudnessAlbumGain = 1;      // with the analysis: album gains over the rows of one album
    int32_t LoudnessAlbumGrouping = 0;  // what forms an album: 0 one folder, 1 album artist (or artist) + album tag
    int32_t LoudnessGainMode = 0;       // 0 the family's Amplify percentage, 1 normalise each file, 2 each album
    int32_t LoudnessTarget = -18;       // LUFS the normalisation aims at: -14, -16, -18 or -23
    int32_t LoudnessPeakCeiling = -10;  // tenths of a dBTP the normalised true peak stays under
    // Cover art.
    int32_t CoverArt = 1;                 // carry the source's picture under the transfer policy
    int32_t CoverArtFromFolder = 0;       // a cover/folder/front image of the source's folder when it has none
    int32_t CoverArtMaxPixels = 0;        // scale pictures wider or taller than this down; 0 keeps every size
    int32_t CoverArtCopyFolderImage = 0;  // copy the folder's image file beside the targets, once per folder

    // Main window geometry, saved when the window closes; a width of 0 opens it at its default
    // size, centred.
    int32_t WindowLeft = 0;
    int32_t WindowTop = 0;
    int32_t WindowWidth = 0;
    int32_t WindowHeight = 0;

    bool operator==(const Settings&) const = default;
};

// A record with every default, including the documents-folder default: when the user's
// documents folder is known (it is created when missing) DestSpecifiedFolder is that folder and
// DestOutputFolderOpt is 399; otherwise they stay empty and 199 as in a default-constructed
// record.
Settings DefaultSettings();

// The user's documents folder without a trailing '/', created when missing; empty when it
// cannot be determined or created.
std::string DocumentsFolder();

// Recomputes ExtensionFilter: empty when EnableExtFilter is 0, otherwise FilterExts split at
// every comma and lower-cased, keeping empty pieces ("MP3,,Wav" gives "mp3", "", "wav").
void RebuildExtensionFilter(Settings& settings);

// Repairs out-of-range stored values as they are repaired on loading. Returns the repaired value.
int32_t ApplyLoadRule(const std::string& name, int32_t value);

// Sets one option by its stored name: a flat value ("MP3BitRate", "DestSpecifiedFolder", matched
// without regard to case) or a tag text or number ("MP3Tag/Title", also "MP3Tag\Title"). Integer
// options take decimal text and get the load rules; texts are taken as given. The extension
// filter list is rebuilt when the filter options change. Returns false for an unknown name or a
// value that is not a whole number in the 32-bit range, leaving the record unchanged.
bool SetByName(Settings& settings, const std::string& name, const std::string& value);

}  // namespace sonavert
