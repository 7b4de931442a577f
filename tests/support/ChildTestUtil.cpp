#include "support/ChildTestUtil.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace testutil {

std::string ChildResult::Describe() const {
    if (!started) return "could not start";
    if (timedOut) return "hang (killed after " + std::to_string(static_cast<int>(seconds)) + " s)";
    if (signaled) return "signal " + std::to_string(signal) + " (" + strsignal(signal) + ")";
    return "exit " + std::to_string(exitCode);
}

ChildResult RunChild(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv,
                     double timeoutSeconds, const std::string& stdoutPath, const std::string& stderrPath) {
    ChildResult result;
    if (argv.empty()) return result;
    // Everything the child needs is built before the fork: after it only async-signal-safe calls.
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<std::string> envStrings;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        const bool overridden = std::any_of(extraEnv.begin(), extraEnv.end(), [&](const std::string& x) {
            return x.compare(0, name.size() + 1, name + "=") == 0;
        });
        if (!overridden) envStrings.push_back(entry);
    }
    envStrings.insert(envStrings.end(), extraEnv.begin(), extraEnv.end());
    std::vector<char*> env;
    for (const std::string& e : envStrings) env.push_back(const_cast<char*>(e.c_str()));
    env.push_back(nullptr);
    const std::string out = stdoutPath.empty() ? "/dev/null" : stdoutPath;
    const std::string err = stderrPath.empty() ? "/dev/null" : stderrPath;

    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid < 0) return result;
    if (pid == 0) {
        setpgid(0, 0);
        const int in = open("/dev/null", O_RDONLY);
        const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || o < 0 || e < 0) _exit(127);
        dup2(in, 0);
        dup2(o, 1);
        dup2(e, 2);
        execvpe(args[0], args.data(), env.data());
        _exit(127);
    }
    setpgid(pid, pid);  // either side may win the race; both set the same group
    result.started = true;
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (done == pid) break;
        if (done < 0) {
            result.started = false;
            return result;
        }
        if (result.seconds > timeoutSeconds) {
            result.timedOut = true;
            kill(-pid, SIGKILL);
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (WIFSIGNALED(status)) {
        result.signaled = true;
        result.signal = WTERMSIG(status);
    } else if (WIFEXITED(status)) {
        result.exitCode = WEXITSTATUS(status);
        if (result.exitCode == 127 && result.seconds < 0.05) result.started = false;
    }
    return result;
}

CliEnvironment::CliEnvironment(const TempDir& dir)
    : config(dir.file("config")), home(dir.file("home")), documents(dir.file("documents")) {}

std::vector<std::string> CliEnvironment::Env() const {
    return {"XDG_CONFIG_HOME=" + config, "HOME=" + home, "XDG_DOCUMENTS_DIR=" + documents};
}

std::string CliEnvironment::Shell() const {
    std::string s;
    for (const std::string& e : Env()) {
        const size_t eq = e.find('=');
        s += e.substr(0, eq + 1) + Quote(e.substr(eq + 1)) + " ";
    }
    return s;
}

std::string CliBinary() { return BinDir() + "/sonavert-cli"; }

uint64_t FileHash(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return 0;
    uint64_t h = 1469598103934665603ull;
    char buf[65536];
    bool any = false;
    while (in.read(buf, sizeof buf) || in.gcount() > 0) {
        for (std::streamsize i = 0; i < in.gcount(); ++i) {
            h ^= static_cast<uint8_t>(buf[i]);
            h *= 1099511628211ull;
        }
        any = true;
    }
    return any ? h : 0;
}

std::vector<std::string> FilesBelow(const std::string& dir) {
    std::vector<std::string> files;
    std::error_code ec;
    if (!std::filesystem::is_directory(dir, ec)) return files;
    for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (!it->is_directory(ec)) files.push_back(std::filesystem::relative(it->path(), dir, ec).string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::string ReadText(const std::string& path) {
    const std::vector<uint8_t> bytes = ReadFileBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

}  // namespace testutil
