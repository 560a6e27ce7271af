// upgrade-inspect's log sink. Every entry becomes a note of the in-memory
// device: the cleanup plan reads the cleanup's stage entries from there.
// Like the other host tools' sink it also writes the entry to stderr unless
// QX_LOG_QUIET is set, and never writes the device's log path.
#include <unistd.h>

#include <cstdlib>

#include "upgrader/memdevice/MemoryDevice.h"
#include "upgrader/utils/SystemCalls.h"
#include "upgrader/utils/UpgradeLog.h"

namespace qx {
namespace upgrader {
namespace utils {

int LogToUpgradeLog(std::string const& message) {
    memdevice::RecordNote(message);
    if (std::getenv("QX_LOG_QUIET") != nullptr) {
        return 0;
    }
    const std::string entry = CurrentLogStamp() + message + '\n';
    return WriteAll(STDERR_FILENO, entry.data(), entry.size()) ? 0 : -1;
}

}  // namespace utils
}  // namespace upgrader
}  // namespace qx
