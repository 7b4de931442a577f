// The main window driven through its real widgets: offscreen, with the dialogs answered by a
// fake host, real audio files made by the command-line tools and the real pipelines.
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QContextMenuEvent>
#include <QDropEvent>
#include <QHeaderView>
#include <QMenu>
#include <QMimeData>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QDir>
#include <QElapsedTimer>
#include <QPushButton>
#include <QLabel>
#include <QScreen>
#include <QLayout>
#include <QScrollArea>
#include <QTabBar>
#include <QSettings>
#include <QStyle>
#include <QStyleFactory>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QUrl>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>

#include "sources/CodecHost.h"
#include "engine/Pipeline.h"
#include "settings/SettingsStore.h"
#include "support/MainWindowTestUtil.h"
#include "filelist/ExtensionTable.h"
#include "support/BassTestUtil.h"
#include "support/ChildTestUtil.h"
#include "support/TestUtil.h"
#include "ui/FakeUiHost.h"
#include "ui/FileListView.h"
#include "ui/MainWindow.h"
#include "ui/SingleInstance.h"
#include "ui/options/OptionsDialog.h"
#include "ui/WidgetChecks.h"
#include "ui/ProgressWindow.h"

namespace sonavert {
namespace {

using testutil::PumpUntil;
using testutil::TempDir;

// Answers Yes/No questions with a set answer and records them like every other message.
class QuestionHost : public test::FakeUiHost {
public:
    MessageAnswer yesNoAnswer = MessageAnswer::No;
    MessageAnswer ShowMessage(QWidget* owner, const QString& text, MessageIcon icon, MessageButtons buttons) override {
        FakeUiHost::ShowMessage(owner, text, icon, buttons);
        return buttons == MessageButtons::YesNo ? yesNoAnswer : MessageAnswer::Ok;
    }
};

class MainWindowTest : public testing::Test {
protected:
    void SetUp() override {
        // Settings in a temporary folder; no session bus, so the file manager goes through the host.
        setenv("XDG_CONFIG_HOME", config.path().c_str(), 1);
        unsetenv("DBUS_SESSION_BUS_ADDRESS");
        // A stored FirstRun of 0: the help does not open on every test.
        QSettings ini(QString::fromStdString(IniPath()), QSettings::IniFormat);
        ini.setValue("Options/FirstRun", "dword:00000000");
        ini.sync();
    }

    std::string IniPath() const { return config.file("Sonavert.ini"); }

    MainWindow& Window() {
        if (!window) {
            hooks.host = &host;
            hooks.showHelp = [this](bool maximised) { helpOpened.push_back(maximised); };
            hooks.closeHelp = [this] { ++helpClosed; };
            hooks.showAbout = [this](QWidget*) { ++aboutShown; };
            window = std::make_unique<MainWindow>(codecs ? *codecs : testutil::SharedCodecHost(), store, hooks);
            window->CurrentSettings().BrowseOutputFolder = 0;
            // Targets beside their sources, never in the user's documents folder.
            window->CurrentSettings().DestOutputFolderOpt = kDestBesideSource;
            window->CurrentSettings().OutputFiles2MyDocuments = 0;
        }
        return *window;
    }

