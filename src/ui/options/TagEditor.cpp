#include "ui/options/TagEditor.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QVBoxLayout>

#include <algorithm>

#include "ui/options/PageWidgets.h"
#include "tags/Genres.h"

namespace sonavert {

namespace {
QString FromStd(const std::string& s) { return QString::fromStdString(s); }
std::string ToStd(const QString& s) { return s.toStdString(); }
}  // namespace

TagEditor::TagEditor(const TagOverrides& tags, bool showCopyright, UiHost* host, QWidget* parent)
    : QDialog(parent), tags_(tags), host_(host) {
    setWindowTitle(QStringLiteral("Edit ID3 Tag"));
    setFont(DialogFont());  // children inherit it while they are built

    auto* trackLabel = new QLabel(QStringLiteral("&Track #:"), this);
    trackRadios[0] = new QRadioButton(QStringLiteral("&None"), this);
    trackRadios[1] = new QRadioButton(QStringLiteral("&Sequence number in list"), this);
    trackRadios[2] = new QRadioButton(QStringLiteral("C&ustom"), this);
    trackLabel->setBuddy(trackRadios[0]);
    trackButtons = new QButtonGroup(this);
    for (int i = 0; i < 3; ++i) trackButtons->addButton(trackRadios[i], i);
    customTrack = new IntSpinEdit(0, 255, 1, this);

    titleAsFileName = new QCheckBox(QStringLiteral("Nam&e as file name (not include extension)"), this);
    title = new QLineEdit(this);
    artist = new QLineEdit(this);
    album = new QLineEdit(this);
    year = new QLineEdit(this);
    genre = new QComboBox(this);
    genre->setEditable(true);
    genre->setInsertPolicy(QComboBox::NoInsert);
    comment = new QLineEdit(this);
    composer = new QLineEdit(this);
    copyright = new QLineEdit(this);
    copyrightLabel = new QLabel(QStringLiteral("Co&pyright:"), this);
    copyrightLabel->setBuddy(copyright);

    auto* grid = new QGridLayout;
    grid->setColumnMinimumWidth(1, 300);
    int row = 0;
    auto addRow = [&](const QString& text, QWidget* field) {
        auto* label = new QLabel(text, this);
        label->setBuddy(field);
        grid->addWidget(label, row, 0);
        grid->addWidget(field, row, 1);
        ++row;
    };
    auto* trackRow = new QHBoxLayout;
    trackRow->addWidget(trackRadios[0]);
    trackRow->addWidget(trackRadios[1]);
    trackRow->addWidget(trackRadios[2]);
    trackRow->addWidget(customTrack);
    trackRow->addStretch();
    grid->addWidget(trackLabel, row, 0);
    grid->addLayout(trackRow, row, 1);
    ++row;
    addRow(QStringLiteral("T&itle:"), title);
    grid->addWidget(titleAsFileName, row++, 1);
    addRow(QStringLiteral("&Artist:"), artist);
    addRow(QStringLiteral("Albu&m:"), album);
    addRow(QStringLiteral("&Year:"), year);
    addRow(QStringLiteral("&Genre:"), genre);
    addRow(QStringLiteral("&Comment:"), comment);
    addRow(QStringLiteral("C&omposer:"), composer);
    grid->addWidget(copyrightLabel, row, 0);
    grid->addWidget(copyright, row, 1);

    buttonBox = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttonBox, &QDialogButtonBox::accepted, this, &TagEditor::accept);
    connect(buttonBox, &QDialogButtonBox::rejected, this, &TagEditor::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addWidget(buttonBox);

    // The genre list in the order of its names, not of the table.
    QStringList names;
    for (int i = 0; i < kGenreCount; ++i) names << QString::fromUtf8(kGenreNames[i]);
    std::sort(names.begin(), names.end(),
              [](const QString& a, const QString& b) { return a.compare(b, Qt::CaseInsensitive) < 0; });
    genre->addItems(names);

    // Copy in.
    title->setText(FromStd(tags_.Title));
    artist->setText(FromStd(tags_.Artist));
    album->setText(FromStd(tags_.Album));
    year->setText(FromStd(tags_.Year));
    genre->setEditText(FromStd(tags_.Genre));
    comment->setText(FromStd(tags_.Comment));
    composer->setText(FromStd(tags_.Composer));
    copyright->setText(FromStd(tags_.Copyright));
    titleAsFileName->setChecked(tags_.TitleAsFileName != 0);
    const int trackType = tags_.TrackNumType == 1 || tags_.TrackNumType == 2 ? tags_.TrackNumType : 0;
    trackRadios[trackType]->setChecked(true);
    customTrack->SetValue(tags_.CustomTrackNum);
    copyrightLabel->setVisible(showCopyright);
    copyright->setVisible(showCopyright);
    UpdateEnabling();

    connect(titleAsFileName, &QCheckBox::clicked, this, [this](bool checked) {
        title->setEnabled(!checked);
        if (!checked) title->setFocus();
    });
    connect(trackButtons, &QButtonGroup::idClicked, this, [this](int id) {
        UpdateEnabling();
        if (id == 2) customTrack->Edit()->setFocus();
    });

    ApplyDialogFont(this);
}

void TagEditor::UpdateEnabling() {
    title->setEnabled(!titleAsFileName->isChecked());
    customTrack->setEnabled(trackButtons->checkedId() == 2);
}

void TagEditor::accept() {
    const int trackType = std::max(trackButtons->checkedId(), 0);
    int customNumber = tags_.CustomTrackNum;
    const std::optional<int> typed = customTrack->Value();
    if (typed && *typed >= 0 && *typed <= 255) {
        customNumber = *typed;
    } else if (trackType == 2) {
        Refuse(host_, this, QStringLiteral("Please enter an integer between 0 and 255."), customTrack->Edit());
        return;
    }
    tags_.Title = ToStd(title->text());
    tags_.Artist = ToStd(artist->text());
    tags_.Album = ToStd(album->text());
    tags_.Year = ToStd(year->text());
    tags_.Genre = ToStd(genre->currentText());
    tags_.Comment = ToStd(comment->text());
    tags_.Composer = ToStd(composer->text());
    tags_.Copyright = ToStd(copyright->text());
    tags_.TitleAsFileName = titleAsFileName->isChecked() ? 1 : 0;
    tags_.TrackNumType = trackType;
    tags_.CustomTrackNum = customNumber;
    QDialog::accept();
}

}  // namespace sonavert
