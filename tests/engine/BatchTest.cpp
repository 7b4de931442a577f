#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <map>
#include <filesystem>

#include "engine/Batch.h"
#include "engine/LibraryNaming.h"
#include "engine/Pipeline.h"
#include "sources/SourceTypes.h"
#include "support/BassTestUtil.h"
#include "support/FakeDriver.h"
#include "support/Mp3TestUtil.h"
#include "support/TestUtil.h"

using namespace sonavert;
namespace fs = std::filesystem;

namespace {

using FakeBatchDriver = testutil::FakeDriver;
using Kind = RowOutcome::Kind;

struct BatchFixture {
    BatchFixture() {
        host.Start(testutil::BinDir() + "/");
        settings.BrowseOutputFolder = 0;
        settings.ParallelJobs = 1;  // the one-row rules; the parallel tests set their own
    }
    CodecHost host;
    testutil::TempDir dir;
    Settings settings;
    FakeBatchDriver driver;
    BatchState state;

    std::string Wav(const std::string& name, double seconds = 0.3) {
        std::string p = dir.file(name);
        testutil::WriteWav16(p, testutil::Sine(440, 44100, 2, seconds), 44100, 2);
        return p;
    }
    bool Run(std::vector<BatchItem>& items, int format = kOutputWav) {
        return RunConversionBatch(items, format, settings, host, driver, state);
    }
};

std::vector<BatchItem> Items(const std::vector<std::pair<int, std::string>>& list) {
    std::vector<BatchItem> items;
    int row = 0;
    for (auto& [type, path] : list) items.push_back({row++, type, path, ""});
    return items;
}

TEST(MakeTargetPath, RenameSkipAndOverwriteBesideTheSource) {
    testutil::TempDir dir;
    Settings s;
    std::string song = dir.file("song.mp3");
    testutil::WriteFileBytes(song, {1});
    std::string target, reason;
    bool replace = true;
    ASSERT_TRUE(MakeTargetPath(song, kOutputMp3, s, target, replace, reason));
    EXPECT_EQ(target, dir.file("song_1.mp3"));
    EXPECT_FALSE(replace);
    EXPECT_FALSE(fs::exists(target)) << "the creatability test leaves nothing behind";
    testutil::WriteFileBytes(dir.file("song_1.mp3"), {1});
    ASSERT_TRUE(MakeTargetPath(song, kOutputMp3, s, target, replace, reason));
    EXPECT_EQ(target, dir.file("song_2.mp3"));
    // Another format simply takes the stem.
    ASSERT_TRUE(MakeTargetPath(song, kOutputOgg, s, target, replace, reason));
    EXPECT_EQ(target, dir.file("song.ogg"));

    s.TargetExistsOpt = kTargetOverwrite;
    EXPECT_FALSE(MakeTargetPath(song, kOutputMp3, s, target, replace, reason));
    EXPECT_EQ(reason, "Target file name is same as original file that can't be overwritten. Please output files to "
                      "a custom folder.");
    testutil::WriteFileBytes(dir.file("song.wav"), {9, 9});
    ASSERT_TRUE(MakeTargetPath(song, kOutputWav, s, target, replace, reason));
    EXPECT_EQ(target, dir.file("song.wav"));
    EXPECT_TRUE(replace);
    EXPECT_EQ(testutil::ReadFileBytes(target), (std::vector<uint8_t>{9, 9})) << "old target untouched";

    s.TargetExistsOpt = kTargetSkip;
    EXPECT_FALSE(MakeTargetPath(song, kOutputWav, s, target, replace, reason));
    EXPECT_EQ(reason, "Target exists and skipped");
}

TEST(MakeTargetPath, CustomFolderMirroredTreeAndDocumentsRetry) {
    testutil::TempDir dir;
    Settings s;
    s.DestOutputFolderOpt = kDestCustomFolder;
    s.DestSpecifiedFolder = dir.file("out");
    s.CreateDirs = 1;
    s.OutputFiles2MyDocuments = 0;
    std::string source = dir.file("Music//A/x.wav");
    std::string target, reason;
    bool replace = false;
    ASSERT_TRUE(MakeTargetPath(source, kOutputOgg, s, target, replace, reason));
    EXPECT_EQ(target, dir.file("out") + dir.path().string() + "/Music/A/x.ogg");
    EXPECT_TRUE(fs::is_directory(dir.file("out") + dir.path().string() + "/Music/A"));

    s.CreateDirs = 0;
    ASSERT_TRUE(MakeTargetPath(source, kOutputOgg, s, target, replace, reason));
    EXPECT_EQ(target, dir.file("out/x.ogg"));

    // A folder that cannot be made (a file stands in the way).
    testutil::WriteFileBytes(dir.file("blocker"), {1});
    s.DestSpecifiedFolder = dir.file("blocker/sub");
    EXPECT_FALSE(MakeTargetPath(source, kOutputOgg, s, target, replace, reason));
    EXPECT_EQ(reason, "Failed to create folder \"" + dir.file("blocker/sub") + "\" (Not a directory)");
    s.DestSpecifiedFolder.clear();
    EXPECT_FALSE(MakeTargetPath(source, kOutputOgg, s, target, replace, reason));
    EXPECT_EQ(reason, "Failed to create folder \"\"");

    // With the documents retry the file lands in the documents folder.
    const char* oldHome = std::getenv("HOME");
    std::string savedHome = oldHome ? oldHome : "";
    const char* oldConfig = std::getenv("XDG_CONFIG_HOME");
    std::string savedConfig = oldConfig ? oldConfig : "";
    setenv("HOME", dir.file("home").c_str(), 1);
    setenv("XDG_CONFIG_HOME", dir.file("home/.config").c_str(), 1);
    s.DestSpecifiedFolder = dir.file("blocker/sub");
    s.OutputFiles2MyDocuments = 1;
    s.CreateDirs = 1;
    bool ok = MakeTargetPath(source, kOutputOgg, s, target, replace, reason);
    oldHome ? setenv("HOME", savedHome.c_str(), 1) : unsetenv("HOME");
    oldConfig ? setenv("XDG_CONFIG_HOME", savedConfig.c_str(), 1) : unsetenv("XDG_CONFIG_HOME");
    ASSERT_TRUE(ok) << reason;
    EXPECT_EQ(target, dir.file("home/Documents") + dir.path().string() + "/Music/A/x.ogg");
}

TEST(RunConversionBatch, StatusTextsSequenceAndWidening) {
    BatchFixture f;
    std::string good = f.Wav("a.wav");
    std::string bad1 = f.dir.file("b.mp3");
    testutil::WriteFileBytes(bad1, std::vector<uint8_t>(2000, 0x33));
    std::string bad2 = f.dir.file("c.xyz");
    testutil::WriteFileBytes(bad2, std::vector<uint8_t>(2000, 0x44));
    std::string good2 = f.Wav("d.wav");
    auto items = Items({{kSourceWav, good}, {kSourceMp3, bad1}, {kSourceOther, bad2}, {kSourceWav, good2}});
    f.settings.BrowseOutputFolder = 1;
    EXPECT_FALSE(f.Run(items));
    EXPECT_EQ(f.driver.started, (std::vector<int>{0, 1, 2, 3}));
    EXPECT_EQ(f.driver.Kind(0), Kind::Converted);
    EXPECT_EQ(f.driver.Target(0), f.dir.file("a_1.wav"));
    for (int row : {1, 2}) {
        EXPECT_EQ(f.driver.Kind(row), Kind::Failed);
        EXPECT_TRUE(f.driver.outcomes[row].inConversion);
        EXPECT_EQ(f.driver.Reason(row), NoDecoderReason());
    }
    EXPECT_EQ(f.driver.Target(3), f.dir.file("d_1.wav"));
    EXPECT_EQ(f.driver.overallTexts.back(), "Converting 4 of 4 file(s) to WAV...");
    EXPECT_EQ(f.driver.overallFractions, (std::vector<double>{0.25, 0.5, 0.75, 1.0}));
    EXPECT_EQ(items[0].targetPath, f.dir.file("a_1.wav"));
    EXPECT_TRUE(items[1].targetPath.empty());
    EXPECT_EQ(f.driver.shown, std::vector<std::string>{f.dir.file("a_1.wav")});
    EXPECT_EQ(f.driver.waits, 0);
    EXPECT_EQ(f.driver.runsEnded, 1);
    // The converted file holds the source's samples.
    EXPECT_EQ(testutil::FfmpegDecodeS16(f.dir.file("a_1.wav")), testutil::FfmpegDecodeS16(good));
}

TEST(StatusText, EveryOutcomeShowsItsOwnText) {
    EXPECT_EQ(StatusText({Kind::Converted, "/music/out/song_1.mp3", {}, false}), "song_1.mp3");
    EXPECT_EQ(StatusText({Kind::Failed, {}, "No space left on device", true}),
              "Conversion Failure (No space left on device)");
    EXPECT_EQ(StatusText({Kind::Failed, {}, {}, true}), "Conversion Failure");
    EXPECT_EQ(StatusText({Kind::Failed, {}, "Failed to create folder \"/x\"", false}), "Failed to create folder \"/x\"");
    EXPECT_EQ(StatusText({Kind::Skipped, {}, "Target exists and skipped", false}), "Target exists and skipped");
    EXPECT_EQ(StatusText({Kind::Cancelled, {}, {}, false}), "Cancelled");
    EXPECT_EQ(StatusText({Kind::Incomplete, "/music/out/song.mp3", "the source ended at 0:00 of 0:12", true}),
              "song.mp3 (incomplete: the source ended at 0:00 of 0:12)");
}

TEST(RunConversionBatch, SkippedTargetAndWriterReasons) {
    BatchFixture f;
    std::string a = f.Wav("a.wav");
    f.Wav("b.wav");
    f.settings.TargetExistsOpt = kTargetSkip;
    auto items = Items({{kSourceWav, a}});
    // a.wav to WAV beside itself: the target is the source, which exists.
    EXPECT_FALSE(f.Run(items));
    EXPECT_EQ(f.driver.Kind(0), Kind::Skipped);
    EXPECT_EQ(f.driver.Reason(0), "Target exists and skipped");

    // A writer that fails says why, and the batch hands the reason on.
    f.settings.TargetExistsOpt = kTargetRename;
    auto failing = [](int, const ConversionRequest&, ConversionContext& context) {
        context.failureReason = "No space left on device";
        return 0;
    };
    EXPECT_FALSE(RunConversionBatch(items, kOutputWav, f.settings, f.host, f.driver, f.state, failing));
    EXPECT_EQ(f.driver.Kind(0), Kind::Failed);
    EXPECT_EQ(StatusText(f.driver.outcomes[0]), "Conversion Failure (No space left on device)");
}

TEST(RunConversionBatch, EmptyOutputIsAFailure) {
    BatchFixture f;
    std::string a = f.Wav("a.wav");
    auto items = Items({{kSourceWav, a}});
    // A conversion that reports success but leaves an empty file behind.
    auto emptyWriter = [](int, const ConversionRequest& r, ConversionContext&) {
        testutil::WriteFileBytes(r.targetPath, {});
        return 1;
    };
    EXPECT_FALSE(RunConversionBatch(items, kOutputWav, f.settings, f.host, f.driver, f.state, emptyWriter));
    EXPECT_EQ(f.driver.Kind(0), Kind::Failed);
    EXPECT_EQ(f.driver.Reason(0), "the output file is empty");
    EXPECT_TRUE(items[0].targetPath.empty());
    EXPECT_FALSE(fs::exists(f.dir.file("a_1.wav")));

    // The temporary, or the whole output folder, removed by someone else during the conversion:
    // the failure says so.
    auto removesTemporary = [](int, const ConversionRequest& r, ConversionContext&) {
        fs::remove(r.targetPath);
        return 1;
    };
    EXPECT_FALSE(RunConversionBatch(items, kOutputWav, f.settings, f.host, f.driver, f.state, removesTemporary));
    EXPECT_EQ(f.driver.Reason(0), "the temporary file was removed");
    const std::string out = f.dir.file("out");
    f.settings.DestOutputFolderOpt = kDestCustomFolder;
    f.settings.DestSpecifiedFolder = out;
    auto removesFolder = [&out](int, const ConversionRequest&, ConversionContext&) {
        fs::remove_all(out);
        return 0;
    };
    EXPECT_FALSE(RunConversionBatch(items, kOutputWav, f.settings, f.host, f.driver, f.state, removesFolder));
    EXPECT_EQ(f.driver.Reason(0), "the output folder \"" + out + "/\" was removed");
}

TEST(RunConversionBatch, CancelDuringRowThreeOfFive) {
    BatchFixture f;
    std::vector<std::pair<int, std::string>> list;
    for (char c = '0'; c < '5'; ++c) list.push_back({kSourceWav, f.Wav(std::string("s") + c + ".wav", 1.0)});
    auto items = Items(list);
    f.settings.BrowseOutputFolder = 1;
    f.driver.cancelAtRow = 2;
    EXPECT_FALSE(f.Run(items));
    EXPECT_EQ(f.driver.Target(0), f.dir.file("s0_1.wav"));
    EXPECT_EQ(f.driver.Target(1), f.dir.file("s1_1.wav"));
    EXPECT_EQ(f.driver.Kind(2), Kind::Cancelled);
    EXPECT_FALSE(f.driver.Finished(3));
    EXPECT_FALSE(f.driver.Finished(4));
    EXPECT_FALSE(fs::exists(f.dir.file("s2_1.wav")));
    EXPECT_TRUE(f.driver.shown.empty());
}

TEST(RunConversionBatch, OverwriteReplacesOnlyWhenComplete) {
    BatchFixture f;
    f.settings.TargetExistsOpt = kTargetOverwrite;
    f.settings.DestOutputFolderOpt = kDestCustomFolder;
    f.settings.DestSpecifiedFolder = f.dir.file("out");
    fs::create_directories(f.dir.file("out"));
    // A source nobody decodes must leave the old target as it was.
    std::string bad = f.dir.file("x.wav");
    testutil::WriteFileBytes(bad, std::vector<uint8_t>(500, 0x12));
    testutil::WriteFileBytes(f.dir.file("out/x.wav"), {1, 2, 3});
    auto items = Items({{kSourceWav, bad}});
    EXPECT_FALSE(f.Run(items));
    EXPECT_EQ(testutil::ReadFileBytes(f.dir.file("out/x.wav")), (std::vector<uint8_t>{1, 2, 3}));
    // A good source replaces it, and no temporary file stays behind.
    std::string good = f.Wav("y.wav");
    testutil::WriteFileBytes(f.dir.file("out/y.wav"), {1, 2, 3});
    items = Items({{kSourceWav, good}});
    EXPECT_TRUE(f.Run(items));
    EXPECT_EQ(f.driver.Target(0), f.dir.file("out/y.wav"));
    EXPECT_EQ(testutil::FfmpegDecodeS16(f.dir.file("out/y.wav")), testutil::FfmpegDecodeS16(good));
    int files = 0;
    for (auto& e : fs::directory_iterator(f.dir.file("out"))) files += e.is_regular_file();
    EXPECT_EQ(files, 2);
    // Two jobs, two rows overwriting the same target: the second waits for the first (its
    // reservation made a temporary meanwhile, which goes), and its file is the one that stays.
    fs::create_directories(f.dir.file("dup"));
    std::string later = f.dir.file("dup/y.wav");
    testutil::WriteWav16(later, testutil::Sine(880, 44100, 2, 0.4), 44100, 2);
    f.settings.ParallelJobs = 2;
    items = Items({{kSourceWav, good}, {kSourceWav, later}});
    EXPECT_TRUE(f.Run(items));
    EXPECT_EQ(testutil::FfmpegDecodeS16(f.dir.file("out/y.wav")), testutil::FfmpegDecodeS16(later));
    std::vector<std::string> names;
    for (auto& e : fs::directory_iterator(f.dir.file("out"))) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"x.wav", "y.wav"}));
}

