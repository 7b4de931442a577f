#pragma once
// Keeps the Settings record in an INI file that mirrors a registry key: the file stands for the
// key "Software\Brisvane Sonavert", its section [Options] for the subkey "Options" (the tag sets
// are the subkeys Options/MP3Tag, Options/OGGTag, Options/WMATag, Options/M4ATag), and every
// value has the same name as the record's field.
//
// The file is meant to be read and edited by people too. An integer is written as a plain
// decimal number (-1, 128); the older form "dword:" and eight hex digits (two's complement, so
// -1 is dword:ffffffff) still loads. A text is written as it is, or with the prefix "sz:" when it
// would otherwise look like an old-form integer or start with "sz:". A value of the wrong type for
// its field (a word where an integer belongs, an old-form integer where a text belongs) is treated
// as missing.
#include <functional>
#include <string>

#include "settings/Settings.h"

namespace sonavert {

// Save groups, combined as bits for SaveSettings.
inline constexpr unsigned kSaveFolder = 4;    // Folder
inline constexpr unsigned kSaveOptions = 8;   // every other flat value and the four tag sets
inline constexpr unsigned kSaveExit = 16;     // OutputFormat, OptStartPageIndex

// The file name of the manual opened on the first start, looked up beside the executable.
inline constexpr const char* kHelpFileName = "sonavert.html";

class SettingsStore {
public:
    // The user's store: $XDG_CONFIG_HOME/Brisvane Sonavert/Sonavert.ini (~/.config when the
    // variable is unset), resolved when the store is constructed.
    SettingsStore();
    // A store kept in the given file.
    explicit SettingsStore(std::string iniPath);

    const std::string& Path() const { return path_; }

    // Reads every flat value and the four tag sets, applying the load rules; missing or
    // wrong-typed values leave their fields unchanged, and a store that is missing, unreadable
    // or not a valid INI file leaves the whole record unchanged. Rebuilds the extension filter
    // list after a successful read. Always returns 1.
    int LoadSettings(Settings& settings) const;

    // Writes the groups in `groups` (kSaveExit, kSaveFolder, kSaveOptions as bits). Returns 0
    // without writing anything for an empty set, and 0 when the file cannot be written; 1 when
    // everything was written. A store that is there but is not a readable regular file (a
    // folder, a FIFO) or cannot be parsed is never rewritten or replaced: saving returns 0.
    int SaveSettings(const Settings& settings, unsigned groups) const;

    // Reads or writes one tag set under Options/<name>Tag ("MP3", "OGG", "WMA", "M4A").
    // On load, a missing or empty text (or one of the wrong type) becomes empty, a missing number
    // keeps its value; returns 0 and leaves the set unchanged when the subkey does not exist.
    // Save returns 0 when the file cannot be written.
    int LoadTagOverrides(TagOverrides& tags, const std::string& name) const;
    int SaveTagOverrides(const TagOverrides& tags, const std::string& name) const;

    // On the first start (no FirstRun value of 0 in the store) records FirstRun = 0 and calls
    // `openHelp` with the manual's path (the executable's folder + kHelpFileName); the help is
    // not opened when the executable's folder is unknown. Returns true when it was the first
    // start; a store that is there but cannot be used (as for SaveSettings) is no first start
    // and stays untouched.
    bool CheckFirstRun(const std::function<void(const std::string& helpPath)>& openHelp) const;

private:
    std::string path_;
};

}  // namespace sonavert
