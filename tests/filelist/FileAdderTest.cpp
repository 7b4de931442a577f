#include "filelist/FileAdder.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>
#include <tuple>

#include "sources/CodecHost.h"
#include "settings/Settings.h"
#include "sources/SourceTypes.h"
#include "support/BassTestUtil.h"
#include "support/TestUtil.h"

using namespace sonavert;
namespace fs = std::filesystem;
using testutil::Quote;

namespace {

struct RecordingDriver : AddDriver {
    std::vector<std::string> texts;
    std::vector<std::pair<MessageIcon, std::string>> messages;
    std::vector<std::string> events;  // "started", "finished", "message"
    int barMaximum = -1, steps = 0, pumps = 0;
    int cancelAtPump = 0;  // 0: never

    void Started() override { events.push_back("started"); }
    void SetText(const std::string& t) override { texts.push_back(t); }
    void SetBarRange(int maximum) override {
        barMaximum = maximum;
        steps = 0;
    }
    void StepBar() override { ++steps; }
    void Pump() override { ++pumps; }
    bool CancelRequested() override { return cancelAtPump && pumps >= cancelAtPump; }
    void Finished() override { events.push_back("finished"); }
    void ShowMessage(MessageIcon icon, const std::string& text) override {
        events.push_back("message");
        messages.push_back({icon, text});
    }
};

void Touch(const std::string& path, const std::string& bytes = "not audio at all") {
    ASSERT_TRUE(testutil::WriteFileBytes(path, std::vector<uint8_t>(bytes.begin(), bytes.end())));
}

void ShortWav(const std::string& path, int channels = 2, double seconds = 0.3) {
    ASSERT_TRUE(testutil::WriteWav16(path, testutil::Sine(440, 8000, channels, seconds), 8000, channels));
}

Settings FilterSettings(bool enabled, const std::string& exts) {
    Settings s;
    s.EnableExtFilter = enabled ? 1 : 0;
    s.FilterExts = exts;
    RebuildExtensionFilter(s);
    return s;
}

class FileAdderTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(host_.Start(testutil::BinDir() + "/"), CodecHost::StartResult::Ok); }

    CodecHost host_;
    testutil::TempDir dir_;
    FileList list_;
    SourceFactoryContext context_;
    FileAdder adder_{list_, context_};
    RecordingDriver driver_;
};

}  // namespace

TEST_F(FileAdderTest, RowsFromRealFiles) {
    std::string wav4 = dir_.file("quad.wav"), flac = dir_.file("surround.flac"), mp3 = dir_.file("joint.mp3");
    std::string stereo = dir_.file("stereo.wav"), longWav = dir_.file("long.wav");
    ShortWav(wav4, 4);
    ASSERT_TRUE(testutil::WriteWav16(stereo, testutil::Sine(440, 44100, 2, 2.0), 44100, 2));
    ASSERT_TRUE(testutil::WriteWav16(longWav, testutil::Sine(440, 8000, 1, 65.0), 8000, 1));
    ASSERT_EQ(testutil::Run("sox -n -r 48000 -c 6 -b 16 " + Quote(flac) + " synth 1 sine 440"), 0);
    ASSERT_EQ(testutil::Run("lame --silent -m j -b 128 " + Quote(stereo) + " " + Quote(mp3)), 0);

    AddRunResult r = adder_.AddPaths({wav4, flac, mp3, longWav}, driver_, {}, {}, {"", "/music"});
    EXPECT_EQ(r.added, 4);
    EXPECT_TRUE(r.failedPaths.empty());
    EXPECT_TRUE(driver_.messages.empty());
    ASSERT_EQ(list_.RowCount(), 4);
    // Each row keeps the folder given beside its path; a file added by itself has none.
    EXPECT_EQ(list_.Entry(0)->rootFolder, "");
    EXPECT_EQ(list_.Entry(1)->rootFolder, "/music");
    EXPECT_EQ(list_.Entry(3)->rootFolder, "");

    EXPECT_EQ(list_.CellText(0, kColumnChannels), "4");
    EXPECT_EQ(list_.CellText(0, kColumnFrequency), "8000 Hz");
    // About 16 bits x 8000 Hz x 4 channels, the header counted in.
    EXPECT_NEAR(list_.Entry(0)->bitRate, 512u, 3u);
    EXPECT_EQ(list_.CellText(0, kColumnBitRate), std::to_string(list_.Entry(0)->bitRate) + " kbps");

    EXPECT_EQ(list_.CellText(1, kColumnFile), "surround.flac");
    EXPECT_EQ(list_.CellText(1, kColumnChannels), "5.1");
    EXPECT_EQ(list_.CellText(1, kColumnFrequency), "48000 Hz");
    EXPECT_EQ(list_.Entry(1)->sourceType, kSourceFlac);

    EXPECT_EQ(list_.CellText(2, kColumnChannels), "J-Stereo");
    EXPECT_EQ(list_.Entry(2)->channelMode, kModeJointStereo);
    EXPECT_EQ(list_.Entry(2)->sourceType, kSourceMp3);
    EXPECT_EQ(list_.CellText(2, kColumnFrequency), "44100 Hz");
    EXPECT_NEAR(list_.Entry(2)->bitRate, 128u, 8u);

    EXPECT_EQ(list_.CellText(3, kColumnDuration), "01:05");
    EXPECT_EQ(list_.CellText(3, kColumnChannels), "Mono");
    EXPECT_EQ(list_.Entry(3)->sourcePath, longWav);
    EXPECT_TRUE(list_.Entry(3)->targetPath.empty());
}

