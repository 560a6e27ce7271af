#pragma once

#include <string>

namespace qx {
namespace upgrader {

// Deletes the package, rebuilds the RAM disk (mounted with mode 0755) and
// takes it for root alone (SecureFreshMount), moves the log and the three
// extracted files onto it and runs the validator; the marker /etc/upgrade_started goes only when
// the validator succeeds. False, with the RAM disk left as it is, when the
// log could not be brought back to the flash before the unmount.
bool StageAndValidate(std::string const& packagePath);

}  // namespace upgrader
}  // namespace qx
