#pragma once

#include <string>
#include <vector>

// What the device offers the cleanup and the driver: file-system queries,
// removals, renames, directory listings and the start of small system
// files. Declared here and defined by exactly one device linked into each
// program: the device program links the real one (qx_device); tests and
// planning tools link the in-memory one (qx_memdevice, upgrader/memdevice/).
// Commands go through RunCommand (Shell.h), which each device defines too.
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

// unlink(path). True when the name is gone afterwards: removed now, or no
// longer there.
bool RemoveFile(std::string const& path);

// rename(from, to); true when it succeeded.
bool RenameFile(std::string const& from, std::string const& to);

// The names in directory path, in the order the directory yields them
// ("." and ".." included). False when it cannot be opened.
bool ListDirectory(std::string const& path, std::vector<std::string>& names);

// Opens path and reads its first bytes, at most limit, into bytes (empty
// when no byte could be read). False when path cannot be opened.
bool ReadFileStart(std::string const& path, std::size_t limit, std::string& bytes);

// Flushes the file-system buffers (sync).
void SyncFileSystems();

// Waits the given number of seconds.
void PauseSeconds(unsigned int seconds);

// Seconds since the epoch.
long CurrentTime();

}  // namespace utils
}  // namespace upgrader
}  // namespace qx