TEST(RunConversionBatch, MidiWithoutSoundFont) {
    testutil::TempDir exeDir;  // an executable folder without the SoundFont
    testutil::TempDir dir;
    std::string midi = dir.file("m.mid");
    testutil::WriteFileBytes(midi, testutil::TinyMidi());
    std::string wav = dir.file("w.wav");
    testutil::WriteWav16(wav, testutil::Sine(440, 44100, 1, 0.2), 44100, 1);
    Settings settings;
    settings.BrowseOutputFolder = 0;
    BatchState state;
    CodecHost host;
    ASSERT_EQ(host.Start(exeDir.path().string() + "/"), CodecHost::StartResult::Ok);

    FakeBatchDriver yes;
    yes.answer = true;
    auto items = Items({{kSourceWav, wav}, {kSourceMidi, midi}});
    EXPECT_FALSE(RunConversionBatch(items, kOutputWav, settings, host, yes, state));
    ASSERT_EQ(yes.questions.size(), 1u);
    EXPECT_EQ(yes.questions[0], SoundFontQuestion(exeDir.path().string() + "/"));
    EXPECT_EQ(yes.runRows, -1) << "Yes ends the batch before it starts";
    EXPECT_EQ(yes.opened.size(), 2u);

    FakeBatchDriver no;
    EXPECT_FALSE(RunConversionBatch(items, kOutputWav, settings, host, no, state));
    EXPECT_EQ(no.Kind(0), Kind::Converted);
    EXPECT_EQ(no.Kind(1), Kind::Failed);
    EXPECT_EQ(no.Reason(1), kSoundFontStatus);
    EXPECT_FALSE(no.outcomes[1].inConversion);
    EXPECT_EQ(no.started, std::vector<int>{0}) << "a MIDI row without the font never starts";
}

