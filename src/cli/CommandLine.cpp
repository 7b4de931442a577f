#include "cli/CommandLine.h"

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <QCommandLineParser>
#include <QStringList>

#include "engine/Batch.h"
#include "engine/LibraryNaming.h"
#include "sources/CodecHost.h"
#include "engine/OutputFormats.h"
#include "base/PathHelpers.h"
#include "base/ProductInfo.h"
#include "filelist/FileAdder.h"
#include "filelist/FileList.h"
#include "filelist/PathIdentity.h"
#include "settings/SettingRanges.h"
#include "settings/SettingsFields.h"
#include "settings/SettingsStore.h"
#include "sources/SourceFactory.h"

namespace sonavert {

namespace {

// Ctrl+C, SIGTERM or SIGHUP once asks the batch to stop after the current block (the running
// rows end cancelled, their temporaries removed); a second one ends the process at once. The
// handler only sets flags, which the batch polls.
volatile std::sig_atomic_t g_interrupts = 0;
volatile std::sig_atomic_t g_interruptSignal = 0;  // the first signal received

void OnInterrupt(int signal) {
    if (g_interrupts > 0) _exit(128 + signal);
    g_interruptSignal = signal;
    g_interrupts = 1;
}

void CatchInterrupts() {
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
}

// The exit status of an interrupted run: 128 plus the signal, as a shell reports it.
int InterruptedExit() { return g_interruptSignal ? 128 + g_interruptSignal : kExitInterrupted; }

// The options come from one table (OptionTable): the parser and the help text are both made
// from it, so adding an option is adding a row.

// What the help text says above and below the options.
const char kDescription[] =
    "Converts audio files with Sonavert's engine. Files are added as they are; folders are searched\n"
    "recursively (with the extension filter of the options). Every row is then converted with the\n"
    "stored options, and a line \"SOURCE<TAB>STATUS\" is printed for each: the target's full path, or\n"
    "why it was not converted. In these lines, and in those of --list, a tab, line feed, carriage\n"
    "return, backslash or other control character of a name is written as \\t, \\n, \\r, \\\\ or \\xHH.";
const char kExitStatus[] =
    "Exit status: 0 when every row converted, was skipped or was up to date, 1 when any failed (or its\n"
    "source ended early), 2 for a\n"
    "usage error, 130 when interrupted (Ctrl+C), 143 on SIGTERM and 129 on SIGHUP; the running rows\n"
    "are then cancelled.\n";

struct Options {
    std::string format;
    std::string outputDir;
    std::vector<std::string> sets;
    bool save = false;
    bool list = false;
    bool yes = false;
    std::string decoder;
    std::string jobs;
    bool verify = false;
    bool noVerify = false;
    bool skip = false;
    bool overwrite = false;
    bool update = false;
    bool json = false;
    std::string shard;
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
         .description = "print the rows (full path, Duration, Bit Rate, Freq., Channels) instead of converting",
         .flag = &Options::list},
        {.longName = "decoder", .valueName = "NAME",
         .description = "only try one decoder: " + JoinNames(DecoderNames()),
         .value = &Options::decoder, .needs = "a decoder", .accepts = IsKnownDecoderName, .what = "decoder"},
        {.shortName = "j", .longName = "jobs", .valueName = "N",
         .description = "convert up to N files at once, 1 to 32, 0 for one per core, and read the files "
                        "being added on as many threads, at most 4 (default: the stored ParallelJobs option)",
         .value = &Options::jobs, .needs = "a number of files", .accepts = IsJobCount, .what = "number of files"},
        {.longName = "verify",
         .description = "decode every target back and check it before it takes its name (VerifyTargets=2)",
         .flag = &Options::verify},
        {.longName = "no-verify", .description = "do not check the targets (VerifyTargets=0; the stored default "
                                                 "checks lossless targets)",
         .flag = &Options::noVerify},
        {.shortName = "y", .longName = "yes", .description = "answer Yes to the questions asked before a conversion",
         .flag = &Options::yes},
        {.longName = "skip", .description = "leave a target that exists as it is (TargetExistsOpt=33)",
         .flag = &Options::skip},
        {.longName = "overwrite", .description = "replace a target that exists (TargetExistsOpt=22)",
         .flag = &Options::overwrite},
        {.longName = "update",
         .description = "convert only when the target is missing or older than its source, else the row is "
                        "\"Target is up to date\" (TargetExistsOpt=44); an interrupted run so continues",
         .flag = &Options::update},
        {.longName = "json",
         .description = "print one JSON object per row instead of its line: source, target, status (converted, "
                        "incomplete, up-to-date, skipped, failed, cancelled), reason, seconds, bytes",
         .flag = &Options::json},
        {.longName = "shard", .valueName = "K/N",
         .description = "convert only shard K of N (1 <= K <= N): the rows whose path below the folder named "
                        "hashes into it, so N processes share a library with no overlap",
         .value = &Options::shard, .needs = "K/N"},
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

// "1:05" or "1:02:05".
std::string Clock(double seconds) {
    const long total = seconds < 0 ? 0 : static_cast<long>(seconds + 0.5);
    char text[32];
    if (total >= 3600)
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", total / 3600, total / 60 % 60, total % 60);
    else
        std::snprintf(text, sizeof text, "%ld:%02ld", total / 60, total % 60);
    return text;
}

// Characters of a UTF-8 text (continuation bytes do not count).
size_t Columns(const std::string& text) {
    size_t n = 0;
    for (unsigned char c : text) n += (c & 0xC0) != 0x80;
    return n;
}

// The first `columns` characters of a UTF-8 text.
std::string FirstColumns(const std::string& text, size_t columns) {
    size_t n = 0, i = 0;
    for (; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80 && n++ == columns) break;
    }
    return text.substr(0, i);
}

// The terminal's width in columns: the terminal's own, else $COLUMNS, else 80.
size_t TerminalColumns() {
    winsize size{};
    if (ioctl(2, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    if (const char* env = std::getenv("COLUMNS")) {
        const long n = std::strtol(env, nullptr, 10);
        if (n > 0) return static_cast<size_t>(n);
    }
    return 80;
}

}  // namespace

std::string EscapeField(const std::string& text) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        switch (byte) {
            case '\t': out += "\\t"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\\': out += "\\\\"; break;
            default:
                if (byte < 0x20 || byte == 0x7f) {
                    out += "\\x";
                    out += kHex[byte >> 4];
                    out += kHex[byte & 0xf];
                } else {
                    out += c;
                }
        }
    }
    return out;
}

