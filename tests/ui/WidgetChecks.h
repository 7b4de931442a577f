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
#include <QHeaderView>
#include <QLabel>
#include <QStyleOptionHeader>
#include <QLineEdit>
#include <QPalette>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QStyleOptionButton>
#include <QStyleOptionFrame>
#include <QPushButton>
#include <QString>
#include <QWidget>

#include <algorithm>
#include <cstdlib>

namespace sonavert::test {

// Every shown label, button, spin box, drop-down list, column title and fixed-width edit below `root` is wide
// enough for its text by the style's font and frame metrics (a list for each of its entries, a
// spin box for its widest value) and lies inside `root`.
// Word-wrapped labels are left out (they fold instead of clipping).
inline void ExpectNothingClipped(QWidget& root, const QString& where = QString()) {
    const std::string at = where.toStdString();
    for (QWidget* w : root.findChildren<QWidget*>()) {
        if (!w->isVisibleTo(&root)) continue;
        QString text;
        int needed = 0, room = w->width();
        if (auto* header = qobject_cast<QHeaderView*>(w)) {
            // Each column's title with the style's margins (and the sort mark where shown).
            for (int i = 0; i < header->count(); ++i) {
                if (header->isSectionHidden(i) || !header->model()) continue;
                QStyleOptionHeader option;
                option.initFrom(header);
                option.section = i;
                option.orientation = header->orientation();
                option.text = header->model()->headerData(i, header->orientation()).toString();
                if (header->isSortIndicatorShown()) option.sortIndicator = QStyleOptionHeader::SortDown;
                const int sectionNeeds =
                    header->style()->sizeFromContents(QStyle::CT_HeaderSection, &option, QSize(), header).width();
                EXPECT_GE(header->sectionSize(i), sectionNeeds)
                    << at << ": column \"" << option.text.toStdString() << "\" is cut";
            }
            continue;
        }
        if (auto* label = qobject_cast<QLabel*>(w)) {
            if (label->wordWrap() || label->textFormat() == Qt::RichText) continue;
            text = label->text();
            // The widest line, without the mnemonic marks, inside the frame and margins.
            for (const QString& line : QString(text).remove(QLatin1Char('&')).split(QLatin1Char('\n')))
                needed = std::max(needed, label->fontMetrics().horizontalAdvance(line));
            room = label->contentsRect().width();
        } else if (auto* push = qobject_cast<QPushButton*>(w)) {
            // The text (and icon) against the room the style leaves inside the bevel.
            text = push->text();
            QStyleOptionButton option;
            option.initFrom(push);
            option.text = text;
            option.icon = push->icon();
            option.iconSize = push->iconSize();
            if (push->isFlat()) option.features |= QStyleOptionButton::Flat;
            if (push->autoDefault()) option.features |= QStyleOptionButton::AutoDefaultButton;
            if (push->isDefault()) option.features |= QStyleOptionButton::DefaultButton;
            if (push->menu()) option.features |= QStyleOptionButton::HasMenu;
            needed = push->fontMetrics().horizontalAdvance(QString(text).remove(QLatin1Char('&')));
            if (!option.icon.isNull()) needed += option.iconSize.width() + 4;
            room = push->style()->subElementRect(QStyle::SE_PushButtonContents, &option, push).width();
        } else if (auto* button = qobject_cast<QAbstractButton*>(w)) {
            text = button->text();
            needed = button->sizeHint().width();
        } else if (auto* spin = qobject_cast<QAbstractSpinBox*>(w)) {
            // The shown word or number and the range's ends against the room its edit field has.
            QStringList shown{spin->text()};
            if (auto* integer = qobject_cast<QSpinBox*>(spin)) {
                const QSignalBlocker quiet(integer);
                const int value = integer->value();
                for (int end : {integer->minimum(), integer->maximum()}) {
                    integer->setValue(end);
                    shown << integer->text();
                }
                integer->setValue(value);
            }
            QStyleOptionSpinBox option;
            option.initFrom(spin);
            option.subControls = QStyle::SC_SpinBoxEditField | QStyle::SC_SpinBoxUp | QStyle::SC_SpinBoxDown;
            option.frame = spin->hasFrame();
            const QRect field =
                spin->style()->subControlRect(QStyle::CC_SpinBox, &option, QStyle::SC_SpinBoxEditField, spin);
            for (const QString& s : shown) {
                const int textWidth = spin->fontMetrics().horizontalAdvance(s) + 4;  // the edit's own margins
                EXPECT_GE(field.width(), textWidth) << at << ": \"" << s.toStdString() << "\" is cut";
            }
            text = spin->text();
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
                EXPECT_GE(field.width(), textWidth) << at << ": entry \"" << combo->itemText(i).toStdString()
                                                    << "\" is cut";
            }
            text = combo->currentText();
        } else if (auto* edit = qobject_cast<QLineEdit*>(w);
                   edit && edit->minimumWidth() == edit->maximumWidth() && !qobject_cast<QAbstractSpinBox*>(w->parent())) {
            // An edit of a fixed width (a number's) shows its whole text.
            text = edit->text();
            QStyleOptionFrame option;
            option.initFrom(edit);
            option.lineWidth = edit->hasFrame() ? edit->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, edit) : 0;
            const QMargins margins = edit->textMargins();
            room = edit->style()->subElementRect(QStyle::SE_LineEditContents, &option, edit).width() - margins.left() -
                   margins.right() - 4;  // the edit's own horizontal margin of 2 on each side
            needed = edit->fontMetrics().horizontalAdvance(text);
        }
        if (text.isEmpty()) continue;
        const std::string name = at + ": \"" + text.toStdString() + "\"";
        EXPECT_GE(room, needed) << name << " is clipped";
        const QRect inRoot(w->mapTo(&root, QPoint(0, 0)), w->size());
        EXPECT_TRUE(root.rect().contains(inRoot)) << name << " leaves the window";
    }
}