    // Drops local paths on the window as a file manager does, and waits for the add run.
    bool Drop(const std::vector<std::string>& paths, bool wait = true) {
        auto* mime = new QMimeData;
        QList<QUrl> urls;
        for (const std::string& p : paths) urls << QUrl::fromLocalFile(QString::fromStdString(p));
        mime->setUrls(urls);
        MainWindow& w = Window();
        const QPointF at(w.width() / 2.0, w.height() / 2.0);
        QDragEnterEvent enter(at.toPoint(), Qt::CopyAction, mime, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(&w, &enter);
        QDropEvent drop(at, Qt::CopyAction, mime, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(&w, &drop);
        const bool accepted = drop.isAccepted();
        delete mime;
        if (!wait) return accepted;
        // The add run follows from the event loop.
        QCoreApplication::processEvents();
        PumpUntil([&] { return !w.Busy(); });
        return accepted;
    }

    std::vector<std::string> Row(int row) {
        std::vector<std::string> cells;
        FileListModel* model = Window().View()->ListModel();
        for (int c = 0; c < kColumnCount; ++c) cells.push_back(model->data(model->index(row, c)).toString().toStdString());
        return cells;
    }
    std::string Status(int row) { return Row(row)[kColumnStatus]; }

    // Opens the list's context menu from the keyboard and closes it again after reading it.
    std::map<ListCommand, bool> MenuState() {
        MainWindow& w = Window();
        QContextMenuEvent event(QContextMenuEvent::Keyboard, QPoint(5, 5), w.View()->mapToGlobal(QPoint(5, 5)));
        QCoreApplication::sendEvent(w.View(), &event);
        EXPECT_TRUE(w.ListMenu()->isVisible());
        std::map<ListCommand, bool> state;
        for (ListCommand c : {ListCommand::PlaySource, ListCommand::PlayDestination, ListCommand::ConvertSelected,
                              ListCommand::ConvertAll, ListCommand::BrowseSourceFolder,
                              ListCommand::BrowseDestinationFolder, ListCommand::Remove, ListCommand::RemoveAll})
            state[c] = w.Action(c)->isEnabled();
        w.ListMenu()->close();
        return state;
    }

    TempDir config;
    TempDir files;
    SettingsStore store{IniPath()};
    QuestionHost host;
    MainWindowHooks hooks;
    std::vector<bool> helpOpened;
    int helpClosed = 0;
    int aboutShown = 0;
    sonavert::CodecHost* codecs = nullptr;  // the shared, started host when null
    std::unique_ptr<MainWindow> window;
};

TEST_F(MainWindowTest, WindowShapeAndToolTipDelay) {
    MainWindow& w = Window();
    EXPECT_EQ(w.size(), QSize(kMainWindowWidth, kMainWindowHeight));
    EXPECT_TRUE(w.windowFlags() & Qt::FramelessWindowHint);
    const std::vector<std::pair<QWidget*, QString>> tips = {
        {w.AddFilesButton(), "Add files"}, {w.AddFolderButton(), "Add files from a folder"},
        {w.RemoveAllButton(), "Remove all files in list"}, {w.ConvertButton(), "Convert all files"},
        {w.FormatList(), "Output format"}, {w.OptionsButton(), "Options"}, {w.HelpButton(), "Help"},
        {w.MinimizeButton(), "Minimize"}, {w.CloseButton(), "Close"}};
    for (const auto& [widget, tip] : tips) {
        EXPECT_EQ(widget->toolTip(), tip);
        EXPECT_EQ(widget->style()->styleHint(QStyle::SH_ToolTip_WakeUpDelay, nullptr, widget), kToolTipDelay)
            << tip.toStdString();
    }
}

TEST(MainWindowPlacementTest, CentredOrTopAndRightAlignedWhenTooLarge) {
    const QSize window(kMainWindowWidth, kMainWindowHeight);
    // Room enough: centred in the available area (a panel of 32 pixels on top).
    EXPECT_EQ(MainWindowPlacement(window, QRect(0, 32, 1920, 1048)), QPoint((1920 - 699) / 2, 32 + (1048 - 538) / 2));
    // 1366 x 768 at a scale factor of 2 offers 683 x 368 (after a panel of 16): the window's right
    // edge and top meet the area's, so Close and Minimize stay reachable.
    const QRect small(0, 16, 683, 368);
    const QPoint at = MainWindowPlacement(window, small);
    EXPECT_EQ(at.y(), small.top());
    EXPECT_EQ(at.x() + kMainWindowWidth - 1, small.right());
    // Too wide only: right-aligned, still centred vertically.
    EXPECT_EQ(MainWindowPlacement(window, QRect(100, 0, 600, 800)), QPoint(100 + 600 - 699, (800 - 538) / 2));
}

TEST_F(MainWindowTest, PlacedByTheRuleOnItsScreen) {
    MainWindow& w = Window();
    const QRect available = w.screen()->availableGeometry();
    EXPECT_EQ(w.pos(), MainWindowPlacement(w.size(), available));
    // The caption row's right end (Close) is on the screen.
    EXPECT_TRUE(available.contains(w.geometry().topRight())) << w.geometry().x() << "," << w.geometry().y();
}

TEST_F(MainWindowTest, FilesNamedOnStartAreAddedAsADrop) {
    const std::string wav = files.file("tone.wav");
    std::filesystem::create_directory(files.path() / "album");
    const std::string flac = files.file("album/six.flac"), mp3 = files.file("album/skip.mp3");
    ASSERT_TRUE(testutil::MakeWav(wav, 1));
    ASSERT_TRUE(testutil::MakeFlac(flac, 1));
    ASSERT_TRUE(testutil::MakeMp3(mp3, 1));
    // Relative paths are taken from the current folder; empty arguments are no paths.
    const auto cwd = std::filesystem::current_path();
    std::filesystem::current_path(files.path());
    std::string a0 = "sonavert", a1 = "tone.wav", a2 = "", a3 = "album";
    char* argv[] = {a0.data(), a1.data(), a2.data(), a3.data()};
    const std::vector<std::string> paths = StartPaths(4, argv);
    std::filesystem::current_path(cwd);
    EXPECT_EQ(paths, (std::vector<std::string>{wav, files.file("album")}));

    // The extension filter applies as to a drop: the folder's MP3 stays out.
    MainWindow& w = Window();
    w.CurrentSettings().EnableExtFilter = 1;
    w.CurrentSettings().FilterExts = "wav,flac";
    RebuildExtensionFilter(w.CurrentSettings());
    w.OpenOnStart(paths);
    EXPECT_EQ(w.List().RowCount(), 0);  // added once the event loop runs
    QCoreApplication::processEvents();
    testutil::PumpUntil([&] { return !w.Busy() && w.List().RowCount() > 0; });
    ASSERT_EQ(w.List().RowCount(), 2);
    EXPECT_EQ(Row(0)[kColumnFile], "tone.wav");
    EXPECT_EQ(Row(1)[kColumnFile], "six.flac");
    EXPECT_TRUE(host.messages.empty());
}

// A second start of the program hands its files to the open window and ends; --help and
// --version print and end without a window (even where no display could be opened).
TEST_F(MainWindowTest, ASecondStartHandsItsFilesToTheOpenWindow) {
    const std::string wav = files.file("second.wav");
    ASSERT_TRUE(testutil::MakeWav(wav, 1));
    MainWindow& w = Window();
    InstanceServer server(QString::fromStdString(files.file("sonavert.socket")),
                          [&](const std::vector<std::string>& paths) { w.DropPaths(paths); });
    ASSERT_TRUE(server.Listening());
    const std::string program = testutil::BinDir() + "/sonavert", out = files.file("out.txt");
    testutil::ChildResult r = testutil::RunChild({program, wav}, {"XDG_RUNTIME_DIR=" + files.path().string(),
                                                 "QT_QPA_PLATFORM=offscreen"}, 60, out, out);
    EXPECT_TRUE(r.Normal() && r.exitCode == 0) << r.Describe() << testutil::ReadText(out);
    PumpUntil([&] { return !w.Busy() && w.List().RowCount() == 1; });
    ASSERT_EQ(w.List().RowCount(), 1);
    EXPECT_EQ(Row(0)[kColumnFile], "second.wav");
    EXPECT_FALSE(HandToRunningInstance(QString::fromStdString(files.file("nobody.socket")), {wav}));

    for (const char* option : {"--help", "--version"}) {
        r = testutil::RunChild({program, option, wav}, {"QT_QPA_PLATFORM=no-such-platform"}, 30, out, out);
        EXPECT_TRUE(r.Normal() && r.exitCode == 0) << option << ": " << r.Describe();
        EXPECT_NE(testutil::ReadText(out).find(option[2] == 'h' ? "Usage: sonavert" : "sonavert 3."), std::string::npos)
            << testutil::ReadText(out);
    }
}

TEST_F(MainWindowTest, OutputFormatListTextsOrderAndSelection) {
    // 6500 appears twice; the later entry is the one selected.
    {
        QSettings ini(QString::fromStdString(IniPath()), QSettings::IniFormat);
        ini.setValue("Options/OutputFormat", "dword:00001964");  // 6500
    }
    MainWindow& w = Window();
    QComboBox* list = w.FormatList();
    const QStringList expected = {" to MP3", " to WAV", " to WMA", " to WMV (Audio only)", " to ASF (Audio only)",
                                  " to OGG", " to AAC", " to AAC for iPod / iTunes / DSi", " to MP4 (Audio only)",
                                  " to M4A (MPEG-4 Audio)", " to M4B (MPEG-4 Audiobook)", " to M4R (iPhone Ringtone)",
                                  " to AMR", " to AWB", " to FLAC", " to ALAC", " to Opus"};
    const int codes[] = {1000, 2000, 7100, 7200, 7300, 4000, 6000, 6500, 6600, 6500, 6700, 6800, 5500, 5600, 8000, 8200, 8100};
    ASSERT_EQ(list->count(), expected.size());
    for (int i = 0; i < list->count(); ++i) {
        EXPECT_EQ(list->itemText(i), expected[i]);
        EXPECT_EQ(list->itemData(i).toInt(), codes[i]);
    }
    EXPECT_EQ(list->currentIndex(), 9);
    // As wide as its longest entry needs (test::ExpectNothingClipped measures them), no less than before.
    EXPECT_GE(list->width(), kFormatDropDownWidth);
    EXPECT_GE(list->width(), list->sizeHint().width());
    EXPECT_GE(list->view()->minimumWidth(), list->width());

    list->setCurrentIndex(5);
    EXPECT_EQ(w.CurrentSettings().OutputFormat, 4000);
}

TEST_F(MainWindowTest, UnknownStoredFormatSelectsTheFirstEntry) {
    {
        QSettings ini(QString::fromStdString(IniPath()), QSettings::IniFormat);
        ini.setValue("Options/OutputFormat", "dword:00000bb8");  // 3000: no such output
    }
    MainWindow& w = Window();
    EXPECT_EQ(w.FormatList()->currentIndex(), 0);
    EXPECT_EQ(w.CurrentSettings().OutputFormat, 1000);
}

TEST_F(MainWindowTest, EnterAndEscapeLeaveTheWindowOpenShortcutsWork) {
    MainWindow& w = Window();
    w.show();
    w.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    for (QWidget* target : {static_cast<QWidget*>(&w), static_cast<QWidget*>(w.View()),
                            static_cast<QWidget*>(w.ConvertButton())}) {
        target->setFocus();
        for (int key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape}) QTest::keyClick(target, Qt::Key(key));
    }
    QCoreApplication::processEvents();
    EXPECT_TRUE(w.isVisible());
    EXPECT_TRUE(host.messages.empty());  // Enter on the Convert button did not press it

    // Ctrl+O runs Add Files (the dialog is cancelled), Del runs Remove (nothing selected).
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
    QTest::keyClick(w.View(), Qt::Key_O, Qt::ControlModifier);
    EXPECT_EQ(host.fileInitials.size(), 1u);
    QTest::keyClick(w.View(), Qt::Key_Delete);
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0].text, "You should select a file at least.");
    EXPECT_EQ(host.messages[0].icon, MessageIcon::Information);