std::string JsonString(const std::string& text) {
    static const char kHex[] = "0123456789abcdef";
    const bool utf8 = IsValidUtf8(text);
    std::string out = "\"";
    for (char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        switch (byte) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
            default:
                if (byte < 0x20 || byte == 0x7f || (byte >= 0x80 && !utf8)) {
                    out += "\\u00";
                    out += kHex[byte >> 4];
                    out += kHex[byte & 0xf];
                } else {
                    out += c;
                }
        }
    }
    return out + "\"";
}

std::string ProgressLine(const std::string& text, double elapsed, double fraction, size_t columns) {
    std::string times = "  " + Clock(elapsed) + " elapsed";
    if (fraction > 0.005 && fraction < 1.0 && elapsed > 0.5)
        times += ", about " + Clock(elapsed * (1.0 - fraction) / fraction) + " left";
    // One column stays free: a line that fills the last column wraps on some terminals.
    const size_t room = columns > 1 ? columns - 1 : 0;
    if (Columns(times) >= room) return FirstColumns(times.substr(2), room);
    return FirstColumns(text, room - Columns(times)) + times;
}

namespace {

// Talks to the terminal: questions and messages on stderr, a live progress line on stderr when
// it is a terminal, and one status line per finished row on stdout.
class TerminalDriver : public BatchDriver, public AddDriver {
public:
    TerminalDriver(bool yes, const Settings& settings) : yes_(yes), settings_(settings), live_(isatty(2)) {}
    void SetItems(const std::vector<BatchItem>* items) { items_ = items; }
    // Whether a verified row is told on standard error (--verify).
    void ReportVerified(bool report) { reportVerified_ = report; }
    // While set, the add run's failure report is not shown: the caller prints a line per path.
    void SetQuietReport(bool quiet) { quietReport_ = quiet; }

