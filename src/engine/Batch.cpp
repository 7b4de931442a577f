#include "engine/Batch.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <tuple>
#include <vector>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/AlbumGain.h"
#include "engine/OutputFormats.h"
#include "base/PathHelpers.h"
#include "engine/LibraryNaming.h"
#include "engine/Pipeline.h"
#include "engine/TargetFiles.h"
#include "sources/SourceTypes.h"
#include "tags/CoverArt.h"
#include "winmedia/WindowsMediaRuntime.h"

namespace sonavert {

namespace {

std::string Format(const char* pattern, const std::string& value) {
    std::string out;
    for (const char* p = pattern; *p; ++p) {
        if (p[0] == '%' && p[1] == 's') {
            out += value;
            ++p;
        } else {
            out += *p;
        }
    }
    return out;
}

// The temporary that proved a target's folder writable, kept (locked) for the row that writes
// the target, so that a row makes one file rather than a test file and then its own: on file
// systems that hold back the numbers of files removed moments ago, every file made and removed
// slows each later creation. Removed when it goes unused. Left to the worker, the reservation
// makes no file at all: the worker that converts the row makes the temporary.
class KeptTemporary {
public:
    KeptTemporary() = default;
    KeptTemporary(KeptTemporary&& other) noexcept { *this = std::move(other); }
    KeptTemporary& operator=(KeptTemporary&& other) noexcept {
        if (this != &other) {
            Discard();
            path_ = std::move(other.path_);
            beside_ = std::move(other.beside_);
            extension_ = std::move(other.extension_);
            lock_ = std::move(other.lock_);
            leftToWorker_ = other.leftToWorker_;
            other.path_.clear();
        }
        return *this;
    }
    KeptTemporary(const KeptTemporary&) = delete;
    KeptTemporary& operator=(const KeptTemporary&) = delete;
    ~KeptTemporary() { Discard(); }

