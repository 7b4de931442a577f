#pragma once
// The main window: the conversion list, the command buttons, the output-format choice, the help
// menu, the minimise and close buttons and the homepage link, in a fixed-size window without a
// system caption that the user drags by its body. It owns the settings record and the list rows,
// runs the add runs and the conversion batch, and saves the exit group of settings when it closes.
#include <functional>
#include <string>
#include <vector>

#include <QDialog>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <QStringList>

#include "engine/Batch.h"
#include "engine/OutputFormats.h"
#include "filelist/FileList.h"
#include "settings/Settings.h"
#include "sources/SourceFactory.h"
#include "ui/Shell.h"
#include "winmedia/WmaFormats.h"

class QAction;
class QComboBox;
class QLabel;
class QGridLayout;
class QHBoxLayout;
class QMenu;
class QPushButton;
class QToolButton;

namespace sonavert {

class CodecHost;
class FileListModel;
class FileListView;
class Hyperlink;
class ProgressWindow;
class SettingsStore;

// The window's size when it first opens, in pixels; it can be resized down to what its layout
// needs and grows the list.
inline constexpr int kMainWindowWidth = 699;
inline constexpr int kMainWindowHeight = 538;
// Delay before a tool tip appears, in milliseconds.
inline constexpr int kToolTipDelay = 300;
// Least width of the output-format drop-down in pixels; wider when its entries need it.
inline constexpr int kFormatDropDownWidth = 160;
// How near the window's edge (in pixels) a press resizes the captionless window.
inline constexpr int kResizeBorder = 6;
// Width of the Status column once a failure with a reason was shown; it starts at 145 pixels.
inline constexpr int kWideStatusColumn = 500;
inline constexpr int kStartStatusColumn = 145;


// Where the window of `size` goes within a screen's `available` area: centred; along a side
// where it does not fit, its top and right edges meet the area's, so that the caption row with
// Minimize and Close stays on the screen (a fixed 699 x 538 window at a scale factor of 2).
QPoint MainWindowPlacement(const QSize& size, const QRect& available);

// The window's geometry when it opens: the stored rectangle (a width of 0: none) or else the
// default size, cut to the screen's available area but no smaller than `minimum`; a stored
// rectangle keeps its place moved inside the area, a new one is placed by MainWindowPlacement.
QRect MainWindowGeometry(const QRect& stored, const QSize& minimum, const QRect& available);

// Shows `body` as a desktop notification through org.freedesktop.Notifications on the session bus,
// without waiting for an answer. False when there is no session bus.
bool NotifyDesktop(const QString& body);

// The files and folders named on the desktop program's command line ("sonavert FILE..."), as
// absolute paths, byte for byte.
std::vector<std::string> StartPaths(int argc, char** argv);

// The Add Files dialog's filter list in the file dialog's own form: one "Name (*.a *.b)" entry
// per line of the open-dialog table, its patterns separated by blanks (the dialog splits on
// blanks only), "All Files" matching every file name, dotted or not, followed by "All audio
// files" with every extension the decoders read.
QStringList OpenDialogNameFilters();

// What the tests (or a different desktop) put in place of the real dialogs and services.
struct MainWindowHooks {
    UiHost* host = nullptr;  // message boxes, the file and folder dialogs, opening addresses
    // Converts one file; empty: the real pipelines.
    ConvertFunction convert;
    // Opens the help window (maximised on the first start) and closes it; empty: the real one.
    std::function<void(bool maximised)> showHelp;
    std::function<void()> closeHelp;
    // Shows the About box; empty: the real one.
    std::function<void(QWidget* owner)> showAbout;
};

// The entries of the list's context menu and of the help menu, by command.
enum class ListCommand {
    PlaySource,
    PlayDestination,
    ConvertSelected,
    ConvertAll,
    BrowseSourceFolder,
    BrowseDestinationFolder,
    AddFiles,
    AddFolder,
    Remove,
    RemoveAll,
};
enum class HelpCommand { HelpTopics, TellAFriend, Feedback, Homepage, CheckLatestVersion, About };

class MainWindow : public QDialog {
    Q_OBJECT
public:
    // Loads the default SoundFont and the settings from `store`, builds the window and, on the
    // first start, opens the help maximised.
    MainWindow(CodecHost& codecs, SettingsStore& store, MainWindowHooks hooks = {}, QWidget* parent = nullptr);
    ~MainWindow() override;

    // Commands.
    void AddFilesCommand();
    void AddFolderCommand();
    // Adds dropped files and folders (folders are searched). Refused while a run is going on.
    void DropPaths(const std::vector<std::string>& paths);
    // Adds the paths named when the program was started, as a drop, once the window runs.
    void OpenOnStart(const std::vector<std::string>& paths);
    void RemoveCommand();
    void RemoveAllCommand();
    void ConvertAllCommand();
    void ConvertSelectedCommand();
    void PlaySourceCommand();
    void PlayDestinationCommand();
    void BrowseSourceFolderCommand();
    void BrowseDestinationFolderCommand();
    void OptionsCommand();
    void HelpTopicsCommand();
    void TellAFriendCommand();
    void FeedbackCommand();
    void HomepageCommand();
    void CheckLatestVersionCommand();
    void AboutCommand();

