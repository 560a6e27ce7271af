#pragma once

#include <sys/stat.h>

#include <cstddef>

namespace qx {
namespace upgrader {
namespace utils {

// Writes all size bytes to fd, going on after partial writes and retrying
// interrupted ones. False with errno set when a write fails; a write that
// makes no progress counts as a full file system (ENOSPC).
bool WriteAll(int fd, const void* data, std::size_t size);

// Creates a new regular file at path that is the caller's own: whatever
// stands there first (a file, a link, a FIFO) is removed by its name, never
// through a link, then the file is created exclusively (O_CREAT | O_EXCL |
// O_NOFOLLOW) with mode less the umask and opened for writing with the
// extra flags. Nobody else holds it open, and only the mode decides who
// else may write to it. Returns the descriptor, or -1 with errno set: a
// directory stands at path (its removal's error, EISDIR), something was
// placed there again in between (EEXIST), or the file cannot be created.
int CreateFreshFile(const char* path, int flags, unsigned int mode);

// Opens path for appending, creating it (mode less the umask) when missing,
// as long as it is the caller's own regular file: owned by the effective
// user and known by this one name. Anything else standing there (a link,
// a FIFO, another user's file, a second name of some other file) is
// replaced by a fresh file as CreateFreshFile makes it. Returns the
// descriptor, or -1 with errno set.
int OpenOwnFileForAppend(const char* path, unsigned int mode);

// Makes path name the caller's own regular file, as OpenOwnFileForAppend
// opens it, and closes it again: an own file keeps its content, anything
// else standing there is replaced by a fresh empty file. A name taken this
// way before a shell command writes there cannot be replaced by anyone else
// in a sticky directory. True when path is then the caller's own file.
bool ClaimOwnFile(const char* path, unsigned int mode);

// Removes path when it names, without following a link, the regular file
// that written describes (fstat of the descriptor it was written through).
// Takes back the partial output of a failed write; a path that now leads
// anywhere else is left alone.
bool RemoveWrittenFile(const char* path, struct stat const& written);

// Leaves the file at path with only its last `lines` lines (a last line
// without a line feed counts), as "tail -n LINES PATH > SCRATCH" followed by
// "mv SCRATCH PATH" would, but never through a link at either name: the
// lines go to a fresh file at scratch (CreateFreshFile, mode 0666 less the
// umask), which is then renamed over path. False when path cannot be read
// or scratch not written; path then keeps its content and no scratch file
// is left behind by this call.
bool KeepLastLines(const char* path, const char* scratch, unsigned int lines);

}  // namespace utils
}  // namespace upgrader
}  // namespace qx
