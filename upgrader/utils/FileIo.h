#pragma once

#include <cstddef>

namespace qx {
namespace upgrader {
namespace utils {

// Writes all size bytes to fd, going on after partial writes and retrying
// interrupted ones. False with errno set when a write fails; a write that
// makes no progress counts as a full file system (ENOSPC).
bool WriteAll(int fd, const void* data, std::size_t size);

}  // namespace utils
}  // namespace upgrader
}  // namespace qx
