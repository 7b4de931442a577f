#pragma once
// The progress window of a conversion run: the overall text and bar (one step per row), the
// per-file text and bar (driven by the conversion in pixels of the bar's width) and Cancel.
// It is the ConversionDriver of the file being converted; the batch driver of the main window
// forwards its overall calls here as well.
#include <string>

#include <QString>

#include "engine/ConversionDriver.h"
#include "ui/CaptionlessDialog.h"

class QLabel;
class QProgressBar;

namespace sonavert {

class ProgressWindow : public CaptionlessDialog, public ConversionDriver {
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
    QString OverallText() const;
    int OverallPosition() const;
    int OverallMaximum() const;

    // Per-file part (ConversionDriver).
    void SetFileText(const QString& text);
    void SetFileText(const std::string& text) override { SetFileText(QString::fromStdString(text)); }
    int FileBarWidth() override;
    void SetFileBarRange(int maximum) override;
    void SetFileBarPosition(int position) override;
    void Pump() override;
    bool CancelRequested() override { return CaptionlessDialog::CancelRequested(); }
    QString FileText() const;
    int FilePosition() const;
    int FileMaximum() const;

private:
    QLabel* overallText_;
    QProgressBar* overallBar_;
    QLabel* fileText_;
    QProgressBar* fileBar_;
};

}  // namespace sonavert