// Probing on worker threads gives the rows, failures, causes and reason of one thread, in the
// order of the paths: files of every kind the factory tries first (WAV, FLAC, MP3, Ogg, AIFF, AU,
// Windows Media), MIDI and a tracker module (each synthesiser made on its own thread), lengths, failures among them, a path given twice and one already listed.
// The Windows Media question is asked on the caller's thread once per such file, when its row is
// taken; an answer other than the workers' silent load probes the file again.
TEST_F(FileAdderTest, ThreadedProbingKeepsTheRowsAndTheirOrder) {
    static const char* const kKinds[] = {".wav", ".flac", ".mp3", ".ogg", ".aiff", ".au", ".wma"};
    std::vector<std::string> paths;
    for (int i = 0; i < 28; ++i) {
        const std::string ext = kKinds[i % 7];
        const std::string number = std::to_string(i);
        std::string name = "f", source = "src";  // appended, not "f" + ...: GCC 12 warns falsely
        name += number;
        source += number;
        const std::string path = dir_.file(name + ext), wav = dir_.file(source + ".wav");
        ShortWav(wav, 1 + i % 2, 0.1 * (i + 1));
        const std::string in = Quote(wav), out = Quote(path);
        if (i == 3 || i == 11 || i == 17 || i == 20) Touch(path);
        else if (ext == ".wav") fs::copy_file(wav, path);
        else if (ext == ".mp3") ASSERT_EQ(testutil::Run("lame --silent -b 32 " + in + " " + out), 0);
        else if (ext == ".ogg") ASSERT_EQ(testutil::Run("oggenc -Q -o " + out + " " + in), 0);
        else if (ext == ".wma") ASSERT_EQ(testutil::Run("ffmpeg -v error -i " + in + " -c:a wmav2 -b:a 32k " + out), 0);
        else ASSERT_EQ(testutil::Run("sox " + in + " -r 22050 " + out), 0);  // FLAC, AIFF, AU
        paths.push_back(path);
    }
    for (const std::string name : {"a.mid", "b.mid", "c.mod"}) {
        const std::vector<uint8_t> bytes = name[2] == 'm' ? testutil::TinyModule() : testutil::TinyMidi();
        ASSERT_TRUE(testutil::WriteFileBytes(dir_.file(name), bytes));
        paths.push_back(dir_.file(name));
    }
    paths.push_back(paths[5]);
    paths.push_back(paths[6]);  // a Windows Media file given twice: asked about once
    paths.push_back(dir_.file("missing.wav"));
    auto run = [&](int threads, FileList& list, bool runtime) {
        SourceFactoryContext context;
        RecordingDriver driver;
        std::vector<std::string> asked;  // the progress text shown when the question came
        context.windowsMediaAvailable = [&, caller = std::this_thread::get_id()] {
            EXPECT_EQ(std::this_thread::get_id(), caller);
            asked.push_back(driver.texts.empty() ? "" : driver.texts.back());
            return runtime;
        };
        FileAdder adder(list, context);
        adder.SetProbeThreads(threads);
        EXPECT_EQ(adder.AddOneFile(paths[2]), kAdded);
        AddRunResult r = adder.AddPaths(paths, driver);
        std::vector<std::string> rows;
        for (int i = 0; i < list.RowCount(); ++i) {
            const FileEntry& e = *list.Entry(i);
            rows.push_back(e.sourcePath + " " + std::to_string(e.duration) + " " + std::to_string(e.sampleRate) + " " +
                           std::to_string(e.bitRate) + " " + std::to_string(e.storedChannels) + " " +
                           std::to_string(e.sourceType));
        }
        return std::make_tuple(rows, r.added, r.alreadyListed, r.failedPaths, r.failedCauses, r.report, driver.texts,
                               asked);
    };
    for (bool runtime : {true, false}) {
        SCOPED_TRACE(runtime ? "runtime loaded" : "runtime missing");
        FileList one, four;
        const auto single = run(0, one, runtime);
        EXPECT_EQ(std::get<1>(single), 26);
        EXPECT_EQ(std::get<2>(single), 3);
        EXPECT_EQ(std::get<3>(single).size(), 5u);
        const std::vector<std::string>& asked = std::get<7>(single);
        ASSERT_EQ(asked.size(), 4u);
        EXPECT_EQ(asked[0], "[7/34] Adding file f6.wma...");
        EXPECT_EQ(asked[3], "[28/34] Adding file f27.wma...");
        EXPECT_EQ(run(4, four, runtime), single);
    }
}

