#pragma once
// The pages of the Options dialog. Each page holds its own copy of the settings it edits: the
// dialog copies Settings in before it opens and, on OK, copies the page members back. Controls
// are built with the page; they are filled from the members the first time the page is shown
// (a page never shown leaves its members untouched) and read back when the page is left or OK
// is pressed.
#include <functional>
#include <string>
#include <vector>

#include <QWidget>

#include "settings/Settings.h"
#include "ui/options/PageWidgets.h"

class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QLabel;
class QLineEdit;
class QSpinBox;
class QPushButton;
class QRadioButton;
class QVBoxLayout;
class QGridLayout;

namespace sonavert {

class Hyperlink;

class OptionPage : public QWidget {
    Q_OBJECT
public:
    OptionPage(const QString& caption, UiHost* host, QWidget* parent);
    const QString& Caption() const { return caption_; }

    virtual void CopyIn(const Settings& settings) = 0;
    virtual void CopyOut(Settings& settings) const = 0;

    // Fills the controls from the members once, when the page is first shown.
    void EnsureInitialised();
    bool Initialised() const { return initialised_; }
    // Controls to members, with validation: on refusal the message has been shown, the focus
    // moved to the offending control (FailureFocus) and false returned.
    virtual bool ReadControls() = 0;
    // Members to controls.
    virtual void WriteControls() = 0;
    QWidget* FailureFocus() const { return failureFocus_; }

protected:
    virtual void InitControls() = 0;
    bool Refuse(const QString& text, QWidget* focus);
    // Records where the focus went after a refusal reported elsewhere; returns false.
    bool FailedAt(QWidget* focus) {
        failureFocus_ = focus;
        return false;
    }

    UiHost* host_;

private:
    QString caption_;
    bool initialised_ = false;
    QWidget* failureFocus_ = nullptr;
};

// Channel radio helpers for the three-radio families (Stereo, Mono, Same as original file).
int ChannelsToRadio(int channels);  // 2 -> 0, 1 -> 1, any other -> 2
int RadioToChannels(int radio);     // 0 -> 2, 1 -> 1, 2 -> 0

class GeneralPage : public OptionPage {
    Q_OBJECT
public:
    explicit GeneralPage(UiHost* host, QWidget* parent = nullptr);
    void CopyIn(const Settings& s) override;
    void CopyOut(Settings& s) const override;
    bool ReadControls() override;
    void WriteControls() override;

    QComboBox* outputFolder;
    QLineEdit* customFolder;
    QPushButton* browse;
    QPushButton* open;
    QCheckBox* createDirs;
    QLabel* createDirsExample;
    QComboBox* targetExists;
    QCheckBox* documentsFallback;
    QCheckBox* browseWhenDone;
    QRadioButton* monoRadios[3];
    QPushButton* monoHelp;
    QCheckBox* filterEnabled;
    QLineEdit* filterText;
    QSpinBox* parallelJobs;  // 0 shows "Automatic": one file per core
    QComboBox* verifyTargets;  // VerifyTargets: never, lossless formats, every format
    // Converting a library.
    QCheckBox* keepTree;
    QLineEdit* namePattern;
    QLabel* namePreview;     // the first rows' targets, or why the pattern cannot be used

    // The rows whose targets the page previews (the first of the list) and the output format.
    struct PreviewRow {
        std::string sourcePath;
        std::string rootFolder;
    };
    void SetPreviewRows(std::vector<PreviewRow> rows, int outputFormat);
    // Shows where the preview rows' targets go under the page's current controls.
    void UpdatePreview();

protected:
    void InitControls() override;

private:
    void UpdateFolderEnabling();
    void ReadPlainControls();

