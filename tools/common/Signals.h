#pragma once

// What a job leaves half made when SIGINT, SIGTERM or SIGHUP ends a host
// tool: its temporary file or folder and a partial output. The tool
// registers each such thing while it exists; the signal handler removes
// them and the tool exits with 128 plus the signal's number (130, 143, 129),
// as a shell reports a job a signal ended.
#include <string>

namespace qx {
namespace tools {

// Installs the handler for the three signals.
void CleanUpOnSignals();

// Blocks the three signals for its lifetime, so that creating something and
// registering it happen as one step.
class SignalBlock {
  public:
    SignalBlock();
    ~SignalBlock();
    SignalBlock(const SignalBlock&) = delete;
    SignalBlock& operator=(const SignalBlock&) = delete;

  private:
    unsigned long long saved[16];  // the previous signal mask (a sigset_t)
};

// One registered piece of debris; unregistered when destroyed (the job then
// either kept or removed it itself).
class Debris {
  public:
    enum class Kind {
        File,       // unlinked
        Folder,     // removed after the files registered later (its contents)
        Truncated,  // an existing output written through descriptor: cut to 0
    };
    Debris(Kind kind, const std::string& path, int fd = -1);
    ~Debris();
    Debris(const Debris&) = delete;
    Debris& operator=(const Debris&) = delete;

  private:
    unsigned long id;
};

}  // namespace tools
}  // namespace qx
