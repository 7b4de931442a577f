#include "ui/AboutDialog.h"

#include <QDialogButtonBox>
#include <QFont>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

#include "base/ProductInfo.h"
#include "ui/Hyperlink.h"

namespace sonavert {

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