    // Makes a temporary beside `file`; false with `reason` set when it cannot.
    bool Create(const std::string& file, const std::string& extension, std::string& reason) {
        Discard();
        if (!CreateTemporaryBeside(file, extension, path_, reason, &lock_)) {
            path_.clear();
            return false;
        }
        beside_ = file;
        extension_ = extension;
        return true;
    }
    // Hands the temporary over when it was made beside `file` for `extension`.
    bool Take(const std::string& file, const std::string& extension, std::string& temporary, TemporaryLock& lock) {
        if (path_.empty() || file != beside_ || extension != extension_) return false;
        temporary = path_;
        lock = std::move(lock_);
        path_.clear();
        return true;
    }
    void Discard() {
        if (!path_.empty()) ::unlink(path_.c_str());
        path_.clear();
        lock_.Release();
    }
    void LeaveToWorker(bool leave) { leftToWorker_ = leave; }
    bool LeftToWorker() const { return leftToWorker_; }

private:
    std::string path_;  // empty when none is kept
    std::string beside_;
    std::string extension_;
    TemporaryLock lock_;
    bool leftToWorker_ = false;
};

// Can a temporary be made beside `file` for the target's extension? Never touches the name
// `file` itself, which another process may be about to take. The temporary goes into `keep`
// when given, else it is removed at once; a `keep` left to the worker takes the answer as yes
// (the worker's own creation then tells).
bool CanCreateBeside(const std::string& file, const std::string& extension, std::string* cause = nullptr,
                     KeptTemporary* keep = nullptr) {
    if (keep && keep->LeftToWorker()) return true;
    std::string temporary, reason;
    const bool created = keep ? keep->Create(file, extension, reason)
                              : CreateTemporaryBeside(file, extension, temporary, reason);
    if (!created) {
        if (cause) *cause = reason;
        return false;
    }
    if (!keep) ::unlink(temporary.c_str());
    return true;
}

// A reserved target and how it was named: the folder it must lie inside, the folder it goes
// into (below that one when the source's tree is mirrored), its stem, extension and number (0
// for none), so that a name another process takes meanwhile can give way to the next number.
struct TargetName {
    std::string path;
    std::string home;       // the chosen folder (or the source's), which the target lies inside
    std::string directory;  // ends in '/'
    std::string stem;
    std::string extension;
    int number = 0;
    bool replace = false;   // an existing file, overwritten
};

// The target's path with number `n` ("song_2.mp3"; none for 0), the stem shortened where the
// name would pass the file-name limit.
std::string NumberedPath(const TargetName& name, int n) {
    std::string suffix;
    if (n > 0) suffix.append(1, '_').append(std::to_string(n));
    return name.directory + FitFileName(name.stem, suffix, name.extension);
}

// Where a row's target goes before any folder is made or file counted: the folder it must lie
// inside and the folder it goes into (ending in '/'), for the output folder `folder` (custom) or
// the source's own, mirroring the source's whole path (keepTree) unless the plan mirrors the path
// below the row's added folder, then the plan's folders.
void TargetFolders(const std::string& sourcePath, const TargetPlan& plan, bool custom, const std::string& folder,
                   bool keepTree, TargetName& name) {
    const std::string sourceFolder = sourcePath.substr(0, sourcePath.size() - FileNamePart(sourcePath).size());
    if (!custom) {
        name.home = sourceFolder;
        name.directory = sourceFolder;
    } else {
        name.home = folder;
        name.directory = folder;
        if (name.directory.empty() || name.directory.back() != '/') name.directory += '/';
        if (keepTree && !plan.belowRoot) {
            // Mirror the source's folders below the custom folder: /out + /a/b/x.wav -> /out/a/b/x.
            // Deleting the colons can make a level read ".."; normalised once more, the
            // mirrored tree still cannot climb above its root.
            std::string tree;
            for (char c : sourceFolder)
                if (c != ':') tree += c;
            tree = LexicallyAbsolute("/" + tree).substr(1);
            if (!tree.empty()) name.directory += tree + "/";
        }
    }
    name.directory += plan.subfolders;
}

// The target's name as planned, before any file on the disk counts: its folders by the settings'
// output folder (not the documents retry), its stem and the output format's extension.
TargetName PlannedName(const std::string& sourcePath, const TargetPlan& plan, int outputFormat,
                       const Settings& settings) {
    const OutputFormatInfo* format = FindOutputFormat(outputFormat);
    const std::string fileName = FileNamePart(sourcePath);
    TargetName name;
    name.stem = plan.stem.empty() ? fileName.substr(0, fileName.size() - ExtensionPart(fileName).size()) : plan.stem;
    name.extension = format ? format->extension : "";
    const bool custom = settings.DestOutputFolderOpt == kDestCustomFolder;
    TargetFolders(sourcePath, plan, custom, settings.DestSpecifiedFolder, custom && settings.CreateDirs != 0, name);
    return name;
}

// Why a folder could not be made, as the system tells it: its nearest existing level is no
// folder, or may not be written (or lies on a read-only file system); empty when unknown.
std::string FolderCause(const std::string& folder) {
    std::string level = LexicallyAbsolute(folder);
    struct stat st;
    while (::stat(level.c_str(), &st) != 0) {
        if (level == "/" || level.empty()) return {};
        const size_t slash = level.rfind('/');
        level = slash == 0 || slash == std::string::npos ? std::string("/") : level.substr(0, slash);
    }
    if (!S_ISDIR(st.st_mode)) return std::string(" (") + std::strerror(ENOTDIR) + ")";
    if (level != LexicallyAbsolute(folder) && ::access(level.c_str(), W_OK | X_OK) != 0)
        return std::string(" (") + std::strerror(errno) + ")";
    return {};
}

// Whether an existing target is no older than its source (the update policy's test): its
// modification time, to the nanosecond, is the source's or later.
bool TargetIsCurrent(const std::string& target, const std::string& source) {
    struct stat t, s;
    if (::stat(target.c_str(), &t) != 0 || ::stat(source.c_str(), &s) != 0) return false;
    if (t.st_mtim.tv_sec != s.st_mtim.tv_sec) return t.st_mtim.tv_sec > s.st_mtim.tv_sec;
    return t.st_mtim.tv_nsec >= s.st_mtim.tv_nsec;
}

// MakeTargetPath, keeping how the name was made. `updateNumber` is the number the update policy
// gives the target (see NumberUpdateTargets). With `keep` given, the temporary that proved the
// target writable stays there for the row.
bool ReserveTarget(const std::string& sourceAsGiven, const TargetPlan& plan, int updateNumber, int outputFormat,
                   const Settings& settings, TargetName& name, std::string& reason, bool* skipped,
                   const std::set<std::string>* reserved, KeptTemporary* keep = nullptr) {
    if (skipped) *skipped = false;
    auto taken = [reserved](const std::string& path) { return PathExists(path) || (reserved && reserved->count(path)); };
    // Only the path as it reads, absolute and without "." and "..", ever becomes part of a target.
    const std::string sourcePath = LexicallyAbsolute(sourceAsGiven);
    const OutputFormatInfo* format = FindOutputFormat(outputFormat);
    const std::string outExt = format ? format->extension : "";
    const std::string fileName = FileNamePart(sourcePath);
    const std::string srcExt = ExtensionPart(sourcePath);
    const std::string baseName = plan.stem.empty() ? fileName.substr(0, fileName.size() - srcExt.size()) : plan.stem;
    const bool update = settings.TargetExistsOpt == kTargetUpdate;

    bool custom = settings.DestOutputFolderOpt == kDestCustomFolder;
    std::string folder = settings.DestSpecifiedFolder;
    bool keepTree = settings.CreateDirs != 0;
    bool retried = false;

    for (;;) {
        bool ok = false;
        name = TargetName{};
        name.stem = baseName;
        name.extension = outExt;
        if (custom && (folder.empty() || !EnsureFolder(folder, true))) {
            reason = Format("Failed to create folder \"%s\"", folder) + (folder.empty() ? "" : FolderCause(folder));
        } else {
            TargetFolders(sourcePath, plan, custom, folder, custom && keepTree, name);
            // The folders are made only once the target is known to stay inside its folder.
            if (!LiesInside(NumberedPath(name, 0), name.home)) {
                reason = Format("Target \"%s\" would lie outside its folder", NumberedPath(name, 0));
                return false;
            }
            // A source's own folder is never made again (it went away meanwhile): only the
            // output folder and the folders below it are.
            ok = (!custom && plan.subfolders.empty()) || EnsureFolder(name.directory, true);
            if (!ok) reason = Format("Failed to create folder \"%s\"", name.directory) + FolderCause(name.directory);
        }

        if (ok) {
            name.number = update ? updateNumber : 0;
            std::string target = NumberedPath(name, name.number);
            if (!LiesInside(target, name.home)) {
                reason = Format("Target \"%s\" would lie outside its folder", target);
                return false;
            }
            bool exists = taken(target);
            if (exists) {
                if (settings.TargetExistsOpt == kTargetOverwrite || update) {
                    if (SameFile(target, sourceAsGiven)) {
                        reason =
                            "Target file name is same as original file that can't be overwritten. Please output files "
                            "to a custom folder.";
                        return false;
                    }
                    if (update && !DirectoryExists(target) && TargetIsCurrent(target, sourceAsGiven)) {
                        reason = kUpToDateStatus;
                        name.path = target;
                        if (skipped) *skipped = true;
                        return false;
                    }
                } else if (settings.TargetExistsOpt == kTargetSkip) {
                    reason = "Target exists and skipped";
                    if (skipped) *skipped = true;
                    return false;
                } else {
                    for (int n = 1; taken(target); ++n) {
                        target = NumberedPath(name, n);
                        name.number = n;
                    }
                    exists = false;
                }
            }
            // Test that the target can be written without touching an existing file: a file to
            // overwrite is replaced only once its successor is complete, written beside the file
            // itself (beside where a symbolic link leads). A name only reserved by a running row
            // is tested beside that name.
            bool writable = false;
            std::string cause;
            if (!exists) {
                writable = CanCreateBeside(target, outExt, &cause, keep);
            } else if (!DirectoryExists(target)) {
                std::string replaced = target;
                if (PathExists(target) && !ReplacedFile(target, replaced, reason)) return false;
                writable = CanCreateBeside(replaced, outExt, &cause, keep);
            }
            if (writable) {
                name.path = target;
                name.replace = exists;
                return true;
            }
            reason = Format("Failed to create file \"%s\"", target) + (cause.empty() ? "" : " (" + cause + ")");
        }

        // One more try in the documents folder.
        if (!settings.OutputFiles2MyDocuments || retried) return false;
        retried = true;
        std::string documents = DocumentsFolder();
        if (documents.empty()) return false;
        keepTree = custom && settings.CreateDirs != 0;
        custom = true;
        folder = documents;
    }
}

// The numbers the update policy gives the targets of `items`: taken in byte order of their
// shard keys (the path below the added folder; the list's order, the order of the command line's
// arguments and the folders' mount points do not count), each row takes the first number whose
// name no earlier row took, whatever is on the disk. A target written by another row is so never
// taken for a row's up-to-date target, and the same batch maps every source to the same target on
// every run, and in every shard, since all rows name their targets whether they run or not. Only
// when the sources whose names clash change (one is added or removed) can a later one's number
// move.
std::vector<int> NumberUpdateTargets(const std::vector<BatchItem>& items, const std::vector<TargetPlan>& plans,
                                     int outputFormat, const Settings& settings) {
    std::vector<int> numbers(items.size(), 0);
    // Sources alike below different added folders follow their whole paths.
    std::vector<std::tuple<std::string, std::string, size_t>> order;
    order.reserve(items.size());
    for (size_t i = 0; i < items.size(); ++i)
        order.emplace_back(ShardKey(items[i].sourcePath, items[i].rootFolder), LexicallyAbsolute(items[i].sourcePath), i);
    std::sort(order.begin(), order.end());
    std::set<std::string> claimed;
    for (const auto& [key, path, i] : order) {
        const TargetName name = PlannedName(LexicallyAbsolute(items[i].sourcePath), plans[i], outputFormat, settings);
        int n = 0;
        while (claimed.count(NumberedPath(name, n))) ++n;
        claimed.insert(NumberedPath(name, n));
        numbers[i] = n;
    }
    return numbers;
}

}  // namespace

std::string SoundFontQuestion(const std::string& executableFolder) {
    return Format(
        "Dear user, to decode MIDI file, file \"ct4mgm.sf2\" is required.\nUnfortunately, the file isn't available on "
        "your computer.\n\nDo you want to download the file from our website for free now?\n\nOnce download "
        "completes, please copy the file to folder:\n\"%s\"\nAnd then convert your MIDI file again. Thank you.",
        executableFolder);
}

bool EnsureWindowsMedia(UserQuestions& questions) {
    if (LoadWindowsMediaRuntime()) return true;
    if (questions.AskYesNo(kWindowsMediaQuestion)) questions.OpenAddress(kWindowsMediaDownloadUrl);
    return false;
}

bool MakeTargetPath(const std::string& sourcePath, int outputFormat, const Settings& settings, std::string& target,
                    bool& replace, std::string& reason, bool* skipped, const std::set<std::string>* reserved,
                    const std::string& root, int number) {
    TargetName name;
    replace = false;
    const TargetPlan plan = PlanTarget(sourcePath, root, settings);
    if (!ReserveTarget(sourcePath, plan, number, outputFormat, settings, name, reason, skipped, reserved)) {
        if (skipped && *skipped && settings.TargetExistsOpt == kTargetUpdate) target = name.path;
        return false;
    }
    target = name.path;
    replace = name.replace;
    return true;
}

std::string PreviewTargetPath(const std::string& sourceAsGiven, const std::string& root, int outputFormat,
                              const Settings& settings) {
    const std::string sourcePath = LexicallyAbsolute(sourceAsGiven);
    return NumberedPath(PlannedName(sourcePath, PlanTarget(sourcePath, root, settings), outputFormat, settings), 0);
}

std::string StatusText(const RowOutcome& outcome) {
    switch (outcome.kind) {
        case RowOutcome::Kind::Converted: return FileNamePart(outcome.targetPath);
        case RowOutcome::Kind::Cancelled: return kCancelledStatus;
        case RowOutcome::Kind::UpToDate: return kUpToDateStatus;
        case RowOutcome::Kind::Skipped: return outcome.reason;
        case RowOutcome::Kind::Incomplete:
            return FileNamePart(outcome.targetPath) + " (incomplete: " + outcome.reason + ")";
        case RowOutcome::Kind::Failed: break;
    }
    if (!outcome.inConversion) return outcome.reason;
    std::string status = kConversionFailureStatus;
    if (!outcome.reason.empty()) status += " (" + outcome.reason + ")";
    return status;
}

int BatchJobs(int32_t parallelJobs) {
    int jobs = parallelJobs;
    if (jobs <= 0) jobs = static_cast<int>(std::thread::hardware_concurrency());
    return std::clamp(jobs, 1, 32);
}

namespace {

// Whether a row's encoder gets a thread of its own: when the rows converting at once leave a core
// idle, and the source is long enough for the second thread to pay for its start (a batch of
// short clips gains nothing from it). A length of 0 (unknown) keeps the one thread.
bool OverlapsEncoding(size_t convertingAtOnce, double seconds) {
    constexpr double kMinSeconds = 5.0;
    return convertingAtOnce < std::thread::hardware_concurrency() && seconds >= kMinSeconds;
}

// The run's work done, as the decoded share of the rows' total duration. A row of unknown length
// weighs as much as the average known row (one unit when none is known); a row that ends counts
// as done whatever became of it. The clock leaves paused time out.
class WorkMeter {
public:
    using Clock = std::chrono::steady_clock;

