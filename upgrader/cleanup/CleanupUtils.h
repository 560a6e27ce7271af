#pragma once

#include <string>

// Rotated-log pruning and the kernel-version match used by the staged
// cleanup.
namespace qx {
namespace upgrader {
namespace cleanup {
namespace utils {

// The three rotated-log families, in the order in which the old-logs stage
// asks them (this order also settles ties between them).
enum class RotatedLogFamily { HomeLog = 0, Messages = 1, Syslog = 2 };
constexpr int kRotatedLogFamilyCount = 3;

// Each family's earliest file is the first existing regular file (links
// followed) among its names:
//   home logs:    /home/logs/log-00000.txt.gz .. log-09999.txt.gz, lowest first
//   messages log: /var/log/messages.50.gz .. messages.1.gz, highest first
//   system log:   /var/log/sys.log.50.gz .. sys.log.1.gz, highest first
// Find functions store its modification time and return true; without a
// file they return false and leave mtime untouched.
bool FindEarliestVarLogSyslogTime(long& mtime);
bool FindEarliestVarLogMessageTime(long& mtime);
bool FindEarliestHomeLogTime(long& mtime);

// Unlink the family's earliest file (the same search as the find function);
// true when a file was found and its removal attempted, whatever unlink did.
bool UnlinkEarliestVarLogSyslogTime();
bool UnlinkEarliestVarLogMessage();
bool UnlinkEarliestHomeLogFile();

// The same by family. The removal also tells whether the name is gone
// afterwards (unlink succeeded, or the name had vanished already); removed is
// written only when the result is true. The old-logs stage uses it to end
// instead of meeting an undeletable file again and again.
bool FindEarliestRotatedLogTime(RotatedLogFamily family, long& mtime);
bool UnlinkEarliestRotatedLog(RotatedLogFamily family, bool& removed);

// Chooses the family whose earliest file goes next, from what the find
// functions reported (found[i], mtime[i] for family i): the smallest time
// that is not 0 wins. A time of 0 means "no time" and takes no part unless
// every found file has it. Ties and the all-zero case go to the first
// family in RotatedLogFamily order among the candidates, so a pass that
// found any file always chooses one. False when nothing was found.
bool ChooseRotatedLogFamily(const bool (&found)[kRotatedLogFamilyCount],
                            const long (&mtime)[kRotatedLogFamilyCount], RotatedLogFamily& chosen);

// Reads up to the first 128 bytes of /proc/version once. True when that
// worked; matches then tells whether version occurs in those bytes. False,
// with one log entry and matches untouched, when the file cannot be opened
// or yields no bytes.
bool MatchesKernelVersion(std::string const& version, bool& matches);

}  // namespace utils
}  // namespace cleanup
}  // namespace upgrader
}  // namespace qx
