#pragma once

#include <functional>
#include <string>

namespace qx {
namespace upgrader {
namespace utils {

// Byte counts are unsigned 32-bit. A figure of 4 GiB or more (free space of
// a large file system, size of a huge file) saturates at 0xFFFFFFFF instead
// of wrapping into a small number: a large disk must read as "plenty".
constexpr unsigned int kSaturatedSize = 0xFFFFFFFFu;

// Syncs, then stores the bytes available to unprivileged users of the file
// system holding path (f_bavail * f_bsize, saturated). False, freeBytes
// untouched, when the file system cannot be queried.
bool MountFreeSpace(std::string path, unsigned int& freeBytes);

// True when path (links followed) is a regular file.
bool FileExists(std::string const& path);

// True when path (links followed) is a directory.
bool DirectoryExists(std::string const& path);

// True for a regular file; size then holds its size (saturated).
bool FileSize(std::string const& path, unsigned int& size);

// Modification time of path (links followed), 0 when it cannot be queried.
long FileModificationTime(std::string const& path);

// chmod(path, mode); true when it succeeded.
bool SetPermissions(std::string const& path, unsigned int mode);

// Removes the entries of directory whose names select accepts ("." and ".."
// are never offered), each with everything it contains. Names are used
// whole, whatever bytes they hold. A link or any other non-directory goes by
// its own name; a directory is emptied through descriptors opened relative
// to their parents with O_NOFOLLOW and then removed, so the removal never
// follows a link and never leaves directory, even while others rename
// things inside it. Results are not examined: what cannot be removed stays.
void RemoveSelectedEntries(std::string const& directory,
                           std::function<bool(const char* name)> const& select);

}  // namespace utils
}  // namespace upgrader
}  // namespace qx
