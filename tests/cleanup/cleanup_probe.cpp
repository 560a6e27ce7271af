// Device-side probe: runs cleanup operations inside the device sandbox and
// prints one line per operation on stdout. Operations are taken from the
// arguments left to right:
//   perform REQUIRED          PerformCleanup with spaceCreated false
//   perform-created REQUIRED  the same with spaceCreated already true
//       -> "perform <result> <spaceCreated> <FreeSpace>"
//   measure REQUIRED          CalculateFreespace, EnoughFreeSpace, RequireCleanup
//       -> "measure <result> <FreeSpace> <enough> <requireResult> <cleanupRequired>"
//   find FAMILY               -> "find FAMILY <found> <mtime>" (mtime -1 when untouched)
//   unlink FAMILY             -> "unlink FAMILY <result>"
//   kernel TEXT               -> "kernel <result> <matches>" (matches starts true)
//   pin PATH                  bind-mounts PATH onto itself so it cannot be unlinked
//   zero-time PATH            sets the modification time of PATH to 0
// FAMILY is home, messages or syslog. REQUIRED is N or +N (see ParseRequired).
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "upgrader/cleanup/CleanupUtils.h"
#include "upgrader/cleanup/CleanupVQ740.h"

namespace {

namespace utils = qx::upgrader::cleanup::utils;
using qx::upgrader::cleanup::CleanupVQ740;

struct Family {
    const char* name;
    bool (*find)(long&);
    bool (*unlink)();
};

const Family kFamilies[] = {
    {"home", utils::FindEarliestHomeLogTime, utils::UnlinkEarliestHomeLogFile},
    {"messages", utils::FindEarliestVarLogMessageTime, utils::UnlinkEarliestVarLogMessage},
    {"syslog", utils::FindEarliestVarLogSyslogTime, utils::UnlinkEarliestVarLogSyslogTime},
};

const Family* FindFamily(const char* name) {
    for (const Family& family : kFamilies) {
        if (std::strcmp(family.name, name) == 0) {
            return &family;
        }
    }
    return nullptr;
}

// "N" is N bytes; "+N" is N bytes more than the flash has free right now, so
// tests need not predict the flash's figures ("+0": exactly what is free).
unsigned int ParseRequired(const char* text) {
    unsigned int base = 0;
    if (text[0] == '+') {
        CleanupVQ740 current(0);
        current.CalculateFreespace();
        base = current.FreeSpace();
        ++text;
    }
    return base + static_cast<unsigned int>(std::strtoul(text, nullptr, 0));
}

int Fail(const char* what) {
    std::perror(what);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string op = argv[i];
        const char* operand = argv[i + 1];
        const Family* family = FindFamily(operand);
        if (op == "perform" || op == "perform-created") {
            CleanupVQ740 strategy(ParseRequired(operand));
            bool spaceCreated = op == "perform-created";
            const bool result = strategy.PerformCleanup(spaceCreated);
            std::printf("perform %d %d %u\n", result, spaceCreated, strategy.FreeSpace());
        } else if (op == "measure") {
            CleanupVQ740 strategy(ParseRequired(operand));
            const bool result = strategy.CalculateFreespace();
            bool cleanupRequired = true;
            const bool requireResult = strategy.RequireCleanup(cleanupRequired);
            std::printf("measure %d %u %d %d %d\n", result, strategy.FreeSpace(),
                        strategy.EnoughFreeSpace(), requireResult, cleanupRequired);
        } else if (op == "find" && family != nullptr) {
            long mtime = -1;
            const bool found = family->find(mtime);
            std::printf("find %s %d %ld\n", operand, found, mtime);
        } else if (op == "unlink" && family != nullptr) {
            std::printf("unlink %s %d\n", operand, family->unlink());
        } else if (op == "kernel") {
            // Starts true: a failed read must leave it so.
            bool matches = true;
            const bool result = utils::MatchesKernelVersion(operand, matches);
            std::printf("kernel %d %d\n", result, matches);
        } else if (op == "pin") {
            if (::mount(operand, operand, nullptr, MS_BIND, nullptr) != 0) {
                return Fail("cleanup_probe: pin");
            }
            std::printf("pin %s\n", operand);
        } else if (op == "zero-time") {
            const struct timespec times[2] = {{0, 0}, {0, 0}};
            if (::utimensat(AT_FDCWD, operand, times, 0) != 0) {
                return Fail("cleanup_probe: zero-time");
            }
            std::printf("zero-time %s\n", operand);
        } else {
            std::fprintf(stderr, "cleanup_probe: unknown operation %s %s\n", op.c_str(), operand);
            return 2;
        }
        std::fflush(stdout);
    }
    return 0;
}
