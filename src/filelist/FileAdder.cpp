#include "filelist/FileAdder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <set>
#include <utility>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include <QString>

#include "base/PathHelpers.h"
#include "base/ProductInfo.h"
#include "filelist/ExtensionTable.h"
#include "settings/Settings.h"
#include "sources/SourceTypes.h"
#include "winmedia/WindowsMediaRuntime.h"

namespace sonavert {
namespace fs = std::filesystem;

namespace {

std::string AsciiLower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

// True when the extension of the file name, lower-cased and without its dot, is in the filter.
// The filter list is lower-cased as Unicode text, so the extension is too: "x.WÄV" matches "wäv".
bool ExtensionInFilter(const std::string& path, const Settings& settings) {
    std::string ext = ExtensionPart(path);
    if (!ext.empty()) ext.erase(0, 1);
    ext = QString::fromStdString(ext).toLower().toStdString();
    const auto& filter = settings.ExtensionFilter;
    return std::find(filter.begin(), filter.end(), ext) != filter.end();
}

std::string JoinPath(const std::string& folder, const std::string& name) {
    if (!folder.empty() && folder.back() == '/') return folder + name;
    return folder + "/" + name;
}

// Probes the wanted paths on worker threads, in order of the paths, each into its own slot, while
// the caller takes the results one by one in the same order. With no threads, Take probes on the
// caller's thread. The destructor stops the workers after the file each is probing.
class ProbeQueue {
public:
    using Prober = std::function<FileAdder::Probe(const std::string&)>;
    ProbeQueue(const std::vector<std::string>& paths, const std::vector<char>& wanted, int threads, Prober prober)
        : paths_(paths), wanted_(wanted), prober_(std::move(prober)), slots_(paths.size()), ready_(paths.size(), 0) {
        for (int t = 0; t < threads; ++t) workers_.emplace_back([this] { Work(); });
    }
    ~ProbeQueue() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        for (std::thread& worker : workers_) worker.join();
    }
    ProbeQueue(const ProbeQueue&) = delete;
    ProbeQueue& operator=(const ProbeQueue&) = delete;

    FileAdder::Probe Take(int i) {
        const size_t k = static_cast<size_t>(i);
        if (workers_.empty()) return prober_(paths_[k]);
        std::unique_lock<std::mutex> lock(mutex_);
        ready_cv_.wait(lock, [&] { return ready_[k] != 0; });
        return std::move(slots_[k]);
    }

private:
    void Work() {
        for (;;) {
            size_t k;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                while (next_ < paths_.size() && !wanted_[next_]) ++next_;
                if (stop_ || next_ >= paths_.size()) return;
                k = next_++;
            }
            FileAdder::Probe probe = prober_(paths_[k]);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                slots_[k] = std::move(probe);
                ready_[k] = 1;
            }
            ready_cv_.notify_all();
        }
    }

    const std::vector<std::string>& paths_;
    const std::vector<char>& wanted_;
    Prober prober_;
    std::vector<FileAdder::Probe> slots_;
    std::vector<char> ready_;
    std::mutex mutex_;
    std::condition_variable ready_cv_;
    size_t next_ = 0;
    bool stop_ = false;
    std::vector<std::thread> workers_;
};

}  // namespace

