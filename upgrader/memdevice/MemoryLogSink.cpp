// The in-memory device's log sink: each entry is recorded as a note and
// appended to the upgrade log file in the tree.
#include <ctime>

#include "upgrader/memdevice/MemoryDevice.h"
#include "upgrader/utils/FileSystem.h"
#include "upgrader/utils/UpgradeLog.h"

namespace qx {
namespace upgrader {
namespace utils {

int LogToUpgradeLog(std::string const& message) {
    memdevice::RecordNote(message);
    const std::time_t now = static_cast<std::time_t>(CurrentTime());
    std::tm utc{};
    gmtime_r(&now, &utc);
    return memdevice::AppendText(kUpgradeLogPath, FormatLogStamp(utc) + message + '\n') ? 0 : -1;
}

}  // namespace utils
}  // namespace upgrader
}  // namespace qx