    explicit WorkMeter(const std::vector<BatchItem>& items) : done_(items.size(), 0.0) {
        double known = 0;
        size_t knownRows = 0;
        for (const BatchItem& item : items)
            if (item.seconds > 0) known += item.seconds, ++knownRows;
        const double fallback = knownRows ? known / static_cast<double>(knownRows) : 1.0;
        for (const BatchItem& item : items) {
            weights_.push_back(item.seconds > 0 ? item.seconds : fallback);
            total_ += weights_.back();
        }
        start_ = Clock::now();
    }

    void SetRow(size_t index, double fraction) {
        if (index < done_.size()) done_[index] = std::clamp(fraction, 0.0, 1.0);
    }
    void FinishRow(size_t index) { SetRow(index, 1.0); }

    double Fraction() const {
        if (total_ <= 0) return 1.0;
        double work = 0;
        for (size_t i = 0; i < done_.size(); ++i) work += done_[i] * weights_[i];
        return std::clamp(work / total_, 0.0, 1.0);
    }

    void SetPaused(bool paused) {
        if (paused == (pausedSince_ != Clock::time_point{})) return;
        const Clock::time_point now = Clock::now();
        if (paused) {
            pausedSince_ = now;
        } else {
            pausedFor_ += now - pausedSince_;
            pausedSince_ = {};
        }
    }

    double Elapsed() const {
        const Clock::time_point now = Clock::now();
        Clock::duration paused = pausedFor_;
        if (pausedSince_ != Clock::time_point{}) paused += now - pausedSince_;
        return std::chrono::duration<double>(now - start_ - paused).count();
    }

    // Hands the work done to the driver; `force` for the last word of a run.
    void Report(ProgressSink& driver, bool force = false) {
        const double fraction = Fraction();
        if (!force && fraction == reported_) return;
        reported_ = fraction;
        const double elapsed = Elapsed();
        const double remaining = fraction >= 1.0                       ? 0.0
                                 : fraction > 0.005 && elapsed > 0.5 ? elapsed * (1.0 - fraction) / fraction
                                                                     : -1.0;
        driver.SetWorkDone(fraction, elapsed, remaining);
    }

private:
    std::vector<double> weights_, done_;
    double total_ = 0;
    double reported_ = -1;
    Clock::time_point start_, pausedSince_{};
    Clock::duration pausedFor_{};
};

// What the batch needs to run its rows, whichever way it runs them.
struct RowRun {
    std::vector<BatchItem>& items;
    int outputFormat;
    const Settings& settings;
    CodecHost& host;
    BatchDriver& driver;
    const ConvertFunction& convert;
    std::string formatName;
    int count;
    std::string onlyDecoder;
    WorkMeter& meter;
    // Folders whose stale temporaries were removed in this batch: once per folder is enough.
    std::set<std::string> cleanedFolders = {};
    // The targets' family, and whether the VerifyTargets setting has its targets checked.
    const FamilyInfo* family = nullptr;
    bool verify = false;
    // Beside each item: how its target is named, and its number under the update policy.
    std::vector<TargetPlan> plans = {};
    std::vector<int> numbers = {};
    // Beside each item, when albums matter (album gains, album normalisation): its album by
    // AlbumOf, and under album normalisation its album's figures (null when not measured).
    std::vector<std::string> albums = {};
    std::vector<std::shared_ptr<const LoudnessFigures>> albumLoudness = {};
    // Converted rows whose loudness counts towards their album's gain.
    std::vector<AlbumRow> albumRows = {};
    // Target folders that got (or were offered) the source folder's image file in this batch.
    std::set<std::string> imageFolders = {};
};

// A conversion as a row runs it: the pipeline, then, when the row's targets are verified, the
// check of the complete temporary against what its encoder received, before it takes its name.
// A target that fails the check is a failed conversion with the reason; JudgeConversion then
// removes the temporary, and an existing target stays as it was.
int ConvertAndVerify(const RowRun& run, const ConversionRequest& request, ConversionContext& context,
                     bool& verified) {
    verified = false;
    EncodeRecord record;
    if (run.verify) context.record = &record;
    int result = run.convert(run.outputFormat, request, context);
    context.record = nullptr;
    // A stand-in conversion (tests) that never reached the skeleton leaves nothing to check.
    if (!result || !run.verify || !record.samples.Begun()) return result;
    // The core the encoder thread could have had is spare for the decode as well.
    const std::string failure =
        VerifyTarget(request.targetPath, record, run.family->check, context.progress, context.overlapEncoding ? 2 : 1);
    if (failure.empty()) {
        verified = true;
        return result;
    }
    context.failureReason = failure == "cancelled" ? std::string() : failure;
    return 0;
}

// Carries what a conversion measured into its outcome and, for the album gain, keeps its meter.
void TakeLoudness(RowRun& run, size_t index, const LoudnessFigures& figures,
                  const std::shared_ptr<LoudnessMeter>& meter, RowOutcome& outcome) {
    if (!figures.measured) return;
    outcome.loudnessMeasured = true;
    outcome.loudnessLufs = figures.integrated;
    outcome.truePeakDbtp = figures.TruePeakDb();
    outcome.loudnessText = LoudnessText(figures);
    const OutputFormatInfo* format = FindOutputFormat(run.outputFormat);
    if (outcome.kind == RowOutcome::Kind::Converted && meter && format && run.settings.LoudnessAnalysis &&
        run.settings.LoudnessAlbumGain && index < run.albums.size())
        run.albumRows.push_back({run.items[index].row, run.albums[index], outcome.targetPath, format->extension, meter});
}

std::string FolderOf(const std::string& path) { return path.substr(0, path.size() - FileNamePart(path).size()); }

// Reads a whole regular file of at most `limit` bytes; false when it cannot or is larger.
bool ReadSmallFile(const std::string& path, size_t limit, std::vector<uint8_t>& data) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return false;
    struct stat st;
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_size) <= limit;
    if (ok) data.resize(static_cast<size_t>(st.st_size));
    for (size_t got = 0; ok && got < data.size();) {
        const ssize_t n = ::read(fd, data.data() + got, data.size() - got);
        ok = n > 0;
        if (ok) got += static_cast<size_t>(n);
    }
    ::close(fd);
    return ok;
}