// A dark palette as dark desktop themes set it, with link colours that are themselves too dim
// for the dark background (the visited one).
inline QPalette DarkPalette() {
    QPalette p;
    const QColor window(0x31, 0x36, 0x3b), text(0xef, 0xf0, 0xf1), base(0x23, 0x26, 0x29);
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        p.setColor(group, QPalette::Window, window);
        p.setColor(group, QPalette::WindowText, text);
        p.setColor(group, QPalette::Base, base);
        p.setColor(group, QPalette::AlternateBase, window);
        p.setColor(group, QPalette::Text, text);
        p.setColor(group, QPalette::Button, window);
        p.setColor(group, QPalette::ButtonText, text);
        p.setColor(group, QPalette::Light, window.lighter(150));
        p.setColor(group, QPalette::Midlight, window.lighter(120));
        p.setColor(group, QPalette::Mid, window.lighter(110));
        p.setColor(group, QPalette::Dark, window.darker(150));
        p.setColor(group, QPalette::Shadow, Qt::black);
        p.setColor(group, QPalette::Highlight, QColor(0x3d, 0xae, 0xe9));
        p.setColor(group, QPalette::HighlightedText, text);
        p.setColor(group, QPalette::Link, QColor(0x1d, 0x99, 0xf3));
        p.setColor(group, QPalette::LinkVisited, QColor(0x9b, 0x59, 0xb6));
        p.setColor(group, QPalette::ToolTipBase, window);
        p.setColor(group, QPalette::ToolTipText, text);
    }
    return p;
}

// With SONAVERT_SCREENSHOT_DIR set, saves a picture of `w` there under `name`.
inline void SaveScreenshot(QWidget& w, const QString& name) {
    if (const char* dir = std::getenv("SONAVERT_SCREENSHOT_DIR")) {
        QCoreApplication::processEvents();
        EXPECT_TRUE(w.grab().save(QStringLiteral("%1/%2").arg(QString::fromLocal8Bit(dir), name)));
    }
}

}  // namespace sonavert::test