    int destOpt_ = kDestBesideSource;
    QString destFolder_;
    int createDirs_ = 0;
    int targetExists_ = kTargetRename;
    int documents_ = 1;
    int browseDone_ = 1;
    int monoType_ = 0;
    int filterOn_ = 0;
    QString filterExts_;
    int parallelJobs_ = 0;
    int verifyTargets_ = 1;
    int keepTree_ = 0;
    QString namePattern_;
    std::vector<PreviewRow> previewRows_;
    int previewFormat_ = 0;
};

// Shared frame of the MP3, OGG and WAV pages: a preset list, two value lists, channel radios.
class PresetPage : public OptionPage {
    Q_OBJECT
public:
    struct Preset {
        const char* text;
        int itemValue;
        int rate;      // 0 for Auto and Custom
        int second;    // bit rate (kbps) or sample size
        int channel;   // channel radio index
    };

    QComboBox* presets;
    QComboBox* valueList;  // bit rate, or sample size on the WAV page
    QComboBox* rateList;
    std::vector<QRadioButton*> channelRadios;
    AmplifyGroup* amplify;

    bool ReadControls() override;
    void WriteControls() override;

protected:
    // `values` fill the value list as `valueFormat` ("%1 kbps"), `rates` the rate list as "%1 Hz";
    // each list ends with "Same as original file" (0).
    PresetPage(const QString& caption, std::vector<Preset> presets, const QString& valueLabel,
               std::vector<int> values, const QString& valueFormat, std::vector<int> rates,
               const QStringList& channelTexts, UiHost* host, QWidget* parent);
    void InitControls() override;
    // Adds the amplification group below the page's own controls.
    void FinishLayout();
    void FillPresets();
    virtual void SetAutoEnabling(bool automatic);
    void SelectCustom();
    int ChannelRadio() const;
    void SetChannelRadio(int radio);
    // Reads lists and radio into the members without validation.
    virtual void ReadChoices();
    virtual void OnPresetChosen(int index);
    virtual void OnValueChosen() = 0;
    virtual void OnRateChosen() = 0;
    virtual void OnChannelChosen(int radio) = 0;
    // Extra page controls.
    virtual void WriteExtra() {}
    virtual bool ReadExtra() { return true; }

    std::vector<Preset> presetTable_;
    std::vector<int> values_, rates_;
    QString valueFormat_;
    QVBoxLayout* pageLayout_;
    QGridLayout* paramsGrid_;
    int customIndex_ = -1;
    int auto_ = 1;
    int value_ = 0;  // bit rate or sample size
    int rate_ = 0;
    int channel_ = 0;
    int amplifyOn_ = 0;
    int amplifyCoeff_ = 100;
};

class Mp3Page : public PresetPage {
    Q_OBJECT
public:
    explicit Mp3Page(UiHost* host, QWidget* parent = nullptr);
    void CopyIn(const Settings& s) override;
    void CopyOut(Settings& s) const override;

    TagGroup* tags;
    QRadioButton* id3Versions[3];
    Hyperlink* jointStereoLink;
    Hyperlink* encoderLink;
    // "Constant (the bit rate above)" (-1), then "Variable, quality 0" .. "Variable, quality 9".
    QComboBox* bitRateMode;

protected:
    void InitControls() override;
    void SetAutoEnabling(bool automatic) override;
    void OnValueChosen() override;
    void OnRateChosen() override;
    void OnChannelChosen(int radio) override;
    void WriteExtra() override;
    bool ReadExtra() override;

private:
    void UpdateTagEnabling();
    int tagType_ = 1;
    int id3Version_ = 1;
    TagOverrides tagSet_;
    int bitRateMode_ = 0;
    int vbrQuality_ = 2;
};

class OggPage : public PresetPage {
    Q_OBJECT
public:
    explicit OggPage(UiHost* host, QWidget* parent = nullptr);
    void CopyIn(const Settings& s) override;
    void CopyOut(Settings& s) const override;

