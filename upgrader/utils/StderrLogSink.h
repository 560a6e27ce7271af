#pragma once

#include <string>

namespace qx {
namespace upgrader {
namespace utils {

// Host tools only: switches the stderr log output on or off. It starts off,
// so a tool shows the lines the device would log only when it asks for them
// (for instance for its -v option).
void EnableStderrLog(bool enabled);

// Writes one stamped entry to stderr when switched on. Result as for
// LogToUpgradeLog: 0 when written or switched off, -1 when the write failed.
int WriteStderrLogEntry(std::string const& message);

}  // namespace utils
}  // namespace upgrader
}  // namespace qx
