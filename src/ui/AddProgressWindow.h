#pragma once
// The progress window of an add run (Add Files, Add Folder, a drop): one text, one bar, Cancel.
// It is the run's AddDriver: Started shows it, Finished closes it, and the failure report at the
// end goes through the message helper, owned by the window's parent.
#include <string>

#include <QString>

#include "filelist/AddDriver.h"
#include "ui/CaptionlessDialog.h"
#include "ui/Shell.h"

class QLabel;
class QProgressBar;

namespace sonavert {

class AddProgressWindow : public CaptionlessDialog, public AddDriver {
    Q_OBJECT
public:
    // Starts hidden and centred over `parent`, with an empty text, the bar at 0 and the cancel
    // flag cleared. `host` answers the message boxes (null: the desktop).
    explicit AddProgressWindow(QWidget* parent = nullptr, UiHost* host = nullptr);

    // AddDriver. Started shows a hidden window afresh (text empty, bar at 0, flag cleared) and
    // leaves a shown one as it is.
    void Started() override;
    void SetText(const std::string& text) override;
    void SetBarRange(int maximum) override;
    void StepBar() override;
    void Pump() override;
    bool CancelRequested() override { return CaptionlessDialog::CancelRequested(); }
    void Finished() override;
    // A message box captioned "Sonavert" with the icon.
    void ShowMessage(MessageIcon icon, const std::string& text) override;

    QString Text() const;
    int BarPosition() const;
    int BarMaximum() const;

private:
    UiHost* host_;
    QLabel* text_;
    QProgressBar* bar_;
};

}  // namespace sonavert
