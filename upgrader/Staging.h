#pragma once

#include <string>

namespace qx {
namespace upgrader {

// The upgrade log's two places: on the RAM disk while a run lasts, on the
// flash in between.
inline constexpr const char* kRamDiskLogPath = "/tmp/ramdisk/upgrade_log";
inline constexpr const char* kFlashLogPath = "/var/log/upgrade_log";

// The moves of the upgrade log and of the staged files are done in process
// (MoveUpgradeLog, MoveFile of FileSystem.h), not by running "mv": busybox
// mv across file systems frees the destination's name and opens it again
// without O_EXCL, and in that gap anyone could plant a link or a FIFO on
// the RAM disk. No mv command is run, not even as a no-op: a later mv
// would move whatever someone placed at the source in the meantime.
// Onto the RAM disk: a log left on the flash by a move that could not be
// made (a full RAM disk) is taken over whole.
bool MoveLogToRamDisk();
// Onto the flash: a log still there keeps its lines; this run's follow.
bool MoveLogToFlash();

// Deletes the package, rebuilds the RAM disk (mounted with mode 0755) and
// takes it for root alone (SecureFreshMount), moves the log and the three
// extracted files onto it and runs the validator; the marker /etc/upgrade_started goes only when
// the validator succeeds. False, with the RAM disk left as it is, when the
// log could not be brought back to the flash before the unmount.
bool StageAndValidate(std::string const& packagePath);

}  // namespace upgrader
}  // namespace qx
