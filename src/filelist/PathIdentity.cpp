#include "filelist/PathIdentity.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace sonavert {

std::string AbsolutePath(const std::string& path) {
    std::string full;
    if (!path.empty() && path[0] == '/') {
        full = path;
    } else {
        std::vector<char> buf(4096);
        for (;;) {
            if (getcwd(buf.data(), buf.size())) {
                full = std::string(buf.data()) + "/" + path;
                break;
            }
            if (errno != ERANGE || buf.size() >= (1u << 20)) {
                full = path;  // no current folder: keep the relative text
                break;
            }
            buf.resize(buf.size() * 2);
        }
    }
    // Rebuild from the components, skipping empty ones and ".".
    std::string out;
    size_t start = 0;
    bool absolute = !full.empty() && full[0] == '/';
    while (start <= full.size()) {
        size_t slash = full.find('/', start);
        if (slash == std::string::npos) slash = full.size();
        std::string part = full.substr(start, slash - start);
        if (!part.empty() && part != ".") {
            if (!out.empty() || absolute) out += '/';
            out += part;
        }
        start = slash + 1;
    }
    if (out.empty() && absolute) out.push_back('/');
    return out;
}

PathKey MakePathKey(const std::string& path) {
    PathKey key;
    key.text = AbsolutePath(path);
    struct stat st;
    if (stat(path.c_str(), &st) == 0) {
        key.hasId = true;
        key.device = st.st_dev;
        key.inode = st.st_ino;
    }
    return key;
}

bool PathIndex::Contains(const PathKey& key) const {
    if (byText_.count(key.text)) return true;
    return key.hasId && byId_.count({key.device, key.inode});
}

void PathIndex::Insert(const PathKey& key) {
    byText_.insert(key.text);
    if (key.hasId) byId_.insert({key.device, key.inode});
}

void PathIndex::Erase(const PathKey& key) {
    auto t = byText_.find(key.text);
    if (t != byText_.end()) byText_.erase(t);
    if (key.hasId) {
        auto i = byId_.find({key.device, key.inode});
        if (i != byId_.end()) byId_.erase(i);
    }
}

void PathIndex::Clear() {
    byText_.clear();
    byId_.clear();
}

}  // namespace sonavert