    // The close button closes it.
    w.CloseButton()->click();
    EXPECT_FALSE(w.isVisible());
    EXPECT_EQ(helpClosed, 1);
}

TEST_F(MainWindowTest, DropOfFilesAndAFolderAddsRowsWithTheirCells) {
    const std::string wav = files.file("tone.wav"), mp3 = files.file("song.mp3");
    std::filesystem::create_directory(files.path() / "album");
    const std::string flac = files.file("album/six.flac"), mono = files.file("album/mono.wav");
    ASSERT_TRUE(testutil::MakeWav(wav, 65));
    ASSERT_TRUE(testutil::MakeMp3(mp3, 2));
    ASSERT_TRUE(testutil::MakeFlac(flac, 1, 6));
    ASSERT_TRUE(testutil::MakeWav(mono, 1, 1));

    MainWindow& w = Window();
    EXPECT_TRUE(Drop({wav, mp3, files.file("album")}));
    ASSERT_EQ(w.List().RowCount(), 4);
    EXPECT_TRUE(w.isEnabled());
    EXPECT_TRUE(host.messages.empty());
    EXPECT_EQ(Row(0), (std::vector<std::string>{"tone.wav", "01:05", "1411 kbps", "44100 Hz", "Stereo", ""}));
    // The MP3's bit rate is measured over the whole file, its info frame included, against the
    // gapless length (the encoder's delay and padding left out), so a short file shows a little more.
    const std::vector<std::string> mp3Row = Row(1);
    EXPECT_EQ(mp3Row[kColumnFile], "song.mp3");
    EXPECT_EQ(mp3Row[kColumnDuration], "00:02");
    const int kbps = std::atoi(mp3Row[kColumnBitRate].c_str());
    EXPECT_TRUE(kbps >= 128 && kbps <= 133 && mp3Row[kColumnBitRate].ends_with(" kbps")) << mp3Row[kColumnBitRate];
    EXPECT_EQ(mp3Row[kColumnFrequency], "44100 Hz");
    EXPECT_EQ(mp3Row[kColumnChannels], "J-Stereo");
    // The folder's files, in name order.
    EXPECT_EQ(Row(2)[kColumnFile], "mono.wav");
    EXPECT_EQ(Row(2)[kColumnChannels], "Mono");
    EXPECT_EQ(Row(3)[kColumnFile], "six.flac");
    EXPECT_EQ(Row(3)[kColumnChannels], "5.1");
    EXPECT_EQ(Row(3)[kColumnFrequency], "48000 Hz");

    // The same file again, also by another path to it: no new row, no message.
    EXPECT_TRUE(Drop({wav, files.file("album/../tone.wav")}));
    EXPECT_EQ(w.List().RowCount(), 4);
    EXPECT_TRUE(host.messages.empty());

    // A file no decoder opens gives the report, and the good one beside it is added.
    const std::string bad = files.file("broken.mp3"), good = files.file("good.wav");
    ASSERT_TRUE(testutil::WriteFileBytes(bad, std::vector<uint8_t>(3000, 0x5a)));
    ASSERT_TRUE(testutil::MakeWav(good, 1));
    EXPECT_TRUE(Drop({bad, good}));
    EXPECT_EQ(w.List().RowCount(), 5);
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_TRUE(host.messages[0].text.startsWith("Failed to load the following files.\n\n" + QString::fromStdString(bad)))
        << host.messages[0].text.toStdString();
    EXPECT_EQ(host.messages[0].icon, MessageIcon::Warning);
    EXPECT_TRUE(w.isEnabled());

    // Removing a row lets the file be added again.
    w.View()->SelectRows({0});
    w.RemoveCommand();
    EXPECT_EQ(w.List().RowCount(), 4);
    EXPECT_TRUE(Drop({wav}));
    EXPECT_EQ(w.List().RowCount(), 5);
    EXPECT_EQ(Row(4)[kColumnFile], "tone.wav");
}

TEST_F(MainWindowTest, AFolderDroppedKeepsItsTreeAndTagsNameTheTargets) {
    std::filesystem::create_directories(files.path() / "lib" / "Album");
    const std::string song = files.file("lib/Album/1.flac"), loose = files.file("loose.wav");
    ASSERT_EQ(testutil::Run("ffmpeg -v error -nostdin -y -f lavfi -i sine=d=0.3 -metadata artist=AC/DC -metadata "
                            "title=Song -metadata track=3 " + testutil::Quote(song)),
              0);
    ASSERT_TRUE(testutil::MakeWav(loose, 1));
    MainWindow& w = Window();
    EXPECT_TRUE(Drop({files.file("lib"), loose}));
    ASSERT_EQ(w.List().RowCount(), 2);
    Settings& s = w.CurrentSettings();
    s.OutputFormat = kOutputWav;
    s.DestOutputFolderOpt = kDestCustomFolder;
    s.DestSpecifiedFolder = files.file("out");
    // The General page previews where the list's first rows go as the options change: the
    // dropped folder's file below it, the file dropped by itself straight into the folder.
    std::vector<std::string> previews;
    host.script = [&](QDialog& d) {
        auto& dialog = static_cast<OptionsDialog&>(d);
        auto* general = static_cast<GeneralPage*>(dialog.Page(kPageGeneral));
        previews.push_back(general->namePreview->text().toStdString());
        general->keepTree->click();
        previews.push_back(general->namePreview->text().toStdString());
        QTest::keyClicks(general->namePattern, QStringLiteral("{artist}/{track:02} {title}"));
        previews.push_back(general->namePreview->text().toStdString());
        dialog.Buttons()->button(QDialogButtonBox::Ok)->click();
    };
    w.OptionsCommand();
    host.script = nullptr;
    const std::string out = files.file("out");
    EXPECT_EQ(previews, (std::vector<std::string>{out + "/1.wav\n" + out + "/loose.wav",
                                                   out + "/Album/1.wav\n" + out + "/loose.wav",
                                                   out + "/Album/AC_DC/03 Song.wav\n" + out + "/loose.wav"}));
    EXPECT_EQ(s.KeepAddedFolderTree, 1);
    w.ConvertAllCommand();
    EXPECT_EQ(Row(0)[kColumnStatus], "03 Song.wav");
    EXPECT_TRUE(std::filesystem::exists(out + "/Album/AC_DC/03 Song.wav"));
    EXPECT_TRUE(std::filesystem::exists(out + "/loose.wav"));
    // One chosen row again under the update policy: done already; the other row keeps its status.
    s.TargetExistsOpt = kTargetUpdate;
    w.View()->SelectRows({1});
    w.ConvertSelectedCommand();
    EXPECT_EQ(Row(1)[kColumnStatus], "Target is up to date");
    EXPECT_EQ(Row(0)[kColumnStatus], "03 Song.wav");
}

TEST_F(MainWindowTest, AddFilesAndAddFolderThroughTheirDialogs) {
    const std::string a = files.file("a.wav"), b = files.file("b.wav");
    ASSERT_TRUE(testutil::MakeWav(a));
    ASSERT_TRUE(testutil::MakeWav(b));
    std::filesystem::create_directory(files.path() / "more");
    ASSERT_TRUE(testutil::MakeWav(files.file("more/c.wav")));

    MainWindow& w = Window();
    host.fileOutcomes = {FileDialogOutcome::Accepted};
    host.fileAnswer = {QString::fromStdString(b), QString::fromStdString(a)};
    w.AddFilesCommand();
    ASSERT_EQ(w.List().RowCount(), 2);
    EXPECT_EQ(Row(0)[kColumnFile], "b.wav");  // in dialog order
    EXPECT_EQ(Row(1)[kColumnFile], "a.wav");

    w.CurrentSettings().Folder = files.path().string() + "/";
    host.folderAnswer = QString::fromStdString(files.file("more"));
    w.AddFolderCommand();
    EXPECT_EQ(host.folderStart.toStdString(), files.path().string());
    ASSERT_EQ(w.List().RowCount(), 3);
    EXPECT_EQ(Row(2)[kColumnFile], "c.wav");
    // The chosen folder is kept at once.
    Settings saved = DefaultSettings();
    store.LoadSettings(saved);
    EXPECT_EQ(saved.Folder, files.file("more") + "/");

    // Remove All, then Remove All on the empty list tells the user.
    w.RemoveAllCommand();
    EXPECT_EQ(w.List().RowCount(), 0);
    EXPECT_EQ(w.View()->model()->rowCount(), 0);
    w.RemoveAllCommand();
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0].text, "There aren't files in list.");
    w.ConvertAllCommand();
    EXPECT_EQ(host.messages.back().text, "There aren't files in list.");
}

