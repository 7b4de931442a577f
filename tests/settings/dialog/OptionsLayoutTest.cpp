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

#include "settings/dialog/OptionsDialog.h"
#include "settings/dialog/TagEditor.h"

namespace sonavert {
namespace {

// Labels and buttons that are shown must be at least as wide as their text needs.
void ExpectNothingClipped(QWidget* root, const QString& where) {
    for (QWidget* w : root->findChildren<QWidget*>()) {
        if (!w->isVisibleTo(root)) continue;
        QString text;
        int needed = 0;
        if (auto* label = qobject_cast<QLabel*>(w)) {
            if (label->wordWrap()) continue;
            text = label->text();
            needed = label->sizeHint().width();
        } else if (auto* push = qobject_cast<QPushButton*>(w)) {
            text = push->text();
            needed = push->fontMetrics().horizontalAdvance(QString(text).remove(QLatin1Char('&'))) + 6;
        } else if (auto* button = qobject_cast<QAbstractButton*>(w)) {
            text = button->text();
            needed = button->sizeHint().width();
        } else {
            continue;
        }
        if (text.isEmpty()) continue;
        EXPECT_GE(w->width(), needed) << where.toStdString() << ": \"" << text.toStdString() << "\" is clipped";
    }
}

void Save(QWidget& w, const QString& name) {
    if (const char* dir = std::getenv("SONAVERT_SCREENSHOT_DIR")) {
        EXPECT_TRUE(w.grab().save(QStringLiteral("%1/%2").arg(dir, name)));
    }
}

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
        dialog.Tabs()->setCurrentIndex(i);
        dialog.adjustSize();
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