TEST_F(FileAdderTest, SameFileUnderOtherNamesIsOneRow) {
    std::string a = dir_.file("a.wav");
    ShortWav(a);
    fs::create_symlink(a, dir_.file("link.wav"));
    fs::create_hard_link(a, dir_.file("hard.wav"));
    ShortWav(dir_.file("A.wav"));  // names differ in case only: another file

    std::string dotted = dir_.path().string() + "/./a.wav";
    std::string doubled = dir_.path().string() + "//a.wav";
    AddRunResult r = adder_.AddPaths({a, a, dotted, doubled, dir_.file("link.wav"), dir_.file("hard.wav"),
                                      dir_.file("A.wav")},
                                     driver_);
    EXPECT_EQ(r.added, 2);
    EXPECT_EQ(r.alreadyListed, 5);
    EXPECT_TRUE(driver_.messages.empty());
    ASSERT_EQ(list_.RowCount(), 2);
    EXPECT_EQ(list_.Entry(0)->sourcePath, a);
    EXPECT_EQ(list_.Entry(1)->sourcePath, dir_.file("A.wav"));

    // A relative path is stored absolute and recognised.
    std::string cwd = fs::current_path().string();
    ASSERT_EQ(chdir(dir_.path().c_str()), 0);
    EXPECT_EQ(adder_.AddOneFile("./a.wav"), kAlreadyListed);
    ASSERT_EQ(chdir(cwd.c_str()), 0);

    // A removed row's file can be added again.
    RecordingDriver sink;
    list_.SetSelected(0, true);
    EXPECT_EQ(list_.RemoveSelected(sink), 1);
    int row = -1;
    EXPECT_EQ(adder_.AddOneFile(dir_.file("link.wav"), &row), kAdded);
    EXPECT_EQ(row, 1);
    EXPECT_EQ(list_.Entry(1)->sourcePath, dir_.file("link.wav"));
}

TEST_F(FileAdderTest, FailureReportListsThirtyPaths) {
    std::vector<std::string> paths;
    std::string expected = "Failed to load the following files.\n\n";
    for (int i = 0; i < 35; ++i) {
        paths.push_back(dir_.file("bad" + std::to_string(i) + ".mp3"));
        Touch(paths.back());
        // Each with its cause, before the request to send the files.
        if (i < 30) expected += paths.back() + " (not an audio file)\n";
    }
    expected += "<more files>...\n";
    ShortWav(dir_.file("good.wav"));
    paths.insert(paths.begin() + 10, dir_.file("good.wav"));

    AddRunResult r = adder_.AddPaths(paths, driver_);
    EXPECT_EQ(r.added, 1);
    EXPECT_EQ(r.failedPaths.size(), 35u);
    EXPECT_EQ(list_.RowCount(), 1);
    ASSERT_EQ(driver_.messages.size(), 1u);
    EXPECT_EQ(driver_.messages[0].first, MessageIcon::Warning);
    const std::string& text = driver_.messages[0].second;
    ASSERT_EQ(text.substr(0, expected.size()), expected);
    EXPECT_NE(text.find("support@"), std::string::npos);  // no reason: refer the user to support
    EXPECT_EQ(r.report, text);
    // The window closes before the report appears.
    EXPECT_EQ(driver_.events, (std::vector<std::string>{"started", "finished", "message"}));
}

