// The WMA/WMV/ASF, AMR/AWB, AAC, MPEG-4 container, FLAC and ALAC pages.
#include <algorithm>
#include <cmath>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "settings/SettingRanges.h"
#include "ui/options/OptionPages.h"

namespace sonavert {

namespace {
const std::vector<int>& kAacBitRates = AacBitRates();
constexpr int kWmaAutoItem = -1;
constexpr int kDefaultModeEntry = 4;

void SelectModeOrDefault(QComboBox* list, int mode) {
    if (!SelectValue(list, mode)) list->setCurrentIndex(kDefaultModeEntry);
}
}  // namespace

// ---- WMA ----

WmaPage::WmaPage(WmaFormatProvider provider, UiHost* host, QWidget* parent)
    : OptionPage(QStringLiteral("WMA/WMV/ASF Options"), host, parent), provider_(std::move(provider)) {
    auto* group = new QGroupBox(QStringLiteral("Encoding"), this);
    formatList = NewList(group, 28);
    auto* label = new QLabel(QStringLiteral("&Encoding Options: (Sample Frequency, Bit Rate, Channels)"), group);
    label->setBuddy(formatList);
    auto* gl = new QVBoxLayout(group);
    gl->addWidget(label);
    gl->addWidget(formatList, 0, Qt::AlignLeft);
    tags = new TagGroup(false, this);
    amplify = new AmplifyGroup(this);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(group);
    layout->addWidget(tags);
    layout->addWidget(amplify);
    layout->addStretch();
    connect(tags, &TagGroup::EditClicked, this, [this] { EditTagOverrides(host_, this, tagSet_, true); });
}

void WmaPage::CopyIn(const Settings& s) {
    auto_ = s.AutoDestWMAEncodingParam;
    rate_ = s.WMASampleRate;
    bitRate_ = s.WMABitRate;
    channels_ = s.WMAChannels;
    tagType_ = s.WMAID3TagType;
    amplifyOn_ = s.AmplifyWMA;
    amplifyCoeff_ = s.AmplifyWMACoeff;
    tagSet_ = s.WMATag;
}

void WmaPage::CopyOut(Settings& s) const {
    s.AutoDestWMAEncodingParam = auto_ ? 1 : 0;
    if (!auto_) {
        s.WMASampleRate = rate_;
        s.WMABitRate = bitRate_;
        s.WMAChannels = channels_;
    }
    s.WMAID3TagType = tagType_;
    s.AmplifyWMA = amplifyOn_;
    s.AmplifyWMACoeff = amplifyCoeff_;
    s.WMATag = tagSet_;
}

void WmaPage::InitControls() {
    AddListItem(formatList, QStringLiteral("Auto"), kWmaAutoItem);
    int selected = auto_ ? 0 : -1;
    formats_.clear();
    if (provider_ && !provider_(formats_)) formats_.clear();
    for (std::size_t i = 0; i < formats_.size(); ++i) {
        const WmaFormatEntry& f = formats_[i];
        if (f.bitRate < 1000) continue;
        AddListItem(formatList,
                    QStringLiteral("%1 Hz, %2 kbps, %3")
                        .arg(f.sampleRate)
                        .arg(f.bitRate / 1000)
                        .arg(f.channels == 1 ? QStringLiteral("Mono") : QStringLiteral("Stereo")),
                    static_cast<int>(i));
        if (!auto_ && f.sampleRate == rate_ && f.bitRate / 1000 == bitRate_ / 1000 && f.channels == channels_)
            selected = formatList->count() - 1;
    }
    formatList->setCurrentIndex(selected);
    WriteControls();
}

void WmaPage::WriteControls() {
    tags->SetChoice(tagType_);
    amplify->WriteControls(amplifyOn_, amplifyCoeff_);
}

bool WmaPage::ReadControls() {
    if (!amplify->ReadControls(host_, amplifyOn_, amplifyCoeff_)) return FailedAt(amplify->coefficient->Edit());
    if (tags->Choice() >= 0) tagType_ = tags->Choice();
    // With no entry chosen (no stored format is offered) every value stays as it was.
    if (const std::optional<int> item = ChosenValue(formatList)) {
        if (*item == kWmaAutoItem) {
            auto_ = 1;
        } else if (*item >= 0 && *item < static_cast<int>(formats_.size())) {
            const WmaFormatEntry& f = formats_[*item];
            auto_ = 0;
            rate_ = f.sampleRate;
            bitRate_ = f.bitRate;
            channels_ = f.channels;
        }
    }
    return true;
}

// ---- AMR ----

AmrPage::AmrPage(UiHost* host, QWidget* parent) : OptionPage(QStringLiteral("AMR/AWB Options"), host, parent) {
    auto* amrGroup = new QGroupBox(QStringLiteral("AMR Encoding Parameters"), this);
    nbRadio = new QRadioButton(QStringLiteral("NB (Narrow Band, 8000 Hz)"), amrGroup);
    wbRadio = new QRadioButton(QStringLiteral("WB (Wide Band, 16000 Hz)"), amrGroup);
    auto* typeButtons = new QButtonGroup(this);
    typeButtons->addButton(nbRadio, 0);
    typeButtons->addButton(wbRadio, 1);
    nbList = NewList(amrGroup, 10);
    wbList = NewList(amrGroup, 10);
    amrDtx = new QCheckBox(QStringLiteral("&Enable DTX (Discontinuous Transmission)"), amrGroup);
    auto* nbLabel = new QLabel(QStringLiteral("&Bit Rate:"), amrGroup);
    nbLabel->setBuddy(nbList);
    auto* wbLabel = new QLabel(QStringLiteral("&Bit Rate:"), amrGroup);
    wbLabel->setBuddy(wbList);
    auto* ag = new QGridLayout(amrGroup);
    ag->addWidget(nbRadio, 0, 0);
    ag->addWidget(nbLabel, 0, 1);
    ag->addWidget(nbList, 0, 2);
    ag->addWidget(wbRadio, 1, 0);
    ag->addWidget(wbLabel, 1, 1);
    ag->addWidget(wbList, 1, 2);
    ag->addWidget(amrDtx, 2, 0, 1, 3);
    ag->setColumnStretch(3, 1);

    auto* awbGroup = new QGroupBox(QStringLiteral("AWB Encoding Parameters"), this);
    awbList = NewList(awbGroup, 10);
    awbDtx = new QCheckBox(QStringLiteral("&Enable DTX (Discontinuous Transmission)"), awbGroup);
    auto* awbLabel = new QLabel(QStringLiteral("&Bit Rate:"), awbGroup);
    awbLabel->setBuddy(awbList);
    auto* wg = new QGridLayout(awbGroup);
    wg->addWidget(new QLabel(QStringLiteral("Sample Frequency: 16000 Hz"), awbGroup), 0, 0, 1, 2);
    wg->addWidget(awbLabel, 1, 0);
    wg->addWidget(awbList, 1, 1);
    wg->addWidget(awbDtx, 2, 0, 1, 2);
    wg->setColumnStretch(2, 1);

    amplify = new AmplifyGroup(this);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(amrGroup);
    layout->addWidget(awbGroup);
    layout->addWidget(amplify);
    layout->addStretch();
    connect(typeButtons, &QButtonGroup::idClicked, this, [this] { UpdateEnabling(); });
}

void AmrPage::CopyIn(const Settings& s) {
    type_ = s.AMRType;
    nbMode_ = s.AMRMode;
    wbMode_ = s.AMRWBMode;
    amrDtx_ = s.AMRDTX;
    awbMode_ = s.AWBMode;
    awbDtx_ = s.AWBDTX;
    amplifyOn_ = s.AmplifyAMR;
    amplifyCoeff_ = s.AmplifyAMRCoef;
}

void AmrPage::CopyOut(Settings& s) const {
    s.AMRType = type_;
    s.AMRMode = nbMode_;
    s.AMRWBMode = wbMode_;
    s.AMRDTX = amrDtx_;
    s.AWBMode = awbMode_;
    s.AWBDTX = awbDtx_;
    s.AmplifyAMR = amplifyOn_;
    s.AmplifyAMRCoef = amplifyCoeff_;
}

void AmrPage::InitControls() {
    static const char* const kNarrow[] = {"4.75 kbps", "5.15kbps", "5.9 kbps", "6.7 kbps",
                                          "7.4 kbps",  "7.95 kbps", "10.2 kbps", "12.2 kbps"};
    static const char* const kWide[] = {"6.60", "8.85", "12.65", "14.25", "15.85", "18.25", "19.85", "23.05", "23.85"};
    for (int i = 0; i < 8; ++i) AddListItem(nbList, QString::fromLatin1(kNarrow[i]), i);
    for (int i = 0; i < 9; ++i) {
        const QString text = QString::fromLatin1(kWide[i]) + QStringLiteral(" kbps");
        AddListItem(wbList, text, i);
        AddListItem(awbList, text, i);
    }
    SelectModeOrDefault(nbList, nbMode_);
    SelectModeOrDefault(wbList, wbMode_);
    SelectModeOrDefault(awbList, awbMode_);
    WriteControls();
}

void AmrPage::WriteControls() {
    nbRadio->setChecked(type_ == 0);
    wbRadio->setChecked(type_ == 1);
    amrDtx->setChecked(amrDtx_ != 0);
    awbDtx->setChecked(awbDtx_ != 0);
    amplify->WriteControls(amplifyOn_, amplifyCoeff_);
    UpdateEnabling();
}

void AmrPage::UpdateEnabling() {
    // A stored type that is neither radio leaves both lists usable.
    nbList->setEnabled(!wbRadio->isChecked());
    wbList->setEnabled(!nbRadio->isChecked());
}

bool AmrPage::ReadControls() {
    if (!amplify->ReadControls(host_, amplifyOn_, amplifyCoeff_)) return FailedAt(amplify->coefficient->Edit());
    if (nbRadio->isChecked()) type_ = 0;
    if (wbRadio->isChecked()) type_ = 1;
    amrDtx_ = amrDtx->isChecked() ? 1 : 0;
    awbDtx_ = awbDtx->isChecked() ? 1 : 0;
    nbMode_ = ChosenValue(nbList).value_or(nbMode_);
    wbMode_ = ChosenValue(wbList).value_or(wbMode_);
    awbMode_ = ChosenValue(awbList).value_or(awbMode_);
    return true;
}

// ---- AAC and MPEG-4 ----

AacPage::AacPage(bool mpeg4Container, UiHost* host, QWidget* parent)
    : OptionPage(mpeg4Container ? QStringLiteral("MP4/M4A/M4B/M4R Options") : QStringLiteral("AAC Options"), host,
                 parent),
      container_(mpeg4Container) {
    autoCheck = new QCheckBox(QStringLiteral("A&uto (let the program choose the best parameters)"), this);
    auto* group = new QGroupBox(QStringLiteral("Encoding"), this);
    abrRadio = new QRadioButton(QStringLiteral("Average &Bit Rate (ABR)"), group);
    vbrRadio = new QRadioButton(QStringLiteral("&Variable Bit Rate (VBR)"), group);
    auto* rateButtons = new QButtonGroup(this);
    rateButtons->addButton(abrRadio, 0);
    rateButtons->addButton(vbrRadio, 1);
    bitRateList = NewList(group, 18);
    auto* bitRateLabel = new QLabel(QStringLiteral("Bit &Rate:"), group);
    bitRateLabel->setBuddy(bitRateList);
    quality = new IntSpinEdit(10, 500, 10, group);
    auto* qualityLabel = new QLabel(QStringLiteral("&Quality:"), group);
    qualityLabel->setBuddy(quality->Edit());
    auto* qualityNote = new QLabel(QStringLiteral("(Default: 100. From 10 to 500)"), group);

    auto* eg = new QGridLayout(group);
    eg->addWidget(abrRadio, 0, 0);
    eg->addWidget(bitRateLabel, 0, 1);
    eg->addWidget(bitRateList, 0, 2, Qt::AlignLeft);
    eg->addWidget(vbrRadio, 1, 0);
    eg->addWidget(qualityLabel, 1, 1);
    auto* qualityRow = new QHBoxLayout;
    qualityRow->addWidget(quality);
    qualityRow->addWidget(qualityNote);
    qualityRow->addStretch();
    eg->addLayout(qualityRow, 1, 2);
    eg->setColumnStretch(2, 1);

    auto* advanced = new QGroupBox(QStringLiteral("Advanced Options"), group);
    tns = new QCheckBox(QStringLiteral("Use &Temporal Noise Shaping (TNS)"), advanced);
    midSide = new QCheckBox(QStringLiteral("Allow &Mid/Side"), advanced);
    auto* advancedLayout = new QGridLayout(advanced);
    advancedLayout->addWidget(tns, 0, 0, 1, 4);
    advancedLayout->addWidget(midSide, 1, 0, 1, 4);
    int row = 2;
    if (!container_) {
        mpegRadios[0] = new QRadioButton(QStringLiteral("MPEG&4"), advanced);
        mpegRadios[1] = new QRadioButton(QStringLiteral("MPEG&2"), advanced);
        auto* mpegButtons = new QButtonGroup(this);
        mpegButtons->addButton(mpegRadios[0], 0);
        mpegButtons->addButton(mpegRadios[1], 1);
        advancedLayout->addWidget(new QLabel(QStringLiteral("MPEG Version:"), advanced), row, 0);
        advancedLayout->addWidget(mpegRadios[0], row, 1);
        advancedLayout->addWidget(mpegRadios[1], row, 2);
        ++row;
    }
    blockRadios[0] = new QRadioButton(QStringLiteral("B&oth long and short"), advanced);
    blockRadios[1] = new QRadioButton(QStringLiteral("No &short"), advanced);
    blockRadios[2] = new QRadioButton(QStringLiteral("&No long"), advanced);
    auto* blockButtons = new QButtonGroup(this);
    advancedLayout->addWidget(new QLabel(QStringLiteral("Block Type:"), advanced), row, 0);
    for (int i = 0; i < 3; ++i) {
        blockButtons->addButton(blockRadios[i], i);
        advancedLayout->addWidget(blockRadios[i], row, 1 + i);
    }
    advancedLayout->setColumnStretch(4, 1);
    eg->addWidget(advanced, 2, 0, 1, 3);

    reset = new QPushButton(QStringLiteral("Reset"), this);
    amplify = new AmplifyGroup(this);
    auto* layout = new QVBoxLayout(this);
    auto* top = new QHBoxLayout;
    top->addWidget(autoCheck);
    top->addStretch();
    top->addWidget(reset);
    layout->addLayout(top);
    layout->addWidget(group);
    if (container_) {
        tags = new TagGroup(true, this);
        layout->addWidget(tags);
        connect(tags, &TagGroup::EditClicked, this, [this] { EditTagOverrides(host_, this, tagSet_, false); });
    }
    layout->addWidget(amplify);
    layout->addStretch();

    connect(autoCheck, &QCheckBox::clicked, this, [this] { ApplyEnabling(); });
    connect(rateButtons, &QButtonGroup::idClicked, this, [this](int id) {
        ReadChoices();
        ApplyEnabling();
        if (id == 1)
            quality->Edit()->setFocus();
        else
            bitRateList->setFocus();
    });
    connect(reset, &QPushButton::clicked, this, [this] {
        ReadChoices();
        auto_ = 1;
        vbr_ = 1;
        quality_ = 100;
        mpegVersion_ = 0;
        tns_ = 0;
        midSide_ = 1;
        blockType_ = 0;
        WriteControls();
        SelectValue(bitRateList, 128);
        ReadChoices();
        ApplyEnabling();
    });
}

void AacPage::CopyIn(const Settings& s) {
    if (container_) {
        auto_ = s.AutoDestM4AEncodingParam;
        vbr_ = s.M4AVBR;
        quality_ = s.M4AVBRQuality;
        bitRate_ = s.M4AABRBitRate;
        tns_ = s.M4AEnableTNS;
        midSide_ = s.M4AEnableMidside;
        blockType_ = s.M4ABlockType;
        amplifyOn_ = s.AmplifyM4A;
        amplifyCoeff_ = s.AmplifyM4ACoef;
        tagType_ = s.M4AID3TagType;
        tagSet_ = s.M4ATag;
    } else {
        auto_ = s.AutoDestAACEncodingParam;
        vbr_ = s.AACVBR;
        quality_ = s.AACVBRQuality;
        bitRate_ = s.AACABRBitRate;
        mpegVersion_ = s.AACMpegVersion;
        tns_ = s.AACEnableTNS;
        midSide_ = s.AACEnableMidside;
        blockType_ = s.AACBlockType;
        amplifyOn_ = s.AmplifyAAC;
        amplifyCoeff_ = s.AmplifyAACCoef;
    }
}

void AacPage::CopyOut(Settings& s) const {
    if (container_) {
        s.AutoDestM4AEncodingParam = auto_ ? 1 : 0;
        if (!auto_) {
            s.M4AVBR = vbr_;
            s.M4AVBRQuality = quality_;
            s.M4AABRBitRate = bitRate_;
            s.M4AEnableTNS = tns_;
            s.M4AEnableMidside = midSide_;
            s.M4ABlockType = blockType_;
        }
        s.AmplifyM4A = amplifyOn_;
        s.AmplifyM4ACoef = amplifyCoeff_;
        s.M4AID3TagType = tagType_;
        s.M4ATag = tagSet_;
    } else {
        s.AutoDestAACEncodingParam = auto_ ? 1 : 0;
        if (!auto_) {
            s.AACVBR = vbr_;
            s.AACVBRQuality = quality_;
            s.AACABRBitRate = bitRate_;
            s.AACMpegVersion = mpegVersion_;
            s.AACEnableTNS = tns_;
            s.AACEnableMidside = midSide_;
            s.AACBlockType = blockType_;
        }
        s.AmplifyAAC = amplifyOn_;
        s.AmplifyAACCoef = amplifyCoeff_;
    }
}

void AacPage::InitControls() {
    for (int v : kAacBitRates) AddListItem(bitRateList, QStringLiteral("%1 kbps").arg(v), v);
    AddListItem(bitRateList, QStringLiteral("Same as original file"), 0);
    if (!SelectValue(bitRateList, bitRate_)) bitRateList->setCurrentIndex(0);
    amplify->WriteControls(amplifyOn_, amplifyCoeff_);
    WriteControls();
}

// The encoding controls and the tag choice; the amplification group is written only once, when
// the page is first shown, so that "Reset" leaves what the user typed there alone.
void AacPage::WriteControls() {
    autoCheck->setChecked(auto_ != 0);
    abrRadio->setChecked(vbr_ == 0);
    vbrRadio->setChecked(vbr_ != 0);
    quality->SetValue(quality_);
    tns->setChecked(tns_ != 0);
    midSide->setChecked(midSide_ != 0);
    if (mpegRadios[0]) {
        mpegRadios[0]->setChecked(mpegVersion_ == 0);
        mpegRadios[1]->setChecked(mpegVersion_ != 0);
    }
    for (int i = 0; i < 3; ++i) blockRadios[i]->setChecked(i == blockType_);
    if (tags) tags->SetChoice(tagType_);
    ApplyEnabling();
}

void AacPage::ApplyEnabling() {
    const bool manual = !autoCheck->isChecked();
    for (QWidget* w : std::initializer_list<QWidget*>{abrRadio, vbrRadio, tns, midSide}) w->setEnabled(manual);
    for (QRadioButton* r : mpegRadios)
        if (r) r->setEnabled(manual);
    for (QRadioButton* r : blockRadios) r->setEnabled(manual);
    bitRateList->setEnabled(manual && abrRadio->isChecked());
    quality->setEnabled(manual && vbrRadio->isChecked());
}

void AacPage::ReadChoices() {
    auto_ = autoCheck->isChecked() ? 1 : 0;
    vbr_ = vbrRadio->isChecked() ? 1 : 0;
    if (const std::optional<int> typed = quality->Value()) quality_ = *typed;
    tns_ = tns->isChecked() ? 1 : 0;
    midSide_ = midSide->isChecked() ? 1 : 0;
    if (mpegRadios[1]) mpegVersion_ = mpegRadios[1]->isChecked() ? 1 : 0;
    for (int i = 0; i < 3; ++i)
        if (blockRadios[i]->isChecked()) blockType_ = i;
    bitRate_ = ChosenValue(bitRateList).value_or(bitRate_);
    if (tags && tags->Choice() >= 0) tagType_ = tags->Choice();
}

bool AacPage::ReadControls() {
    const std::optional<int> typed = quality->Value();
    if (!typed) return Refuse(QStringLiteral("Please enter an integer."), quality->Edit());
    ReadChoices();
    if (!auto_ && vbr_ && (quality_ < 10 || quality_ > 500))
        return Refuse(QStringLiteral("Invalid quality value. It's betwen 10 and 500."), quality->Edit());
    if (!amplify->ReadControls(host_, amplifyOn_, amplifyCoeff_)) return FailedAt(amplify->coefficient->Edit());
    return true;
}

// ---- FLAC and ALAC ----

LosslessPage::LosslessPage(bool flac, UiHost* host, QWidget* parent)
    : OptionPage(flac ? QStringLiteral("FLAC Options") : QStringLiteral("ALAC Options"), host, parent), flac_(flac) {
    auto* group = new QGroupBox(QStringLiteral("Encoding"), this);
    auto* grid = new QGridLayout(group);
    int row = 0;
    if (flac_) {
        compressionList = NewList(group, 20);
        auto* label = new QLabel(QStringLiteral("&Compression level:"), group);
        label->setBuddy(compressionList);
        grid->addWidget(label, row, 0);
        grid->addWidget(compressionList, row++, 1, Qt::AlignLeft);
    }
    rateList = NewList(group, 20);
    auto* rateLabel = new QLabel(QStringLiteral("Sample &Frequency:"), group);
    rateLabel->setBuddy(rateList);
    grid->addWidget(rateLabel, row, 0);
    grid->addWidget(rateList, row++, 1, Qt::AlignLeft);
    auto* note = new QLabel(QStringLiteral("Lossless: the source's channels and sample size (up to 24 bits) are kept."),
                            group);
    note->setWordWrap(true);
    grid->addWidget(note, row, 0, 1, 2);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(group);
    if (flac_) {
        tags = new TagGroup(false, this);
        layout->addWidget(tags);
        connect(tags, &TagGroup::EditClicked, this, [this] { EditTagOverrides(host_, this, tagSet_, true); });
    } else {
        layout->addWidget(new QLabel(QStringLiteral("Tags follow the choice on the MP4/M4A/M4B/M4R page."), this));
    }
    layout->addStretch();
}

void LosslessPage::CopyIn(const Settings& s) {
    compression_ = s.FLACCompression;
    rate_ = flac_ ? s.FLACSampleRate : s.ALACSampleRate;
    tagType_ = s.FLACID3TagType;
    tagSet_ = s.FLACTag;
}

void LosslessPage::CopyOut(Settings& s) const {
    if (flac_) {
        s.FLACCompression = compression_;
        s.FLACSampleRate = rate_;
        s.FLACID3TagType = tagType_;
        s.FLACTag = tagSet_;
    } else {
        s.ALACSampleRate = rate_;
    }
}

void LosslessPage::InitControls() {
    if (compressionList) {
        for (int level = 0; level <= 8; ++level) {
            QString text = QString::number(level);
            if (level == 0) text += QStringLiteral(" (fastest)");
            if (level == 5) text += QStringLiteral(" (default)");
            if (level == 8) text += QStringLiteral(" (smallest)");
            AddListItem(compressionList, text, level);
        }
    }
    for (int rate : LosslessSampleRates()) AddListItem(rateList, QStringLiteral("%1 Hz").arg(rate), rate);
    AddListItem(rateList, QStringLiteral("Same as original file"), 0);
    WriteControls();
}

void LosslessPage::WriteControls() {
    if (compressionList && !SelectValue(compressionList, compression_)) SelectValue(compressionList, 5);
    if (!SelectValue(rateList, rate_)) SelectValue(rateList, 0);
    if (tags) tags->SetChoice(tagType_);
}

bool LosslessPage::ReadControls() {
    if (compressionList)
        if (const std::optional<int> level = ChosenValue(compressionList)) compression_ = *level;
    if (const std::optional<int> rate = ChosenValue(rateList)) rate_ = *rate;
    if (tags && tags->Choice() >= 0) tagType_ = tags->Choice();
    return true;
}

}  // namespace sonavert

