#pragma once

namespace qx {
namespace upgrader {

// The upgrade log's moves between the flash and the RAM disk are done in
// process (MoveUpgradeLog of FileSystem.h), not by running "mv": busybox mv
// across file systems frees the destination's name and opens it again
// without O_EXCL, and in that gap anyone could plant a link or a FIFO on the
// RAM disk. No mv command is run, not even as a no-op: a later mv would move
// whatever someone placed at the source in the meantime. A move that cannot
// be made leaves the log where it was, whole.

// Onto the RAM disk: a log left on the flash by a move that could not be
// made (a full RAM disk) is taken over whole.
bool MoveLogToRamDisk();

// Onto the flash: a log still there keeps its lines; this run's follow.
// Every exit calls it before the hand-off, since the restart that follows
// takes the RAM disk with it.
bool MoveLogToFlash();

}  // namespace upgrader
}  // namespace qx
