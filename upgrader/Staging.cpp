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

constexpr const char* kStagedFiles[] = {
    "/tmp/ramdisk/upgrade_log",
    "/tmp/ramdisk/fs-validator",
    "/tmp/ramdisk/kernel_image",
    "/tmp/ramdisk/filesystem.db",
};

}  // namespace

bool ReturnLogToFlash() {
    if (!utils::FileExists(kFlashLogPath)) {
        utils::RunCommand(kLogToFlashCommand);
    }
    // Whatever is still on the RAM disk: this run's entries, never the
    // history, which then is on the flash.
    return utils::AppendOwnFileOnto(utils::kUpgradeLogPath, kFlashLogPath);
}

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
        if (name.compare(0, 2, "ud") == 0) {
            packagePath = FormatPackagePath(name.c_str());
            return true;
        }
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
    if (!ReturnLogToFlash()) {
        utils::LogToUpgradeLog("Unable to stage files: upgrade log still on the RAM disk");
        return false;
    }
    utils::RunCommand("umount /tmp/ramdisk/");
    utils::RunCommand("mount -t tmpfs -o size=25M /tmp/ramdisk/");
    // The fresh RAM disk can be written by everyone, and mv moves into a
    // directory that a link planted at its destination names: each name is
    // made our own file first.
    for (const char* staged : kStagedFiles) {
        utils::ClaimOwnFile(staged, 0600);
    }
    utils::RunCommand(kLogToRamDiskCommand);
    utils::RunCommand("mv /tmp/fs-validator /tmp/ramdisk/fs-validator");
    utils::RunCommand("mv /tmp/kernel_image /tmp/ramdisk/kernel_image");
    utils::RunCommand("mv /tmp/filesystem.db /tmp/ramdisk/filesystem.db");
    utils::SyncFileSystems();
    const int status = utils::RunCommand(
        "/tmp/ramdisk/fs-validator /tmp/ramdisk/kernel_image /tmp/ramdisk/filesystem.db");
    if (status == 0) {
        utils::RunCommand("rm /etc/upgrade_started");
    }
    return true;
}

}  // namespace upgrader
}  // namespace qx
