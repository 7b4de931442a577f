#include "engine/Batch.h"

#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <system_error>
#include <unistd.h>

#include "engine/OutputFormats.h"
#include "base/PathHelpers.h"
#include "engine/Pipeline.h"
#include "sources/SourceTypes.h"
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

// Creates the file exclusively and removes it again: can a file be made at this path?
bool CanCreate(const std::string& path) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    ::close(fd);
    ::unlink(path.c_str());
    return true;
}

// A free name beside `target` for writing a replacement: "<stem>.sonavert-<pid>-<n><ext>".
std::string ReplacementPath(const std::string& target) {
    const std::string ext = ExtensionPart(target);
    const std::string stem = target.substr(0, target.size() - ext.size());
    for (int n = 1;; ++n) {
        std::string candidate = stem + ".sonavert-" + std::to_string(getpid()) + "-" + std::to_string(n) + ext;
        if (!PathExists(candidate)) return candidate;
    }
}

std::string CollapseSlashes(const std::string& path) {
    std::string out;
    for (char c : path) {
        if (c == '/' && !out.empty() && out.back() == '/') continue;
        out += c;
    }
    return out;
}

}  // namespace

std::string SoundFontQuestion(const std::string& executableFolder) {
    return Format(
        "Dear user, to decode MIDI file, file \"ct4mgm.sf2\" is required.\nUnfortunately, the file isn't available on "
        "your computer.\n\nDo you want to download the file from our website for free now?\n\nOnce download "
        "completes, please copy the file to folder:\n\"%s\"\nAnd then convert your MIDI file again. Thank you.",
        executableFolder);
}

