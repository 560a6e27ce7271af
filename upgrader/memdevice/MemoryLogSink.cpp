// The in-memory device's log sink, linked by the in-process tests and by
// upgrade-inspect: each entry is recorded as a note of the device, appended
// to the upgrade log file in the tree (stamped with the device's time as
// UTC) when its directory is there, and shown on stderr when the tool asks
// for that (EnableStderrLog). It never writes the device's log path.
#include <ctime>

#include "upgrader/memdevice/MemoryDevice.h"
#include "upgrader/utils/FileSystem.h"
#include "upgrader/utils/StderrLogSink.h"
#include "upgrader/utils/UpgradeLog.h"

namespace qx {
namespace upgrader {
namespace utils {

int LogToUpgradeLog(std::string const& message) {
    memdevice::RecordNote(message);
    const std::time_t now = static_cast<std::time_t>(CurrentTime());
    std::tm utc{};
    gmtime_r(&now, &utc);
    const bool appended =
        memdevice::AppendText(kUpgradeLogPath, FormatLogStamp(utc) + message + '\n');
    const int shown = WriteStderrLogEntry(message);
    return appended ? shown : -1;
}

}  // namespace utils
}  // namespace upgrader
}  // namespace qx
