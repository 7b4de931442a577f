#include "ui/MainWindow.h"

#include <algorithm>

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QResizeEvent>
#include <QComboBox>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMimeData>
#include <QPainter>
#include <QPainterPath>
#include <QProxyStyle>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QSizeGrip>
#include <QStyle>
#include <QTimer>
#include <QToolButton>
#include <QToolTip>
#include <QUrl>
#include <QVBoxLayout>
#include <QWindow>

#include "sources/CodecHost.h"
#include "engine/OutputFormats.h"
#include "base/PathHelpers.h"
#include "base/ProductInfo.h"
#include "filelist/ExtensionTable.h"
#include "filelist/FileAdder.h"
#include "filelist/PathIdentity.h"
#include "settings/SettingsStore.h"
#include "ui/options/OptionsDialog.h"
#include "ui/AboutDialog.h"
#include "ui/AddProgressWindow.h"
#include "ui/FileListView.h"
#include "ui/HelpWindow.h"
#include "ui/Hyperlink.h"
#include "ui/ProgressWindow.h"

namespace sonavert {

namespace {

// Addresses of the help menu. The update page takes the version and the build number.
constexpr const char* kUpdateUrl = "https://sonavert.app/update?ver=3.4&build=839";
constexpr const char* kHomepageText = "www.sonavert.app";
// Rows whose targets the General page of the options previews.
constexpr int kPreviewRows = 3;
constexpr const char* kTellAFriendSubject = "Sonavert - very COOL application!!!";

// Buttons with tool tips show them after kToolTipDelay instead of the style's delay.
class ToolTipDelayStyle : public QProxyStyle {
public:
    using QProxyStyle::QProxyStyle;
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* data) const override {
        if (hint == QStyle::SH_ToolTip_WakeUpDelay) return kToolTipDelay;
        return QProxyStyle::styleHint(hint, option, widget, data);
    }
};

// The link's tool tip names the product instead of repeating the address.
class LinkToolTip : public QObject {
public:
    LinkToolTip(QString text, QObject* parent) : QObject(parent), text_(std::move(text)) {}
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::ToolTip) {
            auto* help = static_cast<QHelpEvent*>(event);
            QToolTip::showText(help->globalPos(), text_, qobject_cast<QWidget*>(watched));
            return true;
        }
        return false;
    }

private:
    QString text_;
};

QIcon ThemeIcon(const char* name, QStyle::StandardPixmap fallback) {
    return QIcon::fromTheme(QString::fromLatin1(name), QApplication::style()->standardIcon(fallback));
}

}  // namespace

// Questions and shell requests in message boxes and through the desktop, over the main window.
class MainWindow::WindowQuestions : public UserQuestions {
public:
    explicit WindowQuestions(MainWindow& window) : window_(window) {}
    bool AskYesNo(const std::string& question) override {
        return ShowMessage(window_.hooks_.host, &window_, QString::fromStdString(question), MessageIcon::Question,
                           MessageButtons::YesNo) == MessageAnswer::Yes;
    }
    void OpenAddress(const std::string& address) override {
        UiHost& ui = window_.hooks_.host ? *window_.hooks_.host : SystemUiHost();
        ui.OpenDocument(QString::fromStdString(address), kShowNormal);
    }
    void ShowFile(const std::string& path) override { ShowInExplorer(QString::fromStdString(path), window_.hooks_.host); }
    void SetWaitCursor(bool on) override {
        if (on)
            QApplication::setOverrideCursor(Qt::WaitCursor);
        else
            QApplication::restoreOverrideCursor();
    }

private:
    MainWindow& window_;
};

// The batch's window side: the progress window, the main window's enabling, the status cells.
// Items carry their index in `entries`; a row is looked up by its entry, so that the cells
// written are always those of the file being converted.
class MainWindow::BatchWindowDriver : public BatchDriver {
public:
    BatchWindowDriver(MainWindow& window, std::vector<FileEntry*> entries)
        : window_(window), questions_(window), entries_(std::move(entries)), touched_(entries_.size(), false) {}
    ~BatchWindowDriver() override { EndRun(); }

    bool Touched(size_t item) const { return item < touched_.size() && touched_[item]; }

    bool AskYesNo(const std::string& question) override { return questions_.AskYesNo(question); }
    void OpenAddress(const std::string& address) override { questions_.OpenAddress(address); }
    void ShowFile(const std::string& path) override { questions_.ShowFile(path); }
    void SetWaitCursor(bool on) override { questions_.SetWaitCursor(on); }

    void BeginRun(int rowCount) override {
        window_.setEnabled(false);
        // The progress window stays usable while its owner is disabled.
        progress_ = new ProgressWindow(&window_);
        progress_->SetOverallRange(rowCount);
        window_.progress_ = progress_;
        progress_->show();
        progress_->raise();
    }
    void EndRun() override {
        if (!progress_) return;
        // Asked before the progress window goes: the user who watched the run has it, or the
        // main window, active; once it closes, neither is active until the desktop hands the
        // activation back.
        watched_ = window_.isActiveWindow() || progress_->isActiveWindow();
        ended_ = true;
        progress_->close();
        delete progress_;
        progress_ = nullptr;
        window_.progress_ = nullptr;
        window_.setEnabled(true);
    }
    void SetOverallText(const std::string& text) override {
        if (progress_) progress_->SetOverallText(text);
    }
    void SetOverallProgress(double fraction) override {
        if (progress_) progress_->SetOverallProgress(fraction);
    }
    void SetFileText(const std::string& text) override {
        if (progress_) progress_->SetFileText(text);
    }
    void SetFileProgress(double fraction) override {
        if (progress_) progress_->SetFileProgress(fraction);
    }
    void SetWorkDone(double fraction, double elapsed, double remaining) override {
        elapsed_ = elapsed;
        if (progress_) progress_->SetWorkDone(fraction, elapsed, remaining);
    }
    // Each running row draws its own bar in its Status cell.
    void SetRowProgress(int item, double fraction) override {
        const int row = RowOf(item);
        if (row >= 0) window_.model_->SetRowProgress(row, fraction);
    }
    bool PauseRequested() override { return progress_ && progress_->PauseRequested(); }

