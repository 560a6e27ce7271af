#include "upgrader/utils/Shell.h"

#include <cstdlib>

namespace qx {
namespace upgrader {
namespace utils {

int RunCommand(std::string const& command) { return std::system(command.c_str()); }

}  // namespace utils
}  // namespace upgrader
}  // namespace qx
