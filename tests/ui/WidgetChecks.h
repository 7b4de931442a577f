#pragma once
// Layout checks shared by the GUI tests: no shown text is clipped, and pictures for a look by eye.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAbstractSpinBox>
#include <QComboBox>
#include <QStyle>
#include <QStyleOptionComboBox>
#include <QStyleOptionSpinBox>
#include <QCoreApplication>
#include <QLabel>
#include <QPushButton>
#include <QString>
#include <QWidget>

#include <algorithm>
#include <cstdlib>

namespace sonavert::test {

// Every shown label, button, spin box and drop-down list below `root` is wide enough for its
// text (a list for each of its entries) and lies inside `root`.
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
        } else if (auto* spin = qobject_cast<QAbstractSpinBox*>(w)) {
            // The shown number or word against the room its edit field has.
            text = spin->text();
            QStyleOptionSpinBox option;
            option.initFrom(spin);
            option.subControls = QStyle::SC_SpinBoxEditField | QStyle::SC_SpinBoxUp | QStyle::SC_SpinBoxDown;
            option.frame = spin->hasFrame();
            const QRect field =
                spin->style()->subControlRect(QStyle::CC_SpinBox, &option, QStyle::SC_SpinBoxEditField, spin);
            const int textWidth = spin->fontMetrics().horizontalAdvance(text) + 4;  // the edit's own margins
            EXPECT_GE(field.width(), textWidth) << where.toStdString() << ": \"" << text.toStdString() << "\" is cut";
            needed = 0;
        } else if (auto* combo = qobject_cast<QComboBox*>(w); combo && !combo->isEditable()) {
            // Every entry fits the field beside the arrow, so that no neighbour covers it either.
            QStyleOptionComboBox option;
            option.initFrom(combo);
            option.editable = false;
            option.frame = combo->hasFrame();
            const QRect field =
                combo->style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, combo);
            for (int i = 0; i < combo->count(); ++i) {
                const int textWidth = combo->fontMetrics().horizontalAdvance(combo->itemText(i));
                EXPECT_GE(field.width(), textWidth) << where.toStdString() << ": entry \""
                                                    << combo->itemText(i).toStdString() << "\" is cut";
            }
            text = combo->currentText();
            needed = 0;
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