    // How the rows ended, and the run's working time, for the summary line.
    struct Tally {
        int converted = 0, failed = 0, skipped = 0, upToDate = 0, cancelled = 0;
    };
    const Tally& Counts() const { return tally_; }
    double Elapsed() const { return elapsed_; }
    // Whether the user was looking at the program when the run ended.
    bool Watched() const { return ended_ ? watched_ : window_.isActiveWindow(); }
    void Pump() override { PumpMessages(); }
    bool CancelRequested() override { return progress_ && progress_->CancelRequested(); }

    // A row that starts is scrolled into view and shows "Converting...".
    void RowStarted(int item) override {
        const int row = RowOf(item);
        if (row >= 0) window_.view_->scrollTo(window_.model_->index(row, 0));
        SetStatus(item, kConvertingStatus);
    }
    // A failure with a reason widens the Status column once, so the reason can be read.
    void RowFinished(int item, const RowOutcome& outcome) override {
        switch (outcome.kind) {
            case RowOutcome::Kind::Converted: ++tally_.converted; break;
            case RowOutcome::Kind::Incomplete:
            case RowOutcome::Kind::Failed: ++tally_.failed; break;
            case RowOutcome::Kind::Skipped: ++tally_.skipped; break;
            case RowOutcome::Kind::Cancelled: ++tally_.cancelled; break;
            case RowOutcome::Kind::UpToDate: ++tally_.upToDate; break;
        }
        if (const int row = RowOf(item); row >= 0) window_.model_->SetRowProgress(row, -1.0);
        SetStatus(item, StatusText(outcome));
        const int row = RowOf(item);
        // The tool tip tells a warning and the loudness measured, one line each.
        std::string note;
        if (!outcome.warning.empty()) note = "Warning: " + outcome.warning;
        if (!outcome.loudnessText.empty()) {
            if (!note.empty()) note.push_back('\n');
            note.append("Loudness: ").append(outcome.loudnessText);
        }
        if (outcome.verified) note += (note.empty() ? "" : "\n") + std::string(kVerifiedNote);
        if (row >= 0 && !note.empty()) {
            window_.list_.SetStatusNote(row, note);
            window_.model_->RowChanged(row);
        }
        if (outcome.kind == RowOutcome::Kind::Failed && outcome.inConversion && !outcome.reason.empty() &&
            window_.statusColumnWidth_ < kWideStatusColumn) {
            // From now on the column keeps the width it has (the user's, after a drag) rather than
            // following the room left: a reason may be longer than any window.
            QHeaderView* header = window_.view_->header();
            const int room = window_.view_->viewport()->width() - header->sectionViewportPosition(kColumnStatus);
            window_.statusColumnWidth_ = std::max(kWideStatusColumn, room);
            header->setStretchLastSection(false);
            window_.view_->setColumnWidth(kColumnStatus, window_.statusColumnWidth_);
        }
    }

    // The album gain joins the row's tool tip.
    void RowNote(int item, const std::string& note, bool failed) override {
        const int row = RowOf(item);
        if (row < 0) return;
        std::string text = window_.list_.StatusNote(row);
        if (!text.empty()) text.push_back('\n');
        text.append(failed ? "Warning: " : "Loudness: ").append(note);
        window_.list_.SetStatusNote(row, text);
        window_.model_->RowChanged(row);
    }

private:
    int RowOf(int item) const {
        if (item < 0 || item >= static_cast<int>(entries_.size())) return -1;
        const FileEntry* entry = entries_[static_cast<size_t>(item)];
        for (int row = 0; row < window_.list_.RowCount(); ++row)
            if (window_.list_.Entry(row) == entry) return row;
        return -1;
    }
    void SetStatus(int item, const std::string& text) {
        if (item >= 0 && item < static_cast<int>(touched_.size())) touched_[static_cast<size_t>(item)] = true;
        const int row = RowOf(item);
        if (row < 0) return;
        window_.list_.SetStatus(row, text);
        window_.model_->RowChanged(row);
    }

    MainWindow& window_;
    WindowQuestions questions_;
    std::vector<FileEntry*> entries_;
    std::vector<bool> touched_;
    ProgressWindow* progress_ = nullptr;
    Tally tally_;
    double elapsed_ = 0;
    bool watched_ = false, ended_ = false;
};

// The add run's window side: the add-progress window, the main window's enabling, and the rows
// shown as they are added.
class MainWindow::AddWindowDriver : public AddDriver {
public:
    explicit AddWindowDriver(MainWindow& window)
        : window_(window), progress_(new AddProgressWindow(&window, window.hooks_.host)) {}
    ~AddWindowDriver() override {
        Finished();
        delete progress_;
    }

    void Started() override {
        if (started_) return;
        started_ = true;
        window_.setEnabled(false);
        progress_->Started();
    }
    void SetText(const std::string& text) override {
        window_.model_->SyncAppendedRows();
        progress_->SetText(text);
    }
    void SetBarRange(int maximum) override { progress_->SetBarRange(maximum); }
    void StepBar() override { progress_->StepBar(); }
    void Pump() override {
        window_.model_->SyncAppendedRows();
        progress_->Pump();
    }
    bool CancelRequested() override { return progress_->CancelRequested(); }
    void Finished() override {
        window_.model_->SyncAppendedRows();
        if (!started_) return;
        started_ = false;
        progress_->Finished();
        window_.setEnabled(true);
        // Scroll the last added row into view.
        if (window_.model_->rowCount() > 0)
            window_.view_->scrollTo(window_.model_->index(window_.model_->rowCount() - 1, 0));
    }
    void ShowMessage(MessageIcon icon, const std::string& text) override { progress_->ShowMessage(icon, text); }

private:
    MainWindow& window_;
    AddProgressWindow* progress_;
    bool started_ = false;
};

QPoint MainWindowPlacement(const QSize& size, const QRect& available) {
    QRect frame(QPoint(0, 0), size);
    frame.moveCenter(available.center());
    if (size.width() > available.width()) frame.moveRight(available.right());
    if (size.height() > available.height()) frame.moveTop(available.top());
    return frame.topLeft();
}

bool NotifyDesktop(const QString& body) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return false;
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    call << QString::fromLatin1(kProductName) << 0u << QStringLiteral("sonavert")
         << QStringLiteral("Conversion finished") << body << QStringList() << QVariantMap() << -1;
    // Sent without waiting: where no service answers, nothing happens.
    call.setAutoStartService(false);
    return bus.send(call);
}