TEST(RunConversionBatch, MidiWithTheSoundFontConverts) {
    BatchFixture f;
    std::string midi = f.dir.file("m.mid");
    testutil::WriteFileBytes(midi, testutil::TinyMidi());
    auto items = Items({{kSourceMidi, midi}});
    EXPECT_TRUE(f.Run(items));
    EXPECT_TRUE(f.driver.questions.empty());
    auto pcm = testutil::FfmpegDecodeS16(f.dir.file("m.wav"));
    // 1.5 seconds at the 44100 Hz render rate, in stereo.
    EXPECT_EQ(pcm.size(), static_cast<size_t>(1.5 * 44100) * 2);
}

}  // namespace

namespace {

// Runs one batch of `items` at `jobs` rows at once into `outDir`; returns its outcomes by row.
struct ParallelRun {
    std::map<int, RowOutcome> outcomes;
    std::vector<std::string> overall;
    bool result = false;
};

ParallelRun RunWithJobs(BatchFixture& f, std::vector<BatchItem> items, const std::string& outDir, int jobs) {
    Settings s = f.settings;
    s.ParallelJobs = jobs;
    s.DestOutputFolderOpt = kDestCustomFolder;
    s.DestSpecifiedFolder = outDir;
    s.MP3ID3TagType = 0;
    s.MP3Tag.TrackNumType = 1;  // the row's sequence number becomes its track number
    testutil::FakeDriver driver;
    ParallelRun run;
    run.result = RunConversionBatch(items, kOutputMp3, s, f.host, driver, f.state);
    run.outcomes = driver.outcomes;
    run.overall = driver.overallTexts;
    return run;
}

std::map<std::string, std::vector<uint8_t>> FolderBytes(const std::string& folder) {
    std::map<std::string, std::vector<uint8_t>> files;
    for (auto& e : fs::directory_iterator(folder)) files[e.path().filename().string()] = testutil::ReadFileBytes(e.path());
    return files;
}

TEST(RunConversionBatch, FourJobsDecideExactlyWhatOneJobDoes) {
    BatchFixture f;
    // Twelve rows: WAV and FLAC sources of several lengths, one broken file, and three rows from
    // another folder whose names clash with rows 0..2 in the output folder.
    std::vector<std::pair<int, std::string>> list;
    for (int i = 0; i < 12; ++i) {
        if (i == 7) {
            std::string bad = f.dir.file("broken.mp3");
            testutil::WriteFileBytes(bad, std::vector<uint8_t>(3000, 0x5a));
            list.push_back({kSourceMp3, bad});
            continue;
        }
        const std::string name = i < 9 ? "song" + std::to_string(i) : "dup/song" + std::to_string(i - 9);
        fs::create_directories(fs::path(f.dir.file(name)).parent_path());
        std::string wav = f.Wav(name + ".wav", 0.2 + 0.1 * (i % 4));
        if (i % 3 == 1 && i < 9) {
            std::string flac = f.dir.file(name + ".flac");
            ASSERT_EQ(testutil::Run("ffmpeg -v error -y -i " + testutil::Quote(wav) + " " + testutil::Quote(flac)), 0);
            list.push_back({kSourceFlac, flac});
        } else {
            list.push_back({kSourceWav, wav});
        }
    }
    auto items = Items(list);
    const ParallelRun one = RunWithJobs(f, items, f.dir.file("out1"), 1);
    const ParallelRun four = RunWithJobs(f, items, f.dir.file("out4"), 4);
    EXPECT_FALSE(one.result);  // the broken row fails
    EXPECT_EQ(one.result, four.result);
    ASSERT_EQ(one.outcomes.size(), 12u);
    ASSERT_EQ(four.outcomes.size(), 12u);
    for (int row = 0; row < 12; ++row) {
        const RowOutcome& a = one.outcomes.at(row);
        const RowOutcome& b = four.outcomes.at(row);
        EXPECT_EQ(a.kind, b.kind) << row;
        EXPECT_EQ(StatusText(a), StatusText(b)) << row;
        EXPECT_EQ(fs::path(a.targetPath).filename(), fs::path(b.targetPath).filename()) << row;
    }
    EXPECT_EQ(one.outcomes.at(7).kind, Kind::Failed);
    EXPECT_EQ(fs::path(one.outcomes.at(9).targetPath).filename(), "song0_1.mp3");
    // The same files, byte for byte: audio, and the track numbers of the rows' positions.
    const auto bytesOne = FolderBytes(f.dir.file("out1"));
    EXPECT_EQ(bytesOne.size(), 11u);
    EXPECT_EQ(bytesOne, FolderBytes(f.dir.file("out4")));
    EXPECT_EQ(testutil::FfprobeTags(f.dir.file("out4/song0_1.mp3"))["track"], "10");
    EXPECT_EQ(one.overall.back(), four.overall.back());
}

TEST(RunConversionBatch, CancelDuringFourJobsStopsEveryRunningRow) {
    BatchFixture f;
    std::vector<std::pair<int, std::string>> list;
    for (int i = 0; i < 8; ++i) list.push_back({kSourceWav, f.Wav("long" + std::to_string(i) + ".wav", 20.0)});
    auto items = Items(list);
    f.settings.ParallelJobs = 4;
    f.settings.DestOutputFolderOpt = kDestCustomFolder;
    f.settings.DestSpecifiedFolder = f.dir.file("out");
    f.settings.BrowseOutputFolder = 1;
    f.driver.cancelAfterPumps = 4;  // a few polls into the run
    EXPECT_FALSE(RunConversionBatch(items, kOutputMp3, f.settings, f.host, f.driver, f.state));
    int cancelled = 0;
    for (int row = 0; row < 8; ++row) {
        const bool started = std::count(f.driver.started.begin(), f.driver.started.end(), row) > 0;
        if (!started) {
            EXPECT_FALSE(f.driver.Finished(row)) << "a row never started keeps its status";
            continue;
        }
        ASSERT_TRUE(f.driver.Finished(row)) << row;
        EXPECT_EQ(f.driver.Kind(row), Kind::Cancelled) << row;
        ++cancelled;
    }
    EXPECT_EQ(cancelled, 4) << "the four running rows";
    EXPECT_TRUE(fs::is_empty(f.dir.file("out"))) << "no partial file";
    EXPECT_TRUE(f.driver.shown.empty());
    EXPECT_EQ(f.driver.runsEnded, 1);
}

// The work done is the decoded share of the rows' total duration, whichever way the rows run:
// every report equals the rows' own shares weighted by their lengths, it only grows, it ends at
// one, and the time left shrinks as it goes. A pause holds every running row and its time is
// left out of the elapsed time.
TEST(RunConversionBatch, WorkDoneFollowsTheDecodedDurationAndPauseHoldsTheRows) {
    BatchFixture f;
    const std::vector<double> lengths{12.0, 3.0, 6.0};
    std::vector<std::pair<int, std::string>> list;
    const char* names[] = {"long.wav", "short.wav", "middle.wav"};
    for (size_t i = 0; i < lengths.size(); ++i) list.push_back({kSourceWav, f.Wav(names[i], lengths[i])});
    for (int jobs : {1, 2}) {
        SCOPED_TRACE(jobs);
        auto items = Items(list);
        for (size_t i = 0; i < items.size(); ++i) items[i].seconds = lengths[i];
        testutil::FakeDriver driver;
        driver.pauseFromPump = 5;
        driver.pauseUntilPump = 30;  // while paused the one-row run pumps every 15 ms, the parallel one every 20 ms
        Settings s = f.settings;
        s.ParallelJobs = jobs;
        s.DestOutputFolderOpt = kDestCustomFolder;
        s.DestSpecifiedFolder = f.dir.file(jobs == 1 ? "out1" : "out2");
        const auto begun = std::chrono::steady_clock::now();
        ASSERT_TRUE(RunConversionBatch(items, kOutputMp3, s, f.host, driver, f.state));
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count();
        ASSERT_GT(driver.work.size(), 3u);
        double last = 0;
        bool sawTwoRunning = false;
        for (const auto& report : driver.work) {
            double done = 0;
            int running = 0;
            for (const auto& [row, share] : report.rows) {
                done += (share < 0 ? 1.0 : share) * lengths[static_cast<size_t>(row)];
                running += share > 0 && share < 1;
            }
            sawTwoRunning = sawTwoRunning || running >= 2;
            EXPECT_NEAR(report.fraction, done / 21.0, 1e-9);
            EXPECT_GE(report.fraction, last);
            last = report.fraction;
        }
        EXPECT_EQ(sawTwoRunning, jobs == 2);
        EXPECT_DOUBLE_EQ(driver.work.back().fraction, 1.0);
        EXPECT_EQ(driver.work.back().remaining, 0.0);
        // The pause of about half a second is not part of the elapsed time.
        EXPECT_LT(driver.work.back().elapsed, wall - 0.3);
    }
}

TEST(BatchJobs, AutomaticIsOnePerCoreWithinLimits) {
    EXPECT_EQ(BatchJobs(1), 1);
    EXPECT_EQ(BatchJobs(5), 5);
    EXPECT_EQ(BatchJobs(99), 32);
    EXPECT_EQ(BatchJobs(-3), std::clamp(static_cast<int>(std::thread::hardware_concurrency()), 1, 32));
    EXPECT_GE(BatchJobs(0), 1);
}

}  // namespace

