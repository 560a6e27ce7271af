#include "upgrader/Staging.h"

#include <cstdio>
#include <vector>

#include "upgradeFile/UpgradeFile.h"
#include "upgrader/utils/FileSystem.h"
#include "upgrader/utils/Shell.h"
#include "upgrader/utils/UpgradeLog.h"

namespace qx {
namespace upgrader {

namespace {

constexpr const char* kPackageDirectory = "/tmp/ramdisk/";
constexpr const char* kRamDisk = "/tmp/ramdisk";
constexpr size_t kPackagePathBufferSize = 32;

struct ExtractedFile {
    unsigned int index;
    const char* path;
};

constexpr ExtractedFile kExtractedFiles[] = {
    {2, "/tmp/fs-validator"},
    {3, "/tmp/kernel_image"},
    {4, "/tmp/filesystem.db"},
};

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

bool MoveLogToRamDisk() { return utils::MoveUpgradeLog(kFlashLogPath, kRamDiskLogPath, false); }

bool MoveLogToFlash() { return utils::MoveUpgradeLog(kRamDiskLogPath, kFlashLogPath, true); }

void StartWatchdogProgram(std::string const& watchdog) { utils::RunCommand(watchdog + " &"); }

std::string FormatPackagePath(const char* entryName) {
    char path[kPackagePathBufferSize];
    // A longer path is cut after its 31st character, on purpose: the result
    // then names another file or none, and the parse step reports it.
    const int length = std::snprintf(path, sizeof path, "%s/%s", kPackageDirectory, entryName);
    if (length < 0) {
        return std::string();
    }
    return path;
}

bool LocateUpgradeFile(std::string& packagePath) {
    packagePath.clear();
    std::vector<std::string> names;
    if (!utils::ListDirectory(kPackageDirectory, names)) {
        return false;
    }
    for (const std::string& name : names) {
        if (name.compare(0, 2, "ud") != 0) {
            continue;
        }
        // Only the run's own upload is taken: anyone can place entries here.
        const std::string entry = kPackageDirectory + name;
        std::string reason;
        if (!utils::CheckOwnEntry(entry, reason)) {
            utils::LogToUpgradeLog("Passing over upload " + entry + ": " + reason);
            continue;
        }
        packagePath = FormatPackagePath(name.c_str());
        return true;
    }
    return false;
}

bool ExtractUpgradeFiles(qx::upgradeFile::UpgradeFile& reader) {
    for (const ExtractedFile& file : kExtractedFiles) {
        if (!reader.ExtractFile(file.index, file.path)) {
            return false;
        }
    }
    return true;
}

bool StageAndValidate(std::string const& packagePath) {
    utils::RemoveFile(packagePath);
    utils::SyncFileSystems();
    // The unmount would take a log still on the RAM disk with it.
    std::string standing;
    if (!MoveLogToFlash() && utils::CheckOwnEntry(kRamDiskLogPath, standing)) {
        utils::LogToUpgradeLog("Unable to stage files: upgrade log still on the RAM disk");
        return false;
    }
    unsigned long long previous = ~0ull;
    utils::FileSystemOf(kRamDisk, previous);
    utils::Unmount("/tmp/ramdisk/");
    const int mounted = utils::MountMemoryFileSystem("/tmp/ramdisk/", "25M");
    // A fresh tmpfs can be written by everyone: it becomes root's alone, and
    // whatever was planted in it since the mount goes, before anything is
    // moved there. When the mount failed, the directory is used as it is.
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