QRect MainWindowGeometry(const QRect& stored, const QSize& minimum, const QRect& available) {
    const bool restore = stored.width() > 0 && stored.height() > 0;
    QSize size = restore ? stored.size() : QSize(kMainWindowWidth, kMainWindowHeight);
    size = size.boundedTo(available.size()).expandedTo(minimum);
    if (!restore) return QRect(MainWindowPlacement(size, available), size);
    QRect frame(stored.topLeft(), size);
    // Back inside the area; where the window is larger, its top and right edges meet the area's.
    if (frame.right() > available.right()) frame.moveRight(available.right());
    if (frame.left() < available.left() && size.width() <= available.width()) frame.moveLeft(available.left());
    if (frame.bottom() > available.bottom()) frame.moveBottom(available.bottom());
    if (frame.top() < available.top()) frame.moveTop(available.top());
    return frame;
}

std::vector<std::string> StartPaths(int argc, char** argv) {
    std::vector<std::string> paths;
    for (int i = 1; i < argc; ++i)
        if (argv[i] && *argv[i]) paths.push_back(AbsolutePath(argv[i]));
    return paths;
}

MainWindow::MainWindow(CodecHost& codecs, SettingsStore& store, MainWindowHooks hooks, QWidget* parent)
    : QDialog(parent, Qt::Window | Qt::FramelessWindowHint), codecs_(codecs), store_(store), hooks_(std::move(hooks)) {
    // 1-2: the SoundFont, then the settings.
    codecs_.LoadDefaultSoundFont();
    settings_ = DefaultSettings();
    store_.LoadSettings(settings_);
    // A Windows Media file met while adding asks for the runtime in a message box.
    sources_.windowsMediaAvailable = [this] { return WindowsMediaReady(); };

    // 3-5: caption, icon, the fixed size, centred on the screen.
    setWindowTitle(QString::fromLatin1(kProductName));
    setWindowIcon(QIcon::fromTheme(QStringLiteral("sonavert"), ThemeIcon("audio-x-generic", QStyle::SP_MediaVolume)));
    setObjectName(QStringLiteral("SonavertMainWindow"));
    // The controls' font: Tahoma at 11 pixels (fontconfig picks the nearest face), the size the
    // list's column widths are made for.
    QFont controls(QStringLiteral("Tahoma"));
    controls.setPixelSize(11);
    setFont(controls);
    BuildControls();
    BuildMenus();

    // 7: the output-format list.
    FillFormatList();

    // The default size, or the one the user left, within the screen.
    PlaceOnScreen();

    // 8: dropped files and folders.
    setAcceptDrops(true);

    // 9: the first start opens the manual, maximised.
    store_.CheckFirstRun([this](const std::string&) {
        if (hooks_.showHelp)
            hooks_.showHelp(true);
        else
            ShowHelp(true);
    });
}

MainWindow::~MainWindow() { Teardown(); }

void MainWindow::ArrangeCommands(bool twoRows) {
    if (commandsInTwoRows_ == twoRows && commandGrid_->count() > 0) return;
    commandsInTwoRows_ = twoRows;
    commandGrid_->removeItem(commandsLeft_);
    commandGrid_->removeItem(commandsRight_);
    commandGrid_->addLayout(commandsLeft_, 0, 0, Qt::AlignLeft);
    if (twoRows)
        commandGrid_->addLayout(commandsRight_, 1, 0, Qt::AlignRight);
    else
        commandGrid_->addLayout(commandsRight_, 0, 1, Qt::AlignRight);
    commandGrid_->setColumnStretch(0, 1);
    commandGrid_->invalidate();
}

int MainWindow::OneRowCommandWidth() const {
    const QMargins margins = layout()->contentsMargins();
    return commandsLeft_->sizeHint().width() + commandGrid_->horizontalSpacing() + commandsRight_->sizeHint().width() +
           margins.left() + margins.right();
}

void MainWindow::resizeEvent(QResizeEvent* event) {
    ArrangeCommands(event->size().width() < OneRowCommandWidth());
    QDialog::resizeEvent(event);
}

void MainWindow::PlaceOnScreen() {
    // The least size is that of the two-row arrangement.
    ArrangeCommands(true);
    layout()->activate();
    const QSize minimum = layout()->minimumSize();
    setMinimumSize(minimum);
    const QRect stored(settings_.WindowLeft, settings_.WindowTop, settings_.WindowWidth, settings_.WindowHeight);
    QScreen* screen = stored.width() > 0 ? QGuiApplication::screenAt(stored.center()) : nullptr;
    if (!screen) screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
    if (!screen) {
        resize(kMainWindowWidth, kMainWindowHeight);
        return;
    }
    const QRect frame = MainWindowGeometry(stored, minimum, screen->availableGeometry());
    ArrangeCommands(frame.width() < OneRowCommandWidth());
    resize(frame.size());
    move(frame.topLeft());
}

