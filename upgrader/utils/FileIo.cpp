#include "FileIo.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace qx {
namespace upgrader {
namespace utils {

namespace {

// Pieces in which KeepLastLines reads and copies.
constexpr std::size_t kChunkSize = 4096;

int OpenRetrying(const char* path, int flags, mode_t mode) {
    int fd;
    do {
        fd = ::open(path, flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// Reads exactly count bytes at offset; false when the file ends first.
bool ReadAt(int fd, char* buffer, std::size_t count, off_t offset) {
    while (count > 0) {
        const ssize_t got = ::pread(fd, buffer, count, offset);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        buffer += got;
        count -= static_cast<std::size_t>(got);
        offset += got;
    }
    return true;
}

// Offset of the first byte of the last `lines` lines of the size bytes open
// at fd, as tail counts them: the line feed that ends the file ends its last
// line and begins no other.
bool FindLastLines(int fd, off_t size, unsigned int lines, off_t& start) {
    start = lines == 0 ? size : 0;
    bool last = true;
    unsigned int seen = 0;
    char buffer[kChunkSize];
    for (off_t end = size; end > 0 && lines > 0;) {
        const off_t begin = end > static_cast<off_t>(kChunkSize) ? end - kChunkSize : 0;
        const std::size_t count = static_cast<std::size_t>(end - begin);
        if (!ReadAt(fd, buffer, count, begin)) {
            return false;
        }
        for (std::size_t i = count; i-- > 0;) {
            const bool ending = buffer[i] == '\n' && !last;
            last = false;
            if (ending && ++seen == lines) {
                start = begin + static_cast<off_t>(i) + 1;
                return true;
            }
        }
        end = begin;
    }
    return true;
}

// Copies from the current position of in to its end.
bool CopyRest(int in, int out) {
    char buffer[kChunkSize];
    for (;;) {
        const ssize_t got = ::read(in, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return got == 0;
        }
        if (!WriteAll(out, buffer, static_cast<std::size_t>(got))) {
            return false;
        }
    }
}

}  // namespace

bool WriteAll(int fd, const void* data, std::size_t size) {
    const char* next = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t written = ::write(fd, next, size);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            if (written == 0) {
                errno = ENOSPC;
            }
            return false;
        }
        next += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

int CreateFreshFile(const char* path, int flags, unsigned int mode) {
    // unlink removes a link itself and refuses a directory.
    const int removeError = (::unlink(path) == 0 || errno == ENOENT) ? 0 : errno;
    const int fd = OpenRetrying(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | flags,
                                static_cast<mode_t>(mode));
    if (fd < 0 && errno == EEXIST && removeError != 0) {
        errno = removeError;  // why the path could not be freed says more
    }
    return fd;
}

int OpenOwnFileForAppend(const char* path, unsigned int mode) {
    // O_NONBLOCK: a FIFO standing there must not hold the open up.
    const int fd = OpenRetrying(path, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK,
                                static_cast<mode_t>(mode));
    if (fd >= 0) {
        struct stat info;
        if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::geteuid() &&
            info.st_nlink == 1) {
            return fd;  // O_NONBLOCK does not change how a regular file is written
        }
        ::close(fd);
    }
    return CreateFreshFile(path, O_APPEND, mode);
}

bool ClaimOwnFile(const char* path, unsigned int mode) {
    const int fd = OpenOwnFileForAppend(path, mode);
    return fd >= 0 && ::close(fd) == 0;
}

bool RemoveWrittenFile(const char* path, struct stat const& written) {
    struct stat now;
    if (::lstat(path, &now) != 0 || !S_ISREG(now.st_mode) || now.st_dev != written.st_dev ||
        now.st_ino != written.st_ino) {
        return false;
    }
    return ::unlink(path) == 0;
}

bool KeepLastLines(const char* path, const char* scratch, unsigned int lines) {
    const int in = OpenRetrying(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK, 0);
    if (in < 0) {
        return false;
    }
    struct stat info;
    off_t start = 0;
    if (::fstat(in, &info) != 0 || !S_ISREG(info.st_mode) ||
        !FindLastLines(in, info.st_size, lines, start) || ::lseek(in, start, SEEK_SET) < 0) {
        ::close(in);
        return false;
    }
    const int out = CreateFreshFile(scratch, 0, 0666);
    if (out < 0) {
        ::close(in);
        return false;
    }
    struct stat created;
    const bool known = ::fstat(out, &created) == 0;
    bool copied = known && CopyRest(in, out);
    ::close(in);
    if (::close(out) != 0) {
        copied = false;
    }
    if (copied && std::rename(scratch, path) == 0) {
        return true;
    }
    if (known) {
        RemoveWrittenFile(scratch, created);
    }
    return false;
}

}  // namespace utils
}  // namespace upgrader
}  // namespace qx