    // Messages of the add run, questions and shell requests of the batch.
    void ShowMessage(MessageIcon, const std::string& text) override {
        if (quietReport_) return;
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
    void BeginRun(int rows) override {
        rows_ = rows;
        finished_ = 0;
        fileFraction_ = 0;
        haveWork_ = false;
        start_ = std::chrono::steady_clock::now();
    }
    void EndRun() override { ClearLine(); }
    // A new row starts: its own per-file text follows.
    void SetOverallText(const std::string& text) override {
        overall_ = text;
        file_.clear();
        fileFraction_ = 0;
    }
    void SetOverallProgress(double) override {}
    void SetFileText(const std::string& text) override {
        file_ = text;
        Draw(false);
    }
    void SetFileProgress(double fraction) override { fileFraction_ = fraction; }
    // The time left follows the work done over every running row, not the rows started.
    void SetWorkDone(double fraction, double elapsed, double) override {
        work_ = fraction;
        workElapsed_ = elapsed;
        haveWork_ = true;
    }
    void SetText(const std::string& text) override {
        overall_.clear();
        file_ = text;
        Draw(false);
    }
    void SetBarRange(int) override {}
    void StepBar() override {}
    void Finished() override {
        file_.clear();
        ClearLine();
    }
    void Pump() override {}
    bool CancelRequested() override { return g_interrupts != 0; }

    // Rows: one status line each when it ends; a converted row shows its target's full path.
    void RowStarted(int row) override { started_[row] = std::chrono::steady_clock::now(); }
    void RowFinished(int row, const RowOutcome& outcome) override {
        ClearLine();
        ++finished_;
        ++rowsReported_;
        fileFraction_ = 0;
        using Kind = RowOutcome::Kind;
        // Skipped and up-to-date rows are done as the user asked; the others did not convert.
        if (outcome.kind == Kind::Failed || outcome.kind == Kind::Cancelled || outcome.kind == Kind::Incomplete)
            ++rowsFailed_;
        const std::string& source = items_ && row >= 0 && row < static_cast<int>(items_->size())
                                        ? (*items_)[static_cast<size_t>(row)].sourcePath
                                        : std::string();
        const bool converted = outcome.kind == RowOutcome::Kind::Converted;
        if (converted && WentToDocuments(source, outcome.targetPath))
            std::fprintf(stderr,
                         "sonavert-cli: warning: the chosen output folder could not be written; the target went to "
                         "the documents folder: %s\n",
                         outcome.targetPath.c_str());
        if (converted && !outcome.warning.empty())
            std::fprintf(stderr, "sonavert-cli: warning: %s: %s\n", EscapeField(source).c_str(),
                         outcome.warning.c_str());
        // The row's line stays "SOURCE<TAB>TARGET" for scripts; a check asked for with --verify is
        // told beside it (the default check of lossless targets speaks only when it fails).
        if (outcome.verified && reportVerified_) std::fprintf(stderr, "sonavert-cli: verified: %s\n", EscapeField(outcome.targetPath).c_str());
        std::string status = converted ? outcome.targetPath : StatusText(outcome);
        // An incomplete target is named in full too, with what was missing.
        if (outcome.kind == RowOutcome::Kind::Incomplete)
            status = outcome.targetPath + " (incomplete: " + outcome.reason + ")";
        if (json_)
            PrintJson(row, source, outcome);
        // A measured row's loudness follows as a third field.
        else if (outcome.loudnessMeasured)
            std::printf("%s\t%s\t%s\n", EscapeField(source).c_str(), EscapeField(status).c_str(),
                        EscapeField(outcome.loudnessText).c_str());
        else
            std::printf("%s\t%s\n", EscapeField(source).c_str(), EscapeField(status).c_str());
        std::fflush(stdout);
    }
    // The album gain of a row, told once the batch's rows are all done.
    void RowNote(int row, const std::string& note, bool failed) override {
        ClearLine();
        const std::string source = items_ && row >= 0 && row < static_cast<int>(items_->size())
                                       ? (*items_)[static_cast<size_t>(row)].sourcePath
                                       : std::string();
        std::fprintf(stderr, "sonavert-cli: %s%s: %s\n", failed ? "warning: " : "", EscapeField(source).c_str(),
                     note.c_str());
    }

    void SetJson(bool json) { json_ = json; }
    int RowsReported() const { return rowsReported_; }
    int RowsFailed() const { return rowsFailed_; }

private:
    // The row as one JSON object: a field is one line of the list below.
    void PrintJson(int row, const std::string& source, const RowOutcome& outcome) {
        using Kind = RowOutcome::Kind;
        const char* kind = outcome.kind == Kind::Converted    ? "converted"
                           : outcome.kind == Kind::Incomplete ? "incomplete"
                           : outcome.kind == Kind::UpToDate   ? "up-to-date"
                           : outcome.kind == Kind::Skipped    ? "skipped"
                           : outcome.kind == Kind::Cancelled  ? "cancelled"
                                                              : "failed";
        double seconds = 0;
        if (const auto it = started_.find(row); it != started_.end()) {
            seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - it->second).count();
            started_.erase(it);
        }
        uint64_t bytes = 0;
        if (!outcome.targetPath.empty()) FileSizeOf(outcome.targetPath, bytes);
        char number[32];
        std::snprintf(number, sizeof number, "%.3f", seconds);
        const std::string reason = outcome.kind == Kind::Converted    ? outcome.reason
                                   : outcome.kind == Kind::Incomplete ? outcome.reason
                                                                      : StatusText(outcome);
        const std::vector<std::pair<const char*, std::string>> fields = {
            {"source", JsonString(source)},
            {"target", JsonString(outcome.targetPath)},
            {"status", JsonString(kind)},
            {"reason", JsonString(reason)},
            {"seconds", number},
            {"bytes", std::to_string(bytes)},
            // The target was decoded back and matched what was encoded (VerifyTargets).
            {"verified", outcome.verified ? "true" : "false"},
        };
        // The loudness measured (null for a silent file), when the analysis or normalisation ran.
        std::vector<std::pair<const char*, std::string>> loudness;
        if (outcome.loudnessMeasured) {
            auto figure = [](double value) {
                if (!std::isfinite(value)) return std::string("null");
                char text[32];
                std::snprintf(text, sizeof text, "%.2f", value);
                return std::string(text);
            };
            loudness = {{"loudness_lufs", figure(outcome.loudnessLufs)}, {"true_peak_dbtp", figure(outcome.truePeakDbtp)}};
        }
        std::string line = "{";
        for (const auto& [key, value] : fields) line += (line.size() > 1 ? ", " : "") + JsonString(key) + ": " + value;
        for (const auto& [key, value] : loudness) line += ", " + JsonString(key) + ": " + value;
        std::printf("%s}\n", line.c_str());
    }

