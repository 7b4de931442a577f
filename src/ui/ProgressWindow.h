#pragma once
// The progress window of a conversion run: the overall text and bar (one step per row), the
// per-file text and bar (one step per pixel of the bar's width) and Cancel. The main window's
// batch driver forwards the engine's progress here, turning its fractions into bar positions.
#include <string>

#include <QString>

#include "ui/CaptionlessDialog.h"

class QLabel;
class QProgressBar;
class QPushButton;

namespace sonavert {

class ProgressWindow : public CaptionlessDialog {
    Q_OBJECT
public:
    // The window starts hidden, with empty texts, both bars at 0 and the cancel flag cleared,
    // centred over `parent`. show() it; close() hides it; the owner deletes it.
    explicit ProgressWindow(QWidget* parent = nullptr);

    // Overall part: "Converting 2 of 5 file(s) to MP3...", a bar of `rowCount` steps.
    void SetOverallText(const QString& text);
    void SetOverallText(const std::string& text) { SetOverallText(QString::fromStdString(text)); }
    void SetOverallRange(int rowCount);
    void StepOverall();
    // The overall bar at a share of its rows, 0..1.
    void SetOverallProgress(double fraction);
    QString OverallText() const;
    int OverallPosition() const;
    int OverallMaximum() const;

    // Per-file part: the bar has one step per pixel of its width.
    void SetFileText(const QString& text);
    void SetFileText(const std::string& text) { SetFileText(QString::fromStdString(text)); }
    int FileBarWidth();
    void SetFileBarRange(int maximum);
    void SetFileBarPosition(int position);
    // The per-file bar at a share of the file, 0..1, in steps of its width.
    void SetFileProgress(double fraction);
    void Pump();
    QString FileText() const;
    // The run's work done: the overall bar at that share (instead of the rows started) and a line
    // with the time spent and the time left ("0:42 elapsed, about 1:05 left"; negative: unknown).
    void SetWorkDone(double fraction, double elapsedSeconds, double remainingSeconds);
    QString TimesText() const;
    // Pause and Resume: the button's flag, read by the run between blocks.
    bool PauseRequested() const { return paused_; }
    void SetPaused(bool paused);
    QPushButton* PauseButton() const { return pauseButton_; }
    int FilePosition() const;
    int FileMaximum() const;

private:
    void ShowTimes();

    QLabel* overallText_;
    QProgressBar* overallBar_;
    QLabel* fileText_;
    QProgressBar* fileBar_;
    QLabel* timesText_;
    QPushButton* pauseButton_;
    bool paused_ = false;
    QString times_;  // the last times line, without the paused mark
    bool workShown_ = false;  // the overall bar follows the work done once it was reported
};

// "1:05" or "1:02:05" for a number of seconds.
QString ClockText(double seconds);

}  // namespace sonavert
