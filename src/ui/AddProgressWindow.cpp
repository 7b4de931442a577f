#include "ui/AddProgressWindow.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

namespace sonavert {

AddProgressWindow::AddProgressWindow(QWidget* parent, UiHost* host)
    : CaptionlessDialog(parent), host_(host), text_(new QLabel(this)), bar_(new QProgressBar(this)) {
    setObjectName(QStringLiteral("AddProgressWindow"));
    text_->setObjectName(QStringLiteral("text"));
    bar_->setObjectName(QStringLiteral("bar"));
    text_->setTextFormat(Qt::PlainText);
    // Long file names are cut at the window's edge instead of widening it.
    text_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    bar_->setRange(0, 1);
    bar_->setValue(0);
    bar_->setTextVisible(false);
    bar_->setFixedHeight(16);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(14, 12, 14, 12);
    layout->setSpacing(4);
    layout->addWidget(text_);
    layout->addWidget(bar_);
    layout->addStretch(1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(CancelButton());
    layout->addLayout(buttons);

    FinishLayout(QSize(480, 100));
}

void AddProgressWindow::Started() {
    // A run may continue in a window that is already shown (a search followed by adding).
    if (isVisible()) return;
    ResetCancel();
    text_->clear();
    bar_->setRange(0, 1);
    bar_->setValue(0);
    CentreOverParent();
    show();
    raise();
    activateWindow();
}

void AddProgressWindow::SetText(const std::string& text) { text_->setText(QString::fromStdString(text)); }

void AddProgressWindow::SetBarRange(int maximum) {
    bar_->setRange(0, maximum > 0 ? maximum : 1);
    bar_->setValue(0);
}

void AddProgressWindow::StepBar() {
    if (bar_->value() < bar_->maximum()) bar_->setValue(bar_->value() + 1);
}

void AddProgressWindow::Pump() { PumpMessages(); }

void AddProgressWindow::Finished() { close(); }

void AddProgressWindow::ShowMessage(MessageIcon icon, const std::string& text) {
    // The window itself is closed by now; the message belongs to the main window.
    sonavert::ShowMessage(host_, parentWidget(), QString::fromStdString(text), icon);
}

QString AddProgressWindow::Text() const { return text_->text(); }
int AddProgressWindow::BarPosition() const { return bar_->value(); }
int AddProgressWindow::BarMaximum() const { return bar_->maximum(); }

}  // namespace sonavert
