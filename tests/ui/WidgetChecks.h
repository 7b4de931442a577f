#pragma once
// Layout checks shared by the GUI tests: no shown text is clipped, and pictures for a look by eye.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QCoreApplication>
#include <QLabel>
#include <QPushButton>
#include <QString>
#include <QWidget>

#include <algorithm>
#include <cstdlib>

namespace sonavert::test {

// Every shown label and button below `root` is wide enough for its text and lies inside `root`.
// Word-wrapped labels are left out (they fold instead of clipping).
inline void ExpectNothingClipped(QWidget& root, const QString& where = QString()) {
    for (QWidget* w : root.findChildren<QWidget*>()) {
        if (!w->isVisibleTo(&root)) continue;
        QString text;
        int needed = 0;
        if (auto* label = qobject_cast<QLabel*>(w)) {
            if (label->wordWrap() || label->textFormat() == Qt::RichText) continue;
            text = label->text();
            // The widest line, without the mnemonic marks.
            for (const QString& line : QString(text).remove(QLatin1Char('&')).split(QLatin1Char('\n')))
                needed = std::max(needed, label->fontMetrics().horizontalAdvance(line));
        } else if (auto* push = qobject_cast<QPushButton*>(w)) {
            text = push->text();
            needed = push->fontMetrics().horizontalAdvance(QString(text).remove(QLatin1Char('&')));
        } else if (auto* button = qobject_cast<QAbstractButton*>(w)) {
            text = button->text();
            needed = button->sizeHint().width();
        }
        if (text.isEmpty()) continue;
        const std::string name = where.toStdString() + ": \"" + text.toStdString() + "\"";
        EXPECT_GE(w->width(), needed) << name << " is clipped";
        const QRect inRoot(w->mapTo(&root, QPoint(0, 0)), w->size());
        EXPECT_TRUE(root.rect().contains(inRoot)) << name << " leaves the window";
    }
}

// With SONAVERT_SCREENSHOT_DIR set, saves a picture of `w` there under `name`.
inline void SaveScreenshot(QWidget& w, const QString& name) {
    if (const char* dir = std::getenv("SONAVERT_SCREENSHOT_DIR")) {
        QCoreApplication::processEvents();
        EXPECT_TRUE(w.grab().save(QStringLiteral("%1/%2").arg(QString::fromLocal8Bit(dir), name)));
    }
}

}  // namespace sonavert::test