bool IsValidUtf8(const std::string& text) {
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    size_t n = text.size(), i = 0;
    while (i < n) {
        unsigned char c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t len;
        uint32_t cp;
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            cp = c & 0x07;
        } else {
            return false;  // a continuation byte, an overlong lead or a lead past U+10FFFF
        }
        if (n - i < len) return false;
        for (size_t k = 1; k < len; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (s[i + k] & 0x3F);
        }
        if ((len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) || cp > 0x10FFFF ||
            (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += len;
    }
    return true;
}

bool PassCandidate(const std::string& path, const Settings& settings, std::string& accepted) {
    if (!settings.EnableExtFilter || ExtensionInFilter(path, settings)) {
        accepted = path;
        return true;
    }
    // A symbolic link is a shortcut: when its own name fails, its target is tested instead.
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return false;
    std::error_code ec;
    fs::path target = fs::canonical(path, ec);
    if (ec || fs::is_directory(target, ec)) return false;
    if (!ExtensionInFilter(target.string(), settings)) return false;
    accepted = target.string();
    return true;
}

void SearchFolder(const std::string& folder, const Settings& settings, std::vector<std::string>& out,
                  AddDriver* driver, std::vector<AddProblem>* unlisted) {
    // Folders already listed, by device and inode, so that linked folders cannot loop.
    std::set<std::pair<dev_t, ino_t>> visited;
    auto firstVisit = [&](const std::string& dir) {
        struct stat st;
        if (stat(dir.c_str(), &st) != 0) return false;
        return visited.insert({st.st_dev, st.st_ino}).second;
    };

    // Explicit stack: a folder's files are taken when it is listed, then its subfolders in order.
    std::vector<std::string> pending;
    if (firstVisit(folder)) pending.push_back(folder);
    while (!pending.empty()) {
        std::string dir = std::move(pending.back());
        pending.pop_back();

        std::vector<std::string> names;
        std::error_code ec;
        for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
            names.push_back(it->path().filename().string());
        // An unreadable folder is reported; what could be listed of it is still searched.
        if (ec && unlisted) unlisted->push_back({dir, std::strerror(ec.value())});
        std::sort(names.begin(), names.end());

        std::vector<std::string> subfolders;
        for (const std::string& name : names) {
            std::string full = JoinPath(dir, name);
            if (DirectoryExists(full)) {
                if (firstVisit(full)) subfolders.push_back(full);
                continue;
            }
            // FIFOs, devices, sockets and dangling links are no audio files, and opening some of
            // them would wait forever.
            struct stat st;
            if (stat(full.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
            std::string accepted;
            if (PassCandidate(full, settings, accepted)) out.push_back(accepted);
        }
        pending.insert(pending.end(), subfolders.rbegin(), subfolders.rend());

        if (driver) {
            driver->Pump();
            if (driver->CancelRequested()) return;
        }
    }
}

// The system's cause when the file cannot be opened for reading; empty when it can. Opened without
// waiting, so that a FIFO cannot block. Runs on the probing threads, so the text comes from
// strerror_r (strerror may share one buffer between threads).
std::string ReadCause(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        char buffer[256];
        return strerror_r(error, buffer, sizeof buffer);
    }
    ::close(fd);
    return {};
}

// Opens the file through the factory and takes down what its row holds. Touches neither the list
// nor the shared context, so that several files are probed side by side.
FileAdder::Probe FileAdder::ProbeFile(const std::string& path, const SourceFactoryContext& shared,
                                      const std::function<bool()>& windowsMedia) {
    Probe probe;
    SourceFactoryContext context;
    context.onlyDecoder = shared.onlyDecoder;
    context.windowsMediaAvailable = [&probe, &windowsMedia] {
        probe.windowsMediaAsked = true;
        probe.windowsMediaAnswer = windowsMedia ? windowsMedia() : LoadWindowsMediaRuntime();
        return probe.windowsMediaAnswer;
    };
    const int code = SourceTypeForPath(path);
    // The factory sets the reason only when a decoder refuses the file with one.
    std::unique_ptr<AudioSource> source = CreateSource(path, code, 0, kPurposeList, &context);
    // A file without any audio stream (a picture, a playlist, a text) could never be converted.
    if (source && !source->HasAudioStream()) source.reset();
    if (!source) {
        probe.refusal = std::move(context.failureReason);
        probe.cause = ReadCause(path);
        return probe;
    }
    auto entry = std::make_unique<FileEntry>();
    int32_t duration = source->GetDuration();
    entry->duration = duration > 0 ? static_cast<uint32_t>(duration) : 0;
    entry->sampleRate = source->GetSampleRate();
    entry->bitRate = source->GetBitRate();
    entry->storedChannels = source->GetStoredChannels();
    entry->channelMode = code == kSourceMp3 ? source->GetChannelMode() : kModeNone;
    entry->sourceType = static_cast<uint16_t>(code);
    probe.entry = std::move(entry);
    return probe;
}

AddStatus FileAdder::Commit(const std::string& path, PathKey key, Probe probe, int* row, std::string* cause,
                            const std::string& root) {
    if (!probe.entry) {
        // A decoder's refusal replaces the reason of an earlier file; otherwise that one stays.
        if (!probe.refusal.empty()) context_.failureReason = probe.refusal;
        std::string ext = AsciiLower(ExtensionPart(path));
        if (SourceTypeForPath(path) == kSourceCdAudio)
            context_.failureReason = kCdaReason;
        else if (ext == ".swf" || ext == ".flv")
            context_.failureReason = kFlashReason;
        if (cause) *cause = probe.cause.empty() ? probe.refusal : probe.cause;
        return kAddFailed;
    }
    probe.entry->sourcePath = key.text;
    probe.entry->rootFolder = root;
    int index = list_.InsertRow(std::move(probe.entry), key);
    if (row) *row = index;
    return kAdded;
}

AddStatus FileAdder::AddOneFile(const std::string& path, int* row, std::string* cause) {
    PathKey key = MakePathKey(path);
    if (list_.Contains(key)) return kAlreadyListed;
    return Commit(path, std::move(key), ProbeFile(path, context_, context_.windowsMediaAvailable), row, cause);
}

AddRunResult FileAdder::AddPaths(const std::vector<std::string>& paths, AddDriver& driver,
                                 const std::vector<bool>& foundBySearch, const std::vector<AddProblem>& unlisted,
                                 const std::vector<std::string>& roots) {
    driver.Started();
    return Run(paths, driver, foundBySearch, unlisted, roots);
}

AddRunResult FileAdder::AddFound(const std::vector<std::string>& roots, const Settings& settings,
                                 AddDriver& driver) {
    driver.Started();
    driver.SetText(kSearchingText);
    std::vector<std::string> found;
    std::vector<bool> searched;
    std::vector<std::string> rootOf;
    std::vector<AddProblem> unlisted;
    for (const std::string& root : roots) {
        if (DirectoryExists(root)) {
            SearchFolder(root, settings, found, &driver, &unlisted);
            searched.resize(found.size(), true);
            rootOf.resize(found.size(), root);
        } else {
            std::string accepted;
            if (PassCandidate(root, settings, accepted)) found.push_back(accepted);
            searched.resize(found.size(), false);
            rootOf.resize(found.size());
        }
        if (driver.CancelRequested()) {
            AddRunResult result;
            result.cancelled = true;
            driver.Finished();
            return result;
        }
    }
    if (found.empty() && unlisted.empty()) {
        driver.Finished();
        return AddRunResult();
    }
    return Run(found, driver, searched, unlisted, rootOf);
}

AddRunResult FileAdder::Run(const std::vector<std::string>& paths, AddDriver& driver,
                            const std::vector<bool>& foundBySearch, const std::vector<AddProblem>& unlisted,
                            const std::vector<std::string>& roots) {
    AddRunResult result;
    const int n = static_cast<int>(paths.size());
    driver.SetBarRange(n);
    context_.failureReason.clear();

    std::string failureText;
    // The same list with every file's cause, for a report that ends with the request for the
    // files: the user then reads why each one failed before being asked to send it.
    std::string causedText;
    bool nonEnglish = false;
    auto addFailure = [&](const std::string& path, const std::string& cause) {
        result.failedPaths.push_back(path);
        result.failedCauses.push_back(cause);
        int failures = static_cast<int>(result.failedPaths.size());
        if (failures <= kListedFailures) {
            failureText += path + (cause.empty() ? "" : " (" + cause + ")") + "\n";
            causedText += path + " (" + (cause.empty() ? std::string(kNotAudioCause) : cause) + ")\n";
        } else if (failures == kListedFailures + 1) {
            failureText += "<more files>...\n";
            causedText += "<more files>...\n";
        }
    };
    for (const AddProblem& folder : unlisted) addFailure(folder.path, folder.cause);

    // The files are probed ahead on worker threads, each into its own slot; the rows are then
    // taken here in the order of the paths, so the list, the failures and the reasons come out as
    // with one thread. Files already listed and names that are no text are not probed.
    std::vector<char> wanted(static_cast<size_t>(n), 0);
    for (int i = 0; i < n; ++i) {
        const std::string& path = paths[static_cast<size_t>(i)];
        if (IsValidUtf8(path) && !list_.Contains(MakePathKey(path))) wanted[static_cast<size_t>(i)] = 1;
    }
    // The workers answer the Windows Media question by loading the runtime silently; the question
    // itself (which may show a window) is asked here, on the caller's thread, when the file's row
    // is taken, as one thread would ask it. A different answer probes that file again.
    const std::function<bool()> silentLoad;
    ProbeQueue queue(paths, wanted, n > 1 ? probeThreads_ : 0,
                     [this, &silentLoad](const std::string& path) { return ProbeFile(path, context_, silentLoad); });
    auto take = [&](int i, const std::string& path) {
        Probe probe = queue.Take(i);
        if (probe.windowsMediaAsked) {
            const bool available =
                context_.windowsMediaAvailable ? context_.windowsMediaAvailable() : LoadWindowsMediaRuntime();
            if (available != probe.windowsMediaAnswer)
                probe = ProbeFile(path, context_, [available] { return available; });
        }
        return probe;
    };

    for (int i = 0; i < n; ++i) {
        const std::string& path = paths[static_cast<size_t>(i)];
        std::string text = "[";
        text += std::to_string(i + 1);
        text += '/';
        text += std::to_string(n);
        text += "] Adding file ";
        text += FileNamePart(path);
        text += "...";
        driver.SetText(text);
        driver.StepBar();

        bool failed = false;
        std::string cause;
        if (!IsValidUtf8(path)) {
            // The name cannot be shown or stored as text.
            failed = true;
            nonEnglish = true;
        } else {
            const std::string& root = i < static_cast<int>(roots.size()) ? roots[static_cast<size_t>(i)] : std::string();
            // A path given twice is listed by its first row before the second is taken.
            AddStatus status = kAlreadyListed;
            if (wanted[static_cast<size_t>(i)]) {
                PathKey key = MakePathKey(path);
                if (!list_.Contains(key)) status = Commit(path, std::move(key), take(i, path), nullptr, &cause, root);
            }
            if (status == kAdded) ++result.added;
            else if (status == kAlreadyListed) ++result.alreadyListed;
            // A folder search takes every file; one without a code of its own that is not audio
            // (a cover picture, a playlist, a text) is passed over without a word, unless it could
            // not even be read.
            else if (!(i < static_cast<int>(foundBySearch.size()) && foundBySearch[static_cast<size_t>(i)] &&
                       SourceTypeForPath(path) == kSourceOther && cause.empty()))
                failed = true;
        }
        if (failed) addFailure(path, cause);

        driver.Pump();
        if (driver.CancelRequested()) {
            result.cancelled = true;
            break;
        }
    }

    driver.Finished();
    if (!failureText.empty()) {
        const bool askForFiles = !nonEnglish && context_.failureReason.empty();
        result.report = FailureReport(askForFiles ? causedText : failureText, nonEnglish, context_.failureReason);
        driver.ShowMessage(MessageIcon::Warning, result.report);
    }
    return result;
}

std::string FailureReport(const std::string& failureText, bool nonEnglish, const std::string& reason) {
    std::string text = "Failed to load the following files.\n\n" + failureText;
    if (nonEnglish)
        text += kNonEnglishEnding;
    else if (!reason.empty())
        text += "\n" + reason;
    else
        text += std::string("\nIf these files play in other programs, please send them to ") +
                kSupportAddress + " so that we can look into them.";
    return text;
}

}  // namespace sonavert
