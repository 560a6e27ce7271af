#include "upgrader/utils/UpgradeLog.h"

#include <cstdio>

#include "upgrader/utils/SystemCalls.h"

namespace qx {
namespace upgrader {
namespace utils {

std::string EscapeName(std::string const& name) {
    std::string escaped;
    escaped.reserve(name.size());
    for (const char c : name) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", byte);
            escaped += hex;
        } else {
            if (c == '\\') {
                escaped += '\\';
            }
            escaped += c;
        }
    }
    return escaped;
}

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
    Descriptor log(OpenOwnFileForAppend(path, 0666));
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
