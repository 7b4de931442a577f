#pragma once
#include <cstdint>
#include <string>

#include "sources/AudioSource.h"

namespace sonavert {

// One row of the conversion list: what was learnt about a source file when it was added, and the
// target the batch reserves for it.
struct FileEntry {
    std::string sourcePath;             // absolute, '/'-separated
    uint32_t storedChannels = 0;        // channels stored in the file
    int32_t channelMode = kModeNone;    // MPEG channel mode; meaningful for MP3 sources only
    uint32_t sampleRate = 0;            // Hz
    uint32_t bitRate = 0;               // kbps
    uint32_t duration = 0;              // whole seconds
    uint16_t sourceType = 0;            // Source type code from the extension table
    std::string targetPath;             // empty until the batch reserves a target
    std::string rootFolder;             // the folder the row was added through; empty for a file added by itself
};

}  // namespace sonavert
