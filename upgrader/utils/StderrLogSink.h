#pragma once

namespace qx {
namespace upgrader {
namespace utils {

// Host tools only: switches the stderr log sink on or off. It starts off, so
// a tool shows the lines the device would log only when it asks for them
// (for instance for its -v option).
void EnableStderrLog(bool enabled);

}  // namespace utils
}  // namespace upgrader
}  // namespace qx
