#pragma once
#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "filelist/AddDriver.h"
#include "filelist/FileList.h"
#include "sources/SourceFactory.h"

namespace sonavert {

struct Settings;

// Failure reason of a ".cda" file that is not on a CD.
inline constexpr const char* kCdaReason =
    "IMPORTANT: please DO NOT add CDA file from hard drive, but add CDA file from CD drive.";
// Failure reason of a ".swf" or ".flv" file no decoder could open.
inline constexpr const char* kFlashReason =
    "Flash files (*.swf, *.flv) can only be added when they hold an audio track that can be "
    "decoded; the audio of these files could not be read.";
inline constexpr const char* kNonEnglishEnding =
    "\nThere are non-English characters in filename of some files. Please remove the characters "
    "from filename and then try again.";
inline constexpr const char* kSearchingText = "Searching files...";
// Paths listed in the failure text before the rest is summed up as "<more files>...".
inline constexpr int kListedFailures = 30;
// The cause a failure report gives a readable file that no decoder took and none explained.
inline constexpr const char* kNotAudioCause = "not an audio file";

// True when the text is well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool IsValidUtf8(const std::string& text);

// The candidate filter for searched and dropped paths. With the extension filter enabled, a
// path passes when its lower-cased extension without the dot is in the filter; a symbolic link
// whose own name fails is resolved and its target, when it is a file, tested instead and put in
// `accepted`. With the filter disabled every path passes unchanged. Returns false when dropped.
bool PassCandidate(const std::string& path, const Settings& settings, std::string& accepted);

// A folder a search could not list, or a file that could not be read, and why ("Permission
// denied").
struct AddProblem {
    std::string path;
    std::string cause;
};

// Lists `folder` and its subfolders depth first, each folder before its subfolders, entries of a
// folder in byte order of their names. Linked folders are searched once; loops are cut. Every
// entry that is not a folder goes through the candidate filter and, when it passes, is appended
// to `out`. The driver, when given, is pumped after each folder and a Cancel ends the search.
// A folder that cannot be listed (its subfolders unseen) goes to `unlisted` with its cause.
void SearchFolder(const std::string& folder, const Settings& settings, std::vector<std::string>& out,
                  AddDriver* driver = nullptr, std::vector<AddProblem>* unlisted = nullptr);

// Outcome of AddOneFile.
enum AddStatus : int { kAddFailed = -1, kAlreadyListed = 0, kAdded = 1 };

// What an add run did.
struct AddRunResult {
    int added = 0;
    int alreadyListed = 0;
    std::vector<std::string> failedPaths;
    // Beside each failed path: why, when more is known than that it is no audio file (the
    // system's cause of an unreadable file or folder, a decoder's refusal); else empty.
    std::vector<std::string> failedCauses;
    bool cancelled = false;
    // The message shown at the end; empty when nothing failed.
    std::string report;
};

// Adds files to a list: probes each file once through the source factory and appends a row.
// The failure reason lives in the factory context shared with the batch.
class FileAdder {
public:
    FileAdder(FileList& list, SourceFactoryContext& context) : list_(list), context_(context) {}

    // Worker threads that probe the files of a run ahead of the rows (0: on the caller's thread).
    // The rows, failures and reasons are the same for any count.
    void SetProbeThreads(int threads) { probeThreads_ = std::max(0, threads); }
    static int DefaultProbeThreads() { return static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1u, 4u)); }
    // The probing threads for a run that handles `jobs` files at once (the ParallelJobs setting or
    // --jobs, already resolved to 1..32): none for one job, else as many, at most the default.
    static int ProbeThreadsForJobs(int jobs) { return jobs <= 1 ? 0 : std::min(jobs, DefaultProbeThreads()); }

    // What probing one file found, before it becomes a row: the row (null when no decoder took
    // the file), a decoder's refusal, and the system's cause when the file cannot be read. When
    // the factory reached the Windows Media decoder it asked whether the runtime is available:
    // `windowsMediaAsked` is then set and `windowsMediaAnswer` holds the answer it got.
    struct Probe {
        std::unique_ptr<FileEntry> entry;
        std::string refusal;
        std::string cause;
        bool windowsMediaAsked = false;
        bool windowsMediaAnswer = false;
    };

    // Adds one file. Returns kAdded (and the row in `row`), kAlreadyListed, or kAddFailed (also for
    // a file without any audio stream), after
    // setting the context's failure reason for ".cda", ".swf" and ".flv" files. On failure `cause`,
    // when given, gets the system's cause for a file that cannot be read ("Permission denied") or
    // the decoder's refusal ("its playing time is longer than 12 hours"), else stays empty.
    AddStatus AddOneFile(const std::string& path, int* row = nullptr, std::string* cause = nullptr);

    // Adds the paths in order with progress on the driver, then shows the failure report on it.
    // The extension filter is not applied (the paths were picked by the user). `foundBySearch`,
    // when given, marks the paths that a folder search found (SearchFolder): those whose
    // extension has no source type code of its own (9000) and that cannot be added are skipped
    // without being reported, unless they cannot be read. `unlisted` are folders the search could
    // not list: they lead the failures. `roots`, when given, holds beside each path the folder
    // whose search found it (empty for none), which its row keeps as its root folder.
    AddRunResult AddPaths(const std::vector<std::string>& paths, AddDriver& driver,
                          const std::vector<bool>& foundBySearch = {}, const std::vector<AddProblem>& unlisted = {},
                          const std::vector<std::string>& roots = {});

    // Drop and Add Folder: shows "Searching files...", searches each folder and filters each file
    // in `roots`, then adds what was found in the same run. Files found in folders are treated
    // as AddPaths treats `foundBySearch` ones, and their rows keep the folder as their root
    // folder; the files in `roots` are reported when they fail.
    AddRunResult AddFound(const std::vector<std::string>& roots, const Settings& settings,
                          AddDriver& driver);

private:
    AddRunResult Run(const std::vector<std::string>& paths, AddDriver& driver, const std::vector<bool>& foundBySearch,
                     const std::vector<AddProblem>& unlisted, const std::vector<std::string>& roots);

    // `windowsMedia` answers the factory's Windows Media question; without it the runtime is
    // loaded silently (LoadWindowsMediaRuntime), which a worker thread may do.
    static Probe ProbeFile(const std::string& path, const SourceFactoryContext& shared,
                           const std::function<bool()>& windowsMedia);
    AddStatus Commit(const std::string& path, PathKey key, Probe probe, int* row, std::string* cause,
                     const std::string& root = {});

    FileList& list_;
    SourceFactoryContext& context_;
    int probeThreads_ = DefaultProbeThreads();
};

// The message of a run's end: "Failed to load the following files.\n\n" + failure text (a line per
// path, "PATH (CAUSE)" where the cause is known), then the
// non-English line, or "\n" + reason, or the line referring the user to support.
std::string FailureReport(const std::string& failureText, bool nonEnglish, const std::string& reason);

}  // namespace sonavert