TEST_F(MainWindowTest, ListMenuEnablingFollowsRowsSelectionAndTargets) {
    MainWindow& w = Window();
    auto state = MenuState();
    for (const auto& [command, enabled] : state) EXPECT_FALSE(enabled) << static_cast<int>(command);

    const std::string a = files.file("a.wav"), b = files.file("b.wav");
    ASSERT_TRUE(testutil::MakeWav(a));
    ASSERT_TRUE(testutil::MakeWav(b));
    ASSERT_TRUE(Drop({a, b}));

    state = MenuState();  // rows, none selected
    EXPECT_TRUE(state[ListCommand::ConvertAll]);
    EXPECT_TRUE(state[ListCommand::RemoveAll]);
    EXPECT_FALSE(state[ListCommand::ConvertSelected]);
    EXPECT_FALSE(state[ListCommand::Remove]);
    EXPECT_FALSE(state[ListCommand::PlaySource]);

    w.View()->SelectRows({0, 1});
    state = MenuState();
    EXPECT_TRUE(state[ListCommand::ConvertSelected]);
    EXPECT_TRUE(state[ListCommand::Remove]);
    EXPECT_FALSE(state[ListCommand::PlaySource]);
    EXPECT_FALSE(state[ListCommand::BrowseSourceFolder]);

    w.View()->SelectRows({1});
    state = MenuState();
    EXPECT_TRUE(state[ListCommand::PlaySource]);
    EXPECT_TRUE(state[ListCommand::BrowseSourceFolder]);
    EXPECT_FALSE(state[ListCommand::PlayDestination]);
    EXPECT_FALSE(state[ListCommand::BrowseDestinationFolder]);

    // Convert Selected converts row 1 only; then its destination can be played.
    w.CurrentSettings().OutputFormat = 2000;
    w.ConvertSelectedCommand();
    EXPECT_EQ(Status(1), "b_1.wav");
    EXPECT_EQ(Status(0), "");
    state = MenuState();
    EXPECT_TRUE(state[ListCommand::PlayDestination]);
    EXPECT_TRUE(state[ListCommand::BrowseDestinationFolder]);
    w.Action(ListCommand::PlayDestination)->trigger();
    w.Action(ListCommand::BrowseDestinationFolder)->trigger();
    ASSERT_EQ(host.opened.size(), 2u);
    EXPECT_EQ(host.opened[0].toStdString(), files.file("b_1.wav"));
    EXPECT_EQ(host.opened[1].toStdString(), files.path().string());  // the folder, without a file manager

    // A double click on a row plays its source.
    QAbstractItemView* view = w.View();
    const QRect cell = view->visualRect(view->model()->index(0, 0));
    QTest::mouseDClick(view->viewport(), Qt::LeftButton, Qt::NoModifier, cell.center());
    ASSERT_EQ(host.opened.size(), 3u);
    EXPECT_EQ(host.opened[2].toStdString(), a);

    // Keyboard: the menu opens at the list's centre.
    QContextMenuEvent event(QContextMenuEvent::Keyboard, QPoint(1, 1), w.View()->mapToGlobal(QPoint(1, 1)));
    QCoreApplication::sendEvent(w.View(), &event);
    const QPoint centre = w.View()->mapToGlobal(w.View()->rect().center());
    EXPECT_LE((w.ListMenu()->pos() - centre).manhattanLength(), 2);
    w.ListMenu()->close();
}

TEST_F(MainWindowTest, HeaderClicksSortAndKeepTheSelection) {
    const std::string shortFile = files.file("b_short.wav"), longFile = files.file("a_long.wav");
    const std::string mp3 = files.file("c.mp3");
    ASSERT_TRUE(testutil::MakeWav(shortFile, 1));
    ASSERT_TRUE(testutil::MakeWav(longFile, 3));
    ASSERT_TRUE(testutil::MakeMp3(mp3, 2));
    MainWindow& w = Window();
    ASSERT_TRUE(Drop({shortFile, longFile, mp3}));
    w.View()->SelectRows({2});  // c.mp3

    QHeaderView* header = w.View()->header();
    auto click = [&](int column) {
        QTest::mouseClick(header->viewport(), Qt::LeftButton, Qt::NoModifier,
                          QPoint(header->sectionViewportPosition(column) + 10, header->height() / 2));
    };
    click(kColumnBitRate);  // 128 kbps before 1411 kbps
    EXPECT_EQ(Row(0)[kColumnFile], "c.mp3");
    click(kColumnBitRate);
    EXPECT_EQ(Row(2)[kColumnFile], "c.mp3");
    click(kColumnDuration);  // ascending again for another column
    EXPECT_EQ(Row(0)[kColumnFile], "b_short.wav");
    EXPECT_EQ(Row(1)[kColumnFile], "c.mp3");
    EXPECT_EQ(Row(2)[kColumnFile], "a_long.wav");
    // The selection moved with its row, in the list and on screen.
    EXPECT_TRUE(w.List().IsSelected(1));
    EXPECT_TRUE(w.View()->selectionModel()->isRowSelected(1, QModelIndex()));
    EXPECT_EQ(w.View()->selectionModel()->selectedRows().size(), 1);
}

TEST_F(MainWindowTest, ConvertAllUpdatesEveryStatusAndDisablesTheWindowMeanwhile) {
    std::vector<std::string> sources;
    for (const char* name : {"one.wav", "two.wav", "three.wav"}) {
        sources.push_back(files.file(name));
        ASSERT_TRUE(testutil::MakeWav(sources.back(), 1));
    }
    // Observed from inside each conversion.
    struct Seen {
        bool windowEnabled;
        bool progressShownAndUsable;
        std::string ownStatus;
    };
    std::vector<Seen> seen;
    const std::string late = files.file("late.wav");
    ASSERT_TRUE(testutil::MakeWav(late, 1));
    MainWindow* wp = nullptr;
    hooks.convert = [&](int format, const ConversionRequest& request, ConversionContext& context) {
        ProgressWindow* progress = wp->CurrentProgress();
        seen.push_back({wp->isEnabled(), progress && progress->isVisible() && progress->isEnabled(),
                        Status(request.sequenceNumber - 1)});
        if (request.sequenceNumber == 1) {
            // A drop during the run is refused, and a pending one waits for the run to end.
            EXPECT_FALSE(Drop({late}, false));
            EXPECT_EQ(wp->List().RowCount(), 3);
            wp->DropPaths({late});
            EXPECT_EQ(wp->List().RowCount(), 3);
        }
        const int result = ConvertFile(format, request, context);
        if (request.sequenceNumber == 2) context.warning = "the tags were left out";
        return result;
    };
    wp = &Window();
    wp->CurrentSettings().OutputFormat = 1000;
    wp->CurrentSettings().BrowseOutputFolder = 1;
    wp->CurrentSettings().ParallelJobs = 1;  // the hook looks at the widgets from the conversion
    ASSERT_TRUE(Drop(sources));

    wp->ConvertButton()->click();
    ASSERT_EQ(seen.size(), 3u);
    for (const Seen& s : seen) {
        EXPECT_FALSE(s.windowEnabled);
        EXPECT_TRUE(s.progressShownAndUsable);
        EXPECT_EQ(s.ownStatus, "Converting...");
    }
    EXPECT_TRUE(wp->isEnabled());
    EXPECT_EQ(wp->CurrentProgress(), nullptr);
    for (int row = 0; row < 3; ++row) {
        const std::string target = files.file(std::string(row == 0 ? "one" : row == 1 ? "two" : "three") + ".mp3");
        EXPECT_EQ(Status(row), std::filesystem::path(target).filename().string());
        EXPECT_GT(testutil::FfmpegDecodeS16(target).size(), 40000u) << target;
    }
    // A converted row's warning is in its status tool tip, after the status.
    const auto tip = [&](int row) {
        return wp->View()->model()->index(row, kColumnStatus).data(Qt::ToolTipRole).toString().toStdString();
    };
    EXPECT_EQ(tip(1), "two.mp3\nWarning: the tags were left out");
    EXPECT_EQ(tip(0), "one.mp3");
    // The late drop was added after the run, as a new row.
    PumpUntil([&] { return !wp->Busy(); });
    ASSERT_EQ(wp->List().RowCount(), 4);
    EXPECT_EQ(Row(3)[kColumnFile], "late.wav");
    EXPECT_EQ(Status(3), "");
    // The file manager was asked for the first result (its folder, with no file manager running).
    ASSERT_FALSE(host.opened.empty());
    EXPECT_EQ(host.opened.back().toStdString(), files.path().string());
    // No failure with a reason: the Status column keeps the room the other columns leave, at least 145.
    QHeaderView* header = wp->View()->header();
    EXPECT_GE(wp->View()->columnWidth(kColumnStatus), 145);
    EXPECT_EQ(header->sectionViewportPosition(kColumnStatus) + header->sectionSize(kColumnStatus),
              wp->View()->viewport()->width());
}

