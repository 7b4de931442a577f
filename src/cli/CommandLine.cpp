#include "cli/CommandLine.h"

#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include <QCommandLineParser>
#include <QStringList>

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

// The options come from one table (OptionTable): the parser and the help text are both made
// from it, so adding an option is adding a row.

// What the help text says above and below the options.
const char kDescription[] =
    "Converts audio files with Sonavert's engine. Files are added as they are; folders are searched\n"
    "recursively (with the extension filter of the options). Every row is then converted with the\n"
    "stored options, and a line \"SOURCE<TAB>STATUS\" is printed for each.";
const char kExitStatus[] = "Exit status: 0 when every row converted, 1 when any did not, 2 for a usage error.\n";

struct Options {
    std::string format;
    std::string outputDir;
    std::vector<std::string> sets;
    bool save = false;
    bool list = false;
    bool yes = false;
    std::string decoder;
    std::string jobs;
    std::vector<std::string> paths;
    // --help and --version: print their text instead of running.
    bool help = false;
    bool version = false;
};

// One option: its names, its line of the help text, and where it lands in Options.
struct OptionRow {
    const char* shortName = nullptr;  // one letter, or null
    const char* longName = nullptr;
    const char* valueName = nullptr;  // null for an option without a value
    std::string description;
    // A switch sets `flag`; a value goes to `value` (the last one given counts) or onto `list`.
    bool Options::*flag = nullptr;
    std::string Options::*value = nullptr;
    std::vector<std::string> Options::*list = nullptr;
    // Ends the message "option '-f' needs ..." for a missing value (and an empty one, with
    // emptyIsMissing).
    const char* needs = nullptr;
    bool emptyIsMissing = false;
    // A value this refuses is the usage error "unknown <what> 'VALUE'".
    bool (*accepts)(const std::string&) = nullptr;
    const char* what = nullptr;
    // --help and --version act where they stand: what follows them does not count.
    bool stops = false;
};

std::string JoinNames(const std::vector<std::string>& names) {
    std::string joined;
    for (const std::string& name : names) joined += (joined.empty() ? "" : ", ") + name;
    return joined;
}

// The names -f takes, in lower case and in the order of the output-format table.
std::vector<std::string> FormatNames() {
    std::vector<std::string> names;
    for (const OutputFormatInfo& format : OutputFormats()) {
        std::string name = format.name;
        for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        names.push_back(name);
    }
    return names;
}

// A number of rows converted at once: 0 (one per core) to 32.
bool IsJobCount(const std::string& text) {
    if (text.empty() || text.size() > 2) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return std::stoi(text) <= 32;
}

std::vector<OptionRow> OptionTable() {
    return {
        {.shortName = "f", .longName = "format", .valueName = "NAME|CODE",
         .description = "output format: " + JoinNames(FormatNames()) +
                        ", or an output format code (default: the stored one)",
         .value = &Options::format, .needs = "a format"},
        {.shortName = "o", .longName = "output-dir", .valueName = "DIR", .description = "write the targets into DIR",
         .value = &Options::outputDir, .needs = "a folder", .emptyIsMissing = true},
        {.longName = "set", .valueName = "NAME=VALUE",
         .description = "override a stored option for this run, by its stored name (e.g. MP3BitRate=192, "
                        "MonoType=1, MP3Tag/Artist=Someone)",
         .list = &Options::sets, .needs = "NAME=VALUE"},
        {.longName = "save", .description = "keep the overrides, format and folder as the stored options",
         .flag = &Options::save},
        {.longName = "list",
         .description = "print the rows (File, Duration, Bit Rate, Freq., Channels) instead of converting",
         .flag = &Options::list},
        {.longName = "decoder", .valueName = "NAME",
         .description = "only try one decoder: " + JoinNames(DecoderNames()),
         .value = &Options::decoder, .needs = "a decoder", .accepts = IsKnownDecoderName, .what = "decoder"},
        {.shortName = "j", .longName = "jobs", .valueName = "N",
         .description = "convert up to N files at once, 1 to 32, 0 for one per core (default: the stored "
                        "ParallelJobs option)",
         .value = &Options::jobs, .needs = "a number of files", .accepts = IsJobCount, .what = "number of files"},
        {.shortName = "y", .longName = "yes", .description = "answer Yes to the questions asked before a conversion",
         .flag = &Options::yes},
        {.shortName = "h", .longName = "help", .description = "show this text", .flag = &Options::help, .stops = true},
        {.longName = "version", .description = "show the version", .flag = &Options::version, .stops = true},
    };
}

// Arguments pass through Qt as Latin-1, one character per byte, so that a path in any encoding
// comes back byte for byte; the option names are plain ASCII either way.
QString FromBytes(const char* text) { return QString::fromLatin1(text); }
std::string ToBytes(const QString& text) {
    const QByteArray bytes = text.toLatin1();
    return std::string(bytes.constData(), static_cast<size_t>(bytes.size()));
}

// An option name as typed: "-f" or "--format".
std::string Spelled(const QString& name) { return (name.size() == 1 ? "-" : "--") + ToBytes(name); }

bool IsNameOf(const OptionRow& row, const QString& name) {
    return (row.shortName && name == QLatin1String(row.shortName)) || name == QLatin1String(row.longName);
}

// The row of a name the parser found (it finds only names of the table).
size_t RowOf(const std::vector<OptionRow>& rows, const QString& name) {
    for (size_t r = 0; r < rows.size(); ++r)
        if (IsNameOf(rows[r], name)) return r;
    return 0;
}

