// The standalone windows show their usual texts whole. With SONAVERT_SCREENSHOT_DIR set, each
// window is also saved there as a PNG for a look by eye.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include <cstdlib>
#include <fstream>

#include "support/TestUtil.h"
#include "ui/AboutDialog.h"
#include "ui/AddProgressWindow.h"
#include "ui/FakeUiHost.h"
#include "ui/HelpWindow.h"
#include "ui/Hyperlink.h"
#include "ui/ProgressWindow.h"
#include "ui/WidgetChecks.h"

namespace sonavert {
namespace {

using test::ExpectNothingClipped;

void Save(QWidget& w, const QString& name) { test::SaveScreenshot(w, name); }

TEST(WindowsLayoutTest, ProgressWindowsShowTheirTextsWhole) {
    ProgressWindow progress;
    progress.show();
    progress.SetOverallRange(12);
    for (int i = 0; i < 5; ++i) progress.StepOverall();
    progress.SetOverallText(std::string("Converting 5 of 12 file(s) to M4A..."));
    progress.SetFileText(std::string("Converting 05 - A rather long track title (live).flac...63%"));
    progress.SetFileBarRange(progress.FileBarWidth());
    progress.SetFileBarPosition(progress.FileBarWidth() * 63 / 100);
    ExpectNothingClipped(progress);
    Save(progress, QStringLiteral("progress.png"));

    AddProgressWindow adding;
    adding.Started();
    adding.SetBarRange(40);
    for (int i = 0; i < 17; ++i) adding.StepBar();
    adding.SetText("[17/40] Adding file 17 - Another fairly long file name.mp3...");
    ExpectNothingClipped(adding);
    Save(adding, QStringLiteral("add-progress.png"));
    adding.Finished();
}

TEST(WindowsLayoutTest, AboutBoxAndHelpWindow) {
    test::FakeUiHost host;
    host.script = [](QDialog& dialog) {
        QCoreApplication::processEvents();
        ExpectNothingClipped(dialog);
        Save(dialog, QStringLiteral("about.png"));
    };
    ShowAboutBox(nullptr, &host);

    testutil::TempDir dir;
    std::ofstream(dir.file("sonavert.html"))
        << "<html><head><title>Sonavert manual</title></head><body><h1>Sonavert</h1>"
        << "<p>Sonavert converts audio files in batches. <a href=\"#start\">Getting started</a></p>"
        << "<h2><a name=\"start\"></a>Getting started</h2><p>Add files, choose a format, press Convert.</p>"
        << "</body></html>";
    HelpWindow* help = ShowHelp(false, QString::fromStdString(dir.file("sonavert.html")), &host);
    help->resize(800, 560);
    Save(*help, QStringLiteral("help.png"));
    help->close();
    HelpWindow* missing = ShowHelp(false, QString::fromStdString(dir.file("none.html")), &host);
    missing->resize(800, 400);
    Save(*missing, QStringLiteral("help-missing.png"));
    missing->close();
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

}  // namespace
}  // namespace sonavert
