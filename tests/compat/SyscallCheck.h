// Checks the system calls a device program makes against those of the
// router's kernel. The calls come from the emulator's trace (qemu -strace);
// the kernel's calls and the reviewed exceptions are text files kept beside
// this code.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

namespace qx::compat {

// The system calls of one kernel: numbers and every name a call goes by.
struct SyscallTable {
    std::map<std::string, unsigned long> numberOf;
    std::map<unsigned long, std::string> nameOf;
};

// A call newer than the kernel that the C library makes on its own and for
// which it falls back to an older call (olderCall) when the kernel answers
// ENOSYS; "none" when the library simply goes on without it (reason says why
// that is harmless).
struct Fallback {
    std::string call;
    unsigned long number = 0;
    std::string olderCall;
    std::string reason;
};

// Table lines: "NUMBER NAME [OTHER-NAME...]"; '#' starts a comment.
bool LoadSyscallTable(const std::string& path, SyscallTable& table, std::string& error);
// Fallback lines: "CALL NUMBER OLDER-CALL REASON..."; '#' starts a comment.
bool LoadFallbacks(const std::string& path, std::vector<Fallback>& fallbacks, std::string& error);

// Names of the calls in an emulator trace. A call the emulator cannot name
// ("Unknown syscall N") is named from the table or the fallbacks by number,
// else it is "syscall N". Lines of concurrent processes may be interleaved
// mid-line; quoted strings (paths, command texts) are not looked into.
std::set<std::string> TracedCalls(const std::string& trace, const SyscallTable& table,
                                  const std::vector<Fallback>& fallbacks);

// The traced calls that are neither in the table nor among the fallbacks.
std::vector<std::string> CallsOutside(const std::set<std::string>& calls, const SyscallTable& table,
                                      const std::vector<Fallback>& fallbacks);

}  // namespace qx::compat
