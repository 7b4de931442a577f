#pragma once
// What the engine tells whoever drives it (the main window, the command line, a test) and what it
// asks back, in three small interfaces: the progress of a run, the outcome of each row, and the
// questions and shell requests of a batch. All calls come from the converting thread.
#include <string>

namespace sonavert {

// Progress of a run and of the file being converted.
class ProgressSink {
public:
    virtual ~ProgressSink() = default;
    // A run over `rows` rows starts (the driver shows its progress) and ends.
    virtual void BeginRun(int rows) = 0;
    virtual void EndRun() = 0;
    // "Converting 2 of 5 file(s) to MP3..." and the share of the run's rows started, 0..1.
    virtual void SetOverallText(const std::string& text) = 0;
    virtual void SetOverallProgress(double fraction) = 0;
    // "Converting song.flac...42%" and the share of the file done, 0..1.
    virtual void SetFileText(const std::string& text) = 0;
    virtual void SetFileProgress(double fraction) = 0;
    // Lets the driver process pending events (repaint, Cancel); never waits.
    virtual void Pump() = 0;
    // True once the user asked to stop; read after every Pump.
    virtual bool CancelRequested() = 0;

    // The run's work done: the decoded share of the rows' total duration, 0..1, the seconds the
    // run has worked (paused time left out) and the estimated seconds left, negative while the
    // share is too small to tell. Sent by the batch as the rows advance and once more at the end.
    virtual void SetWorkDone(double /*fraction*/, double /*elapsedSeconds*/, double /*remainingSeconds*/) {}
    // A running row's own share done, 0..1, by the caller's row index; negative once the row no
    // longer runs. With several jobs every running row reports its own.
    virtual void SetRowProgress(int /*row*/, double /*fraction*/) {}
    // True while the user holds the run: the rows wait between two blocks (Cancel still
    // answers) until it turns false again.
    virtual bool PauseRequested() { return false; }
};

// How a row of a batch ended.
struct RowOutcome {
    enum class Kind {
        Converted,  // targetPath holds the file written
        Failed,     // reason says why (may be empty for a conversion failure)
        Cancelled,  // the row being converted when the user cancelled
        Skipped,    // the target exists and the settings say to skip it; reason says so
        Incomplete, // targetPath holds the file written, but the source ended early; reason says
                    // where ("the source ended at 0:03 of 10:00")
        UpToDate,   // targetPath holds the existing target, no older than its source (update policy)
    };
    Kind kind = Kind::Failed;
    std::string targetPath;
    std::string reason;
    // Failed inside the conversion itself (decoder, encoder, disk), rather than before it.
    bool inConversion = false;
    // Something the user should know about a row that did convert (its tags could not be read).
    std::string warning = {};
    // The target was decoded back and matched what its encoder received (VerifyTargets).
    bool verified = false;
    // The loudness of the samples handed to the encoder, when the analysis or the normalisation
    // measured them: the integrated loudness (LUFS, -inf for a silent file), the true peak
    // (dBTP) and both as a text ("-23.0 LUFS, true peak -20.0 dBTP, track gain +5.0 dB").
    bool loudnessMeasured = false;
    double loudnessLufs = 0;
    double truePeakDbtp = 0;
    std::string loudnessText = {};
};

// Status texts of the list's Status column.
inline constexpr const char* kConvertingStatus = "Converting...";
inline constexpr const char* kConversionFailureStatus = "Conversion Failure";
inline constexpr const char* kCancelledStatus = "Cancelled";
// The status tool tip of a verified row.
inline constexpr const char* kVerifiedNote = "Verified: the target was decoded back and matches what was encoded";

// The Status text of an outcome: the target's file name (followed by " (incomplete: REASON)" for
// an incomplete one), "Conversion Failure" with the reason in
// parentheses when there is one, the reason alone for a row that never reached its conversion,
// "Target is up to date", or "Cancelled".
std::string StatusText(const RowOutcome& outcome);

// Rows of a batch, by the caller's row index.
class RowSink {
public:
    virtual ~RowSink() = default;
    // The row's conversion starts.
    virtual void RowStarted(int row) = 0;
    virtual void RowFinished(int row, const RowOutcome& outcome) = 0;
    // Something learnt of a finished row once its whole album was done (its album gain, or why
    // that could not be written); `failed` tells a failure.
    virtual void RowNote(int /*row*/, const std::string& /*note*/, bool /*failed*/) {}
};

// Questions and shell requests of a batch.
class UserQuestions {
public:
    virtual ~UserQuestions() = default;
    // A Yes/No question; true for Yes.
    virtual bool AskYesNo(const std::string& question) = 0;
    // Opens a web address in the default browser, or a folder in the file manager.
    virtual void OpenAddress(const std::string& addressOrFolder) = 0;
    // Shows a file selected in the file manager.
    virtual void ShowFile(const std::string& path) = 0;
    // The wait cursor on and off; every `true` is followed by one `false`.
    virtual void SetWaitCursor(bool on) = 0;
};

// Everything a batch talks to.
class BatchDriver : public ProgressSink, public RowSink, public UserQuestions {};

}  // namespace sonavert
