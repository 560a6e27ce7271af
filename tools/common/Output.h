#pragma once

// How the host tools write the outputs named on their command lines, as the
// shell tools do: "-", a character or block device and a FIFO (process
// substitution, /dev/stdout, /dev/null) are streams written in place; a
// regular file, new or existing, is written unnamed and appears under its
// name only when complete, even if the tool is killed (SIGKILL included).
// A link owned by neither the caller nor root is never written through,
// whoever runs the tool.
#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "upgrader/utils/SystemCalls.h"

namespace qx {
namespace tools {

// The block the host tools read and write in (the device's reader keeps
// its 1 KiB; a build for the device keeps it for the tools too).
constexpr unsigned int kToolBufferSize = QX_TOOL_BUFFER_SIZE;

class Debris;

// Resolves path as open() would, following each link only when the caller
// or root owns it (lstat on every component, never a text comparison).
// resolved: the path without links, but a /proc link to an open file (as
// /dev/stdout leads to) is kept, as only the kernel can follow it. False
// with error = "PATH: reason".
bool ResolveOwnLinks(const std::string& path, std::string& resolved, std::string& error);

class OutputFile {
  public:
    OutputFile();
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Opens path for writing. mode: the mode of a new file (umask applied);
    // an existing file keeps its own mode and owner. durable: the file is
    // flushed to disk before it takes its name. inputs: files the output
    // must not be ("-" skipped). False with error = "PATH: reason".
    bool Open(const std::string& path, mode_t mode, bool durable,
              const std::vector<std::string>& inputs, std::string& error);

    int Get() const { return fd.Get(); }
    // True for standard output, a device or a FIFO: written in place.
    bool Stream() const { return stream; }

    // Gives a complete regular file its name (a stream is just closed).
    bool Commit(std::string& error);
    // Removes the name Commit gave a new file (for a pair committed together).
    void Withdraw();

  private:
    bool OpenFile(mode_t mode, std::string& error);
    bool Link(const std::string& name);
    bool Name();

    std::string path, target;
    qx::upgrader::utils::Descriptor fd;
    bool stream = false, replacing = false, unnamed = false, durable = false;
    bool committed = false;
    struct stat standing {};
    std::string scratch;  // the fallback's named temporary file
    std::unique_ptr<Debris> debris;
};

// Copies everything fd reads, from where it stands, to output in large
// blocks; false with error naming what failed.
bool CopyToOutput(int fd, OutputFile& output, std::string& error);

}  // namespace tools
}  // namespace qx
