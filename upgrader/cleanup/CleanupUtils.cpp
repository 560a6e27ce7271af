#include "upgrader/cleanup/CleanupUtils.h"

#include <cstdio>

#include "upgrader/utils/FileSystem.h"
#include "upgrader/utils/UpgradeLog.h"

namespace qx {
namespace upgrader {
namespace cleanup {
namespace utils {

namespace {

using qx::upgrader::utils::FileExists;
using qx::upgrader::utils::FileModificationTime;
using qx::upgrader::utils::LogToUpgradeLog;
using qx::upgrader::utils::ReadFileStart;
using qx::upgrader::utils::RemoveFile;

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
        if (FileExists(name)) {
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
    const bool unlinked = RemoveFile(name);
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
    mtime = FileModificationTime(name);
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
    std::string kernel;
    if (!ReadFileStart("/proc/version", kVersionBufferSize, kernel)) {
        LogToUpgradeLog("Unable to open /proc/version");
        return false;
    }
    if (kernel.empty()) {
        LogToUpgradeLog("Unsuccessful read from /proc/version");
        return false;
    }
    // Only the bytes read count: the version line need not be terminated.
    matches = kernel.find(version) != std::string::npos;
    return true;
}

}  // namespace utils
}  // namespace cleanup
}  // namespace upgrader
}  // namespace qx
