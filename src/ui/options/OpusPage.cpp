// The Opus page.
#include <QButtonGroup>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QRadioButton>
#include <QVBoxLayout>

#include "settings/SettingRanges.h"
#include "ui/options/OptionPages.h"

namespace sonavert {

namespace {
// The bounds of the bit-rate edit, from the one table of allowed values.
SettingRange OpusBitRates() { return AcceptedRange("OPUSBitRate"); }
}  // namespace

OpusPage::OpusPage(UiHost* host, QWidget* parent) : OptionPage(QStringLiteral("Opus Options"), host, parent) {
    auto* group = new QGroupBox(QStringLiteral("Encoding"), this);
    const SettingRange range = OpusBitRates();
    bitRate = new IntSpinEdit(range.min, range.max, 8, group);
    auto* bitRateLabel = new QLabel(QStringLiteral("&Bit Rate:"), group);
    bitRateLabel->setBuddy(bitRate->Edit());
    auto* bitRateNote = new QLabel(
        QStringLiteral("kbps for stereo (Default: 128. From %1 to %2; mono takes half, more channels their share)")
            .arg(range.min)
            .arg(range.max),
        group);
    bitRateNote->setWordWrap(true);

    modeRadios[0] = new QRadioButton(QStringLiteral("&Variable"), group);
    modeRadios[1] = new QRadioButton(QStringLiteral("C&onstrained variable"), group);
    modeRadios[2] = new QRadioButton(QStringLiteral("Con&stant"), group);
    auto* modeButtons = new QButtonGroup(this);
    auto* modeRow = new QHBoxLayout;
    for (int i = 0; i < 3; ++i) {
        modeButtons->addButton(modeRadios[i], i);
        modeRow->addWidget(modeRadios[i]);
    }
    modeRow->addStretch();

    applicationRadios[0] = new QRadioButton(QStringLiteral("&Music and general audio"), group);
    applicationRadios[1] = new QRadioButton(QStringLiteral("Voic&e"), group);
    auto* applicationButtons = new QButtonGroup(this);
    auto* applicationRow = new QHBoxLayout;
    for (int i = 0; i < 2; ++i) {
        applicationButtons->addButton(applicationRadios[i], i);
        applicationRow->addWidget(applicationRadios[i]);
    }
    applicationRow->addStretch();

    auto* grid = new QGridLayout(group);
    grid->addWidget(bitRateLabel, 0, 0);
    auto* bitRateRow = new QHBoxLayout;
    bitRateRow->addWidget(bitRate);
    bitRateRow->addWidget(bitRateNote, 1);
    grid->addLayout(bitRateRow, 0, 1);
    grid->addWidget(new QLabel(QStringLiteral("Bit Rate Mode:"), group), 1, 0);
    grid->addLayout(modeRow, 1, 1);
    grid->addWidget(new QLabel(QStringLiteral("Tuned for:"), group), 2, 0);
    grid->addLayout(applicationRow, 2, 1);
    grid->addWidget(new QLabel(QStringLiteral("Opus always codes at 48000 Hz; the source's rate is recorded in the "
                                              "file, and its channels are kept."),
                               group),
                    3, 0, 1, 2);
    grid->setColumnStretch(1, 1);

    tags = new TagGroup(false, this);
    amplify = new AmplifyGroup(this);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(group);
    layout->addWidget(tags);
    layout->addWidget(amplify);
    layout->addStretch();
    connect(tags, &TagGroup::EditClicked, this, [this] { EditTagOverrides(host_, this, tagSet_, true); });
}

void OpusPage::CopyIn(const Settings& s) {
    bitRate_ = s.OPUSBitRate;
    mode_ = s.OPUSBitRateMode;
    application_ = s.OPUSApplication;
    tagType_ = s.OPUSID3TagType;
    tagSet_ = s.OPUSTag;
    amplifyOn_ = s.AmplifyOPUS;
    amplifyCoeff_ = s.AmplifyOPUSCoeff;
}

void OpusPage::CopyOut(Settings& s) const {
    s.OPUSBitRate = bitRate_;
    s.OPUSBitRateMode = mode_;
    s.OPUSApplication = application_;
    s.OPUSID3TagType = tagType_;
    s.OPUSTag = tagSet_;
    s.AmplifyOPUS = amplifyOn_;
    s.AmplifyOPUSCoeff = amplifyCoeff_;
}

void OpusPage::InitControls() {
    amplify->WriteControls(amplifyOn_, amplifyCoeff_);
    WriteControls();
}

void OpusPage::WriteControls() {
    bitRate->SetValue(bitRate_);
    for (int i = 0; i < 3; ++i) modeRadios[i]->setChecked(i == mode_);
    for (int i = 0; i < 2; ++i) applicationRadios[i]->setChecked(i == application_);
    tags->SetChoice(tagType_);
}

bool OpusPage::ReadControls() {
    const SettingRange range = OpusBitRates();
    const std::optional<int> typed = bitRate->Value();
    if (!typed) return Refuse(QStringLiteral("Please enter an integer."), bitRate->Edit());
    if (!range.Accepts(*typed))
        return Refuse(QStringLiteral("Invalid bit rate. It's between %1 and %2 kbps.").arg(range.min).arg(range.max),
                      bitRate->Edit());
    if (!amplify->ReadControls(host_, amplifyOn_, amplifyCoeff_)) return FailedAt(amplify->coefficient->Edit());
    bitRate_ = *typed;
    for (int i = 0; i < 3; ++i)
        if (modeRadios[i]->isChecked()) mode_ = i;
    for (int i = 0; i < 2; ++i)
        if (applicationRadios[i]->isChecked()) application_ = i;
    if (tags->Choice() >= 0) tagType_ = tags->Choice();
    return true;
}

}  // namespace sonavert
