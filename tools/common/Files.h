#pragma once

// How the host tools treat the files named on their command lines: inputs
// are readable regular files, or streams ("-" for standard input, a FIFO, a
// character device) copied first where a stream suffices; an output is
// never one of the inputs (tools/common/Output.h writes outputs).
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

// An output may be missing, a stream (FIFO, device) or a regular file
// (links followed) that is none of the inputs; otherwise false with
// error = "OUT: reason".
bool CheckOutputFile(const std::string& out, const std::vector<std::string>& inputs,
                     std::string& error);

// Standard input as a file that can be read more than once: itself when it
// is a regular file, else a copy in an unnamed temporary file (removed by
// the system when closed). Returns a descriptor positioned at 0, or -1 with
// error set.
int SeekableStandardInput(std::string& error);

// The directory part of path ("." when there is none).
std::string DirectoryOf(const std::string& path);

// An empty unnamed file in $TMPDIR (else /tmp) that will hold a copy of
// name, open for reading and writing; -1 with error set.
int UnnamedTemporaryFile(const std::string& name, std::string& error);

// Reads fd to its end into an unnamed temporary file (name: the stream, for
// messages). Returns a descriptor positioned at 0, or -1 with error set.
int SeekableCopy(int fd, const std::string& name, std::string& error);

// An input read more than once: a FIFO (process substitution) or a
// character device at path is copied first, as standard input is; anything
// else as OpenInputFile.
int OpenStreamableInput(const std::string& path, std::string& error);

}  // namespace tools
}  // namespace qx
