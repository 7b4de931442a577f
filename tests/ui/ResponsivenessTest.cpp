// The main window stays responsive while rows convert on worker threads: its event loop keeps
// running timers and painting during the whole batch.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QSettings>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/Driver.h"
#include "filelist/FileList.h"
#include "settings/SettingsStore.h"
#include "support/MainWindowTestUtil.h"
#include "support/TestUtil.h"
#include "ui/FakeUiHost.h"
#include "ui/FileListView.h"
#include "ui/MainWindow.h"
#include "ui/ProgressWindow.h"

namespace sonavert {
namespace {

// Counts the paints of the main window and of the progress window (their widgets and the
// windows' update requests) that come while a row of the list still shows "Converting...".
class PaintWatcher : public QObject {
public:
    explicit PaintWatcher(MainWindow& window) : window_(window) {}
    int paintsWhileConverting = 0;
    int progressPaintsWhileConverting = 0;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::Paint && event->type() != QEvent::UpdateRequest) return false;
        auto* widget = qobject_cast<QWidget*>(watched);
        if (!widget || !AnyRowConverting()) return false;
        QWidget* top = widget->window();
        ProgressWindow* progress = window_.CurrentProgress();
        if (top == &window_) ++paintsWhileConverting;
        if (progress && top == progress) {
            ++paintsWhileConverting;
            ++progressPaintsWhileConverting;
        }
        return false;
    }

private:
    bool AnyRowConverting() {
        for (int row = 0; row < window_.List().RowCount(); ++row)
            if (window_.List().CellText(row, kColumnStatus) == kConvertingStatus) return true;
        return false;
    }
    MainWindow& window_;
};

TEST(MainWindowResponsiveness, TimersAndPaintsKeepComingWhileTwoRowsConvertAtOnce) {
    testutil::TempDir config, files;
    setenv("XDG_CONFIG_HOME", config.path().c_str(), 1);
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
    {
        // No help window on the first start.
        QSettings ini(QString::fromStdString(config.file("Sonavert.ini")), QSettings::IniFormat);
        ini.setValue("Options/FirstRun", "dword:00000000");
    }
    // Six rows of 30 s each: long enough that the batch lasts a good many timer periods.
    constexpr int kRows = 6;
    std::vector<std::string> sources;
    for (int i = 0; i < kRows; ++i) {
        sources.push_back(files.file("row" + std::to_string(i) + ".wav"));
        ASSERT_TRUE(testutil::MakeWav(sources.back(), 30));
    }

    SettingsStore store(config.file("Sonavert.ini"));
    test::FakeUiHost host;
    MainWindowHooks hooks;
    hooks.host = &host;
    hooks.showHelp = [](bool) {};
    hooks.closeHelp = [] {};
    hooks.showAbout = [](QWidget*) {};
    MainWindow window(testutil::SharedCodecHost(), store, hooks);
    Settings& settings = window.CurrentSettings();
    settings.BrowseOutputFolder = 0;
    settings.DestOutputFolderOpt = kDestBesideSource;
    settings.OutputFiles2MyDocuments = 0;
    settings.OutputFormat = 1000;  // MP3
    settings.ParallelJobs = 2;
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    window.DropPaths(sources);
    ASSERT_TRUE(testutil::PumpUntil([&] { return !window.Busy() && window.List().RowCount() == kRows; }));

    PaintWatcher watcher(window);
    qApp->installEventFilter(&watcher);
    // A tick every 50 ms; the gaps between ticks show how long the event loop was held up.
    QElapsedTimer clock;
    std::vector<qint64> ticks;
    bool progressSeen = false;
    QTimer timer;
    timer.setInterval(50);
    QObject::connect(&timer, &QTimer::timeout, [&] {
        ticks.push_back(clock.elapsed());
        ProgressWindow* progress = window.CurrentProgress();
        progressSeen = progressSeen || (progress && progress->isVisible());
    });
    clock.start();
    timer.start();
    window.ConvertAllCommand();  // returns when the batch has ended
    const qint64 duration = clock.elapsed();
    timer.stop();
    qApp->removeEventFilter(&watcher);

    // Every row converted, its status the target's name.
    for (int row = 0; row < kRows; ++row) {
        const std::string target = files.file("row" + std::to_string(row) + ".mp3");
        EXPECT_EQ(window.List().CellText(row, kColumnStatus), "row" + std::to_string(row) + ".mp3");
        EXPECT_TRUE(std::filesystem::exists(target) && std::filesystem::file_size(target) > 100000) << target;
    }
    // The timer kept firing: no gap of half a second between the start, the ticks and the end
    // (ten periods: a generous bound for a loaded machine).
    ASSERT_FALSE(ticks.empty()) << "no tick in a run of " << duration << " ms";
    qint64 longestGap = ticks.front();
    for (size_t i = 1; i < ticks.size(); ++i) longestGap = std::max(longestGap, ticks[i] - ticks[i - 1]);
    longestGap = std::max(longestGap, duration - ticks.back());
    EXPECT_LT(longestGap, 500) << ticks.size() << " ticks in " << duration << " ms";
    EXPECT_TRUE(progressSeen);
    // Painting went on while rows converted.
    EXPECT_GT(watcher.paintsWhileConverting, 0) << "in a run of " << duration << " ms";
    RecordProperty("ProgressPaintsWhileConverting", watcher.progressPaintsWhileConverting);
    EXPECT_TRUE(window.isEnabled());
}

}  // namespace
}  // namespace sonavert
