// Self-tests of the device sandbox: every run happens inside the simulated
// device; the host only sees the launcher's output directory.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "sandbox/Sandbox.h"

namespace qx::sandbox {
namespace {

namespace fs = std::filesystem;

bool Contains(const std::vector<std::string>& names, const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

std::string Slurp(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Runs command texts through system() on the device, as the device program does.
Result Probe(const Device& device, const std::vector<std::string>& texts) {
    Result result = sandbox::Run(device, SysprobePath(), texts);
    EXPECT_EQ(result.error, "");
    return result;
}

Entry Wdfeed(const std::string& devicePath) {
    Entry entry;
    entry.path = devicePath;
    entry.hostSource = WdfeedPath();
    entry.mode = 0755;
    return entry;
}

TEST(SandboxShell, RecordsEveryCommandTextInOrderAndRunsItWithBusybox) {
    const std::vector<std::string> texts = {
        "echo one",
        "printf '%s' \"two words\" > /tmp/out; exit 3",
        "echo 'multi\nline' | grep -q line",
        "-not-an-option",
        "echo \"$(echo sub)\" `echo back` \\b12\\b",
        "readlink /proc/$$/exe; echo \"$0\"",
    };
    Result r = Probe(Device{}, texts);
    EXPECT_EQ(r.commands, texts);
    const std::vector<std::string> out = sandbox::SplitLines(r.stdoutText);
    ASSERT_EQ(out.size(), 10u) << r.stdoutText;
    EXPECT_EQ(out[0], "one");
    EXPECT_EQ(out[1], "0");
    EXPECT_EQ(out[2], "768");  // exit status 3 in bits 8 to 15
    EXPECT_EQ(out[3], "0");
    EXPECT_NE(out[4], "0");                  // "-not-an-option" is a command that does not exist
    EXPECT_EQ(out[5], "sub back b12b");      // unquoted backslashes are the shell's
    EXPECT_EQ(out[7], "/.sandbox/busybox");  // the shell is busybox's
    EXPECT_EQ(out[8], "sh");
    EXPECT_EQ(r.ReadFile("/tmp/out"), "two words");
    EXPECT_EQ(r.exitStatus, 0);
}

TEST(SandboxShell, ScriptsRunThroughTheShellAreNotRecorded) {
    Entry script;
    script.path = "/tmp/script";
    script.content = "#!/bin/sh\necho \"script $1\"\nexit 4\n";
    script.mode = 0755;
    Device device;
    device.entries = {script};
    Result r = Probe(device, {"/tmp/script arg"});
    EXPECT_EQ(r.commands, std::vector<std::string>{"/tmp/script arg"});
    EXPECT_EQ(r.stdoutText, "script arg\n1024\n");

    // A busybox script as the program: only its explicit sh -c calls count.
    Result shell = RunShell(device, "echo outer; /bin/sh -c 'echo inner'; exit 5");
    ASSERT_EQ(shell.error, "");
    EXPECT_EQ(shell.commands, std::vector<std::string>{"echo inner"});
    EXPECT_EQ(shell.stdoutText, "outer\ninner\n");
    EXPECT_EQ(shell.exitStatus, 5);
}

TEST(SandboxWatchdog, StandInRecordsArgumentsAndTheOtherDeviceProcesses) {
    Device device;
    device.entries = {Wdfeed("/tmp/wdfeed")};
    Result r = Probe(device, {
                                 "/tmp/wdfeed &",
                                 "while ! pidof wdfeed >/dev/null; do sleep 0.01; done",
                                 "watchdog /dev/watchdog -T 5",
                                 "pkill -9 wdfeed",
                                 "/sbin/watchdog 'two words'",
                             });
    EXPECT_EQ(r.stdoutText, "0\n0\n0\n0\n0\n");
    ASSERT_EQ(r.watchdogCalls.size(), 2u);
    EXPECT_EQ(r.watchdogCalls[0],
              (std::vector<std::string>{"watchdog", "/dev/watchdog", "-T", "5"}));
    EXPECT_EQ(r.watchdogCalls[1], (std::vector<std::string>{"watchdog", "two words"}));
    ASSERT_EQ(r.watchdogAlive.size(), 2u);
    EXPECT_TRUE(Contains(r.watchdogAlive[0], "wdfeed"));
    EXPECT_TRUE(Contains(r.watchdogAlive[0], "upgrader"));  // the program, by its device name
    EXPECT_FALSE(Contains(r.watchdogAlive[1], "wdfeed"));   // pkill stopped it
    EXPECT_FALSE(Contains(r.aliveAtEnd, "wdfeed"));
}

TEST(SandboxProcesses, ProcShowsOnlyTheDevicesOwnProcesses) {
    // A fresh pid namespace: its init is pid 1 and only a handful of
    // processes exist, none of the host's.
    Result r = Probe(Device{}, {"ls /proc | grep -c '^[0-9]'; cat /proc/1/comm"});
    const std::vector<std::string> out = sandbox::SplitLines(r.stdoutText);
    ASSERT_EQ(out.size(), 3u) << r.stdoutText;
    EXPECT_LE(std::stoi(out[0]), 8);
    EXPECT_EQ(out[1], "bash");  // the launcher's init, outside the device root
}

TEST(SandboxProcesses, ProcessesLeftRunningEndWithTheRunAndNothingStaysOnTheHost) {
    // A uniquely named watchdog program that nobody stops.
    std::random_device rd;
    std::ostringstream name;
    name << "wdf" << std::hex << (rd() & 0xffffffu);
    Device device;
    device.entries = {Wdfeed("/tmp/" + name.str())};

    const std::string mountsBefore = Slurp("/proc/self/mountinfo");
    std::string outDir;
    {
        Result r =
            Probe(device, {"/tmp/" + name.str() + " &",
                           "while ! pidof " + name.str() + " >/dev/null; do sleep 0.01; done"});
        EXPECT_TRUE(Contains(r.aliveAtEnd, name.str()));
        outDir = r.outDir;
        EXPECT_TRUE(fs::exists(outDir));
    }
    EXPECT_FALSE(fs::exists(fs::path(outDir).parent_path()));  // removed with the Result
    EXPECT_EQ(Slurp("/proc/self/mountinfo"), mountsBefore);
    // No child process of ours is left, and no host process has the name.
    errno = 0;
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
    for (const auto& proc : fs::directory_iterator("/proc")) {
        const std::string pid = proc.path().filename();
        if (pid.find_first_not_of("0123456789") == std::string::npos) {
            EXPECT_NE(Slurp(proc.path() / "comm"), name.str() + "\n") << "host pid " << pid;
        }
    }
}

TEST(SandboxProcesses, OutputsOfDeadTestProcessesAreSweptAway) {
    // A test process that died before its Result was destroyed left its
    // output directory behind; the next run removes it.
    const std::string base = ::testing::TempDir() + "qx-sandbox-sweep";
    fs::create_directories(base);
    ::setenv("QX_SANDBOX_TMPDIR", base.c_str(), 1);
    const pid_t child = ::fork();
    if (child == 0) {
        ::_exit(0);
    }
    ASSERT_EQ(::waitpid(child, nullptr, 0), child);
    const std::string abandoned = base + "/qx-sandbox." + std::to_string(child) + ".abcdef";
    const std::string mine = base + "/qx-sandbox." + std::to_string(::getpid()) + ".abcdef";
    fs::create_directories(abandoned + "/out/root");
    fs::create_directories(mine);
    Result r = Probe(Device{}, {});
    EXPECT_FALSE(fs::exists(abandoned));
    EXPECT_TRUE(fs::exists(mine));
    EXPECT_EQ(r.outDir.compare(0, base.size(), base), 0);
    ::unsetenv("QX_SANDBOX_TMPDIR");
    r = Result{};
    fs::remove_all(base);
}

TEST(SandboxMounts, RamdiskRemountGivesAFreshEmpty25MTmpfs) {
    Entry old;
    old.path = "/tmp/ramdisk/old";
    old.content = "package";
    Device device;
    device.entries = {old};
    Result r = Probe(device, {
                                 "umount /tmp/ramdisk/",
                                 "grep -c ' /tmp/ramdisk ' /proc/mounts",
                                 "mount -t tmpfs -o size=25M /tmp/ramdisk/",
                                 "grep ' /tmp/ramdisk ' /proc/mounts | cut -d' ' -f1,3",
                                 "stat -f -c '%b %S' /tmp/ramdisk; ls -A /tmp/ramdisk",
                             });
    EXPECT_EQ(r.stdoutText,
              "0\n"
              "0\n256\n"  // grep -c found no mount: exit status 1
              "0\n"
              "tmpfs tmpfs\n0\n"
              "6400 4096\n0\n");  // 25 MiB, empty
    EXPECT_FALSE(r.Exists("/tmp/ramdisk/old"));
}

TEST(SandboxMounts, FlashFreeSpaceIsRealAndNotLimitedTo32Bits) {
    Entry filler;
    filler.path = "/var/filler";
    filler.size = 1 << 20;
    Device small;
    small.entries = {filler};
    Result r = Probe(small, {"stat -f -c '%a %S' /"});
    const unsigned long long total = 64ull << 20;
    EXPECT_LE(r.flashFreeBytes, total - (1u << 20));
    EXPECT_GE(r.flashFreeBytes, total - (1u << 20) - (64u << 10));
    std::istringstream in(r.stdoutText);
    unsigned long long blocks = 0, size = 0;
    in >> blocks >> size;
    EXPECT_EQ(blocks * size, r.flashFreeBytes);
    EXPECT_EQ(r.ReadFile("/var/filler"), std::string(1 << 20, '\0'));

    Device large;
    large.flashSize = "5G";
    Result big = Probe(large, {});
    EXPECT_GT(big.flashFreeBytes, 4ull << 30);
    EXPECT_LE(big.flashFreeBytes, 5ull << 30);
}

TEST(SandboxKernel, ProcVersionTextEmptyOrUnopenable) {
    Device text;
    text.procVersion = "Linux version 2.6.35.3-00265-gabc8368 (builder@host) #1\n";
    EXPECT_EQ(Probe(text, {"cat /proc/version"}).stdoutText, *text.procVersion + "0\n");

    Device empty;
    empty.procVersionMode = ProcVersionMode::Empty;
    EXPECT_EQ(Probe(empty, {"cat /proc/version && echo opened; wc -c < /proc/version"}).stdoutText,
              "opened\n0\n0\n");

    Device unopenable;
    unopenable.procVersionMode = ProcVersionMode::Unopenable;
    Result r = Probe(unopenable, {"cat /proc/version"});
    EXPECT_EQ(r.stdoutText, "256\n");
    EXPECT_NE(r.stderrText.find("No such device or address"), std::string::npos) << r.stderrText;
}

TEST(SandboxKernel, BoardNodePresentOrAbsent) {
    const std::string test = "cat /sys/kernel/qxfc/board | grep -q \"\\b12\\b\"";
    Device board12;
    board12.board = "VQ740 rev 12\n";
    Device board120;
    board120.board = "VQ740 rev 120\n";
    Device none;
    EXPECT_EQ(Probe(board12, {test}).stdoutText, "0\n");
    EXPECT_EQ(Probe(board120, {test}).stdoutText, "256\n");
    Result r = Probe(none, {test, "test -e /sys/kernel/qxfc/board"});
    EXPECT_EQ(r.stdoutText, "256\n256\n");
}

TEST(SandboxFiles, EntriesArePlacedWithModesTimesAndOrder) {
    Device device;
    Entry later;
    later.path = "/tmp/ramdisk/udb";
    later.content = "b";
    later.mode = 0600;
    later.mtime = 1000000000;
    Entry earlier;
    earlier.path = "/tmp/ramdisk/uda";
    earlier.size = 3;
    Entry dir;
    dir.path = "/lib/modules/2.6.35.3";
    dir.kind = Kind::Directory;
    dir.mtime = 1200000000;
    Entry link;
    link.path = "/sbin/qx_monitor";
    link.kind = Kind::Symlink;
    link.target = "/usr/bin/missing";
    Entry fifo;
    fifo.path = "/tmp/fifo";
    fifo.kind = Kind::Fifo;
    device.entries = {later, earlier, dir, link, fifo};
    Result r = Probe(device, {
                                 "find /tmp/ramdisk -mindepth 1",
                                 "stat -c '%a %Y %s' /tmp/ramdisk/udb /tmp/ramdisk/uda",
                                 "stat -c '%a %Y %F' /lib/modules/2.6.35.3",
                                 "readlink /sbin/qx_monitor; stat -c %F /tmp/fifo",
                             });
    const std::vector<std::string> out = sandbox::SplitLines(r.stdoutText);
    ASSERT_EQ(out.size(), 11u) << r.stdoutText;
    EXPECT_EQ(out[0], "/tmp/ramdisk/udb");  // creation order, not name order
    EXPECT_EQ(out[1], "/tmp/ramdisk/uda");
    EXPECT_EQ(out[3], "600 1000000000 1");
    EXPECT_EQ(out[4].substr(0, 4), "644 ");
    EXPECT_EQ(out[4].substr(out[4].size() - 2), " 3");
    EXPECT_EQ(out[6], "755 1200000000 directory");
    EXPECT_EQ(out[8], "/usr/bin/missing");
    EXPECT_EQ(out[9], "fifo");
    // The files after the run, as the device left them.
    EXPECT_EQ(r.ReadFile("/tmp/ramdisk/udb"), "b");
    EXPECT_TRUE(r.Exists("/sbin/qx_monitor"));
    EXPECT_FALSE(r.Exists("/tmp/ramdisk/udc"));
}

TEST(SandboxLauncher, BadInputsAreReportedNotRun) {
    Result missing = sandbox::Run(Device{}, "/nonexistent/program", {});
    EXPECT_EQ(missing.exitStatus, -1);
    EXPECT_NE(missing.error.find("program not found"), std::string::npos) << missing.error;

    Device relative;
    Entry entry;
    entry.path = "tmp/x";
    relative.entries = {entry};
    EXPECT_NE(sandbox::Run(relative, SysprobePath(), {}).error, "");

    // An entry below a symbolic link is refused: the link could lead into
    // the host while the files are being prepared.
    const std::string hostDir = ::testing::TempDir() + "qx-sandbox-escape";
    fs::create_directories(hostDir);
    Device escape;
    Entry link;
    link.path = "/tmp/escape";
    link.kind = Kind::Symlink;
    link.target = hostDir;
    Entry below;
    below.path = "/tmp/escape/pwned";
    escape.entries = {link, below};
    EXPECT_NE(sandbox::Run(escape, SysprobePath(), {}).error.find("non-directory"),
              std::string::npos);
    EXPECT_TRUE(fs::is_empty(hostDir));
    fs::remove_all(hostDir);

    Device badSize;
    badSize.flashSize = "64M; reboot";
    EXPECT_NE(sandbox::Run(badSize, SysprobePath(), {}).error.find("bad flash size"),
              std::string::npos);
}

TEST(SandboxLauncher, EmulatorRunsTheProgramAndItsMessagesAreKept) {
    // busybox stands in for the emulator: it is given the emulator arguments,
    // then the program's device path and the program's arguments.
    Device device;
    device.emulator = BusyboxPath();
    device.emulatorArgs = {"sh", "-c", "echo \"$0|$*\"; echo emulator-note >&2; exit 7"};
    Result r = sandbox::Run(device, SysprobePath(), {"a b", "c"});
    ASSERT_EQ(r.error, "");
    EXPECT_EQ(r.stdoutText, "/usr/sbin/upgrader|a b c\n");
    EXPECT_EQ(r.stderrText, "emulator-note\n");
    EXPECT_EQ(r.exitStatus, 7);
}

TEST(SandboxLauncher, ArmProgramRunsUnderQemuAndItsShellCommandsAreRecorded) {
#if defined(QX_SYSPROBE_ARM) && defined(QX_QEMU_ARM)
    Device device;
    device.emulator = QX_QEMU_ARM;
    device.emulatorArgs = {"-strace"};
    Result r = sandbox::Run(device, QX_SYSPROBE_ARM, {"echo arm", "exit 2"});
    ASSERT_EQ(r.error, "");
    EXPECT_EQ(r.stdoutText, "arm\n0\n512\n");
    EXPECT_EQ(r.commands, (std::vector<std::string>{"echo arm", "exit 2"}));
    EXPECT_NE(r.stderrText.find("execve("), std::string::npos);  // the emulator's trace
#else
    GTEST_SKIP() << "arm-linux-gnueabi-gcc or qemu-arm-static not installed";
#endif
}

}  // namespace
}  // namespace qx::sandbox
