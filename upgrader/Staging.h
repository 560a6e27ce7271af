#pragma once

#include <string>

namespace qx {
namespace upgradeFile {
class UpgradeFile;
}

namespace upgrader {

// The two moves of the upgrade log between the flash and the RAM disk.
inline constexpr const char* kLogToRamDiskCommand =
    "mv /var/log/upgrade_log /tmp/ramdisk/upgrade_log";
inline constexpr const char* kLogToFlashCommand =
    "mv /tmp/ramdisk/upgrade_log /var/log/upgrade_log";

// Where the upgrade log lives between runs.
inline constexpr const char* kFlashLogPath = "/var/log/upgrade_log";

// Brings the upgrade log back to the flash before the RAM disk goes. The
// log moves over when the history was taken over to the RAM disk; when it
// was not (that move could not run, or had nothing to move), or the move
// back did not happen, this run's entries are appended to what the flash
// holds instead of replacing it. True when the RAM disk no longer holds the
// log.
bool ReturnLogToFlash();

// Starts the watchdog program in the background: the argument verbatim
// followed by " &".
void StartWatchdogProgram(std::string const& watchdog);

// The package path for a directory entry: "/tmp/ramdisk/" + "/" + name,
// cut after 31 characters as the 32-byte path buffer holds no more.
std::string FormatPackagePath(const char* entryName);

// Finds the first entry of /tmp/ramdisk/ whose name begins with "ud".
// packagePath is emptied first and holds the package's path on success.
bool LocateUpgradeFile(std::string& packagePath);

// Extracts inner files 2, 3 and 4 to /tmp/fs-validator, /tmp/kernel_image
// and /tmp/filesystem.db, stopping at the first failure.
bool ExtractUpgradeFiles(qx::upgradeFile::UpgradeFile& reader);

// Deletes the package, rebuilds the RAM disk, moves the log and the three
// extracted files onto it and runs the validator; the marker
// /etc/upgrade_started goes only when the validator succeeds. False, with
// the RAM disk left as it is, when the log could not be brought back to
// the flash before the unmount.
bool StageAndValidate(std::string const& packagePath);

}  // namespace upgrader
}  // namespace qx
