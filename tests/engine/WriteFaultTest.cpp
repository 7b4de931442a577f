// Targets that cannot be written to the end, for every output family: a file-size limit, a full
// filesystem and a read-only output folder. Each run of the real sonavert-cli converts two rows:
// one to a new target and one over an old target of the same name (with overwriting chosen).
// Both rows must fail with a reason, the exit status must say so, the output folder must hold
// nothing but the old target, byte for byte, and nothing may be written anywhere else.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <set>
#include <sstream>
#include <unistd.h>

#include "support/ChildTestUtil.h"
#include "support/TestUtil.h"

namespace {

namespace fs = std::filesystem;
using testutil::Quote;

constexpr double kHangSeconds = 60;
// Twelve seconds of audio make more than 16 KB in every family, AMR's 12.2 kbit/s included.
constexpr double kSourceSeconds = 12;
constexpr size_t kFileSizeLimit = 8192;

struct OutputFamily {
    const char* name;  // as -f takes it, unless `format` is given
    const char* ext;
    const char* format = nullptr;
    std::vector<const char*> sets = {};  // --set overrides
};
// WAV through the wide read: 24-bit, every channel of the source kept.
const OutputFamily kWideWav = {
    "wav24", ".wav", "wav", {"AutoDestWAVEncodingParam=0", "WAVBitsPerSample=24", "WAVChannelNum=0", "WAVSampleRate=0"}};
const OutputFamily kOutputs[] = {{"mp3", ".mp3"}, {"wav", ".wav"}, {"ogg", ".ogg"}, {"aac", ".aac"},
                                 {"m4a", ".m4a"}, {"amr", ".amr"}, {"wma", ".wma"}, {"flac", ".flac"},
                                 {"alac", ".m4a"}, {"opus", ".opus"}, kWideWav};

// What a run left: the program's lines, its end, and the output folder's files (with the old
// target's bytes as they are after the run).
struct Outcome {
    testutil::ChildResult child;
    int exitCode = -1;  // the program's own, when it ran inside a shell
    std::string out, err;
    std::vector<std::string> folder;
    std::vector<uint8_t> oldTarget;
    bool setUpFailed = false;
};

class WriteFaultSuite {
public:
    explicit WriteFaultSuite(const char* what) : what_(what), env_(work_) {
        fs::create_directories(work_.file("sources"));
        fs::create_directories(env_.documents);
        fresh_ = testutil::WriteTwoToneWav(work_.file("sources/fresh.wav"), kSourceSeconds);
        kept_ = work_.file("sources/kept.wav");
        fs::copy_file(fresh_, kept_);
        // Not audio: the old target only has to stay as it is.
        for (int i = 0; i < 3000; ++i) old_.push_back(static_cast<uint8_t>(i * 7 + 1));
        testutil::WriteFileBytes(books_.file("old"), old_);
        freshHash_ = testutil::FileHash(fresh_);
        keptHash_ = testutil::FileHash(kept_);
        before_ = testutil::FilesBelow(work_.path().string());
    }

    std::string OutDir(const OutputFamily& f) const { return work_.file(std::string("out-") + f.name); }
    std::vector<std::string> CliArgs(const OutputFamily& f, const std::vector<std::string>& extra = {}) const {
        // Every target is verified: a check reading back a cut-short temporary must fail the row too.
        std::vector<std::string> a = {testutil::CliBinary(), "-y", "-f", f.format ? f.format : f.name, "-o", OutDir(f),
                                      "--set", "TargetExistsOpt=22", "--set", "ParallelJobs=1", "--verify"};
        for (const char* set : f.sets) a.insert(a.end(), {"--set", set});
        a.insert(a.end(), extra.begin(), extra.end());
        a.push_back(fresh_);
        a.push_back(kept_);
        return a;
    }
    std::string OldPath() const { return books_.file("old"); }
    std::string Books(const std::string& name) const { return books_.file(name); }
    const testutil::CliEnvironment& Env() const { return env_; }

    // Runs argv directly (the output folder is set up before and read after by this process).
    Outcome RunDirect(const OutputFamily& f, const std::vector<std::string>& argv) {
        fs::create_directories(OutDir(f));
        testutil::WriteFileBytes(OutDir(f) + "/kept" + f.ext, old_);
        Outcome o;
        o.child = testutil::RunChild(argv, env_.Env(), kHangSeconds, Books("out"), Books("err"));
        o.exitCode = o.child.Normal() ? o.child.exitCode : -1;
        o.out = testutil::ReadText(Books("out"));
        o.err = testutil::ReadText(Books("err"));
        o.folder = testutil::FilesBelow(OutDir(f));
        o.oldTarget = testutil::ReadFileBytes(OutDir(f) + "/kept" + f.ext);
        fs::remove_all(OutDir(f));
        return o;
    }

