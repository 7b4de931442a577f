#include "base/PathHelpers.h"

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <vector>

namespace sonavert {

std::string FileNamePart(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string ExtensionPart(const std::string& path) {
    size_t slash = path.rfind('/');
    size_t start = slash == std::string::npos ? 0 : slash + 1;
    size_t dot = path.rfind('.');
    if (dot == std::string::npos || dot < start) return std::string();
    return path.substr(dot);
}

std::string ExecutableFolder() {
    // The link's target can be longer than any fixed buffer; grow until it fits.
    std::vector<char> buf(1024);
    for (;;) {
        ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size());
        if (n < 0) return std::string();
        if (static_cast<size_t>(n) < buf.size()) {
            std::string path(buf.data(), static_cast<size_t>(n));
            size_t slash = path.rfind('/');
            if (slash == std::string::npos) return std::string();
            return path.substr(0, slash + 1);
        }
        if (buf.size() >= (1u << 20)) return std::string();
        buf.resize(buf.size() * 2);
    }
}

bool PathExists(const std::string& path) {
    struct stat st;
    return !path.empty() && lstat(path.c_str(), &st) == 0;
}

bool DirectoryExists(const std::string& path) {
    struct stat st;
    return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool FileSizeOf(const std::string& path, uint64_t& size) {
    struct stat st;
    if (path.empty() || stat(path.c_str(), &st) != 0) return false;
    size = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
    return true;
}

bool EnsureFolder(const std::string& path, bool create) {
    if (path.empty()) return false;
    if (DirectoryExists(path)) return true;
    if (!create) return false;

    // Walk the levels from the left: "/a/b/c" checks "/a", "/a/b", "/a/b/c".
    size_t pos = path[0] == '/' ? 1 : 0;
    while (pos <= path.size()) {
        size_t next = path.find('/', pos);
        if (next == std::string::npos) next = path.size();
        if (next > pos) {
            std::string level = path.substr(0, next);
            struct stat st;
            if (stat(level.c_str(), &st) == 0) {
                if (!S_ISDIR(st.st_mode)) return false;
            } else if (mkdir(level.c_str(), 0777) != 0 && !(errno == EEXIST && DirectoryExists(level))) {
                return false;
            }
        }
        pos = next + 1;
    }
    return DirectoryExists(path);
}

namespace {

// The names between the '/' of a path, without empty ones and ".", with ".." applied.
std::vector<std::string> NormalLevels(const std::string& path) {
    std::vector<std::string> levels;
    size_t at = 0;
    while (at <= path.size()) {
        size_t next = path.find('/', at);
        if (next == std::string::npos) next = path.size();
        const std::string name = path.substr(at, next - at);
        if (name == "..") {
            if (!levels.empty()) levels.pop_back();
        } else if (!name.empty() && name != ".") {
            levels.push_back(name);
        }
        at = next + 1;
    }
    return levels;
}

std::vector<std::string> AbsoluteLevels(const std::string& path) {
    if (!path.empty() && path[0] == '/') return NormalLevels(path);
    char cwd[PATH_MAX];
    const std::string base = getcwd(cwd, sizeof cwd) ? cwd : "/";
    return NormalLevels(base + "/" + path);
}

}  // namespace

std::string LexicallyAbsolute(const std::string& path) {
    std::string out;
    for (const std::string& level : AbsoluteLevels(path)) out += "/" + level;
    return out.empty() ? "/" : out;
}

bool LiesInside(const std::string& path, const std::string& folder) {
    const std::vector<std::string> inner = AbsoluteLevels(path), outer = AbsoluteLevels(folder);
    return inner.size() > outer.size() && std::equal(outer.begin(), outer.end(), inner.begin());
}

}  // namespace sonavert