void MainWindow::BuildControls() {
    auto* tipStyle = new ToolTipDelayStyle();
    tipStyle->setParent(this);

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(14, 8, 10, 10);
    outer->setSpacing(8);

    // Title strip: the product's icon and name on the left, help, minimise and close on the right.
    auto* titleRow = new QHBoxLayout();
    titleRow->setSpacing(6);
    auto* logo = new QLabel(this);
    logo->setPixmap(windowIcon().pixmap(32, 32));
    auto* title = new QLabel(QString::fromLatin1(kProductName), this);
    title->setObjectName(QStringLiteral("TitleLabel"));
    auto* subtitle = new QLabel(tr("Batch audio converter"), this);
    subtitle->setObjectName(QStringLiteral("SubtitleLabel"));
    titleRow->addWidget(logo);
    titleRow->addWidget(title);
    titleRow->addSpacing(6);
    titleRow->addWidget(subtitle, 0, Qt::AlignBottom);
    titleRow->addStretch(1);
    auto smallButton = [&](const char* icon, QStyle::StandardPixmap fallback, const QString& tip) {
        auto* b = new QToolButton(this);
        b->setIcon(ThemeIcon(icon, fallback));
        b->setIconSize(QSize(16, 16));
        b->setAutoRaise(true);
        b->setFocusPolicy(Qt::NoFocus);
        b->setToolTip(tip);
        b->setStyle(tipStyle);
        // The size the style needs for the icon, no less than the usual 28 x 24.
        b->setMinimumSize(28, 24);
        titleRow->addWidget(b, 0, Qt::AlignTop);
        return b;
    };
    helpButton_ = smallButton("help-browser", QStyle::SP_TitleBarContextHelpButton, tr("Help"));
    minimizeButton_ = smallButton("window-minimize", QStyle::SP_TitleBarMinButton, tr("Minimize"));
    closeButton_ = smallButton("window-close", QStyle::SP_TitleBarCloseButton, tr("Close"));
    closeButton_->setObjectName(QStringLiteral("CloseButton"));
    outer->addLayout(titleRow);

    // Command rows: the list commands on the left, the format and the conversion on the right;
    // a window too narrow for both in one row puts the right group in a second row.
    commandsLeft_ = new QHBoxLayout();
    commandsRight_ = new QHBoxLayout();
    commandsLeft_->setSpacing(6);
    commandsRight_->setSpacing(6);
    commandGrid_ = new QGridLayout();
    commandGrid_->setHorizontalSpacing(6);
    commandGrid_->setVerticalSpacing(6);
    QHBoxLayout* commands = commandsLeft_;
    auto bigButton = [&](const QString& text, const char* icon, QStyle::StandardPixmap fallback, const QString& tip) {
        auto* b = new QPushButton(ThemeIcon(icon, fallback), text, this);
        b->setAutoDefault(false);
        b->setDefault(false);
        b->setIconSize(QSize(20, 20));
        b->setMinimumHeight(34);
        b->setToolTip(tip);
        b->setStyle(tipStyle);
        commands->addWidget(b);
        return b;
    };
    addFilesButton_ = bigButton(tr("&Add Files"), "list-add", QStyle::SP_FileIcon, tr("Add files"));
    addFolderButton_ = bigButton(tr("Add &Folder"), "folder-new", QStyle::SP_DirOpenIcon, tr("Add files from a folder"));
    removeAllButton_ = bigButton(tr("Remove A&ll"), "edit-clear-all", QStyle::SP_TrashIcon, tr("Remove all files in list"));
    commands = commandsRight_;
    formatList_ = new QComboBox(this);
    formatList_->setToolTip(tr("Output format"));
    formatList_->setStyle(tipStyle);
    // As wide as its longest entry with the style's arrow and frame (set once it is filled), at
    // least kFormatDropDownWidth.
    formatList_->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    formatList_->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    formatList_->setMinimumHeight(30);
    formatList_->setMaxVisibleItems(14);
    commands->addWidget(formatList_);
    convertButton_ = bigButton(tr("&Convert"), "view-refresh", QStyle::SP_BrowserReload, tr("Convert all files"));
    convertButton_->setObjectName(QStringLiteral("ConvertButton"));
    optionsButton_ = bigButton(tr("&Options"), "preferences-system", QStyle::SP_FileDialogDetailedView, tr("Options"));
    ArrangeCommands(false);
    outer->addLayout(commandGrid_);

    // The list.
    model_ = new FileListModel(list_, this);
    view_ = new FileListView(model_, this);
    view_->setObjectName(QStringLiteral("FileList"));
    // A few rows at least; every pixel the window grows by goes to the list.
    view_->setMinimumHeight(view_->header()->sizeHint().height() + 3 * view_->fontMetrics().height() + 8);
    outer->addWidget(view_, 1);

    // Bottom line: the homepage link.
    auto* bottom = new QHBoxLayout();
    homepageLink_ = new Hyperlink(QString::fromLatin1(kHomepageText), this, hooks_.host);
    homepageLink_->SetLinkAddress(QString::fromLatin1(kHomepageUrl));
    homepageLink_->SetUnderlineMode(Hyperlink::kUnderlineAlways);
    QFont bold = homepageLink_->font();
    bold.setBold(true);
    homepageLink_->setFont(bold);
    homepageLink_->installEventFilter(
        new LinkToolTip(QStringLiteral("Visit %1 Homepage").arg(QString::fromLatin1(kProductName)), this));
    bottom->addWidget(homepageLink_);
    bottom->addStretch(1);
    // The last run's summary: "4 converted, 1 failed, 0 skipped in 0:42".
    summaryLabel_ = new QLabel(this);
    summaryLabel_->setObjectName(QStringLiteral("SummaryLabel"));
    summaryLabel_->setTextFormat(Qt::PlainText);
    bottom->addWidget(summaryLabel_);
    // The window has no frame of its own: the grip (and a press near any edge) resizes it.
    auto* grip = new QSizeGrip(this);
    grip->setObjectName(QStringLiteral("SizeGrip"));
    bottom->addWidget(grip, 0, Qt::AlignBottom | Qt::AlignRight);
    outer->addLayout(bottom);
    setMouseTracking(true);

    ApplyLook();

    connect(addFilesButton_, &QPushButton::clicked, this, &MainWindow::AddFilesCommand);
    connect(addFolderButton_, &QPushButton::clicked, this, &MainWindow::AddFolderCommand);
    connect(removeAllButton_, &QPushButton::clicked, this, &MainWindow::RemoveAllCommand);
    connect(convertButton_, &QPushButton::clicked, this, &MainWindow::ConvertAllCommand);
    connect(optionsButton_, &QPushButton::clicked, this, &MainWindow::OptionsCommand);
    connect(helpButton_, &QToolButton::clicked, this, &MainWindow::OpenHelpMenu);
    connect(minimizeButton_, &QToolButton::clicked, this, [this] { showMinimized(); });
    connect(closeButton_, &QToolButton::clicked, this, [this] { close(); });
    connect(view_, &FileListView::ContextMenuWanted, this, &MainWindow::OpenListMenu);
    connect(view_, &FileListView::RowDoubleClicked, this, [this](int row) {
        if (FileEntry* e = list_.Entry(row)) OpenUnderWaitCursor(QString::fromStdString(e->sourcePath));
    });
    connect(formatList_, &QComboBox::currentIndexChanged, this, &MainWindow::OnFormatChosen);

    // The accelerators: Ctrl+O adds files, Del removes the selected rows, F1 opens the help.
    auto* addShortcut = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_O), this);
    connect(addShortcut, &QShortcut::activated, this, &MainWindow::AddFilesCommand);
    auto* removeShortcut = new QShortcut(QKeySequence(Qt::Key_Delete), this);
    connect(removeShortcut, &QShortcut::activated, this, &MainWindow::RemoveCommand);
    auto* helpShortcut = new QShortcut(QKeySequence(Qt::Key_F1), this);
    connect(helpShortcut, &QShortcut::activated, this, &MainWindow::HelpTopicsCommand);
}

