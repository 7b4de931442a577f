#include <gtest/gtest.h>

#include <map>

#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include "ui/AboutDialog.h"
#include "ui/FakeUiHost.h"
#include "ui/Hyperlink.h"

namespace sonavert {
namespace {

using test::FakeUiHost;

TEST(AboutDialogTest, ShowsNameVersionLinksAndClosesWithOk) {
    FakeUiHost host;
    bool ran = false;
    host.script = [&](QDialog& dialog) {
        ran = true;
        EXPECT_EQ(dialog.windowTitle(), QStringLiteral("About Sonavert"));
        QStringList texts;
        for (QLabel* label : dialog.findChildren<QLabel*>()) texts << label->text();
        EXPECT_TRUE(texts.contains(QStringLiteral("Sonavert 3.4"))) << texts.join('|').toStdString();
        EXPECT_TRUE(texts.contains(QStringLiteral("The program uses LAME MP3 encoder")));

        auto& about = static_cast<AboutDialog&>(dialog);
        EXPECT_EQ(about.HomepageLink()->text(), QStringLiteral("Homepage"));
        EXPECT_EQ(about.HomepageLink()->LinkAddress(), QStringLiteral("https://sonavert.app/"));
        EXPECT_EQ(about.SupportLink()->text(), QStringLiteral("Feedback and Support"));
        EXPECT_EQ(about.SupportLink()->LinkAddress(), QStringLiteral("mailto:support@sonavert.app"));
        // Every text fits: the box is at least as large as its contents want.
        EXPECT_GE(dialog.width(), dialog.sizeHint().width());

        QTest::mouseClick(about.HomepageLink(), Qt::LeftButton);
        QTest::mouseClick(about.SupportLink(), Qt::LeftButton);
        EXPECT_TRUE(dialog.isVisible());

        QPushButton* ok = dialog.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok);
        ASSERT_NE(ok, nullptr);
        QTest::mouseClick(ok, Qt::LeftButton);
        EXPECT_FALSE(dialog.isVisible());
        EXPECT_EQ(dialog.result(), QDialog::Accepted);
    };
    ShowAboutBox(nullptr, &host);
    EXPECT_TRUE(ran);
    EXPECT_EQ(host.modalRuns, 1);
    EXPECT_EQ(host.opened, (std::vector<QString>{"https://sonavert.app/", "mailto:support@sonavert.app"}));
}

TEST(AboutDialogTest, CreditsEveryLibraryWithItsRunTimeVersion) {
    std::map<QString, LibraryCredit> credits;
    for (const LibraryCredit& credit : LibraryCredits()) {
        EXPECT_FALSE(credit.licence.isEmpty()) << credit.name.toStdString();
        credits[credit.name] = credit;
    }
    for (const char* name : {"FFmpeg", "LAME", "libvorbis", "libogg", "libmpg123", "libopenmpt", "FluidSynth",
                             "libcdio", "libgsm", "libsoxr", "TagLib", "opencore-amr", "vo-amrwbenc", "Qt"})
        EXPECT_EQ(credits.count(QString::fromLatin1(name)), 1u) << name;
    // The libraries that report a version do so as digits and dots.
    for (const char* name : {"FFmpeg", "LAME", "libvorbis", "libopenmpt", "FluidSynth", "libsoxr", "Qt"}) {
        const QString version = credits[QString::fromLatin1(name)].version;
        EXPECT_TRUE(!version.isEmpty() && version[0].isDigit()) << name << ": " << version.toStdString();
    }
    EXPECT_EQ(credits[QStringLiteral("Qt")].version, QString::fromLatin1(qVersion()));
    EXPECT_EQ(CreditLine(credits[QStringLiteral("Qt")]), QStringLiteral("Qt %1 (LGPL 3)").arg(qVersion()));
    EXPECT_EQ(CreditLine(credits[QStringLiteral("libogg")]), QStringLiteral("libogg (BSD 3-clause)"));

    // The box shows a line for each.
    FakeUiHost host;
    host.script = [&](QDialog& dialog) {
        auto* label = dialog.findChild<QLabel*>(QStringLiteral("libraryCredits"));
        ASSERT_NE(label, nullptr);
        for (const LibraryCredit& credit : LibraryCredits())
            EXPECT_TRUE(label->text().split(QLatin1Char('\n')).contains(CreditLine(credit)))
                << credit.name.toStdString();
        dialog.accept();
    };
    ShowAboutBox(nullptr, &host);
}

}  // namespace
}  // namespace sonavert
