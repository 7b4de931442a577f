// The Cover art page.
#include <QCheckBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QSpinBox>
#include <QVBoxLayout>

#include <algorithm>

#include "ui/options/OptionPages.h"

namespace sonavert {

namespace {
constexpr int kMinScaledPixels = 16;
constexpr int kMaxScaledPixels = 16384;
}  // namespace

CoverArtPage::CoverArtPage(UiHost* host, QWidget* parent) : OptionPage(QStringLiteral("Cover art"), host, parent) {
    auto* group = new QGroupBox(QStringLiteral("Pictures in the target's tags"), this);
    carry = new QCheckBox(QStringLiteral("&Carry the source's cover picture (when the source's tags are transferred)"),
                          group);
    fromFolder = new QCheckBox(
        QStringLiteral("When the source has none, use a cover, folder or front .jpg/.png of its &folder"), group);
    scale = new QCheckBox(QStringLiteral("&Scale pictures down to at most"), group);
    maxPixels = new QSpinBox(group);
    maxPixels->setRange(kMinScaledPixels, kMaxScaledPixels);
    maxPixels->setSuffix(QStringLiteral(" pixels"));
    KeepSpinBoxWidth(maxPixels);
    auto* scaleRow = new QHBoxLayout;
    scaleRow->addWidget(scale);
    scaleRow->addWidget(maxPixels);
    scaleRow->addStretch();
    auto* g = new QVBoxLayout(group);
    g->addWidget(carry);
    g->addWidget(fromFolder);
    g->addLayout(scaleRow);
    g->addWidget(new QLabel(QStringLiteral("MP3, OGG, WMA/WMV/ASF and MP4/M4A/M4B/M4R targets hold a picture; "
                                           "WAV, AAC and AMR/AWB targets do not."),
                            group));

    auto* files = new QGroupBox(QStringLiteral("Image files"), this);
    copyImage = new QCheckBox(
        QStringLiteral("Co&py the folder's cover image beside the targets (an existing file is never replaced)"),
        files);
    auto* f = new QVBoxLayout(files);
    f->addWidget(copyImage);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(group);
    layout->addWidget(files);
    layout->addStretch();
    connect(carry, &QCheckBox::toggled, this, [this] { UpdateEnabling(); });
    connect(scale, &QCheckBox::toggled, this, [this] { UpdateEnabling(); });
}

void CoverArtPage::CopyIn(const Settings& s) {
    carry_ = s.CoverArt;
    fromFolder_ = s.CoverArtFromFolder;
    maxPixels_ = s.CoverArtMaxPixels;
    copyImage_ = s.CoverArtCopyFolderImage;
}

void CoverArtPage::CopyOut(Settings& s) const {
    s.CoverArt = carry_;
    s.CoverArtFromFolder = fromFolder_;
    s.CoverArtMaxPixels = maxPixels_;
    s.CoverArtCopyFolderImage = copyImage_;
}

void CoverArtPage::InitControls() { WriteControls(); }

void CoverArtPage::WriteControls() {
    carry->setChecked(carry_ != 0);
    fromFolder->setChecked(fromFolder_ != 0);
    scale->setChecked(maxPixels_ > 0);
    maxPixels->setValue(maxPixels_ > 0 ? std::clamp(maxPixels_, kMinScaledPixels, kMaxScaledPixels)
                                       : kSuggestedMaxPixels);
    copyImage->setChecked(copyImage_ != 0);
    UpdateEnabling();
}

void CoverArtPage::UpdateEnabling() {
    const bool on = carry->isChecked();
    fromFolder->setEnabled(on);
    scale->setEnabled(on);
    maxPixels->setEnabled(on && scale->isChecked());
}

bool CoverArtPage::ReadControls() {
    carry_ = carry->isChecked() ? 1 : 0;
    fromFolder_ = fromFolder->isChecked() ? 1 : 0;
    // A stored size below the box's range that nobody changed stays as it was.
    if (!scale->isChecked())
        maxPixels_ = 0;
    else if (maxPixels_ <= 0 || maxPixels->value() != std::clamp(maxPixels_, kMinScaledPixels, kMaxScaledPixels))
        maxPixels_ = maxPixels->value();
    copyImage_ = copyImage->isChecked() ? 1 : 0;
    return true;
}

}  // namespace sonavert
