// The host tools' log sink: entries go to standard error, never to the
// device's upgrade log path. Host programs link this instead of the device
// sink, so the choice is made when linking and no device program can reach it.
#include "upgrader/utils/StderrLogSink.h"

#include <unistd.h>

#include "upgrader/utils/SystemCalls.h"
#include "upgrader/utils/UpgradeLog.h"

namespace qx {
namespace upgrader {
namespace utils {

namespace {
bool stderrLogEnabled = false;
}  // namespace

void EnableStderrLog(bool enabled) { stderrLogEnabled = enabled; }

int LogToUpgradeLog(std::string const& message) {
    if (!stderrLogEnabled) {
        return 0;
    }
    std::string entry = CurrentLogStamp() + message + '\n';
    return WriteAll(STDERR_FILENO, entry.data(), entry.size()) ? 0 : -1;
}

}  // namespace utils
}  // namespace upgrader
}  // namespace qx
