// The upgrade driver: one run carries out one upgrade, from taking over the
// upgrade log to handing the device to the system watchdog.
#include <sys/stat.h>

#include <optional>
#include <string>

#include "upgrader/AutoStart.h"
#include "upgrader/LogMoves.h"
#include "upgrader/Run.h"
#include "upgrader/Watchdog.h"
#include "upgrader/utils/FileSystem.h"
#include "upgrader/utils/Shell.h"
#include "upgrader/utils/UpgradeLog.h"

using qx::upgrader::utils::LogToUpgradeLog;
using qx::upgrader::utils::RunCommand;

namespace {

int SyncAndReboot(std::string const& watchdog, int code) {
    qx::upgrader::utils::SyncFileSystems();
    qx::upgrader::StopWatchdogProgram(watchdog);
    RunCommand("watchdog /dev/watchdog -T 5");
    return code;
}

}  // namespace

int main(int argc, char** argv) {
    // Whatever the starting shell's umask, no file of the run is writable by
    // others unless a mode says so.
    ::umask(022);
    qx::upgrader::MoveLogToRamDisk();
    LogToUpgradeLog(qx::upgrader::kBannerEntry);

    if (argc < 2) {
        const std::string programName = (argc > 0 && argv[0] != nullptr) ? argv[0] : "";
        LogToUpgradeLog(programName + ": No watchdog provided");
        qx::upgrader::MoveLogToFlash();
        return SyncAndReboot(std::string(), 0);
    }

    const std::string watchdog = argv[1];
    std::optional<qx::upgrader::cleanup::CleanupVQ740> cleanup;
    std::optional<qx::upgradeFile::UpgradeFile> reader;
    const int code = qx::upgrader::RunUpgrade(watchdog, cleanup, reader);
    // Every exit, not only the late ones: the restart after the hand-off
    // takes the RAM disk, and with it a log left there.
    qx::upgrader::MoveLogToFlash();
    EnableAutoStartBinaries();
    return SyncAndReboot(watchdog, code);
}
