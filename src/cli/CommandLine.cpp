#include "cli/CommandLine.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "engine/Batch.h"
#include "sources/CodecHost.h"
#include "engine/OutputFormats.h"
#include "base/PathHelpers.h"
#include "base/ProductInfo.h"
#include "filelist/FileAdder.h"
#include "filelist/FileList.h"
#include "filelist/PathIdentity.h"
#include "settings/SettingsStore.h"
#include "sources/SourceFactory.h"

namespace sonavert {

namespace {

// Ctrl+C once asks the batch to stop after the current block; twice ends the process at once.
volatile std::sig_atomic_t g_interrupts = 0;

void OnInterrupt(int) {
    if (g_interrupts > 0) _exit(130);
    g_interrupts = 1;
}

const char kUsage[] =
    "Usage: sonavert-cli [options] PATH...\n"
    "Converts audio files with Sonavert's engine. Files are added as they are; folders are searched\n"
    "recursively (with the extension filter of the options). Every row is then converted with the\n"
    "stored options, and a line \"SOURCE<TAB>STATUS\" is printed for each.\n"
    "\n"
    "Options:\n"
    "  -f, --format NAME|CODE   output format: mp3, wav, ogg, amr, awb, aac, m4a, mp4, m4b, m4r,\n"
    "                           wma, wmv, asf, or an output format code (default: the stored one)\n"
    "  -o, --output-dir DIR     write the targets into DIR\n"
    "      --set NAME=VALUE     override a stored option for this run, by its stored name\n"
    "                           (e.g. MP3BitRate=192, MonoType=1, MP3Tag/Artist=Someone)\n"
    "      --save               keep the overrides, format and folder as the stored options\n"
    "      --list               print the rows (File, Duration, Bit Rate, Freq., Channels) instead of\n"
    "                           converting\n"
    "      --decoder NAME       only try one decoder: bass, ffmpeg, wav, ogg, aiff, au, wm\n"
    "  -y, --yes                answer Yes to the questions asked before a conversion\n"
    "      --help               show this text\n"
    "      --version            show the version\n"
    "\n"
    "Exit status: 0 when every row converted, 1 when any did not, 2 for a usage error.\n";

struct Options {
    std::string format;
    std::string outputDir;
    std::vector<std::string> sets;
    bool save = false;
    bool list = false;
    bool yes = false;
    std::string decoder;
    std::vector<std::string> paths;
};

int UsageError(const std::string& message) {
    std::fprintf(stderr, "sonavert-cli: %s\nTry 'sonavert-cli --help' for more information.\n", message.c_str());
    return kExitUsage;
}

// Talks to the terminal: questions and messages on stderr, a live progress line on stderr when
// it is a terminal, and one status line per finished row on stdout.
class TerminalDriver : public BatchDriver, public AddDriver {
public:
    TerminalDriver(bool yes, const std::vector<BatchItem>* items) : yes_(yes), items_(items), live_(isatty(2)) {}
    void SetItems(const std::vector<BatchItem>* items) { items_ = items; }

    // Messages of the add run, questions and shell requests of the batch.
    void ShowMessage(MessageIcon, const std::string& text) override {
        ClearLine();
        std::fprintf(stderr, "%s\n", text.c_str());
    }
    bool AskYesNo(const std::string& question) override {
        ClearLine();
        std::fprintf(stderr, "%s\n[%s]\n", question.c_str(), yes_ ? "Yes" : "No (run with --yes to answer Yes)");
        return yes_;
    }
    void OpenAddress(const std::string& address) override { std::fprintf(stderr, "See %s\n", address.c_str()); }
    void ShowFile(const std::string&) override {}
    void SetWaitCursor(bool) override {}

