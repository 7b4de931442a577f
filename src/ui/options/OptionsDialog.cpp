#include "ui/options/OptionsDialog.h"

#include <QDialogButtonBox>
#include <QTabWidget>
#include <QVBoxLayout>

#include <memory>

#include "settings/SettingsStore.h"

namespace sonavert {

OptionsDialog::OptionsDialog(const Settings& settings, const OptionsDialogHooks& hooks, QWidget* parent)
    : QDialog(parent), host_(hooks.host) {
    setWindowTitle(QStringLiteral("Options"));
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);

    pages_ = {new GeneralPage(host_),      new Mp3Page(host_),     new WavPage(host_),
              new WmaPage(hooks.wmaFormats, host_), new OggPage(host_), new AmrPage(host_),
              new AacPage(false, host_),   new AacPage(true, host_),
              new LoudnessPage(host_)};
    static_cast<GeneralPage*>(pages_[kPageGeneral])->SetPreviewRows(hooks.previewRows, settings.OutputFormat);
    tabs_ = new QTabWidget(this);
    tabs_->setUsesScrollButtons(false);  // every caption visible
    for (OptionPage* page : pages_) {
        page->CopyIn(settings);
        tabs_->addTab(page, page->Caption());
    }
    buttons_ = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons_, &QDialogButtonBox::accepted, this, &OptionsDialog::accept);
    connect(buttons_, &QDialogButtonBox::rejected, this, &OptionsDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(tabs_);
    layout->addWidget(buttons_);
    ApplyDialogFont(this);

    const int start = settings.OptStartPageIndex;
    active_ = start >= 0 && start < kOptionPageCount ? start : kPageGeneral;
    pages_[active_]->EnsureInitialised();
    tabs_->setCurrentIndex(active_);
    connect(tabs_, &QTabWidget::currentChanged, this, &OptionsDialog::OnTabChanged);
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
