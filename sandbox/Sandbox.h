// Harness over the device sandbox launcher (sandbox/devsim) for host tests.
//
// Run() builds a fresh simulated device from a Device description, runs one
// program on it (inside its own namespaces and a chroot, never on the host)
// and returns what happened: exit status, the command texts given to
// /bin/sh -c in order, the watchdog stand-in calls, the flash's free space and
// the device's files after the run.
#pragma once

#include <sys/stat.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qx::sandbox {

enum class Kind { File, Directory, Symlink, Fifo };

// One thing placed on the device before the run. Missing parent directories
// are created with mode 0755. Each device directory lists the entries placed
// in it in the order given (whichever order this kernel's tmpfs uses, the
// harness creates them to match); a later entry for the same path replaces
// an earlier one. Entries below a symbolic link are refused.
struct Entry {
    std::string path;  // absolute device path
    Kind kind = Kind::File;
    std::string content;
    // When content is empty: a file of this many (zero) bytes; it really
    // occupies that much of the flash or RAM disk.
    unsigned long long size = 0;
    std::string hostSource;  // when set: the file's bytes are copied from this host file
    // Permission bits. A Directory left at the default 0644 gets 0755.
    unsigned int mode = 0644;
    long mtime = 0;      // modification time, seconds since the epoch; 0 = time of creation
    std::string target;  // Symlink target
    // Owner on the device (another user is just other numbers); links too.
    unsigned int uid = 0;
    unsigned int gid = 0;
};

enum class ProcVersionMode {
    Text,        // /proc/version reads procVersion (the host kernel's text when nullopt)
    Empty,       // /proc/version opens and reads 0 bytes
    Unopenable,  // opening /proc/version fails (ENXIO)
};

struct Device {
    std::string flashSize = "64M";    // the root file system (tmpfs), e.g. "5G"
    std::string ramdiskSize = "32M";  // the tmpfs mounted on /tmp/ramdisk at start
    std::vector<Entry> entries;
    std::optional<std::string> procVersion;  // text of /proc/version
    ProcVersionMode procVersionMode = ProcVersionMode::Text;
    std::optional<std::string> board;  // text of /sys/kernel/qxfc/board; nullopt: node absent
    std::string emulator;              // host path of qemu-arm-static, or empty
    std::vector<std::string> emulatorArgs;
    std::string programDevicePath = "/usr/sbin/upgrader";  // argv[0] of the program
    unsigned int timeoutSeconds = 60;                      // the program is stopped after this long
    std::string umask;  // the umask the program starts with, e.g. "000"; empty: the harness's
    // A device program (placed with entries) started as root in the
    // background 0.1 s before the program, e.g. one that races it; empty: none.
    std::string startBefore;
    // Also model the restart that follows the hand-off (Result::AfterRestart).
    bool restart = false;
};

class OutputDir;

struct Result {
    // The program's exit status; 128 + N when signal N ended it; 124 when it
    // ran out of time (timedOut); -1 when the device could not be run (error).
    int exitStatus = -1;
    std::string error;  // why the device could not be run; empty when it ran
    bool timedOut = false;
    std::vector<std::string> commands;  // texts given to /bin/sh -c, in order
    // Each call of the watchdog stand-in: its argv, element 0 being "watchdog".
    std::vector<std::vector<std::string>> watchdogCalls;
    // For each call: the names (comm) of the other device processes alive then.
    std::vector<std::vector<std::string>> watchdogAlive;
    // Names of the device processes still alive when the program ended.
    std::vector<std::string> aliveAtEnd;
    unsigned long long flashFreeBytes = 0;  // statvfs of / at the end (f_bavail * f_frsize)
    std::string root;                       // host dir holding the device's files after the run
    std::string restartedRoot;              // the same after the modelled restart; empty: none
    std::string outDir;                     // host dir holding every output of the launcher
    std::string stdoutText, stderrText;     // the program's standard output and error

    // Contents of a device file after the run; empty when it is missing.
    std::string ReadFile(const std::string& devicePath) const;
    // True when the device path exists after the run (lstat: links count).
    bool Exists(const std::string& devicePath) const;
    // lstat of the device path after the run; false when it is missing.
    bool Stat(const std::string& devicePath, struct stat& info) const;
    // The device as it comes back from the restart after the run (Device::
    // restart): /tmp and the RAM disk gone, the flash as the run left it.
    // Without a modelled restart it holds no file at all.
    Result AfterRestart() const;
    // Keeps the output directory on the host after the last copy of this
    // Result is gone (it is removed otherwise). QX_SANDBOX_KEEP=1 keeps all.
    void Keep() const;

    std::shared_ptr<OutputDir> owner;  // removes the output directory
};

// Runs programHostPath on a fresh device described by device, as
// device.programDevicePath with the arguments args. Inside a TEST body call
// it qualified (sandbox::Run): testing::Test::Run hides a bare Run.
Result Run(const Device& device, const std::string& programHostPath,
           const std::vector<std::string>& args);

// Runs one busybox shell script as the program (busybox sh -c SCRIPT). The
// script's own commands are not recorded; only /bin/sh -c calls are.
Result RunShell(const Device& device, const std::string& script);

// The lines of a text (program output, a device file), without line feeds.
std::vector<std::string> SplitLines(const std::string& text);

// Host paths of the sandbox's parts.
std::string DevsimPath();    // the launcher
std::string WdfeedPath();    // test watchdog program (runs until killed)
std::string SysprobePath();  // runs each argument through system(), prints each result
std::string IntruderPath();  // another user racing the upgrade (sandbox/programs/intruder.c)
std::string BusyboxPath();   // the busybox the device uses

}  // namespace qx::sandbox
