#include "ui/AboutDialog.h"

#include <QDialogButtonBox>
#include <QFont>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

#include <fluidsynth.h>
#include <lame/lame.h>
#include <libopenmpt/libopenmpt.h>
#include <soxr.h>
#include <vorbis/codec.h>
extern "C" {
#include <libavutil/avutil.h>
}

#include "base/ProductInfo.h"
#include "ui/Hyperlink.h"

namespace sonavert {

namespace {

QString OpenmptVersion() {
    const char* text = openmpt_get_string("library_version");
    QString version = QString::fromUtf8(text ? text : "");
    openmpt_free_string(text);
    return version;
}

// libvorbis reports "Xiph.Org libVorbis 1.3.7": the version is the last word.
QString VorbisVersion() {
    const QString text = QString::fromUtf8(vorbis_version_string());
    return text.section(QLatin1Char(' '), -1);
}

}  // namespace

std::vector<LibraryCredit> LibraryCredits() {
    // The versions are asked of the libraries this process has loaded; libogg, libmpg123,
    // libcdio (used by the CD add-on only), libgsm, TagLib and the AMR codecs report none at run
    // time.
    return {
        {QStringLiteral("FFmpeg"), QStringLiteral("LGPL 2.1 or later"), QString::fromUtf8(av_version_info())},
        {QStringLiteral("LAME"), QStringLiteral("LGPL 2 or later"), QString::fromUtf8(get_lame_version())},
        {QStringLiteral("libvorbis"), QStringLiteral("BSD 3-clause"), VorbisVersion()},
        {QStringLiteral("libogg"), QStringLiteral("BSD 3-clause"), QString()},
        {QStringLiteral("libmpg123"), QStringLiteral("LGPL 2.1"), QString()},
        {QStringLiteral("libopenmpt"), QStringLiteral("BSD 3-clause"), OpenmptVersion()},
        {QStringLiteral("FluidSynth"), QStringLiteral("LGPL 2.1 or later"), QString::fromUtf8(fluid_version_str())},
        {QStringLiteral("libcdio"), QStringLiteral("GPL 3 or later"), QString()},
        {QStringLiteral("libgsm"), QStringLiteral("permissive licence of TU Berlin"), QString()},
        {QStringLiteral("libsoxr"), QStringLiteral("LGPL 2.1 or later"),
         QString::fromUtf8(soxr_version()).remove(QStringLiteral("libsoxr-"))},
        {QStringLiteral("TagLib"), QStringLiteral("LGPL 2.1 or MPL 1.1"), QString()},
        {QStringLiteral("opencore-amr"), QStringLiteral("Apache 2.0"), QString()},
        {QStringLiteral("vo-amrwbenc"), QStringLiteral("Apache 2.0"), QString()},
        {QStringLiteral("Qt"), QStringLiteral("LGPL 3"), QString::fromLatin1(qVersion())},
    };
}

QString CreditLine(const LibraryCredit& credit) {
    QString line = credit.name;
    if (!credit.version.isEmpty()) line += QLatin1Char(' ') + credit.version;
    return line + QStringLiteral(" (") + credit.licence + QLatin1Char(')');
}

AboutDialog::AboutDialog(QWidget* parent, UiHost* host) : QDialog(parent) {
    setObjectName(QStringLiteral("AboutDialog"));
    setWindowTitle(QStringLiteral("About %1").arg(QString::fromLatin1(kProductName)));

    auto* title = new QLabel(QStringLiteral("%1 %2").arg(QString::fromLatin1(kProductName),
                                                         QString::fromLatin1(kProductVersion)),
                             this);
    title->setObjectName(QStringLiteral("productTitle"));
    QFont titleFont = title->font();
    titleFont.setBold(true);
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.5);
    title->setFont(titleFont);

    auto* subtitle = new QLabel(tr("Batch audio converter"), this);
    subtitle->setObjectName(QStringLiteral("subtitle"));

    homepage_ = new Hyperlink(QStringLiteral("Homepage"), this, host);
    homepage_->setObjectName(QStringLiteral("homepageLink"));
    homepage_->SetLinkAddress(QString::fromLatin1(kHomepageUrl));
    support_ = new Hyperlink(QStringLiteral("Feedback and Support"), this, host);
    support_->setObjectName(QStringLiteral("supportLink"));
    support_->SetLinkAddress(QStringLiteral("mailto:") + QString::fromLatin1(kSupportAddress));

    auto* lame = new QLabel(QStringLiteral("The program uses LAME MP3 encoder"), this);
    lame->setObjectName(QStringLiteral("encoderNote"));

    QStringList creditLines;
    for (const LibraryCredit& credit : LibraryCredits()) creditLines << CreditLine(credit);
    auto* creditsTitle = new QLabel(tr("The program uses these libraries:"), this);
    auto* credits = new QLabel(creditLines.join(QLatin1Char('\n')), this);
    credits->setObjectName(QStringLiteral("libraryCredits"));
    credits->setTextInteractionFlags(Qt::TextSelectableByMouse);

    auto* line = new QFrame(this);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);

    auto* links = new QHBoxLayout;
    links->setSpacing(18);
    links->addWidget(homepage_);
    links->addWidget(support_);
    links->addStretch(1);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(20, 18, 20, 14);
    layout->setSpacing(8);
    layout->addWidget(title);
    layout->addWidget(subtitle);
    layout->addSpacing(6);
    layout->addLayout(links);
    layout->addWidget(lame);
    layout->addSpacing(4);
    layout->addWidget(creditsTitle);
    layout->addWidget(credits);
    layout->addSpacing(4);
    layout->addWidget(line);
    layout->addWidget(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    // Room around the short texts, so that the box does not look cramped.
    title->setMinimumWidth(300);
}

void ShowAboutBox(QWidget* parent, UiHost* host) {
    AboutDialog dialog(parent, host);
    (host ? *host : SystemUiHost()).RunModal(dialog);
}

}  // namespace sonavert
