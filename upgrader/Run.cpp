#include "upgrader/Run.h"

#include <utility>
#include <vector>

#include "upgrader/Quiesce.h"
#include "upgrader/Staging.h"
#include "upgrader/TrustStore.h"
#include "upgrader/utils/Shell.h"
#include "upgrader/utils/UpgradeLog.h"

namespace qx {
namespace upgrader {

int RunUpgrade(std::string const& watchdog, std::optional<cleanup::CleanupVQ740>& cleanup,
               std::optional<qx::upgradeFile::UpgradeFile>& reader) {
    using utils::LogToUpgradeLog;
    QuiesceServices();
    StartWatchdogProgram(watchdog);

    if (IsRejectedBoard()) {
        LogToUpgradeLog("Unable to upgrade 630/730 Rev1 units");
        return 0;
    }

    cleanup.emplace(kRequiredFreeSpace);
    LogToUpgradeLog(kCleanupEntry);
    bool spaceCreated = false;
    if (!cleanup->PerformCleanup(spaceCreated) || !spaceCreated) {
        LogToUpgradeLog("Unable to sufficiently cleanup the OS");
        return 0;
    }

    std::string packagePath;
    if (!LocateUpgradeFile(packagePath)) {
        LogToUpgradeLog("Unable to locate upgrade file");
        return 0;
    }

    reader.emplace(std::string(packagePath));
    std::vector<qx::upgradeFile::PublicKey> keys;
    if (LoadTrustStore(kTrustStoreDirectory, keys)) {
        reader->RequireSignature(std::move(keys));
    }
    if (!reader->ParseFile()) {
        LogToUpgradeLog("Unable to parse file: " + reader->ErrorMessage());
        return 0;
    }

    const bool extracted = ExtractUpgradeFiles(*reader);
    // An open file would keep the RAM disk from being unmounted.
    reader->ClosePackage();
    if (!extracted) {
        LogToUpgradeLog("Unable to extract files: " + reader->ErrorMessage());
    } else if (StageAndValidate(packagePath)) {
        LogToUpgradeLog("Successfully upgraded firmware\n");
    }
    return 1;
}

}  // namespace upgrader
}  // namespace qx