void MainWindow::BuildMenus() {
    listMenu_ = new QMenu(this);
    auto add = [&](QMenu* menu, const QString& text, const char* icon, QStyle::StandardPixmap fallback,
                   void (MainWindow::*command)()) {
        QAction* a = menu->addAction(icon ? ThemeIcon(icon, fallback) : QIcon(), text);
        connect(a, &QAction::triggered, this, command);
        return a;
    };
    listActions_.resize(10);
    auto set = [&](ListCommand c, QAction* a) { listActions_[static_cast<size_t>(c)] = a; };
    set(ListCommand::PlaySource, add(listMenu_, tr("&Play Source"), "media-playback-start", QStyle::SP_MediaPlay,
                                     &MainWindow::PlaySourceCommand));
    set(ListCommand::PlayDestination, add(listMenu_, tr("Play &Destination"), "media-playback-start",
                                          QStyle::SP_MediaPlay, &MainWindow::PlayDestinationCommand));
    listMenu_->addSeparator();
    set(ListCommand::ConvertSelected, add(listMenu_, tr("&Convert Selected"), "view-refresh", QStyle::SP_BrowserReload,
                                          &MainWindow::ConvertSelectedCommand));
    set(ListCommand::ConvertAll, add(listMenu_, tr("Convert All"), "view-refresh", QStyle::SP_BrowserReload,
                                     &MainWindow::ConvertAllCommand));
    listMenu_->addSeparator();
    set(ListCommand::BrowseSourceFolder, add(listMenu_, tr("Browse &Source Folder"), "folder-open",
                                             QStyle::SP_DirOpenIcon, &MainWindow::BrowseSourceFolderCommand));
    set(ListCommand::BrowseDestinationFolder, add(listMenu_, tr("Browse Destination &Folder"), "folder-open",
                                                  QStyle::SP_DirOpenIcon, &MainWindow::BrowseDestinationFolderCommand));
    listMenu_->addSeparator();
    set(ListCommand::AddFiles,
        add(listMenu_, tr("&Add Files...\tCtrl+O"), "list-add", QStyle::SP_FileIcon, &MainWindow::AddFilesCommand));
    set(ListCommand::AddFolder,
        add(listMenu_, tr("Add F&older"), "folder-new", QStyle::SP_DirOpenIcon, &MainWindow::AddFolderCommand));
    set(ListCommand::Remove,
        add(listMenu_, tr("&Remove\tDel"), "list-remove", QStyle::SP_DialogDiscardButton, &MainWindow::RemoveCommand));
    set(ListCommand::RemoveAll,
        add(listMenu_, tr("Remove Al&l"), "edit-clear-all", QStyle::SP_TrashIcon, &MainWindow::RemoveAllCommand));

    helpMenu_ = new QMenu(this);
    helpActions_.resize(6);
    auto setHelp = [&](HelpCommand c, QAction* a) { helpActions_[static_cast<size_t>(c)] = a; };
    setHelp(HelpCommand::HelpTopics, add(helpMenu_, tr("&Help Topics\tF1"), "help-browser",
                                         QStyle::SP_DialogHelpButton, &MainWindow::HelpTopicsCommand));
    helpMenu_->addSeparator();
    setHelp(HelpCommand::TellAFriend, add(helpMenu_, tr("&Tell A Friend"), "mail-message-new",
                                          QStyle::SP_MessageBoxInformation, &MainWindow::TellAFriendCommand));
    setHelp(HelpCommand::Feedback, add(helpMenu_, tr("&Feedback and Support"), "mail-send",
                                       QStyle::SP_MessageBoxQuestion, &MainWindow::FeedbackCommand));
    setHelp(HelpCommand::Homepage,
            add(helpMenu_, tr("Home&page"), "go-home", QStyle::SP_DirHomeIcon, &MainWindow::HomepageCommand));
    setHelp(HelpCommand::CheckLatestVersion, add(helpMenu_, tr("&Check Latest Version"), "system-software-update",
                                                 QStyle::SP_BrowserReload, &MainWindow::CheckLatestVersionCommand));
    helpMenu_->addSeparator();
    setHelp(HelpCommand::About, add(helpMenu_, tr("&About..."), "help-about", QStyle::SP_MessageBoxInformation,
                                    &MainWindow::AboutCommand));
}

QAction* MainWindow::Action(ListCommand command) const { return listActions_[static_cast<size_t>(command)]; }
QAction* MainWindow::Action(HelpCommand command) const { return helpActions_[static_cast<size_t>(command)]; }

void MainWindow::FillFormatList() {
    const QSignalBlocker block(formatList_);
    for (const FormatChoice& choice : FormatChoices())
        formatList_->addItem(QString::fromStdString(choice.text), choice.code);
    // The last entry with the stored code wins (6500 picks "M4A (MPEG-4 Audio)").
    int selected = -1;
    for (int i = 0; i < formatList_->count(); ++i)
        if (formatList_->itemData(i).toInt() == settings_.OutputFormat) selected = i;
    if (selected < 0) {
        selected = 0;
        settings_.OutputFormat = formatList_->count() > 0 ? formatList_->itemData(0).toInt() : kOutputMp3;
    }
    formatList_->setCurrentIndex(selected);
    formatList_->setMinimumWidth(std::max(kFormatDropDownWidth, formatList_->sizeHint().width()));
    formatList_->view()->setMinimumWidth(formatList_->minimumWidth());
}

void MainWindow::OnFormatChosen(int index) {
    settings_.OutputFormat = index >= 0 ? formatList_->itemData(index).toInt() : kOutputMp3;
}

// --- Adding -------------------------------------------------------------------------------------

QStringList OpenDialogNameFilters() {
    QStringList filters;
    for (const OpenDialogFilter& f : kOpenDialogFilters) {
        QString name = QString::fromLatin1(f.name);
        name.truncate(name.lastIndexOf(QLatin1String(" (")));
        QString patterns = QString::fromLatin1(f.pattern).replace(QLatin1Char(';'), QLatin1Char(' '));
        if (patterns == QLatin1String("*.*")) patterns = QStringLiteral("*");
        filters << QStringLiteral("%1 (%2)").arg(name, patterns);
        // Right after All Files: every extension the decoders read, in one entry.
        if (filters.size() == 1) {
            QStringList audio;
            for (const std::string& pattern : AllAudioPatterns()) audio << QString::fromStdString(pattern);
            filters << QStringLiteral("All audio files (%1)").arg(audio.join(QLatin1Char(' ')));
        }
    }
    return filters;
}

