#include <gtest/gtest.h>

#include <QAbstractTextDocumentLayout>
#include <QAction>
#include <QApplication>
#include <QScrollBar>
#include <QTest>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTextDocument>

#include <filesystem>
#include <fstream>

#include "support/TestUtil.h"
#include "ui/FakeUiHost.h"
#include "ui/HelpWindow.h"

namespace sonavert {
namespace {

using test::FakeUiHost;
using testutil::TempDir;

// A manual long enough to scroll, with a table of contents at the top, an anchor far below,
// a second page and two external links.
std::string WriteManual(const TempDir& dir) {
    std::ofstream page(dir.file("sonavert.html"));
    page << "<html><head><title>Sonavert manual</title></head><body><h1>Sonavert manual</h1>"
         << "<p><a href=\"#options\">Options section</a> <a href=\"formats.html\">Formats page</a> "
         << "<a href=\"https://sonavert.app/faq\">FAQ online</a> "
         << "<a href=\"mailto:support@sonavert.app\">Write to us</a></p>";
    for (int i = 0; i < 200; ++i) page << "<p>Filler paragraph " << i << "</p>";
    page << "<h2><a name=\"options\"></a>Options chapter</h2><p>end</p></body></html>";
    std::ofstream(dir.file("formats.html")) << "<html><body><h1>Output formats</h1></body></html>";
    return dir.file("sonavert.html");
}

// Clicks the link whose text is `text` as the user does.
void ClickLink(QTextBrowser* browser, const QString& text) {
    const QTextCursor found = browser->document()->find(text);
    ASSERT_FALSE(found.isNull()) << text.toStdString();
    QTextCursor inside(browser->document());
    inside.setPosition(found.selectionStart() + 1);
    browser->setTextCursor(inside);
    browser->ensureCursorVisible();
    const QPoint at = browser->cursorRect(inside).center();
    QTest::mouseClick(browser->viewport(), Qt::LeftButton, Qt::NoModifier, at);
}

class HelpWindowTest : public ::testing::Test {
protected:
    void TearDown() override {
        CloseHelp();
        QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        EXPECT_EQ(FindHelpWindow(), nullptr);
    }
    TempDir dir_;
    FakeUiHost host_;
};

TEST_F(HelpWindowTest, ShowHelpKeepsOneWindowAndRestoresAMinimisedOne) {
    const std::string manual = WriteManual(dir_);
    EXPECT_EQ(FindHelpWindow(), nullptr);
    HelpWindow* first = ShowHelp(true, QString::fromStdString(manual), &host_);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->windowTitle(), QStringLiteral("Sonavert Help"));
    EXPECT_TRUE(first->isVisible());
    EXPECT_TRUE(first->isMaximized());
    EXPECT_TRUE(first->ManualLoaded());
    EXPECT_EQ(first->Browser()->documentTitle(), QStringLiteral("Sonavert manual"));

    first->showMinimized();
    ASSERT_TRUE(first->isMinimized());
    HelpWindow* second = ShowHelp(false, QString::fromStdString(manual), &host_);
    EXPECT_EQ(second, first);
    EXPECT_FALSE(second->isMinimized());
    EXPECT_TRUE(second->isVisible());
    int helpWindows = 0;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->windowTitle() == QLatin1String("Sonavert Help")) ++helpWindows;
    EXPECT_EQ(helpWindows, 1);

    // Once closed it is gone, and the next call builds a new window, not maximised.
    CloseHelp();
    EXPECT_EQ(FindHelpWindow(), nullptr);
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    HelpWindow* third = ShowHelp(false, QString::fromStdString(manual), &host_);
    EXPECT_FALSE(third->isMaximized());
    EXPECT_GE(third->width(), 600);
}

TEST_F(HelpWindowTest, LinksNavigateInsideAndExternalOnesGoToTheShell) {
    HelpWindow* help = ShowHelp(false, QString::fromStdString(WriteManual(dir_)), &host_);
    help->resize(700, 500);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(help));
    QTextBrowser* browser = help->Browser();
    EXPECT_FALSE(help->BackAction()->isEnabled());

    ClickLink(browser, QStringLiteral("Options section"));
    EXPECT_EQ(browser->source().fragment(), QStringLiteral("options"));
    // The chapter heading is now on screen: the view scrolled down to it.
    EXPECT_GT(browser->verticalScrollBar()->value(), 0);
    const QTextBlock heading = browser->document()->find(QStringLiteral("Options chapter")).block();
    const int headingY = static_cast<int>(browser->document()->documentLayout()->blockBoundingRect(heading).top());
    EXPECT_GE(headingY, browser->verticalScrollBar()->value());
    EXPECT_LT(headingY, browser->verticalScrollBar()->value() + browser->viewport()->height());
    EXPECT_TRUE(help->BackAction()->isEnabled());

    help->BackAction()->trigger();
    EXPECT_EQ(browser->verticalScrollBar()->value(), 0);
    ClickLink(browser, QStringLiteral("Formats page"));
    EXPECT_TRUE(browser->source().toLocalFile().endsWith(QStringLiteral("/formats.html")));
    EXPECT_EQ(browser->document()->firstBlock().text(), QStringLiteral("Output formats"));
    help->HomeAction()->trigger();
    EXPECT_TRUE(browser->source().toLocalFile().endsWith(QStringLiteral("/sonavert.html")));
    EXPECT_TRUE(host_.opened.empty());

    ClickLink(browser, QStringLiteral("FAQ online"));
    ClickLink(browser, QStringLiteral("Write to us"));
    EXPECT_EQ(host_.opened, (std::vector<QString>{"https://sonavert.app/faq", "mailto:support@sonavert.app"}));
    // The external links leave the page where it was.
    EXPECT_TRUE(browser->source().toLocalFile().endsWith(QStringLiteral("/sonavert.html")));
}

TEST_F(HelpWindowTest, AMissingManualGivesAPageSayingSo) {
    const QString missing = QString::fromStdString(dir_.file("sonavert.html"));
    HelpWindow* help = ShowHelp(false, missing, &host_);
    EXPECT_FALSE(help->ManualLoaded());
    const QString text = help->Browser()->toPlainText();
    EXPECT_TRUE(text.contains(QStringLiteral("could not be found"))) << text.toStdString();
    EXPECT_TRUE(text.contains(missing)) << text.toStdString();
    EXPECT_FALSE(help->HomeAction()->isEnabled());
    ClickLink(help->Browser(), QStringLiteral("Sonavert homepage"));
    EXPECT_EQ(host_.opened, (std::vector<QString>{"https://sonavert.app/"}));
}

TEST(HelpFileTest, ManualIsFoundBesideTheProgramThenInShare) {
    TempDir dir;
    namespace fs = std::filesystem;
    fs::create_directories(dir.path() / "bin");
    fs::create_directories(dir.path() / "share/sonavert");
    const QString bin = QString::fromStdString(dir.file("bin") + "/");
    EXPECT_TRUE(FindHelpFile(bin).isEmpty());
    std::ofstream(dir.file("share/sonavert/sonavert.html")) << "<p>shared</p>";
    EXPECT_EQ(FindHelpFile(bin), QString::fromStdString(dir.file("share/sonavert/sonavert.html")));
    std::ofstream(dir.file("bin/sonavert.html")) << "<p>beside</p>";
    EXPECT_EQ(FindHelpFile(bin), QString::fromStdString(dir.file("bin/sonavert.html")));
    // Without the trailing separator too.
    EXPECT_EQ(FindHelpFile(QString::fromStdString(dir.file("bin"))), QString::fromStdString(dir.file("bin/sonavert.html")));
}

}  // namespace
}  // namespace sonavert