TEST_F(FileAdderTest, FailureEndings) {
    std::string cda = dir_.file("Track01.cda"), flv = dir_.file("clip.flv"), bad = dir_.file("x.mp3");
    Touch(cda, "RIFF....CDDAfmt ");
    Touch(flv);
    Touch(bad);

    adder_.AddPaths({cda, bad}, driver_);
    ASSERT_EQ(driver_.messages.size(), 1u);
    EXPECT_EQ(driver_.messages[0].second, "Failed to load the following files.\n\n" + cda + "\n" + bad + "\n\n" +
                                              kCdaReason);

    adder_.AddPaths({flv}, driver_);  // each run starts without a reason
    ASSERT_EQ(driver_.messages.size(), 2u);
    EXPECT_EQ(driver_.messages[1].second,
              "Failed to load the following files.\n\n" + flv + "\n\n" + std::string(kFlashReason));

    // '?' is an ordinary character here; a name that is not UTF-8 fails with its own ending.
    std::string question = dir_.file("what?.wav"), latin1 = dir_.file("caf\xe9.wav");
    ShortWav(question);
    ShortWav(latin1);
    AddRunResult r = adder_.AddPaths({question, latin1, cda}, driver_);
    EXPECT_EQ(r.added, 1);
    EXPECT_EQ(list_.CellText(0, kColumnFile), "what?.wav");
    ASSERT_EQ(driver_.messages.size(), 3u);
    EXPECT_EQ(driver_.messages[2].second, "Failed to load the following files.\n\n" + latin1 + "\n" + cda + "\n" +
                                              kNonEnglishEnding);

    EXPECT_TRUE(IsValidUtf8("Ça va ♫ 🎵"));
    EXPECT_FALSE(IsValidUtf8("\xc0\xaf"));          // overlong '/'
    EXPECT_FALSE(IsValidUtf8("ab\xe2\x99"));        // cut short
}

TEST_F(FileAdderTest, SearchOrderAndLinkedFolders) {
    fs::path root = dir_.path() / "root";
    fs::create_directories(root / "m" / "n");
    fs::create_directories(root / "z");
    for (const char* f : {"b.wav", "a.wav", "z/c.wav", "m/d.wav", "m/n/e.wav", "m/B.wav"})
        Touch((root / f).string());
    fs::create_directory_symlink(root, root / "m" / "loop");  // must not search forever

    std::vector<std::string> found;
    SearchFolder(root.string(), FilterSettings(false, ""), found);
    std::string r = root.string();
    EXPECT_EQ(found, (std::vector<std::string>{r + "/a.wav", r + "/b.wav", r + "/m/B.wav", r + "/m/d.wav",
                                               r + "/m/n/e.wav", r + "/z/c.wav"}));

    // Cancel during the search stops it after the first folder.
    found.clear();
    driver_.cancelAtPump = 1;
    SearchFolder(root.string() + "/", FilterSettings(false, ""), found, &driver_);
    EXPECT_EQ(found, (std::vector<std::string>{r + "/a.wav", r + "/b.wav"}));
}

TEST_F(FileAdderTest, FolderSearchTakesOnlyRegularFiles) {
    const std::string song = dir_.file("song.wav"), pipe = dir_.file("pipe.wav");
    Touch(song);
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);  // opening it would wait for a writer forever
    fs::create_symlink(dir_.file("gone.wav"), dir_.file("dangling.wav"));
    std::vector<std::string> found;
    SearchFolder(dir_.path().string(), FilterSettings(false, ""), found);
    EXPECT_EQ(found, std::vector<std::string>{song});
}

TEST_F(FileAdderTest, ExtensionFilterLowerCasesBothSidesAsUnicode) {
    std::string upper = dir_.file("x.W\xC3\x84V"), lower = dir_.file("y.w\xC3\xA4v");  // "WÄV", "wäv"
    Touch(upper);
    Touch(lower);
    Touch(dir_.file("z.wav"));
    std::vector<std::string> found;
    SearchFolder(dir_.path().string(), FilterSettings(true, "W\xC3\x84V"), found);
    EXPECT_EQ(found, (std::vector<std::string>{upper, lower}));
}

