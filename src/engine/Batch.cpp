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

bool EnsureWindowsMedia(UserQuestions& questions) {
    if (LoadWindowsMediaRuntime()) return true;
    if (questions.AskYesNo(kWindowsMediaQuestion)) questions.OpenAddress(kWindowsMediaDownloadUrl);
    return false;
}

bool MakeTargetPath(const std::string& sourcePath, int outputFormat, const Settings& settings, std::string& target,
                    bool& replace, std::string& reason, bool* skipped) {
    if (skipped) *skipped = false;
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
                    if (skipped) *skipped = true;
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

std::string StatusText(const RowOutcome& outcome) {
    switch (outcome.kind) {
        case RowOutcome::Kind::Converted: return FileNamePart(outcome.targetPath);
        case RowOutcome::Kind::Cancelled: return kCancelledStatus;
        case RowOutcome::Kind::Skipped: return outcome.reason;
        case RowOutcome::Kind::Failed: break;
    }
    if (!outcome.inConversion) return outcome.reason;
    std::string status = kConversionFailureStatus;
    if (!outcome.reason.empty()) status += " (" + outcome.reason + ")";
    return status;
}

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
        if (item.sourceType != kSourceMidi) continue;
        if (!host.LoadDefaultSoundFont()) {
            if (driver.AskYesNo(SoundFontQuestion(host.ExecutableFolder()))) {
                driver.OpenAddress(host.ExecutableFolder());
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
    sources.windowsMediaAvailable = [&driver] { return EnsureWindowsMedia(driver); };
    int sequence = 1;
    for (BatchItem& item : items) {
        RowOutcome outcome;
        item.targetPath.clear();
        if (item.sourceType == kSourceMidi && !host.SoundFontLoaded()) {
            outcome.reason = kSoundFontStatus;
        } else {
            driver.RowStarted(item.row);
            char overall[256];
            std::snprintf(overall, sizeof overall, "Converting %d of %d file(s) to %s...", sequence, count,
                          formatName.c_str());
            driver.SetOverallText(overall);
            driver.SetOverallProgress(count > 0 ? static_cast<double>(sequence) / count : 1.0);
            driver.SetFileText("Converting " + FileNamePart(item.sourcePath) + "...");
            driver.SetFileProgress(0.0);

            std::string target, reason;
            bool replace = false, skipped = false;
            if (!MakeTargetPath(item.sourcePath, outputFormat, settings, target, replace, reason, &skipped)) {
                outcome.kind = skipped ? RowOutcome::Kind::Skipped : RowOutcome::Kind::Failed;
                outcome.reason = reason;
            } else {
                sources.failureReason.clear();
                ConversionRequest request{item.sourceType, item.sourcePath, replace ? ReplacementPath(target) : target,
                                          sequence, outputFormat};
                ConversionContext context{settings, driver, sources, {}};
                int result = convert(outputFormat, request, context);
                uint64_t size = 0;
                bool success = result && FileSizeOf(request.targetPath, size) && size != 0;
                if (success && replace) {
                    std::error_code ec;
                    std::filesystem::rename(request.targetPath, target, ec);
                    if (ec) {
                        success = false;
                        context.failureReason = ec.message();
                        std::filesystem::remove(request.targetPath, ec);
                    }
                } else if (!success && result) {
                    // An empty output is no conversion.
                    DeleteFailedTarget(request.targetPath, item.sourcePath);
                }
                if (success) {
                    item.targetPath = target;
                    outcome.kind = RowOutcome::Kind::Converted;
                    outcome.targetPath = target;
                    driver.RowFinished(item.row, outcome);
                    driver.Pump();
                    if (driver.CancelRequested()) {
                        cancelled = true;
                        break;
                    }
                    ++sequence;
                    continue;
                }
                outcome.inConversion = true;
                outcome.reason = context.failureReason;
            }
        }
        allConverted = false;
        if (driver.CancelRequested()) {
            driver.RowFinished(item.row, RowOutcome{RowOutcome::Kind::Cancelled, {}, {}, false});
            cancelled = true;
            break;
        }
        driver.RowFinished(item.row, outcome);
        ++sequence;
    }
    driver.EndRun();

    if (!cancelled && settings.BrowseOutputFolder) {
        for (const BatchItem& item : items) {
            if (!item.targetPath.empty() && PathExists(item.targetPath)) {
                driver.ShowFile(item.targetPath);
                break;
            }
        }
    }
    return allConverted && !cancelled;
}

}  // namespace sonavert
