#pragma once

#include <ctime>
#include <string>

namespace qx {
namespace upgrader {
namespace utils {

// The upgrade log's two places, named here and nowhere else: on the RAM
// disk while a run lasts (every entry goes there), on the flash in between.
// Every exit of a run brings it back to the flash before the restart.
constexpr const char* kUpgradeLogPath = "/tmp/ramdisk/upgrade_log";
constexpr const char* kFlashLogPath = "/var/log/upgrade_log";

// Appends one entry (stamp, message, line feed) to the upgrade log.
// Returns 0 when the entry was written, -1 otherwise. Callers treat logging
// as infallible.
//
// The function is declared here and defined by exactly one log sink linked
// into each program: the device program links the sink that writes
// kUpgradeLogPath; host tools link one that writes to stderr; tests link one
// that keeps the entries in memory.
int LogToUpgradeLog(std::string const& message);

// A name read from disk (a directory entry, a path built from one) as it
// goes into an entry that is not one of the fixed texts: every control byte
// (0x00 to 0x1f and 0x7f: a line feed above all, which would begin a line
// that looks like an entry of its own) becomes a backslash, "x" and two
// lower-case hex digits, and a backslash becomes two, so the text reads
// back to exactly one name. Every other byte stays as it is.
std::string EscapeName(std::string const& name);

// The stamp in front of every entry, e.g. "2026125 09:07:03 - " for
// 5 December 2026, 09:07:03 (month always two digits, day without padding).
std::string FormatLogStamp(std::tm const& local);

// Stamp for the current local time.
std::string CurrentLogStamp();

// Appends stamp + message + '\n' to the file at path with one write,
// creating it (mode 0666 less umask) when missing. Anything at path other
// than the program's own regular file (a link, a FIFO, another user's file)
// is replaced by a fresh file first (OpenOwnFileForAppend). The bytes of the
// message are written as they are: nothing is interpreted. Returns 0 on
// success.
int AppendLogEntry(const char* path, std::string const& message);

}  // namespace utils
}  // namespace upgrader
}  // namespace qx
