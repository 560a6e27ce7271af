#include "upgrader/Staging.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "upgradeFile/UpgradeFile.h"
#include "upgrader/utils/FileIo.h"
#include "upgrader/utils/Shell.h"

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
    DIR* directory = ::opendir(kPackageDirectory);
    if (directory == nullptr) {
        return false;
    }
    bool found = false;
    while (const struct dirent* entry = ::readdir(directory)) {
        if (std::strncmp(entry->d_name, "ud", 2) == 0) {
            packagePath = FormatPackagePath(entry->d_name);
            found = true;
            break;
        }
    }
    ::closedir(directory);
    return found;
}

bool ExtractUpgradeFiles(qx::upgradeFile::UpgradeFile& reader) {
    for (const ExtractedFile& file : kExtractedFiles) {
        if (!reader.ExtractFile(file.index, file.path)) {
            return false;
        }
    }
    return true;
}

void StageAndValidate(std::string const& packagePath) {
    ::unlink(packagePath.c_str());
    ::sync();
    utils::RunCommand("mv /tmp/ramdisk/upgrade_log /var/log/upgrade_log");
    utils::RunCommand("umount /tmp/ramdisk/");
    utils::RunCommand("mount -t tmpfs -o size=25M /tmp/ramdisk/");
    // The fresh RAM disk can be written by everyone, and mv moves into a
    // directory that a link planted at its destination names: each name is
    // made our own file first.
    for (const char* staged : kStagedFiles) {
        utils::ClaimOwnFile(staged, 0600);
    }
    utils::RunCommand("mv /var/log/upgrade_log /tmp/ramdisk/upgrade_log");
    utils::RunCommand("mv /tmp/fs-validator /tmp/ramdisk/fs-validator");
    utils::RunCommand("mv /tmp/kernel_image /tmp/ramdisk/kernel_image");
    utils::RunCommand("mv /tmp/filesystem.db /tmp/ramdisk/filesystem.db");
    ::sync();
    const int status = utils::RunCommand(
        "/tmp/ramdisk/fs-validator /tmp/ramdisk/kernel_image /tmp/ramdisk/filesystem.db");
    if (status == 0) {
        utils::RunCommand("rm /etc/upgrade_started");
    }
}

}  // namespace upgrader
}  // namespace qx
