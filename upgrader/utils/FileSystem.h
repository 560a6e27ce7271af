#pragma once

#include <functional>
#include <string>
#include <vector>

#include "upgrader/utils/SystemCalls.h"

// What the device offers the cleanup and the driver: file-system queries,
// removals, renames, directory listings and the start of small system
// files. Declared here and defined by exactly one device linked into each
// program: the device program links the real one (qx_device); tests and
// planning tools link the in-memory one (qx_memdevice, upgrader/memdevice/).
// Commands go through RunCommand (Shell.h), which each device defines too.
namespace qx {
namespace upgrader {
namespace utils {

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

// Removes the entries of directory whose names select accepts ("." and ".."
// are never offered), each with everything it contains. Names are used
// whole, whatever bytes they hold. A link or any other non-directory goes by
// its own name; a directory is emptied through descriptors opened relative
// to their parents with O_NOFOLLOW and then removed, so the removal never
// follows a link and never leaves directory, even while others rename
// things inside it. Results are not examined: what cannot be removed stays.
void RemoveSelectedEntries(std::string const& directory,
                           std::function<bool(const char* name)> const& select);

// Makes path name the caller's own regular file and leaves it closed: an own
// file (owned by the effective user, known by this one name) keeps its
// content; anything else standing there (a link, a FIFO, another user's
// file) is replaced by a fresh empty file created exclusively with mode
// less the umask (OpenOwnFileForAppend, SystemCalls.h). A name taken this
// way before a shell command writes there cannot be replaced by anyone else
// in a sticky directory. True when path is then the caller's own file.
bool ClaimOwnFile(std::string const& path, unsigned int mode);

// Leaves the file at path with only its last `lines` lines (a last line
// without a line feed counts), as "tail -n LINES PATH > SCRATCH" followed by
// "mv SCRATCH PATH" would, but never through a link at either name: the
// lines go to a fresh file at scratch (CreateFreshFile, mode 0666 less the
// umask), which is then renamed over path. False when path cannot be read
// or scratch not written; path then keeps its content and no scratch file
// is left behind by this call.
bool KeepLastLines(std::string const& path, std::string const& scratch, unsigned int lines);

// Appends the caller's own regular file at from (not a link, owned by the
// effective user, known by this one name) to the end of the file at to,
// created when missing (as OpenOwnFileForAppend makes it, mode 0666 less the
// umask), syncs it and only then removes from. True when no file of the
// caller's is left at from: there was none (anything else standing there is
// left alone), or it was appended and removed. False when from could not be
// examined, read or removed or to not written; to then keeps its former
// bytes.
bool AppendOwnFileOnto(std::string const& from, std::string const& to);

}  // namespace utils
}  // namespace upgrader
}  // namespace qx
