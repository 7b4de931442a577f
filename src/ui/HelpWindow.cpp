#include "ui/HelpWindow.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QIcon>
#include <QKeySequence>
#include <QScreen>
#include <QStyle>
#include <QTextBrowser>
#include <QToolBar>

#include "base/PathHelpers.h"
#include "base/ProductInfo.h"
#include "settings/SettingsStore.h"

namespace sonavert {

namespace {

bool IsPage(const QString& localPath) {
    const QString suffix = QFileInfo(localPath).suffix().toLower();
    return suffix == QLatin1String("html") || suffix == QLatin1String("htm");
}

}  // namespace

HelpWindow::HelpWindow(const QString& manualPath, UiHost* host, QWidget* parent)
    : QMainWindow(parent), host_(host), browser_(new QTextBrowser(this)) {
    setObjectName(QStringLiteral("HelpWindow"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QString::fromLatin1(kHelpWindowCaption));

    browser_->setObjectName(QStringLiteral("helpBrowser"));
    browser_->document()->setDocumentMargin(12);
    // Every link comes to OpenLink, which decides between navigating and the shell.
    browser_->setOpenLinks(false);
    browser_->setOpenExternalLinks(false);
    connect(browser_, &QTextBrowser::anchorClicked, this, &HelpWindow::OpenLink);
    setCentralWidget(browser_);

    QToolBar* bar = addToolBar(tr("Navigation"));
    bar->setObjectName(QStringLiteral("helpToolBar"));
    bar->setMovable(false);
    bar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    back_ = bar->addAction(style()->standardIcon(QStyle::SP_ArrowBack), tr("Back"), browser_,
                           &QTextBrowser::backward);
    forward_ = bar->addAction(style()->standardIcon(QStyle::SP_ArrowForward), tr("Forward"), browser_,
                              &QTextBrowser::forward);
    // The style has no "home page" icon of its own (only a home folder): the theme's, or text.
    home_ = bar->addAction(QIcon::fromTheme(QStringLiteral("go-home")), tr("Home"), browser_, &QTextBrowser::home);
    back_->setShortcut(QKeySequence::Back);
    forward_->setShortcut(QKeySequence::Forward);
    back_->setEnabled(false);
    forward_->setEnabled(false);
    connect(browser_, &QTextBrowser::backwardAvailable, back_, &QAction::setEnabled);
    connect(browser_, &QTextBrowser::forwardAvailable, forward_, &QAction::setEnabled);

    const QFileInfo manual(manualPath);
    if (!manualPath.isEmpty() && manual.isFile() && manual.isReadable()) {
        browser_->setSource(QUrl::fromLocalFile(manual.absoluteFilePath()));
        manualLoaded_ = !browser_->document()->isEmpty();
    }
    if (!manualLoaded_) ShowMissingPage(manualPath);
}

void HelpWindow::ShowMissingPage(const QString& manualPath) {
    const QString where = manualPath.isEmpty()
                              ? tr("beside the program or in its share/sonavert folder.")
                              : tr("at<br><code>%1</code>").arg(manualPath.toHtmlEscaped());
    browser_->setHtml(tr("<h2>Sonavert Help</h2>"
                         "<p>The manual (<b>%1</b>) could not be found %2</p>"
                         "<p>Please reinstall Sonavert, or read the manual on the "
                         "<a href=\"%3\">Sonavert homepage</a>.</p>")
                          .arg(QString::fromLatin1(kHelpFileName), where, QString::fromLatin1(kHomepageUrl)));
    home_->setEnabled(false);
}

void HelpWindow::OpenLink(const QUrl& link) {
    const QUrl target = browser_->source().isEmpty() ? link : browser_->source().resolved(link);
    if (target.isLocalFile()) {
        const QString path = target.toLocalFile();
        if (IsPage(path) && QFileInfo(path).isFile()) {
            browser_->setSource(target);
            return;
        }
        (host_ ? *host_ : SystemUiHost()).OpenDocument(path, kShowNormal);
        return;
    }
    // Web and mail addresses; failures are silent, as for every shell command of the program.
    (host_ ? *host_ : SystemUiHost()).OpenDocument(target.toString(), kShowNormal);
}

QString FindHelpFile(const QString& executableFolder) {
    const QDir folder(executableFolder);
    const QString name = QString::fromLatin1(kHelpFileName);
    const QString candidates[] = {folder.filePath(name),
                                  folder.filePath(QStringLiteral("../share/sonavert/") + name)};
    for (const QString& candidate : candidates) {
        const QFileInfo info(candidate);
        if (info.isFile()) return QDir::cleanPath(info.absoluteFilePath());
    }
    return QString();
}

HelpWindow* FindHelpWindow() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        auto* help = qobject_cast<HelpWindow*>(widget);
        // A closed window is hidden until its deletion; it does not count.
        if (help && help->isVisible() && help->windowTitle() == QLatin1String(kHelpWindowCaption)) return help;
    }
    return nullptr;
}

HelpWindow* ShowHelp(bool maximised) {
    const std::string folder = ExecutableFolder();
    return ShowHelp(maximised, folder.empty() ? QString() : FindHelpFile(QString::fromStdString(folder)));
}

HelpWindow* ShowHelp(bool maximised, const QString& manualPath, UiHost* host) {
    if (HelpWindow* open = FindHelpWindow()) {
        if (open->isMinimized()) open->setWindowState(open->windowState() & ~Qt::WindowMinimized);
        open->show();
        open->raise();
        open->activateWindow();
        return open;
    }
    WaitCursor wait;
    auto* help = new HelpWindow(manualPath, host);
    QRect area(0, 0, 1024, 768);
    if (QScreen* screen = QGuiApplication::primaryScreen()) area = screen->availableGeometry();
    if (maximised) {
        // Cover the screen first: without a window manager a maximise request changes nothing.
        help->setGeometry(area);
        help->showMaximized();
    } else {
        QRect frame(0, 0, std::min(900, area.width()), std::min(700, area.height()));
        frame.moveCenter(area.center());
        help->setGeometry(frame);
        help->show();
    }
    help->activateWindow();
    return help;
}

void CloseHelp() {
    if (HelpWindow* open = FindHelpWindow()) open->close();
}

}  // namespace sonavert