// Copies the image file of a converted row's source folder (cover, folder or front .jpg/.png)
// beside its target under the same name, once per target folder in a batch. A file already under
// that name is never replaced, whoever made it; the copy is written under a temporary name and
// renamed only when complete. Returns a warning for the row, empty when all is well.
std::string CopyFolderImage(RowRun& run, const std::string& sourcePath, const std::string& targetPath) {
    if (!run.settings.CoverArtCopyFolderImage) return {};
    const std::string targetFolder = FolderOf(targetPath);
    if (!run.imageFolders.insert(targetFolder).second) return {};
    const std::string sourceFolder = FolderOf(sourcePath);
    const std::string image = FolderImageFile(sourceFolder);
    if (image.empty()) return {};
    const std::string copy = targetFolder + FileNamePart(image);
    if (SameFile(image, copy) || PathExists(copy)) return {};
    std::vector<uint8_t> data;
    if (!ReadSmallFile(image, kMaxPictureBytes, data))
        return "the folder's image \"" + FileNamePart(image) + "\" was not copied (unreadable or larger than 16 MB)";
    std::string temporary, reason;
    if (!CreateTemporaryBeside(copy, ExtensionPart(copy), temporary, reason))
        return "the folder's image was not copied (" + reason + ")";
    bool written = false;
    if (const int fd = ::open(temporary.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC); fd >= 0) {
        written = true;
        for (size_t put = 0; written && put < data.size();) {
            const ssize_t n = ::write(fd, data.data() + put, data.size() - put);
            written = n > 0;
            if (written) put += static_cast<size_t>(n);
        }
        written = ::close(fd) == 0 && written;
    }
    if (!written) {
        ::unlink(temporary.c_str());
        return "the folder's image was not copied (it could not be written)";
    }
    bool taken = false;
    if (CommitTemporary(temporary, copy, {}, reason, &taken)) return {};
    // A file that appeared under the name meanwhile stays; the copy goes.
    ::unlink(temporary.c_str());
    return taken ? std::string() : "the folder's image was not copied (" + reason + ")";
}

void AddWarning(RowOutcome& outcome, const std::string& warning) {
    if (warning.empty()) return;
    outcome.warning += (outcome.warning.empty() ? "" : "; ") + warning;
}

// A row that is ready to convert: its target reserved. The request writes a temporary file,
// renamed to the final name when the conversion is complete.
struct PreparedRow {
    ConversionRequest request;
    std::string target;   // the final name
    bool replace = false; // the target exists and is overwritten
    std::string replaced; // the file the temporary is renamed over (where a link leads); empty for a new file
    TargetName name;      // how the final name was made, for the next number when it is taken meanwhile
    TemporaryLock lock;   // held on the temporary from its creation until the row ends
    KeptTemporary kept;   // the reservation's temporary, until StartTarget takes it
    std::string beside;   // where the worker makes the temporary; empty once it is made
};

// Tells the driver that a row starts: its texts and bars.
void ShowRowStarting(RowRun& run, size_t index, int sequence) {
    const BatchItem& item = run.items[index];
    run.driver.RowStarted(item.row);
    char overall[256];
    std::snprintf(overall, sizeof overall, "Converting %d of %d file(s) to %s...", sequence, run.count,
                  run.formatName.c_str());
    run.driver.SetOverallText(overall);
    run.driver.SetOverallProgress(run.count > 0 ? static_cast<double>(sequence) / run.count : 1.0);
    run.driver.SetFileText("Converting " + FileNamePart(item.sourcePath) + "...");
    run.driver.SetFileProgress(0.0);
}

// Shows a row starting and reserves its target. Returns true with `prepared` filled, or false
// with `outcome` set (no SoundFont for a MIDI row, no target). With `workerMakesTemporary`, the
// reservation names the target only and the row's worker makes its temporary (MakeRowTemporary).
// With `showLater` given, the row is not shown starting: `showLater` says whether the caller is
// to show it (ShowRowStarting) once it does start.
bool PrepareRow(RowRun& run, size_t index, int sequence, const std::set<std::string>* reserved,
                PreparedRow& prepared, RowOutcome& outcome, bool workerMakesTemporary = false,
                bool* showLater = nullptr) {
    BatchItem& item = run.items[index];
    item.targetPath.clear();
    if (showLater) *showLater = false;
    if (item.sourceType == kSourceMidi && !run.host.SoundFontLoaded()) {
        outcome = RowOutcome{RowOutcome::Kind::Failed, {}, kSoundFontStatus, false};
        return false;
    }
    if (showLater)
        *showLater = true;
    else
        ShowRowStarting(run, index, sequence);

    std::string reason;
    bool skipped = false;
    prepared.kept.LeaveToWorker(workerMakesTemporary);
    if (!ReserveTarget(item.sourcePath, run.plans[index], run.numbers[index], run.outputFormat, run.settings,
                       prepared.name, reason, &skipped, reserved, &prepared.kept)) {
        if (skipped && run.settings.TargetExistsOpt == kTargetUpdate) {
            // Done already: the row keeps its target.
            item.targetPath = prepared.name.path;
            outcome = RowOutcome{RowOutcome::Kind::UpToDate, prepared.name.path, {}, false};
        } else {
            outcome = RowOutcome{skipped ? RowOutcome::Kind::Skipped : RowOutcome::Kind::Failed, {}, reason, false};
        }
        return false;
    }
    prepared.target = prepared.name.path;
    prepared.replace = prepared.name.replace;
    prepared.request = ConversionRequest{item.sourceType, item.sourcePath, {}, sequence, run.outputFormat};
    return true;
}