    // Progress of the batch, and the add run's texts.
    void BeginRun(int) override {}
    void EndRun() override { ClearLine(); }
    // A new row starts: its own per-file text follows.
    void SetOverallText(const std::string& text) override {
        overall_ = text;
        file_.clear();
        Draw();
    }
    void SetOverallProgress(double) override {}
    void SetFileText(const std::string& text) override {
        file_ = text;
        Draw();
    }
    void SetFileProgress(double) override {}
    void SetText(const std::string& text) override { SetFileText(text); }
    void SetBarRange(int) override {}
    void StepBar() override {}
    void Finished() override {
        file_.clear();
        ClearLine();
    }
    void Pump() override {}
    bool CancelRequested() override { return g_interrupts != 0; }

    // Rows: one status line each when it ends.
    void RowStarted(int) override {}
    void RowFinished(int row, const RowOutcome& outcome) override {
        ClearLine();
        const std::string& source = items_ && row >= 0 && row < static_cast<int>(items_->size())
                                        ? (*items_)[static_cast<size_t>(row)].sourcePath
                                        : std::string();
        std::printf("%s\t%s\n", source.c_str(), StatusText(outcome).c_str());
        std::fflush(stdout);
    }

private:
    void Draw() {
        if (!live_) return;
        std::string line = overall_.empty() ? file_ : overall_ + "  " + file_;
        if (line.size() > 150) line.resize(150);
        std::fprintf(stderr, "\r\033[K%s", line.c_str());
        drawn_ = true;
    }
    void ClearLine() {
        if (live_ && drawn_) std::fprintf(stderr, "\r\033[K");
        drawn_ = false;
    }

    bool yes_;
    const std::vector<BatchItem>* items_;
    bool live_;
    bool drawn_ = false;
    std::string overall_, file_;
};

// Parses the arguments; returns -1 to go on, or an exit code.
int Parse(int argc, char** argv, Options& o) {
    bool onlyPaths = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](const char* name) -> const char* {
            if (i + 1 >= argc) return nullptr;
            (void)name;
            return argv[++i];
        };
        if (onlyPaths || a.empty() || a[0] != '-' || a == "-") {
            o.paths.push_back(a);
            continue;
        }
        if (a == "--") {
            onlyPaths = true;
        } else if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return kExitConverted;
        } else if (a == "--version") {
            std::printf("sonavert-cli %s\n", kProductVersion);
            return kExitConverted;
        } else if (a == "-f" || a == "--format" || a.rfind("--format=", 0) == 0) {
            const char* v = a.size() > 9 && a[8] == '=' ? a.c_str() + 9 : value("--format");
            if (!v) return UsageError("option '" + a + "' needs a format");
            o.format = v;
        } else if (a == "-o" || a == "--output-dir" || a.rfind("--output-dir=", 0) == 0) {
            const char* v = a.size() > 13 && a[12] == '=' ? a.c_str() + 13 : value("--output-dir");
            if (!v || !*v) return UsageError("option '" + a + "' needs a folder");
            o.outputDir = v;
        } else if (a == "--set" || a.rfind("--set=", 0) == 0) {
            const char* v = a.size() > 6 && a[5] == '=' ? a.c_str() + 6 : value("--set");
            if (!v) return UsageError("option '--set' needs NAME=VALUE");
            o.sets.push_back(v);
        } else if (a == "--decoder" || a.rfind("--decoder=", 0) == 0) {
            const char* v = a.size() > 10 && a[9] == '=' ? a.c_str() + 10 : value("--decoder");
            if (!v || !IsKnownDecoderName(v)) return UsageError(std::string("unknown decoder '") + (v ? v : "") + "'");
            o.decoder = v;
        } else if (a == "--save") {
            o.save = true;
        } else if (a == "--list") {
            o.list = true;
        } else if (a == "-y" || a == "--yes") {
            o.yes = true;
        } else {
            return UsageError("unknown option '" + a + "'");
        }
    }
    return -1;
}

}  // namespace

