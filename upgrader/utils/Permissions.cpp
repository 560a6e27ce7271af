#include "upgrader/utils/Permissions.h"

#include <sys/stat.h>
#include <unistd.h>

#include <sstream>

#include "upgrader/utils/UpgradeLog.h"

namespace qx {
namespace upgrader {
namespace utils {

namespace {
constexpr unsigned int kPermissionBits = 0777;
constexpr size_t kLinkBufferSize = 64;
}  // namespace

bool VerifyPermissions(std::string const& path, unsigned int mode, bool logFailures) {
    struct stat info;
    bool readable = ::stat(path.c_str(), &info) == 0;
    unsigned int actual = readable ? (info.st_mode & kPermissionBits) : 0;
    if (logFailures) {
        if (!readable) {
            LogToUpgradeLog("Unable to stat " + path);
        } else if (actual != mode) {
            std::ostringstream message;
            message << "Expected permissions " << mode << "\nActual permissions " << actual;
            LogToUpgradeLog(message.str());
        }
    }
    return readable && actual == mode;
}

bool LinkExists(std::string const& path, bool logFailures) {
    struct stat info;
    bool readable = ::lstat(path.c_str(), &info) == 0;
    bool isLink = readable && (info.st_mode & S_IFMT) == S_IFLNK;
    if (logFailures) {
        if (!readable) {
            LogToUpgradeLog("Unable to lstat " + path);
        } else if (!isLink) {
            std::ostringstream message;
            message << "Link " << path << " has mode " << static_cast<unsigned int>(info.st_mode);
            LogToUpgradeLog(message.str());
        }
    }
    return isLink;
}

bool VerifyLink(std::string const& path, std::string const& target, bool logFailures) {
    char buffer[kLinkBufferSize];
    ssize_t length = ::readlink(path.c_str(), buffer, sizeof buffer);
    if (length <= 0) {
        if (logFailures) {
            LogToUpgradeLog("Unable to read link from " + path);
        }
        return false;
    }
    std::string current(buffer, static_cast<size_t>(length));
    if (current == target) {
        return true;
    }
    if (logFailures) {
        LogToUpgradeLog("Current Target is " + current + "\nExpected Target is " + target);
    }
    return false;
}

}  // namespace utils
}  // namespace upgrader
}  // namespace qx
