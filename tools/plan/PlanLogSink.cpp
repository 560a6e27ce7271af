// upgrade-inspect's log sink. Every entry becomes a note of the in-memory
// device and grows the upgrade log there, as it would on the router (the
// cleanup plan reads both from there), and, when the tool asks for it (-v),
// a line on stderr. It never writes the device's log path.
#include "upgrader/memdevice/MemoryDevice.h"
#include "upgrader/utils/StderrLogSink.h"
#include "upgrader/utils/UpgradeLog.h"

namespace qx {
namespace upgrader {
namespace utils {

int LogToUpgradeLog(std::string const& message) {
    memdevice::RecordNote(message);
    if (memdevice::Exists(kUpgradeLogPath)) {
        memdevice::AppendText(kUpgradeLogPath, CurrentLogStamp() + message + '\n');
    }
    return WriteStderrLogEntry(message);
}

}  // namespace utils
}  // namespace upgrader
}  // namespace qx