int RunCommandLine(int argc, char** argv) {
    Options o;
    int parsed = Parse(argc, argv, o);
    if (parsed >= 0) return parsed;

    SettingsStore store;
    Settings settings = DefaultSettings();
    store.LoadSettings(settings);

    if (!o.format.empty()) {
        const OutputFormatInfo* f = FindOutputFormatByName(o.format);
        if (!f) {
            char* end = nullptr;
            long code = std::strtol(o.format.c_str(), &end, 10);
            if (end && *end == '\0') f = FindOutputFormat(static_cast<int>(code));
        }
        if (!f) return UsageError("unknown format '" + o.format + "'");
        settings.OutputFormat = f->code;
    }
    if (!FindOutputFormat(settings.OutputFormat)) settings.OutputFormat = kOutputMp3;
    for (const std::string& set : o.sets) {
        size_t eq = set.find('=');
        if (eq == std::string::npos || eq == 0) return UsageError("'--set " + set + "' is not NAME=VALUE");
        if (!SetByName(settings, set.substr(0, eq), set.substr(eq + 1)))
            return UsageError("cannot set '" + set.substr(0, eq) + "' to '" + set.substr(eq + 1) + "'");
    }
    if (!o.outputDir.empty()) {
        settings.DestOutputFolderOpt = kDestCustomFolder;
        settings.DestSpecifiedFolder = AbsolutePath(o.outputDir);
    }
    if (o.save && !store.SaveSettings(settings, kSaveFolder | kSaveOptions | kSaveExit))
        std::fprintf(stderr, "sonavert-cli: could not save the options to %s\n", store.Path().c_str());
    if (o.paths.empty()) {
        if (o.save) return kExitConverted;
        return UsageError("no file or folder given");
    }

    std::signal(SIGINT, OnInterrupt);

    CodecHost host;
    switch (host.Start(ExecutableFolder())) {
        case CodecHost::StartResult::Ok: break;
        case CodecHost::StartResult::WrongVersion: return kExitSomeFailed;
        case CodecHost::StartResult::InitFailed:
            std::fprintf(stderr, "Failed to initialize the software (0x0002020).\n");
            return kExitSomeFailed;
    }
    host.LoadDefaultSoundFont();

    // Files come in as picked files; folders are searched with the extension filter.
    std::vector<std::string> candidates;
    TerminalDriver driver(o.yes, nullptr);
    for (const std::string& path : o.paths) {
        if (DirectoryExists(path)) {
            SearchFolder(AbsolutePath(path), settings, candidates, &driver);
        } else {
            candidates.push_back(AbsolutePath(path));
        }
    }
    FileList list;
    SourceFactoryContext sources;
    sources.onlyDecoder = o.decoder;
    sources.windowsMediaAvailable = [&driver] { return EnsureWindowsMedia(driver); };
    FileAdder adder(list, sources);
    AddRunResult added = adder.AddPaths(candidates, driver);
    const bool allLoaded = added.failedPaths.empty() && !added.cancelled;

    if (o.list) {
        for (int row = 0; row < list.RowCount(); ++row) {
            std::string line;
            for (int column = kColumnFile; column <= kColumnChannels; ++column) {
                if (column != kColumnFile) line += '\t';
                line += list.CellText(row, column);
            }
            std::printf("%s\n", line.c_str());
        }
        return allLoaded ? kExitConverted : kExitSomeFailed;
    }
    if (added.cancelled) return kExitSomeFailed;
    if (list.RowCount() == 0) {
        std::fprintf(stderr, "sonavert-cli: nothing to convert\n");
        return kExitSomeFailed;
    }

    RowSet rows = list.AllRows();
    std::vector<BatchItem> items;
    for (size_t i = 0; i < rows.entries.size(); ++i)
        items.push_back({static_cast<int>(i), rows.entries[i]->sourceType, rows.entries[i]->sourcePath, ""});
    driver.SetItems(&items);
    BatchState state;
    state.onlyDecoder = o.decoder;
    bool converted = RunConversionBatch(items, settings.OutputFormat, settings, host, driver, state);
    return converted && allLoaded ? kExitConverted : kExitSomeFailed;
}

}  // namespace sonavert
