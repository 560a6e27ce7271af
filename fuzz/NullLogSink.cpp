// Log sink of the fuzz targets: every entry is dropped. The reader logs the
// outer header's fields on each input; keeping them would only cost time.
#include "upgrader/utils/UpgradeLog.h"

namespace qx {
namespace upgrader {
namespace utils {

int LogToUpgradeLog(std::string const& /*message*/) { return 0; }

}  // namespace utils
}  // namespace upgrader
}  // namespace qx
