#include <gtest/gtest.h>

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QtTest/qtestspontaneevent.h>
#include <QWidget>
#include <QWindow>

#include "ui/AddProgressWindow.h"
#include "ui/ProgressWindow.h"

namespace sonavert {
namespace {

// The window's state that Cancel must leave alone.
struct Snapshot {
    bool visible;
    QString overall, file;
    int overallPos, filePos;
    QPoint pos;
};

Snapshot Take(const ProgressWindow& w) {
    return {w.isVisible(), w.OverallText(), w.FileText(), w.OverallPosition(), w.FilePosition(), w.pos()};
}

TEST(ProgressWindowTest, TextsAndBarsFollowTheBatch) {
    QWidget owner;
    owner.setGeometry(100, 100, 699, 538);
    owner.show();
    ProgressWindow w(&owner);
    EXPECT_FALSE(w.isVisible());
    EXPECT_FALSE(w.CancelRequested());
    EXPECT_TRUE(w.windowFlags() & Qt::FramelessWindowHint);
    EXPECT_GE(w.width(), 480);
    EXPECT_GE(w.height(), 140);
    // Centred over the owner.
    EXPECT_LE(std::abs(w.geometry().center().x() - owner.frameGeometry().center().x()), 1);
    EXPECT_LE(std::abs(w.geometry().center().y() - owner.frameGeometry().center().y()), 1);

    // The per-file bar has its final width before the window is first shown: the conversion
    // reads it to size the bar's range.
    const int widthBeforeShow = w.FileBarWidth();
    EXPECT_GT(widthBeforeShow, 400);
    w.show();
    EXPECT_EQ(w.FileBarWidth(), widthBeforeShow);
    EXPECT_EQ(w.findChild<QProgressBar*>("fileBar")->width(), widthBeforeShow);

    w.SetOverallRange(3);
    w.SetOverallText(std::string("Converting 1 of 3 file(s) to MP3..."));
    w.StepOverall();
    w.SetFileText(std::string("Converting song.flac...42%"));
    w.SetFileBarRange(w.FileBarWidth());
    w.SetFileBarPosition(200);
    EXPECT_EQ(w.findChild<QLabel*>("overallText")->text(), QStringLiteral("Converting 1 of 3 file(s) to MP3..."));
    EXPECT_EQ(w.findChild<QLabel*>("fileText")->text(), QStringLiteral("Converting song.flac...42%"));
    auto* overall = w.findChild<QProgressBar*>("overallBar");
    auto* file = w.findChild<QProgressBar*>("fileBar");
    EXPECT_EQ(overall->maximum(), 3);
    EXPECT_EQ(overall->value(), 1);
    EXPECT_EQ(file->maximum(), widthBeforeShow);
    EXPECT_EQ(file->value(), 200);

    // Past the end fills the bar; the overall bar stops at its last step.
    w.SetFileBarPosition(widthBeforeShow + 50);
    EXPECT_EQ(file->value(), widthBeforeShow);
    w.StepOverall();
    w.StepOverall();
    w.StepOverall();
    EXPECT_EQ(overall->value(), 3);
    // A new range starts the bar at 0.
    w.SetFileBarRange(100);
    EXPECT_EQ(file->value(), 0);
    EXPECT_EQ(file->maximum(), 100);
}

TEST(ProgressWindowTest, CancelOnlySetsTheFlag) {
    ProgressWindow w;
    w.show();
    w.SetOverallRange(5);
    w.StepOverall();
    w.SetOverallText(QStringLiteral("overall"));
    w.SetFileText(QStringLiteral("file"));
    w.SetFileBarRange(100);
    w.SetFileBarPosition(30);
    QSignalSpy finished(&w, &QDialog::finished);
    const Snapshot before = Take(w);

    QTest::mouseClick(w.CancelButton(), Qt::LeftButton);
    w.Pump();
    EXPECT_TRUE(w.CancelRequested());
    const Snapshot after = Take(w);
    EXPECT_TRUE(after.visible);
    EXPECT_EQ(after.overall, before.overall);
    EXPECT_EQ(after.file, before.file);
    EXPECT_EQ(after.overallPos, before.overallPos);
    EXPECT_EQ(after.filePos, before.filePos);
    EXPECT_EQ(after.pos, before.pos);
    EXPECT_EQ(finished.count(), 0);

    // Escape is Cancel too and does not close the window; Enter does nothing.
    ProgressWindow keys;
    keys.show();
    QTest::keyClick(&keys, Qt::Key_Return);
    EXPECT_FALSE(keys.CancelRequested());
    EXPECT_TRUE(keys.isVisible());
    QTest::keyClick(&keys, Qt::Key_Escape);
    EXPECT_TRUE(keys.CancelRequested());
    EXPECT_TRUE(keys.isVisible());
}

TEST(ProgressWindowTest, CancelWorksWhileTheOwnerIsDisabled) {
    // The main window is disabled for the whole run; its progress windows must stay usable.
    QWidget owner;
    owner.show();
    ProgressWindow w(&owner);
    AddProgressWindow adding(&owner);
    w.show();
    adding.Started();
    owner.setEnabled(false);
    EXPECT_FALSE(owner.isEnabled());
    EXPECT_TRUE(w.CancelButton()->isEnabled());
    EXPECT_TRUE(adding.CancelButton()->isEnabled());
    QTest::mouseClick(w.CancelButton(), Qt::LeftButton);
    QTest::mouseClick(adding.CancelButton(), Qt::LeftButton);
    EXPECT_TRUE(w.CancelRequested());
    EXPECT_TRUE(adding.CancelRequested());
    owner.setEnabled(true);
    EXPECT_TRUE(w.isEnabled());
    // A window disabled on purpose stays disabled.
    w.setEnabled(false);
    owner.setEnabled(false);
    owner.setEnabled(true);
    EXPECT_FALSE(w.isEnabled());
}

TEST(ProgressWindowTest, ClosingEndsTheWindowAndOnlyTheUsersCloseCancels) {
    ProgressWindow w;
    w.show();
    // The batch closes the window at its end: no Cancel.
    EXPECT_TRUE(w.close());
    EXPECT_FALSE(w.isVisible());
    EXPECT_FALSE(w.CancelRequested());
    // The accessors stay safe on the closed window.
    w.SetFileText(QStringLiteral("late"));
    w.SetFileBarPosition(1);

    // A close from the window system during a run stops the run.
    ProgressWindow byUser;
    byUser.show();
    // (Delivered as the window system delivers it: sendEvent would clear the spontaneous mark.)
    QCloseEvent close;
    QSpontaneKeyEvent::setSpontaneous(&close);
    QCoreApplication::instance()->notify(&byUser, &close);
    EXPECT_TRUE(close.isAccepted());
    EXPECT_TRUE(byUser.CancelRequested());
}

TEST(ProgressWindowTest, PressAndMoveDragsTheWindow) {
    // The offscreen platform has no system move, so the manual drag runs.
    ProgressWindow w;
    w.move(200, 150);
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    const QPoint start = w.pos();
    auto* text = w.findChild<QLabel*>("overallText");
    const QPoint at = text->rect().center();
    QTest::mousePress(text, Qt::LeftButton, Qt::NoModifier, at);
    QMouseEvent move(QEvent::MouseMove, QPointF(at + QPoint(40, 25)), text->mapToGlobal(QPointF(at + QPoint(40, 25))),
                     Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(text, &move);
    QTest::mouseRelease(text, Qt::LeftButton, Qt::NoModifier, at + QPoint(40, 25));
    EXPECT_EQ(w.pos(), start + QPoint(40, 25));
    EXPECT_FALSE(w.CancelRequested());
}

}  // namespace
}  // namespace sonavert