// With two jobs the overall bar shows the work done (the decoded share of the total duration),
// every running row draws its own bar, and the run ends with a summary line.
TEST_F(MainWindowTest, OverallBarFollowsTheWorkDoneWithTwoRowsRunning) {
    const std::vector<double> lengths{24, 6};
    std::vector<std::string> paths{files.file("long.wav"), files.file("short.wav")};
    for (size_t i = 0; i < paths.size(); ++i) ASSERT_TRUE(testutil::MakeWav(paths[i], lengths[i]));
    MainWindow& w = Window();
    ASSERT_TRUE(Drop(paths));
    ASSERT_EQ(w.List().RowCount(), 2);
    w.CurrentSettings().ParallelJobs = 2;
    w.CurrentSettings().OutputFormat = 1000;
    int samples = 0, bothRunning = 0;
    double worst = 0;
    bool barShown[2] = {false, false};  // a row whose bar went away is done, reported or not
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout, [&] {
        ProgressWindow* progress = w.CurrentProgress();
        if (!progress || progress->OverallMaximum() != 1000) return;
        double done = 0;
        int running = 0;
        for (int row = 0; row < 2; ++row) {
            const double share = w.View()->ListModel()->RowProgress(row);
            running += share >= 0;
            barShown[row] = barShown[row] || share >= 0;
            done += lengths[static_cast<size_t>(row)] * (share >= 0 ? share : barShown[row] ? 1.0 : 0.0);
        }
        const double shown = progress->OverallPosition() / 1000.0;
        worst = std::max(worst, std::abs(shown - done / 30.0));
        bothRunning += running == 2;
        ++samples;
    });
    sampler.start(10);
    w.ConvertAllCommand();
    sampler.stop();
    EXPECT_GT(samples, 5);
    EXPECT_GT(bothRunning, 0);
    EXPECT_LE(worst, 0.02);
    EXPECT_EQ(w.View()->ListModel()->RowProgress(0), -1.0);
    EXPECT_TRUE(w.SummaryLabel()->text().startsWith(QStringLiteral("2 converted, 0 failed, 0 skipped in 0:0")))
        << w.SummaryLabel()->text().toStdString();
}

// Pause holds the run: the overall bar, the rows' bars and their states stay as they are until
// Resume, and then the run goes on to convert every row. One job (the batch thread waits) and two
// (the workers wait between blocks).
TEST_F(MainWindowTest, PauseHoldsTheRunAndResumeFinishesIt) {
    std::vector<std::string> paths{files.file("one.wav"), files.file("two.wav")};
    for (const std::string& p : paths) ASSERT_TRUE(testutil::MakeWav(p, 40));
    MainWindow& w = Window();
    ASSERT_TRUE(Drop(paths));
    ASSERT_EQ(w.List().RowCount(), 2);
    w.CurrentSettings().OutputFormat = 1000;
    for (int jobs : {1, 2}) {
        SCOPED_TRACE(jobs);
        w.CurrentSettings().ParallelJobs = jobs;
        enum class Step { Running, Settling, Paused, Resumed } step = Step::Running;
        QElapsedTimer clock;
        int heldAt = -1, afterResume = -1, pausedSamples = 0;
        std::vector<std::string> heldStatus;
        std::vector<double> heldShare;
        bool heldStill = true, pausedShown = true;
        QTimer sampler;
        QObject::connect(&sampler, &QTimer::timeout, [&] {
            ProgressWindow* progress = w.CurrentProgress();
            if (!progress || progress->OverallMaximum() != 1000) return;
            const int value = progress->OverallPosition();
            std::vector<std::string> status{Status(0), Status(1)};
            std::vector<double> share{w.View()->ListModel()->RowProgress(0), w.View()->ListModel()->RowProgress(1)};
            switch (step) {
                case Step::Running:
                    if (value > 50 && value < 500) {
                        progress->PauseButton()->click();
                        clock.start();
                        step = Step::Settling;
                    }
                    break;
                case Step::Settling:  // blocks under way when Pause was pressed end
                    if (clock.elapsed() < 300) break;
                    heldAt = value;
                    heldStatus = status;
                    heldShare = share;
                    clock.start();
                    step = Step::Paused;
                    break;
                case Step::Paused:
                    ++pausedSamples;
                    heldStill = heldStill && value == heldAt && status == heldStatus && share == heldShare;
                    pausedShown = pausedShown && progress->TimesText().endsWith(QStringLiteral("(paused)")) &&
                                  progress->PauseButton()->text() == QStringLiteral("&Resume");
                    if (clock.elapsed() < 600) break;
                    progress->PauseButton()->click();
                    step = Step::Resumed;
                    break;
                case Step::Resumed: afterResume = std::max(afterResume, value); break;
            }
        });
        sampler.start(10);
        w.ConvertAllCommand();
        sampler.stop();
        ASSERT_EQ(step, Step::Resumed) << "the run ended before it was paused and resumed";
        EXPECT_GT(pausedSamples, 10);
        EXPECT_TRUE(heldStill) << "held at " << heldAt;
        EXPECT_TRUE(pausedShown);
        ASSERT_EQ(heldStatus.size(), 2u);
        EXPECT_EQ(heldStatus[0], "Converting...");
        if (jobs == 2) {
            EXPECT_EQ(heldStatus[1], "Converting...");
        }
        EXPECT_GT(afterResume, heldAt);
        for (int row = 0; row < 2; ++row) {
            const std::string target = std::filesystem::path(paths[static_cast<size_t>(row)]).stem().string() +
                                       (jobs == 1 ? ".mp3" : "_1.mp3");
            EXPECT_EQ(Status(row), target);
            EXPECT_GT(testutil::FfmpegDecodeS16(files.file(target)).size(), 40000u) << target;
        }
        EXPECT_TRUE(w.SummaryLabel()->text().startsWith(QStringLiteral("2 converted, 0 failed, 0 skipped")))
            << w.SummaryLabel()->text().toStdString();
    }
}

// The desktop's notification service as the session bus offers it: records the Notify calls.
class FakeNotificationService : public QDBusVirtualObject {
public:
    struct Call {
        QString app, summary, body;
    };
    std::vector<Call> Calls() {
        std::lock_guard<std::mutex> lock(mutex_);
        return calls_;
    }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        if (message.interface() != QStringLiteral("org.freedesktop.Notifications") ||
            message.member() != QStringLiteral("Notify"))
            return false;
        const QList<QVariant> a = message.arguments();
        std::lock_guard<std::mutex> lock(mutex_);
        calls_.push_back({a.value(0).toString(), a.value(3).toString(), a.value(4).toString()});
        connection.send(message.createReply(QVariant::fromValue(static_cast<uint>(calls_.size()))));
        return true;
    }
    QString introspect(const QString&) const override { return {}; }

private:
    std::mutex mutex_;
    std::vector<Call> calls_;
};

// Keeps the session bus that the DesktopNotification.UnderAPrivateSessionBus entry starts.
class MainWindowNotificationTest : public MainWindowTest {
protected:
    void SetUp() override {
        const char* bus = std::getenv("DBUS_SESSION_BUS_ADDRESS");
        const std::string address = bus ? bus : "";
        MainWindowTest::SetUp();
        if (!address.empty()) setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
    }
};

