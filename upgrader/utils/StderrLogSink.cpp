// The host tools' log sink: entries go to standard error, never to the
// device's upgrade log path. Host programs link this instead of the device
// sink, so the choice is made when linking and no device program can reach it.
#include <unistd.h>

#include <cstdlib>

#include "upgrader/utils/SystemCalls.h"
#include "upgrader/utils/UpgradeLog.h"

namespace qx {
namespace upgrader {
namespace utils {

int LogToUpgradeLog(std::string const& message) {
    // QX_LOG_QUIET silences the sink for scripts that only want results.
    if (std::getenv("QX_LOG_QUIET") != nullptr) {
        return 0;
    }
    std::string entry = CurrentLogStamp() + message + '\n';
    return WriteAll(STDERR_FILENO, entry.data(), entry.size()) ? 0 : -1;
}

}  // namespace utils
}  // namespace upgrader
}  // namespace qx