    TagGroup* tags;

protected:
    void OnValueChosen() override { ApplyVorbisRange(); }
    void OnRateChosen() override { ApplyVorbisRange(); }
    void OnChannelChosen(int radio) override;
    void WriteExtra() override;
    bool ReadExtra() override;

private:
    void ApplyVorbisRange();
    int tagType_ = 1;
    TagOverrides tagSet_;
};

class WavPage : public PresetPage {
    Q_OBJECT
public:
    explicit WavPage(UiHost* host, QWidget* parent = nullptr);
    void CopyIn(const Settings& s) override;
    void CopyOut(Settings& s) const override;

    // Floating-point samples; offered with 32 bits only.
    QCheckBox* floatSamples;

protected:
    void InitControls() override;
    void OnPresetChosen(int index) override;
    void OnValueChosen() override;
    void OnRateChosen() override;
    void OnChannelChosen(int radio) override;
    void WriteExtra() override;
    bool ReadExtra() override;

private:
    void UpdateFloatEnabling();
    int sampleFormat_ = 0;
};

// One audio format the WMA writer offers: sample rate, channel count, bit rate in bits per second.
struct WmaFormatEntry {
    int sampleRate = 0;
    int channels = 0;
    int bitRate = 0;
};
// Supplies the format list when the WMA page is first shown (loading the runtime if needed);
// returns false when it is not available.
using WmaFormatProvider = std::function<bool(std::vector<WmaFormatEntry>& formats)>;

class WmaPage : public OptionPage {
    Q_OBJECT
public:
    WmaPage(WmaFormatProvider provider, UiHost* host, QWidget* parent = nullptr);
    void CopyIn(const Settings& s) override;
    void CopyOut(Settings& s) const override;
    bool ReadControls() override;
    void WriteControls() override;

    QComboBox* formatList;
    TagGroup* tags;
    AmplifyGroup* amplify;

protected:
    void InitControls() override;

private:
    WmaFormatProvider provider_;
    std::vector<WmaFormatEntry> formats_;
    int auto_ = 1;
    int rate_ = 0, bitRate_ = 0, channels_ = 0;
    int tagType_ = 1;
    TagOverrides tagSet_;
    int amplifyOn_ = 0, amplifyCoeff_ = 100;
};

class AmrPage : public OptionPage {
    Q_OBJECT
public:
    explicit AmrPage(UiHost* host, QWidget* parent = nullptr);
    void CopyIn(const Settings& s) override;
    void CopyOut(Settings& s) const override;
    bool ReadControls() override;
    void WriteControls() override;

    QRadioButton* nbRadio;
    QRadioButton* wbRadio;
    QComboBox* nbList;
    QComboBox* wbList;
    QCheckBox* amrDtx;
    QComboBox* awbList;
    QCheckBox* awbDtx;
    AmplifyGroup* amplify;

protected:
    void InitControls() override;

private:
    void UpdateEnabling();
    int type_ = 0, nbMode_ = 0, wbMode_ = 0, amrDtx_ = 0, awbMode_ = 0, awbDtx_ = 0;
    int amplifyOn_ = 0, amplifyCoeff_ = 100;
};

// The raw AAC page, and with `mpeg4Container` the MP4/M4A/M4B/M4R page (no MPEG version, a tag
// group).
class AacPage : public OptionPage {
    Q_OBJECT
public:
    AacPage(bool mpeg4Container, UiHost* host, QWidget* parent = nullptr);
    void CopyIn(const Settings& s) override;
    void CopyOut(Settings& s) const override;
    bool ReadControls() override;
    void WriteControls() override;

