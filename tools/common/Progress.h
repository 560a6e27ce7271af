#pragma once

// A progress line on stderr for a long job: "NAME: 42% of 300 MiB", redrawn
// twice a second from the position of the descriptor the job reads or
// writes through, and cleared when the job ends. Only for jobs over 64 MiB,
// only when stderr is a terminal (never on a pipe or in a file), and never
// after SetQuiet(true) (-q).
#include <string>

namespace qx {
namespace tools {

constexpr unsigned long long kProgressThreshold = 64ull << 20;

void SetQuiet(bool quiet);

class Progress {
  public:
    // fd: the job's descriptor (its file position is the job's progress);
    // total: the position at which the job is done.
    Progress(const std::string& name, int fd, unsigned long long total);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

  private:
    bool shown = false;
};

}  // namespace tools
}  // namespace qx
