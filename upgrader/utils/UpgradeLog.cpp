#include "upgrader/utils/UpgradeLog.h"

#include <fcntl.h>

#include <cstdio>

#include "upgrader/utils/SystemCalls.h"

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

    Descriptor log(OpenFile(path, O_WRONLY | O_APPEND | O_CREAT, 0666));
    if (!log.Valid()) {
        return -1;
    }
    // The entry goes in one write as a rule; a short write (full RAM disk)
    // goes on with the rest until the file system refuses.
    const bool written = WriteAll(log.Get(), entry.data(), entry.size());
    return log.Close() && written ? 0 : -1;
}

}  // namespace utils
}  // namespace upgrader
}  // namespace qx