    // Whether the target lies outside the folder the settings chose, in the documents folder:
    // the batch's retry when the chosen folder could not be written.
    bool WentToDocuments(const std::string& source, const std::string& target) const {
        const std::string documents = DocumentsFolder();
        if (documents.empty() || target.rfind(documents + "/", 0) != 0) return false;
        if (settings_.DestOutputFolderOpt == kDestCustomFolder) {
            std::string folder = settings_.DestSpecifiedFolder;
            while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
            return target.rfind(folder + "/", 0) != 0;
        }
        const std::string sourceFolder = source.substr(0, source.size() - FileNamePart(source).size());
        const std::string targetFolder = target.substr(0, target.size() - FileNamePart(target).size());
        return sourceFolder != targetFolder;
    }

    // Redraws the progress line, at most ten times a second.
    void Draw(bool force) {
        if (!live_) return;
        const auto now = std::chrono::steady_clock::now();
        if (!force && drawn_ && now - lastDraw_ < std::chrono::milliseconds(100)) return;
        lastDraw_ = now;
        std::string text = file_;
        if (!overall_.empty()) {
            // "[2/5] Converting song.flac...42%": the row's place in the run, then its own text.
            text = "[" + std::to_string(finished_ + 1) + "/" + std::to_string(rows_) + "] " + file_;
        }
        double fraction = -1, elapsed = 0;
        if (rows_ > 0 && !overall_.empty()) {
            fraction = haveWork_ ? work_ : (finished_ + fileFraction_) / rows_;
            elapsed = haveWork_ ? workElapsed_ : std::chrono::duration<double>(now - start_).count();
        }
        const std::string line =
            fraction < 0 ? FirstColumns(text, TerminalColumns() - 1) : ProgressLine(text, elapsed, fraction, TerminalColumns());
        std::fprintf(stderr, "\r\033[K%s", line.c_str());
        std::fflush(stderr);
        drawn_ = true;
    }
    void ClearLine() {
        if (live_ && drawn_) std::fprintf(stderr, "\r\033[K");
        drawn_ = false;
    }

