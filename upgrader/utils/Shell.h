#pragma once

#include <string>

namespace qx {
namespace upgrader {
namespace utils {

// Runs a command text with the system shell (system(3)) and returns the
// value system() returned: -1 when no shell could be started, otherwise a
// wait status.
int RunCommand(std::string const& command);

// Bits 8 to 15 of a system() value: the command's exit status when the
// shell ran. -1 yields 255 (all bits set).
inline int CommandExitBits(int status) { return (status >> 8) & 0xff; }

}  // namespace utils
}  // namespace upgrader
}  // namespace qx