    QCheckBox* autoCheck;
    QRadioButton* abrRadio;
    QRadioButton* vbrRadio;
    QComboBox* bitRateList;
    IntSpinEdit* quality;
    QCheckBox* tns;
    QCheckBox* midSide;
    QRadioButton* mpegRadios[2] = {nullptr, nullptr};
    QRadioButton* blockRadios[3];
    QPushButton* reset;
    AmplifyGroup* amplify;
    TagGroup* tags = nullptr;

protected:
    void InitControls() override;

private:
    void ApplyEnabling();
    void ReadChoices();
    bool container_;
    int auto_ = 1, vbr_ = 1, quality_ = 100, bitRate_ = 128, mpegVersion_ = 0;
    int tns_ = 0, midSide_ = 1, blockType_ = 0;
    int amplifyOn_ = 0, amplifyCoeff_ = 100;
    int tagType_ = 1;
    TagOverrides tagSet_;
};

// Loudness analysis with ReplayGain tags, and the normalising gain mode.
class LoudnessPage : public OptionPage {
    Q_OBJECT
public:
    explicit LoudnessPage(UiHost* host, QWidget* parent = nullptr);
    void CopyIn(const Settings& s) override;
    void CopyOut(Settings& s) const override;
    bool ReadControls() override;
    void WriteControls() override;

    QCheckBox* analysis;
    QCheckBox* albumGain;
    QRadioButton* fixedGain;
    QRadioButton* normalise;
    QRadioButton* normaliseAlbum;
    QRadioButton* byFolder;
    QRadioButton* byTag;
    QComboBox* target;
    QDoubleSpinBox* ceiling;

protected:
    void InitControls() override;

private:
    void UpdateEnabling();
    int analysis_ = 0, albumGain_ = 1, grouping_ = 0, mode_ = 0, target_ = -18, ceiling_ = -10;
};

// Cover pictures: whether they are carried, from where, at what largest size, and whether the
// folder's image file is copied beside the targets.
class CoverArtPage : public OptionPage {
    Q_OBJECT
public:
    explicit CoverArtPage(UiHost* host, QWidget* parent = nullptr);
    void CopyIn(const Settings& s) override;
    void CopyOut(Settings& s) const override;
    bool ReadControls() override;
    void WriteControls() override;

    QCheckBox* carry;
    QCheckBox* fromFolder;
    QCheckBox* scale;
    QSpinBox* maxPixels;
    QCheckBox* copyImage;

    // The size the scale box offers when scaling was off.
    static constexpr int kSuggestedMaxPixels = 1000;

protected:
    void InitControls() override;

private:
    void UpdateEnabling();
    int carry_ = 1, fromFolder_ = 0, maxPixels_ = 0, copyImage_ = 0;
};

// The FLAC page (compression, sample rate, tags) and, without `flac`, the ALAC page (sample rate;
// its tags are the MPEG-4 page's).
class LosslessPage : public OptionPage {
    Q_OBJECT
public:
    LosslessPage(bool flac, UiHost* host, QWidget* parent = nullptr);
    void CopyIn(const Settings& s) override;
    void CopyOut(Settings& s) const override;
    bool ReadControls() override;
    void WriteControls() override;

    QComboBox* compressionList = nullptr;
    QComboBox* rateList;
    TagGroup* tags = nullptr;

protected:
    void InitControls() override;

private:
    bool flac_;
    int compression_ = 5, rate_ = 0;
    int tagType_ = 1;
    TagOverrides tagSet_;
};

// The Opus page: the bit rate of two channels, the bit-rate mode, the tuning, tags and gain.
class OpusPage : public OptionPage {
    Q_OBJECT
public:
    explicit OpusPage(UiHost* host, QWidget* parent = nullptr);
    void CopyIn(const Settings& s) override;
    void CopyOut(Settings& s) const override;
    bool ReadControls() override;
    void WriteControls() override;

    IntSpinEdit* bitRate;
    QRadioButton* modeRadios[3];         // variable, constrained variable, constant
    QRadioButton* applicationRadios[2];  // general audio, voice
    TagGroup* tags;
    AmplifyGroup* amplify;

protected:
    void InitControls() override;

private:
    int bitRate_ = 128, mode_ = 0, application_ = 0;
    int tagType_ = 1;
    TagOverrides tagSet_;
    int amplifyOn_ = 0, amplifyCoeff_ = 100;
};

}  // namespace sonavert