namespace {

// Every kind of input at four rows at once, three times over, to OGG: the decoders' shared tables
// (the decoding layer's handles, the SoundFont, the Ogg serial numbers) hold up, and each file
// decodes as it does alone.
TEST(RunConversionBatch, EveryInputKindConvertsSideBySide) {
    BatchFixture f;
    const std::string wav = testutil::WriteTwoToneWav(f.dir.file("base.wav"), 0.6);
    struct Input {
        int type;
        const char* ext;
        const char* ffmpegArgs;  // null: written by the test itself
    };
    const Input kinds[] = {
        {kSourceWav, ".wav", "-c:a pcm_s16le"},     {kSourceFlac, ".flac", "-c:a flac"},
        {kSourceMp3, ".mp3", "-c:a libmp3lame"},    {kSourceOgg, ".ogg", "-c:a libvorbis"},
        {kSourceAiff, ".aiff", "-c:a pcm_s16be"},   {kSourceAu, ".au", "-c:a pcm_mulaw"},
        {kSourceM4a, ".m4a", "-c:a aac"},           {kSourceWindowsMedia, ".wma", "-c:a wmav2"},
        {kSourceWavPack, ".wv", "-c:a wavpack"},    {kSourceMidi, ".mid", nullptr},
        {kSourceModule, ".mod", nullptr},
    };
    std::vector<std::pair<int, std::string>> list;
    for (int copy = 0; copy < 3; ++copy) {
        for (const Input& k : kinds) {
            const std::string path = f.dir.file("in" + std::to_string(copy) + "-" + (k.ext + 1) + k.ext);
            if (k.ffmpegArgs) {
                ASSERT_EQ(testutil::Run("ffmpeg -v error -y -i " + testutil::Quote(wav) + " " + k.ffmpegArgs + " " +
                                        testutil::Quote(path)),
                          0)
                    << k.ext;
            } else {
                testutil::WriteFileBytes(path, k.type == kSourceMidi ? testutil::TinyMidi() : testutil::TinyModule());
            }
            list.push_back({k.type, path});
        }
    }
    auto items = Items(list);
    auto run = [&](int jobs, const std::string& out) {
        Settings s = f.settings;
        s.ParallelJobs = jobs;
        s.DestOutputFolderOpt = kDestCustomFolder;
        s.DestSpecifiedFolder = out;
        s.AutoDestWAVEncodingParam = 1;
        testutil::FakeDriver driver;
        EXPECT_TRUE(RunConversionBatch(items, kOutputWav, s, f.host, driver, f.state));
        return driver.outcomes;
    };
    const auto one = run(1, f.dir.file("one"));
    const auto four = run(4, f.dir.file("four"));
    ASSERT_EQ(four.size(), list.size());
    for (const auto& [row, outcome] : four) {
        EXPECT_EQ(outcome.kind, Kind::Converted) << list[row].second << ": " << StatusText(outcome);
        EXPECT_EQ(fs::path(outcome.targetPath).filename(), fs::path(one.at(row).targetPath).filename());
    }
    const auto bytesOne = FolderBytes(f.dir.file("one"));
    const auto bytesFour = FolderBytes(f.dir.file("four"));
    ASSERT_EQ(bytesOne.size(), list.size());
    for (const auto& [name, bytes] : bytesOne) {
        ASSERT_TRUE(bytesFour.count(name)) << name;
        EXPECT_TRUE(bytes == bytesFour.at(name)) << name << " differs when converted side by side";
    }
}

}  // namespace

