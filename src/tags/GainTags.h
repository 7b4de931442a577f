#pragma once
// ReplayGain 2.0 and R128 gain tags written into finished files with TagLib. The encoders' own
// writers cannot carry them (the gain is known only once the last sample was encoded, and
// FFmpeg's muxers drop such tags), so they are added to the complete file afterwards.
#include <string>

namespace sonavert {

// How a target kind keeps its gain tags.
enum class GainTagKind {
    None,    // no tags (WAV, raw AAC, AMR)
    Id3v2,   // TXXX frames REPLAYGAIN_TRACK_GAIN, _PEAK (and _ALBUM_*), in an MP3 file
    Vorbis,  // Vorbis comments of an Ogg Vorbis file
    Flac,    // Vorbis comments of a FLAC file
    Opus,    // R128_TRACK_GAIN / R128_ALBUM_GAIN of an Ogg Opus file, no REPLAYGAIN_*
    Mp4,     // freeform ----:com.apple.iTunes:replaygain_* atoms
    Asf,     // Windows Media attributes
};

// The kind of a target by its extension (".mp3", ".ogg", ".opus", ".flac", ".m4a", ".wma"...).
GainTagKind GainTagKindOf(const std::string& extension);

// Loudness reference of ReplayGain 2.0 gains, LUFS.
inline constexpr double kReplayGainReference = -18.0;
// Loudness reference of the R128 gains of Ogg Opus files, LUFS.
inline constexpr double kR128Reference = -23.0;

// One set of gains: the integrated loudness (LUFS) and the true peak (linear, 1.0 = full scale).
struct GainFigures {
    double loudness = 0;
    double peak = 0;
};

// What a writing changes: the track's gain, the album's gain, or both.
struct GainTagValues {
    bool track = false;
    GainFigures trackFigures;
    bool album = false;
    GainFigures albumFigures;
};

// "-4.97 dB": the ReplayGain 2.0 gain text of a loudness.
std::string ReplayGainText(double loudness);
// "0.988553": the peak text.
std::string ReplayGainPeakText(double peak);
// The R128 gain of a loudness in Q7.8 fixed point (1/256 dB steps) relative to -23 LUFS,
// rounded and held within the 16-bit range.
int R128GainQ78(double loudness);

// Writes the gains into `path` in the manner of `kind`, replacing earlier values of the same
// names; an MP3 file's ID3v2 tag keeps its version (2.3 for a new tag) and every other frame.
// False with `reason` set when the file cannot be read or saved.
bool WriteGainTags(const std::string& path, GainTagKind kind, const GainTagValues& values, std::string& reason);

}  // namespace sonavert
