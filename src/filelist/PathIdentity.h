#pragma once
#include <sys/types.h>

#include <map>
#include <set>
#include <string>
#include <utility>

namespace sonavert {

// Makes a path absolute against the current folder and drops "." components and doubled
// separators. ".." is kept: through a symbolic link it does not mean the lexical parent.
std::string AbsolutePath(const std::string& path);

// What identifies a file in the list: its absolute path text, and, when the file can be
// examined, the device and inode it resolves to (symbolic links followed). Two paths name the
// same file when either matches, so "./a.mp3", "/dir/a.mp3", a link to it and a hard link are one.
struct PathKey {
    std::string text;
    bool hasId = false;
    dev_t device = 0;
    ino_t inode = 0;
};

PathKey MakePathKey(const std::string& path);

// The set of files in the list, refusing duplicates by the platform's identity rules
// (case-sensitive names; the same file under another name is recognised).
class PathIndex {
public:
    bool Contains(const PathKey& key) const;
    bool Contains(const std::string& path) const { return Contains(MakePathKey(path)); }
    void Insert(const PathKey& key);
    void Erase(const PathKey& key);
    void Clear();
    size_t Size() const { return byText_.size(); }

private:
    std::multiset<std::string> byText_;
    std::multiset<std::pair<dev_t, ino_t>> byId_;
};

}  // namespace sonavert
