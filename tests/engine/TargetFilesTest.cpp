#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "engine/Batch.h"
#include "engine/TargetFiles.h"
#include "sources/SourceTypes.h"
#include "support/FakeDriver.h"
#include "support/TestUtil.h"

using namespace sonavert;
namespace fs = std::filesystem;

namespace {

using Kind = RowOutcome::Kind;

// A batch over stand-in conversions that write whatever the test asks into the request's target.
struct TargetFixture {
    TargetFixture() {
        host.Start(testutil::BinDir() + "/");
        settings.BrowseOutputFolder = 0;
        settings.ParallelJobs = 1;
        settings.DestOutputFolderOpt = kDestCustomFolder;
        settings.DestSpecifiedFolder = dir.file("out");
        fs::create_directories(dir.file("out"));
    }
    CodecHost host;
    testutil::TempDir dir;
    Settings settings;
    testutil::FakeDriver driver;
    BatchState state;

    // A source file (the stand-ins never read it).
    std::string Source(const std::string& name) {
        testutil::WriteFileBytes(dir.file(name), {1});
        return dir.file(name);
    }
    bool Run(const std::vector<std::string>& sources, const ConvertFunction& convert, int format = kOutputMp3) {
        items.clear();
        for (const std::string& s : sources) items.push_back({static_cast<int>(items.size()), kSourceWav, s, ""});
        driver = testutil::FakeDriver();
        return RunConversionBatch(items, format, settings, host, driver, state, convert);
    }
    // The names in the output folder.
    std::vector<std::string> OutNames() const {
        std::vector<std::string> names;
        for (auto& e : fs::directory_iterator(dir.file("out"))) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    std::vector<BatchItem> items;
};

// A conversion that writes `bytes` and succeeds, noting the path it was given.
ConvertFunction Writing(std::vector<uint8_t> bytes, std::vector<std::string>* written = nullptr) {
    return [bytes, written](int, const ConversionRequest& r, ConversionContext&) {
        if (written) written->push_back(r.targetPath);
        testutil::WriteFileBytes(r.targetPath, bytes);
        return 1;
    };
}

mode_t ModeOf(const std::string& path) {
    struct stat st {};
    stat(path.c_str(), &st);
    return st.st_mode & 07777;
}

TEST(TargetFiles, NewTargetsAreWrittenUnderATemporaryNameAndRenamedWhenComplete) {
    TargetFixture f;
    const std::string source = f.Source("song.wav");
    const std::string final = f.dir.file("out/song.mp3");
    std::string seen;
    bool finalExistedDuring = true;
    auto convert = [&](int, const ConversionRequest& r, ConversionContext&) {
        seen = r.targetPath;
        finalExistedDuring = fs::exists(final);
        testutil::WriteFileBytes(r.targetPath, {7, 7, 7});
        return 1;
    };
    const mode_t oldMask = umask(022);
    EXPECT_TRUE(f.Run({source}, convert));
    umask(oldMask);
    // Beside the final name, one of ours, keeping the extension the writers go by.
    EXPECT_EQ(fs::path(seen).parent_path(), fs::path(f.dir.file("out")));
    EXPECT_EQ(TemporaryOwner(fs::path(seen).filename().string()), getpid()) << seen;
    EXPECT_EQ(fs::path(seen).extension(), ".mp3");
    EXPECT_EQ(fs::path(seen).filename().string().rfind("song.sonavert-", 0), 0u) << seen;
    EXPECT_FALSE(finalExistedDuring) << "the final name appears only once the file is complete";
    EXPECT_EQ(f.driver.Target(0), final);
    EXPECT_EQ(testutil::ReadFileBytes(final), (std::vector<uint8_t>{7, 7, 7}));
    EXPECT_EQ(f.OutNames(), std::vector<std::string>{"song.mp3"});
    EXPECT_EQ(ModeOf(final), 0644u) << "a new file gets 0666 less the umask";

    // Two sources with one stem in one folder still get song.mp3 and song_1.mp3, one at a time
    // and side by side, while neither final name exists during the conversions.
    for (int jobs : {1, 4}) {
        fs::remove_all(f.dir.file("out"));
        fs::create_directories(f.dir.file("out"));
        f.settings.ParallelJobs = jobs;
        auto slow = [](int, const ConversionRequest& r, ConversionContext&) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            testutil::WriteFileBytes(r.targetPath, {static_cast<uint8_t>(r.sequenceNumber)});
            return 1;
        };
        EXPECT_TRUE(f.Run({f.Source("song.flac"), source}, slow)) << jobs;
        EXPECT_EQ(f.driver.Target(0), final) << jobs;
        EXPECT_EQ(f.driver.Target(1), f.dir.file("out/song_1.mp3")) << jobs;
        EXPECT_EQ(testutil::ReadFileBytes(f.dir.file("out/song_1.mp3")), std::vector<uint8_t>{2}) << jobs;
        EXPECT_EQ(f.OutNames(), (std::vector<std::string>{"song.mp3", "song_1.mp3"})) << jobs;
    }
}

TEST(TargetFiles, FailedCancelledAndOvertakenRowsLeaveNothingOfTheirOwn) {
    TargetFixture f;
    const std::string source = f.Source("a.wav");
    // A writer that fails halfway: its partial temporary goes.
    auto failing = [](int, const ConversionRequest& r, ConversionContext& context) {
        testutil::WriteFileBytes(r.targetPath, std::vector<uint8_t>(1000, 3));
        context.failureReason = "No space left on device";
        return 0;
    };
    EXPECT_FALSE(f.Run({source}, failing));
    EXPECT_EQ(StatusText(f.driver.outcomes[0]), "Conversion Failure (No space left on device)");
    EXPECT_TRUE(f.OutNames().empty());

    // Cancelled during the row: the same.
    auto cancelled = [&f](int, const ConversionRequest& r, ConversionContext&) {
        testutil::WriteFileBytes(r.targetPath, std::vector<uint8_t>(1000, 3));
        f.driver.cancel = true;
        return 0;
    };
    EXPECT_FALSE(f.Run({source}, cancelled));
    EXPECT_EQ(f.driver.Kind(0), Kind::Cancelled);
    EXPECT_TRUE(f.OutNames().empty());

    // A file that appears under the final name meanwhile is never replaced by a new target.
    const std::string final = f.dir.file("out/a.mp3");
    auto overtaken = [&final](int, const ConversionRequest& r, ConversionContext&) {
        testutil::WriteFileBytes(final, {4, 2});
        testutil::WriteFileBytes(r.targetPath, {9, 9, 9});
        return 1;
    };
    EXPECT_FALSE(f.Run({source}, overtaken));
    EXPECT_EQ(f.driver.Kind(0), Kind::Failed);
    EXPECT_EQ(f.driver.Reason(0), "another file took the name \"a.mp3\" meanwhile");
    EXPECT_EQ(testutil::ReadFileBytes(final), (std::vector<uint8_t>{4, 2}));
    EXPECT_EQ(f.OutNames(), std::vector<std::string>{"a.mp3"});

    // A folder where the temporary cannot be made fails the row with the reason.
    if (geteuid() != 0) {  // the superuser writes into every folder
        fs::remove(final);
        fs::permissions(f.dir.file("out"), fs::perms::owner_read | fs::perms::owner_exec);
        EXPECT_FALSE(f.Run({source}, Writing({1})));
        fs::permissions(f.dir.file("out"), fs::perms::owner_all);
        EXPECT_EQ(f.driver.Kind(0), Kind::Failed);
        EXPECT_NE(f.driver.Reason(0).find("a.mp3"), std::string::npos) << f.driver.Reason(0);
        EXPECT_TRUE(f.OutNames().empty());
    }
}

TEST(TargetFiles, OverwritingKeepsPermissionsAndSymbolicLinks) {
    TargetFixture f;
    f.settings.TargetExistsOpt = kTargetOverwrite;
    const std::string source = f.Source("a.wav");
    const std::string target = f.dir.file("out/a.mp3");

    // The old file's permission bits stay, without set-user-ID and set-group-ID.
    for (mode_t mode : {0600u, 0640u, 06755u}) {
        testutil::WriteFileBytes(target, {1});
        ASSERT_EQ(chmod(target.c_str(), mode), 0);
        EXPECT_TRUE(f.Run({source}, Writing({5, 5})));
        EXPECT_EQ(testutil::ReadFileBytes(target), (std::vector<uint8_t>{5, 5}));
        EXPECT_EQ(ModeOf(target), mode & 0777) << std::oct << mode;
    }

    // A link to a link to the file: the file is replaced, written beside itself; the links stay.
    fs::create_directories(f.dir.file("store/deep"));
    const std::string real = f.dir.file("store/deep/real.bin");
    testutil::WriteFileBytes(real, {1, 1});
    chmod(real.c_str(), 0600);
    fs::remove(target);
    fs::create_symlink("deep/real.bin", f.dir.file("store/hop"));
    fs::create_symlink("../store/hop", target);
    std::vector<std::string> written;
    EXPECT_TRUE(f.Run({source}, Writing({6, 6, 6}, &written)));
    EXPECT_EQ(f.driver.Target(0), target);
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(fs::path(written[0]).parent_path(), fs::canonical(f.dir.file("store/deep")));
    EXPECT_EQ(fs::path(written[0]).extension(), ".mp3") << "the target's extension, for the writer";
    EXPECT_TRUE(fs::is_symlink(target));
    EXPECT_EQ(fs::read_symlink(target), "../store/hop");
    EXPECT_TRUE(fs::is_symlink(f.dir.file("store/hop")));
    EXPECT_EQ(testutil::ReadFileBytes(real), (std::vector<uint8_t>{6, 6, 6}));
    EXPECT_EQ(ModeOf(real), 0600u);
    EXPECT_EQ(fs::directory_iterator(f.dir.file("store/deep"))->path(), fs::path(real)) << "no temporary left";

    // A link to a missing file is not written through: the row fails and nothing appears.
    fs::remove(real);
    EXPECT_FALSE(f.Run({source}, Writing({1})));
    EXPECT_EQ(f.driver.Reason(0), "Target is a symbolic link to a missing file");
    EXPECT_TRUE(fs::is_empty(f.dir.file("store/deep")));
    EXPECT_EQ(f.OutNames(), std::vector<std::string>{"a.mp3"});
    // Renaming instead of overwriting passes the link by, as any existing name.
    f.settings.TargetExistsOpt = kTargetRename;
    EXPECT_TRUE(f.Run({source}, Writing({1})));
    EXPECT_EQ(f.driver.Target(0), f.dir.file("out/a_1.mp3"));
}

// A process id that certainly does not run any more: a child that ended and was reaped.
pid_t DeadPid() {
    const pid_t pid = fork();
    if (pid == 0) _exit(0);
    waitpid(pid, nullptr, 0);
    return pid;
}

TEST(TargetFiles, TemporaryNamesAreRecognisedExactly) {
    EXPECT_EQ(TemporaryOwner("song.sonavert-4242-1.mp3"), 4242);
    EXPECT_EQ(TemporaryOwner("song.sonavert-4242-17"), 4242);
    EXPECT_EQ(TemporaryOwner("a.sonavert-b.sonavert-77-3.ogg"), 77);
    for (const char* other : {"song.mp3", "song.sonavert-.mp3", "song.sonavert-12.mp3", "song.sonavert-12-.mp3",
                              "song.sonavert-0-1.mp3", "song.sonavert-012-1.mp3", "song.sonavert-12-1x.mp3",
                              "song.sonavert-12-1.tar.gz", "song.sonavert-99999999999-1.mp3", "sonavert-12-1.mp3"})
        EXPECT_EQ(TemporaryOwner(other), 0) << other;
}

TEST(TargetFiles, StaleTemporariesOfEndedProcessesAreRemovedOncePerFolder) {
    TargetFixture f;
    const pid_t dead = DeadPid();
    const pid_t live = fork();
    if (live == 0) {
        pause();
        _exit(0);
    }
    const std::string out = f.dir.file("out") + "/";
    const std::string deadName = "old.sonavert-" + std::to_string(dead) + "-1.mp3";
    const std::string liveName = "busy.sonavert-" + std::to_string(live) + "-1.mp3";
    const std::string ownName = "mine.sonavert-" + std::to_string(getpid()) + "-9.wav";
    const std::string lookalike = "notes.sonavert-" + std::to_string(dead) + "-1.tar.gz";
    for (const std::string& name : {deadName, liveName, ownName, lookalike}) testutil::WriteFileBytes(out + name, {1});
    // A folder the batch does not write into keeps its stale file.
    fs::create_directories(f.dir.file("elsewhere"));
    testutil::WriteFileBytes(f.dir.file("elsewhere/" + deadName), {1});
    // One that turns up while the batch runs stays too: the folder is cleaned once, when the
    // batch first writes into it.
    const std::string lateName = "late.sonavert-" + std::to_string(dead) + "-2.mp3";
    auto convert = [&](int, const ConversionRequest& r, ConversionContext&) {
        testutil::WriteFileBytes(out + lateName, {1});
        testutil::WriteFileBytes(r.targetPath, {2});
        return 1;
    };
    EXPECT_TRUE(f.Run({f.Source("a.wav"), f.Source("b.wav")}, convert));

    EXPECT_FALSE(fs::exists(out + deadName));
    EXPECT_TRUE(fs::exists(out + liveName)) << "a running process's file";
    EXPECT_TRUE(fs::exists(out + ownName)) << "this process's own file";
    EXPECT_TRUE(fs::exists(out + lookalike));
    EXPECT_TRUE(fs::exists(out + lateName));
    EXPECT_TRUE(fs::exists(f.dir.file("elsewhere/" + deadName)));
    EXPECT_TRUE(fs::exists(out + "a.mp3"));
    EXPECT_TRUE(fs::exists(out + "b.mp3"));

    // The folder function alone: only regular files go, a link of that name stays; the running
    // process's file goes once the process has ended.
    const std::string link = out + "link.sonavert-" + std::to_string(dead) + "-3.mp3";
    fs::create_symlink("a.mp3", link);
    EXPECT_EQ(RemoveStaleTemporaries(out), 1);  // the late one
    EXPECT_TRUE(fs::is_symlink(link));
    kill(live, SIGKILL);
    waitpid(live, nullptr, 0);
    EXPECT_EQ(RemoveStaleTemporaries(out), 1);
    EXPECT_FALSE(fs::exists(out + liveName));
    EXPECT_TRUE(fs::exists(out + ownName));
}

TEST(TargetFiles, LongNamesGetATemporaryWithinTheNameLimit) {
    testutil::TempDir dir;
    // 250 bytes of two-byte characters: the temporary's stem is cut between characters.
    std::string stem;
    while (stem.size() < 246) stem += "\xc3\xa9";
    const std::string target = dir.file(stem + ".mp3");
    std::string temporary, reason;
    ASSERT_TRUE(CreateTemporaryBeside(target, ".mp3", temporary, reason)) << reason;
    const std::string name = fs::path(temporary).filename().string();
    EXPECT_LE(name.size(), 255u);
    EXPECT_EQ(TemporaryOwner(name), getpid());
    EXPECT_EQ(name.substr(0, 2), "\xc3\xa9");
    EXPECT_NE(static_cast<unsigned char>(name[name.find(".sonavert-") - 1]), 0xc3u) << "no character cut in two";
    EXPECT_TRUE(fs::exists(temporary));
    // The next one takes the next number.
    std::string second;
    ASSERT_TRUE(CreateTemporaryBeside(target, ".mp3", second, reason));
    EXPECT_NE(second, temporary);
}

}  // namespace