void MainWindow::AddFilesCommand() {
    if (busy_) return;
    FileDialogRequest request;
    request.filter = OpenDialogNameFilters().join(QStringLiteral(";;"));
    request.open = true;
    request.multiSelect = true;
    std::string buffer;
    std::vector<std::string> files;
    if (!FileDialog(this, request, &buffer, 30000, files, hooks_.host)) return;
    RunAdd(files, false);
}

void MainWindow::AddFolderCommand() {
    if (busy_) return;
    std::string start = settings_.Folder;
    std::string chosen;
    if (!BrowseForFolder(this, tr("Please choose a folder:"), start, false, chosen, 4096, hooks_.host)) return;
    settings_.Folder = chosen;
    store_.SaveSettings(settings_, kSaveFolder);
    RunAdd({chosen}, true);
}

void MainWindow::DropPaths(const std::vector<std::string>& paths) {
    if (paths.empty()) return;
    // A drop during a run waits for it; it never changes the rows a run works on.
    pendingDrops_.insert(pendingDrops_.end(), paths.begin(), paths.end());
    if (!busy_) RunPendingDrops();
}

void MainWindow::OpenOnStart(const std::vector<std::string>& paths) {
    if (paths.empty()) return;
    QTimer::singleShot(0, this, [this, paths] { DropPaths(paths); });
}

void MainWindow::RunPendingDrops() {
    while (!busy_ && !pendingDrops_.empty()) {
        std::vector<std::string> paths;
        paths.swap(pendingDrops_);
        RunAdd(paths, true);
    }
}

void MainWindow::RunAdd(const std::vector<std::string>& paths, bool search) {
    if (busy_ || paths.empty()) return;
    busy_ = true;
    {
        AddWindowDriver driver(*this);
        FileAdder adder(list_, sources_);
        // As many files are probed at once as the batch converts, within the adder's bound.
        adder.SetProbeThreads(FileAdder::ProbeThreadsForJobs(BatchJobs(settings_.ParallelJobs)));
        if (search)
            adder.AddFound(paths, settings_, driver);
        else
            adder.AddPaths(paths, driver);
    }
    model_->SyncAppendedRows();
    busy_ = false;
}

void MainWindow::dragEnterEvent(QDragEnterEvent* event) {
    if (!busy_ && event->mimeData()->hasUrls()) {
        event->acceptProposedAction();
        return;
    }
    event->ignore();
}

void MainWindow::dragMoveEvent(QDragMoveEvent* event) {
    if (!busy_ && event->mimeData()->hasUrls()) {
        event->acceptProposedAction();
        return;
    }
    event->ignore();
}

void MainWindow::dropEvent(QDropEvent* event) {
    if (busy_ || !event->mimeData()->hasUrls()) {
        event->ignore();
        return;
    }
    std::vector<std::string> paths;
    for (const QUrl& url : event->mimeData()->urls()) {
        if (!url.isLocalFile()) continue;
        QString path = url.toLocalFile();
        while (path.size() > 1 && path.endsWith(QLatin1Char('/'))) path.chop(1);
        if (!path.isEmpty()) paths.push_back(path.toStdString());
    }
    event->acceptProposedAction();
    if (paths.empty()) return;
    // The drop is finished first; the search and the add run follow from the event loop.
    QTimer::singleShot(0, this, [this, paths] { DropPaths(paths); });
}

// --- Removing ------------------------------------------------------------------------------------

namespace {
class HostSink : public MessageSink {
public:
    HostSink(UiHost* host, QWidget* owner) : host_(host), owner_(owner) {}
    void ShowMessage(MessageIcon icon, const std::string& text) override {
        sonavert::ShowMessage(host_, owner_, QString::fromStdString(text), icon);
    }

private:
    UiHost* host_;
    QWidget* owner_;
};
}  // namespace

void MainWindow::RemoveCommand() {
    if (busy_) return;
    HostSink sink(hooks_.host, this);
    if (list_.RemoveSelected(sink) > 0) model_->Reload();
}

void MainWindow::RemoveAllCommand() {
    if (busy_) return;
    HostSink sink(hooks_.host, this);
    if (list_.RemoveAll(sink) > 0) model_->Reload();
}

// --- Converting ----------------------------------------------------------------------------------

void MainWindow::ConvertAllCommand() {
    if (busy_) return;
    if (list_.RowCount() == 0) {
        ShowMessage(hooks_.host, this, QString::fromLatin1(kEmptyListMessage), MessageIcon::Information);
        return;
    }
    RunBatch(list_.AllRows());
}

void MainWindow::ConvertSelectedCommand() {
    if (busy_) return;
    RowSet rows = list_.SelectedRows();
    if (rows.entries.empty()) {
        ShowMessage(hooks_.host, this, QString::fromLatin1(kNoSelectionMessage), MessageIcon::Information);
        return;
    }
    RunBatch(rows);
}

void MainWindow::RunBatch(const RowSet& rows) {
    busy_ = true;
    std::vector<FileEntry*> entries = rows.entries;
    // Under the update policy the rows not chosen still name their targets (unconverted), so that
    // a chosen row takes the target it takes when the whole list converts.
    if (settings_.TargetExistsOpt == kTargetUpdate) {
        const std::set<const FileEntry*> chosen(entries.begin(), entries.end());
        for (FileEntry* entry : list_.AllRows().entries)
            if (!chosen.count(entry)) entries.push_back(entry);
    }
    std::vector<BatchItem> items;
    for (size_t i = 0; i < entries.size(); ++i) {
        items.push_back({static_cast<int>(i), entries[i]->sourceType, entries[i]->sourcePath, "",
                         entries[i]->rootFolder});
        items.back().inRun = i < rows.entries.size();
        items.back().seconds = static_cast<double>(entries[i]->duration);
    }
    {
        BatchWindowDriver driver(*this, entries);
        if (hooks_.convert)
            RunConversionBatch(items, settings_.OutputFormat, settings_, codecs_, driver, batchState_, hooks_.convert);
        else
            RunConversionBatch(items, settings_.OutputFormat, settings_, codecs_, driver, batchState_);
        // Rows the batch went through take their new target (empty when they failed); rows it
        // did not reach keep theirs.
        for (size_t i = 0; i < items.size(); ++i)
            if (driver.Touched(i)) entries[i]->targetPath = items[i].targetPath;
        const auto& n = driver.Counts();
        QString summary = tr("%1 converted, %2 failed, %3 skipped").arg(n.converted).arg(n.failed).arg(n.skipped);
        if (n.upToDate > 0) summary += tr(", %1 up to date").arg(n.upToDate);
        if (n.cancelled > 0) summary += tr(", %1 cancelled").arg(n.cancelled);
        summary += tr(" in %1").arg(ClockText(driver.Elapsed()));
        summaryLabel_->setText(summary);
        // Someone working in another window hears of the end from the desktop.
        if (!driver.Watched()) NotifyDesktop(summary);
    }
    busy_ = false;
    RunPendingDrops();
}

