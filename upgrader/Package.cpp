#include "upgrader/Package.h"

#include <cstdio>
#include <vector>

#include "upgradeFile/UpgradeFile.h"
#include "upgrader/utils/FileSystem.h"
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

}  // namespace

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
            utils::LogToUpgradeLog("Passing over upload " + utils::EscapeName(entry) + ": " +
                                   reason);
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

}  // namespace upgrader
}  // namespace qx