// Creates the temporary file a prepared row writes, in the folder of the file it ends up as
// (where a link to overwrite leads), locked for the row's life; the one the reservation made
// serves when it lies there, and a row whose worker makes it only notes where. The stale
// temporaries of the target's own folder are removed first (the first time in the batch); a
// folder a link leads to is never cleaned. Returns false with `outcome` set when the temporary
// cannot be made.
bool StartTarget(RowRun& run, PreparedRow& prepared, RowOutcome& outcome) {
    std::string reason;
    std::string beside = prepared.target;
    prepared.replaced.clear();
    // A target to overwrite that went away meanwhile is simply a new one.
    if (prepared.replace && PathExists(prepared.target)) {
        if (!ReplacedFile(prepared.target, prepared.replaced, reason)) {
            outcome = RowOutcome{RowOutcome::Kind::Failed, {}, reason, false};
            return false;
        }
        beside = prepared.replaced;
    }
    const std::string folder = prepared.target.substr(0, prepared.target.size() - FileNamePart(prepared.target).size());
    if (run.cleanedFolders.insert(folder).second) RemoveStaleTemporaries(folder);
    std::string temporary;
    const std::string extension = ExtensionPart(prepared.target);
    if (prepared.kept.LeftToWorker()) {
        prepared.beside = beside;
        return true;
    }
    // The reservation's temporary serves when it lies beside the same file.
    if (prepared.kept.Take(beside, extension, temporary, prepared.lock)) {
        prepared.request.targetPath = temporary;
        return true;
    }
    prepared.kept.Discard();
    if (!CreateTemporaryBeside(beside, extension, temporary, reason, &prepared.lock)) {
        outcome = RowOutcome{RowOutcome::Kind::Failed, {},
                             Format("Failed to create file \"%s\"", prepared.target) + " (" + reason + ")", false};
        return false;
    }
    prepared.request.targetPath = temporary;
    return true;
}

// Makes the temporary of a row whose reservation left it to the worker, where StartTarget noted.
// False when the folder refuses it: the row is then reserved again the way one job does it.
bool MakeRowTemporary(PreparedRow& prepared) {
    if (prepared.beside.empty()) return true;
    std::string temporary, reason;
    if (!CreateTemporaryBeside(prepared.beside, ExtensionPart(prepared.target), temporary, reason, &prepared.lock))
        return false;
    prepared.request.targetPath = temporary;
    prepared.beside.clear();
    return true;
}

// Gives a complete temporary its final name. A new target whose name another process took
// meanwhile takes the next free number instead (by the rename policy), replaces that file (by the
// overwrite policy) or is skipped. Returns false with `reason` set, the temporary removed.
bool CommitRow(const RowRun& run, const PreparedRow& row, const std::set<std::string>* reserved, std::string& finalPath,
               std::string& reason, bool& skipped) {
    const std::string& temporary = row.request.targetPath;
    finalPath = row.target;
    bool taken = false;
    if (CommitTemporary(temporary, finalPath, row.replaced, reason, &taken)) return true;
    if (!taken) return false;
    const int policy = run.settings.TargetExistsOpt;
    // Under the update policy a target that appeared meanwhile is older than the one just made.
    if (policy == kTargetOverwrite || policy == kTargetUpdate) {
        std::string replaced;
        if (ReplacedFile(finalPath, replaced, reason)) return CommitTemporary(temporary, finalPath, replaced, reason);
    } else if (policy == kTargetSkip) {
        reason = "Target exists and skipped";
        skipped = true;
    } else {
        // Numbers up to the current one were all taken when the name was made.
        for (int n = row.name.number + 1; n < row.name.number + 100000; ++n) {
            const std::string next = NumberedPath(row.name, n);
            if (PathExists(next) || (reserved && reserved->count(next))) continue;
            finalPath = next;
            if (CommitTemporary(temporary, next, {}, reason, &taken)) return true;
            if (!taken) return false;
        }
    }
    ::unlink(temporary.c_str());
    return false;
}

// Why a conversion writing `written` left nothing usable, when nothing else said so: its folder
// or the file itself was removed meanwhile, or the output stayed empty.
std::string MissingOutputReason(const std::string& written, bool converted) {
    const std::string folder = written.substr(0, written.size() - FileNamePart(written).size());
    if (!folder.empty() && !DirectoryExists(folder)) return Format("the output folder \"%s\" was removed", folder);
    if (!PathExists(written)) return "the temporary file was removed";
    return converted ? "the output file is empty" : std::string();
}

// Judges a finished conversion: success needs a non-empty temporary, which then takes its final
// name. A failed, cancelled or empty output is removed. The converted outcome carries the final name.
RowOutcome JudgeConversion(const RowRun& run, int result, PreparedRow& row, std::string reason,
                           const std::set<std::string>* reserved = nullptr) {
    const std::string& written = row.request.targetPath;
    uint64_t size = 0;
    bool success = result && FileSizeOf(written, size) && size != 0;
    bool skipped = false;
    std::string finalPath;
    if (success) {
        std::string why;
        if (!CommitRow(run, row, reserved, finalPath, why, skipped)) {
            success = false;
            reason = why;
        }
    } else {
        // A failure nobody explained: say what became of the file being written.
        if (reason.empty()) reason = MissingOutputReason(written, result != 0);
        // An empty output is no conversion; whatever a failed one left is ours to remove.
        DeleteFailedTarget(written, row.request.sourcePath);
    }
    row.lock.Release();
    if (success && result == kConversionIncomplete)
        return RowOutcome{RowOutcome::Kind::Incomplete, finalPath, reason, true};
    if (success) return RowOutcome{RowOutcome::Kind::Converted, finalPath, {}, false};
    if (skipped) return RowOutcome{RowOutcome::Kind::Skipped, {}, reason, false};
    return RowOutcome{RowOutcome::Kind::Failed, {}, reason, true};
}

// The progress of the row converting on the calling thread: everything goes on to the driver,
// the row's share also to the work meter, and a pump holds the row while the user pauses.
class OneRowProgress : public ProgressSink {
public:
    OneRowProgress(RowRun& run, size_t index) : run_(run), index_(index) {}
    void BeginRun(int rows) override { run_.driver.BeginRun(rows); }
    void EndRun() override { run_.driver.EndRun(); }
    void SetOverallText(const std::string& text) override { run_.driver.SetOverallText(text); }
    void SetOverallProgress(double fraction) override { run_.driver.SetOverallProgress(fraction); }
    void SetFileText(const std::string& text) override { run_.driver.SetFileText(text); }
    void SetFileProgress(double fraction) override {
        run_.driver.SetFileProgress(fraction);
        run_.driver.SetRowProgress(run_.items[index_].row, fraction);
        run_.meter.SetRow(index_, fraction);
        run_.meter.Report(run_.driver);
    }
    void Pump() override {
        run_.driver.Pump();
        while (run_.driver.PauseRequested() && !run_.driver.CancelRequested()) {
            run_.meter.SetPaused(true);
            std::this_thread::sleep_for(std::chrono::milliseconds(15));
            run_.driver.Pump();
        }
        run_.meter.SetPaused(false);
    }
    bool CancelRequested() override { return run_.driver.CancelRequested(); }

private:
    RowRun& run_;
    size_t index_;
};

