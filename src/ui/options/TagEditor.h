#pragma once
// The "Edit ID3 Tag" dialog: edits a copy of one TagOverrides set.
#include <QDialog>

#include "settings/Settings.h"
#include "ui/Shell.h"

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QDialogButtonBox;
class QLabel;
class QLineEdit;
class QRadioButton;

namespace sonavert {

class IntSpinEdit;

class TagEditor : public QDialog {
    Q_OBJECT
public:
    TagEditor(const TagOverrides& tags, bool showCopyright, UiHost* host = nullptr, QWidget* parent = nullptr);

    // The edited set (the copy given, updated when OK was accepted).
    const TagOverrides& Result() const { return tags_; }

    void accept() override;

    QRadioButton* trackRadios[3];
    QButtonGroup* trackButtons;
    IntSpinEdit* customTrack;
    QCheckBox* titleAsFileName;
    QLineEdit* title;
    QLineEdit* artist;
    QLineEdit* album;
    QLineEdit* year;
    QComboBox* genre;
    QLineEdit* comment;
    QLineEdit* composer;
    QLabel* copyrightLabel;
    QLineEdit* copyright;
    QDialogButtonBox* buttonBox;

private:
    void UpdateEnabling();

    TagOverrides tags_;
    UiHost* host_;
};

}  // namespace sonavert