    bool yes_;
    bool reportVerified_ = false;
    bool json_ = false;
    int rowsReported_ = 0, rowsFailed_ = 0;
    std::map<int, std::chrono::steady_clock::time_point> started_;
    const Settings& settings_;
    const std::vector<BatchItem>* items_ = nullptr;
    bool live_;
    bool quietReport_ = false;
    bool drawn_ = false;
    std::string overall_, file_;
    int rows_ = 0;
    int finished_ = 0;
    double fileFraction_ = 0;
    double work_ = 0, workElapsed_ = 0;
    bool haveWork_ = false;
    std::chrono::steady_clock::time_point start_{}, lastDraw_{};
};

// The manual parameters of each output family, which its automatic flag overrides.
struct ManualParams {
    const char* autoName;
    int32_t Settings::*automatic;
    Family family;
    std::vector<const char*> names;
};

const std::vector<ManualParams>& ManualParamTable() {
    static const std::vector<ManualParams> table = {
        {"AutoDestMP3EncodingParam", &Settings::AutoDestMP3EncodingParam, Family::Mp3,
         {"MP3BitRate", "MP3SampleRate", "MP3ChannelMode"}},
        {"AutoDestWAVEncodingParam", &Settings::AutoDestWAVEncodingParam, Family::Wav,
         {"WAVSampleRate", "WAVChannelNum", "WAVBitsPerSample"}},
        {"AutoDestWMAEncodingParam", &Settings::AutoDestWMAEncodingParam, Family::WindowsMedia,
         {"WMABitRate", "WMASampleRate", "WMAChannels"}},
        {"AutoDestOGGEncodingParam", &Settings::AutoDestOGGEncodingParam, Family::Ogg,
         {"OGGBitRate", "OGGSampleRate", "OGGChannels"}},
        {"AutoDestAACEncodingParam", &Settings::AutoDestAACEncodingParam, Family::Aac,
         {"AACVBR", "AACVBRQuality", "AACABRBitRate", "AACMpegVersion", "AACEnableTNS", "AACEnableMidside",
          "AACBlockType"}},
        {"AutoDestM4AEncodingParam", &Settings::AutoDestM4AEncodingParam, Family::Mp4,
         {"M4AVBR", "M4AVBRQuality", "M4AABRBitRate", "M4AEnableTNS", "M4AEnableMidside", "M4ABlockType"}},
    };
    return table;
}

// Why each --set given has no effect under the other settings of the run: a manual parameter
// while the family's automatic parameters are on, or of a family other than the output format's,
// a gain while amplifying is off, an MP3 bit rate the sample rate cannot carry (the encoder takes
// another one).
std::vector<std::string> IneffectiveSets(const std::vector<std::string>& sets, const Settings& s) {
    std::vector<std::string> warnings;
    const OutputFormatInfo* format = FindOutputFormat(s.OutputFormat);
    auto same = [](const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; };
    bool mp3PairGiven = false;
    for (const std::string& set : sets) {
        const std::string name = set.substr(0, set.find('='));
        for (const ManualParams& params : ManualParamTable()) {
            for (const char* param : params.names) {
                if (!same(name, param)) continue;
                if (format && format->family != params.family)
                    warnings.push_back(std::string(param) + " has no effect: the output format is " + format->name);
                else if (s.*params.automatic)
                    warnings.push_back(std::string(param) + " has no effect: " + params.autoName +
                                       " is 1 (automatic parameters); set it to 0 for the manual ones");
                else if (params.family == Family::Mp3 && (same(name, "MP3BitRate") || same(name, "MP3SampleRate")))
                    mp3PairGiven = true;
            }
        }
        for (const Family family : {Family::Mp3, Family::Wav, Family::Ogg, Family::Amr, Family::Aac, Family::Mp4,
                                    Family::WindowsMedia}) {
            const FamilyInfo& info = FamilyOf(family);
            if (!info.amplify || !info.amplifyCoeff) continue;
            for (const auto& field : detail::SettingsFields()) {
                if (field.intField != info.amplifyCoeff || !same(name, field.name) || s.*info.amplify) continue;
                for (const auto& flag : detail::SettingsFields())
                    if (flag.intField == info.amplify)
                        warnings.push_back(std::string(field.name) + " has no effect: " + flag.name + " is 0");
            }
        }
    }
    // MPEG-1 layer III (32000 Hz and up) carries 32 to 320 kbps, MPEG-2 and 2.5 (below) 8 to 160.
    if (mp3PairGiven && s.MP3BitRate > 0 && s.MP3SampleRate > 0) {
        const bool low = s.MP3SampleRate < 32000;
        if ((low && s.MP3BitRate > 160) || (!low && s.MP3BitRate < 32))
            warnings.push_back("MP3BitRate " + std::to_string(s.MP3BitRate) + " cannot be used at MP3SampleRate " +
                               std::to_string(s.MP3SampleRate) + " (" + (low ? "8 to 160" : "32 to 320") +
                               " kbps there): the encoder takes the nearest bit rate it can");
    }
    return warnings;
}

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
    // Tag sets given a typed text or number while their family does not write typed tags.
    struct TagFamily {
        const char* set;
        int32_t Settings::*tagType;
        const char* tagTypeName;
    };
    static const TagFamily kTagFamilies[] = {{"MP3Tag", &Settings::MP3ID3TagType, "MP3ID3TagType"},
                                             {"OGGTag", &Settings::OGGID3TagType, "OGGID3TagType"},
                                             {"WMATag", &Settings::WMAID3TagType, "WMAID3TagType"},
                                             {"M4ATag", &Settings::M4AID3TagType, "M4AID3TagType"},
                                             {"FLACTag", &Settings::FLACID3TagType, "FLACID3TagType"},
                                             {"OPUSTag", &Settings::OPUSID3TagType, "OPUSID3TagType"}};
    std::vector<std::string> typedTagSets;
    for (const std::string& set : o.sets) {
        size_t eq = set.find('=');
        if (eq == std::string::npos || eq == 0) return UsageError("'--set " + set + "' is not NAME=VALUE");
        const std::string name = set.substr(0, eq), value = set.substr(eq + 1);
        std::string accepted;
        SetOutcome outcome = SetOutcome::Set;
        if (strcasecmp(name.c_str(), "OutputFormat") == 0) {
            // The output format codes belong to the engine's table.
            char* end = nullptr;
            const long code = std::strtol(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || !FindOutputFormat(static_cast<int>(code))) {
                for (const OutputFormatInfo& format : OutputFormats())
                    if (accepted.find(std::to_string(format.code)) == std::string::npos)
                        accepted += (accepted.empty() ? "" : ", ") + std::to_string(format.code);
                outcome = SetOutcome::Refused;
            } else {
                settings.OutputFormat = static_cast<int32_t>(code);
            }
        } else {
            outcome = SetChecked(settings, name, value, accepted);
        }
        if (outcome == SetOutcome::UnknownName) return UsageError("unknown setting '" + name + "'");
        if (outcome == SetOutcome::Refused)
            return UsageError("setting '" + name + "' does not accept '" + value + "' (accepted: " + accepted + ")");
        const size_t sep = name.find_first_of("/\\");
        if (sep != std::string::npos) typedTagSets.push_back(name.substr(0, sep));
    }
    for (const TagFamily& family : kTagFamilies) {
        bool given = false;
        for (const std::string& set : typedTagSets) given = given || strcasecmp(set.c_str(), family.set) == 0;
        if (given && settings.*family.tagType != 0)
            std::fprintf(stderr,
                         "sonavert-cli: warning: typed tags are not in use: %s is %d; the %s texts are written only "
                         "when it is 0\n",
                         family.tagTypeName, settings.*family.tagType, family.set);
    }
    if (o.verify && o.noVerify) return UsageError("--verify and --no-verify exclude each other");
    if (o.verify) settings.VerifyTargets = 2;
    if (o.noVerify) settings.VerifyTargets = 0;
    if (!o.outputDir.empty()) {
        settings.DestOutputFolderOpt = kDestCustomFolder;
        settings.DestSpecifiedFolder = AbsolutePath(o.outputDir);
    }
    if (o.skip + o.overwrite + o.update > 1) return UsageError("--skip, --overwrite and --update exclude each other");
    {
        // A pattern that cannot be used would silently name every target after its source.
        NamePattern pattern;
        std::string error;
        if (!ParseNamePattern(settings.TargetNamePattern, pattern, error))
            return UsageError("TargetNamePattern '" + settings.TargetNamePattern + "' cannot be used: " + error);
    }
    int shard = 1, shards = 1;
    if (!o.shard.empty()) {
        std::string error;
        if (!ParseShard(o.shard, shard, shards, error)) return UsageError("--shard: " + error);
    }
    for (const std::string& warning : IneffectiveSets(o.sets, settings))
        std::fprintf(stderr, "sonavert-cli: warning: %s\n", warning.c_str());
    if (o.save && !store.SaveSettings(settings, kSaveFolder | kSaveOptions | kSaveExit))
        std::fprintf(stderr, "sonavert-cli: could not save the options to %s\n", store.Path().c_str());
    // What only this run does, never saved: the policy flags, and a folder named with -o is
    // written or the row fails (no retry in the documents folder behind the user's back).
    if (o.skip) settings.TargetExistsOpt = kTargetSkip;
    if (o.overwrite) settings.TargetExistsOpt = kTargetOverwrite;
    if (o.update) settings.TargetExistsOpt = kTargetUpdate;
    if (!o.outputDir.empty()) settings.OutputFiles2MyDocuments = 0;
    if (o.paths.empty()) {
        if (o.save) return kExitConverted;
        return UsageError("no file or folder given");
    }

