// The upgrade driver: one run carries out one upgrade, from taking over the
// upgrade log to handing the device to the system watchdog.
#include <unistd.h>

#include <optional>
#include <string>

#include "upgradeFile/UpgradeFile.h"
#include "upgrader/AutoStart.h"
#include "upgrader/Quiesce.h"
#include "upgrader/Staging.h"
#include "upgrader/cleanup/CleanupVQ740.h"
#include "upgrader/utils/FileIo.h"
#include "upgrader/utils/Shell.h"
#include "upgrader/utils/UpgradeLog.h"

using qx::upgrader::utils::LogToUpgradeLog;
using qx::upgrader::utils::RunCommand;

namespace {

constexpr unsigned int kRequiredFreeSpace = 0x1600000;  // 22 MiB
// The process name of the watchdog program is its path from the sixth
// character on (its file name for a program placed directly in /tmp/).
constexpr std::string::size_type kWatchdogNameOffset = 5;

int SyncAndReboot(std::string const& watchdog, int code) {
    ::sync();
    // A text of one to four characters leaves no process name behind its
    // first five characters: no pkill is run then, as a cut name could only
    // match the wrong processes or none. Its file is still deleted.
    if (watchdog.size() >= kWatchdogNameOffset) {
        RunCommand("pkill -9 " + watchdog.substr(kWatchdogNameOffset));
    }
    if (!watchdog.empty()) {
        ::unlink(watchdog.c_str());
    }
    RunCommand("watchdog /dev/watchdog -T 5");
    return code;
}

// The body of a run after the argument check. The cleanup strategy and the
// package reader belong to main, which destroys them after the hand-off.
int RunUpgrade(std::string const& watchdog,
               std::optional<qx::upgrader::cleanup::CleanupVQ740>& cleanup,
               std::optional<qx::upgradeFile::UpgradeFile>& reader) {
    qx::upgrader::QuiesceServices();
    qx::upgrader::StartWatchdogProgram(watchdog);

    if (qx::upgrader::IsRejectedBoard()) {
        LogToUpgradeLog("Unable to upgrade 630/730 Rev1 units");
        return 0;
    }

    cleanup.emplace(kRequiredFreeSpace);
    LogToUpgradeLog("Running cleanup to allow for upgrade");
    bool spaceCreated = false;
    if (!cleanup->PerformCleanup(spaceCreated) || !spaceCreated) {
        LogToUpgradeLog("Unable to sufficiently cleanup the OS");
        return 0;
    }

    std::string packagePath;
    if (!qx::upgrader::LocateUpgradeFile(packagePath)) {
        LogToUpgradeLog("Unable to locate upgrade file");
        return 0;
    }

    reader.emplace(std::string(packagePath));
    if (!reader->ParseFile()) {
        LogToUpgradeLog("Unable to parse file: " + reader->ErrorMessage());
        return 0;
    }

    if (!qx::upgrader::ExtractUpgradeFiles(*reader)) {
        LogToUpgradeLog("Unable to extract files: " + reader->ErrorMessage());
    } else {
        qx::upgrader::StageAndValidate(packagePath);
        LogToUpgradeLog("Successfully upgraded firmware\n");
    }
    RunCommand("mv /tmp/ramdisk/upgrade_log /var/log/upgrade_log");
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    // mv moves into a directory that a link planted at its destination
    // names: the name is made our own file first.
    qx::upgrader::utils::ClaimOwnFile(qx::upgrader::utils::kUpgradeLogPath, 0666);
    RunCommand("mv /var/log/upgrade_log /tmp/ramdisk/upgrade_log");
    LogToUpgradeLog("Upg: V0.0.5: Beginning upgrade");

    if (argc < 2) {
        const std::string programName = (argc > 0 && argv[0] != nullptr) ? argv[0] : "";
        LogToUpgradeLog(programName + ": No watchdog provided");
        return SyncAndReboot(std::string(), 0);
    }

    const std::string watchdog = argv[1];
    std::optional<qx::upgrader::cleanup::CleanupVQ740> cleanup;
    std::optional<qx::upgradeFile::UpgradeFile> reader;
    const int code = RunUpgrade(watchdog, cleanup, reader);
    EnableAutoStartBinaries();
    return SyncAndReboot(watchdog, code);
}
