#include "ui/Shell.h"

#include <QApplication>
#include <QCoreApplication>
#include <QCursor>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDesktopServices>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QTextStream>
#include <QUrl>

namespace sonavert {

namespace {

constexpr const char* kCaption = "Sonavert";

// A target counts as a local path when it has no URL scheme (or the file scheme).
bool IsLocalTarget(const QString& target, QString& localPath) {
    if (target.startsWith(QLatin1Char('/'))) {
        localPath = target;
        return true;
    }
    const QUrl url(target);
    if (url.isLocalFile()) {
        localPath = url.toLocalFile();
        return true;
    }
    if (url.scheme().isEmpty()) {
        localPath = QDir::current().absoluteFilePath(target);
        return true;
    }
    return false;
}

// Quotes a document for QProcess::splitCommand when it holds blanks or quotes.
QString QuoteForCommand(const QString& text) {
    bool needsQuotes = text.isEmpty();
    for (QChar c : text) {
        if (c.isSpace() || c == QLatin1Char('"')) needsQuotes = true;
    }
    if (!needsQuotes) return text;
    QString quoted = text;
    quoted.replace(QLatin1String("\""), QLatin1String("\"\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

class DesktopUiHost final : public UiHost {};

}  // namespace

MessageAnswer UiHost::ShowMessage(QWidget* owner, const QString& text, MessageIcon icon,
                                  MessageButtons buttons) {
    QMessageBox::Icon boxIcon = QMessageBox::Information;
    switch (icon) {
        case MessageIcon::Information: boxIcon = QMessageBox::Information; break;
        case MessageIcon::Warning: boxIcon = QMessageBox::Warning; break;
        case MessageIcon::Question: boxIcon = QMessageBox::Question; break;
        case MessageIcon::Error: boxIcon = QMessageBox::Critical; break;
    }
    const auto standard = buttons == MessageButtons::YesNo ? (QMessageBox::Yes | QMessageBox::No)
                                                           : QMessageBox::StandardButtons(QMessageBox::Ok);
    QMessageBox box(boxIcon, QString::fromLatin1(kCaption), text, standard, owner);
    const int answer = box.exec();
    if (buttons == MessageButtons::Ok) return MessageAnswer::Ok;
    return answer == QMessageBox::Yes ? MessageAnswer::Yes : MessageAnswer::No;
}

int UiHost::RunModal(QDialog& dialog) { return dialog.exec(); }

QString UiHost::ChooseFolder(QWidget* owner, const QString& title, const QString& startFolder,
                             bool /*rootAtComputer: the desktop's browser always shows the whole tree*/) {
    return QFileDialog::getExistingDirectory(owner, title, startFolder, QFileDialog::ShowDirsOnly);
}

FileDialogOutcome UiHost::ChooseFiles(QWidget* owner, const FileDialogRequest& request,
                                      std::vector<QString>& files) {
    QFileDialog dialog(owner);
    dialog.setAcceptMode(request.open ? QFileDialog::AcceptOpen : QFileDialog::AcceptSave);
    if (request.open)
        dialog.setFileMode(request.multiSelect ? QFileDialog::ExistingFiles : QFileDialog::ExistingFile);
    else
        dialog.setFileMode(QFileDialog::AnyFile);
    if (!request.filter.isEmpty()) {
        const QStringList filters = request.filter.split(QStringLiteral(";;"), Qt::SkipEmptyParts);
        dialog.setNameFilters(filters);
        if (!filters.isEmpty()) dialog.selectNameFilter(filters.front());  // filter index 1
    }
    if (!request.defaultExtension.isEmpty()) dialog.setDefaultSuffix(request.defaultExtension);
    if (!request.initialFile.isEmpty()) {
        // An initial name the dialog cannot start from (a NUL byte, or a folder that does not
        // exist) is refused like an invalid file name.
        const QFileInfo info(request.initialFile);
        if (request.initialFile.contains(QChar(0)) || !info.absoluteDir().exists())
            return FileDialogOutcome::BadFileName;
        dialog.setDirectory(info.absolutePath());
        if (!info.isDir()) dialog.selectFile(info.fileName());
    }
    if (dialog.exec() != QDialog::Accepted) return FileDialogOutcome::Cancelled;
    for (const QString& f : dialog.selectedFiles()) files.push_back(f);
    return files.empty() ? FileDialogOutcome::Cancelled : FileDialogOutcome::Accepted;
}

int UiHost::OpenDocument(const QString& target, int showMode) { return ShellOpen(target, showMode); }

void UiHost::Beep() { QApplication::beep(); }

UiHost& SystemUiHost() {
    static DesktopUiHost host;
    return host;
}

MessageAnswer ShowMessage(UiHost* host, QWidget* owner, const QString& text, MessageIcon icon,
                          MessageButtons buttons) {
    return (host ? *host : SystemUiHost()).ShowMessage(owner, text, icon, buttons);
}

void PumpMessages() {
    // Without WaitForMoreEvents this only handles what is already queued.
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

QString CutCommandForDocument(const QString& exec, const QString& document) {
    static const char* const kCodes[] = {"%u", "%U", "%f", "%F"};
    qsizetype cut = -1;
    for (const char* code : kCodes) {
        const qsizetype at = exec.indexOf(QLatin1Char('"') + QLatin1String(code) + QLatin1Char('"'));
        if (at >= 0 && (cut < 0 || at < cut)) cut = at;
    }
    if (cut < 0) {
        for (const char* code : kCodes) {
            const qsizetype at = exec.indexOf(QLatin1String(code));
            if (at >= 0 && (cut < 0 || at < cut)) cut = at;
        }
    }
    const QString head = cut >= 0 ? exec.left(cut) : exec;
    return head + QLatin1Char(' ') + QuoteForCommand(document);
}

QString DesktopEntryExec(const QString& desktopFileName) {
    if (desktopFileName.isEmpty() || desktopFileName.contains(QLatin1Char('/'))) return {};
    const QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    QStringList folders;
    QString dataHome = env.value(QStringLiteral("XDG_DATA_HOME"));
    if (dataHome.isEmpty()) dataHome = QDir::homePath() + QStringLiteral("/.local/share");
    folders << dataHome;
    QString dataDirs = env.value(QStringLiteral("XDG_DATA_DIRS"));
    if (dataDirs.isEmpty()) dataDirs = QStringLiteral("/usr/local/share:/usr/share");
    folders << dataDirs.split(QLatin1Char(':'), Qt::SkipEmptyParts);
    for (const QString& folder : folders) {
        QFile file(folder + QStringLiteral("/applications/") + desktopFileName);
        if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) continue;
        QTextStream in(&file);
        bool inEntry = false;
        while (!in.atEnd()) {
            const QString line = in.readLine().trimmed();
            if (line.startsWith(QLatin1Char('['))) {
                inEntry = line == QStringLiteral("[Desktop Entry]");
            } else if (inEntry && line.startsWith(QStringLiteral("Exec"))) {
                const qsizetype eq = line.indexOf(QLatin1Char('='));
                if (eq >= 0 && line.left(eq).trimmed() == QStringLiteral("Exec"))
                    return line.mid(eq + 1).trimmed();
            }
        }
    }
    return {};
}

QString BrowserCommandLine(const QString& document) {
    QProcess query;
    query.start(QStringLiteral("xdg-settings"), {QStringLiteral("get"), QStringLiteral("default-web-browser")});
    if (!query.waitForFinished(5000) || query.exitStatus() != QProcess::NormalExit || query.exitCode() != 0) {
        query.kill();
        return {};
    }
    const QString desktopFile = QString::fromUtf8(query.readAllStandardOutput()).trimmed();
    const QString exec = DesktopEntryExec(desktopFile);
    if (exec.isEmpty()) return {};
    return CutCommandForDocument(exec, document);
}

int ShellOpen(const QString& target, int /*showMode: window placement is the desktop's choice*/) {
    QString localPath;
    QUrl url;
    if (IsLocalTarget(target, localPath)) {
        const QFileInfo info(localPath);
        if (!info.exists()) return info.absoluteDir().exists() ? kShellFileNotFound : kShellPathNotFound;
        if (!info.isReadable()) return kShellAccessDenied;
        url = QUrl::fromLocalFile(info.absoluteFilePath());
    } else {
        url = QUrl(target);
    }
    if (QDesktopServices::openUrl(url)) return kShellOk;

    // The desktop has no handler: hand the target to the default web browser.
    const QString command = BrowserCommandLine(url.isLocalFile() ? url.toLocalFile() : url.toString());
    if (command.isEmpty()) return kShellNoAssociation;
    QStringList args = QProcess::splitCommand(command);
    if (args.isEmpty()) return kShellNoAssociation;
    const QString program = args.takeFirst();
    return QProcess::startDetached(program, args) ? kShellOk : kShellFileNotFound;
}

bool ShowInExplorer(const QString& path, UiHost* host) {
    const QFileInfo info(path);
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected()) {
        QDBusMessage call = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("/org/freedesktop/FileManager1"),
            QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
        call << QStringList{QUrl::fromLocalFile(info.absoluteFilePath()).toString()} << QString();
        const QDBusMessage reply = bus.call(call, QDBus::Block, 5000);
        if (reply.type() == QDBusMessage::ReplyMessage) return true;
    }
    const QString folder = info.absolutePath();
    return (host ? *host : SystemUiHost()).OpenDocument(folder, kShowNormal) > 32;
}

bool BrowseForFolder(QWidget* owner, const QString& title, std::string& startFolder,
                     bool rootAtComputer, std::string& result, std::size_t capacity, UiHost* host) {
    while (startFolder.size() > 1 && startFolder.back() == '/') startFolder.pop_back();
    const QString chosen = (host ? *host : SystemUiHost())
                               .ChooseFolder(owner, title, QString::fromStdString(startFolder), rootAtComputer);
    if (chosen.isEmpty()) return false;
    std::string path = chosen.toStdString();
    if (path.back() != '/') path += '/';
    if (path.size() >= capacity) return false;
    result = path;
    return true;
}

bool FileDialog(QWidget* owner, const FileDialogRequest& request, std::string* fileBuffer,
                std::size_t bufferSize, std::vector<std::string>& files, UiHost* host) {
    if (!fileBuffer) return false;
    UiHost& ui = host ? *host : SystemUiHost();
    FileDialogRequest run = request;
    run.initialFile = QString::fromStdString(*fileBuffer);
    std::vector<QString> chosen;
    FileDialogOutcome outcome = ui.ChooseFiles(owner, run, chosen);
    if (outcome == FileDialogOutcome::BadFileName && !fileBuffer->empty()) {
        fileBuffer->clear();
        run.initialFile.clear();
        chosen.clear();
        outcome = ui.ChooseFiles(owner, run, chosen);
    }
    if (outcome != FileDialogOutcome::Accepted || chosen.empty()) return false;
    const std::string first = chosen.front().toStdString();
    if (first.size() >= bufferSize) return false;  // the selection does not fit the buffer
    *fileBuffer = first;
    files.clear();
    for (const QString& f : chosen) files.push_back(f.toStdString());
    return true;
}

WaitCursor::WaitCursor() { QApplication::setOverrideCursor(QCursor(Qt::WaitCursor)); }
WaitCursor::~WaitCursor() { QApplication::restoreOverrideCursor(); }

}  // namespace sonavert