// --- Row commands --------------------------------------------------------------------------------

FileEntry* MainWindow::SingleSelected() {
    RowSet rows = list_.SelectedRows();
    return rows.entries.size() == 1 ? rows.entries.front() : nullptr;
}

void MainWindow::OpenUnderWaitCursor(const QString& target) {
    WaitCursor wait;
    (hooks_.host ? *hooks_.host : SystemUiHost()).OpenDocument(target, kShowNormal);
}

void MainWindow::PlaySourceCommand() {
    if (FileEntry* e = SingleSelected()) OpenUnderWaitCursor(QString::fromStdString(e->sourcePath));
}

void MainWindow::PlayDestinationCommand() {
    FileEntry* e = SingleSelected();
    if (e && !e->targetPath.empty()) OpenUnderWaitCursor(QString::fromStdString(e->targetPath));
}

void MainWindow::BrowseSourceFolderCommand() {
    if (FileEntry* e = SingleSelected()) {
        WaitCursor wait;
        ShowInExplorer(QString::fromStdString(e->sourcePath), hooks_.host);
    }
}

void MainWindow::BrowseDestinationFolderCommand() {
    FileEntry* e = SingleSelected();
    if (e && !e->targetPath.empty()) {
        WaitCursor wait;
        ShowInExplorer(QString::fromStdString(e->targetPath), hooks_.host);
    }
}

void MainWindow::UpdateListMenu() {
    const int rows = list_.RowCount();
    const RowSet selected = list_.SelectedRows();
    const size_t count = selected.entries.size();
    const bool oneWithTarget = count == 1 && !selected.entries.front()->targetPath.empty();
    const bool idle = !busy_;
    Action(ListCommand::RemoveAll)->setEnabled(idle && rows > 0);
    Action(ListCommand::ConvertAll)->setEnabled(idle && rows > 0);
    Action(ListCommand::Remove)->setEnabled(idle && count > 0);
    Action(ListCommand::ConvertSelected)->setEnabled(idle && count > 0);
    Action(ListCommand::PlaySource)->setEnabled(count == 1);
    Action(ListCommand::BrowseSourceFolder)->setEnabled(count == 1);
    Action(ListCommand::PlayDestination)->setEnabled(oneWithTarget);
    Action(ListCommand::BrowseDestinationFolder)->setEnabled(oneWithTarget);
    Action(ListCommand::AddFiles)->setEnabled(idle);
    Action(ListCommand::AddFolder)->setEnabled(idle);
}

void MainWindow::OpenListMenu(const QPoint& globalPosition) {
    UpdateListMenu();
    listMenu_->popup(globalPosition);
}

void MainWindow::OpenHelpMenu() { helpMenu_->popup(helpButton_->mapToGlobal(helpButton_->rect().bottomLeft())); }

// --- Options and help ----------------------------------------------------------------------------

bool MainWindow::WindowsMediaReady() {
    WindowQuestions questions(*this);
    if (!EnsureWindowsMedia(questions)) return false;
    if (wmaFormats_.empty()) BuildWmaFormatList(wmaFormats_);
    return true;
}

void MainWindow::OptionsCommand() {
    if (busy_) return;
    OptionsDialogHooks hooks;
    hooks.host = hooks_.host;
    hooks.wmaFormats = [this](std::vector<WmaFormatEntry>& formats) {
        formats.clear();
        if (!WindowsMediaReady()) return false;
        for (const WmaFormat& f : wmaFormats_)
            formats.push_back({static_cast<int>(f.sampleRate), static_cast<int>(f.channels), static_cast<int>(f.bitRate)});
        return true;
    };
    // The General page previews where the first rows' targets go.
    for (int row = 0; row < list_.RowCount() && row < kPreviewRows; ++row)
        hooks.previewRows.push_back({list_.Entry(row)->sourcePath, list_.Entry(row)->rootFolder});
    ShowOptionsDialog(this, settings_, store_, hooks);
}

void MainWindow::HelpTopicsCommand() {
    WaitCursor wait;
    if (hooks_.showHelp)
        hooks_.showHelp(false);
    else
        ShowHelp(false);
}

void MainWindow::TellAFriendCommand() {
    const QByteArray subject = QUrl::toPercentEncoding(QString::fromLatin1(kTellAFriendSubject));
    const QByteArray body = QUrl::toPercentEncoding(QStringLiteral("Download from ") + QString::fromLatin1(kHomepageUrl));
    OpenUnderWaitCursor(QStringLiteral("mailto:?subject=") + QString::fromLatin1(subject) + QStringLiteral("&body=") +
                        QString::fromLatin1(body));
}

void MainWindow::FeedbackCommand() {
    OpenUnderWaitCursor(QStringLiteral("mailto:") + QString::fromLatin1(kSupportAddress));
}

void MainWindow::HomepageCommand() { OpenUnderWaitCursor(QString::fromLatin1(kHomepageUrl)); }

void MainWindow::CheckLatestVersionCommand() { OpenUnderWaitCursor(QString::fromLatin1(kUpdateUrl)); }

void MainWindow::AboutCommand() {
    if (hooks_.showAbout)
        hooks_.showAbout(this);
    else
        ShowAboutBox(this, hooks_.host);
}

// --- Window behaviour ----------------------------------------------------------------------------

void MainWindow::keyPressEvent(QKeyEvent* event) {
    // Enter and Escape do nothing here: neither presses a button nor closes the window.
    switch (event->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
        case Qt::Key_Escape:
            event->accept();
            return;
        default:
            QDialog::keyPressEvent(event);
    }
}