TEST(LibraryNaming, PatternsFallBackPadAndNeverMakeAFolderOfATagValue) {
    std::string error;
    NamePattern pattern;
    for (auto [text, message] : std::vector<std::pair<std::string, std::string>>{
             {"{artst}", "unknown field {artst}"},
             {"{title", "unclosed '{'"},
             {"a}", "'}' without '{'"},
             {"{track:x}", "padding must be a number of digits, as in {track:02}"},
             {"{disc|1|artist}", "unknown field {1}"},
             {"{artist|a/b}", "unknown field {a/b}"}}) {
        EXPECT_FALSE(ParseNamePattern(text, pattern, error)) << text;
        EXPECT_EQ(error, message) << text;
    }
    auto expand = [&](const std::string& text, const TagRecord* tags, const std::string& source = "/m/a/song.flac") {
        EXPECT_TRUE(ParseNamePattern(text, pattern, error)) << text << ": " << error;
        std::string relative;
        return ExpandNamePattern(pattern, tags, source, relative) ? relative : std::string("<source name>");
    };
    TagRecord tags;
    tags.artist = "AC/DC";
    tags.album = "..";
    tags.title = " What? A:B. ";
    tags.track = "3/12";
    const std::string full = "{albumartist|artist}/{album}/{disc|1}-{track:02} {title}";
    // A '/' in a value stays in its level; dots alone and refused characters become '_'.
    EXPECT_EQ(expand(full, &tags), "AC_DC/__/1-03 What_ A_B");
    tags.albumArtist = "Various";
    tags.disc = "2/2";
    EXPECT_EQ(expand("{albumartist|artist}/{disc:02}/{track:3}", &tags), "Various/02/003");
    EXPECT_EQ(expand("//{artist}//{stem}", &tags), "AC_DC/song") << "empty levels of the pattern are none";
    // No tags, or a level that comes out empty: the source's own name.
    EXPECT_EQ(expand(full, nullptr), "<source name>");
    EXPECT_EQ(expand("{genre}/{title}", &tags), "<source name>");
    EXPECT_EQ(expand("{stem} (copy)", nullptr), "song (copy)") << "the stem needs no tags";
    tags.track = "B2";
    EXPECT_EQ(expand("{track:02}", &tags), "B2") << "only numbers are padded";

    // The path below the added folder, only for a source inside it.
    EXPECT_EQ(PathBelowRoot("/m/a/b.flac", "/m/"), "a/b.flac");
    EXPECT_EQ(PathBelowRoot("/m/../x/b.flac", "/m"), "");
    EXPECT_EQ(PathBelowRoot("/mx/b.flac", "/m"), "");
    EXPECT_EQ(PathBelowRoot("/m/b.flac", ""), "");

    // Shards: FNV-1a 64 of the UTF-8 path below the root, in normal form C.
    EXPECT_EQ(Fnv1a64(""), 0xcbf29ce484222325ULL);
    EXPECT_EQ(Fnv1a64("a"), 0xaf63dc4c8601ec8cULL);
    EXPECT_EQ(ShardOfSource("/mnt/lib/Caf\xc3\xa9/1.flac", "/mnt/lib", 1000),
              ShardOfSource("/home/me/Music/Cafe\xcc\x81/1.flac", "/home/me/Music", 1000));
    EXPECT_EQ(ShardOfSource("/m/x.flac", "/m", 7), static_cast<int>(Fnv1a64("x.flac") % 7) + 1);
    std::vector<int> counts(4, 0);
    for (int i = 0; i < 300; ++i) ++counts[static_cast<size_t>(ShardOfSource("/m/" + std::to_string(i), "/m", 3))];
    EXPECT_EQ(counts[0], 0);
    for (int k = 1; k <= 3; ++k) EXPECT_GT(counts[static_cast<size_t>(k)], 60) << k;
}

