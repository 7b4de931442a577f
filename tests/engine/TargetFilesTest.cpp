#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <set>
#include <signal.h>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "engine/Batch.h"
#include "engine/TargetFiles.h"
#include "sources/SourceTypes.h"
#include "base/PathHelpers.h"
#include "support/ChildTestUtil.h"
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

// A temporary's name as the writers make it.
std::string OurName(const std::string& stem, const std::string& extension = ".mp3") {
    return "." + stem + ".sonavert-0123456789abcdef" + extension;
}

// Long enough unchanged for a temporary to count as abandoned.
constexpr int kOld = kStaleTemporarySeconds + 60;

// Writes a one-byte file (or rewrites it in place) last changed `age` seconds ago.
void WriteAged(const std::string& path, int age) {
    testutil::WriteFileBytes(path, {1});
    timespec times[2] = {{time(nullptr) - age, 0}, {time(nullptr) - age, 0}};
    utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

// A forked child holding an exclusive flock on `path` until it is killed; -1 when it cannot.
pid_t HoldLock(const std::string& path) {
    int ready[2];
    if (pipe(ready) != 0) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        const int fd = open(path.c_str(), O_RDWR);
        const char ok = fd >= 0 && flock(fd, LOCK_EX) == 0 ? 1 : 0;
        (void)!write(ready[1], &ok, 1);
        for (;;) pause();
    }
    close(ready[1]);
    char ok = 0;
    (void)!read(ready[0], &ok, 1);
    close(ready[0]);
    if (ok) return pid;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
}

