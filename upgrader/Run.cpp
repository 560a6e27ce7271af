#include "upgrader/Run.h"

#include <utility>
#include <vector>

#include "upgradeFile/TrustStore.h"
#include "upgrader/Package.h"
#include "upgrader/Quiesce.h"
#include "upgrader/Staging.h"
#include "upgrader/Watchdog.h"
#include "upgrader/utils/Shell.h"
#include "upgrader/utils/UpgradeLog.h"

namespace qx {
namespace upgrader {

namespace {

// Loads the trust store and logs what it ignored or why it refuses; a
// store that is present (even one that could not be read, which then
// trusts no key) makes the reader require a signature.
void RequireTrustedSignature(qx::upgradeFile::UpgradeFile& reader) {
    qx::upgradeFile::TrustStore store =
        qx::upgradeFile::LoadTrustStore(qx::upgradeFile::kTrustStoreDirectory);
    for (const std::string& entry : store.ignored) {
        utils::LogToUpgradeLog("Ignoring key file " + utils::EscapeName(entry));
    }
    if (!store.refusal.empty()) {
        utils::LogToUpgradeLog("Refusing every package: " + store.refusal);
    }
    if (store.present) {
        reader.RequireSignature(std::move(store.keys));
    }
}

}  // namespace

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
    RequireTrustedSignature(*reader);
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
