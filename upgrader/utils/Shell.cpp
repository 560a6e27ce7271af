// The real device's shell: every action runs as its command text.
#include "upgrader/utils/Shell.h"

#include <cstdlib>

namespace qx {
namespace upgrader {
namespace utils {

int Perform(Action const& action) { return std::system(CommandText(action).c_str()); }

}  // namespace utils
}  // namespace upgrader
}  // namespace qx
