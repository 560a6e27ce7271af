#pragma once

namespace qx {
namespace upgrader {

// Brings the device to rest: marker files, a one-second pause, sync, an
// interrupt to the service manager, the forced stops of the service stop
// list and the removal of stale uploads from /tmp/.
void QuiesceServices();

// Whether the entry of /tmp/ with this name is a stale upload at the time
// quotient t (seconds since the epoch / 1000): its name begins with "ud",
// but not with "ud" followed by t, t - 1 or t + 1 in decimal.
bool IsStaleUpload(const char* name, unsigned int t);

// True when the board description names the refused revision (the word 12).
bool IsRejectedBoard();

}  // namespace upgrader
}  // namespace qx