    // Runs a shell script in a private mount namespace; the script mounts the output folder, runs
    // the program (whose exit status it writes to "rc"), lists the folder into "listing", copies
    // the old target out to "after" and unmounts. A script that cannot mount exits 200.
    Outcome RunInNamespace(const OutputFamily& f, const std::vector<std::string>& unshare, const std::string& script) {
        fs::create_directories(OutDir(f));
        for (const char* name : {"rc", "listing", "after"}) fs::remove(Books(name));
        std::vector<std::string> argv = unshare;
        argv.insert(argv.end(), {"sh", "-c", script});
        Outcome o;
        o.child = testutil::RunChild(argv, env_.Env(), kHangSeconds, Books("shell-out"), Books("shell-err"));
        o.setUpFailed = o.child.Normal() && o.child.exitCode == 200;
        o.out = testutil::ReadText(Books("out"));
        o.err = testutil::ReadText(Books("err"));
        const std::string rc = testutil::ReadText(Books("rc"));
        o.exitCode = rc.empty() ? -1 : std::atoi(rc.c_str());
        std::istringstream listing(testutil::ReadText(Books("listing")));
        for (std::string line; std::getline(listing, line);)
            if (!line.empty()) o.folder.push_back(line);
        o.oldTarget = testutil::ReadFileBytes(Books("after"));
        // The mount point itself must have stayed empty: the mount was private to the namespace.
        EXPECT_TRUE(testutil::FilesBelow(OutDir(f)).empty()) << f.name << ": files under the mount point";
        fs::remove_all(OutDir(f));
        return o;
    }

    // The script's part that runs the program and records what it left.
    std::string RunAndRecord(const OutputFamily& f, const std::vector<std::string>& extra = {}) const {
        std::string cmd;
        for (const std::string& a : CliArgs(f, extra)) cmd += Quote(a) + " ";
        const std::string dir = Quote(OutDir(f));
        return cmd + ">" + Quote(Books("out")) + " 2>" + Quote(Books("err")) + "; echo $? >" + Quote(Books("rc")) +
               "; ls -A " + dir + " >" + Quote(Books("listing")) + "; cp " + dir + "/kept" + f.ext + " " +
               Quote(Books("after")) + " 2>/dev/null; umount " + dir;
    }

    // The checks every run must pass.
    void Check(const OutputFamily& f, const Outcome& o) {
        const std::string what = what_ + ", " + f.name;
        ++runs_;
        if (o.child.timedOut) {
            ++hangs_;
            ADD_FAILURE() << what << ": " << o.child.Describe();
            return;
        }
        if (o.child.Crashed() || o.exitCode >= 128 || o.exitCode < 0) {
            ++crashes_;
            ADD_FAILURE() << what << ": the program did not end normally (" << o.child.Describe() << ", status "
                          << o.exitCode << ")\n" << o.err;
            return;
        }
        EXPECT_EQ(o.exitCode, 1) << what;
        // One status line per row, each a failure with a reason.
        for (const std::string& source : {fresh_, kept_}) {
            const size_t at = o.out.find(source + "\t");
            if (at == std::string::npos) {
                ADD_FAILURE() << what << ": no status line for " << source << "\n" << o.out;
                continue;
            }
            const size_t from = at + source.size() + 1;
            const std::string status = o.out.substr(from, o.out.find('\n', from) - from);
            if (status.empty() || status[0] == '/') {
                ADD_FAILURE() << what << ": " << fs::path(source).filename() << " did not fail: " << status;
                continue;
            }
            ++failedWithReason_;
            statuses_.insert(f.name + std::string(": ") + status);
        }
        // Nothing but the old target, as it was.
        const std::vector<std::string> expected = {std::string("kept") + f.ext};
        if (o.folder != expected) {
            ++leftovers_;
            std::string list;
            for (const std::string& name : o.folder) list += " " + name;
            ADD_FAILURE() << what << ": the output folder holds:" << list;
        }
        if (o.oldTarget == old_)
            ++keptOld_;
        else
            ADD_FAILURE() << what << ": the old target was changed or removed (" << o.oldTarget.size() << " bytes)";
        CheckNothingElseWritten(what);
    }

    // The sources are as they were; no file appeared anywhere else in the test's folder.
    void CheckNothingElseWritten(const std::string& what) {
        EXPECT_EQ(testutil::FileHash(fresh_), freshHash_) << what;
        EXPECT_EQ(testutil::FileHash(kept_), keptHash_) << what;
        for (const std::string& f : testutil::FilesBelow(work_.path().string())) {
            if (!std::binary_search(before_.begin(), before_.end(), f)) {
                ++leftovers_;
                ADD_FAILURE() << what << ": written elsewhere: " << f;
                fs::remove(work_.file(f));
            }
        }
    }

    // The distinct statuses of the failed rows so far.
    size_t Reasons() const { return statuses_.size(); }

