#pragma once
// Helpers for tests that run a program as a child process under a wall-clock bound: the child
// runs in its own process group with its output in files, and is killed with its group when the
// bound passes. Also the environment that gives sonavert-cli its own settings, home and
// documents folders, a byte hash and a recursive folder listing for before/after checks.
#include <cstdint>
#include <string>
#include <vector>

#include "support/TestUtil.h"

namespace testutil {

struct ChildResult {
    bool started = false;   // fork and exec succeeded (an exec failure exits 127)
    bool timedOut = false;  // killed when the bound passed
    bool signaled = false;  // ended by a signal (after a time-out: the kill)
    int signal = 0;
    int exitCode = -1;  // when it exited normally
    double seconds = 0;
    bool Crashed() const { return signaled && !timedOut; }
    bool Normal() const { return started && !timedOut && !signaled; }
    std::string Describe() const;  // "exit 1", "signal 11 (Segmentation fault)", "hang (killed after 60 s)"
};

// Runs argv[0] (looked up in PATH) with `extraEnv` ("NAME=VALUE") added to this process's
// environment, stdin from /dev/null, stdout and stderr into the given files (empty: /dev/null).
ChildResult RunChild(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv,
                     double timeoutSeconds, const std::string& stdoutPath, const std::string& stderrPath);

// The settings, home and documents folders of a sonavert-cli run, all inside `dir`.
struct CliEnvironment {
    explicit CliEnvironment(const TempDir& dir);
    std::string config, home, documents;
    std::vector<std::string> Env() const;  // for RunChild
    std::string Shell() const;             // the same as "NAME=VALUE ..." for a shell command line
};
std::string CliBinary();

// 64-bit FNV-1a of a file's bytes (0 for a file that cannot be read or is empty).
uint64_t FileHash(const std::string& path);
// Every regular file below `dir` (paths relative to it), sorted; empty when `dir` is missing.
std::vector<std::string> FilesBelow(const std::string& dir);
std::string ReadText(const std::string& path);

}  // namespace testutil