// One row at a time, on the calling thread. Returns whether the user cancelled.
bool RunRowsOneByOne(RowRun& run, bool& allConverted) {
    SourceFactoryContext sources;
    sources.onlyDecoder = run.onlyDecoder;
    sources.windowsMediaAvailable = [&run] { return EnsureWindowsMedia(run.driver); };
    int sequence = 1;
    for (size_t index = 0; index < run.items.size(); ++index) {
        BatchItem& item = run.items[index];
        RowOutcome outcome;
        PreparedRow row;
        // The row is done for the meter however it ends.
        struct RowEnd {
            RowRun& run;
            size_t index;
            ~RowEnd() {
                run.driver.SetRowProgress(run.items[index].row, -1.0);
                run.meter.FinishRow(index);
                run.meter.Report(run.driver);
            }
        } rowEnd{run, index};
        if (PrepareRow(run, index, sequence, nullptr, row, outcome) && StartTarget(run, row, outcome)) {
            sources.failureReason.clear();
            OneRowProgress progress(run, index);
            ConversionContext context{run.settings, progress, sources, {}};
            if (index < run.albumLoudness.size()) context.albumLoudness = run.albumLoudness[index].get();
            context.overlapEncoding = OverlapsEncoding(1, item.seconds);
            bool verified = false;
            const int result = ConvertAndVerify(run, row.request, context, verified);
            outcome = JudgeConversion(run, result, row, context.failureReason);
            outcome.warning = context.warning;
            outcome.verified = verified && !outcome.targetPath.empty();
            TakeLoudness(run, index, context.loudness, context.loudnessMeter, outcome);
            if (outcome.kind == RowOutcome::Kind::Converted || outcome.kind == RowOutcome::Kind::Incomplete) {
                AddWarning(outcome, CopyFolderImage(run, item.sourcePath, outcome.targetPath));
                // An incomplete target stays, but the batch did not convert every row.
                if (outcome.kind == RowOutcome::Kind::Incomplete) allConverted = false;
                item.targetPath = outcome.targetPath;
                run.driver.RowFinished(item.row, outcome);
                run.driver.Pump();
                if (run.driver.CancelRequested()) return true;
                ++sequence;
                continue;
            }
        }
        if (outcome.kind != RowOutcome::Kind::UpToDate) allConverted = false;
        if (run.driver.CancelRequested()) {
            run.driver.RowFinished(item.row, RowOutcome{RowOutcome::Kind::Cancelled, {}, {}, false});
            return true;
        }
        run.driver.RowFinished(item.row, outcome);
        ++sequence;
    }
    return false;
}

// The progress of a conversion running on a worker thread, kept for the batch's thread to show.
class WorkerProgress : public ProgressSink {
public:
    WorkerProgress(const std::atomic<bool>& cancel, const std::atomic<bool>& paused)
        : cancel_(cancel), paused_(paused) {}
    void BeginRun(int) override {}
    void EndRun() override {}
    void SetOverallText(const std::string&) override {}
    void SetOverallProgress(double) override {}
    void SetFileText(const std::string& text) override {
        std::lock_guard<std::mutex> lock(mutex_);
        text_ = text;
        ++version_;
    }
    void SetFileProgress(double fraction) override {
        std::lock_guard<std::mutex> lock(mutex_);
        fraction_ = fraction;
        ++version_;
    }
    // Called between blocks: a paused run holds the row here until it resumes or is cancelled.
    void Pump() override {
        while (paused_.load() && !cancel_.load()) std::this_thread::sleep_for(std::chrono::milliseconds(15));
    }
    bool CancelRequested() override { return cancel_.load(); }

    double Fraction() {
        std::lock_guard<std::mutex> lock(mutex_);
        return fraction_;
    }

    // Hands the text and fraction to `driver` when they changed since the last call.
    void ShowOn(ProgressSink& driver, uint64_t& shownVersion) {
        std::string text;
        double fraction;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (version_ == shownVersion) return;
            shownVersion = version_;
            text = text_;
            fraction = fraction_;
        }
        if (!text.empty()) driver.SetFileText(text);
        driver.SetFileProgress(fraction);
    }

private:
    const std::atomic<bool>& cancel_;
    const std::atomic<bool>& paused_;
    std::mutex mutex_;
    std::string text_;
    double fraction_ = 0.0;
    uint64_t version_ = 1;  // above the 0 a newly shown row starts from, so it is shown at once
};

