#include "ui/ProgressWindow.h"

#include <algorithm>
#include <cmath>

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/Shell.h"

namespace sonavert {

namespace {

QProgressBar* MakeBar(QWidget* parent) {
    auto* bar = new QProgressBar(parent);
    bar->setRange(0, 1);
    bar->setValue(0);
    // The texts above the bars already say how far the run is.
    bar->setTextVisible(false);
    bar->setFixedHeight(16);
    return bar;
}

// A label that keeps one line whatever its text: long file names must not grow the window.
QLabel* MakeText(QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setTextFormat(Qt::PlainText);
    label->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    return label;
}

}  // namespace

ProgressWindow::ProgressWindow(QWidget* parent)
    : CaptionlessDialog(parent),
      overallText_(MakeText(this)),
      overallBar_(MakeBar(this)),
      fileText_(MakeText(this)),
      fileBar_(MakeBar(this)),
      timesText_(MakeText(this)),
      pauseButton_(new QPushButton(tr("&Pause"), this)) {
    timesText_->setObjectName(QStringLiteral("timesText"));
    pauseButton_->setObjectName(QStringLiteral("pauseButton"));
    pauseButton_->setAutoDefault(false);
    connect(pauseButton_, &QPushButton::clicked, this, [this] { SetPaused(!paused_); });
    setObjectName(QStringLiteral("ProgressWindow"));
    overallText_->setObjectName(QStringLiteral("overallText"));
    overallBar_->setObjectName(QStringLiteral("overallBar"));
    fileText_->setObjectName(QStringLiteral("fileText"));
    fileBar_->setObjectName(QStringLiteral("fileBar"));

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(14, 12, 14, 12);
    layout->setSpacing(4);
    layout->addWidget(overallText_);
    layout->addWidget(overallBar_);
    layout->addWidget(timesText_);
    layout->addSpacing(6);
    layout->addWidget(fileText_);
    layout->addWidget(fileBar_);
    layout->addStretch(1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(pauseButton_);
    buttons->addWidget(CancelButton());
    layout->addLayout(buttons);

    FinishLayout(QSize(480, 140));
}

void ProgressWindow::SetOverallText(const QString& text) { overallText_->setText(text); }

void ProgressWindow::SetOverallRange(int rowCount) {
    overallBar_->setRange(0, rowCount > 0 ? rowCount : 1);
    overallBar_->setValue(0);
}

void ProgressWindow::StepOverall() {
    if (overallBar_->value() < overallBar_->maximum()) overallBar_->setValue(overallBar_->value() + 1);
}

void ProgressWindow::SetOverallProgress(double fraction) {
    if (workShown_) return;
    const int maximum = overallBar_->maximum();
    overallBar_->setValue(static_cast<int>(std::lround(std::clamp(fraction, 0.0, 1.0) * maximum)));
}

QString ProgressWindow::OverallText() const { return overallText_->text(); }
int ProgressWindow::OverallPosition() const { return overallBar_->value(); }
int ProgressWindow::OverallMaximum() const { return overallBar_->maximum(); }

void ProgressWindow::SetFileText(const QString& text) { fileText_->setText(text); }

int ProgressWindow::FileBarWidth() { return fileBar_->width(); }

void ProgressWindow::SetFileBarRange(int maximum) {
    fileBar_->setRange(0, maximum > 0 ? maximum : 1);
    fileBar_->setValue(0);
}

void ProgressWindow::SetFileBarPosition(int position) {
    // QProgressBar ignores values outside its range; a position past the end fills the bar.
    fileBar_->setValue(std::clamp(position, 0, fileBar_->maximum()));
}

void ProgressWindow::SetFileProgress(double fraction) {
    // The bar's range follows its width, so every pixel is one step.
    const int width = std::max(FileBarWidth(), 1);
    if (fileBar_->maximum() != width) fileBar_->setRange(0, width);
    SetFileBarPosition(static_cast<int>(std::clamp(fraction, 0.0, 1.0) * width));
}

void ProgressWindow::Pump() { PumpMessages(); }

QString ClockText(double seconds) {
    const long total = seconds > 0 ? std::lround(seconds) : 0;
    const long h = total / 3600, m = total / 60 % 60, sec = total % 60;
    return h > 0 ? QStringLiteral("%1:%2:%3").arg(h).arg(m, 2, 10, QLatin1Char('0')).arg(sec, 2, 10, QLatin1Char('0'))
                 : QStringLiteral("%1:%2").arg(m).arg(sec, 2, 10, QLatin1Char('0'));
}

void ProgressWindow::SetWorkDone(double fraction, double elapsedSeconds, double remainingSeconds) {
    // One step per thousandth of the run's work.
    workShown_ = true;
    if (overallBar_->maximum() != 1000) overallBar_->setRange(0, 1000);
    overallBar_->setValue(static_cast<int>(std::lround(std::clamp(fraction, 0.0, 1.0) * 1000)));
    QString times = tr("%1 elapsed").arg(ClockText(elapsedSeconds));
    if (remainingSeconds >= 0 && fraction < 1.0) times += tr(", about %1 left").arg(ClockText(remainingSeconds));
    times_ = times;
    ShowTimes();
}

void ProgressWindow::ShowTimes() {
    timesText_->setText(paused_ && !times_.isEmpty() ? times_ + tr(" (paused)") : times_);
}

QString ProgressWindow::TimesText() const { return timesText_->text(); }

void ProgressWindow::SetPaused(bool paused) {
    paused_ = paused;
    pauseButton_->setText(paused ? tr("&Resume") : tr("&Pause"));
    // At once: a run with one job reports no work while it is held.
    ShowTimes();
}

QString ProgressWindow::FileText() const { return fileText_->text(); }
int ProgressWindow::FilePosition() const { return fileBar_->value(); }
int ProgressWindow::FileMaximum() const { return fileBar_->maximum(); }

}  // namespace sonavert
