// upgrade-inspect's log sink. Every entry becomes a note of the in-memory
// device (the cleanup plan reads the cleanup's stage entries from there) and,
// when the tool asks for it (-v), a line on stderr. It never writes the
// device's log path.
#include "upgrader/memdevice/MemoryDevice.h"
#include "upgrader/utils/StderrLogSink.h"
#include "upgrader/utils/UpgradeLog.h"

namespace qx {
namespace upgrader {
namespace utils {

int LogToUpgradeLog(std::string const& message) {
    memdevice::RecordNote(message);
    return WriteStderrLogEntry(message);
}

}  // namespace utils
}  // namespace upgrader
}  // namespace qx
