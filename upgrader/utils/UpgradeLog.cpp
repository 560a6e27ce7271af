#include "UpgradeLog.h"

#include <unistd.h>

#include <cstdio>

#include "FileIo.h"

namespace qx {
namespace upgrader {
namespace utils {

std::string FormatLogStamp(std::tm const& local) {
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%d%02d%d %02d:%02d:%02d - ", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    return stamp;
}

std::string CurrentLogStamp() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    if (localtime_r(&now, &local) == nullptr) {
        return FormatLogStamp(std::tm{});
    }
    return FormatLogStamp(local);
}

int AppendLogEntry(const char* path, std::string const& message) {
    std::string entry = CurrentLogStamp();
    entry += message;
    entry += '\n';

    // The RAM disk can be written by everyone: an entry never goes through a
    // link or into a file someone else placed at the log's name.
    const int fd = OpenOwnFileForAppend(path, 0666);
    if (fd < 0) {
        return -1;
    }
    // One write keeps the entry whole in the file; a short write (full RAM
    // disk) goes on with the rest until the file system refuses.
    int status = WriteAll(fd, entry.data(), entry.size()) ? 0 : -1;
    if (::close(fd) != 0 && status == 0) {
        status = -1;
    }
    return status;
}

}  // namespace utils
}  // namespace upgrader
}  // namespace qx