// At the end of a run the desktop hears of it once, with the summary line, when the user works
// in another window; not while the user watches the run; and a bus without the service changes
// nothing. Run under a private session bus by the DesktopNotification.UnderAPrivateSessionBus
// entry of ctest.
TEST_F(MainWindowNotificationTest, DISABLED_OneNotificationWhenTheUserIsElsewhere) {
    ASSERT_TRUE(QDBusConnection::sessionBus().isConnected()) << "no session bus";
    FakeNotificationService service;
    const QString serviceConnection = QStringLiteral("fake-notifications");
    {
        QDBusConnection own = QDBusConnection::connectToBus(QDBusConnection::SessionBus, serviceConnection);
        ASSERT_TRUE(own.isConnected());
        ASSERT_TRUE(own.registerVirtualObject(QStringLiteral("/org/freedesktop/Notifications"), &service));
        ASSERT_TRUE(own.registerService(QStringLiteral("org.freedesktop.Notifications")));
    }
    const std::string wav = files.file("tone.wav");
    ASSERT_TRUE(testutil::MakeWav(wav, 2));
    QWidget elsewhere;  // another program's window
    bool leave = false;
    MainWindow* wp = nullptr;
    hooks.convert = [&](int format, const ConversionRequest& request, ConversionContext& context) {
        if (leave) {
            elsewhere.show();
            elsewhere.activateWindow();
            EXPECT_TRUE(QTest::qWaitForWindowActive(&elsewhere));
            EXPECT_FALSE(wp->isActiveWindow());
        }
        return ConvertFile(format, request, context);
    };
    MainWindow& w = Window();
    wp = &w;
    w.CurrentSettings().OutputFormat = 2000;
    w.CurrentSettings().ParallelJobs = 1;  // the hook activates a window from the conversion
    ASSERT_TRUE(Drop({wav}));
    w.show();
    w.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w));

    // Watched: the run ends in the window the user looks at.
    w.ConvertAllCommand();
    EXPECT_FALSE(w.SummaryLabel()->text().isEmpty());
    // Elsewhere: one call. Calls on one connection arrive in order, so a call from the watched
    // run would have come first.
    leave = true;
    w.ConvertAllCommand();
    const QString summary = w.SummaryLabel()->text();
    EXPECT_TRUE(summary.startsWith(QStringLiteral("1 converted, 0 failed, 0 skipped in "))) << summary.toStdString();
    PumpUntil([&] { return !service.Calls().empty(); }, 5000);
    QTest::qWait(200);
    const std::vector<FakeNotificationService::Call> calls = service.Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].app, QStringLiteral("Sonavert"));
    EXPECT_EQ(calls[0].summary, QStringLiteral("Conversion finished"));
    EXPECT_EQ(calls[0].body, summary);

    // No service on the bus: the run ends as before and nothing waits for an answer.
    QDBusConnection::disconnectFromBus(serviceConnection);
    w.ConvertAllCommand();
    EXPECT_TRUE(w.SummaryLabel()->text().startsWith(QStringLiteral("1 converted, 0 failed")))
        << w.SummaryLabel()->text().toStdString();
    EXPECT_TRUE(w.isEnabled());
    EXPECT_EQ(w.CurrentProgress(), nullptr);
    QTest::qWait(200);
    EXPECT_EQ(service.Calls().size(), 1u);
}

TEST_F(MainWindowTest, CancelDuringTheSecondOfThreeRows) {
    std::vector<std::string> sources;
    for (const char* name : {"one.wav", "two.wav", "three.wav"}) {
        sources.push_back(files.file(name));
        ASSERT_TRUE(testutil::MakeWav(sources.back(), 5));
    }
    MainWindow* w = nullptr;
    hooks.convert = [&](int format, const ConversionRequest& request, ConversionContext& context) {
        if (request.sequenceNumber == 2) w->CurrentProgress()->CancelButton()->click();
        return ConvertFile(format, request, context);
    };
    w = &Window();
    w->CurrentSettings().OutputFormat = 2000;
    w->CurrentSettings().BrowseOutputFolder = 1;
    w->CurrentSettings().ParallelJobs = 1;  // the hook clicks Cancel from the conversion itself
    ASSERT_TRUE(Drop(sources));
    w->ConvertAllCommand();

    EXPECT_EQ(Status(0), "one_1.wav");
    EXPECT_EQ(Status(1), "Cancelled");
    EXPECT_EQ(Status(2), "");
    EXPECT_TRUE(std::filesystem::exists(files.file("one_1.wav")));
    EXPECT_FALSE(std::filesystem::exists(files.file("two_1.wav")));
    EXPECT_FALSE(std::filesystem::exists(files.file("three_1.wav")));
    EXPECT_TRUE(host.opened.empty());  // no file manager after a cancelled run
    EXPECT_TRUE(w->isEnabled());
    // The cancelled row has no destination to play.
    w->View()->SelectRows({1});
    auto state = MenuState();
    EXPECT_FALSE(state[ListCommand::PlayDestination]);
}

TEST_F(MainWindowTest, AFailingRowWidensTheStatusColumnOnce) {
    const std::string good = files.file("good.wav");
    ASSERT_TRUE(testutil::MakeWav(good, 1));
    // The conversion seam cuts the finished temporary short before its check, when asked.
    bool damage = false;
    hooks.convert = [&](int format, const ConversionRequest& request, ConversionContext& context) {
        const int result = ConvertFile(format, request, context);
        if (result && damage)
            std::filesystem::resize_file(request.targetPath, std::filesystem::file_size(request.targetPath) / 2);
        return result;
    };
    MainWindow& w = Window();
    ASSERT_TRUE(Drop({good}));
    // The file turns unreadable after it was added.
    ASSERT_TRUE(testutil::WriteFileBytes(good, std::vector<uint8_t>(4000, 0x11)));
    w.CurrentSettings().OutputFormat = 1000;
    w.ConvertAllCommand();
    EXPECT_EQ(Status(0),
              "Conversion Failure (To get help, please forward the failure file to <support@sonavert.app>.)");
    EXPECT_EQ(w.View()->columnWidth(kColumnStatus), 500);
    EXPECT_FALSE(std::filesystem::exists(files.file("good.mp3")));
    // Once: after the user narrowed the column, the next failure leaves it alone.
    w.View()->setColumnWidth(kColumnStatus, 200);
    w.ConvertAllCommand();
    EXPECT_EQ(w.View()->columnWidth(kColumnStatus), 200);

    // A verified row says so in its status tool tip; a target that fails its check shows why.
    const auto tip = [&] {
        return w.View()->model()->index(0, kColumnStatus).data(Qt::ToolTipRole).toString().toStdString();
    };
    ASSERT_TRUE(testutil::MakeWav(good, 1));
    w.CurrentSettings().VerifyTargets = 2;
    w.ConvertAllCommand();
    EXPECT_EQ(tip(), "good.mp3\n" + std::string(kVerifiedNote));
    std::filesystem::remove(files.file("good.mp3"));
    damage = true;
    w.ConvertAllCommand();
    EXPECT_EQ(Status(0).rfind("Conversion Failure (verification failed: length ", 0), 0u) << Status(0);
    EXPECT_EQ(tip(), Status(0));
    EXPECT_FALSE(std::filesystem::exists(files.file("good.mp3")));
}

