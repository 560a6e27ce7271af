#include "support/CaptureLog.h"

#include "upgrader/utils/UpgradeLog.h"

namespace qx {
namespace testing {

std::vector<std::string>& CapturedLog() {
    static std::vector<std::string> entries;
    return entries;
}

}  // namespace testing

namespace upgrader {
namespace utils {

int LogToUpgradeLog(std::string const& message) {
    qx::testing::CapturedLog().push_back(message);
    return 0;
}

}  // namespace utils
}  // namespace upgrader
}  // namespace qx
