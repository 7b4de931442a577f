#pragma once
// The one table of output formats and the families that encode them. Every fact of an output
// format (its code, name, extension, family) and of a family (its render-rate rule, the Windows
// Media check, its settings, its pipeline) is read from here.
#include <cstdint>
#include <string>
#include <vector>

#include "settings/Settings.h"

namespace sonavert {

struct ConversionRequest;
struct ConversionContext;

// Output format codes: the values of the OutputFormat setting.
enum OutputFormat : int {
    kOutputMp3 = 1000,
    kOutputWav = 2000,
    kOutputOgg = 4000,
    kOutputAmr = 5500,
    kOutputAwb = 5600,
    kOutputAac = 6000,
    kOutputM4a = 6500,
    kOutputMp4 = 6600,
    kOutputM4b = 6700,
    kOutputM4r = 6800,
    kOutputWma = 7100,
    kOutputWmv = 7200,
    kOutputAsf = 7300,
    kOutputFlac = 8000,
    kOutputOpus = 8100,
    kOutputAlac = 8200,
};

enum class Family { Mp3, Wav, Ogg, Amr, Aac, Mp4, WindowsMedia, Flac, Alac, Opus };

// The samples a family's encoder takes, declared in its row of the family table.
enum class SampleLayout {
    Planar16,  // the 16-bit read: one or two planes of 16-bit (or unsigned 8-bit) samples
    Wide,      // the wide read: interleaved doubles of every channel the source holds
    Either,    // chosen per file by the adapter's ChooseFormat (TargetFormat::wide.channels != 0: wide)
};

// Converts one file; returns 1 when the whole source was converted, 0 on failure or Cancel.
using PipelineFunction = int (*)(const ConversionRequest&, ConversionContext&);

// How a family's targets are checked, declared in its row of the family table.
struct FamilyCheck {
    // Every sample comes back bit-exact.
    bool lossless = false;
    // Lossy formats: how far, in frames at the encoded rate, the decoded length may lie from the
    // encoded one (the codec's delay and last frame, and the overlap frame some decoders give
    // beyond it); also the span at either end whose level is not judged.
    uint32_t lengthSlack = 0;
    // The container's gapless information (the decoder trims delay and padding, as with MP3's
    // Info frame) makes the decoded length exact; without it `lengthSlack` applies.
    bool exactWhenTrimmed = false;
    // The target's stream information holds the MD5 of its samples (FLAC), which must match that
    // of the samples handed to the encoder.
    bool streamMd5 = false;
};

// One output family: what every format of it shares.
struct FamilyInfo {
    Family family;
    // Rate at which tracker modules and MIDI files are rendered for this family.
    uint32_t (*renderRate)(const Settings&, int outputFormat);
    // Windows Media targets need the Windows Media runtime before the first row.
    bool needsWindowsMedia;
    // The family's settings; null where the family has none.
    int32_t Settings::*autoParams;
    int32_t Settings::*amplify;
    int32_t Settings::*amplifyCoeff;
    int32_t Settings::*tagPolicy;  // 0 typed texts, 1 the source's tags, other values none
    TagOverrides Settings::*typedTags;
    // The pipeline; null while the family has no encoder in this build.
    PipelineFunction convert;
    // Which of the sources' two reads feeds the family's encoder.
    SampleLayout takes;
    // How a target is checked once written (the VerifyTargets setting).
    FamilyCheck check;
};

// One output format: its code, the name shown in progress texts, the target's extension, its family.
struct OutputFormatInfo {
    int code;
    const char* name;
    const char* extension;
    Family family;
};

// One entry of the main window's format list: the code it selects and its text (" to MP3").
struct FormatChoice {
    int code;
    std::string text;
};

// Every output format, in code order.
const std::vector<OutputFormatInfo>& OutputFormats();
// The format of a code, or null for an unknown code.
const OutputFormatInfo* FindOutputFormat(int code);
// The format named like "mp3" or "M4A" (its name, case-insensitive), or null.
const OutputFormatInfo* FindOutputFormatByName(const std::string& name);
// The family's row.
const FamilyInfo& FamilyOf(Family family);
// The family of a format code, or null for an unknown code.
const FamilyInfo* FamilyOfFormat(int code);
// The main window's format list, in its own order (6500 stands there twice; a stored 6500
// selects the later entry).
const std::vector<FormatChoice>& FormatChoices();

}  // namespace sonavert
