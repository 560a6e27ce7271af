#include "upgrader/utils/SystemCalls.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

namespace qx {
namespace upgrader {
namespace utils {

namespace {

// Moves through size bytes in pieces of whatever transfer(next, left, done)
// manages; a transfer of 0 bytes counts as a full file system.
template <typename Transfer>
bool TransferAll(const void* data, std::size_t size, Transfer transfer) {
    const char* next = static_cast<const char*>(data);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t moved = Retrying([&] { return transfer(next + done, size - done, done); });
        if (moved <= 0) {
            if (moved == 0) {
                errno = ENOSPC;
            }
            return false;
        }
        done += static_cast<std::size_t>(moved);
    }
    return true;
}

// close(2). Interrupted, it has closed the descriptor on Linux: success.
// Where an interrupted close left it open, the one more close this
// single-threaded program makes at once frees it (else it reports EBADF).
bool CloseDescriptor(int fd) {
    if (::close(fd) == 0) {
        return true;
    }
    if (errno != EINTR) {
        return false;
    }
    ::close(fd);
    return true;
}

// Tries at a fresh name before giving up; passes over a directory that is
// being emptied.
constexpr int kFreshNameAttempts = 64;
constexpr int kClearingPasses = 3;

// Reads the names of the directory open at fd ("." and ".." left out), all
// of them before anything is removed; fd stays open.
bool ReadNames(int fd, std::vector<std::string>& names) {
    const int listing = ::dup(fd);
    DIR* directory = listing < 0 ? nullptr : ::fdopendir(listing);
    if (directory == nullptr) {
        if (listing >= 0) {
            ::close(listing);
        }
        return false;
    }
    ::rewinddir(directory);
    while (const struct dirent* entry = ::readdir(directory)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
            names.push_back(entry->d_name);
        }
    }
    ::closedir(directory);
    return true;
}

// Moves the directory name of the directory open at parent to a fresh name
// there, renamed over an empty directory made for it (so nothing else is
// replaced), then removes it as far as it can.
bool MoveAsideAt(int parent, const char* name) {
    for (int attempt = 0; attempt < kFreshNameAttempts; ++attempt) {
        const std::string aside = FreshNameBeside(name, "aside");
        if (::mkdirat(parent, aside.c_str(), 0700) != 0) {
            if (errno == EEXIST) {
                continue;
            }
            return false;
        }
        if (::renameat(parent, name, parent, aside.c_str()) != 0) {
            ::unlinkat(parent, aside.c_str(), AT_REMOVEDIR);
            return false;
        }
        RemoveEntryAt(parent, aside.c_str());
        return true;
    }
    return false;
}

// Opens path for reading, never through a link, only when it still is the
// file described by info.
int OpenSameFile(const char* path, struct stat const& info) {
    Descriptor file(OpenFile(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK));
    struct stat now;
    if (!file.Valid() || ::fstat(file.Get(), &now) != 0) {
        return -1;
    }
    if (now.st_dev != info.st_dev || now.st_ino != info.st_ino) {
        errno = EAGAIN;
        return -1;
    }
    return file.Release();
}

}  // namespace

int OpenFile(const char* path, int flags, mode_t mode) {
    return Retrying([&] { return ::open(path, flags | O_CLOEXEC, mode); });
}

bool WriteAll(int fd, const void* data, std::size_t size) {
    return TransferAll(data, size, [fd](const char* next, std::size_t left, std::size_t) {
        return ::write(fd, next, left);
    });
}

bool PwriteAll(int fd, const void* data, std::size_t size, off_t offset) {
    return TransferAll(data, size,
                       [fd, offset](const char* next, std::size_t left, std::size_t done) {
                           return ::pwrite(fd, next, left, offset + static_cast<off_t>(done));
                       });
}

bool CopyRest(int in, int out) {
    char buffer[4096];
    for (;;) {
        const long got = ReadFully(in, buffer, sizeof buffer);
        if (got <= 0) {
            return got == 0;
        }
        if (!WriteAll(out, buffer, static_cast<std::size_t>(got))) {
            return false;
        }
    }
}

bool SyncFile(int fd) {
    return Retrying([fd] { return ::fsync(fd); }) == 0;
}

bool MeasureFreeSpace(const char* path, unsigned int& freeBytes) {
    ::sync();
    struct statvfs info;
    if (::statvfs(path, &info) != 0) {
        return false;
    }
    freeBytes = SaturatedSize(static_cast<unsigned long long>(info.f_bavail) *
                              static_cast<unsigned long long>(info.f_bsize));
    return true;
}

pid_t WaitForChild(pid_t pid, int& status) {
    return Retrying([&] { return ::waitpid(pid, &status, 0); });
}

int CreateFreshFile(const char* path, int flags, mode_t mode) {
    // unlink removes a link itself and refuses a directory.
    const int removeError = (::unlink(path) == 0 || errno == ENOENT) ? 0 : errno;
    const int fd = OpenFile(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | flags, mode);
    if (fd < 0 && errno == EEXIST && removeError != 0) {
        errno = removeError;  // why the path could not be freed says more
    }
    return fd;
}

bool IsOwnEntry(struct stat const& info, bool oneName) {
    const bool ownUser = info.st_uid == ::geteuid() || info.st_uid == ::getuid();
    const bool othersWrite = (info.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    const bool oneLink = !oneName || !S_ISREG(info.st_mode) || info.st_nlink == 1;
    return ownUser && !othersWrite && oneLink;
}

int OpenOwnFileForReading(const char* path, bool oneName) {
    Descriptor file(OpenFile(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK));
    struct stat info;
    if (!file.Valid() || ::fstat(file.Get(), &info) != 0) {
        return -1;
    }
    if (!IsOwnEntry(info, oneName)) {
        errno = EPERM;
        return -1;
    }
    const int status = ::fcntl(file.Get(), F_GETFL);
    if (status < 0 || ::fcntl(file.Get(), F_SETFL, status & ~O_NONBLOCK) < 0) {
        return -1;
    }
    return file.Release();
}

std::string FreshNameBeside(std::string const& path, const char* stem) {
    static unsigned int counter = 0;
    struct timespec now {};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    char name[80];
    std::snprintf(name, sizeof name, ".%s-%ld-%lx-%u", stem, static_cast<long>(::getpid()),
                  static_cast<unsigned long>(now.tv_nsec), counter++);
    const std::string::size_type slash = path.rfind('/');
    return (slash == std::string::npos ? "" : path.substr(0, slash + 1)) + name;
}

int CreateScratchBeside(std::string const& path, int flags, mode_t mode, std::string& scratch) {
    for (int attempt = 0; attempt < kFreshNameAttempts; ++attempt) {
        scratch = FreshNameBeside(path, "new");
        const int fd =
            OpenFile(scratch.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | flags, mode);
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
    }
    return -1;
}

void RemoveEntryAt(int parent, const char* name) {
    if (::unlinkat(parent, name, 0) == 0 || errno == ENOENT) {
        return;
    }
    // A directory (unlink refuses it): emptied through its own descriptor.
    const int fd = Retrying(
        [&] { return ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); });
    if (fd < 0) {
        return;
    }
    RemoveEntriesAt(fd, nullptr);
    ::unlinkat(parent, name, AT_REMOVEDIR);
}

void RemoveEntriesAt(int fd, std::function<bool(const char*)> const* select) {
    std::vector<std::string> names;
    if (!ReadNames(fd, names)) {
        ::close(fd);
        return;
    }
    for (const std::string& name : names) {
        if (select == nullptr || (*select)(name.c_str())) {
            RemoveEntryAt(fd, name.c_str());
        }
    }
    ::close(fd);
}

bool MoveDirectoryAside(std::string const& path) {
    const std::string::size_type slash = path.rfind('/');
    const std::string parentPath = slash == 0 ? "/" : path.substr(0, slash);
    Descriptor parent(OpenFile(parentPath.c_str(), O_RDONLY | O_DIRECTORY));
    return parent.Valid() && MoveAsideAt(parent.Get(), path.substr(slash + 1).c_str());
}

void ClearDirectoryAt(int fd) {
    for (int pass = 0; pass < kClearingPasses; ++pass) {
        std::vector<std::string> names;
        if (!ReadNames(fd, names) || names.empty()) {
            return;
        }
        for (const std::string& name : names) {
            if (::unlinkat(fd, name.c_str(), 0) != 0 && errno != ENOENT) {
                MoveAsideAt(fd, name.c_str());
            }
        }
    }
}

int ReplaceWithFreshFile(const char* path, int flags, mode_t mode, int earlier) {
    std::string scratch;
    Descriptor file(CreateScratchBeside(path, flags, mode, scratch));
    struct stat created;
    if (!file.Valid() || ::fstat(file.Get(), &created) != 0) {
        return -1;
    }
    if (earlier >= 0 && !CopyRest(earlier, file.Get())) {
        RemoveWrittenFile(scratch.c_str(), created);
        return -1;
    }
    bool placed = std::rename(scratch.c_str(), path) == 0;
    if (!placed && (errno == EISDIR || errno == ENOTEMPTY || errno == EEXIST)) {
        placed = MoveDirectoryAside(path) && std::rename(scratch.c_str(), path) == 0;
    }
    if (!placed) {
        RemoveWrittenFile(scratch.c_str(), created);
        return -1;
    }
    return file.Release();
}

int OpenOwnFileForAppend(const char* path, mode_t mode) {
    // O_NONBLOCK: a FIFO standing there must not hold the open up.
    Descriptor file(OpenFile(path, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK, mode));
    if (!file.Valid()) {
        // Only what stands there can be the reason to replace it: a link
        // (ELOOP), a FIFO without a reader or a socket (ENXIO), a directory
        // (EISDIR), or any of these or another user's file in a sticky
        // directory that protects them (EACCES on newer kernels). Any other
        // failure (EIO, EMFILE, ENOMEM, or an own file that cannot be
        // opened) says nothing about the file, which stays as it is.
        const int error = errno;
        struct stat standing;
        const bool replace = error == ELOOP || error == ENXIO || error == EISDIR ||
                             (error == EACCES && ::lstat(path, &standing) == 0 &&
                              !(S_ISREG(standing.st_mode) && standing.st_uid == ::geteuid()));
        if (!replace) {
            errno = error;
            return -1;
        }
        return ReplaceWithFreshFile(path, O_APPEND, mode);
    }
    struct stat info;
    if (::fstat(file.Get(), &info) != 0) {
        return -1;
    }
    const bool own = S_ISREG(info.st_mode) && info.st_uid == ::geteuid();
    if (own && info.st_nlink == 1) {
        return file.Release();  // O_NONBLOCK does not change how a regular file is written
    }
    file.Close();
    // A second name of the caller's own file: its lines go first.
    Descriptor earlier(own ? OpenSameFile(path, info) : -1);
    if (own && !earlier.Valid()) {
        return -1;
    }
    return ReplaceWithFreshFile(path, O_APPEND, mode, earlier.Get());
}

bool RemoveWrittenFile(const char* path, struct stat const& written) {
    struct stat now;
    if (::lstat(path, &now) != 0 || !S_ISREG(now.st_mode) || now.st_dev != written.st_dev ||
        now.st_ino != written.st_ino) {
        return false;
    }
    return ::unlink(path) == 0;
}

std::string ErrnoText(int error) { return std::strerror(error); }

Descriptor::~Descriptor() {
    if (fd >= 0) {
        const int saved = errno;
        CloseDescriptor(fd);
        errno = saved;
    }
}

Descriptor& Descriptor::operator=(Descriptor&& other) noexcept {
    if (this != &other) {
        Descriptor old(fd);
        fd = other.Release();
    }
    return *this;
}

int Descriptor::Release() {
    const int result = fd;
    fd = -1;
    return result;
}

// On Linux the descriptor is gone even when close was interrupted: EINTR is
// no failure, and retrying could close a descriptor opened meanwhile.
bool Descriptor::Close() { return CloseDescriptor(Release()); }

}  // namespace utils
}  // namespace upgrader
}  // namespace qx
