// The MP3, OGG and WAV pages: a preset list over a bit-rate (or sample-size) list, a sample-rate
// list and channel radios.
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QRadioButton>
#include <QVBoxLayout>

#include <algorithm>

#include "settings/SettingRanges.h"
#include "ui/options/OptionPages.h"
#include "ui/Hyperlink.h"

namespace sonavert {

namespace {

// The lists' values, shared with the command line's checks.
const std::vector<int>& kMp3BitRates = Mp3BitRates();
const std::vector<int>& kMp3Rates = Mp3SampleRates();
const std::vector<int>& kOggBitRates = OggBitRates();
const std::vector<int>& kWavRates = WavSampleRates();

const QString kSameAsSource = QStringLiteral("Same as original file");

// Channel radio indices of the MP3 page.
constexpr int kMp3Joint = 0, kMp3Mono = 2;
constexpr int kStereoRadio = 0, kMonoRadio = 1, kSameRadio = 2;

int Mp3ModeToRadio(int mode) { return mode == 1 ? 0 : mode == 0 ? 1 : mode == 3 ? 2 : 3; }
int Mp3RadioToMode(int radio) { return radio == 0 ? 1 : radio == 1 ? 0 : radio == 2 ? 3 : 4; }

// The Vorbis encoder's bit-rate range (kbps) for a sample rate and channel count.
bool VorbisRange(int rate, bool mono, int& low, int& high) {
    struct Row { int rate; int stereoLow, stereoHigh, monoLow, monoHigh; };
    static const Row kRows[] = {{8000, 16, 80, 8, 40},     {11025, 16, 96, 16, 48},  {12000, 16, 96, 16, 48},
                                {16000, 24, 160, 16, 80},  {22050, 32, 160, 16, 80}, {24000, 32, 160, 16, 80},
                                {32000, 40, 320, 32, 160}, {44100, 48, 480, 32, 224}, {48000, 48, 480, 32, 224}};
    for (const Row& row : kRows) {
        if (row.rate != rate) continue;
        low = mono ? row.monoLow : row.stereoLow;
        high = mono ? row.monoHigh : row.stereoHigh;
        return true;
    }
    return false;
}

}  // namespace

PresetPage::PresetPage(const QString& caption, std::vector<Preset> presetTable, const QString& valueLabel,
                       std::vector<int> values, const QString& valueFormat, std::vector<int> rates,
                       const QStringList& channelTexts, UiHost* host, QWidget* parent)
    : OptionPage(caption, host, parent),
      presetTable_(std::move(presetTable)),
      values_(std::move(values)),
      rates_(std::move(rates)),
      valueFormat_(valueFormat) {
    auto* group = new QGroupBox(QStringLiteral("Encoding"), this);
    presets = NewList(group, 56);
    valueList = NewList(group, 18);
    rateList = NewList(group, 18);
    auto* presetLabel = new QLabel(QStringLiteral("&Encoding Options:"), group);
    presetLabel->setBuddy(presets);
    auto* valueCaption = new QLabel(valueLabel, group);
    valueCaption->setBuddy(valueList);
    auto* rateCaption = new QLabel(QStringLiteral("Sample &Frequency:"), group);
    rateCaption->setBuddy(rateList);
    auto* channelCaption = new QLabel(QStringLiteral("Channels:"), group);

    auto* channelButtons = new QButtonGroup(this);
    auto* channelRow = new QHBoxLayout;
    for (int i = 0; i < channelTexts.size(); ++i) {
        auto* radio = new QRadioButton(channelTexts[i], group);
        channelRadios.push_back(radio);
        channelButtons->addButton(radio, i);
        channelRow->addWidget(radio);
    }
    channelRow->addStretch();

    paramsGrid_ = new QGridLayout(group);
    paramsGrid_->addWidget(presetLabel, 0, 0);
    paramsGrid_->addWidget(presets, 0, 1, 1, 2, Qt::AlignLeft);
    paramsGrid_->addWidget(valueCaption, 1, 0);
    paramsGrid_->addWidget(valueList, 1, 1, Qt::AlignLeft);
    paramsGrid_->addWidget(rateCaption, 2, 0);
    paramsGrid_->addWidget(rateList, 2, 1, Qt::AlignLeft);
    paramsGrid_->addWidget(channelCaption, 3, 0);
    paramsGrid_->addLayout(channelRow, 3, 1, 1, 2);
    paramsGrid_->setColumnStretch(2, 1);

    amplify = new AmplifyGroup(this);
    pageLayout_ = new QVBoxLayout(this);
    pageLayout_->addWidget(group);

    connect(presets, &QComboBox::activated, this, [this](int index) { OnPresetChosen(index); });
    connect(valueList, &QComboBox::activated, this, [this] { OnValueChosen(); });
    connect(rateList, &QComboBox::activated, this, [this] { OnRateChosen(); });
    connect(channelButtons, &QButtonGroup::idClicked, this, [this](int id) { OnChannelChosen(id); });
}

void PresetPage::FinishLayout() {
    pageLayout_->addWidget(amplify);
    pageLayout_->addStretch();
}

void PresetPage::FillPresets() {
    presets->clear();
    customIndex_ = -1;
    int selected = -1;
    for (std::size_t i = 0; i < presetTable_.size(); ++i) {
        const Preset& p = presetTable_[i];
        AddListItem(presets, QString::fromUtf8(p.text), p.itemValue);
        const bool isAuto = i == 0;
        const bool isCustom = i + 1 == presetTable_.size();
        if (isCustom) {
            customIndex_ = static_cast<int>(i);
        } else if (isAuto) {
            if (auto_) selected = static_cast<int>(i);
        } else if (!auto_ && p.rate == rate_ && p.second == value_ && p.channel == channel_) {
            selected = static_cast<int>(i);
        }
    }
    presets->setCurrentIndex(selected >= 0 ? selected : customIndex_);
}

void PresetPage::InitControls() {
    FillPresets();
    auto fill = [](QComboBox* list, const std::vector<int>& table, const QString& format, int member) {
        for (int v : table) AddListItem(list, format.arg(v), v);
        AddListItem(list, kSameAsSource, 0);
        if (!SelectValue(list, member)) list->setCurrentIndex(0);
    };
    fill(valueList, values_, valueFormat_, value_);
    fill(rateList, rates_, QStringLiteral("%1 Hz"), rate_);
    WriteControls();
    SetAutoEnabling(auto_ != 0);
}

void PresetPage::WriteControls() {
    SetChannelRadio(channel_);
    amplify->WriteControls(amplifyOn_, amplifyCoeff_);
    WriteExtra();
}

bool PresetPage::ReadControls() {
    ReadChoices();
    auto_ = presets->currentIndex() == 0 ? 1 : 0;
    if (!amplify->ReadControls(host_, amplifyOn_, amplifyCoeff_)) return FailedAt(amplify->coefficient->Edit());
    return ReadExtra();
}

void PresetPage::ReadChoices() {
    value_ = ChosenValue(valueList).value_or(value_);
    rate_ = ChosenValue(rateList).value_or(rate_);
    const int radio = ChannelRadio();
    if (radio >= 0) channel_ = radio;
}

void PresetPage::SetAutoEnabling(bool automatic) {
    valueList->setEnabled(!automatic);
    rateList->setEnabled(!automatic);
    for (QRadioButton* r : channelRadios) r->setEnabled(!automatic);
}

void PresetPage::SelectCustom() {
    if (presets->currentIndex() != customIndex_) presets->setCurrentIndex(customIndex_);
}

int PresetPage::ChannelRadio() const {
    for (std::size_t i = 0; i < channelRadios.size(); ++i)
        if (channelRadios[i]->isChecked()) return static_cast<int>(i);
    return -1;
}

void PresetPage::SetChannelRadio(int radio) {
    if (radio >= 0 && radio < static_cast<int>(channelRadios.size())) channelRadios[radio]->setChecked(true);
}

void PresetPage::OnPresetChosen(int index) {
    if (index == 0) {  // Auto: only the enabling changes
        SetAutoEnabling(true);
        return;
    }
    SetAutoEnabling(false);
    ReadChoices();
    if (index < 0 || index >= static_cast<int>(presetTable_.size())) return;
    const Preset& p = presetTable_[index];
    if (p.rate == 0) return;  // Custom keeps every value
    SelectValue(valueList, p.second);
    SelectValue(rateList, p.rate);
    value_ = p.second;
    rate_ = p.rate;
    channel_ = p.channel;
    SetChannelRadio(channel_);
}

// ---- MP3 ----

Mp3Page::Mp3Page(UiHost* host, QWidget* parent)
    : PresetPage(QStringLiteral("MP3 Options"),
                 {{"Auto", 392, 0, 0, 0},
                  {"11025 Hz, 16 kbps, Mono (low quality, smaller file size)", 648, 11025, 16, kMp3Mono},
                  {"22050 Hz, 32 kbps, Joint Stereo (OK quality, small size)", 904, 22050, 32, kMp3Joint},
                  {"32000 Hz, 96 kbps, Joint Stereo (medium quality, normal size)", 1160, 32000, 96, kMp3Joint},
                  {"44100Hz, 128 kbps, Joint Stereo (close to CD-quality, large size)", 1416, 44100, 128, kMp3Joint},
                  {"Custom", 2440, 0, 0, 0}},
                 QStringLiteral("&Bit Rate:"), kMp3BitRates, QStringLiteral("%1 kbps"), kMp3Rates,
                 {QStringLiteral("&Joint Stereo"), QStringLiteral("&Stereo"), QStringLiteral("&Mono"),
                  QStringLiteral("Same as &original file")},
                 host, parent) {
    jointStereoLink = new Hyperlink(QStringLiteral("Joint Stereo vs. Stereo"), this, host);
    jointStereoLink->SetLinkAddress(QStringLiteral("https://duckduckgo.com/?q=mp3+joint+stereo+vs+stereo"));
    encoderLink = new Hyperlink(QStringLiteral("The program uses LAME MP3 encoder."), this, host);
    encoderLink->SetLinkAddress(QStringLiteral("https://lame.sourceforge.io/"));
    paramsGrid_->addWidget(jointStereoLink, 4, 1, Qt::AlignLeft);
    paramsGrid_->addWidget(encoderLink, 5, 0, 1, 3, Qt::AlignLeft);

    tags = new TagGroup(false, this);
    auto* versions = new QGroupBox(QStringLiteral("Write ID3 tag as:"), this);
    id3Versions[0] = new QRadioButton(QStringLiteral("ID3v&1"), versions);
    id3Versions[1] = new QRadioButton(QStringLiteral("ID3v&2"), versions);
    id3Versions[2] = new QRadioButton(QStringLiteral("I&D3v1 && ID3v2"), versions);
    auto* vl = new QVBoxLayout(versions);
    for (QRadioButton* r : id3Versions) vl->addWidget(r);
    auto* tagRow = new QHBoxLayout;
    tagRow->addWidget(tags, 3);
    tagRow->addWidget(versions, 2);
    pageLayout_->addLayout(tagRow);
    FinishLayout();

    connect(tags, &TagGroup::ChoiceClicked, this, [this] { UpdateTagEnabling(); });
    connect(tags, &TagGroup::EditClicked, this, [this] { EditTagOverrides(host_, this, tagSet_, true); });
}

void Mp3Page::CopyIn(const Settings& s) {
    auto_ = s.AutoDestMP3EncodingParam;
    value_ = s.MP3BitRate;
    rate_ = s.MP3SampleRate;
    channel_ = Mp3ModeToRadio(s.MP3ChannelMode);
    tagType_ = s.MP3ID3TagType;
    id3Version_ = s.MP3WriteID3Version;
    amplifyOn_ = s.AmplifyMp3;
    amplifyCoeff_ = s.AmplifyMp3Coeff;
    tagSet_ = s.MP3Tag;
}

void Mp3Page::CopyOut(Settings& s) const {
    s.AutoDestMP3EncodingParam = auto_ ? 1 : 0;
    if (!auto_) {
        s.MP3BitRate = value_;
        s.MP3SampleRate = rate_;
        s.MP3ChannelMode = Mp3RadioToMode(channel_);
    }
    s.MP3ID3TagType = tagType_;
    s.MP3WriteID3Version = id3Version_;
    s.AmplifyMp3 = amplifyOn_;
    s.AmplifyMp3Coeff = amplifyCoeff_;
    s.MP3Tag = tagSet_;
}

void Mp3Page::InitControls() {
    jointStereoLink->SetUnderlineMode(Hyperlink::kUnderlineAlways);
    encoderLink->SetUnderlineMode(Hyperlink::kUnderlineAlways);
    PresetPage::InitControls();
}

void Mp3Page::WriteExtra() {
    tags->SetChoice(tagType_);
    for (int i = 0; i < 3; ++i) id3Versions[i]->setChecked(i == id3Version_);
    UpdateTagEnabling();
}

bool Mp3Page::ReadExtra() {
    if (tags->Choice() >= 0) tagType_ = tags->Choice();
    for (int i = 0; i < 3; ++i)
        if (id3Versions[i]->isChecked()) id3Version_ = i;
    return true;
}

void Mp3Page::UpdateTagEnabling() {
    const bool none = tags->Choice() == 2;
    for (QRadioButton* r : id3Versions) r->setEnabled(!none);
}

void Mp3Page::OnValueChosen() {
    const std::optional<int> bitRate = ChosenValue(valueList);
    const std::optional<int> rate = ChosenValue(rateList);
    if (!bitRate || !rate || *bitRate == value_ || *bitRate == 0 || *rate == 0) return;
    // Keep the pair within what MPEG audio layer III allows: low bit rates exist only at the
    // MPEG-2/2.5 rates, high ones only at MPEG-1 rates.
    int newRate = *rate;
    switch (*bitRate) {
        case 8: case 16: case 24: newRate = std::min(newRate, 24000); break;
        case 80: case 96: case 112: case 128: case 144: case 160: newRate = std::max(newRate, 16000); break;
        case 192: case 224: case 256: case 320: newRate = std::max(newRate, 32000); break;
        default: break;
    }
    if (newRate != *rate) SelectValue(rateList, newRate);
    SelectCustom();
    rate_ = newRate;
    value_ = *bitRate;
}

void Mp3Page::OnRateChosen() {
    const std::optional<int> rate = ChosenValue(rateList);
    if (!rate || *rate == rate_ || *rate == 0) return;
    const std::optional<int> bitRate = ChosenValue(valueList);
    if (!bitRate || *bitRate == 0) return;
    int newBitRate = *bitRate;
    switch (*rate) {
        case 8000: case 11025: case 12000: newBitRate = std::min(newBitRate, 64); break;
        case 16000: case 22050: case 24000: newBitRate = std::min(newBitRate, 160); break;
        case 32000: case 44100: case 48000: newBitRate = std::max(newBitRate, 32); break;
        default: break;
    }
    if (newBitRate != *bitRate) SelectValue(valueList, newBitRate);
    SelectCustom();
    rate_ = *rate;
    value_ = newBitRate;
}

void Mp3Page::OnChannelChosen(int radio) {
    if (radio != channel_) SelectCustom();
    channel_ = radio;
}

// ---- OGG ----

OggPage::OggPage(UiHost* host, QWidget* parent)
    : PresetPage(QStringLiteral("OGG Options"),
                 {{"Auto", 392, 0, 0, 0},
                  {"11025 Hz, 16 kbps, Mono (low quality, smaller size)", 776, 11025, 16, kMonoRadio},
                  {"22050 Hz, 32 kbps, Stereo (OK quality, small size)", 792, 22050, 32, kStereoRadio},
                  {"32000 Hz, 96 kbps, Stereo (medium quality, normal size)", 808, 32000, 96, kStereoRadio},
                  {"44100Hz, 128 kbps, Stereo (close to CD-quality, large size)", 824, 44100, 128, kStereoRadio},
                  {"Custom", 2440, 0, 0, 0}},
                 QStringLiteral("&Bit Rate:"), kOggBitRates, QStringLiteral("%1 kbps"), kMp3Rates,
                 {QStringLiteral("&Stereo"), QStringLiteral("&Mono"), QStringLiteral("Same as &original file")}, host,
                 parent) {
    tags = new TagGroup(false, this);
    pageLayout_->addWidget(tags);
    FinishLayout();
    connect(tags, &TagGroup::EditClicked, this, [this] { EditTagOverrides(host_, this, tagSet_, true); });
}

void OggPage::CopyIn(const Settings& s) {
    auto_ = s.AutoDestOGGEncodingParam;
    value_ = s.OGGBitRate;
    rate_ = s.OGGSampleRate;
    channel_ = ChannelsToRadio(s.OGGChannels);
    tagType_ = s.OGGID3TagType;
    amplifyOn_ = s.AmplifyOGG;
    amplifyCoeff_ = s.AmplifyOGGCoeff;
    tagSet_ = s.OGGTag;
}

void OggPage::CopyOut(Settings& s) const {
    s.AutoDestOGGEncodingParam = auto_ ? 1 : 0;
    if (!auto_) {
        s.OGGBitRate = value_;
        s.OGGSampleRate = rate_;
        s.OGGChannels = RadioToChannels(channel_);
    }
    s.OGGID3TagType = tagType_;
    s.AmplifyOGG = amplifyOn_;
    s.AmplifyOGGCoeff = amplifyCoeff_;
    s.OGGTag = tagSet_;
}

void OggPage::WriteExtra() { tags->SetChoice(tagType_); }

bool OggPage::ReadExtra() {
    if (tags->Choice() >= 0) tagType_ = tags->Choice();
    return true;
}

void OggPage::ApplyVorbisRange() {
    const int radio = ChannelRadio();
    if (radio >= 0) channel_ = radio;
    const std::optional<int> bitRate = ChosenValue(valueList);
    const std::optional<int> rate = ChosenValue(rateList);
    if (!bitRate || !rate || *bitRate == 0 || *rate == 0 || channel_ == kSameRadio) return;
    int low = 0, high = 0;
    if (!VorbisRange(*rate, channel_ == kMonoRadio, low, high)) return;
    const int newBitRate = std::clamp(*bitRate, low, high);
    if (newBitRate != *bitRate) SelectValue(valueList, newBitRate);
    SelectCustom();
    rate_ = *rate;
    value_ = newBitRate;
}

void OggPage::OnChannelChosen(int radio) {
    const int before = channel_;
    ApplyVorbisRange();
    if (radio != before) SelectCustom();
    channel_ = radio;
}

// ---- WAV ----

WavPage::WavPage(UiHost* host, QWidget* parent)
    : PresetPage(QStringLiteral("WAV Options"),
                 {{"Auto", 409, 0, 0, 0},
                  {"11025 Hz, 8 bits, Mono (low quality, smaller file size)", 665, 11025, 8, kMonoRadio},
                  {"22050 Hz, 16 bits, Stereo (OK quality, small size)", 921, 22050, 16, kStereoRadio},
                  {"32000 Hz, 16 bits, Stereo (medium quality, normal size)", 1177, 32000, 16, kStereoRadio},
                  {"44100Hz, 16 bits, Stereo (high quality, large size)", 1433, 44100, 16, kStereoRadio},
                  {"Custom", 2457, 0, 0, 0}},
                 QStringLiteral("&Bits:"), {8, 16, 24, 32}, QStringLiteral("%1 bits"), kWavRates,
                 {QStringLiteral("&Stereo"), QStringLiteral("&Mono"), QStringLiteral("Same as &original file")}, host,
                 parent) {
    floatSamples = new QCheckBox(QStringLiteral("&Floating-point samples (32 bits)"), this);
    paramsGrid_->addWidget(floatSamples, 4, 1, 1, 2, Qt::AlignLeft);
    FinishLayout();
}

void WavPage::InitControls() {
    PresetPage::InitControls();
    UpdateFloatEnabling();
}

void WavPage::UpdateFloatEnabling() {
    const bool automatic = presets->currentIndex() == 0;
    floatSamples->setEnabled(!automatic && ChosenValue(valueList).value_or(value_) == 32);
}

void WavPage::OnPresetChosen(int index) {
    PresetPage::OnPresetChosen(index);
    UpdateFloatEnabling();
}

void WavPage::WriteExtra() { floatSamples->setChecked(sampleFormat_ == 1); }

bool WavPage::ReadExtra() {
    sampleFormat_ = floatSamples->isChecked() ? 1 : 0;
    return true;
}

void WavPage::CopyIn(const Settings& s) {
    auto_ = s.AutoDestWAVEncodingParam;
    value_ = s.WAVBitsPerSample;
    rate_ = s.WAVSampleRate;
    channel_ = ChannelsToRadio(s.WAVChannelNum);
    sampleFormat_ = s.WAVSampleFormat;
    amplifyOn_ = s.AmplifyWav;
    amplifyCoeff_ = s.AmplifyWavCoeff;
}

void WavPage::CopyOut(Settings& s) const {
    s.AutoDestWAVEncodingParam = auto_ ? 1 : 0;
    if (!auto_) {
        s.WAVBitsPerSample = value_;
        s.WAVSampleRate = rate_;
        s.WAVChannelNum = RadioToChannels(channel_);
        s.WAVSampleFormat = sampleFormat_;
    }
    s.AmplifyWav = amplifyOn_;
    s.AmplifyWavCoeff = amplifyCoeff_;
}

void WavPage::OnValueChosen() {
    const std::optional<int> bits = ChosenValue(valueList);
    if (!bits || *bits == value_) return;
    SelectCustom();
    value_ = *bits;
    UpdateFloatEnabling();
}

void WavPage::OnRateChosen() {
    const std::optional<int> rate = ChosenValue(rateList);
    if (!rate || *rate == rate_) return;
    SelectCustom();
    rate_ = *rate;
}

void WavPage::OnChannelChosen(int radio) {
    if (radio == channel_) return;
    SelectCustom();
    channel_ = radio;
}

}  // namespace sonavert
