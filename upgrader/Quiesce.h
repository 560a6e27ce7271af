#pragma once

#include <string>

namespace qx {
namespace upgrader {

// Brings the device to rest: marker files, a one-second pause, sync, an
// interrupt to the service manager, the forced stops of the service stop
// list and the removal of stale uploads from /tmp/.
void QuiesceServices();

// The stale-upload clean-up command for the time quotient t (seconds since
// the epoch / 1000): every "ud*" entry directly in /tmp/ goes except those
// named after t, t - 1 and t + 1.
std::string StaleUploadCommand(unsigned int t);

// True when the board description names the refused revision (the word 12).
bool IsRejectedBoard();

}  // namespace upgrader
}  // namespace qx