    CatchInterrupts();

    CodecHost host;
    switch (host.Start(ExecutableFolder())) {
        case CodecHost::StartResult::Ok: break;
        case CodecHost::StartResult::WrongVersion: return kExitSomeFailed;
        case CodecHost::StartResult::InitFailed:
            std::fprintf(stderr, "Failed to initialize the software (0x0002020).\n");
            return kExitSomeFailed;
    }
    host.LoadDefaultSoundFont();

    // Files come in as picked files; folders are searched with the extension filter. A path
    // that cannot be reached or read gets its line here and goes no further.
    std::vector<std::string> candidates;
    std::vector<bool> foundBySearch;  // beside each candidate: found in a folder named here
    std::vector<std::string> roots;   // beside each candidate: that folder, or empty
    TerminalDriver driver(o.yes, settings);
    bool allLoaded = true;
    std::map<std::string, std::string> namedAs;  // a named file's absolute path -> as given
    for (const std::string& path : o.paths) {
        std::string cause;
        struct stat st{};
        if (stat(path.c_str(), &st) != 0) {
            cause = std::strerror(errno);
        } else if (S_ISDIR(st.st_mode)) {
            if (DIR* dir = opendir(path.c_str()))
                closedir(dir);
            else
                cause = std::strerror(errno);
        } else if (!S_ISREG(st.st_mode)) {
            // A FIFO, a device or a socket: opening it could wait forever.
            cause = kNotRegularFileReason;
        } else {
            const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
            if (fd >= 0)
                ::close(fd);
            else
                cause = std::strerror(errno);
        }
        if (!cause.empty()) {
            std::fprintf(stderr, "sonavert-cli: %s: %s\n", path.c_str(), cause.c_str());
            allLoaded = false;
        } else if (S_ISDIR(st.st_mode)) {
            std::vector<AddProblem> unlisted;
            SearchFolder(AbsolutePath(path), settings, candidates, &driver, &unlisted);
            foundBySearch.resize(candidates.size(), true);
            roots.resize(candidates.size(), AbsolutePath(path));
            for (const AddProblem& folder : unlisted) {
                std::fprintf(stderr, "sonavert-cli: %s: %s\n", folder.path.c_str(), folder.cause.c_str());
                allLoaded = false;
            }
        } else {
            candidates.push_back(AbsolutePath(path));
            foundBySearch.push_back(false);
            roots.emplace_back();
            namedAs[candidates.back()] = path;
        }
        if (g_interrupts) return InterruptedExit();
    }
    FileList list;
    SourceFactoryContext sources;
    sources.onlyDecoder = o.decoder;
    sources.windowsMediaAvailable = [&driver] { return EnsureWindowsMedia(driver); };
    FileAdder adder(list, sources);
    // As many files are probed at once as are converted (--jobs, else ParallelJobs), within the
    // adder's bound; --jobs 1 probes on this thread alone.
    adder.SetProbeThreads(
        FileAdder::ProbeThreadsForJobs(BatchJobs(o.jobs.empty() ? settings.ParallelJobs : std::stoi(o.jobs))));
    // One line per file that did not load, instead of the add run's report.
    driver.SetQuietReport(true);
    // Files of a searched folder that are not audio and have no code of their own pass silently.
    AddRunResult added = adder.AddPaths(candidates, driver, foundBySearch, {}, roots);
    driver.SetQuietReport(false);
    for (size_t i = 0; i < added.failedPaths.size(); ++i) {
        const std::string& path = added.failedPaths[i];
        const std::string& cause = added.failedCauses[i];
        std::fprintf(stderr, "sonavert-cli: %s: %s\n", namedAs.count(path) ? namedAs[path].c_str() : path.c_str(),
                     !IsValidUtf8(path) ? "the file name is not valid UTF-8"
                     : cause.empty()    ? "not an audio file"
                                        : cause.c_str());
    }
    if (added.cancelled || g_interrupts) return InterruptedExit();
    allLoaded = allLoaded && added.failedPaths.empty();