// Several rows at once on `jobs` worker threads, each row with its own source, encoder and
// converter. The calling thread reserves the targets in list order, one row ahead of the workers,
// so that a worker that ends a row takes the next one at once rather than waiting for this thread
// to wake; a row is shown starting when a worker takes it, never before an earlier row. This
// thread shows the progress of the earliest running row, answers Cancel and reports the rows in
// list order, so that everything a one-row run decides (sequence numbers, target names, texts)
// stays the same. Each worker makes its row's temporary itself: this thread names the targets
// only, so that no file creation holds the others. A row whose folder refuses the temporary is
// reserved again as one job reserves it (which says why, or turns to the documents folder).
// Returns whether the user cancelled.
bool RunRowsInParallel(RowRun& run, int jobs, bool& allConverted) {
    struct Worker {
        size_t index = 0;
        PreparedRow row;
        SourceFactoryContext sources;
        std::unique_ptr<WorkerProgress> progress;
        std::string reason;
        std::string warning;
        LoudnessFigures loudness;
        std::shared_ptr<LoudnessMeter> meter;
        int result = 0;
        bool verified = false;
        bool noTemporary = false;  // the folder refused the temporary: reserve the row again
        bool taken = false;        // a worker converts it
        bool done = false;
        bool shownStarting = false;  // this thread's own
    };
    std::atomic<bool> cancel{false};
    std::atomic<bool> paused{false};
    std::mutex doneMutex;                // guards queue, stopping, events and each row's taken, done and results
    std::condition_variable doneSignal;  // a worker took a row or ended one
    std::condition_variable workSignal;  // a row waits in the queue, or the run ends
    std::deque<Worker*> queue;           // rows reserved that no worker took yet, in list order
    bool stopping = false;
    uint64_t events = 0;
    uint64_t eventsSeen = 0;
    std::list<Worker> running;  // queued and converting rows, in list order
    std::set<std::string> reserved;
    std::map<size_t, RowOutcome> finished;  // outcomes waiting for the rows before them
    std::set<size_t> again;                 // rows to reserve again, as one job does
    // Rows reserved but not shown starting yet, in list order; a null row ended at its reservation.
    std::deque<std::pair<size_t, Worker*>> unshown;
    const size_t rows = run.items.size();
    const size_t ahead = static_cast<size_t>(jobs) + 1;  // converting rows and the one reserved ahead
    size_t next = 0, reported = 0;
    uint64_t shownVersion = 0;
    const Worker* shown = nullptr;

    auto convertRows = [&] {
        for (;;) {
            Worker* w = nullptr;
            {
                std::unique_lock<std::mutex> lock(doneMutex);
                workSignal.wait(lock, [&] { return stopping || !queue.empty(); });
                if (stopping) return;
                w = queue.front();
                queue.pop_front();
                w->taken = true;
                ++events;
            }
            doneSignal.notify_all();
            ConversionContext context{run.settings, *w->progress, w->sources, {}};
            if (w->index < run.albumLoudness.size()) context.albumLoudness = run.albumLoudness[w->index].get();
            context.overlapEncoding = OverlapsEncoding(std::min(static_cast<size_t>(jobs), rows),
                                                       run.items[w->index].seconds);
            bool verified = false;
            const bool made = MakeRowTemporary(w->row);
            const int result = made ? ConvertAndVerify(run, w->row.request, context, verified) : 0;
            {
                std::lock_guard<std::mutex> lock(doneMutex);
                w->noTemporary = !made;
                w->result = result;
                w->verified = verified;
                w->reason = context.failureReason;
                w->warning = context.warning;
                w->loudness = context.loudness;
                w->meter = context.loudnessMeter;
                w->done = true;
                ++events;
            }
            doneSignal.notify_all();
        }
    };
    // The workers end (after their rows) before anything they use goes.
    struct Pool {
        std::mutex& mutex;
        bool& stopping;
        std::condition_variable& signal;
        std::vector<std::thread> threads;
        ~Pool() {
            {
                std::lock_guard<std::mutex> lock(mutex);
                stopping = true;
            }
            signal.notify_all();
            for (std::thread& t : threads) t.join();
        }
    } pool{doneMutex, stopping, workSignal, {}};
    for (size_t i = 0; i < std::min(static_cast<size_t>(jobs), rows); ++i) pool.threads.emplace_back(convertRows);

    auto report = [&]() {
        while (reported < rows && finished.count(reported)) {
            const RowOutcome& outcome = finished[reported];
            if (outcome.kind != RowOutcome::Kind::Converted && outcome.kind != RowOutcome::Kind::UpToDate)
                allConverted = false;
            run.driver.RowFinished(run.items[reported].row, outcome);
            finished.erase(reported++);
        }
    };
    // The entry of `unshown` that holds the given row, or its end.
    auto findUnshown = [&](const Worker* w) {
        return std::find_if(unshown.begin(), unshown.end(),
                            [w](const std::pair<size_t, Worker*>& u) { return u.second == w; });
    };
    // Shows, in list order, the rows a worker took and those that ended at their reservation.
    auto showStarted = [&]() {
        while (!unshown.empty()) {
            const auto [index, w] = unshown.front();
            if (w) {
                std::lock_guard<std::mutex> lock(doneMutex);
                if (!w->taken) break;
            }
            ShowRowStarting(run, index, static_cast<int>(index) + 1);
            if (w)
                w->shownStarting = true;
            else
                run.driver.SetRowProgress(run.items[index].row, -1.0);
            unshown.pop_front();
        }
    };

    while (reported < rows) {
        // Reserve rows in list order while there is room; a row whose overwritten target belongs to
        // a row still running waits for it, so the later row's file is the one that stays.
        while (!cancel && (!again.empty() || next < rows) && running.size() < ahead) {
            const bool retry = !again.empty();
            const size_t index = retry ? *again.begin() : next;
            const auto settle = [&] {
                if (retry)
                    again.erase(again.begin());
                else
                    ++next;
            };
            // A row reserved again was shown starting already and is shown so once more.
            PreparedRow row;
            RowOutcome outcome;
            bool showLater = false;
            const bool ready = PrepareRow(run, index, static_cast<int>(index) + 1, &reserved, row, outcome, !retry,
                                          retry ? nullptr : &showLater);
            if (ready && row.replace && reserved.count(row.target)) break;  // try again when a row ends
            if (!ready || !StartTarget(run, row, outcome)) {
                run.meter.FinishRow(index);
                finished[index] = outcome;
                if (showLater)
                    unshown.emplace_back(index, nullptr);
                else
                    run.driver.SetRowProgress(run.items[index].row, -1.0);
                settle();
                continue;
            }
            settle();
            reserved.insert(row.target);
            const auto later = [index](const Worker& other) { return other.index > index; };
            Worker& w = *running.emplace(std::find_if(running.begin(), running.end(), later));
            w.index = index;
            w.row = std::move(row);
            w.sources.onlyDecoder = run.onlyDecoder;
            // Workers never ask: a missing runtime sends the file to the next decoder.
            w.sources.windowsMediaAvailable = [] { return LoadWindowsMediaRuntime(); };
            w.progress = std::make_unique<WorkerProgress>(cancel, paused);
            w.shownStarting = !showLater;
            if (showLater) unshown.emplace_back(index, &w);
            {
                std::lock_guard<std::mutex> lock(doneMutex);
                queue.push_back(&w);
            }
            workSignal.notify_one();
        }
        showStarted();
        report();
        if (running.empty()) {
            if (cancel || (next >= rows && again.empty())) break;
            continue;
        }

        {
            // An event given while this thread was busy is taken at once: waiting for a signal
            // already given would leave a core idle for the whole wait.
            std::unique_lock<std::mutex> lock(doneMutex);
            doneSignal.wait_for(lock, std::chrono::milliseconds(20), [&] { return events != eventsSeen; });
            eventsSeen = events;
        }
        showStarted();
        // The per-file text and bar follow the earliest running row.
        const Worker& earliest = running.front();
        if (shown != &earliest) {
            shown = &earliest;
            shownVersion = 0;
        }
        if (earliest.shownStarting) running.front().progress->ShowOn(run.driver, shownVersion);
        // Every running row's own share, and the run's work done.
        for (Worker& w : running) {
            if (!w.shownStarting) continue;
            const double fraction = w.progress->Fraction();
            run.driver.SetRowProgress(run.items[w.index].row, fraction);
            run.meter.SetRow(w.index, fraction);
        }
        run.meter.Report(run.driver);
        run.driver.Pump();
        if (run.driver.CancelRequested()) cancel = true;
        paused = !cancel && run.driver.PauseRequested();
        run.meter.SetPaused(paused);

        if (cancel) {
            // Rows no worker took yet never start (a row shown starting ends cancelled), nor do
            // the rows after them that were not shown.
            {
                std::lock_guard<std::mutex> lock(doneMutex);
                stopping = true;
                queue.clear();
            }
            workSignal.notify_all();
            for (auto it = running.begin(); it != running.end();) {
                bool taken;
                {
                    std::lock_guard<std::mutex> lock(doneMutex);
                    taken = it->taken;
                }
                if (taken) {
                    ++it;
                    continue;
                }
                if (it->shownStarting) {
                    finished[it->index] = RowOutcome{RowOutcome::Kind::Cancelled, {}, {}, false};
                    run.driver.SetRowProgress(run.items[it->index].row, -1.0);
                    run.meter.FinishRow(it->index);
                }
                unshown.erase(findUnshown(&*it), unshown.end());
                reserved.erase(it->row.target);
                if (shown == &*it) shown = nullptr;
                it = running.erase(it);
            }
        }

        for (auto it = running.begin(); it != running.end();) {
            bool done;
            {
                std::lock_guard<std::mutex> lock(doneMutex);
                done = it->done;
            }
            if (!done) {
                ++it;
                continue;
            }
            // A worker can take and end a row between two passes of this thread: show it starting
            // before it goes, so that no entry of `unshown` outlives its row.
            if (!it->shownStarting) showStarted();
            if (!it->shownStarting) {
                const auto entry = findUnshown(&*it);
                if (entry != unshown.end()) unshown.erase(entry);
            }
            if (it->noTemporary && !cancel) {
                reserved.erase(it->row.target);
                again.insert(it->index);
                if (shown == &*it) shown = nullptr;
                it = running.erase(it);
                continue;
            }
            RowOutcome outcome = JudgeConversion(run, it->result, it->row, it->reason, &reserved);
            if (outcome.kind == RowOutcome::Kind::Converted || outcome.kind == RowOutcome::Kind::Incomplete) {
                run.items[it->index].targetPath = outcome.targetPath;
                outcome.warning = it->warning;
                outcome.verified = it->verified;
                TakeLoudness(run, it->index, it->loudness, it->meter, outcome);
                AddWarning(outcome, CopyFolderImage(run, run.items[it->index].sourcePath, outcome.targetPath));
            }
            else if (cancel)
                outcome = RowOutcome{RowOutcome::Kind::Cancelled, {}, {}, false};
            finished[it->index] = outcome;
            run.driver.SetRowProgress(run.items[it->index].row, -1.0);
            run.meter.FinishRow(it->index);
            reserved.erase(it->row.target);
            if (shown == &*it) shown = nullptr;
            it = running.erase(it);
        }
    }
    // Rows to reserve again were shown starting: they end cancelled. Rows never started keep
    // their status; their outcomes were not reported.
    for (size_t index : again) {
        finished[index] = RowOutcome{RowOutcome::Kind::Cancelled, {}, {}, false};
        run.driver.SetRowProgress(run.items[index].row, -1.0);
        run.meter.FinishRow(index);
    }
    report();
    if (cancel) allConverted = false;
    return cancel;
}

