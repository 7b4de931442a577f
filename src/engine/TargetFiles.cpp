#include "engine/TargetFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <memory>
#include <vector>

#include "base/PathHelpers.h"
#include "engine/OutputFormats.h"

namespace sonavert {

namespace {

constexpr const char kTemporaryMark[] = ".sonavert-";
constexpr size_t kTemporaryMarkLength = sizeof kTemporaryMark - 1;
constexpr size_t kTokenDigits = 16;  // 64 random bits in lower-case hex

std::string ErrnoText(int error) { return std::strerror(error); }

// The first `bytes` bytes of a UTF-8 text, cut before a character rather than inside one.
std::string CutUtf8(const std::string& text, size_t bytes) {
    if (text.size() <= bytes) return text;
    while (bytes > 0 && (static_cast<unsigned char>(text[bytes]) & 0xC0) == 0x80) --bytes;
    return text.substr(0, bytes);
}

// 16 hex digits nobody can guess (a clash would only cost another try: the file is made exclusively).
std::string RandomToken() {
    uint64_t value = 0;
    if (::getrandom(&value, sizeof value, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof value))
        value = (static_cast<uint64_t>(::getpid()) << 32) ^ static_cast<uint64_t>(::time(nullptr)) ^
                reinterpret_cast<uintptr_t>(&value);
    char text[kTokenDigits + 1];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
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

// The names between the '/' of a path, without empty ones and "."; ".." stays for the walk.
void PushLevelsFront(const std::string& path, std::deque<std::string>& levels) {
    std::vector<std::string> names;
    size_t at = 0;
    while (at <= path.size()) {
        size_t next = path.find('/', at);
        if (next == std::string::npos) next = path.size();
        std::string name = path.substr(at, next - at);
        if (!name.empty() && name != ".") names.push_back(std::move(name));
        at = next + 1;
    }
    levels.insert(levels.begin(), names.begin(), names.end());
}

// Could someone other than this process's user or the folder's owner have planted this link?
bool MayBePlanted(const struct stat& link, const std::string& folder) {
    struct stat st;
    if (::stat(folder.empty() ? "/" : folder.c_str(), &st) != 0) return true;
    const mode_t shared = S_ISVTX | S_IWOTH;
    return (st.st_mode & shared) == shared && link.st_uid != ::geteuid() && link.st_uid != st.st_uid;
}

// Follows every symbolic link of `path`, level by level as the kernel would, into a path free of
// links, refusing links that may have been planted. False with `reason` set on a refused or
// broken link.
bool ResolveTrustedLinks(const std::string& path, std::string& resolved, std::string& reason) {
    std::deque<std::string> pending;
    if (path.empty() || path[0] != '/') {
        char cwd[PATH_MAX];
        if (!::getcwd(cwd, sizeof cwd)) {
            reason = ErrnoText(errno);
            return false;
        }
        PushLevelsFront(cwd, pending);
    }
    {
        std::deque<std::string> own;
        PushLevelsFront(path, own);
        pending.insert(pending.end(), own.begin(), own.end());
    }
    std::string done;  // link-free, "" for the root
    int links = 0;
    while (!pending.empty()) {
        const std::string name = pending.front();
        pending.pop_front();
        if (name == "..") {
            const size_t slash = done.rfind('/');
            if (slash != std::string::npos) done.erase(slash);
            continue;
        }
        const std::string next = done + "/" + name;
        struct stat st;
        if (::lstat(next.c_str(), &st) != 0) {
            const int error = errno;
            reason = links == 0 ? ErrnoText(error)
                     : error == ENOENT
                         ? "Target is a symbolic link to a missing file"
                         : "Target is a symbolic link that cannot be followed (" + ErrnoText(error) + ")";
            return false;
        }
        if (!S_ISLNK(st.st_mode)) {
            done = next;
            continue;
        }
        if (++links > 40) {
            reason = "Target is a symbolic link that cannot be followed (" + ErrnoText(ELOOP) + ")";
            return false;
        }
        if (MayBePlanted(st, done)) {
            reason = "Target is a symbolic link another user may have planted in a shared folder (not followed)";
            return false;
        }
        std::vector<char> text(static_cast<size_t>(st.st_size) + 2);
        const ssize_t n = ::readlink(next.c_str(), text.data(), text.size());
        if (n <= 0 || static_cast<size_t>(n) >= text.size()) {
            reason = "Target is a symbolic link that cannot be followed (it changed while being read)";
            return false;
        }
        const std::string to(text.data(), static_cast<size_t>(n));
        if (to[0] == '/') done.clear();
        PushLevelsFront(to, pending);
    }
    resolved = done.empty() ? "/" : done;
    return true;
}

bool IsOutputExtension(const std::string& extension) {
    for (const OutputFormatInfo& format : OutputFormats())
        if (extension == format.extension) return true;
    return false;
}

// Closes a descriptor at the end of a scope.
struct FdGuard {
    int fd;
    ~FdGuard() {
        if (fd >= 0) ::close(fd);
    }
};

}  // namespace

TemporaryLock& TemporaryLock::operator=(TemporaryLock&& other) noexcept {
    if (this != &other) {
        Release();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

void TemporaryLock::Release() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

std::string FitFileName(const std::string& stem, const std::string& suffix, const std::string& extension) {
    const size_t fixed = suffix.size() + extension.size();
    const size_t room = fixed < kFileNameLimit ? kFileNameLimit - fixed : 0;
    return CutUtf8(stem, room) + suffix + extension;
}

bool ReplacedFile(const std::string& target, std::string& file, std::string& reason) {
    struct stat st;
    if (::lstat(target.c_str(), &st) != 0) {
        reason = ErrnoText(errno);
        return false;
    }
    const bool link = S_ISLNK(st.st_mode);
    // Every level of links followed (folders' too): the file itself is replaced, the links stay.
    std::string resolved;
    if (!ResolveTrustedLinks(target, resolved, reason)) return false;
    if (::stat(resolved.c_str(), &st) != 0) {
        reason = ErrnoText(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        reason = "Target is not a regular file";
        return false;
    }
    file = link ? resolved : target;
    return true;
}

bool CreateTemporaryBeside(const std::string& besidePath, const std::string& extension, std::string& temporary,
                           std::string& reason, TemporaryLock* lock) {
    const std::string name = FileNamePart(besidePath);
    const std::string folder = besidePath.substr(0, besidePath.size() - name.size());
    const std::string stem = name.substr(0, name.size() - ExtensionPart(name).size());
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string candidate =
            folder + "." + FitFileName(stem, kTemporaryMark + RandomToken(), extension);
        const int fd = ::open(candidate.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            // Where the file system keeps no locks the file stays unprovable, and so stays.
            if (lock) {
                ::flock(fd, LOCK_EX | LOCK_NB);
                *lock = TemporaryLock(fd);
            } else {
                ::close(fd);
            }
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
                     std::string& reason, bool* taken) {
    int error = 0;
    if (taken) *taken = false;
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
    if (error == EEXIST && taken) {
        *taken = true;
        return false;
    }
    ::unlink(temporary.c_str());
    return false;
}

bool IsTemporaryName(const std::string& name) {
    // "." stem ".sonavert-" 16 lower-case hex digits, then an output format's extension.
    const std::string extension = ExtensionPart(name);
    if (name.size() < 1 + kTemporaryMarkLength + kTokenDigits || name[0] != '.' || !IsOutputExtension(extension))
        return false;
    const size_t tokenEnd = name.size() - extension.size();
    if (tokenEnd < 1 + kTemporaryMarkLength + kTokenDigits) return false;
    const size_t token = tokenEnd - kTokenDigits;
    for (size_t i = token; i < tokenEnd; ++i)
        if (!std::isdigit(static_cast<unsigned char>(name[i])) && (name[i] < 'a' || name[i] > 'f')) return false;
    return name.compare(token - kTemporaryMarkLength, kTemporaryMarkLength, kTemporaryMark) == 0;
}

int RemoveStaleTemporaries(const std::string& folder) {
    struct DirCloser {
        void operator()(DIR* d) const { ::closedir(d); }
    };
    const std::unique_ptr<DIR, DirCloser> dir(::opendir(folder.empty() ? "." : folder.c_str()));
    if (!dir) return 0;
    const int dirFd = ::dirfd(dir.get());
    const time_t now = ::time(nullptr);
    int removed = 0;
    while (const dirent* entry = ::readdir(dir.get())) {
        const char* name = entry->d_name;
        if (!IsTemporaryName(name)) continue;
        struct stat st;
        if (::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) continue;
        // Written lately (or in the future, by a host whose clock runs ahead): maybe in use.
        if (st.st_mtime > now - kStaleTemporarySeconds) continue;
        const FdGuard file{::openat(dirFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)};
        struct stat held;
        if (file.fd < 0 || ::fstat(file.fd, &held) != 0 || held.st_dev != st.st_dev || held.st_ino != st.st_ino)
            continue;
        // A shared lock is refused while a writer holds its exclusive one; any other failure
        // (no locks on this file system) proves nothing either.
        if (::flock(file.fd, LOCK_SH | LOCK_NB) != 0) continue;
        // The name must still be that file: only then is it the abandoned one that goes.
        struct stat again;
        if (::fstatat(dirFd, name, &again, AT_SYMLINK_NOFOLLOW) != 0 || again.st_dev != held.st_dev ||
            again.st_ino != held.st_ino)
            continue;
        if (::unlinkat(dirFd, name, 0) == 0) ++removed;
    }
    return removed;
}

}  // namespace sonavert