TEST_F(MainWindowTest, ClosingSavesOnlyTheExitGroup) {
    const std::string before = [&] {
        MainWindow& w = Window();
        // Changes that belong to other groups stay unsaved.
        w.CurrentSettings().Folder = "/somewhere/else/";
        w.CurrentSettings().MP3BitRate = 320;
        w.CurrentSettings().OptStartPageIndex = 3;
        w.FormatList()->setCurrentIndex(5);  // OGG
        const auto bytes = testutil::ReadFileBytes(IniPath());
        return std::string(bytes.begin(), bytes.end());
    }();
    QSettings ini(QString::fromStdString(IniPath()), QSettings::IniFormat);
    const QStringList keysBefore = ini.allKeys();

    window->show();
    window->close();
    EXPECT_FALSE(window->isVisible());
    ini.sync();
    QStringList added;
    for (const QString& key : ini.allKeys())
        if (!keysBefore.contains(key)) added << key;
    added.sort();
    EXPECT_EQ(added, (QStringList{"Options/OptStartPageIndex", "Options/OutputFormat", "Options/WindowHeight",
                                  "Options/WindowLeft", "Options/WindowTop", "Options/WindowWidth"}));
    Settings saved = DefaultSettings();
    store.LoadSettings(saved);
    EXPECT_EQ(saved.OutputFormat, 4000);
    EXPECT_EQ(saved.OptStartPageIndex, 3);
    EXPECT_EQ(saved.MP3BitRate, DefaultSettings().MP3BitRate);
    EXPECT_EQ(saved.Folder, DefaultSettings().Folder);
    EXPECT_FALSE(before.empty());
}

TEST_F(MainWindowTest, FirstStartOpensTheHelpMaximisedAndHelpMenuOpensAddresses) {
    {
        QSettings ini(QString::fromStdString(IniPath()), QSettings::IniFormat);
        ini.remove("Options/FirstRun");
    }
    MainWindow& w = Window();
    EXPECT_EQ(helpOpened, std::vector<bool>{true});
    w.Action(HelpCommand::HelpTopics)->trigger();
    EXPECT_EQ(helpOpened, (std::vector<bool>{true, false}));
    w.Action(HelpCommand::About)->trigger();
    EXPECT_EQ(aboutShown, 1);
    w.Action(HelpCommand::Homepage)->trigger();
    w.Action(HelpCommand::Feedback)->trigger();
    w.Action(HelpCommand::TellAFriend)->trigger();
    w.Action(HelpCommand::CheckLatestVersion)->trigger();
    ASSERT_EQ(host.opened.size(), 4u);
    EXPECT_EQ(host.opened[0], "https://sonavert.app/");
    EXPECT_TRUE(host.opened[1].startsWith("mailto:support@"));
    const QUrl mail(host.opened[2]);
    EXPECT_EQ(mail.scheme(), "mailto");
    EXPECT_EQ(QUrl::fromPercentEncoding(host.opened[2].toUtf8()),
              "mailto:?subject=Sonavert - very COOL application!!!&body=Download from https://sonavert.app/");
    EXPECT_TRUE(host.opened[3].contains("ver=3.4"));
    EXPECT_TRUE(host.opened[3].contains("build=839"));
    // A second window in the same store does not open the help again.
    window.reset();
    helpOpened.clear();
    Window();
    EXPECT_TRUE(helpOpened.empty());
}

}  // namespace
}  // namespace sonavert

namespace sonavert {
namespace {

// Pictures of the window for looking at: with SONAVERT_SCREENSHOT_DIR set (and a real display,
// e.g. under xvfb-run with QT_QPA_PLATFORM=xcb), saves the screen with the filled list, the
// context menu, the progress window during a conversion and the list after it.
// The Add Files filters, read the way the file dialog reads them, show the files they name.
TEST(OpenDialogFilters, EveryPatternMatchesItsFiles) {
    QStringList filters = OpenDialogNameFilters();
    ASSERT_EQ(filters.size(), kOpenDialogFilterCount + 1);
    EXPECT_EQ(filters[0], QStringLiteral("All Files (*)"));
    // "All audio files" follows, with every entry's patterns and the extensions without an entry.
    const QString all = filters.takeAt(1);
    ASSERT_TRUE(all.startsWith(QStringLiteral("All audio files (")));
    const QStringList audio = all.mid(all.indexOf('(') + 1).chopped(1).split(QLatin1Char(' '));
    for (const char* name : {"a.opus", "b.webm", "c.caf", "d.MP3", "e.flac", "f.wma", "g.mid", "h.m4a"})
        EXPECT_TRUE(QDir::match(audio, QString::fromLatin1(name))) << name;
    EXPECT_FALSE(QDir::match(audio, QStringLiteral("notes.txt")));
    for (int i = 1; i < kOpenDialogFilterCount; ++i)
        for (const QString& pattern : QString::fromLatin1(kOpenDialogFilters[i].pattern).split(';'))
            EXPECT_TRUE(audio.contains(pattern)) << pattern.toStdString();
    for (int i = 0; i < kOpenDialogFilterCount; ++i) {
        const QString& filter = filters[i];
        // As the dialog does: the text in the last parentheses, split at blanks.
        const QString inside = filter.mid(filter.lastIndexOf('(') + 1).chopped(1);
        const QStringList patterns = inside.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        // Every pattern of the table entry matches a file of that extension, in either case.
        for (const QString& pattern : QString::fromLatin1(kOpenDialogFilters[i].pattern).split(';')) {
            const QString name = QString(pattern).replace(QLatin1String("*."), QLatin1String("song."));
            EXPECT_TRUE(QDir::match(patterns, name)) << filter.toStdString() << " misses " << name.toStdString();
        }
    }
    EXPECT_TRUE(QDir::match(QStringList{QStringLiteral("*")}, QStringLiteral("README")));
    EXPECT_EQ(filters[5], QStringLiteral("AIFF Files (*.aiff *.aif *.aifc *.afc)"));
}

TEST_F(MainWindowTest, MidiWithoutTheSoundFontAsksWithAYesNoBox) {
    // A host that never started has no SoundFont to give; the shared one keeps the layer up.
    testutil::SharedCodecHost();
    sonavert::CodecHost withoutFont;
    codecs = &withoutFont;
    const std::string midi = files.file("tune.mid");
    ASSERT_TRUE(testutil::WriteFileBytes(midi, testutil::TinyMidi()));
    ASSERT_TRUE(Drop({midi}));
    ASSERT_EQ(Window().List().RowCount(), 1);

    host.yesNoAnswer = MessageAnswer::No;
    Window().ConvertAllCommand();
    ASSERT_FALSE(host.messages.empty());
    EXPECT_EQ(host.messages.back().text, QString::fromStdString(SoundFontQuestion(withoutFont.ExecutableFolder())));
    EXPECT_EQ(host.messages.back().icon, MessageIcon::Question);
    EXPECT_EQ(Status(0), "Failure. Requires file \"ct4mgm.sf2\".");

    // Yes ends the batch before anything is converted and points the user to the download.
    host.yesNoAnswer = MessageAnswer::Yes;
    host.messages.clear();
    host.opened.clear();
    Window().List().SetStatus(0, "");
    Window().ConvertAllCommand();
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(Status(0), "");
    EXPECT_NE(std::find(host.opened.begin(), host.opened.end(), QString(kSoundFontDownloadUrl)), host.opened.end());
    EXPECT_TRUE(Window().isEnabled());
}

// A whole session in the window: drop, context menu, help menu, convert. Texts must fit; with
// SONAVERT_SCREENSHOT_DIR set, the screen is saved at each step for a look by eye.
TEST_F(MainWindowTest, SessionLaysOutWithoutClippedTexts) {
    const char* dir = std::getenv("SONAVERT_SCREENSHOT_DIR");
    // The icon theme the program itself picks outside a desktop session.
    if (QIcon::themeName().isEmpty() || QIcon::themeName() == QLatin1String("hicolor"))
        QIcon::setThemeName(QStringLiteral("Adwaita"));
    auto shoot = [&](const char* name) {
        QCoreApplication::processEvents();
        if (!dir) return;
        QTest::qWait(150);
        QScreen* screen = QGuiApplication::primaryScreen();
        EXPECT_TRUE(screen->grabWindow(0).save(QStringLiteral("%1/%2").arg(dir, name)));
    };
    std::vector<std::string> sources;
    std::filesystem::create_directory(files.path() / "Album");
    for (const char* name : {"Album/01 Opening.flac", "Album/02 Interlude.wav", "voice memo.mp3",
                             "field recording.wav"}) {
        sources.push_back(files.file(name));
        const std::string& p = sources.back();
        if (p.ends_with(".flac")) ASSERT_TRUE(testutil::MakeFlac(p, 95));
        else if (p.ends_with(".mp3")) ASSERT_TRUE(testutil::MakeMp3(p, 12));
        else ASSERT_TRUE(testutil::MakeWav(p, p.find("field") != std::string::npos ? 3725 / 20.0 : 30));
    }
    MainWindow* w = nullptr;
    bool shotProgress = false;
    hooks.convert = [&](int format, const ConversionRequest& request, ConversionContext& context) {
        if (request.sequenceNumber == 2 && !shotProgress) {
            shotProgress = true;
            w->CurrentProgress()->SetFileText(std::string("Converting 02 Interlude.wav...42%"));
            w->CurrentProgress()->SetFileBarPosition(w->CurrentProgress()->FileBarWidth() * 42 / 100);
            shoot("main-progress.png");
        }
        return ConvertFile(format, request, context);
    };
    w = &Window();
    w->CurrentSettings().ParallelJobs = 1;  // the hook draws into the progress window
    w->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(w));
    ASSERT_TRUE(Drop({files.file("Album"), sources[2], sources[3]}));
    test::ExpectNothingClipped(*w, QStringLiteral("main window"));
    shoot("main-list.png");
    w->View()->SelectRows({1});
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(120, 60), w->View()->viewport()->mapToGlobal(QPoint(120, 60)));
    QCoreApplication::sendEvent(w->View()->viewport(), &event);
    shoot("main-menu.png");
    w->ListMenu()->close();
    w->OpenHelpMenu();
    shoot("main-helpmenu.png");
    w->HelpMenu()->close();
    w->CurrentSettings().OutputFormat = 1000;
    w->ConvertAllCommand();
    shoot("main-converted.png");
    EXPECT_TRUE(shotProgress);
    for (int row = 0; row < 4; ++row)
        EXPECT_NE(w->List().CellText(row, kColumnStatus).find(".mp3"), std::string::npos) << row;
}

}  // namespace
}  // namespace sonavert

