// The windows under a dark theme: every text measured on the rendered pixels keeps a contrast of
// 4.5:1 against the background it is drawn on; under a light theme the links keep their fixed
// colours.
#include <gtest/gtest.h>

#include <map>

#include <QApplication>
#include <QHeaderView>
#include <QImage>
#include <QLabel>
#include <QSettings>
#include <QTabWidget>
#include <QTreeView>

#include "settings/SettingsStore.h"
#include "support/MainWindowTestUtil.h"
#include "support/TestUtil.h"
#include "ui/FakeUiHost.h"
#include "ui/FileListView.h"
#include "ui/Hyperlink.h"
#include "ui/MainWindow.h"
#include "ui/options/OptionsDialog.h"
#include "ui/WidgetChecks.h"

namespace sonavert {
namespace {

using test::DarkPalette;

// Sets the application's palette for one test and puts the old one back.
struct PaletteScope {
    QPalette old = QApplication::palette();
    explicit PaletteScope(const QPalette& p) { QApplication::setPalette(p); }
    ~PaletteScope() { QApplication::setPalette(old); }
};

// The contrast of the text drawn in `area` of `image`: the background is the area's most common
// colour, the text the pixel that differs most from it.
double RenderedContrast(const QImage& image, const QRect& area) {
    std::map<QRgb, int> counts;
    const QRect r = area.intersected(image.rect());
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x) ++counts[image.pixel(x, y)];
    if (counts.empty()) return 0;
    QRgb background = counts.begin()->first;
    for (const auto& [colour, n] : counts)
        if (n > counts[background]) background = colour;
    double best = 1;
    for (const auto& [colour, n] : counts) best = std::max(best, ContrastRatio(QColor(colour), QColor(background)));
    return best;
}

QImage Grab(QWidget& window) {
    window.show();
    testutil::PumpUntil([&] { return window.isVisible(); }, 50);
    QCoreApplication::processEvents();
    return window.grab().toImage();
}

// `widget`'s rectangle in `window`'s coordinates, scaled to the grabbed image.
QRect InWindow(QWidget* widget, QWidget& window, const QImage& image, QRect rect = {}) {
    if (rect.isNull()) rect = widget->rect();
    const QRect mapped(widget->mapTo(&window, rect.topLeft()), rect.size());
    const double scale = image.devicePixelRatio();
    return QRect(int(mapped.x() * scale), int(mapped.y() * scale), int(mapped.width() * scale),
                 int(mapped.height() * scale));
}

TEST(DarkTheme, ListHeaderLinksAndOptionPagesStayReadable) {
    PaletteScope dark(DarkPalette());
    testutil::TempDir dir;
    SettingsStore store(dir.file("Sonavert.ini"));
    {
        QSettings ini(QString::fromStdString(dir.file("Sonavert.ini")), QSettings::IniFormat);
        ini.setValue("Options/FirstRun", "dword:00000000");
    }
    test::FakeUiHost host;
    MainWindowHooks hooks;
    hooks.host = &host;
    hooks.showHelp = [](bool) {};
    MainWindow w(testutil::SharedCodecHost(), store, hooks);
    const std::string wav = dir.file("tone.wav");
    ASSERT_TRUE(testutil::MakeWav(wav, 1));
    w.DropPaths({wav});
    testutil::PumpUntil([&] { return !w.Busy() && w.List().RowCount() == 1; });
    ASSERT_EQ(w.List().RowCount(), 1);
    w.View()->clearSelection();

    const QImage image = Grab(w);
    QTreeView* view = w.View();
    const QRect cell = view->visualRect(view->model()->index(0, kColumnFile));
    EXPECT_GE(RenderedContrast(image, InWindow(view->viewport(), w, image, cell)), 4.5) << "list";
    QHeaderView* header = view->header();
    const QRect section(header->sectionViewportPosition(0), 0, header->sectionSize(0), header->height());
    EXPECT_GE(RenderedContrast(image, InWindow(header->viewport(), w, image, section)), 4.5) << "header";
    for (Hyperlink* link : w.findChildren<Hyperlink*>())
        EXPECT_GE(RenderedContrast(image, InWindow(link, w, image)), 4.5) << link->text().toStdString();

    // The link colours themselves, in each state, against the window background.
    const QPalette p = DarkPalette();
    const QColor background = p.color(QPalette::Window);
    for (const QColor& c : {Hyperlink::LinkColorOn(p), Hyperlink::VisitedColorOn(p), Hyperlink::HoverColorOn(p)})
        EXPECT_GE(ContrastRatio(c, background), 4.5) << c.name().toStdString();

    // No text is cut under the dark look, nor on the Options pages opened over the window (the
    // window's style sheet must not reach them).
    test::ExpectNothingClipped(w, QStringLiteral("main window, dark"));
    {
        Settings own = DefaultSettings();
        OptionsDialog over(own, OptionsDialogHooks{&host, {}}, &w);
        over.show();
        for (int page = 0; page < over.Tabs()->count(); ++page) {
            over.Tabs()->setCurrentIndex(page);
            QCoreApplication::processEvents();
            test::ExpectNothingClipped(*over.Page(page), over.Tabs()->tabText(page) + QStringLiteral(", dark"));
        }
        over.hide();
    }

    // Every option page, with the MP3 page's two links.
    Settings settings = DefaultSettings();
    OptionsDialog options(settings, OptionsDialogHooks{&host, {}});
    auto* tabs = options.findChild<QTabWidget*>();
    ASSERT_NE(tabs, nullptr);
    for (int page = 0; page < tabs->count(); ++page) {
        tabs->setCurrentIndex(page);
        const QImage shot = Grab(options);
        int measured = 0;
        for (QLabel* label : tabs->widget(page)->findChildren<QLabel*>()) {
            if (!label->isVisible() || label->text().trimmed().isEmpty() || !label->isEnabled()) continue;
            ++measured;
            EXPECT_GE(RenderedContrast(shot, InWindow(label, options, shot)), 4.5)
                << "page " << page << ": " << label->text().toStdString();
        }
        EXPECT_GT(measured, 0) << "page " << page;
    }
    options.hide();
    w.hide();
}

TEST(DarkTheme, LightPaletteKeepsTheFixedLinkColours) {
    QPalette light;
    light.setColor(QPalette::Window, QColor(0xef, 0xef, 0xef));
    light.setColor(QPalette::Link, QColor(0x20, 0x80, 0x20));
    EXPECT_FALSE(IsDarkPalette(light));
    EXPECT_EQ(Hyperlink::LinkColorOn(light), QColor(0, 0, 238));
    EXPECT_EQ(Hyperlink::VisitedColorOn(light), QColor(85, 26, 139));
    EXPECT_EQ(Hyperlink::HoverColorOn(light), QColor(255, 0, 0));
    // A link follows a change of theme.
    PaletteScope lightScope(light);
    Hyperlink link(QStringLiteral("Homepage"));
    EXPECT_EQ(link.palette().color(QPalette::WindowText), QColor(0, 0, 238));
    QApplication::setPalette(DarkPalette());
    QCoreApplication::processEvents();
    EXPECT_EQ(link.palette().color(QPalette::WindowText), Hyperlink::LinkColorOn(DarkPalette()));
    EXPECT_NEAR(ContrastRatio(Qt::black, Qt::white), 21.0, 1e-9);
}

}  // namespace
}  // namespace sonavert
