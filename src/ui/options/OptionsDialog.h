#pragma once
// The modal tabbed "Options" dialog over copies of the settings. Each page sits in a scroll
// area, and the dialog is no larger than the screen's available area, so that every control
// stays reachable at any scale.
#include <vector>

#include <QDialog>

#include "settings/Settings.h"
#include "ui/options/OptionPages.h"
#include "ui/Shell.h"

class QDialogButtonBox;
class QTabWidget;

namespace sonavert {

class SettingsStore;

// Page indices as stored in OptStartPageIndex.
enum OptionPageIndex {
    kPageGeneral = 0,
    kPageMp3,
    kPageWav,
    kPageWma,
    kPageOgg,
    kPageAmr,
    kPageAac,
    kPageM4a,
    kPageFlac,
    kPageAlac,
    kPageOpus,
    kPageCoverArt,
    kPageLoudness,
    kOptionPageCount
};

struct OptionsDialogHooks {
    UiHost* host = nullptr;              // null: the desktop
    WmaFormatProvider wmaFormats;        // empty: the WMA page offers only "Auto"
    // The first rows of the list, whose targets the General page previews.
    std::vector<GeneralPage::PreviewRow> previewRows = {};
};

class OptionsDialog : public QDialog {
    Q_OBJECT
public:
    OptionsDialog(const Settings& settings, const OptionsDialogHooks& hooks, QWidget* parent = nullptr);

    OptionPage* Page(int index) const { return pages_[index]; }
    QTabWidget* Tabs() const { return tabs_; }
    QDialogButtonBox* Buttons() const { return buttons_; }
    int ActivePage() const;
    // The page that was active when the dialog closed.
    int ClosingPage() const { return closingPage_; }
    // Copies every page back into the settings.
    void CopyOut(Settings& settings) const;

    void accept() override;
    void done(int result) override;

private:
    void OnTabChanged(int index);
    // Sizes the dialog for its pages within the screen's available area.
    void FitToScreen();

    std::vector<OptionPage*> pages_;
    QTabWidget* tabs_;
    QDialogButtonBox* buttons_;
    int active_ = 0;
    int closingPage_ = 0;
    bool reverting_ = false;
    UiHost* host_;
};

// The Options command: runs the dialog on `settings`; the active page becomes OptStartPageIndex;
// on OK the pages are copied back, the extension filter rebuilt and the options group saved.
void ShowOptionsDialog(QWidget* mainWindow, Settings& settings, const SettingsStore& store,
                       const OptionsDialogHooks& hooks = {});

}  // namespace sonavert