// Files the probe opens but that hold no audio never become rows. Found in a folder, those
// without a code of their own pass without a word; named one by one, they are reported.
TEST_F(FileAdderTest, FilesWithoutAudioFailAndAreSkippedInFolderSearches) {
    fs::path folder = dir_.path() / "album";
    fs::create_directories(folder);
    const std::string d = folder.string();
    ShortWav(d + "/a.wav");
    ASSERT_EQ(testutil::Run("ffmpeg -v error -f lavfi -i color=c=red:s=16x16 -frames:v 1 " + Quote(d + "/cover.png")), 0);
    ASSERT_EQ(testutil::Run("ffmpeg -v error -f lavfi -i color=c=blue:s=32x16:d=0.5 -an " + Quote(d + "/clip.mkv")), 0);
    Touch(d + "/list.m3u", "#EXTM3U\na.wav\n");
    Touch(d + "/rip.log", "Exact rip log\n");
    Touch(d + "/b.wav");  // its own code: a broken WAV file is still reported

    AddRunResult r = adder_.AddFound({d}, FilterSettings(false, ""), driver_);
    EXPECT_EQ(r.added, 1);
    EXPECT_EQ(r.failedPaths, std::vector<std::string>{d + "/b.wav"});
    ASSERT_EQ(list_.RowCount(), 1);
    EXPECT_EQ(list_.Entry(0)->sourcePath, d + "/a.wav");
    EXPECT_EQ(list_.Entry(0)->rootFolder, d) << "a row found in a folder remembers it";

    for (const char* name : {"cover.png", "clip.mkv", "list.m3u"}) {
        SCOPED_TRACE(name);
        FileList other;
        SourceFactoryContext ctx;
        FileAdder adder(other, ctx);
        RecordingDriver dropped, picked;
        const std::string path = d + "/" + name;
        EXPECT_EQ(adder.AddFound({path}, FilterSettings(false, ""), dropped).failedPaths, std::vector<std::string>{path});
        EXPECT_EQ(dropped.messages.size(), 1u);
        EXPECT_EQ(adder.AddPaths({path}, picked).failedPaths, std::vector<std::string>{path});
        EXPECT_EQ(adder.AddOneFile(path), kAddFailed);
        EXPECT_EQ(other.RowCount(), 0);
    }

    // A caller that searched folders itself marks what the search found.
    FileList other;
    SourceFactoryContext ctx;
    FileAdder adder(other, ctx);
    RecordingDriver driver;
    r = adder.AddPaths({d + "/cover.png", d + "/rip.log", d + "/a.wav"}, driver, {true, false, true});
    EXPECT_EQ(r.added, 1);
    EXPECT_EQ(r.failedPaths, std::vector<std::string>{d + "/rip.log"});
}

TEST_F(FileAdderTest, ExtensionFilterAndLinks) {
    fs::path drop = dir_.path() / "drop", elsewhere = dir_.path() / "elsewhere";
    fs::create_directories(drop / "sub");
    fs::create_directories(elsewhere);
    std::string mp3 = (elsewhere / "tune.mp3").string();
    ASSERT_TRUE(testutil::WriteWav16(dir_.file("src.wav"), testutil::Sine(440, 44100, 2, 1.0), 44100, 2));
    ASSERT_EQ(testutil::Run("lame --silent -b 96 " + Quote(dir_.file("src.wav")) + " " + Quote(mp3)), 0);
    ShortWav((drop / "one.wav").string());
    ShortWav((drop / "sub" / "TWO.WAV").string());
    fs::copy_file(mp3, drop / "three.mp3");
    ShortWav((drop / "four.flac").string());  // wrong extension: filtered out before opening
    Touch((drop / "notes.txt").string());
    fs::create_symlink(mp3, drop / "shortcut to tune");
    fs::create_symlink(drop / "notes.txt", drop / "shortcut to notes");
    fs::create_symlink(drop / "missing.mp3", drop / "dangling");

    Settings on = FilterSettings(true, "mp3,WAV");
    std::string d = drop.string();
    std::vector<std::string> found;
    SearchFolder(d, on, found);
    EXPECT_EQ(found, (std::vector<std::string>{d + "/one.wav", mp3, d + "/three.mp3", d + "/sub/TWO.WAV"}));

    // A drop of the folder and a loose link: the link is added as the MP3 it points to.
    AddRunResult r = adder_.AddFound({d, d + "/shortcut to tune"}, on, driver_);
    EXPECT_EQ(r.added, 4);
    EXPECT_EQ(r.alreadyListed, 1);
    EXPECT_TRUE(r.failedPaths.empty());
    ASSERT_EQ(list_.RowCount(), 4);
    EXPECT_EQ(list_.Entry(1)->sourcePath, mp3);
    EXPECT_EQ(list_.Entry(1)->sourceType, kSourceMp3);
    EXPECT_EQ(list_.CellText(1, kColumnChannels), "J-Stereo");  // lame's default for stereo input
    EXPECT_EQ(driver_.texts.front(), "Searching files...");
    EXPECT_EQ(driver_.texts[1], "[1/5] Adding file one.wav...");

    // With the filter off a link passes as itself; it opens through the link, the text fails.
    FileList other;
    SourceFactoryContext ctx;
    FileAdder adder(other, ctx);
    RecordingDriver driver;
    r = adder.AddFound({d + "/shortcut to tune", d + "/notes.txt"}, FilterSettings(false, ""), driver);
    EXPECT_EQ(r.added, 1);
    EXPECT_EQ(other.Entry(0)->sourcePath, d + "/shortcut to tune");
    EXPECT_EQ(other.Entry(0)->sourceType, kSourceOther);
    EXPECT_EQ(r.failedPaths, std::vector<std::string>{d + "/notes.txt"});

    // Nothing found: the window closes, nothing is added, nothing is reported.
    RecordingDriver empty;
    r = adder.AddFound({d + "/notes.txt"}, on, empty);
    EXPECT_EQ(empty.events, (std::vector<std::string>{"started", "finished"}));
    EXPECT_EQ(empty.barMaximum, -1);
}

