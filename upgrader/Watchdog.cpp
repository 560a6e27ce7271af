#include "upgrader/Watchdog.h"

#include "upgrader/utils/FileSystem.h"
#include "upgrader/utils/Shell.h"

namespace qx {
namespace upgrader {

namespace {

// The process name of the watchdog program is its path from the sixth
// character on (its file name for a program placed directly in /tmp/).
constexpr std::string::size_type kWatchdogNameOffset = 5;

}  // namespace

void StartWatchdogProgram(std::string const& watchdog) { utils::RunCommand(watchdog + " &"); }

void StopWatchdogProgram(std::string const& watchdog) {
    if (watchdog.size() >= kWatchdogNameOffset) {
        utils::RunCommand("pkill -9 " + watchdog.substr(kWatchdogNameOffset));
    }
    if (!watchdog.empty()) {
        utils::RemoveFile(watchdog);
    }
}

}  // namespace upgrader
}  // namespace qx
