// The device program's log sink: entries go to the upgrade log file.
#include "upgrader/utils/UpgradeLog.h"

namespace qx {
namespace upgrader {
namespace utils {

int LogToUpgradeLog(std::string const& message) { return AppendLogEntry(kUpgradeLogPath, message); }

}  // namespace utils
}  // namespace upgrader
}  // namespace qx
