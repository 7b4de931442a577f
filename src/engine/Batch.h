#pragma once
// The conversion batch: every chosen row converted in turn into the current output format, with
// target naming, the checks that come before the first row, and a status text for every row.
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "sources/CodecHost.h"
#include "engine/Driver.h"
#include "engine/Pipeline.h"
#include "settings/Settings.h"

namespace sonavert {

// One chosen row as the batch sees it.
struct BatchItem {
    int row = 0;            // the caller's row index, handed back in every row call
    int sourceType = 0;     // Source type code
    std::string sourcePath;
    std::string targetPath; // set when a target was written (or is up to date), empty otherwise
    // The folder the row was added through (its files found by searching it), empty for a file
    // added by itself: the path below it is what KeepAddedFolderTree mirrors and what a shard
    // is chosen by.
    std::string rootFolder = {};
    // False for a row of another shard: it is not converted, but still names its target, so that
    // every shard numbers the targets of clashing names alike.
    bool inRun = true;
    // The source's length in seconds as the list shows it, the row's share of the run's work;
    // 0 when unknown (the row then weighs as much as the average known row).
    double seconds = 0;
};

// What lives between batches: a diagnostic restriction of the decoders tried (a name of
// SourceFactoryContext::onlyDecoder; empty for all) and the number of rows converted at once.
struct BatchState {
    std::string onlyDecoder;
    // Rows converted at once; 0 takes the ParallelJobs setting.
    int jobs = 0;
};

// Texts of the questions and status cells.
inline constexpr const char* kSoundFontStatus = "Failure. Requires file \"ct4mgm.sf2\".";
inline constexpr const char* kWindowsMediaQuestion =
    "Dear user, WMA file requires Windows Media Format 9 Series Runtime.\nUnfortunately, the component isn't "
    "available on your computer.\n\nDo you want to download and install it now?";
// Addresses opened by the questions' Yes.
inline constexpr const char* kWindowsMediaDownloadUrl = "https://sonavert.app/download/windows-media";
inline constexpr const char* kSoundFontDownloadUrl = "https://sonavert.app/download/soundfont";

std::string SoundFontQuestion(const std::string& executableFolder);

// Loads the Windows Media runtime when it is not loaded yet; when it cannot be, asks whether to
// download it (Yes opens the download page). True when the runtime is available.
bool EnsureWindowsMedia(UserQuestions& questions);

// Converts one file to an output format; ConvertFile, or a stand-in in tests.
using ConvertFunction = std::function<int(int outputFormat, const ConversionRequest&, ConversionContext&)>;

// Runs the batch over the items in `items` whose inRun is set, in order. Converted and up-to-date
// items keep their target path. Returns true when every item run converted or was up to date.
bool RunConversionBatch(std::vector<BatchItem>& items, int outputFormat, const Settings& settings, CodecHost& host,
                        BatchDriver& driver, BatchState& state, const ConvertFunction& convert = ConvertFile);

// Reserves the target path of `sourcePath` for `outputFormat` by the folder and existing-file
// settings. Returns true with `target` set, or false with `reason` set. The source path is first
// made absolute and normalised by its text (links not resolved), so a mirrored tree holds no
// ".."; the target must lie inside its folder, and a name that would pass the file-name limit
// is shortened between characters, keeping its number and extension. The batch writes every
// target under a temporary name in its folder and gives it the final name only when complete.
// When the target is an existing file to overwrite, `replace` is set: the temporary is then
// written beside the file (beside the file a symbolic link leads to, the link staying as it is)
// and replaces it keeping its permissions. A symbolic link to a missing file is not overwritten.
// `skipped` (when given) tells a target that exists and is skipped by the settings, or under the
// update policy one that is up to date (`target` then names it); names in `reserved` (targets of
// rows still being converted) count as existing files. `root` is the folder the row was added
// through (see BatchItem); `number` the number the update policy gives the target (0 but for
// the later ones, by their paths, of the sources of a batch whose targets would share a name).
bool MakeTargetPath(const std::string& sourcePath, int outputFormat, const Settings& settings, std::string& target,
                    bool& replace, std::string& reason, bool* skipped = nullptr,
                    const std::set<std::string>* reserved = nullptr, const std::string& root = {}, int number = 0);

// Where the target of `sourcePath` (added through `root`) would go by the folder and naming
// settings before any file on the disk counts: no number, no folder made, no documents retry.
std::string PreviewTargetPath(const std::string& sourcePath, const std::string& root, int outputFormat,
                              const Settings& settings);

// The status of a row whose target is up to date under the update policy.
inline constexpr const char* kUpToDateStatus = "Target is up to date";

// How many rows a batch converts at once for the ParallelJobs setting: 0 one per core, else the
// setting, within 1..32.
int BatchJobs(int32_t parallelJobs);

}  // namespace sonavert
