// Not a check: with SONAVERT_SCREENSHOT_DIR set, saves a picture of every Options page and of the
// tag editor there (options-<n>.png, tag-editor.png) for looking at the layout. Skipped otherwise.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTabWidget>

#include <cstdlib>

#include "settings/dialog/OptionsDialog.h"
#include "settings/dialog/TagEditor.h"

namespace sonavert {
namespace {

TEST(OptionsScreenshots, SaveEveryPage) {
    const char* dir = std::getenv("SONAVERT_SCREENSHOT_DIR");
    if (!dir) GTEST_SKIP() << "SONAVERT_SCREENSHOT_DIR not set";
    Settings settings;
    settings.AutoDestMP3EncodingParam = 0;
    settings.AutoDestAACEncodingParam = 0;
    OptionsDialogHooks hooks;
    hooks.wmaFormats = [](std::vector<WmaFormatEntry>& f) {
        f = {{44100, 2, 128000}, {22050, 1, 32000}};
        return true;
    };
    OptionsDialog dialog(settings, hooks);
    dialog.show();
    for (int i = 0; i < kOptionPageCount; ++i) {
        dialog.Tabs()->setCurrentIndex(i);
        dialog.adjustSize();
        EXPECT_TRUE(dialog.grab().save(QStringLiteral("%1/options-%2.png").arg(dir).arg(i)));
    }
    TagEditor editor(settings.MP3Tag, true);
    editor.show();
    QCoreApplication::processEvents();
    EXPECT_TRUE(editor.grab().save(QStringLiteral("%1/tag-editor.png").arg(dir)));
}

}  // namespace
}  // namespace sonavert