TEST_F(FileAdderTest, CancelStopsTheRun) {
    std::vector<std::string> paths;
    for (int i = 0; i < 5; ++i) {
        std::string name = "t";
        name += std::to_string(i);
        paths.push_back(dir_.file(name + ".wav"));
        ShortWav(paths.back());
    }
    Touch(paths[1]);  // the second fails before Cancel is seen
    driver_.cancelAtPump = 3;
    AddRunResult r = adder_.AddPaths(paths, driver_);
    EXPECT_TRUE(r.cancelled);
    EXPECT_EQ(r.added, 2);
    EXPECT_EQ(list_.RowCount(), 2);
    EXPECT_EQ(list_.CellText(1, kColumnFile), "t2.wav");
    EXPECT_EQ(driver_.barMaximum, 5);
    EXPECT_EQ(driver_.steps, 3);
    EXPECT_EQ(driver_.texts, (std::vector<std::string>{"[1/5] Adding file t0.wav...", "[2/5] Adding file t1.wav...",
                                                       "[3/5] Adding file t2.wav..."}));
    // What failed before Cancel is still reported.
    ASSERT_EQ(driver_.messages.size(), 1u);
    std::string line = paths[1];
    line += " (not an audio file)\n";
    EXPECT_NE(driver_.messages[0].second.find(line), std::string::npos);
    EXPECT_EQ(driver_.events.back(), "message");
}

// An unreadable folder inside a searched one, and an unreadable file found there, are reported
// with the system's cause. The superuser reads everything, so the add then runs in a child that
// dropped to the unprivileged user.
TEST_F(FileAdderTest, UnreadableFoldersAndFilesAreReportedWithTheirCause) {
    fs::path folder = dir_.path() / "album";
    fs::create_directories(folder / "locked");
    const std::string d = folder.string();
    ShortWav(d + "/a.wav");
    ShortWav(d + "/secret.wav");
    ShortWav(d + "/locked/c.wav");
    fs::permissions(d + "/secret.wav", fs::perms::none);
    fs::permissions(d + "/locked", fs::perms::none);
    fs::permissions(dir_.path(), fs::perms::all);
    fs::permissions(folder, fs::perms::all);

    const std::string verdict = dir_.file("verdict.txt");
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(3);
        AddRunResult r = adder_.AddFound({d}, FilterSettings(false, ""), driver_);
        std::string text = std::to_string(r.added) + "\n";
        for (size_t i = 0; i < r.failedPaths.size(); ++i) text += r.failedPaths[i] + ": " + r.failedCauses[i] + "\n";
        text += r.report;
        testutil::WriteFileBytes(verdict, std::vector<uint8_t>(text.begin(), text.end()));
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 3) GTEST_SKIP() << "cannot drop to the unprivileged user (65534)";
    ASSERT_EQ(WEXITSTATUS(status), 0);
    std::ifstream in(verdict);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text.substr(0, text.find("Failed")),
              "1\n" + d + "/locked: Permission denied\n" + d + "/secret.wav: Permission denied\n");
    EXPECT_NE(text.find(d + "/locked (Permission denied)\n" + d + "/secret.wav (Permission denied)\n"),
              std::string::npos)
        << text;
    fs::permissions(d + "/locked", fs::perms::owner_all);
}
