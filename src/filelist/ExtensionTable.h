#pragma once
#include <string>
#include <vector>

namespace sonavert {

// Source type code for an extension including its dot, compared without regard to ASCII case
// (".MP3" gives 1000); 9000 for anything not in the table.
int SourceTypeForExtension(const std::string& extension);

// Source type code for the extension of the file name in `path`.
int SourceTypeForPath(const std::string& path);

// The open dialog's filter list: 50 entries, "All Files (*.*)" first. Each entry's pattern is the
// text inside its name's parentheses.
struct OpenDialogFilter {
    const char* name;
    const char* pattern;
};
inline constexpr int kOpenDialogFilterCount = 50;
extern const OpenDialogFilter kOpenDialogFilters[kOpenDialogFilterCount];

// Extensions the decoders read that have no entry of their own in the open dialog's list
// (FFmpeg opens them as any other file), as patterns: "*.opus", "*.webm", "*.caf"...
extern const char* const kMoreAudioPatterns[];
extern const int kMoreAudioPatternCount;

// The patterns of "All audio files": every entry's patterns but All Files', then the ones above,
// each once, in that order.
std::vector<std::string> AllAudioPatterns();

}  // namespace sonavert
