// The host tools' log sink: entries go to standard error when the tool asks
// for them, never to the device's upgrade log path. Host programs link this
// instead of the device sink, so the choice is made when linking and no
// device program can reach it.
#include "upgrader/utils/StderrLogSink.h"

#include "upgrader/utils/UpgradeLog.h"

namespace qx {
namespace upgrader {
namespace utils {

int LogToUpgradeLog(std::string const& message) { return WriteStderrLogEntry(message); }

}  // namespace utils
}  // namespace upgrader
}  // namespace qx
