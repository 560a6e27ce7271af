#include "FileIo.h"

#include <unistd.h>

#include <cerrno>

namespace qx {
namespace upgrader {
namespace utils {

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

}  // namespace utils
}  // namespace upgrader
}  // namespace qx