void MainWindow::closeEvent(QCloseEvent* event) {
    // The rows must outlive a running add run or conversion.
    if (busy_) {
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

void MainWindow::done(int result) {
    if (busy_) return;
    Teardown();
    QDialog::done(result);
}

void MainWindow::Teardown() {
    if (tornDown_) return;
    tornDown_ = true;
    if (hooks_.closeHelp)
        hooks_.closeHelp();
    else
        CloseHelp();
    list_.ClearSelection();
    if (list_.RowCount() > 0) {
        HostSink quiet(nullptr, nullptr);
        list_.RemoveAll(quiet);
        model_->Reload();
    }
    // Where the user left the window, for the next start (not while minimised or maximised).
    if (!isMinimized() && !isMaximized() && !isFullScreen()) {
        const QRect frame = geometry();
        settings_.WindowLeft = frame.x();
        settings_.WindowTop = frame.y();
        settings_.WindowWidth = frame.width();
        settings_.WindowHeight = frame.height();
    }
    store_.SaveSettings(settings_, kSaveExit);
}

Qt::Edges MainWindow::ResizeEdges(const QPoint& position) const {
    Qt::Edges edges;
    if (isMaximized() || isFullScreen()) return edges;
    if (position.x() < kResizeBorder) edges |= Qt::LeftEdge;
    if (position.x() >= width() - kResizeBorder) edges |= Qt::RightEdge;
    if (position.y() < kResizeBorder) edges |= Qt::TopEdge;
    if (position.y() >= height() - kResizeBorder) edges |= Qt::BottomEdge;
    return edges;
}

void MainWindow::mousePressEvent(QMouseEvent* event) {
    // A press near an edge resizes the window; on the rest of its body it moves it, as a caption would.
    if (event->button() == Qt::LeftButton) {
        QWindow* handle = windowHandle();
        const Qt::Edges edges = ResizeEdges(event->position().toPoint());
        if (handle && (edges ? handle->startSystemResize(edges) : handle->startSystemMove())) {
            event->accept();
            return;
        }
    }
    QDialog::mousePressEvent(event);
}

void MainWindow::mouseMoveEvent(QMouseEvent* event) {
    // The pointer shows where a press would resize.
    const Qt::Edges edges = ResizeEdges(event->position().toPoint());
    const bool horizontal = edges & (Qt::LeftEdge | Qt::RightEdge), vertical = edges & (Qt::TopEdge | Qt::BottomEdge);
    if (horizontal && vertical) {
        const bool falling = edges == (Qt::LeftEdge | Qt::TopEdge) || edges == (Qt::RightEdge | Qt::BottomEdge);
        setCursor(falling ? Qt::SizeFDiagCursor : Qt::SizeBDiagCursor);
    } else if (horizontal) {
        setCursor(Qt::SizeHorCursor);
    } else if (vertical) {
        setCursor(Qt::SizeVerCursor);
    } else {
        unsetCursor();
    }
    QDialog::mouseMoveEvent(event);
}

void MainWindow::ApplyLook() {
    darkLook_ = IsDarkPalette(palette());
    if (!darkLook_) {
        // A light, quiet look: the window's own background, a title strip and framed list.
        setStyleSheet(QStringLiteral(
            "QDialog#SonavertMainWindow { background: #f3f5f8; }"
            "QLabel#TitleLabel { font-size: 17px; font-weight: bold; color: #23344d; }"
            "QLabel#SubtitleLabel { color: #6b7788; padding-bottom: 3px; }"
            "QTreeView#FileList { background: white; alternate-background-color: #f6f8fb; border: 1px solid #c9d1dc;"
            "  color: #1b2430; selection-background-color: #3d7bd9; selection-color: white; }"
            "QTreeView#FileList QHeaderView::section { background: #e9edf2; border: none; border-right: 1px solid #d3d9e1;"
            "  border-bottom: 1px solid #c9d1dc; padding: 4px 3px; color: #2c3a4d; }"
            "QDialog#SonavertMainWindow > QPushButton { padding: 4px 6px; }"
            "QPushButton#ConvertButton { font-weight: bold; }"));
        return;
    }
    // Under a dark theme every colour comes from the palette, so that texts stay readable.
    setStyleSheet(QStringLiteral(
        "QLabel#TitleLabel { font-size: 17px; font-weight: bold; color: palette(window-text); }"
        "QLabel#SubtitleLabel { color: palette(window-text); padding-bottom: 3px; }"
        "QTreeView#FileList { background: palette(base); alternate-background-color: palette(alternate-base);"
        "  color: palette(text); border: 1px solid palette(mid);"
        "  selection-background-color: palette(highlight); selection-color: palette(highlighted-text); }"
        "QTreeView#FileList QHeaderView::section { background: palette(button); border: none; border-right: 1px solid palette(mid);"
        "  border-bottom: 1px solid palette(mid); padding: 4px 3px; color: palette(button-text); }"
        "QDialog#SonavertMainWindow > QPushButton { padding: 4px 6px; }"
        "QPushButton#ConvertButton { font-weight: bold; }"));
}

void MainWindow::changeEvent(QEvent* event) {
    // A switch between a light and a dark theme changes the look; setting the style sheet itself
    // sends palette changes, which find the look unchanged.
    if (event->type() == QEvent::PaletteChange && IsDarkPalette(palette()) != darkLook_) ApplyLook();
    QDialog::changeEvent(event);
}

void MainWindow::paintEvent(QPaintEvent* event) {
    QDialog::paintEvent(event);
    // A thin frame and a soft title band stand in for the missing window decoration.
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing, false);
    QLinearGradient band(0, 0, 0, 48);
    if (darkLook_) {
        band.setColorAt(0, palette().color(QPalette::Window).lighter(130));
        band.setColorAt(1, palette().color(QPalette::Window));
    } else {
        band.setColorAt(0, QColor(0xdf, 0xe8, 0xf4));
        band.setColorAt(1, QColor(0xf3, 0xf5, 0xf8));
    }
    painter.fillRect(QRect(1, 1, width() - 2, 47), band);
    painter.setPen(darkLook_ ? palette().color(QPalette::Mid) : QColor(0x9a, 0xa7, 0xb8));
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
}

}  // namespace sonavert
