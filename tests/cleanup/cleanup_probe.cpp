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

bool ParseFamily(const char* text, utils::RotatedLogFamily& family) {
    if (std::strcmp(text, "home") == 0) {
        family = utils::RotatedLogFamily::HomeLog;
    } else if (std::strcmp(text, "messages") == 0) {
        family = utils::RotatedLogFamily::Messages;
    } else if (std::strcmp(text, "syslog") == 0) {
        family = utils::RotatedLogFamily::Syslog;
    } else {
        return false;
    }
    return true;
}

// "N" is N bytes; "+N" is N bytes more than the flash has free right now, so
// tests need not predict the flash's figures ("+0": exactly what is free).
unsigned int ParseRequired(const char* text) {
    if (text[0] == '+') {
        qx::upgrader::cleanup::CleanupVQ740 current(0);
        current.CalculateFreespace();
        return current.FreeSpace() + static_cast<unsigned int>(std::strtoul(text + 1, nullptr, 0));
    }
    return static_cast<unsigned int>(std::strtoul(text, nullptr, 0));
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string op = argv[i];
        const char* operand = argv[i + 1];
        if (op == "perform" || op == "perform-created") {
            qx::upgrader::cleanup::CleanupVQ740 strategy(ParseRequired(operand));
            bool spaceCreated = op == "perform-created";
            const bool result = strategy.PerformCleanup(spaceCreated);
            std::printf("perform %d %d %u\n", result, spaceCreated, strategy.FreeSpace());
        } else if (op == "measure") {
            qx::upgrader::cleanup::CleanupVQ740 strategy(ParseRequired(operand));
            const bool result = strategy.CalculateFreespace();
            const unsigned int freeSpace = strategy.FreeSpace();
            const bool enough = strategy.EnoughFreeSpace();
            bool cleanupRequired = true;
            const bool requireResult = strategy.RequireCleanup(cleanupRequired);
            std::printf("measure %d %u %d %d %d\n", result, freeSpace, enough, requireResult,
                        cleanupRequired);
        } else if (op == "find" || op == "unlink") {
            utils::RotatedLogFamily family;
            if (!ParseFamily(operand, family)) {
                std::fprintf(stderr, "cleanup_probe: unknown family %s\n", operand);
                return 2;
            }
            if (op == "find") {
                long mtime = -1;
                bool found = false;
                switch (family) {
                    case utils::RotatedLogFamily::HomeLog:
                        found = utils::FindEarliestHomeLogTime(mtime);
                        break;
                    case utils::RotatedLogFamily::Messages:
                        found = utils::FindEarliestVarLogMessageTime(mtime);
                        break;
                    case utils::RotatedLogFamily::Syslog:
                        found = utils::FindEarliestVarLogSyslogTime(mtime);
                        break;
                }
                std::printf("find %s %d %ld\n", operand, found, mtime);
            } else {
                bool result = false;
                switch (family) {
                    case utils::RotatedLogFamily::HomeLog:
                        result = utils::UnlinkEarliestHomeLogFile();
                        break;
                    case utils::RotatedLogFamily::Messages:
                        result = utils::UnlinkEarliestVarLogMessage();
                        break;
                    case utils::RotatedLogFamily::Syslog:
                        result = utils::UnlinkEarliestVarLogSyslogTime();
                        break;
                }
                std::printf("unlink %s %d\n", operand, result);
            }
        } else if (op == "kernel") {
            // Starts true: a failed read must leave it so.
            bool matches = true;
            const bool result = utils::MatchesKernelVersion(operand, matches);
            std::printf("kernel %d %d\n", result, matches);
        } else if (op == "pin") {
            if (::mount(operand, operand, nullptr, MS_BIND, nullptr) != 0) {
                std::perror("cleanup_probe: pin");
                return 2;
            }
            std::printf("pin %s\n", operand);
        } else if (op == "zero-time") {
            const struct timespec times[2] = {{0, 0}, {0, 0}};
            if (::utimensat(AT_FDCWD, operand, times, 0) != 0) {
                std::perror("cleanup_probe: zero-time");
                return 2;
            }
            std::printf("zero-time %s\n", operand);
        } else {
            std::fprintf(stderr, "cleanup_probe: unknown operation %s\n", op.c_str());
            return 2;
        }
        std::fflush(stdout);
    }
    return 0;
}
