#pragma once
// Plain path and file-system helpers shared by the engine, the file list and the dialogs.
// Paths are UTF-8 byte strings with '/' as the separator. The separator and '.' are single
// ASCII bytes that never occur inside a multi-byte UTF-8 sequence, so byte-wise searching is
// safe for any file name.
#include <cstdint>
#include <string>

namespace sonavert {

// The text after the last '/', or the whole path when it has none.
std::string FileNamePart(const std::string& path);

// The last '.' after the last '/' together with what follows it (".mp3"), or an empty string
// when the file name has no dot ("/music/a.b/readme" gives "").
std::string ExtensionPart(const std::string& path);

// The folder of the running executable with a trailing '/', or an empty string when it cannot
// be determined.
std::string ExecutableFolder();

// True when something exists under the path. A symbolic link counts by itself, even when its
// target is missing, so that nothing is ever written through a dangling link.
bool PathExists(const std::string& path);

// True when the path exists and is (or links to) a directory.
bool DirectoryExists(const std::string& path);

// The size of a regular file in bytes (0 for other kinds of entry). Returns false, leaving
// `size` untouched, when the path cannot be examined.
bool FileSizeOf(const std::string& path, uint64_t& size);

// Returns true when `path` is an existing directory. Otherwise, with `create` set, creates every
// missing level from the left and returns true when all of them exist as directories afterwards;
// fails on a level that exists but is not a directory or that cannot be created.
bool EnsureFolder(const std::string& path, bool create);

// `path` made absolute (against the current folder) and normalised by its text alone: repeated
// '/' collapsed, "." dropped, ".." taking away the level before it (none above the root).
// Symbolic links are not resolved, so the result names what the user sees in the path.
std::string LexicallyAbsolute(const std::string& path);

// True when `path` lies strictly below `folder`, both taken by LexicallyAbsolute: a path built
// from a folder and names of its own never climbs out of it.
bool LiesInside(const std::string& path, const std::string& folder);

}  // namespace sonavert