bool MakeTargetPath(const std::string& sourcePath, int outputFormat, const Settings& settings, std::string& target,
                    bool& replace, std::string& reason) {
    const OutputFormatInfo* format = FindOutputFormat(outputFormat);
    const std::string outExt = format ? format->extension : "";
    const std::string fileName = FileNamePart(sourcePath);
    const std::string srcExt = ExtensionPart(sourcePath);
    const std::string baseName = fileName.substr(0, fileName.size() - srcExt.size());

    bool custom = settings.DestOutputFolderOpt == kDestCustomFolder;
    std::string folder = settings.DestSpecifiedFolder;
    bool keepTree = settings.CreateDirs != 0;
    bool retried = false;
    replace = false;

    for (;;) {
        bool ok = false;
        std::string stem;
        if (custom) {
            if (folder.empty() || !EnsureFolder(folder, true)) {
                reason = Format("Failed to create folder \"%s\"", folder);
            } else {
                stem = folder;
                if (stem.back() != '/') stem += '/';
                ok = true;
                if (keepTree) {
                    // Mirror the source's folders below the custom folder: /out + /a/b/x.wav -> /out/a/b/x.
                    std::string tree = CollapseSlashes(sourcePath);
                    std::string cleaned;
                    for (char c : tree)
                        if (c != ':') cleaned += c;
                    cleaned = cleaned.substr(0, cleaned.size() - FileNamePart(cleaned).size());
                    while (!cleaned.empty() && cleaned.front() == '/') cleaned.erase(0, 1);
                    stem += cleaned;
                    if (!EnsureFolder(stem, true)) {
                        reason = Format("Failed to create folder \"%s\"", stem);
                        ok = false;
                    }
                }
                stem += baseName;
            }
        } else {
            stem = sourcePath.substr(0, sourcePath.size() - srcExt.size());
            ok = true;
        }

        if (ok) {
            target = stem + outExt;
            bool exists = PathExists(target);
            if (exists) {
                if (settings.TargetExistsOpt == kTargetOverwrite) {
                    if (SameFile(target, sourcePath)) {
                        reason =
                            "Target file name is same as original file that can't be overwritten. Please output files "
                            "to a custom folder.";
                        return false;
                    }
                } else if (settings.TargetExistsOpt == kTargetSkip) {
                    reason = "Target exists and skipped";
                    return false;
                } else {
                    for (int n = 1; PathExists(target); ++n) {
                        char suffix[32];
                        std::snprintf(suffix, sizeof suffix, "_%d", n);
                        target = stem + suffix + outExt;
                    }
                    exists = false;
                }
            }
            // Test that the target can be written without touching an existing file: a file to
            // overwrite is replaced only once its successor is complete.
            if (exists ? (!DirectoryExists(target) && CanCreate(ReplacementPath(target))) : CanCreate(target)) {
                replace = exists;
                return true;
            }
            reason = Format("Failed to create file \"%s\"", target);
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

bool RunConversionBatch(std::vector<BatchItem>& items, int outputFormat, const Settings& settings, CodecHost& host,
                        BatchDriver& driver, BatchState& state, const ConvertFunction& convert) {
    struct WaitGuard {
        BatchDriver& d;
        explicit WaitGuard(BatchDriver& driver) : d(driver) { d.BeginWait(); }
        ~WaitGuard() { d.EndWait(); }
    } wait(driver);

    const FamilyInfo* family = FamilyOfFormat(outputFormat);
    if (family && family->needsWindowsMedia) {
        if (!LoadWindowsMediaRuntime()) {
            if (driver.AskYesNo(kWindowsMediaQuestion)) driver.OpenAddress(kWindowsMediaDownloadUrl);
            return false;
        }
    }

    for (const BatchItem& item : items) {
        if (item.sourceType != kSourceMidi) continue;
        if (!host.LoadDefaultSoundFont()) {
            if (driver.AskYesNo(SoundFontQuestion(host.ExecutableFolder()))) {
                driver.OpenFolder(host.ExecutableFolder());
                driver.OpenAddress(kSoundFontDownloadUrl);
                return false;
            }
        }
        break;
    }

    const OutputFormatInfo* format = FindOutputFormat(outputFormat);
    const std::string formatName = format ? format->name : "";
    const int count = static_cast<int>(items.size());
    driver.BeginRun(count);
    driver.Pump();

    bool allConverted = true;
    bool cancelled = false;
    SourceFactoryContext sources;
    sources.onlyDecoder = state.onlyDecoder;
    int sequence = 1;
    for (BatchItem& item : items) {
        std::string status;
        item.targetPath.clear();
        if (item.sourceType == kSourceMidi && !host.SoundFontLoaded()) {
            status = kSoundFontStatus;
        } else {
            driver.MakeRowVisible(item.row);
            driver.SetRowStatus(item.row, "Converting...");
            char overall[256];
            std::snprintf(overall, sizeof overall, "Converting %d of %d file(s) to %s...", sequence, count,
                          formatName.c_str());
            driver.SetOverallText(overall);
            driver.StepOverall();
            driver.SetFileText("Converting " + FileNamePart(item.sourcePath) + "...");
            driver.SetFileBarPosition(0);

            std::string target, reason;
            bool replace = false;
            if (!MakeTargetPath(item.sourcePath, outputFormat, settings, target, replace, reason)) {
                status = reason;
            } else {
                sources.failureReason.clear();
                ConversionRequest request{item.sourceType, item.sourcePath, replace ? ReplacementPath(target) : target,
                                          sequence};
                ConversionContext context{settings, driver, sources};
                int result = convert(outputFormat, request, context);
                uint64_t size = 0;
                bool success = result && FileSizeOf(request.targetPath, size) && size != 0;
                if (success && replace) {
                    std::error_code ec;
                    std::filesystem::rename(request.targetPath, target, ec);
                    if (ec) {
                        success = false;
                        std::filesystem::remove(request.targetPath, ec);
                    }
                } else if (!success && result) {
                    // An empty output is no conversion.
                    DeleteFailedTarget(request.targetPath, item.sourcePath);
                }
                if (success) {
                    item.targetPath = target;
                    driver.SetRowStatus(item.row, FileNamePart(target));
                    driver.Pump();
                    if (driver.CancelRequested()) {
                        cancelled = true;
                        break;
                    }
                    ++sequence;
                    continue;
                }
                status = "Conversion Failure";
                if (!sources.failureReason.empty()) {
                    status += " (" + sources.failureReason + ")";
                    if (state.statusColumnWidth < 500) {
                        state.statusColumnWidth = 500;
                        driver.SetStatusColumnWidth(500);
                    }
                }
            }
        }
        allConverted = false;
        if (driver.CancelRequested()) {
            driver.SetRowStatus(item.row, "Cancelled");
            cancelled = true;
            break;
        }
        driver.SetRowStatus(item.row, status);
        ++sequence;
    }
    driver.EndRun();

    if (!cancelled && settings.BrowseOutputFolder) {
        for (const BatchItem& item : items) {
            if (!item.targetPath.empty() && PathExists(item.targetPath)) {
                driver.ShowInFileManager(item.targetPath);
                break;
            }
        }
    }
    return allConverted && !cancelled;
}

}  // namespace sonavert
