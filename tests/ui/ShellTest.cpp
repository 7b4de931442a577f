#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEnterEvent>
#include <QProcess>
#include <QTimer>

#include <cstdlib>
#include <fstream>

#include "support/TestUtil.h"
#include "ui/FakeUiHost.h"
#include "ui/Hyperlink.h"
#include "ui/Shell.h"

namespace sonavert {
namespace {

using test::FakeUiHost;
using testutil::TempDir;

TEST(ShellTest, BrowserCommandIsCutAtTheFirstFieldCode) {
    // A quoted code: cut before its opening quote, then a blank and the bare address.
    EXPECT_EQ(CutCommandForDocument(QStringLiteral("\"/opt/web browser/run\" --new-window \"%u\""),
                                    QStringLiteral("https://example.org/a")),
              QStringLiteral("\"/opt/web browser/run\" --new-window  https://example.org/a"));
    // An unquoted code, with more codes after it.
    EXPECT_EQ(CutCommandForDocument(QStringLiteral("/usr/bin/browser %U --class %f"), QStringLiteral("https://x.y/")),
              QStringLiteral("/usr/bin/browser  https://x.y/"));
    // A quoted code later than an unquoted one still wins.
    EXPECT_EQ(CutCommandForDocument(QStringLiteral("b %F \"%u\""), QStringLiteral("u")), QStringLiteral("b %F  u"));
    // No code: the whole line, a blank and the address.
    EXPECT_EQ(CutCommandForDocument(QStringLiteral("/usr/bin/browser --private"), QStringLiteral("https://x.y/")),
              QStringLiteral("/usr/bin/browser --private https://x.y/"));
    // A document with blanks stays one argument.
    const QString line = CutCommandForDocument(QStringLiteral("viewer %f"), QStringLiteral("/tmp/my page.html"));
    EXPECT_EQ(QProcess::splitCommand(line), (QStringList{"viewer", "/tmp/my page.html"}));
}

TEST(ShellTest, DesktopEntryExecIsReadFromTheDataFolders) {
    TempDir dir;
    std::filesystem::create_directories(dir.path() / "home/applications");
    std::filesystem::create_directories(dir.path() / "sys/applications");
    std::ofstream(dir.file("home/applications/web.desktop"))
        << "[Desktop Action new]\nExec=/wrong %u\n[Desktop Entry]\nName=Web\nExec = \"/usr/lib/web/web\" \"%u\"\n";
    std::ofstream(dir.file("sys/applications/other.desktop")) << "[Desktop Entry]\nExec=other %U\n";
    const char* oldHome = getenv("XDG_DATA_HOME");
    const char* oldDirs = getenv("XDG_DATA_DIRS");
    const std::string savedHome = oldHome ? oldHome : "", savedDirs = oldDirs ? oldDirs : "";
    setenv("XDG_DATA_HOME", dir.file("home").c_str(), 1);
    setenv("XDG_DATA_DIRS", dir.file("sys").c_str(), 1);
    const QString web = DesktopEntryExec(QStringLiteral("web.desktop"));
    const QString other = DesktopEntryExec(QStringLiteral("other.desktop"));
    const QString missing = DesktopEntryExec(QStringLiteral("none.desktop"));
    oldHome ? setenv("XDG_DATA_HOME", savedHome.c_str(), 1) : unsetenv("XDG_DATA_HOME");
    oldDirs ? setenv("XDG_DATA_DIRS", savedDirs.c_str(), 1) : unsetenv("XDG_DATA_DIRS");
    EXPECT_EQ(web, QStringLiteral("\"/usr/lib/web/web\" \"%u\""));
    EXPECT_EQ(CutCommandForDocument(web, QStringLiteral("https://a.b/")), QStringLiteral("\"/usr/lib/web/web\"  https://a.b/"));
    EXPECT_EQ(other, QStringLiteral("other %U"));
    EXPECT_TRUE(missing.isEmpty());
}

TEST(ShellTest, ShellOpenNamesMissingLocalTargets) {
    TempDir dir;
    EXPECT_EQ(ShellOpen(QString::fromStdString(dir.file("absent.txt"))), kShellFileNotFound);
    EXPECT_EQ(ShellOpen(QString::fromStdString(dir.file("no/such/folder/a.txt"))), kShellPathNotFound);
    EXPECT_EQ(ShellOpen(QString::fromStdString("file://" + dir.file("absent.txt"))), kShellFileNotFound);
}

TEST(ShellTest, PumpMessagesDispatchesPendingWorkAndNeverWaits) {
    int ran = 0;
    QTimer::singleShot(0, [&] { ++ran; });
    QTimer::singleShot(60000, [&] { ran += 100; });  // far in the future: must not be waited for
    QElapsedTimer clock;
    clock.start();
    PumpMessages();
    PumpMessages();  // an empty queue returns at once
    EXPECT_EQ(ran, 1);
    EXPECT_LT(clock.elapsed(), 30000);
}

TEST(ShellTest, BrowseForFolderEndsInSlashAndRespectsCapacity) {
    FakeUiHost host;
    std::string start = "/home/user/music/";
    std::string result = "unchanged";
    host.folderAnswer = QStringLiteral("/data/out");
    ASSERT_TRUE(BrowseForFolder(nullptr, "t", start, false, result, 4096, &host));
    EXPECT_EQ(result, "/data/out/");
    EXPECT_EQ(start, "/home/user/music");  // trailing slash removed in place
    EXPECT_EQ(host.folderStart, QStringLiteral("/home/user/music"));

    host.folderAnswer = QStringLiteral("/");
    ASSERT_TRUE(BrowseForFolder(nullptr, "t", start, false, result, 4096, &host));
    EXPECT_EQ(result, "/");

    // "/data/out/" is 10 bytes: it needs a capacity of 11 (room for the terminator).
    result = "unchanged";
    host.folderAnswer = QStringLiteral("/data/out");
    EXPECT_FALSE(BrowseForFolder(nullptr, "t", start, false, result, 10, &host));
    EXPECT_EQ(result, "unchanged");
    EXPECT_TRUE(BrowseForFolder(nullptr, "t", start, false, result, 11, &host));

    host.folderAnswer.clear();  // cancelled
    result = "unchanged";
    EXPECT_FALSE(BrowseForFolder(nullptr, "t", start, false, result, 4096, &host));
    EXPECT_EQ(result, "unchanged");
}

TEST(ShellTest, FileDialogRetriesOnceWithAnEmptyBuffer) {
    FakeUiHost host;
    std::vector<std::string> files;
    FileDialogRequest request;
    EXPECT_FALSE(FileDialog(nullptr, request, nullptr, 260, files, &host));  // no buffer
    EXPECT_TRUE(host.fileInitials.empty());

    std::string buffer = "/no/such/dir/x.mp3";
    host.fileOutcomes = {FileDialogOutcome::BadFileName, FileDialogOutcome::Accepted};
    host.fileAnswer = {QStringLiteral("/m/a.mp3"), QStringLiteral("/m/b.wav")};
    ASSERT_TRUE(FileDialog(nullptr, request, &buffer, 260, files, &host));
    EXPECT_EQ(host.fileInitials, (std::vector<QString>{"/no/such/dir/x.mp3", ""}));
    EXPECT_EQ(files, (std::vector<std::string>{"/m/a.mp3", "/m/b.wav"}));
    EXPECT_EQ(buffer, "/m/a.mp3");

    // An empty buffer is not retried.
    FakeUiHost once;
    std::string empty;
    once.fileOutcomes = {FileDialogOutcome::BadFileName, FileDialogOutcome::Accepted};
    EXPECT_FALSE(FileDialog(nullptr, request, &empty, 260, files, &once));
    EXPECT_EQ(once.fileInitials.size(), 1u);
}

TEST(HyperlinkTest, AddressColoursAndUnderline) {
    Hyperlink link(QStringLiteral("https://example.org/"));
    EXPECT_EQ(link.LinkAddress(), QStringLiteral("https://example.org/"));
    EXPECT_EQ(link.toolTip(), QStringLiteral("https://example.org/"));
    EXPECT_EQ(link.cursor().shape(), Qt::PointingHandCursor);
    EXPECT_EQ(link.palette().color(QPalette::WindowText), QColor(0, 0, 238));
    EXPECT_FALSE(link.font().underline());  // mode -1: only while hovered

    QEnterEvent enter(QPointF(1, 1), QPointF(1, 1), QPointF(1, 1));
    QCoreApplication::sendEvent(&link, &enter);
    EXPECT_TRUE(link.font().underline());
    EXPECT_EQ(link.palette().color(QPalette::WindowText), QColor(255, 0, 0));
    QEvent leave(QEvent::Leave);
    QCoreApplication::sendEvent(&link, &leave);
    EXPECT_FALSE(link.font().underline());

    link.SetUnderlineMode(Hyperlink::kUnderlineAlways);
    EXPECT_TRUE(link.font().underline());
    QFont plain(QStringLiteral("Tahoma"));
    plain.setPixelSize(11);
    link.setFont(plain);  // a new font keeps the mode's underline
    EXPECT_TRUE(link.font().underline());
    link.SetUnderlineMode(Hyperlink::kUnderlineNever);
    QCoreApplication::sendEvent(&link, &enter);
    EXPECT_FALSE(link.font().underline());

    Hyperlink named(QStringLiteral("Home page"));
    named.SetLinkAddress(QStringLiteral("https://home.example/"));
    EXPECT_EQ(named.text(), QStringLiteral("Home page"));
    EXPECT_EQ(named.toolTip(), QStringLiteral("https://home.example/"));
}

TEST(HyperlinkTest, ClickOpensAndMarksVisitedOrReportsTheFailure) {
    FakeUiHost host;
    Hyperlink link(QStringLiteral("https://example.org/"), nullptr, &host);
    link.Activate();
    EXPECT_EQ(host.opened, (std::vector<QString>{"https://example.org/"}));
    EXPECT_TRUE(link.Visited());
    EXPECT_EQ(link.palette().color(QPalette::WindowText), QColor(85, 26, 139));
    EXPECT_TRUE(host.messages.empty());

    FakeUiHost failing;
    failing.openResult = kShellNoAssociation;
    Hyperlink broken(QStringLiteral("mailto:nobody"), nullptr, &failing);
    broken.Activate();
    EXPECT_FALSE(broken.Visited());
    EXPECT_EQ(failing.beeps, 1);
    ASSERT_EQ(failing.messages.size(), 1u);
    EXPECT_EQ(failing.messages[0].text, QStringLiteral("Unable to open hyperlink:\n\nThere is no application "
                                                       "associated\nwith the given filename extension."));
    EXPECT_EQ(failing.messages[0].icon, MessageIcon::Warning);

    failing.openResult = 7;
    broken.Activate();
    EXPECT_EQ(failing.messages.back().text, QStringLiteral("Unable to open hyperlink:\n\nUnknown Error (7) occurred."));
}

TEST(HyperlinkTest, MissingLocalFileGoesThroughTheRealShell) {
    // The default host's shell refuses a missing file before anything is started.
    TempDir dir;
    const QString missing = QString::fromStdString(dir.file("gone.html"));
    EXPECT_EQ(ShellOpen(missing), kShellFileNotFound);
    EXPECT_EQ(ShellErrorText(ShellOpen(missing)), QStringLiteral("The specified file was not found."));
    EXPECT_EQ(ShellErrorText(0), QStringLiteral("The operating system is out\nof memory or resources."));
    EXPECT_EQ(ShellErrorText(26), QStringLiteral("A sharing violation occurred. "));
}

}  // namespace
}  // namespace sonavert