std::vector<std::string> NamesIn(const std::string& folder) {
    std::vector<std::string> names;
    for (auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
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
    EXPECT_TRUE(IsTemporaryName(fs::path(seen).filename().string())) << seen;
    EXPECT_EQ(fs::path(seen).extension(), ".mp3");
    EXPECT_EQ(fs::path(seen).filename().string().rfind(".song.sonavert-", 0), 0u) << seen;
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

    // A file that appears under the final name meanwhile (another process's target) is never
    // replaced by a new target: the row takes the next free number instead, skips by the skip
    // policy, and replaces it by the overwrite policy.
    const std::string final = f.dir.file("out/a.mp3");
    auto overtaken = [&final, &f](int, const ConversionRequest& r, ConversionContext&) {
        testutil::WriteFileBytes(final, {4, 2});
        testutil::WriteFileBytes(f.dir.file("out/a_1.mp3"), {4, 3});
        testutil::WriteFileBytes(r.targetPath, {9, 9, 9});
        return 1;
    };
    EXPECT_TRUE(f.Run({source}, overtaken));
    EXPECT_EQ(f.driver.Target(0), f.dir.file("out/a_2.mp3"));
    EXPECT_EQ(testutil::ReadFileBytes(final), (std::vector<uint8_t>{4, 2}));
    EXPECT_EQ(testutil::ReadFileBytes(f.dir.file("out/a_2.mp3")), (std::vector<uint8_t>{9, 9, 9}));
    EXPECT_EQ(f.OutNames(), (std::vector<std::string>{"a.mp3", "a_1.mp3", "a_2.mp3"}));
    f.settings.TargetExistsOpt = kTargetSkip;
    for (const char* name : {"a.mp3", "a_1.mp3", "a_2.mp3"}) fs::remove(f.dir.file("out") + "/" + name);
    EXPECT_FALSE(f.Run({source}, overtaken));
    EXPECT_EQ(f.driver.Kind(0), Kind::Skipped);
    EXPECT_EQ(f.driver.Reason(0), "Target exists and skipped");
    EXPECT_EQ(f.OutNames(), (std::vector<std::string>{"a.mp3", "a_1.mp3"}));
    f.settings.TargetExistsOpt = kTargetOverwrite;
    fs::remove(final);
    EXPECT_TRUE(f.Run({source}, overtaken));
    EXPECT_EQ(f.driver.Target(0), final);
    EXPECT_EQ(testutil::ReadFileBytes(final), (std::vector<uint8_t>{9, 9, 9}));
    EXPECT_EQ(f.OutNames(), (std::vector<std::string>{"a.mp3", "a_1.mp3"}));
    fs::remove(f.dir.file("out/a_1.mp3"));
    f.settings.TargetExistsOpt = kTargetRename;

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
    // An abandoned temporary in the folder the link leads to stays: only the target's own folder is cleaned.
    const std::string strayThere = f.dir.file("store/deep/" + OurName("stray"));
    WriteAged(strayThere, kOld);
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
    EXPECT_EQ(NamesIn(f.dir.file("store/deep")), (std::vector<std::string>{OurName("stray"), "real.bin"}))
        << "no temporary of the row left, the stray one kept";
    fs::remove(strayThere);

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

TEST(TargetFiles, TemporaryNamesAreRecognisedExactly) {
    testutil::TempDir dir;
    std::string made, reason;
    ASSERT_TRUE(CreateTemporaryBeside(dir.file("song.m4a"), ".m4a", made, reason)) << reason;
    EXPECT_TRUE(IsTemporaryName(fs::path(made).filename().string())) << made;
    for (const char* ours : {".song.sonavert-0123456789abcdef.mp3", "..sonavert-ffffffffffffffff.wav",
                             ".a.sonavert-b.sonavert-00000000deadbeef.ogg"})
        EXPECT_TRUE(IsTemporaryName(ours)) << ours;
    // Names a user's file may well have, and near misses of the pattern.
    for (const char* other :
         {"notes.sonavert-99999-1.txt", "holiday.sonavert-31000-7.jpg", "README.sonavert-12345-2",
          "song.sonavert-4242-1.mp3", "song.sonavert-0123456789abcdef.mp3", ".song.sonavert-0123456789abcdef.txt",
          ".song.sonavert-0123456789ABCDEF.mp3", ".song.sonavert-0123456789abcde.mp3",
          ".song.sonavert-0123456789abcdef0.mp3", ".song.sonavert-0123456789abcdeg.mp3",
          ".song.sonavert-0123456789abcdef.MP3", ".song.sonavert-0123456789abcdef.mp3.bak",
          ".song.sonavert-0123456789abcdef", ".song-0123456789abcdef.mp3", ".sonavert-0123456789abcdef.mp3"})
        EXPECT_FALSE(IsTemporaryName(other)) << other;
}

// Hostile neighbours: look-alike user files, live writers of other processes and this one, and
// a folder a target link leads to all keep their files; only an old unlocked temporary goes.
TEST(TargetFiles, OnlyProvablyAbandonedTemporariesAreRemovedOncePerFolder) {
    TargetFixture f;
    const std::string out = f.dir.file("out") + "/";
    const std::string stale = out + OurName("old");
    const std::string held = out + OurName("busy", ".ogg");
    const std::string young = out + OurName("young", ".wav");
    WriteAged(stale, kOld);
    WriteAged(held, kOld);
    WriteAged(young, 5);
    const std::vector<std::string> lookalikes = {"notes.sonavert-99999-1.txt", "holiday.sonavert-31000-7.jpg",
                                                 "README.sonavert-12345-2", "song.sonavert-0123456789abcdef.mp3",
                                                 OurName("x", ".txt")};
    for (const std::string& name : lookalikes) WriteAged(out + name, kOld);
    const pid_t holder = HoldLock(held);
    ASSERT_GT(holder, 0);
    // This process's own temporary, still held by its writer.
    std::string own, reason;
    TemporaryLock lock;
    ASSERT_TRUE(CreateTemporaryBeside(out + "mine.wav", ".wav", own, reason, &lock)) << reason;
    WriteAged(own, kOld);
    // A folder the batch does not write into keeps its stale file.
    fs::create_directories(f.dir.file("elsewhere"));
    testutil::WriteFileBytes(f.dir.file("elsewhere/" + OurName("old")), {1});
    WriteAged(f.dir.file("elsewhere/" + OurName("old")), kOld);
    // One that turns up while the batch runs stays too: the folder is cleaned once, when the
    // batch first writes into it.
    const std::string late = out + OurName("late");
    auto convert = [&](int, const ConversionRequest& r, ConversionContext&) {
        WriteAged(late, kOld);
        testutil::WriteFileBytes(r.targetPath, {2});
        return 1;
    };
    EXPECT_TRUE(f.Run({f.Source("a.wav"), f.Source("b.wav")}, convert));

    EXPECT_FALSE(fs::exists(stale));
    EXPECT_TRUE(fs::exists(held)) << "locked by a running process";
    EXPECT_TRUE(fs::exists(young)) << "written lately";
    EXPECT_TRUE(fs::exists(own)) << "held by this process";
    for (const std::string& name : lookalikes) EXPECT_TRUE(fs::exists(out + name)) << name;
    EXPECT_TRUE(fs::exists(late));
    EXPECT_TRUE(fs::exists(f.dir.file("elsewhere/" + OurName("old"))));
    EXPECT_TRUE(fs::exists(out + "a.mp3"));
    EXPECT_TRUE(fs::exists(out + "b.mp3"));

    // The folder function alone: only regular files go, a link of such a name stays; a held
    // temporary goes once its holder ended.
    const std::string link = out + OurName("link");
    fs::create_symlink("a.mp3", link);
    EXPECT_EQ(RemoveStaleTemporaries(out), 1);  // the late one
    EXPECT_TRUE(fs::is_symlink(link));
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    EXPECT_EQ(RemoveStaleTemporaries(out), 1);
    EXPECT_FALSE(fs::exists(held));
    EXPECT_TRUE(fs::exists(own));
    lock.Release();
    EXPECT_EQ(RemoveStaleTemporaries(out), 1);
    EXPECT_FALSE(fs::exists(own));
    EXPECT_EQ(NamesIn(out).size(), 4u + lookalikes.size()) << "young, link, a.mp3, b.mp3 and the look-alikes";
}

// A writer in another PID namespace (a container sharing the folder): its process id means
// nothing here, its lock does.
TEST(TargetFiles, ALockHeldFromAnotherPidNamespaceKeepsTheTemporary) {
    if (geteuid() != 0) GTEST_SKIP() << "a new PID namespace needs root";
    testutil::TempDir dir;
    const std::string held = dir.file(OurName("song"));
    WriteAged(held, kOld);
    const std::string ready = dir.file("ready");
    const std::string script = "touch " + testutil::Quote(ready) + "; exec sleep 60";
    const pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        execlp("unshare", "unshare", "--pid", "--fork", "flock", held.c_str(), "sh", "-c", script.c_str(),
               static_cast<char*>(nullptr));
        _exit(127);
    }
    setpgid(pid, pid);
    for (int i = 0; i < 500 && !fs::exists(ready) && waitpid(pid, nullptr, WNOHANG) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const bool started = fs::exists(ready);
    if (started) {
        EXPECT_EQ(RemoveStaleTemporaries(dir.path().string()), 0);
        EXPECT_TRUE(fs::exists(held));
    }
    kill(-pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    if (!started) GTEST_SKIP() << "unshare --pid --fork with flock did not start here";
    // Once the namespace is gone, so is the lock: the temporary is abandoned.
    int removed = 0;
    for (int i = 0; i < 200 && removed == 0; ++i) {
        removed = RemoveStaleTemporaries(dir.path().string());
        if (removed == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(removed, 1);
}

// Another user's link, planted in a sticky folder everyone may write to, is not overwritten
// through; the same link is followed where nobody else could have planted it.
TEST(TargetFiles, ALinkPlantedInASharedFolderIsNotWrittenThrough) {
    if (geteuid() != 0) GTEST_SKIP() << "planting a link owned by another user needs root";
    TargetFixture f;
    f.settings.DestOutputFolderOpt = kDestBesideSource;
    f.settings.TargetExistsOpt = kTargetOverwrite;
    const std::string shared = f.dir.file("shared");
    fs::create_directories(shared);
    ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
    fs::create_directories(f.dir.file("elsewhere"));
    const std::string secret = f.dir.file("elsewhere/secret.txt");
    const std::vector<uint8_t> secretBytes = {'s', 'e', 'c', 'r', 'e', 't'};
    testutil::WriteFileBytes(secret, secretBytes);
    const std::string link = shared + "/song.mp3";
    fs::create_symlink(secret, link);
    ASSERT_EQ(lchown(link.c_str(), 65534, 65534), 0);  // nobody's
    testutil::WriteFileBytes(shared + "/song.wav", {1});

    EXPECT_FALSE(f.Run({shared + "/song.wav"}, Writing({6, 6, 6})));
    EXPECT_EQ(f.driver.Kind(0), Kind::Failed);
    EXPECT_EQ(f.driver.Reason(0),
              "Target is a symbolic link another user may have planted in a shared folder (not followed)");
    EXPECT_EQ(testutil::ReadFileBytes(secret), secretBytes);
    EXPECT_EQ(NamesIn(f.dir.file("elsewhere")), std::vector<std::string>{"secret.txt"});
    EXPECT_EQ(NamesIn(shared), (std::vector<std::string>{"song.mp3", "song.wav"}));
    EXPECT_TRUE(fs::is_symlink(link));

    // Owned by this process's user, or in a folder that is not sticky, the link is followed.
    ASSERT_EQ(lchown(link.c_str(), 0, 0), 0);
    EXPECT_TRUE(f.Run({shared + "/song.wav"}, Writing({6, 6, 6})));
    EXPECT_EQ(testutil::ReadFileBytes(secret), (std::vector<uint8_t>{6, 6, 6}));
    ASSERT_EQ(lchown(link.c_str(), 65534, 65534), 0);
    ASSERT_EQ(chmod(shared.c_str(), 0777), 0);
    EXPECT_TRUE(f.Run({shared + "/song.wav"}, Writing({7})));
    EXPECT_EQ(testutil::ReadFileBytes(secret), (std::vector<uint8_t>{7}));
}

// Source paths holding ".." are mirrored as they read, never above the chosen folder.
TEST(TargetFiles, DotDotInSourcePathsStaysInsideTheFolder) {
    EXPECT_EQ(LexicallyAbsolute("/../music//in/./song.wav"), "/music/in/song.wav");
    EXPECT_TRUE(LiesInside("/a/b/c", "/a/b"));
    EXPECT_TRUE(LiesInside("/a/./b//c/", "/a/b/"));
    for (auto [path, folder] : std::vector<std::pair<const char*, const char*>>{
             {"/a/b", "/a/b"}, {"/a/bc", "/a/b"}, {"/a/b/../c", "/a/b"}, {"/a/b/c/../..", "/a/b"}, {"/a", "/a/b"}})
        EXPECT_FALSE(LiesInside(path, folder)) << path << " in " << folder;

    TargetFixture f;
    f.settings.CreateDirs = 1;
    const std::string out = f.dir.file("out");
    fs::create_directories(f.dir.file("work/a"));
    struct BackTo {
        fs::path cwd = fs::current_path();
        ~BackTo() { fs::current_path(cwd); }
    } back;
    fs::current_path(f.dir.file("work/a"));
    const std::vector<std::string> sources = {"/../music/in/song.wav", "in/../../../x/song.wav",
                                              f.dir.file("out/../../../song.wav"),
                                              f.dir.file("in/.:./.:./.:./.:./.:./.:./.:./.:./.:./song.wav")};
    EXPECT_TRUE(f.Run(sources, Writing({1})));
    for (size_t i = 0; i < sources.size(); ++i) {
        EXPECT_TRUE(LiesInside(f.driver.Target(static_cast<int>(i)), out)) << sources[i] << " -> " << f.driver.Target(i);
        EXPECT_TRUE(fs::exists(f.driver.Target(static_cast<int>(i)))) << sources[i];
    }
    EXPECT_EQ(f.driver.Target(0), out + "/music/in/song.mp3");
    EXPECT_EQ(f.driver.Target(1), out + f.dir.path().string() + "/x/song.mp3");
    EXPECT_EQ(NamesIn(f.dir.path().string()), (std::vector<std::string>{"out", "work"})) << "nothing beside the folder";
}

// Two processes converting the same files into one folder at once: every row converts, and the
// later of two writers of one name takes the next number (or overwrites, by that policy).
TEST(TargetFiles, TwoProcessesOverTheSameFilesEachConvertEveryRow) {
    testutil::TempDir dir, homeA, homeB;
    const testutil::CliEnvironment envA(homeA), envB(homeB);
    fs::create_directories(dir.file("in"));
    std::string paths;
    const int count = 12;
    for (int i = 0; i < count; ++i) {
        const std::string path = dir.file("in/s" + std::to_string(i) + ".wav");
        ASSERT_TRUE(testutil::WriteWav16(path, testutil::Sine(440, 44100, 2, 1.0), 44100, 2));
        paths += " " + testutil::Quote(path);
    }
    for (int policy : {kTargetRename, kTargetOverwrite}) {
        const std::string out = dir.file("out" + std::to_string(policy));
        const std::string command = testutil::Quote(testutil::CliBinary()) + " -y -f mp3 -j 1 -o " +
                                    testutil::Quote(out) + " --set TargetExistsOpt=" + std::to_string(policy) +
                                    " --set OutputFiles2MyDocuments=0" + paths;
        auto run = [&](const testutil::CliEnvironment& env, const std::string& name) {
            return "(" + env.Shell() + command + " > " + testutil::Quote(dir.file(name + ".txt")) + "; echo $? > " +
                   testutil::Quote(dir.file(name + ".rc")) + ") & ";
        };
        ASSERT_EQ(testutil::Run(run(envA, "a") + run(envB, "b") + "wait"), 0);
        EXPECT_EQ(testutil::ReadText(dir.file("a.rc")), "0\n") << policy;
        EXPECT_EQ(testutil::ReadText(dir.file("b.rc")), "0\n") << policy;
        std::istringstream lines(testutil::ReadText(dir.file("a.txt")) + testutil::ReadText(dir.file("b.txt")));
        std::set<std::string> targets;
        int converted = 0, rows = 0;
        for (std::string line; std::getline(lines, line); ++rows) {
            const std::string status = line.substr(line.find('\t') + 1);
            EXPECT_EQ(status.find("took the name"), std::string::npos) << line;
            if (status.rfind(out + "/", 0) == 0) ++converted, targets.insert(status);
        }
        EXPECT_EQ(rows, 2 * count) << policy;
        EXPECT_EQ(converted, 2 * count) << policy;
        std::vector<std::string> expected;
        for (int i = 0; i < count; ++i) {
            const std::string stem = std::string(1, 's').append(std::to_string(i));
            expected.push_back(stem + ".mp3");
            if (policy == kTargetRename) expected.push_back(stem + "_1.mp3");
        }
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(testutil::FilesBelow(out), expected) << policy;
        if (policy == kTargetRename) {
            EXPECT_EQ(targets.size(), 2u * count) << "no two rows on one name";
        }
    }
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
    EXPECT_TRUE(IsTemporaryName(name)) << name;
    EXPECT_EQ(name.substr(0, 3), ".\xc3\xa9");
    EXPECT_NE(static_cast<unsigned char>(name[name.find(".sonavert-") - 1]), 0xc3u) << "no character cut in two";
    EXPECT_TRUE(fs::exists(temporary));
    // The next one takes another name.
    std::string second;
    ASSERT_TRUE(CreateTemporaryBeside(target, ".mp3", second, reason));
    EXPECT_NE(second, temporary);

    // A source name of 255 bytes whose target exists: the numbered name is shortened between
    // characters, keeping its number and extension, in the folder asked for.
    TargetFixture f;
    f.settings.OutputFiles2MyDocuments = 0;
    std::string longStem;
    while (longStem.size() < 250) longStem += "\xc3\xa9";
    longStem += "a";
    const std::string source = f.Source(longStem + ".wav");
    testutil::WriteFileBytes(f.dir.file("out/" + longStem + ".mp3"), {1});
    EXPECT_TRUE(f.Run({source}, Writing({2})));
    const std::string numbered = f.dir.file("out/" + longStem.substr(0, 248) + "_1.mp3");
    EXPECT_EQ(f.driver.Target(0), numbered);
    EXPECT_EQ(testutil::ReadFileBytes(numbered), std::vector<uint8_t>{2});
    EXPECT_EQ(f.OutNames().size(), 2u);
}

}  // namespace
