#include <algorithm>

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include "base/PathHelpers.h"
#include "engine/Batch.h"
#include "engine/LibraryNaming.h"
#include "ui/options/OptionPages.h"

namespace sonavert {

OptionPage::OptionPage(const QString& caption, UiHost* host, QWidget* parent)
    : QWidget(parent), host_(host), caption_(caption) {}

void OptionPage::EnsureInitialised() {
    if (initialised_) return;
    initialised_ = true;
    InitControls();
}

bool OptionPage::Refuse(const QString& text, QWidget* focus) {
    failureFocus_ = focus;
    return sonavert::Refuse(host_, this, text, focus);
}

namespace {

// "{title}, {artist}, ...": the fields a name pattern may use.
std::string FieldList() {
    std::string list;
    for (const std::string& name : PatternFieldNames()) list += (list.empty() ? "{" : ", {") + name + "}";
    return list;
}

}  // namespace

int ChannelsToRadio(int channels) { return channels == 2 ? 0 : channels == 1 ? 1 : 2; }
int RadioToChannels(int radio) { return radio == 0 ? 2 : radio == 1 ? 1 : 0; }

GeneralPage::GeneralPage(UiHost* host, QWidget* parent) : OptionPage(QStringLiteral("General"), host, parent) {
    // Output.
    auto* output = new QGroupBox(QStringLiteral("Output"), this);
    outputFolder = NewList(output, 18);
    customFolder = new QLineEdit(output);
    browse = new QPushButton(QStringLiteral("Bro&wse"), output);
    open = new QPushButton(QStringLiteral("O&pen"), output);
    createDirs = new QCheckBox(QStringLiteral("&Create folders according to path of original file"), output);
    createDirsExample = new QLabel(
        QStringLiteral("For example: original file is \"/home/user/Music/pop/1.mp3\" and output folder is "
                       "\"/home/user/Output\". If the option is checked, the output folder will be "
                       "\"/home/user/Output/home/user/Music/pop\"."),
        output);
    createDirsExample->setWordWrap(true);
    keepTree = new QCheckBox(QStringLiteral("&Keep the folders below the folder a file was added through"), output);
    namePattern = new QLineEdit(output);
    namePattern->setPlaceholderText(QStringLiteral("{albumartist|artist}/{album}/{disc|1}-{track:02} {title}"));
    namePreview = new QLabel(output);
    namePreview->setWordWrap(true);
    namePreview->setTextFormat(Qt::PlainText);
    targetExists = NewList(output, 38);
    documentsFallback = new QCheckBox(QStringLiteral("Output files to the &Documents folder if creating file failure"), output);
    browseWhenDone = new QCheckBox(QStringLiteral("&Browse output folder when conversion completes"), output);

    auto* folderLabel = new QLabel(QStringLiteral("&Output folder:"), output);
    folderLabel->setBuddy(outputFolder);
    auto* customLabel = new QLabel(QStringLiteral("Custom &folder:"), output);
    customLabel->setBuddy(customFolder);
    auto* existsLabel = new QLabel(QStringLiteral("If target file &exists"), output);
    existsLabel->setBuddy(targetExists);
    auto* patternLabel = new QLabel(QStringLiteral("Name &targets:"), output);
    patternLabel->setBuddy(namePattern);

    auto* og = new QGridLayout(output);
    og->addWidget(folderLabel, 0, 0);
    og->addWidget(outputFolder, 0, 1, 1, 3, Qt::AlignLeft);
    og->addWidget(customLabel, 1, 0);
    og->addWidget(customFolder, 1, 1);
    og->addWidget(browse, 1, 2);
    og->addWidget(open, 1, 3);
    og->addWidget(createDirs, 2, 1, 1, 3);
    auto* exampleRow = new QHBoxLayout;
    exampleRow->addSpacing(18);
    exampleRow->addWidget(createDirsExample);
    og->addLayout(exampleRow, 3, 1, 1, 3);
    og->addWidget(keepTree, 4, 1, 1, 3);
    og->addWidget(patternLabel, 5, 0);
    og->addWidget(namePattern, 5, 1, 1, 3);
    og->addWidget(namePreview, 6, 1, 1, 3);
    og->addWidget(existsLabel, 7, 0);
    og->addWidget(targetExists, 7, 1, 1, 3, Qt::AlignLeft);
    og->addWidget(documentsFallback, 8, 0, 1, 4);
    og->addWidget(browseWhenDone, 9, 0, 1, 4);
    og->setColumnStretch(1, 1);

    // General.
    auto* general = new QGroupBox(QStringLiteral("General"), this);
    auto* monoText = new QLabel(
        QStringLiteral("When converting to audio format, e.g. MP3, WAV, WMA, etc., if output channel is mono and "
                       "original file is stereo, output sound equals to:"),
        general);
    monoText->setWordWrap(true);
    monoRadios[0] = new QRadioButton(QStringLiteral("(L+R) / &2"), general);
    monoRadios[1] = new QRadioButton(QStringLiteral("&L channel"), general);
    monoRadios[2] = new QRadioButton(QStringLiteral("&R channel"), general);
    auto* monoGroup = new QButtonGroup(this);
    for (int i = 0; i < 3; ++i) monoGroup->addButton(monoRadios[i], i);
    monoHelp = new QPushButton(QStringLiteral("?"), general);
    KeepSmallButtonWidth(monoHelp);
    filterEnabled = new QCheckBox(
        QStringLiteral("O&nly add the following file extensions for \"Add Folder\" and Drag/Drop"), general);
    filterText = new QLineEdit(general);
    auto* note = new QLabel(QStringLiteral("Note: use comma (,) to separate multiple extensions. For example: wav,mp3,m4a,aac"),
                            general);
    note->setWordWrap(true);

    parallelJobs = new QSpinBox(general);
    parallelJobs->setRange(0, 32);
    parallelJobs->setSpecialValueText(QStringLiteral("Automatic"));
    KeepSpinBoxWidth(parallelJobs);
    auto* jobsLabel = new QLabel(QStringLiteral("Con&vert up to"), general);
    jobsLabel->setBuddy(parallelJobs);
    auto* jobsUnit = new QLabel(QStringLiteral("files at once"), general);

    verifyTargets = new QComboBox(general);
    auto* verifyLabel = new QLabel(QStringLiteral("Verif&y targets"), general);
    verifyLabel->setBuddy(verifyTargets);

    auto* gl = new QVBoxLayout(general);
    gl->addWidget(monoText);
    auto* monoRow = new QHBoxLayout;
    monoRow->addSpacing(18);
    for (QRadioButton* r : monoRadios) monoRow->addWidget(r);
    monoRow->addWidget(monoHelp);
    monoRow->addStretch();
    gl->addLayout(monoRow);
    gl->addSpacing(6);
    gl->addWidget(filterEnabled);
    auto* filterRow = new QVBoxLayout;
    filterRow->setContentsMargins(18, 0, 0, 0);
    filterRow->addWidget(filterText);
    filterRow->addWidget(note);
    gl->addLayout(filterRow);
    gl->addSpacing(6);
    auto* jobsRow = new QHBoxLayout;
    jobsRow->addWidget(jobsLabel);
    jobsRow->addWidget(parallelJobs);
    jobsRow->addWidget(jobsUnit);
    jobsRow->addStretch();
    gl->addLayout(jobsRow);
    auto* verifyRow = new QHBoxLayout;
    verifyRow->addWidget(verifyLabel);
    verifyRow->addWidget(verifyTargets);
    verifyRow->addStretch();
    gl->addLayout(verifyRow);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(output);
    layout->addWidget(general);
    layout->addStretch();

    connect(outputFolder, &QComboBox::activated, this, [this] {
        UpdateFolderEnabling();
        UpdatePreview();
    });
    // The preview follows every change that moves a target.
    connect(namePattern, &QLineEdit::textChanged, this, [this] { UpdatePreview(); });
    connect(customFolder, &QLineEdit::textChanged, this, [this] { UpdatePreview(); });
    connect(keepTree, &QCheckBox::toggled, this, [this] { UpdatePreview(); });
    connect(createDirs, &QCheckBox::toggled, this, [this] { UpdatePreview(); });
    connect(browse, &QPushButton::clicked, this, [this] {
        ReadPlainControls();
        std::string start = destFolder_.toStdString();
        std::string chosen;
        if (BrowseForFolder(this, QStringLiteral("Please choose an output folder:"), start, false, chosen, 4096,
                            host_))
            customFolder->setText(QString::fromStdString(chosen));
    });
    connect(open, &QPushButton::clicked, this, [this] {
        ReadPlainControls();
        if (DirectoryExists(destFolder_.toStdString())) {
            WaitCursor wait;
            (host_ ? *host_ : SystemUiHost()).OpenDocument(destFolder_, kShowNormal);
        } else {
            ShowMessage(host_, this,
                        QStringLiteral("The folder \"%1\" doesn't exist yet.\n\nNote: the program will create the "
                                       "folder automatically when converting files.")
                            .arg(destFolder_),
                        MessageIcon::Warning);
        }
    });
    connect(monoHelp, &QPushButton::clicked, this, [this] {
        ShowMessage(host_, this,
                    QStringLiteral(
                        "In general, the output sound equals to \"(L+R)/2,\" which contains left and right "
                        "channels.\n\n\"L channel\" means the program outputs left channel of original stereo file. "
                        "And \"R channel\" means right channel. It's very useful when you want to convert a stereo "
                        "file into two files that contains left and right channels distinguishingly."),
                    MessageIcon::Information);
    });
    connect(filterEnabled, &QCheckBox::clicked, this, [this](bool checked) {
        filterText->setEnabled(checked);
        if (checked) filterText->setFocus();
    });
}

void GeneralPage::CopyIn(const Settings& s) {
    destOpt_ = s.DestOutputFolderOpt;
    destFolder_ = QString::fromStdString(s.DestSpecifiedFolder);
    createDirs_ = s.CreateDirs;
    targetExists_ = s.TargetExistsOpt;
    documents_ = s.OutputFiles2MyDocuments;
    browseDone_ = s.BrowseOutputFolder;
    monoType_ = s.MonoType;
    filterOn_ = s.EnableExtFilter;
    filterExts_ = QString::fromStdString(s.FilterExts);
    parallelJobs_ = s.ParallelJobs;
    verifyTargets_ = s.VerifyTargets;
    keepTree_ = s.KeepAddedFolderTree;
    namePattern_ = QString::fromStdString(s.TargetNamePattern);
}

void GeneralPage::CopyOut(Settings& s) const {
    s.DestOutputFolderOpt = destOpt_;
    s.DestSpecifiedFolder = destFolder_.toStdString();
    s.CreateDirs = createDirs_;
    s.TargetExistsOpt = targetExists_;
    s.OutputFiles2MyDocuments = documents_;
    s.BrowseOutputFolder = browseDone_;
    s.MonoType = monoType_;
    s.EnableExtFilter = filterOn_;
    s.FilterExts = filterExts_.toStdString();
    s.ParallelJobs = parallelJobs_;
    s.VerifyTargets = verifyTargets_;
    s.KeepAddedFolderTree = keepTree_;
    s.TargetNamePattern = namePattern_.toStdString();
}

void GeneralPage::SetPreviewRows(std::vector<PreviewRow> rows, int outputFormat) {
    previewRows_ = std::move(rows);
    previewFormat_ = outputFormat;
}

void GeneralPage::UpdatePreview() {
    NamePattern pattern;
    std::string error;
    if (!ParseNamePattern(namePattern->text().toStdString(), pattern, error)) {
        namePreview->setText(QStringLiteral("This pattern cannot be used: %1. Fields: %2.")
                                 .arg(QString::fromStdString(error), QString::fromStdString(FieldList())));
        return;
    }
    Settings settings;
    settings.DestOutputFolderOpt = ChosenValue(outputFolder).value_or(destOpt_);
    settings.DestSpecifiedFolder = customFolder->text().toStdString();
    settings.CreateDirs = createDirs->isChecked() ? 1 : 0;
    settings.KeepAddedFolderTree = keepTree->isChecked() ? 1 : 0;
    settings.TargetNamePattern = namePattern->text().toStdString();
    QString text;
    for (const PreviewRow& row : previewRows_) {
        const std::string target = PreviewTargetPath(row.sourcePath, row.rootFolder, previewFormat_, settings);
        text += (text.isEmpty() ? QString() : QStringLiteral("\n")) + QString::fromStdString(target);
    }
    if (text.isEmpty())
        text = QStringLiteral("Fields: %1. A file without tags keeps its own name.").arg(QString::fromStdString(FieldList()));
    namePreview->setText(text);
}

void GeneralPage::InitControls() {
    AddListItem(outputFolder, QStringLiteral("Same as original file"), kDestBesideSource);
    AddListItem(outputFolder, QStringLiteral("A custom folder"), kDestCustomFolder);
    AddListItem(targetExists, QStringLiteral("Auto rename (add number at end of file name)"), kTargetRename);
    AddListItem(targetExists, QStringLiteral("Overwrite"), kTargetOverwrite);
    AddListItem(targetExists, QStringLiteral("Skip (not convert)"), kTargetSkip);
    AddListItem(targetExists, QStringLiteral("Update (convert only when the source is newer)"), kTargetUpdate);
    if (!SelectValue(outputFolder, destOpt_)) {
        outputFolder->setCurrentIndex(0);
        destOpt_ = kDestBesideSource;
    }
    if (!SelectValue(targetExists, targetExists_)) {
        targetExists->setCurrentIndex(0);
        targetExists_ = kTargetRename;
    }
    AddListItem(verifyTargets, QStringLiteral("Never"), 0);
    AddListItem(verifyTargets, QStringLiteral("Lossless formats (decode back, bit-exact)"), 1);
    AddListItem(verifyTargets, QStringLiteral("Every format (decode back and compare)"), 2);
    WriteControls();
}

void GeneralPage::WriteControls() {
    SelectValue(outputFolder, destOpt_);
    SelectValue(targetExists, targetExists_);
    customFolder->setText(destFolder_);
    createDirs->setChecked(createDirs_ != 0);
    documentsFallback->setChecked(documents_ != 0);
    browseWhenDone->setChecked(browseDone_ != 0);
    // A mono rule outside 0..2 shows no radio; it is kept until one is chosen.
    for (int i = 0; i < 3; ++i) monoRadios[i]->setChecked(i == monoType_);
    filterEnabled->setChecked(filterOn_ != 0);
    filterText->setText(filterExts_);
    filterText->setEnabled(filterOn_ != 0);
    // A stored count outside 0..32 shows the nearest the box offers; it is kept until changed.
    parallelJobs->setValue(std::clamp(parallelJobs_, 0, 32));
    // A stored value outside 0..2 shows no choice; it is kept until one is made.
    if (!SelectValue(verifyTargets, verifyTargets_)) verifyTargets->setCurrentIndex(-1);
    keepTree->setChecked(keepTree_ != 0);
    namePattern->setText(namePattern_);
    UpdateFolderEnabling();
    UpdatePreview();
}

void GeneralPage::UpdateFolderEnabling() {
    const bool custom = ChosenValue(outputFolder) == kDestCustomFolder;
    for (QWidget* w : std::initializer_list<QWidget*>{customFolder, browse, open, createDirs, createDirsExample, keepTree})
        w->setEnabled(custom);
}

void GeneralPage::ReadPlainControls() {
    destFolder_ = customFolder->text();
    createDirs_ = createDirs->isChecked() ? 1 : 0;
    documents_ = documentsFallback->isChecked() ? 1 : 0;
    browseDone_ = browseWhenDone->isChecked() ? 1 : 0;
    for (int i = 0; i < 3; ++i)
        if (monoRadios[i]->isChecked()) monoType_ = i;
    filterOn_ = filterEnabled->isChecked() ? 1 : 0;
    filterExts_ = filterText->text();
    if (parallelJobs->value() != std::clamp(parallelJobs_, 0, 32)) parallelJobs_ = parallelJobs->value();
    verifyTargets_ = ChosenValue(verifyTargets).value_or(verifyTargets_);
    keepTree_ = keepTree->isChecked() ? 1 : 0;
    namePattern_ = namePattern->text();
}

bool GeneralPage::ReadControls() {
    ReadPlainControls();
    destOpt_ = ChosenValue(outputFolder).value_or(destOpt_);
    if (destOpt_ == kDestCustomFolder && destFolder_.isEmpty())
        return Refuse(QStringLiteral("Please choose an output folder."), customFolder);
    filterExts_.remove(QLatin1Char(' '));
    filterExts_.remove(QLatin1Char('\t'));
    filterExts_.replace(QLatin1Char(';'), QLatin1Char(','));
    filterText->setText(filterExts_);
    if (filterOn_ && filterExts_.isEmpty())
        return Refuse(QStringLiteral("Please enter file extensions you need to filter."), filterText);
    targetExists_ = ChosenValue(targetExists).value_or(targetExists_);
    NamePattern pattern;
    std::string error;
    if (!ParseNamePattern(namePattern_.toStdString(), pattern, error))
        return Refuse(QStringLiteral("The name pattern cannot be used: %1.").arg(QString::fromStdString(error)),
                      namePattern);
    return true;
}

}  // namespace sonavert