    if (o.list) {
        for (int row = 0; row < list.RowCount(); ++row) {
            std::string line = EscapeField(list.Entry(row)->sourcePath);
            for (int column = kColumnFile + 1; column <= kColumnChannels; ++column) line += '\t' + list.CellText(row, column);
            std::printf("%s\n", line.c_str());
        }
        return allLoaded ? kExitConverted : kExitSomeFailed;
    }
    if (list.RowCount() == 0) {
        std::fprintf(stderr, "sonavert-cli: nothing to convert\n");
        return kExitSomeFailed;
    }

    RowSet rows = list.AllRows();
    std::vector<BatchItem> items;
    int inShard = 0;
    for (size_t i = 0; i < rows.entries.size(); ++i) {
        const FileEntry& entry = *rows.entries[i];
        items.push_back({static_cast<int>(i), entry.sourceType, entry.sourcePath, "", entry.rootFolder});
        items.back().seconds = static_cast<double>(entry.duration);
        // Rows of other shards stay in the batch, unconverted: they still name their targets.
        items.back().inRun = ShardOfSource(entry.sourcePath, entry.rootFolder, shards) == shard;
        inShard += items.back().inRun ? 1 : 0;
    }
    if (inShard == 0) return allLoaded ? kExitConverted : kExitSomeFailed;
    driver.SetItems(&items);
    driver.ReportVerified(o.verify);
    driver.SetJson(o.json);
    BatchState state;
    state.onlyDecoder = o.decoder;
    if (!o.jobs.empty()) state.jobs = BatchJobs(std::stoi(o.jobs));
    RunConversionBatch(items, settings.OutputFormat, settings, host, driver, state);
    if (g_interrupts) return InterruptedExit();
    // Every row of the run reported (none ended the batch before its turn) and none failed.
    const bool done = driver.RowsReported() == inShard && driver.RowsFailed() == 0;
    return done && allLoaded ? kExitConverted : kExitSomeFailed;
}

}  // namespace sonavert
