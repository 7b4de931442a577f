#pragma once
// Desktop shell helpers used by the engine's GUI side, the file list and the dialogs: the event
// pump, opening documents and addresses, showing a file in the file manager, the folder browser,
// the file dialog, message boxes and the wait cursor.
//
// Everything that would show a modal window goes through a UiHost, so that tests can answer the
// dialogs without running a real modal loop. SystemUiHost() is the real desktop.
#include <cstddef>
#include "base/MessageIcon.h"
#include <string>
#include <vector>

#include <QString>

class QDialog;
class QWidget;

namespace sonavert {

// Shell result codes: above 32 means success; 0..32 are the failure codes of the hyperlink
// message table.
inline constexpr int kShellOk = 42;
inline constexpr int kShellOutOfResources = 0;
inline constexpr int kShellFileNotFound = 2;
inline constexpr int kShellPathNotFound = 3;
inline constexpr int kShellAccessDenied = 5;
inline constexpr int kShellNoAssociation = 31;

// How a started program's window is shown (kept for the callers; the desktop decides).
inline constexpr int kShowNormal = 1;
inline constexpr int kShow = 5;

// Buttons of a message box and the answer: Ok for an OK-only box, Yes or No for a question.
enum class MessageButtons { Ok, YesNo };
enum class MessageAnswer { Ok, Yes, No };

// One file dialog run.
struct FileDialogRequest {
    QString filter;            // Qt form: "Audio files (*.mp3 *.wav);;All files (*)"
    bool open = true;          // open or save dialog
    bool multiSelect = false;  // open dialog only
    QString initialFile;       // the file buffer's text when the dialog starts
    QString defaultExtension;  // appended by the save dialog to a name without one ("mp3")
};
enum class FileDialogOutcome { Accepted, Cancelled, BadFileName };

class UiHost {
public:
    virtual ~UiHost() = default;
    // Shows a message box; the caption is always "Sonavert".
    virtual MessageAnswer ShowMessage(QWidget* owner, const QString& text, MessageIcon icon,
                                      MessageButtons buttons);
    // Runs a dialog modally and returns its result (QDialog::Accepted or Rejected).
    virtual int RunModal(QDialog& dialog);
    // The folder browser itself: returns the chosen folder or an empty text when cancelled.
    virtual QString ChooseFolder(QWidget* owner, const QString& title, const QString& startFolder,
                                 bool rootAtComputer);
    // The file dialog itself; fills `files` on acceptance.
    virtual FileDialogOutcome ChooseFiles(QWidget* owner, const FileDialogRequest& request,
                                          std::vector<QString>& files);
    // Opens a document, folder or address; see ShellOpen.
    virtual int OpenDocument(const QString& target, int showMode);
    virtual void Beep();
};

// The real desktop.
UiHost& SystemUiHost();

// The message-box helper: caption "Sonavert", the given icon. `host` may be null (the desktop).
MessageAnswer ShowMessage(UiHost* host, QWidget* owner, const QString& text, MessageIcon icon,
                          MessageButtons buttons = MessageButtons::Ok);

// Dispatches every pending event of the user-interface thread and returns when none is left;
// never waits for new events.
void PumpMessages();

// Opens a document, folder or address with the desktop's handler. When that fails and the
// target is not a missing local file, starts the default web browser with it (see
// BrowserCommandLine). Returns kShellOk on success, otherwise a failure code (kShellFileNotFound
// or kShellPathNotFound for a missing local file, kShellAccessDenied for an unreadable one,
// kShellNoAssociation when no handler and no browser could be found, kShellFileNotFound when
// the browser program could not be started).
int ShellOpen(const QString& target, int showMode = kShow);

// Cuts a desktop-file Exec line for a document: before the first field code %u, %U, %f or %F
// that stands in double quotes (before its opening quote), or else before the first unquoted
// one; then appends a blank and the document. A line without such a code is kept whole.
QString CutCommandForDocument(const QString& exec, const QString& document);

// The Exec line of a desktop entry found by its file name ("firefox.desktop") in the XDG
// application folders ($XDG_DATA_HOME/applications, then each of $XDG_DATA_DIRS); empty when
// none is found.
QString DesktopEntryExec(const QString& desktopFileName);

// The command line that starts the default web browser (as reported by
// `xdg-settings get default-web-browser`) on the document; empty when there is none.
QString BrowserCommandLine(const QString& document);

// Shows the file selected in the file manager (org.freedesktop.FileManager1.ShowItems over the
// session bus); when no file manager answers, opens the folder that holds it. Returns true when
// either worked.
bool ShowInExplorer(const QString& path, UiHost* host = nullptr);

// Runs the folder browser with the title, the start folder pre-selected (a trailing '/' is
// removed from `startFolder` in place, except for the root "/"). On acceptance the chosen path
// gets a trailing '/' and is copied into `result` when its length in bytes is below `capacity`;
// returns true then. Cancelling, an empty choice and a path that does not fit return false and
// leave `result` unchanged.
bool BrowseForFolder(QWidget* owner, const QString& title, std::string& startFolder,
                     bool rootAtComputer, std::string& result, std::size_t capacity = 4096,
                     UiHost* host = nullptr);

// Runs the open or save dialog with the first filter selected. A missing file buffer fails at
// once. When the dialog refuses the initial file name and the buffer is not empty, the buffer is
// emptied and the dialog runs once more. On acceptance `files` gets the chosen paths and the
// buffer the first of them (cut to `bufferSize` - 1 bytes); returns true.
bool FileDialog(QWidget* owner, const FileDialogRequest& request, std::string* fileBuffer,
                std::size_t bufferSize, std::vector<std::string>& files, UiHost* host = nullptr);

// The wait cursor for the lifetime of the object.
class WaitCursor {
public:
    WaitCursor();
    ~WaitCursor();
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;
};

}  // namespace sonavert
