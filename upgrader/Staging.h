#pragma once

#include <string>

namespace qx {
namespace upgradeFile {
class UpgradeFile;
}

namespace upgrader {

// Starts the watchdog program in the background: the argument verbatim
// followed by " &".
void StartWatchdogProgram(std::string const& watchdog);

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
// and /tmp/filesystem.db, stopping at the first failure.
bool ExtractUpgradeFiles(qx::upgradeFile::UpgradeFile& reader);

// Deletes the package, rebuilds the RAM disk and takes it for root alone
// (SecureFreshMount), moves the log and the three extracted files onto it
// and runs the validator; the marker /etc/upgrade_started goes only when
// the validator succeeds. False, with the RAM disk left as it is, when the
// log could not be brought back to the flash before the unmount.
bool StageAndValidate(std::string const& packagePath);

}  // namespace upgrader
}  // namespace qx