    // Sets the list menu's items enabled by the rows and the selection, as when it opens.
    void UpdateListMenu();
    // Opens the list menu at a global position (the pointer or the list's centre).
    void OpenListMenu(const QPoint& globalPosition);
    void OpenHelpMenu();

    // True while an add run or a conversion runs.
    bool Busy() const { return busy_; }

    Settings& CurrentSettings() { return settings_; }
    FileList& List() { return list_; }
    FileListView* View() const { return view_; }
    QComboBox* FormatList() const { return formatList_; }
    QMenu* ListMenu() const { return listMenu_; }
    QMenu* HelpMenu() const { return helpMenu_; }
    QAction* Action(ListCommand command) const;
    QAction* Action(HelpCommand command) const;
    QPushButton* AddFilesButton() const { return addFilesButton_; }
    QPushButton* AddFolderButton() const { return addFolderButton_; }
    QPushButton* RemoveAllButton() const { return removeAllButton_; }
    QPushButton* ConvertButton() const { return convertButton_; }
    QPushButton* OptionsButton() const { return optionsButton_; }
    QToolButton* HelpButton() const { return helpButton_; }
    QToolButton* MinimizeButton() const { return minimizeButton_; }
    QToolButton* CloseButton() const { return closeButton_; }
    Hyperlink* HomepageLink() const { return homepageLink_; }
    // The summary of the last conversion run ("4 converted, 1 failed, 0 skipped in 0:42").
    QLabel* SummaryLabel() const { return summaryLabel_; }
    // The progress window of the running conversion, or null.
    ProgressWindow* CurrentProgress() const { return progress_; }

    void done(int result) override;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    class WindowQuestions;
    class BatchWindowDriver;
    class AddWindowDriver;
    friend class WindowQuestions;
    friend class BatchWindowDriver;
    friend class AddWindowDriver;

    void BuildControls();
    // The style sheet for a light palette (fixed colours) or a dark one (the palette's).
    void ApplyLook();
    void BuildMenus();
    void FillFormatList();
    void OnFormatChosen(int index);
    // Runs FileAdder::AddPaths (found = false) or AddFound (true) with the add-progress window.
    void RunAdd(const std::vector<std::string>& paths, bool search);
    void RunBatch(const RowSet& rows);
    void RunPendingDrops();
    // The one selected row's entry, or null unless exactly one row is selected.
    FileEntry* SingleSelected();
    void OpenUnderWaitCursor(const QString& target);
    void Teardown();
    // The window's edges under `position` (window coordinates) that a press there resizes.
    Qt::Edges ResizeEdges(const QPoint& position) const;
    // Sizes and places the window by the stored geometry and its screen.
    void PlaceOnScreen();
    // The command groups in one row, or the format and conversion group below the list commands.
    void ArrangeCommands(bool twoRows);
    int OneRowCommandWidth() const;

    CodecHost& codecs_;
    SettingsStore& store_;
    MainWindowHooks hooks_;
    Settings settings_;
    FileList list_;
    SourceFactoryContext sources_;
    // The Windows Media formats the WMA page offers; built when the runtime is first found.
    WmaFormatList wmaFormats_;
    // Loads the Windows Media runtime (asking the user when it is missing) and builds the format
    // list when the runtime has just been found; false when it is not available.
    bool WindowsMediaReady();
    BatchState batchState_;
    int statusColumnWidth_ = kStartStatusColumn;  // the Status column's tracked width
    bool busy_ = false;
    bool tornDown_ = false;
    std::vector<std::string> pendingDrops_;

    QGridLayout* commandGrid_ = nullptr;
    QHBoxLayout* commandsLeft_ = nullptr;
    QHBoxLayout* commandsRight_ = nullptr;
    bool commandsInTwoRows_ = false;
    FileListModel* model_ = nullptr;
    FileListView* view_ = nullptr;
    QComboBox* formatList_ = nullptr;
    QPushButton* addFilesButton_ = nullptr;
    QPushButton* addFolderButton_ = nullptr;
    QPushButton* removeAllButton_ = nullptr;
    QPushButton* convertButton_ = nullptr;
    QPushButton* optionsButton_ = nullptr;
    QToolButton* helpButton_ = nullptr;
    QToolButton* minimizeButton_ = nullptr;
    QToolButton* closeButton_ = nullptr;
    Hyperlink* homepageLink_ = nullptr;
    QLabel* summaryLabel_ = nullptr;
    QMenu* listMenu_ = nullptr;
    QMenu* helpMenu_ = nullptr;
    std::vector<QAction*> listActions_;
    std::vector<QAction*> helpActions_;
    ProgressWindow* progress_ = nullptr;  // owned by the running batch's driver
    bool darkLook_ = false;
};

}  // namespace sonavert
