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
// Actions done through the shell go through Perform (Shell.h), which each
// device defines too.
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
// content; anything else standing there (a link, a FIFO, a directory,
// another user's file) is replaced by a fresh empty file created with mode
// less the umask (OpenOwnFileForAppend, SystemCalls.h). A name taken this
// way before a shell command writes there cannot be replaced by anyone else
// in a sticky directory. True when path is then the caller's own file.
bool ClaimOwnFile(std::string const& path, unsigned int mode);

// Leaves the file at path with only its last `lines` lines (a last line
// without a line feed counts), as "tail -n LINES PATH > SCRATCH" followed by
// "mv SCRATCH PATH" would, but never through a link at either name and never
// at a fixed scratch name that anyone could take first: the lines go to a
// fresh file created exclusively beside path under a name of its own
// (CreateScratchBeside, mode 0666 less the umask), which is then renamed
// over path. False when path cannot be read or the scratch file not
// written; path then keeps its content and no scratch file is left behind.
bool KeepLastLines(std::string const& path, unsigned int lines);

// True when the entry path itself (lstat: a link is not followed) is the
// run's own (IsOwnEntry of SystemCalls.h, a second name allowed: that is
// for the file opened to judge). Otherwise reason names what it is: "a
// link", "another user's", "writable by others" or, when it cannot be
// examined, "gone".
bool CheckOwnEntry(std::string const& path, std::string& reason);

// Identifies the file system that holds path (stat, links followed). False
// when path cannot be examined.
bool FileSystemOf(std::string const& path, unsigned long long& id);

// Takes the directory path (no trailing slash), just mounted, for the
// caller alone before anything is placed in it: opened with O_DIRECTORY |
// O_NOFOLLOW, it must be the new mount, i.e. on a file system other than
// its parent's and either other than previous (the one there before) or
// known to be mounted anew (mounted: the mount command succeeded; the
// kernel hands a freed device number to the next mount, so an equal number
// alone proves nothing). It then gets mode 0755 and everything already in
// it is removed through the descriptor (ClearDirectoryAt). False, nothing
// changed, when it is not such a mount.
bool SecureFreshMount(std::string const& path, unsigned long long previous, bool mounted);

// Moves the file from to the name to, in process, never through a link and
// never leaving to without a whole file: from must be the run's own regular
// file (OpenOwnFileForReading, a second name allowed). rename where it
// works; across file systems, a copy (mode and times kept) is written to a
// fresh file beside to, synced and renamed over to, and only then is from
// removed. A file, link or FIFO at to is replaced; a directory there fails
// the move. False when nothing moved: from then stays as it was.
bool MoveFile(std::string const& from, std::string const& to);

// The upgrade log's moves: as MoveFile, but a directory at to is moved
// aside first (MoveDirectoryAside) so the log always takes its name; with
// keepEarlier, a log of the run's own already at to (left there when an
// earlier move could not be made) keeps its lines and the moved ones follow
// them.
bool MoveUpgradeLog(std::string const& from, std::string const& to, bool keepEarlier);

}  // namespace utils
}  // namespace upgrader
}  // namespace qx
