#pragma once
// How a target file comes to be: written under a temporary name in the folder it ends up in, and
// renamed to its final name only once it is complete, so that no half-written file ever carries
// a target's name. Temporaries left by a process that no longer runs are cleaned away.
#include <string>
#include <sys/types.h>

namespace sonavert {

// The file a conversion replaces when it overwrites `target`: the target itself, or for a
// symbolic link the file it finally leads to (the link stays as it is). Returns false with
// `reason` set when the link leads nowhere or the target is no regular file.
bool ReplacedFile(const std::string& target, std::string& file, std::string& reason);

// Creates an empty temporary file beside `besidePath` (in the same folder, named after its stem)
// that ends in `extension`, as "<stem>.sonavert-<pid>-<n><extension>" with the first free n; the
// stem is shortened when the name would exceed the file-name limit. The file exists exclusively
// for the caller from then on. Returns false with `reason` set when it cannot be created.
bool CreateTemporaryBeside(const std::string& besidePath, const std::string& extension, std::string& temporary,
                           std::string& reason);

// Gives a complete temporary its final name. A new target (`replaced` empty) never replaces a
// file that appeared under `finalPath` meanwhile; an overwrite renames over `replaced` at once,
// after giving the temporary the replaced file's permission bits (without set-user-ID and
// set-group-ID). On failure the temporary is removed and `reason` says why.
bool CommitTemporary(const std::string& temporary, const std::string& finalPath, const std::string& replaced,
                     std::string& reason);

// The process id in a temporary's file name ("song.sonavert-4242-1.mp3" gives 4242), or 0 when
// the name is not one of ours.
pid_t TemporaryOwner(const std::string& fileName);

// Removes the regular files in `folder` whose names are temporaries of processes that no longer
// run. Files of running processes, this one included, are left alone. Returns how many went.
int RemoveStaleTemporaries(const std::string& folder);

}  // namespace sonavert
