#include "upgrader/Staging.h"

#include "upgrader/LogMoves.h"
#include "upgrader/utils/FileSystem.h"
#include "upgrader/utils/Shell.h"
#include "upgrader/utils/UpgradeLog.h"

namespace qx {
namespace upgrader {

namespace {

constexpr const char* kRamDisk = "/tmp/ramdisk";

struct StagedFile {
    const char* from;
    const char* to;
};

constexpr StagedFile kStagedFiles[] = {
    {"/tmp/fs-validator", "/tmp/ramdisk/fs-validator"},
    {"/tmp/kernel_image", "/tmp/ramdisk/kernel_image"},
    {"/tmp/filesystem.db", "/tmp/ramdisk/filesystem.db"},
};

}  // namespace

bool StageAndValidate(std::string const& packagePath) {
    utils::RemoveFile(packagePath);
    utils::SyncFileSystems();
    // The unmount would take a log still on the RAM disk with it.
    std::string standing;
    if (!MoveLogToFlash() && utils::CheckOwnEntry(utils::kUpgradeLogPath, standing)) {
        utils::LogToUpgradeLog("Unable to stage files: upgrade log still on the RAM disk");
        return false;
    }
    unsigned long long previous = ~0ull;
    utils::FileSystemOf(kRamDisk, previous);
    utils::Unmount("/tmp/ramdisk/");
    const int mounted = utils::MountMemoryFileSystem("/tmp/ramdisk/", "25M");
    // The mount option closes the fresh tmpfs to others from its first
    // moment. Behind it, as a second line of defence (a mount that ignored
    // the option, or a directory that was not remounted), it is taken for
    // root alone and whatever was planted in it since the mount goes,
    // before anything is moved there. When the mount failed, the directory
    // is used as it is.
    utils::SecureFreshMount(kRamDisk, previous, mounted == 0);
    MoveLogToRamDisk();
    for (const StagedFile& file : kStagedFiles) {
        utils::MoveFile(file.from, file.to);
    }
    utils::SyncFileSystems();
    const int status = utils::RunCommand(
        "/tmp/ramdisk/fs-validator /tmp/ramdisk/kernel_image /tmp/ramdisk/filesystem.db");
    if (status == 0) {
        utils::RemoveFileByCommand("/etc/upgrade_started");
    }
    return true;
}

}  // namespace upgrader
}  // namespace qx