namespace sonavert {
namespace {

// Every button, drop-down list and tab of `root` that is shown lies inside `screen` (global
// coordinates); in a scroll area a control counts once it is scrolled into view.
void ExpectControlsOnScreen(QWidget& root, const QRect& screen, const std::string& where) {
    for (QWidget* w : root.findChildren<QWidget*>()) {
        if (!w->isVisibleTo(&root)) continue;
        if (!qobject_cast<QAbstractButton*>(w) && !qobject_cast<QComboBox*>(w) && !qobject_cast<QTabBar*>(w)) continue;
        QScrollArea* scroller = nullptr;
        for (QWidget* up = w->parentWidget(); up && !scroller; up = up->parentWidget())
            scroller = qobject_cast<QScrollArea*>(up);
        if (scroller) {
            scroller->ensureWidgetVisible(w, 0, 0);
            QCoreApplication::processEvents();
        }
        const QRect global(w->mapToGlobal(QPoint(0, 0)), w->size());
        QString text;
        if (auto* b = qobject_cast<QAbstractButton*>(w)) text = b->text().isEmpty() ? b->toolTip() : b->text();
        EXPECT_TRUE(screen.contains(global)) << where << ": " << w->metaObject()->className() << " \""
                                             << text.toStdString() << "\" at " << global.x() << "," << global.y()
                                             << " " << global.width() << "x" << global.height();
    }
}

// Run by ScreenFit.EveryControlOnAScreenOf1366x768AtEachScale in a child process on a 1366 x 768
// offscreen screen at the scale it sets: under Fusion with a light and a dark palette and under
// the Adwaita style in its light and dark forms (the style's own palettes), the main window and
// every Options page keep their controls on the screen and no text cut.
TEST(ScreenFit, DISABLED_InChild) {
    TempDir config;
    setenv("XDG_CONFIG_HOME", config.path().c_str(), 1);
    {
        QSettings ini(QString::fromStdString(config.file("Sonavert.ini")), QSettings::IniFormat);
        ini.setValue("Options/FirstRun", "0");
    }
    const double scale = std::atof(std::getenv("QT_SCALE_FACTOR") ? std::getenv("QT_SCALE_FACTOR") : "1");
    struct Look {
        const char* style;
        bool darkPalette;  // Fusion's: the style's own otherwise
    };
    for (const Look& look : {Look{"Fusion", false}, Look{"Fusion", true}, Look{"Adwaita", false},
                             Look{"Adwaita-Dark", false}}) {
        const std::string name = std::string(look.style) + (look.darkPalette ? ", dark" : "");
        SCOPED_TRACE(name);
        QStyle* style = QStyleFactory::create(QString::fromLatin1(look.style));
        ASSERT_NE(style, nullptr) << look.style << " is not installed (scripts/packages.txt)";
        QApplication::setStyle(style);
        QApplication::setPalette(look.darkPalette ? test::DarkPalette() : style->standardPalette());
        SettingsStore store(config.file("Sonavert.ini"));
        test::FakeUiHost host;
        MainWindowHooks hooks;
        hooks.host = &host;
        hooks.showHelp = [](bool) {};
        MainWindow w(testutil::SharedCodecHost(), store, hooks);
        const QRect screen = w.screen()->availableGeometry();
        if (scale == 1.0) {
            EXPECT_EQ(w.size(), QSize(kMainWindowWidth, kMainWindowHeight));
        }
        w.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
        EXPECT_TRUE(screen.contains(w.frameGeometry())) << w.width() << "x" << w.height() << " on " << screen.width()
                                                        << "x" << screen.height();
        ExpectControlsOnScreen(w, screen, "main window");
        test::ExpectNothingClipped(w, QStringLiteral("main window"));
        // A click on a column title sorts the list and shows the sort mark: the titles still fit.
        QHeaderView* header = w.View()->header();
        QTest::mouseClick(header->viewport(), Qt::LeftButton, Qt::NoModifier,
                          QPoint(header->sectionViewportPosition(kColumnDuration) + 4, header->height() / 2));
        EXPECT_TRUE(header->isSortIndicatorShown());
        test::ExpectNothingClipped(w, QStringLiteral("main window, sorted"));

        Settings settings = DefaultSettings();
        OptionsDialog options(settings, OptionsDialogHooks{&host, {}}, &w);
        options.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&options));
        EXPECT_TRUE(screen.contains(options.frameGeometry()))
            << options.width() << "x" << options.height() << " on " << screen.width() << "x" << screen.height();
        for (int page = 0; page < options.Tabs()->count(); ++page) {
            options.Tabs()->setCurrentIndex(page);
            QCoreApplication::processEvents();
            ExpectControlsOnScreen(options, screen, options.Tabs()->tabText(page).toStdString());
            test::ExpectNothingClipped(*options.Page(page), options.Tabs()->tabText(page));
        }
    }
}

TEST(ScreenFit, EveryControlOnAScreenOf1366x768AtEachScale) {
    TempDir dir;
    const std::string config = dir.file("screen.json");
    std::ofstream(config) << R"({"screens":[{"name":"s","x":0,"y":0,"width":1366,"height":768,)"
                          << R"("logicalDpi":96,"logicalBaseDpi":96,"dpr":1}]})";
    for (const char* scale : {"1", "1.5", "2"}) {
        const std::string out = dir.file(std::string("out-") + scale);
        const testutil::ChildResult r = testutil::RunChild(
            {"/proc/self/exe", "--gtest_filter=ScreenFit.DISABLED_InChild", "--gtest_also_run_disabled_tests"},
            {"QT_QPA_PLATFORM=offscreen:configfile=" + config, std::string("QT_SCALE_FACTOR=") + scale}, 120, out, out);
        EXPECT_TRUE(r.Normal() && r.exitCode == 0) << "scale " << scale << ": " << r.Describe() << "\n"
                                                   << testutil::ReadText(out);
    }
}

}  // namespace
}  // namespace sonavert