// Whether `argument` is --help or --version written as a whole argument.
bool IsStopSpelling(const std::vector<OptionRow>& rows, const QString& argument) {
    for (const OptionRow& row : rows) {
        if (!row.stops) continue;
        if (argument.startsWith(QLatin1String("--")) && IsNameOf(row, argument.mid(2))) return true;
        if (row.shortName && argument == QLatin1String("-") + QLatin1String(row.shortName)) return true;
    }
    return false;
}

QCommandLineOption QtOption(const OptionRow& row) {
    QStringList names;
    if (row.shortName) names << QLatin1String(row.shortName);
    names << QLatin1String(row.longName);
    QCommandLineOption option(names, QString::fromStdString(row.description));
    if (row.valueName) option.setValueName(QLatin1String(row.valueName));
    return option;
}

// The usage line, what the program does, a line per option (the parser lays them out and wraps
// the descriptions) and the exit status.
std::string HelpText(const QCommandLineParser& parser) {
    QString text = parser.helpText();
    // The parser's own first line names the program after QCoreApplication's arguments, and this
    // program has no QCoreApplication: the line is replaced.
    text.remove(0, text.indexOf(QLatin1Char('\n')) + 1);
    return "Usage: sonavert-cli [options] PATH...\n" + ToBytes(text) + "\n" + kExitStatus;
}

// The message for arguments the parser refused: an unknown option, a value missing after the last
// argument, or a value given to an option that takes none ("--save=1").
std::string ParseErrorText(const QCommandLineParser& parser, const std::vector<OptionRow>& rows) {
    const QStringList unknown = parser.unknownOptionNames();
    if (!unknown.isEmpty()) return "unknown option '" + Spelled(unknown.first()) + "'";
    // Only the last argument can lack its value, so the option missing one is the last found.
    const QStringList found = parser.optionNames();
    if (!found.isEmpty()) {
        const OptionRow& row = rows[RowOf(rows, found.last())];
        if (row.valueName) {
            qsizetype given = 0;
            for (const QString& name : found) given += IsNameOf(row, name) ? 1 : 0;
            if (given > parser.values(QLatin1String(row.longName)).size())
                return "option '" + Spelled(found.last()) + "' needs " + row.needs;
        }
    }
    std::string text = ToBytes(parser.errorText());  // "Unexpected value after '--save'."
    if (text.empty()) return "cannot read the arguments";
    text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
    if (text.back() == '.') text.pop_back();
    return text;
}

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
    const std::vector<OptionRow> rows = OptionTable();
    QCommandLineParser parser;
    parser.setApplicationDescription(QLatin1String(kDescription));
    // Short options as getopt reads them: "-f wav", "-fwav", "-yf wav".
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsCompactedShortOptions);
    for (const OptionRow& row : rows) parser.addOption(QtOption(row));
    // The parser skips the first argument, the program's name; "--" ends the options and a lone
    // "-" is a path, as the parser has it.
    QStringList args{QStringLiteral("sonavert-cli")};
    for (int i = 1; i < argc; ++i) args << FromBytes(argv[i]);

    // Takes the options the parser found, in the order given: an unknown decoder or an empty
    // folder is an error where it stands, --help and --version end the options.
    auto take = [&](Options& into) -> int {
        std::vector<QStringList> values;
        for (const OptionRow& row : rows)
            values.push_back(row.valueName ? parser.values(QLatin1String(row.longName)) : QStringList());
        std::vector<qsizetype> taken(rows.size(), 0);
        for (const QString& name : parser.optionNames()) {
            const size_t r = RowOf(rows, name);
            const OptionRow& row = rows[r];
            if (row.flag) {
                into.*row.flag = true;
                if (row.stops) break;
                continue;
            }
            const std::string value = ToBytes(values[r].value(taken[r]++));
            if (row.emptyIsMissing && value.empty())
                return UsageError("option '" + Spelled(name) + "' needs " + row.needs);
            if (row.accepts && !row.accepts(value))
                return UsageError(std::string("unknown ") + row.what + " '" + value + "'");
            if (row.list) {
                (into.*row.list).push_back(value);
            } else {
                into.*row.value = value;
            }
        }
        if (into.help) {
            std::fputs(HelpText(parser).c_str(), stdout);
            return kExitConverted;
        }
        if (into.version) {
            std::printf("sonavert-cli %s\n", kProductVersion);
            return kExitConverted;
        }
        for (const QString& path : parser.positionalArguments()) into.paths.push_back(ToBytes(path));
        return -1;
    };

    if (parser.parse(args)) return take(o);
    // The parser refuses the whole line for one bad argument, but an error after --help or
    // --version does not count: the arguments up to each spelling of them are parsed on their
    // own, and the first part that fails holds the first error.
    for (qsizetype end = 1; end < args.size(); ++end) {
        if (!IsStopSpelling(rows, args[end])) continue;
        if (!parser.parse(args.first(end + 1))) return UsageError(ParseErrorText(parser, rows));
        Options head;
        const int code = take(head);
        if (code >= 0) return code;  // --help, --version, or an error before them
        // Otherwise the spelling was the value of an option ("-o --help").
    }
    parser.parse(args);
    return UsageError(ParseErrorText(parser, rows));
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
    if (!o.jobs.empty()) state.jobs = BatchJobs(std::stoi(o.jobs));
    bool converted = RunConversionBatch(items, settings.OutputFormat, settings, host, driver, state);
    return converted && allLoaded ? kExitConverted : kExitSomeFailed;
}

}  // namespace sonavert
