#pragma once
// How a target file comes to be: written under a temporary name in the folder it ends up in, and
// renamed to its final name only once it is complete, so that no half-written file ever carries
// a target's name. Temporaries abandoned by a writer that ended are cleaned away.
//
// A temporary is named ".<stem>.sonavert-<16 hex digits><extension of an output format>", and its
// writer holds an exclusive flock on it through a descriptor kept open for the row's whole life.
// A lock is held by the open file in the kernel (and by the server on network file systems), so
// it tells a live writer in another PID namespace or on another host from an abandoned file,
// where a process id in the name could not.
#include <cstddef>
#include <string>

namespace sonavert {

// The longest file name (one path component) the usual Linux file systems take, in bytes.
inline constexpr size_t kFileNameLimit = 255;
// A temporary is only ever taken for abandoned when it was last written this long ago.
inline constexpr int kStaleTemporarySeconds = 10 * 60;

// The descriptor through which a writer holds the lock on its temporary; closing it (at the end
// of the object) releases the lock.
class TemporaryLock {
public:
    TemporaryLock() = default;
    explicit TemporaryLock(int fd) : fd_(fd) {}
    TemporaryLock(TemporaryLock&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    TemporaryLock& operator=(TemporaryLock&& other) noexcept;
    TemporaryLock(const TemporaryLock&) = delete;
    TemporaryLock& operator=(const TemporaryLock&) = delete;
    ~TemporaryLock() { Release(); }
    void Release();
    bool Held() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// `stem` + `suffix` + `extension`, the stem cut between UTF-8 characters where the whole would
// pass the file-name limit, so that the suffix (a number) and the extension always stay.
std::string FitFileName(const std::string& stem, const std::string& suffix, const std::string& extension);

// The file a conversion replaces when it overwrites `target`: the target itself, or for a
// symbolic link the file it finally leads to (the link stays as it is). A link is followed only
// where nobody else can have planted it: it belongs to this process's user or to the owner of
// its folder, or the folder is not both sticky and writable by everyone (the rule of the
// kernel's protected symlinks, applied at every level). Returns false with `reason` set when a
// link is refused or leads nowhere, or the target is no regular file.
bool ReplacedFile(const std::string& target, std::string& file, std::string& reason);

// Creates an empty temporary file beside `besidePath` (in the same folder, named after its stem,
// cut when the name would pass the file-name limit) that ends in `extension`. The file exists
// exclusively for the caller from then on; with `lock` given, the caller holds it locked through
// `lock` until that is released. Returns false with `reason` set when it cannot be created.
bool CreateTemporaryBeside(const std::string& besidePath, const std::string& extension, std::string& temporary,
                           std::string& reason, TemporaryLock* lock = nullptr);

// Gives a complete temporary its final name. A new target (`replaced` empty) never replaces a
// file that appeared under `finalPath` meanwhile; an overwrite renames over `replaced` at once,
// after giving the temporary the replaced file's permission bits (without set-user-ID and
// set-group-ID). On failure `reason` says why and the temporary is removed, except when `taken`
// is given: a name taken meanwhile then sets it and leaves the temporary for another name.
bool CommitTemporary(const std::string& temporary, const std::string& finalPath, const std::string& replaced,
                     std::string& reason, bool* taken = nullptr);

// True for a file name CreateTemporaryBeside makes, read strictly: a user's file with a name
// merely like it ("notes.sonavert-99999-1.txt") is not one.
bool IsTemporaryName(const std::string& fileName);

// Removes the regular files directly in `folder` that are provably abandoned temporaries: named
// as ours, unlocked (a shared flock taken without waiting), and unchanged for
// kStaleTemporarySeconds. Whatever cannot be proven so stays. Returns how many went.
int RemoveStaleTemporaries(const std::string& folder);

}  // namespace sonavert
