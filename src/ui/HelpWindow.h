#pragma once
// The program's own help window, captioned "Sonavert Help": the HTML manual in a text browser
// with Back, Forward and Home. Links inside the manual navigate in the window; web and mail
// links (and local files that are not pages) go to the desktop through the shell. When the
// manual cannot be found the window says so instead of staying empty.
#include <QMainWindow>
#include <QString>
#include <QUrl>

#include "ui/Shell.h"

class QAction;
class QTextBrowser;

namespace sonavert {

inline constexpr const char* kHelpWindowCaption = "Sonavert Help";

class HelpWindow : public QMainWindow {
    Q_OBJECT
public:
    // Shows the manual at `manualPath`, or the page about the missing manual when that is empty
    // or no readable file. `host` opens the external links (null: the desktop). The window
    // deletes itself when closed.
    explicit HelpWindow(const QString& manualPath, UiHost* host = nullptr, QWidget* parent = nullptr);

    // True when the manual was loaded; false while the missing-manual page is shown.
    bool ManualLoaded() const { return manualLoaded_; }
    QTextBrowser* Browser() const { return browser_; }
    QAction* BackAction() const { return back_; }
    QAction* ForwardAction() const { return forward_; }
    QAction* HomeAction() const { return home_; }

    // Follows a link as a click on it does.
    void OpenLink(const QUrl& link);

private:
    void ShowMissingPage(const QString& manualPath);

    UiHost* host_;
    QTextBrowser* browser_;
    QAction* back_;
    QAction* forward_;
    QAction* home_;
    bool manualLoaded_ = false;
};

// The manual's path for an executable in `executableFolder` (with or without a trailing '/'):
// "sonavert.html" beside the executable, else in ../share/sonavert/ from there. Empty when
// neither exists.
QString FindHelpFile(const QString& executableFolder);

// The open help window, or null.
HelpWindow* FindHelpWindow();

// Raises and activates the open help window (restoring it when minimised), or opens one on the
// manual found beside the running executable, maximised when asked (the first start) and
// otherwise at a comfortable size in the middle of the screen. Returns the window.
HelpWindow* ShowHelp(bool maximised);
// The same with the manual given; used by tests and by callers that know where it is.
HelpWindow* ShowHelp(bool maximised, const QString& manualPath, UiHost* host = nullptr);

// Closes the open help window, if any (when the main window goes away).
void CloseHelp();

}  // namespace sonavert
