// The host tools' log output: entries on standard error, switched on by the
// tool. Shared by the host log sinks; the device program never calls it.
#include <unistd.h>

#include "upgrader/utils/StderrLogSink.h"
#include "upgrader/utils/SystemCalls.h"
#include "upgrader/utils/UpgradeLog.h"

namespace qx {
namespace upgrader {
namespace utils {

namespace {
bool stderrLogEnabled = false;
}  // namespace

void EnableStderrLog(bool enabled) { stderrLogEnabled = enabled; }

int WriteStderrLogEntry(std::string const& message) {
    if (!stderrLogEnabled) {
        return 0;
    }
    std::string entry = CurrentLogStamp() + message + '\n';
    return WriteAll(STDERR_FILENO, entry.data(), entry.size()) ? 0 : -1;
}

}  // namespace utils
}  // namespace upgrader
}  // namespace qx
