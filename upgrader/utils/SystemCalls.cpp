#include "upgrader/utils/SystemCalls.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

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

bool IsOwnEntry(struct stat const& info) {
    const bool ownUser = info.st_uid == ::geteuid() || info.st_uid == ::getuid();
    const bool othersWrite = (info.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    return ownUser && !othersWrite && (!S_ISREG(info.st_mode) || info.st_nlink == 1);
}

int OpenOwnFileForReading(const char* path) {
    Descriptor file(OpenFile(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK));
    struct stat info;
    if (!file.Valid() || ::fstat(file.Get(), &info) != 0) {
        return -1;
    }
    if (!IsOwnEntry(info)) {
        errno = EPERM;
        return -1;
    }
    const int status = ::fcntl(file.Get(), F_GETFL);
    if (status < 0 || ::fcntl(file.Get(), F_SETFL, status & ~O_NONBLOCK) < 0) {
        return -1;
    }
    return file.Release();
}

int CreateScratchBeside(std::string const& path, int flags, mode_t mode, std::string& scratch) {
    const std::string::size_type slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    // Names need not be secret: one someone else took is simply passed by.
    static unsigned int counter = 0;
    struct timespec now {};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    for (int attempt = 0; attempt < 64; ++attempt) {
        char name[64];
        std::snprintf(name, sizeof name, ".new-%ld-%lx-%u", static_cast<long>(::getpid()),
                      static_cast<unsigned long>(now.tv_nsec), counter++);
        scratch = directory + name;
        const int fd =
            OpenFile(scratch.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | flags, mode);
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
    }
    return -1;
}

int OpenOwnFileForAppend(const char* path, mode_t mode) {
    // O_NONBLOCK: a FIFO standing there must not hold the open up.
    Descriptor file(OpenFile(path, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK, mode));
    if (!file.Valid()) {
        // Only what stands there can be the reason to replace it: a link
        // (ELOOP), a FIFO without a reader or a socket (ENXIO), a directory
        // (EISDIR). Any other failure (EACCES, EIO, EMFILE, ENOMEM) says
        // nothing about the file, which stays as it is.
        const int error = errno;
        if (error != ELOOP && error != ENXIO && error != EISDIR) {
            return -1;
        }
        return CreateFreshFile(path, O_APPEND, mode);
    }
    struct stat info;
    if (::fstat(file.Get(), &info) != 0) {
        return -1;
    }
    if (S_ISREG(info.st_mode) && info.st_uid == ::geteuid() && info.st_nlink == 1) {
        return file.Release();  // O_NONBLOCK does not change how a regular file is written
    }
    file.Close();
    return CreateFreshFile(path, O_APPEND, mode);
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
        ::close(fd);
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
bool Descriptor::Close() { return ::close(Release()) == 0 || errno == EINTR; }

}  // namespace utils
}  // namespace upgrader
}  // namespace qx
