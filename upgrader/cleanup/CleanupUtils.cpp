#include "CleanupUtils.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "upgrader/utils/FileSystem.h"
#include "upgrader/utils/UpgradeLog.h"

namespace qx {
namespace upgrader {
namespace cleanup {
namespace utils {

namespace {

// Longest name: /home/logs/log-09999.txt.gz (27 characters).
constexpr std::size_t kNameBufferSize = 32;
constexpr std::size_t kVersionBufferSize = 128;

struct FamilyNames {
    const char* format;
    int first;
    int last;  // inclusive
};

constexpr FamilyNames kFamilies[kRotatedLogFamilyCount] = {
    {"/home/logs/log-%05d.txt.gz", 0, 9999},
    {"/var/log/messages.%d.gz", 50, 1},
    {"/var/log/sys.log.%d.gz", 50, 1},
};

// Formats the family's names in its order and stops at the first regular
// file. One stat per name tried; nothing else touches the file system.
bool FindEarliestName(RotatedLogFamily family, char (&name)[kNameBufferSize]) {
    const FamilyNames& names = kFamilies[static_cast<int>(family)];
    const int step = names.first <= names.last ? 1 : -1;
    for (int number = names.first;; number += step) {
        std::snprintf(name, kNameBufferSize, names.format, number);
        if (qx::upgrader::utils::FileExists(name)) {
            return true;
        }
        if (number == names.last) {
            return false;
        }
    }
}

bool UnlinkEarliest(RotatedLogFamily family, bool* removed) {
    char name[kNameBufferSize];
    if (!FindEarliestName(family, name)) {
        return false;
    }
    const bool unlinked = ::unlink(name) == 0 || errno == ENOENT;
    if (removed != nullptr) {
        *removed = unlinked;
    }
    return true;
}

}  // namespace

bool FindEarliestRotatedLogTime(RotatedLogFamily family, long& mtime) {
    char name[kNameBufferSize];
    if (!FindEarliestName(family, name)) {
        return false;
    }
    mtime = qx::upgrader::utils::FileModificationTime(name);
    return true;
}

bool UnlinkEarliestRotatedLog(RotatedLogFamily family, bool& removed) {
    return UnlinkEarliest(family, &removed);
}

bool FindEarliestVarLogSyslogTime(long& mtime) {
    return FindEarliestRotatedLogTime(RotatedLogFamily::Syslog, mtime);
}

bool FindEarliestVarLogMessageTime(long& mtime) {
    return FindEarliestRotatedLogTime(RotatedLogFamily::Messages, mtime);
}

bool FindEarliestHomeLogTime(long& mtime) {
    return FindEarliestRotatedLogTime(RotatedLogFamily::HomeLog, mtime);
}

bool UnlinkEarliestVarLogSyslogTime() { return UnlinkEarliest(RotatedLogFamily::Syslog, nullptr); }

bool UnlinkEarliestVarLogMessage() { return UnlinkEarliest(RotatedLogFamily::Messages, nullptr); }

bool UnlinkEarliestHomeLogFile() { return UnlinkEarliest(RotatedLogFamily::HomeLog, nullptr); }

bool ChooseRotatedLogFamily(const bool (&found)[kRotatedLogFamilyCount],
                            const long (&mtime)[kRotatedLogFamilyCount], RotatedLogFamily& chosen) {
    int best = -1;
    int firstFound = -1;
    for (int i = 0; i < kRotatedLogFamilyCount; ++i) {
        if (!found[i]) {
            continue;
        }
        if (firstFound < 0) {
            firstFound = i;
        }
        // Strictly smaller only: on a tie the earlier family keeps its place.
        if (mtime[i] != 0 && (best < 0 || mtime[i] < mtime[best])) {
            best = i;
        }
    }
    if (best < 0) {
        best = firstFound;
    }
    if (best < 0) {
        return false;
    }
    chosen = static_cast<RotatedLogFamily>(best);
    return true;
}

bool MatchesKernelVersion(std::string const& version, bool& matches) {
    int fd;
    do {
        fd = ::open("/proc/version", O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        qx::upgrader::utils::LogToUpgradeLog("Unable to open /proc/version");
        return false;
    }
    char buffer[kVersionBufferSize];
    std::memset(buffer, 0, sizeof buffer);
    ssize_t got;
    do {
        got = ::read(fd, buffer, sizeof buffer);
    } while (got < 0 && errno == EINTR);
    ::close(fd);
    if (got <= 0) {
        qx::upgrader::utils::LogToUpgradeLog("Unsuccessful read from /proc/version");
        return false;
    }
    // Only the bytes read count: the version line need not be terminated.
    const std::string kernel(buffer, static_cast<std::size_t>(got));
    matches = kernel.find(version) != std::string::npos;
    return true;
}

}  // namespace utils
}  // namespace cleanup
}  // namespace upgrader
}  // namespace qx
