#pragma once

// How the host tools hand packages and outputs to the device's package
// reader. A tool reads whatever package its user names (through links, any
// owner) and writes its outputs with a command-line tool's habits; the
// reader itself only reads and copies through the descriptors it is given.
#include <string>

#include "upgradeFile/UpgradeFile.h"

namespace qx {
namespace tools {

// Opens path for reading (a FIFO does not hold the open up) and parses it;
// the reader's texts and kinds report a failure, the open's included.
bool ParsePackage(upgradeFile::UpgradeFile& reader, const std::string& path);

// Writes inner file index to a command-line tool's output: an existing
// file, through the user's own link too, is truncated and keeps its mode; a
// missing one is created exclusively with mode 0755 less the umask (a
// dangling link is refused, not followed). When the extraction fails, a
// file this call created is removed, and so is one that a failed write left
// half written when path names it directly (not through a link).
bool ExtractToOutput(upgradeFile::UpgradeFile& reader, unsigned int index, const std::string& path);

// Writes inner file index to a new file at path (exclusive, never through a
// link, mode 0755 less the umask), as in a folder the tool made itself.
bool ExtractToNewFile(upgradeFile::UpgradeFile& reader, unsigned int index,
                      const std::string& path);

}  // namespace tools
}  // namespace qx
