#include <gtest/gtest.h>

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include "sources/CodecHost.h"
#include "filelist/FileAdder.h"
#include "support/TestUtil.h"
#include "ui/AddProgressWindow.h"
#include "ui/FakeUiHost.h"

namespace sonavert {
namespace {

using test::FakeUiHost;

TEST(AddProgressWindowTest, DrivesTextBarAndCancelOfARun) {
    FakeUiHost host;
    QWidget owner;
    owner.setGeometry(50, 60, 699, 538);
    owner.show();
    AddProgressWindow w(&owner, &host);
    AddDriver& driver = w;
    EXPECT_FALSE(w.isVisible());
    EXPECT_TRUE(w.windowFlags() & Qt::FramelessWindowHint);
    EXPECT_GE(w.width(), 480);

    driver.Started();
    EXPECT_TRUE(w.isVisible());
    EXPECT_LE((w.geometry().center() - owner.frameGeometry().center()).manhattanLength(), 2);
    driver.SetText(kSearchingText);
    EXPECT_EQ(w.findChild<QLabel*>("text")->text(), QStringLiteral("Searching files..."));
    driver.SetBarRange(2);
    driver.SetText("[1/2] Adding file a.mp3...");
    driver.StepBar();
    auto* bar = w.findChild<QProgressBar*>("bar");
    EXPECT_EQ(bar->maximum(), 2);
    EXPECT_EQ(bar->value(), 1);
    EXPECT_EQ(w.Text(), QStringLiteral("[1/2] Adding file a.mp3..."));
    driver.StepBar();
    driver.StepBar();
    EXPECT_EQ(bar->value(), 2);

    // A second Started in the same run (search, then add) keeps the window as it is.
    driver.Started();
    EXPECT_EQ(bar->value(), 2);

    EXPECT_FALSE(driver.CancelRequested());
    QTest::mouseClick(w.CancelButton(), Qt::LeftButton);
    driver.Pump();
    EXPECT_TRUE(driver.CancelRequested());
    EXPECT_TRUE(w.isVisible());
    EXPECT_EQ(w.Text(), QStringLiteral("[1/2] Adding file a.mp3..."));

    driver.Finished();
    EXPECT_FALSE(w.isVisible());

    // The next run in the same window starts afresh.
    driver.Started();
    EXPECT_FALSE(driver.CancelRequested());
    EXPECT_EQ(bar->value(), 0);
    EXPECT_TRUE(w.Text().isEmpty());
    driver.Finished();

    driver.ShowMessage(MessageIcon::Warning, "Failed to load the following files.\n\n/x.mp3\n");
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0].text, QStringLiteral("Failed to load the following files.\n\n/x.mp3\n"));
    EXPECT_EQ(host.messages[0].icon, MessageIcon::Warning);
}

// A real add run through the window: the report comes after the window has closed.
TEST(AddProgressWindowTest, ReportsFailuresOfARealRunAfterClosing) {
    CodecHost codecs;
    ASSERT_EQ(codecs.Start(testutil::BinDir() + "/"), CodecHost::StartResult::Ok);
    testutil::TempDir dir;
    const std::string good = dir.file("tone.wav");
    ASSERT_TRUE(testutil::WriteWav16(good, testutil::Sine(440, 8000, 1, 0.2), 8000, 1));
    const std::string bad = dir.file("noise.mp3");
    ASSERT_TRUE(testutil::WriteFileBytes(bad, std::vector<uint8_t>(64, 0x11)));

    FakeUiHost host;
    struct Window : AddProgressWindow {
        using AddProgressWindow::AddProgressWindow;
        bool visibleAtMessage = true;
        QString textAtMessage;
        void ShowMessage(MessageIcon icon, const std::string& text) override {
            visibleAtMessage = isVisible();
            textAtMessage = Text();
            AddProgressWindow::ShowMessage(icon, text);
        }
    } w(nullptr, &host);
    FileList list;
    SourceFactoryContext context;
    FileAdder adder(list, context);
    const AddRunResult result = adder.AddPaths({good, bad}, w);
    EXPECT_EQ(result.added, 1);
    EXPECT_FALSE(w.isVisible());
    EXPECT_FALSE(w.visibleAtMessage);
    EXPECT_EQ(w.textAtMessage, QStringLiteral("[2/2] Adding file noise.mp3..."));
    EXPECT_EQ(w.BarPosition(), 2);
    EXPECT_EQ(w.BarMaximum(), 2);
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_TRUE(host.messages[0].text.startsWith(QStringLiteral("Failed to load the following files.\n\n") +
                                                 QString::fromStdString(bad) + " (not an audio file)\n"));
    EXPECT_EQ(host.messages[0].icon, MessageIcon::Warning);
}

}  // namespace
}  // namespace sonavert
