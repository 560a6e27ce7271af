#pragma once

#include <string>
#include <vector>

// Test log sink: LogToUpgradeLog appends each message (without stamp) here.
namespace qx {
namespace testing {

std::vector<std::string>& CapturedLog();
inline void ClearCapturedLog() { CapturedLog().clear(); }

}  // namespace testing
}  // namespace qx
