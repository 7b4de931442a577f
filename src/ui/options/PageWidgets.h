#pragma once
// Building blocks shared by the option pages and the tag editor: the dialog font, integer edits
// with spin arrows, lists with item values, the amplification group and the tag group.
#include <optional>

#include <QButtonGroup>
#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QWidget>

#include "settings/Settings.h"
#include "ui/Shell.h"

class QCheckBox;
class QLabel;
class QPushButton;
class QRadioButton;
class QToolButton;

class QAbstractSpinBox;

namespace sonavert {

// "Tahoma" at a character height of 11 pixels.
QFont DialogFont();
// Sets the dialog font on the widget and on every child widget.
void ApplyDialogFont(QWidget* root);
// The width a push button needs for its text by its font and the style's margins and frame, without
// the least width some styles give every text button.
int MetricButtonWidth(const QPushButton* button);
// Keeps a small text button (the "?" beside a choice) square, or as wide as MetricButtonWidth,
// whenever its font or style changes.
void KeepSmallButtonWidth(QPushButton* button);
// Keeps a spin box wide enough that its edit field shows its widest text whole (the special
// value's text, and the range's ends with prefix and suffix) whenever its font or style changes.
// Some styles size a spin box for its text without all the room their buttons take.
void KeepSpinBoxWidth(QAbstractSpinBox* spin);
// The width a line edit needs to show `sample` whole, by its font, frame and text margins.
int MetricEditWidth(const QLineEdit* edit, const QString& sample);

// Reads an integer as the dialogs accept it: optional blanks, an optional sign, decimal digits,
// optional blanks, within the 32-bit range.
std::optional<int> ParseInteger(const QString& text);

// A drop-down list wide enough for `characters` characters before any entry is added (the
// lists are filled when their page is first shown, after the dialog has taken its size).
QComboBox* NewList(QWidget* parent, int characters);

// A list entry with an item value, and the item value of the chosen entry.
void AddListItem(QComboBox* list, const QString& text, int value);
std::optional<int> ChosenValue(const QComboBox* list);
// Selects the entry with the value; returns false (selection unchanged) when there is none.
bool SelectValue(QComboBox* list, int value);
// Makes an entry the chosen one as the user does, running the list's activation handlers.
void ChooseEntry(QComboBox* list, int index);

// An integer edit with up and down arrows beside it. Each arrow click moves the value by the
// step and keeps it in the range; the edit itself takes any text (checked when read).
class IntSpinEdit : public QWidget {
    Q_OBJECT
public:
    IntSpinEdit(int minimum, int maximum, int step, QWidget* parent = nullptr);
    QLineEdit* Edit() const { return edit_; }
    QToolButton* UpButton() const { return up_; }
    QToolButton* DownButton() const { return down_; }
    void SetValue(int value);
    std::optional<int> Value() const { return ParseInteger(edit_->text()); }
    void Step(int direction);

protected:
    void changeEvent(QEvent* event) override;

private:
    // Fits the edit to the range's longest number and the arrows to the edit, by the font.
    void FitToFont();

    QLineEdit* edit_;
    QToolButton* up_;
    QToolButton* down_;
    int minimum_, maximum_, step_;
};

// Shows a warning captioned "Sonavert", moves the focus and returns false, for refusals.
bool Refuse(UiHost* host, QWidget* owner, const QString& text, QWidget* focus);

// "&Amplify / Reduce sound" with its coefficient edit (10..3000 by 10).
class AmplifyGroup : public QGroupBox {
    Q_OBJECT
public:
    explicit AmplifyGroup(QWidget* parent = nullptr);
    void WriteControls(int enabled, int coefficient);
    // Validates and reads; on refusal shows the message and focuses the edit.
    bool ReadControls(UiHost* host, int& enabled, int& coefficient);

    QCheckBox* check;
    IntSpinEdit* coefficient;

private:
    void UpdateEnabling();
};

// The tag choice: radios 0 (typed texts), 1 (source tags), 2 (none) and the edit button.
class TagGroup : public QGroupBox {
    Q_OBJECT
public:
    // `m4aTexts` selects the mnemonics used on the MPEG-4 page.
    TagGroup(bool m4aTexts, QWidget* parent = nullptr);
    void SetChoice(int choice);
    int Choice() const;

    QRadioButton* radios[3];
    QPushButton* editButton;
    QButtonGroup* buttons;

signals:
    void ChoiceClicked(int choice);
    void EditClicked();

private:
    void UpdateEnabling();
};

// Runs the tag editor on a copy of the set and writes it back when accepted.
void EditTagOverrides(UiHost* host, QWidget* owner, TagOverrides& tags, bool showCopyright);

}  // namespace sonavert
