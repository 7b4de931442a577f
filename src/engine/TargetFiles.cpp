#include "engine/TargetFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "base/PathHelpers.h"

namespace sonavert {

namespace {

constexpr const char kTemporaryMark[] = ".sonavert-";
constexpr size_t kTemporaryMarkLength = sizeof kTemporaryMark - 1;
// The longest file name (one path component) the usual Linux file systems take.
constexpr size_t kNameLimit = 255;

std::string ErrnoText(int error) { return std::strerror(error); }

// The first `bytes` bytes of a UTF-8 text, cut before a character rather than inside one.
std::string CutUtf8(const std::string& text, size_t bytes) {
    if (text.size() <= bytes) return text;
    while (bytes > 0 && (static_cast<unsigned char>(text[bytes]) & 0xC0) == 0x80) --bytes;
    return text.substr(0, bytes);
}

// Reads the decimal digits at `at`; false when there are none or the number passes `limit`.
bool ReadNumber(const std::string& text, size_t& at, unsigned long long limit, unsigned long long& value) {
    const size_t start = at;
    value = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
        value = value * 10 + static_cast<unsigned>(text[at] - '0');
        if (value > limit) return false;
        ++at;
    }
    return at > start;
}

// A name taken meanwhile, under the rename of a new target.
std::string TakenReason(const std::string& finalPath) {
    return "another file took the name \"" + FileNamePart(finalPath) + "\" meanwhile";
}

// Renames `from` to `to` only when nothing is called `to`; returns 0 or the error number.
int RenameNoReplace(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    int error = errno;
    if (error != EINVAL && error != ENOSYS && error != ENOTSUP && error != EOPNOTSUPP) return error;
    // The file system does not know the flag: a hard link fails just as surely on a taken name.
    if (::link(from.c_str(), to.c_str()) == 0) {
        ::unlink(from.c_str());
        return 0;
    }
    error = errno;
    if (error != EPERM && error != ENOTSUP && error != EOPNOTSUPP && error != EMLINK) return error;
    // Nor hard links (FAT and the like): look, then rename. Only a file made in between these two
    // steps could still be replaced.
    struct stat st;
    if (::lstat(to.c_str(), &st) == 0) return EEXIST;
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

}  // namespace

bool ReplacedFile(const std::string& target, std::string& file, std::string& reason) {
    struct stat st;
    if (::lstat(target.c_str(), &st) != 0) {
        reason = ErrnoText(errno);
        return false;
    }
    std::string resolved = target;
    if (S_ISLNK(st.st_mode)) {
        // Every level of links followed: the file itself is replaced, the links stay.
        char* real = ::realpath(target.c_str(), nullptr);
        if (!real) {
            const int error = errno;
            reason = error == ENOENT ? "Target is a symbolic link to a missing file"
                                     : "Target is a symbolic link that cannot be followed (" + ErrnoText(error) + ")";
            return false;
        }
        resolved = real;
        std::free(real);
        if (::stat(resolved.c_str(), &st) != 0) {
            reason = ErrnoText(errno);
            return false;
        }
    }
    if (!S_ISREG(st.st_mode)) {
        reason = "Target is not a regular file";
        return false;
    }
    file = resolved;
    return true;
}

bool CreateTemporaryBeside(const std::string& besidePath, const std::string& extension, std::string& temporary,
                           std::string& reason) {
    const std::string name = FileNamePart(besidePath);
    const std::string folder = besidePath.substr(0, besidePath.size() - name.size());
    const std::string stem = name.substr(0, name.size() - ExtensionPart(name).size());
    const std::string pid = std::to_string(::getpid());
    for (int n = 1; n <= 100000; ++n) {
        const std::string suffix = kTemporaryMark + pid + "-" + std::to_string(n) + extension;
        const size_t room = suffix.size() < kNameLimit ? kNameLimit - suffix.size() : 0;
        const std::string candidate = folder + CutUtf8(stem, room) + suffix;
        const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            ::close(fd);
            temporary = candidate;
            return true;
        }
        if (errno != EEXIST) {
            reason = ErrnoText(errno);
            return false;
        }
    }
    reason = "no free temporary file name";
    return false;
}

bool CommitTemporary(const std::string& temporary, const std::string& finalPath, const std::string& replaced,
                     std::string& reason) {
    int error = 0;
    if (!replaced.empty()) {
        // The successor keeps what the old file allowed, but never gains set-ID bits.
        struct stat st;
        if (::stat(replaced.c_str(), &st) == 0)
            ::chmod(temporary.c_str(), st.st_mode & 07777 & ~static_cast<mode_t>(S_ISUID | S_ISGID));
        if (::rename(temporary.c_str(), replaced.c_str()) != 0) error = errno;
    } else {
        error = RenameNoReplace(temporary, finalPath);
    }
    if (error == 0) return true;
    reason = error == EEXIST ? TakenReason(finalPath) : ErrnoText(error);
    ::unlink(temporary.c_str());
    return false;
}

pid_t TemporaryOwner(const std::string& fileName) {
    for (size_t mark = fileName.find(kTemporaryMark); mark != std::string::npos;
         mark = fileName.find(kTemporaryMark, mark + 1)) {
        size_t at = mark + kTemporaryMarkLength;
        unsigned long long pid = 0, n = 0;
        if (at < fileName.size() && fileName[at] == '0') continue;  // no pid is written with a leading 0
        if (!ReadNumber(fileName, at, INT_MAX, pid) || pid == 0) continue;
        if (at >= fileName.size() || fileName[at] != '-') continue;
        ++at;
        if (!ReadNumber(fileName, at, ULLONG_MAX / 10, n)) continue;
        // Then the extension, if any: one '.' and what follows it.
        if (at == fileName.size() || (fileName[at] == '.' && fileName.find('.', at + 1) == std::string::npos))
            return static_cast<pid_t>(pid);
    }
    return 0;
}

int RemoveStaleTemporaries(const std::string& folder) {
    struct DirCloser {
        void operator()(DIR* d) const { ::closedir(d); }
    };
    const std::unique_ptr<DIR, DirCloser> dir(::opendir(folder.empty() ? "." : folder.c_str()));
    if (!dir) return 0;
    const int dirFd = ::dirfd(dir.get());
    const pid_t self = ::getpid();
    int removed = 0;
    while (const dirent* entry = ::readdir(dir.get())) {
        const pid_t owner = TemporaryOwner(entry->d_name);
        if (owner <= 0 || owner == self) continue;
        // Only a process that is certainly gone: EPERM means it runs under another user.
        if (::kill(owner, 0) == 0 || errno != ESRCH) continue;
        struct stat st;
        if (::fstatat(dirFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) continue;
        if (::unlinkat(dirFd, entry->d_name, 0) == 0) ++removed;
    }
    return removed;
}

}  // namespace sonavert
