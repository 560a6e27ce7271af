#pragma once

#include <string>

namespace qx {
namespace upgradeFile {
class UpgradeFile;
}

namespace upgrader {

// The package path for a directory entry: "/tmp/ramdisk/" + "/" + name,
// cut after 31 characters as the 32-byte path buffer holds no more.
std::string FormatPackagePath(const char* entryName);

// Finds the first entry of /tmp/ramdisk/ whose name begins with "ud" and
// that is the run's own (CheckOwnEntry): a link, another user's entry or
// one that others may write is passed over as if absent, with a log entry
// "Passing over upload PATH: REASON" for each. packagePath is emptied first
// and holds the package's path on success.
bool LocateUpgradeFile(std::string& packagePath);

// Extracts inner files 2, 3 and 4 to /tmp/fs-validator, /tmp/kernel_image
// and /tmp/filesystem.db, stopping at the first failure. Each is checked
// against the verified package as it is copied (UpgradeFile::ExtractFile);
// another user's directory at a name is moved aside, the run's own fails.
bool ExtractUpgradeFiles(qx::upgradeFile::UpgradeFile& reader);

}  // namespace upgrader
}  // namespace qx
