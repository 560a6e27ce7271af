#include "upgrader/utils/SystemCalls.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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

pid_t WaitForChild(pid_t pid, int& status) {
    return Retrying([&] { return ::waitpid(pid, &status, 0); });
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

bool Descriptor::Close() { return ::close(Release()) == 0; }

}  // namespace utils
}  // namespace upgrader
}  // namespace qx
