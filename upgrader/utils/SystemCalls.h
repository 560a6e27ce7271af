#pragma once

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <functional>
#include <string>

// The one place where system calls are wrapped: interrupted calls are
// retried, partial transfers go on with the rest, and errno becomes text.
namespace qx {
namespace upgrader {
namespace utils {

// Byte counts are unsigned 32-bit. A figure of 4 GiB or more (free space of
// a large file system, size of a huge file) saturates at 0xFFFFFFFF instead
// of wrapping into a small number: a large disk must read as "plenty".
constexpr unsigned int kSaturatedSize = 0xFFFFFFFFu;

inline unsigned int SaturatedSize(unsigned long long value) {
    return value > kSaturatedSize ? kSaturatedSize : static_cast<unsigned int>(value);
}

// Syncs, then stores the bytes available to unprivileged users of the file
// system holding path (f_bavail * f_bsize, saturated). False, freeBytes
// untouched, when the file system cannot be queried.
bool MeasureFreeSpace(const char* path, unsigned int& freeBytes);

// Runs call until it is not interrupted by a signal.
template <typename Call>
auto Retrying(Call call) -> decltype(call()) {
    decltype(call()) result;
    do {
        result = call();
    } while (result < 0 && errno == EINTR);
    return result;
}

// open(2), retried while interrupted; close-on-exec is always added.
// Returns the descriptor, or -1 with errno set.
int OpenFile(const char* path, int flags, mode_t mode = 0);

// Reads up to count bytes, going on after partial reads. Returns the number
// of bytes read, below count only at the end of the file, or -1 with errno
// set when a read fails. Inline: the package reader calls it once per KiB.
inline long ReadFully(int fd, void* buffer, std::size_t count) {
    char* into = static_cast<char*>(buffer);
    std::size_t done = 0;
    while (done < count) {
        const ssize_t got = Retrying([&] { return ::read(fd, into + done, count - done); });
        if (got <= 0) {
            return got < 0 ? -1 : static_cast<long>(done);
        }
        done += static_cast<std::size_t>(got);
    }
    return static_cast<long>(done);
}

// Writes all size bytes to fd, going on after partial writes. False with
// errno set when a write fails; a write that makes no progress counts as a
// full file system (ENOSPC).
bool WriteAll(int fd, const void* data, std::size_t size);

// The same at a file position, leaving the descriptor's own position alone.
bool PwriteAll(int fd, const void* data, std::size_t size, off_t offset);

// Copies from the current position of in to its end onto out (ReadFully,
// WriteAll). False with errno set when a read or a write fails.
bool CopyRest(int in, int out);

// fsync(2), retried while interrupted. False with errno set when it failed.
bool SyncFile(int fd);

// Creates a new regular file at path that is the caller's own: whatever
// stands there first (a file, a link, a FIFO) is removed by its name, never
// through a link, then the file is created exclusively (O_CREAT | O_EXCL |
// O_NOFOLLOW) with mode less the umask and opened for writing with the
// extra flags. Nobody else holds it open, and only the mode decides who
// else may write to it. Returns the descriptor, or -1 with errno set: a
// directory stands at path (its removal's error, EISDIR), something was
// placed there again in between (EEXIST), or the file cannot be created.
int CreateFreshFile(const char* path, int flags, mode_t mode);

// True when info (lstat or fstat) describes something the run's own user
// may trust: owned by the user the program runs as or by the real user who
// started it, writable by no group and no other user, and (with oneName)
// for a regular file, known by this one name.
bool IsOwnEntry(struct stat const& info, bool oneName = true);

// Opens path for reading without following a link (ELOOP) or blocking on a
// FIFO, and only when what opened passes IsOwnEntry (else -1 with EPERM).
// The descriptor is back in blocking mode. Returns it, or -1 with errno set.
int OpenOwnFileForReading(const char* path, bool oneName = true);

// A name for a new entry beside path (same directory), made of stem, the
// process id and a counter: unlikely to be taken, but never secret, so
// whoever uses it creates it exclusively and tries another when taken.
std::string FreshNameBeside(std::string const& path, const char* stem);

// Creates a new empty regular file in the directory of path under a fresh
// name of its own (O_CREAT | O_EXCL, so never through a link; another name
// is tried when one is taken), with mode (less the umask), opened for
// writing with the extra flags. scratch receives its path. Renaming the
// scratch file over path later replaces a file, a link or a FIFO standing
// there in one step and never writes through it. Returns the descriptor,
// or -1 with errno set.
int CreateScratchBeside(std::string const& path, int flags, mode_t mode, std::string& scratch);

// Removes the entry name of the directory open at parent with everything
// it contains: anything but a directory by its own name; a directory
// through descriptors opened with O_DIRECTORY | O_NOFOLLOW relative to
// their parents, so nothing outside is touched even while others rename
// things inside. What cannot be removed stays.
void RemoveEntryAt(int parent, const char* name);

// Removes the entries of the directory open at fd that select accepts (all
// when select is null), each as RemoveEntryAt does, after reading all the
// names first; closes fd.
void RemoveEntriesAt(int fd, std::function<bool(const char*)> const* select);

// Takes the directory path out of the way: renamed to a fresh name beside
// it (over an empty directory made for that), then removed as far as it
// can be (RemoveEntryAt). Its owner may go on filling it; its name is free
// either way. False when path is not a directory or could not be moved.
bool MoveDirectoryAside(std::string const& path);

// Empties the directory open at fd: every entry goes by its name; each
// directory is first moved aside within it (MoveDirectoryAside), then
// removed. A few passes, for entries created while the first was running.
void ClearDirectoryAt(int fd);

// Makes a new regular file of the caller's own at path, opened for writing
// with the extra flags (mode less the umask): created under a fresh name
// beside path and renamed over it, so a file, a link or a FIFO standing
// there is replaced at once; a directory there is moved aside first. With
// earlier open (not -1), the rest of earlier is copied into the new file
// before it takes the name, so the name never stands for fewer bytes.
// Returns the descriptor, or -1 with errno set (the new file is then gone
// again and what stood at path stays).
int ReplaceWithFreshFile(const char* path, int flags, mode_t mode, int earlier = -1);

// Opens path for appending, creating it (mode less the umask) when missing,
// as long as it is the caller's own regular file: owned by the effective
// user and known by this one name. Anything else standing there (a link,
// a FIFO, a directory, another user's file, a second name) is replaced by a
// fresh file (ReplaceWithFreshFile). A second name costs no bytes: when what
// stands there is the caller's own regular file, the fresh file starts with
// its content. Nothing is taken from anything else (a link's target, a
// planted file). Any other failure of the open or of the fstat that follows
// (EACCES, EIO, EMFILE, ENOMEM) leaves what stands there alone. Returns the
// descriptor, or -1 with errno set.
int OpenOwnFileForAppend(const char* path, mode_t mode);

// Removes path when it names, without following a link, the regular file
// that written describes (fstat of the descriptor it was written through).
// Takes back the partial output of a failed write; a path that now leads
// anywhere else is left alone.
bool RemoveWrittenFile(const char* path, struct stat const& written);

// waitpid(2) for one child, retried while interrupted. Returns pid or -1.
pid_t WaitForChild(pid_t pid, int& status);

// The C library's text for an error number.
std::string ErrnoText(int error);

// Owns one open descriptor and closes it when it goes out of scope, keeping
// the errno of whatever failure is being reported.
class Descriptor {
  public:
    explicit Descriptor(int descriptor = -1) : fd(descriptor) {}
    ~Descriptor();
    Descriptor(Descriptor&& other) noexcept : fd(other.Release()) {}
    Descriptor& operator=(Descriptor&& other) noexcept;
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int Get() const { return fd; }
    bool Valid() const { return fd >= 0; }
    // Gives the descriptor up without closing it.
    int Release();
    // Closes now; false with errno set when close reported an error (some
    // file systems only report a failed write there). An interrupted close
    // has closed the descriptor too and counts as success.
    bool Close();

  private:
    int fd;
};

}  // namespace utils
}  // namespace upgrader
}  // namespace qx
