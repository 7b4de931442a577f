#include "ui/options/OptionsDialog.h"

#include <QDialogButtonBox>
#include <QGuiApplication>
#include <QScreen>
#include <QScrollArea>
#include <QStyle>
#include <QTabBar>
#include <QTabWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <memory>

#include "settings/SettingsStore.h"

namespace sonavert {

namespace {

// A page's scroll area asks for the whole page (a plain scroll area caps its wish at a few
// dozen lines); the dialog then cuts that to the screen.
class PageScroller : public QScrollArea {
public:
    QSize sizeHint() const override {
        const int frame = 2 * frameWidth();
        return widget() ? widget()->sizeHint() + QSize(frame, frame) : QScrollArea::sizeHint();
    }
};

}  // namespace

OptionsDialog::OptionsDialog(const Settings& settings, const OptionsDialogHooks& hooks, QWidget* parent)
    : QDialog(parent), host_(hooks.host) {
    setWindowTitle(QStringLiteral("Options"));
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);

    pages_ = {new GeneralPage(host_),      new Mp3Page(host_),     new WavPage(host_),
              new WmaPage(hooks.wmaFormats, host_), new OggPage(host_), new AmrPage(host_),
              new AacPage(false, host_),   new AacPage(true, host_),
              new LosslessPage(true, host_), new LosslessPage(false, host_), new OpusPage(host_),
              new CoverArtPage(host_),     new LoudnessPage(host_)};
    static_cast<GeneralPage*>(pages_[kPageGeneral])->SetPreviewRows(hooks.previewRows, settings.OutputFormat);
    tabs_ = new QTabWidget(this);
    // Every caption shows while the screen has room for them; on a narrow screen the bar scrolls.
    tabs_->setUsesScrollButtons(true);
    tabs_->setElideMode(Qt::ElideNone);
    for (OptionPage* page : pages_) {
        page->CopyIn(settings);
        // Each page scrolls when the screen is lower (or narrower) than the page.
        auto* scroller = new PageScroller;
        scroller->setFrameShape(QFrame::NoFrame);
        scroller->setWidgetResizable(true);
        scroller->setWidget(page);
        tabs_->addTab(scroller, page->Caption());
    }
    buttons_ = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons_, &QDialogButtonBox::accepted, this, &OptionsDialog::accept);
    connect(buttons_, &QDialogButtonBox::rejected, this, &OptionsDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(tabs_);
    layout->addWidget(buttons_);
    ApplyDialogFont(this);
    FitToScreen();

    const int start = settings.OptStartPageIndex;
    active_ = start >= 0 && start < kOptionPageCount ? start : kPageGeneral;
    pages_[active_]->EnsureInitialised();
    tabs_->setCurrentIndex(active_);
    connect(tabs_, &QTabWidget::currentChanged, this, &OptionsDialog::OnTabChanged);
}

void OptionsDialog::FitToScreen() {
    // The size every page and every caption needs, cut to the screen's available area: what does
    // not fit then scrolls, and OK and Cancel stay on the screen.
    layout()->activate();
    QSize wanted = sizeHint();
    // The tab widget asks for little of a bar that scrolls; every caption visible where there is room.
    const int frame = 2 * tabs_->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, tabs_) + 4;
    wanted.setWidth(std::max(wanted.width(), tabs_->tabBar()->sizeHint().width() + frame + (sizeHint() - tabs_->sizeHint()).width()));
    QScreen* screen = parentWidget() ? parentWidget()->screen() : this->screen();
    if (!screen) screen = QGuiApplication::primaryScreen();
    if (screen) {
        // The window system's frame around the dialog takes some of the area too.
        const QSize room = screen->availableGeometry().size() - QSize(16, 40);
        wanted = wanted.boundedTo(room);
        setMaximumSize(screen->availableGeometry().size());
    }
    setMinimumSize(minimumSizeHint().boundedTo(wanted));
    resize(wanted);
}

int OptionsDialog::ActivePage() const { return tabs_->currentIndex(); }

void OptionsDialog::OnTabChanged(int index) {
    if (reverting_ || index == active_) return;
    OptionPage* leaving = pages_[active_];
    if (leaving->Initialised() && !leaving->ReadControls()) {
        // The page refused: it stays active with the focus where the refusal put it.
        reverting_ = true;
        tabs_->setCurrentIndex(active_);
        reverting_ = false;
        if (QWidget* focus = leaving->FailureFocus()) focus->setFocus();
        return;
    }
    active_ = index;
    pages_[active_]->EnsureInitialised();
}

void OptionsDialog::accept() {
    OptionPage* page = pages_[active_];
    if (page->Initialised() && !page->ReadControls()) return;
    QDialog::accept();
}

void OptionsDialog::done(int result) {
    closingPage_ = tabs_->currentIndex();
    QDialog::done(result);
}

void OptionsDialog::CopyOut(Settings& settings) const {
    for (OptionPage* page : pages_) page->CopyOut(settings);
}

void ShowOptionsDialog(QWidget* mainWindow, Settings& settings, const SettingsStore& store,
                       const OptionsDialogHooks& hooks) {
    std::unique_ptr<OptionsDialog> dialog;
    {
        WaitCursor wait;
        dialog = std::make_unique<OptionsDialog>(settings, hooks, mainWindow);
    }
    const int result = (hooks.host ? *hooks.host : SystemUiHost()).RunModal(*dialog);
    settings.OptStartPageIndex = dialog->ClosingPage();
    if (result != QDialog::Accepted) return;
    dialog->CopyOut(settings);
    RebuildExtensionFilter(settings);
    store.SaveSettings(settings, kSaveOptions);
}

}  // namespace sonavert
