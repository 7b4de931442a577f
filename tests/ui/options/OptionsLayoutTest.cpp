// Every Options page and the tag editor lay out without clipped texts. With SONAVERT_SCREENSHOT_DIR
// set, a picture of each is also saved there (options-<n>.png, tag-editor.png) for looking at.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QCoreApplication>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QTabWidget>

#include <cstdlib>

#include "ui/options/OptionsDialog.h"
#include "ui/options/TagEditor.h"
#include "ui/WidgetChecks.h"

namespace sonavert {
namespace {

void ExpectNothingClipped(QWidget* root, const QString& where) { test::ExpectNothingClipped(*root, where); }
void Save(QWidget& w, const QString& name) { test::SaveScreenshot(w, name); }

TEST(OptionsLayout, NoPageClipsItsTexts) {
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
        // The dialog sized itself for its largest page within the screen.
        dialog.Tabs()->setCurrentIndex(i);
        QCoreApplication::processEvents();
        ExpectNothingClipped(dialog.Tabs()->currentWidget(), dialog.Tabs()->tabText(i));
        Save(dialog, QStringLiteral("options-%1.png").arg(i));
    }
    TagEditor editor(settings.MP3Tag, true);
    editor.show();
    QCoreApplication::processEvents();
    ExpectNothingClipped(&editor, QStringLiteral("Edit ID3 Tag"));
    Save(editor, QStringLiteral("tag-editor.png"));
}

}  // namespace
}  // namespace sonavert
