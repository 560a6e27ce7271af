#pragma once

#include <string>

namespace qx {
namespace upgrader {
namespace utils {

// True when stat(path) succeeds and its nine permission bits equal mode.
// With logFailures, a negative verdict is explained in the upgrade log.
bool VerifyPermissions(std::string const& path, unsigned int mode, bool logFailures);

// True when path itself (lstat) is a symbolic link.
bool LinkExists(std::string const& path, bool logFailures);

// True when the symbolic link path points to exactly target (the first 64
// bytes of the link's target are compared).
bool VerifyLink(std::string const& path, std::string const& target, bool logFailures);

}  // namespace utils
}  // namespace upgrader
}  // namespace qx