namespace sonavert {

// ---- Loudness ----

LoudnessPage::LoudnessPage(UiHost* host, QWidget* parent) : OptionPage(QStringLiteral("Loudness"), host, parent) {
    auto* analysisGroup = new QGroupBox(QStringLiteral("Analysis"), this);
    analysis = new QCheckBox(QStringLiteral("&Measure the loudness of every file and write ReplayGain tags"),
                             analysisGroup);
    albumGain = new QCheckBox(QStringLiteral("Also write &album gains"), analysisGroup);
    auto* ag = new QVBoxLayout(analysisGroup);
    ag->addWidget(analysis);
    ag->addWidget(albumGain);

    auto* albumGroup = new QGroupBox(QStringLiteral("Albums (for album gains and album normalisation)"), this);
    byFolder = new QRadioButton(QStringLiteral("The files of one f&older form an album"), albumGroup);
    byTag = new QRadioButton(
        QStringLiteral("Files of one album artist (or artist) and album ta&g form an album (files without one: their folder)"),
        albumGroup);
    auto* groupingButtons = new QButtonGroup(this);
    groupingButtons->addButton(byFolder, 0);
    groupingButtons->addButton(byTag, 1);
    auto* al = new QVBoxLayout(albumGroup);
    al->addWidget(byFolder);
    al->addWidget(byTag);

    auto* gainGroup = new QGroupBox(QStringLiteral("Gain"), this);
    fixedGain = new QRadioButton(QStringLiteral("&Fixed percentage (the Amplify option of each format)"), gainGroup);
    normalise = new QRadioButton(QStringLiteral("&Normalise each file to a loudness"), gainGroup);
    normaliseAlbum = new QRadioButton(QStringLiteral("Normalise each al&bum to a loudness, one gain for all its files"),
                                      gainGroup);
    auto* modeButtons = new QButtonGroup(this);
    modeButtons->addButton(fixedGain, 0);
    modeButtons->addButton(normalise, 1);
    modeButtons->addButton(normaliseAlbum, 2);
    target = NewList(gainGroup, 10);
    ceiling = new QDoubleSpinBox(gainGroup);
    ceiling->setRange(-10.0, 0.0);
    ceiling->setSingleStep(0.1);
    ceiling->setDecimals(1);
    ceiling->setSuffix(QStringLiteral(" dBTP"));
    KeepSpinBoxWidth(ceiling);
    auto* targetLabel = new QLabel(QStringLiteral("&Target loudness:"), gainGroup);
    targetLabel->setBuddy(target);
    auto* ceilingLabel = new QLabel(QStringLiteral("True &peak at most:"), gainGroup);
    ceilingLabel->setBuddy(ceiling);
    auto* gg = new QGridLayout(gainGroup);
    gg->addWidget(fixedGain, 0, 0, 1, 3);
    gg->addWidget(normalise, 1, 0, 1, 3);
    gg->addWidget(normaliseAlbum, 2, 0, 1, 3);
    gg->addWidget(targetLabel, 3, 1);
    gg->addWidget(target, 3, 2);
    gg->addWidget(ceilingLabel, 4, 1);
    gg->addWidget(ceiling, 4, 2);
    gg->addWidget(new QLabel(QStringLiteral("Normalising decodes every file twice."), gainGroup), 5, 1, 1, 2);
    gg->setColumnMinimumWidth(0, 16);
    gg->setColumnStretch(3, 1);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(analysisGroup);
    layout->addWidget(gainGroup);
    layout->addWidget(albumGroup);
    layout->addStretch();
    connect(modeButtons, &QButtonGroup::idClicked, this, [this] { UpdateEnabling(); });
    connect(analysis, &QCheckBox::toggled, this, [this] { UpdateEnabling(); });
    connect(albumGain, &QCheckBox::toggled, this, [this] { UpdateEnabling(); });
}

void LoudnessPage::CopyIn(const Settings& s) {
    analysis_ = s.LoudnessAnalysis;
    albumGain_ = s.LoudnessAlbumGain;
    grouping_ = s.LoudnessAlbumGrouping;
    mode_ = s.LoudnessGainMode;
    target_ = s.LoudnessTarget;
    ceiling_ = s.LoudnessPeakCeiling;
}

void LoudnessPage::CopyOut(Settings& s) const {
    s.LoudnessAnalysis = analysis_;
    s.LoudnessAlbumGain = albumGain_;
    s.LoudnessAlbumGrouping = grouping_;
    s.LoudnessGainMode = mode_;
    s.LoudnessTarget = target_;
    s.LoudnessPeakCeiling = ceiling_;
}

void LoudnessPage::InitControls() {
    for (int32_t lufs : AcceptedRange("LoudnessTarget").choices)
        AddListItem(target, QStringLiteral("%1 LUFS").arg(lufs), lufs);
    WriteControls();
}

void LoudnessPage::WriteControls() {
    analysis->setChecked(analysis_ != 0);
    albumGain->setChecked(albumGain_ != 0);
    fixedGain->setChecked(mode_ == 0);
    normalise->setChecked(mode_ == 1);
    normaliseAlbum->setChecked(mode_ == 2);
    byFolder->setChecked(grouping_ != 1);
    byTag->setChecked(grouping_ == 1);
    if (!SelectValue(target, target_)) SelectValue(target, -18);
    ceiling->setValue(std::clamp(ceiling_, -100, 0) / 10.0);
    UpdateEnabling();
}

void LoudnessPage::UpdateEnabling() {
    albumGain->setEnabled(analysis->isChecked());
    const bool normalising = normalise->isChecked() || normaliseAlbum->isChecked();
    target->setEnabled(normalising);
    ceiling->setEnabled(normalising);
    const bool albums = (analysis->isChecked() && albumGain->isChecked()) || normaliseAlbum->isChecked();
    byFolder->setEnabled(albums);
    byTag->setEnabled(albums);
}

bool LoudnessPage::ReadControls() {
    analysis_ = analysis->isChecked() ? 1 : 0;
    albumGain_ = albumGain->isChecked() ? 1 : 0;
    if (fixedGain->isChecked()) mode_ = 0;
    if (normalise->isChecked()) mode_ = 1;
    if (normaliseAlbum->isChecked()) mode_ = 2;
    grouping_ = byTag->isChecked() ? 1 : 0;
    target_ = ChosenValue(target).value_or(target_);
    ceiling_ = static_cast<int>(std::lround(ceiling->value() * 10.0));
    return true;
}

}  // namespace sonavert