TEST(RunConversionBatch, UpdateConvertsOnlyWhatIsMissingOrOlderAndKeepsClashingNamesApart) {
    BatchFixture f;
    f.settings.TargetExistsOpt = kTargetUpdate;
    f.settings.DestOutputFolderOpt = kDestCustomFolder;
    f.settings.DestSpecifiedFolder = f.dir.file("out");
    fs::create_directories(f.dir.file("a"));
    fs::create_directories(f.dir.file("b"));
    const std::string a = f.Wav("a/x.wav"), b = f.Wav("b/x.wav");
    std::vector<std::string> converted;
    auto convert = [&converted](int, const ConversionRequest& r, ConversionContext&) {
        converted.push_back(r.sourcePath);
        testutil::WriteFileBytes(r.targetPath, {1, 2});
        return 1;
    };
    auto run = [&](std::vector<BatchItem>& items) {
        converted.clear();
        return RunConversionBatch(items, kOutputMp3, f.settings, f.host, f.driver, f.state, convert);
    };
    // Flat output: the two sources share a name; the later one is numbered.
    auto items = Items({{kSourceWav, a}, {kSourceWav, b}});
    EXPECT_TRUE(run(items));
    EXPECT_EQ(converted.size(), 2u);
    EXPECT_EQ(items[0].targetPath, f.dir.file("out/x.mp3"));
    EXPECT_EQ(items[1].targetPath, f.dir.file("out/x_1.mp3"));
    // Again, two rows at once: both done, each keeping its own target (the first row's fresh
    // target is never taken for the second's).
    f.state.jobs = 2;
    items = Items({{kSourceWav, a}, {kSourceWav, b}});
    EXPECT_TRUE(run(items));
    EXPECT_TRUE(converted.empty());
    EXPECT_EQ(f.driver.Kind(1), Kind::UpToDate);
    EXPECT_EQ(StatusText(f.driver.outcomes[1]), "Target is up to date");
    EXPECT_EQ(items[1].targetPath, f.dir.file("out/x_1.mp3"));
    // The order of the rows does not count: the numbers follow the sources' paths.
    items = Items({{kSourceWav, b}, {kSourceWav, a}});
    EXPECT_TRUE(run(items));
    EXPECT_TRUE(converted.empty());
    EXPECT_EQ(items[0].targetPath, f.dir.file("out/x_1.mp3"));
    // A newer source converts again, into the same target; a row of another shard still
    // holds its name, so the run's own row keeps its number.
    const auto later = fs::last_write_time(a) + std::chrono::seconds(5);
    fs::last_write_time(b, later);
    fs::last_write_time(a, later);
    items = Items({{kSourceWav, a}, {kSourceWav, b}});
    items[0].inRun = false;
    f.driver.outcomes.clear();
    EXPECT_TRUE(run(items));
    EXPECT_EQ(converted, std::vector<std::string>{b});
    EXPECT_EQ(f.driver.Target(1), f.dir.file("out/x_1.mp3"));
    EXPECT_FALSE(f.driver.Finished(0)) << "a row outside the run is not reported";
    EXPECT_TRUE(items[0].targetPath.empty());
    f.state.jobs = 1;
    // A target that is the source itself is never taken for up to date.
    f.settings.DestOutputFolderOpt = kDestBesideSource;
    items = Items({{kSourceWav, a}});
    EXPECT_FALSE(RunConversionBatch(items, kOutputWav, f.settings, f.host, f.driver, f.state, convert));
    EXPECT_EQ(f.driver.Reason(0).rfind("Target file name is same as original file", 0), 0u);

    // The folders below the added folder are kept; a source outside it goes flat.
    f.settings.DestOutputFolderOpt = kDestCustomFolder;
    f.settings.DestSpecifiedFolder = f.dir.file("tree");
    f.settings.KeepAddedFolderTree = 1;
    items = Items({{kSourceWav, a}, {kSourceWav, b}});
    items[0].rootFolder = f.dir.path().string();
    items[1].rootFolder = f.dir.file("a");
    EXPECT_TRUE(run(items));
    EXPECT_EQ(items[0].targetPath, f.dir.file("tree/a/x.mp3"));
    EXPECT_EQ(items[1].targetPath, f.dir.file("tree/x.mp3"));
    EXPECT_EQ(PreviewTargetPath(a, f.dir.path().string(), kOutputOgg, f.settings), f.dir.file("tree/a/x.ogg"));
}
