#pragma once

// How the host tools treat the files named on their command lines: inputs
// must be readable regular files, an output is never one of the inputs, and
// "-" stands for standard input or output.
#include <sys/stat.h>

#include <string>
#include <vector>

namespace qx {
namespace tools {

// The name that stands for standard input or output.
constexpr const char* kStandardStream = "-";

// Why the file described by info cannot be read as data ("is a directory",
// "is a FIFO", ...); empty for a regular file.
std::string NotRegularReason(const struct stat& info);

// Opens path (links followed) for reading when it is a regular file. Returns
// the descriptor, or -1 with error = "PATH: reason" (missing, unreadable, a
// directory, a FIFO, a device). A FIFO is never opened, so nothing blocks.
int OpenInputFile(const std::string& path, std::string& error);

// The same check without keeping the file open.
bool CheckInputFile(const std::string& path, std::string& error);

// True when both paths (links followed) name one file: same device and inode.
bool SameFile(const std::string& first, const std::string& second);

// An output may be missing or a regular file (links followed) that is none
// of the inputs; otherwise false with error = "OUT: reason".
bool CheckOutputFile(const std::string& out, const std::vector<std::string>& inputs,
                     std::string& error);

// Standard input as a file that can be read more than once: itself when it
// is a regular file, else a copy in an unnamed temporary file (removed by
// the system when closed). Returns a descriptor positioned at 0, or -1 with
// error set.
int SeekableStandardInput(std::string& error);

}  // namespace tools
}  // namespace qx