// The first pass of album normalisation: every row's source is measured as its encoder will
// receive it (the adapter's file at a scratch name outside the target folders, removed at once),
// on `jobs` threads, and each album's figures over its measured rows go to those rows. A row
// that could not be measured gets none and is measured alone when it converts. Returns whether
// the user cancelled.
bool MeasureAlbums(RowRun& run, int jobs) {
    const size_t rows = run.items.size();
    std::vector<std::shared_ptr<LoudnessMeter>> meters(rows);
    std::atomic<bool> cancel{false}, paused{false};
    std::atomic<size_t> next{0}, done{0};
    const OutputFormatInfo* format = FindOutputFormat(run.outputFormat);
    const std::string extension = format ? format->extension : "tmp";
    std::error_code ec;
    const std::string scratchFolder = std::filesystem::temp_directory_path(ec).string();
    auto measure = [&]() {
        SourceFactoryContext sources;
        sources.onlyDecoder = run.onlyDecoder;
        sources.windowsMediaAvailable = [] { return LoadWindowsMediaRuntime(); };
        WorkerProgress progress(cancel, paused);
        for (size_t i = next++; i < rows && !cancel; i = next++) {
            const BatchItem& item = run.items[i];
            std::string scratch, reason;
            TemporaryLock lock;
            if (!ec && CreateTemporaryBeside(scratchFolder + "/sonavert-loudness." + extension, extension, scratch,
                                             reason, &lock)) {
                ConversionContext context{run.settings, progress, sources, {}};
                context.measureOnly = true;
                sources.failureReason.clear();
                const ConversionRequest request{item.sourceType, item.sourcePath, scratch, static_cast<int>(i) + 1,
                                                run.outputFormat};
                if (run.convert(run.outputFormat, request, context) && context.loudnessMeter &&
                    context.loudnessMeter->Valid())
                    meters[i] = context.loudnessMeter;
                ::unlink(scratch.c_str());
            }
            ++done;
        }
    };
    std::vector<std::thread> threads;
    const size_t count = std::min<size_t>(rows, static_cast<size_t>(std::max(jobs, 1)));
    for (size_t t = 0; t < count; ++t) threads.emplace_back(measure);
    size_t shown = SIZE_MAX;
    while (done.load() < rows && !(cancel && next.load() >= rows)) {
        if (const size_t now = std::min(done.load() + 1, rows); now != shown) {
            shown = now;
            char text[160];
            std::snprintf(text, sizeof text, "Measuring the loudness of %zu of %zu file(s)...", now, rows);
            run.driver.SetOverallText(text);
            run.driver.SetOverallProgress(static_cast<double>(done.load()) / static_cast<double>(rows));
        }
        run.driver.Pump();
        if (run.driver.CancelRequested()) cancel = true;
        paused = !cancel && run.driver.PauseRequested();
        if (cancel) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(15));
    }
    for (std::thread& thread : threads) thread.join();
    if (cancel) return true;

    std::map<std::string, std::vector<const LoudnessMeter*>> albums;
    for (size_t i = 0; i < rows; ++i)
        if (meters[i]) albums[run.albums[i]].push_back(meters[i].get());
    std::map<std::string, std::shared_ptr<const LoudnessFigures>> figures;
    for (const auto& [album, members] : albums)
        figures[album] = std::make_shared<const LoudnessFigures>(LoudnessMeter::Combined(members));
    run.albumLoudness.assign(rows, nullptr);
    for (size_t i = 0; i < rows; ++i)
        if (meters[i]) run.albumLoudness[i] = figures[run.albums[i]];
    return false;
}

}  // namespace

bool RunConversionBatch(std::vector<BatchItem>& items, int outputFormat, const Settings& settings, CodecHost& host,
                        BatchDriver& driver, BatchState& state, const ConvertFunction& convert) {
    struct WaitGuard {
        UserQuestions& q;
        explicit WaitGuard(UserQuestions& questions) : q(questions) { q.SetWaitCursor(true); }
        ~WaitGuard() { q.SetWaitCursor(false); }
    } wait(driver);

    const FamilyInfo* family = FamilyOfFormat(outputFormat);
    if (family && family->needsWindowsMedia && !EnsureWindowsMedia(driver)) return false;

    for (const BatchItem& item : items) {
        if (item.sourceType != kSourceMidi || !item.inRun) continue;
        if (!host.LoadDefaultSoundFont()) {
            if (driver.AskYesNo(SoundFontQuestion(host.ExecutableFolder()))) {
                driver.OpenAddress(host.ExecutableFolder());
                driver.OpenAddress(kSoundFontDownloadUrl);
                return false;
            }
        }
        break;
    }

    // Under the update policy every row names its target, the rows of other shards too (see
    // NumberUpdateTargets); only the rows in the run are converted.
    const bool update = settings.TargetExistsOpt == kTargetUpdate;
    std::vector<TargetPlan> plans(items.size());
    for (size_t i = 0; i < items.size(); ++i) {
        if (items[i].inRun || update) plans[i] = PlanTarget(items[i].sourcePath, items[i].rootFolder, settings);
        if (i % 64 == 63) driver.Pump();
    }
    const std::vector<int> numbers = update ? NumberUpdateTargets(items, plans, outputFormat, settings)
                                            : std::vector<int>(items.size(), 0);
    std::vector<BatchItem> runItems;
    std::vector<size_t> runIndex;
    for (size_t i = 0; i < items.size(); ++i) {
        if (!items[i].inRun) continue;
        runItems.push_back(items[i]);
        runIndex.push_back(i);
    }

    const OutputFormatInfo* format = FindOutputFormat(outputFormat);
    WorkMeter meter(runItems);
    RowRun run{runItems,    outputFormat, settings, host, driver, convert, format ? format->name : "",
               static_cast<int>(runItems.size()), state.onlyDecoder, meter};
    for (size_t i : runIndex) {
        run.plans.push_back(plans[i]);
        run.numbers.push_back(numbers[i]);
    }
    run.family = family;
    run.verify = family && VerifiesFamily(settings, *family);
    // Album normalisation needs the figures of each album before the first of its files is encoded.
    const bool normaliseAlbums = family && family->amplify && NormalisesAlbums(settings);
    const bool albumGains = settings.LoudnessAnalysis && settings.LoudnessAlbumGain;
    std::map<std::string, size_t> albumSizes;
    if (normaliseAlbums || albumGains) {
        for (size_t i = 0; i < items.size(); ++i) {
            const std::string album = AlbumOf(items[i].sourcePath, settings);
            ++albumSizes[album];
            if (items[i].inRun) run.albums.push_back(album);
            if (i % 64 == 63) driver.Pump();
        }
    }
    driver.BeginRun(run.count);
    driver.Pump();

    bool allConverted = true;
    const int jobs = state.jobs > 0 ? std::clamp(state.jobs, 1, 32) : BatchJobs(settings.ParallelJobs);
    bool cancelled = normaliseAlbums && !runItems.empty() && MeasureAlbums(run, jobs);
    if (!cancelled)
        cancelled = jobs > 1 && runItems.size() > 1 ? RunRowsInParallel(run, jobs, allConverted)
                                                     : RunRowsOneByOne(run, allConverted);
    for (size_t r = 0; r < runIndex.size(); ++r) items[runIndex[r]].targetPath = runItems[r].targetPath;
    if (cancelled) allConverted = false;
    // Every row of every album is done: their album gains can be written.
    if (!cancelled && !run.albumRows.empty()) WriteAlbumGains(std::move(run.albumRows), albumSizes, driver);
    meter.Report(driver, true);
    driver.EndRun();

    if (!cancelled && settings.BrowseOutputFolder) {
        for (const BatchItem& item : items) {
            if (!item.targetPath.empty() && PathExists(item.targetPath)) {
                driver.ShowFile(item.targetPath);
                break;
            }
        }
    }
    return allConverted;
}

}  // namespace sonavert