    void Summary() const {
        std::printf("[ WRITEFAULT ] %s: families %zu, runs %d, rows failed with a reason %d, crashes %d, hangs %d, "
                    "leftovers %d, old targets kept %d\n",
                    what_.c_str(), std::size(kOutputs), runs_, failedWithReason_, crashes_, hangs_, leftovers_, keptOld_);
        for (const std::string& s : statuses_) std::printf("[ WRITEFAULT ]   %s\n", s.c_str());
        std::fflush(stdout);
    }

private:
    testutil::TempDir work_;   // sources, output folders and the program's own folders
    testutil::TempDir books_;  // the test's records of each run
    std::string what_;
    testutil::CliEnvironment env_;
    std::string fresh_, kept_;
    std::vector<uint8_t> old_;
    uint64_t freshHash_ = 0, keptHash_ = 0;
    std::vector<std::string> before_;
    std::set<std::string> statuses_;
    int runs_ = 0, failedWithReason_ = 0, crashes_ = 0, hangs_ = 0, leftovers_ = 0, keptOld_ = 0;
};

// Whether `unshare` can give a child its own mount namespace with a tmpfs in it: as the superuser
// directly, otherwise in a user namespace. Empty when neither works.
std::vector<std::string> MountNamespace(const std::string& probeDir) {
    fs::create_directories(probeDir);
    const std::string script = "mount -t tmpfs -o size=16k tmpfs " + Quote(probeDir) + " && umount " + Quote(probeDir);
    for (std::vector<std::string> unshare : {std::vector<std::string>{"unshare", "-m"},
                                             std::vector<std::string>{"unshare", "-r", "-m"}}) {
        std::vector<std::string> argv = unshare;
        argv.insert(argv.end(), {"sh", "-c", script});
        const testutil::ChildResult r = testutil::RunChild(argv, {}, 20, "", "");
        if (r.Normal() && r.exitCode == 0) return unshare;
    }
    return {};
}

TEST(WriteFault, FileSizeLimit) {
    WriteFaultSuite suite("file-size limit");
    for (const OutputFamily& f : kOutputs) {
        // prlimit sets the limit on the program itself: past it, a write fails (or, where the
        // signal is not ignored, SIGXFSZ ends the program).
        std::vector<std::string> argv = {"prlimit", "--fsize=" + std::to_string(kFileSizeLimit), "--"};
        for (const std::string& a : suite.CliArgs(f)) argv.push_back(a);
        suite.Check(f, suite.RunDirect(f, argv));
    }
    suite.Summary();
}

TEST(WriteFault, FullFilesystem) {
    WriteFaultSuite suite("full filesystem");
    const std::vector<std::string> unshare = MountNamespace(suite.Books("probe"));
    if (unshare.empty()) GTEST_SKIP() << "no private mount namespace with a tmpfs can be made here (unshare -m, unshare -rm)";
    for (const OutputFamily& f : kOutputs) {
        // 16 KB, a quarter of it taken by the old target.
        const std::string dir = Quote(suite.OutDir(f));
        const std::string script = "mount -t tmpfs -o size=16k tmpfs " + dir + " || exit 200; cp " +
                                   Quote(suite.OldPath()) + " " + dir + "/kept" + f.ext + " || exit 200; " +
                                   suite.RunAndRecord(f);
        const Outcome o = suite.RunInNamespace(f, unshare, script);
        if (o.setUpFailed) GTEST_SKIP() << "the tmpfs could not be mounted";
        suite.Check(f, o);
    }
    suite.Summary();
}

TEST(WriteFault, ReadOnlyFolder) {
    WriteFaultSuite suite("read-only folder");
    const std::vector<std::string> unshare = MountNamespace(suite.Books("probe"));
    if (unshare.empty()) GTEST_SKIP() << "no private mount namespace with a tmpfs can be made here (unshare -m, unshare -rm)";
    for (const OutputFamily& f : kOutputs) {
        // The superuser ignores permission bits: the folder is a tmpfs remounted read-only. No
        // retry into the documents folder.
        const std::string dir = Quote(suite.OutDir(f));
        const std::string script = "mount -t tmpfs -o size=1m tmpfs " + dir + " || exit 200; cp " +
                                   Quote(suite.OldPath()) + " " + dir + "/kept" + f.ext + " || exit 200; mount -o remount,ro " +
                                   dir + " || exit 200; " + suite.RunAndRecord(f, {"--set", "OutputFiles2MyDocuments=0"});
        const Outcome o = suite.RunInNamespace(f, unshare, script);
        if (o.setUpFailed) GTEST_SKIP() << "the read-only tmpfs could not be mounted";
        suite.Check(f, o);
    }
    // Two jobs: the rows' workers find the folder refusing their temporaries and the rows are
    // reserved again as under one job, so they end the same way, with the same reasons.
    const size_t reasons = suite.Reasons();
    const OutputFamily& mp3 = kOutputs[0];
    const std::string dir = Quote(suite.OutDir(mp3));
    const std::string script = "mount -t tmpfs -o size=1m tmpfs " + dir + " || exit 200; cp " + Quote(suite.OldPath()) +
                               " " + dir + "/kept.mp3 || exit 200; mount -o remount,ro " + dir + " || exit 200; " +
                               suite.RunAndRecord(mp3, {"--set", "OutputFiles2MyDocuments=0", "--jobs", "2"});
    const Outcome o = suite.RunInNamespace(mp3, unshare, script);
    if (!o.setUpFailed) {
        suite.Check(mp3, o);
        EXPECT_EQ(suite.Reasons(), reasons) << "two jobs gave other reasons than one";
    }
    suite.Summary();
}

}  // namespace
