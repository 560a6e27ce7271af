// The device program against the router's kernel, Linux 2.6.35 on ARM EABI:
// whole upgrades of the ARM build run in the device sandbox under
// qemu-arm-static -strace, and every system call they make must exist on
// that kernel (linux-2.6.35-arm-eabi.syscalls) or be a reviewed call that the
// C library replaces by an older one on ENOSYS (enosys-fallbacks.list).
//
// QX_COMPAT_UPGRADER=/path/to/upgrader checks another ARM build of the
// device program instead of this build's.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "SyscallCheck.h"
#include "sandbox/Sandbox.h"
#include "upgrader/DeviceScenario.h"

namespace {

using qx::compat::CallsOutside;
using qx::compat::Fallback;
using qx::compat::SyscallTable;
using qx::compat::TracedCalls;

std::string UpgraderPath() {
    const char* chosen = std::getenv("QX_COMPAT_UPGRADER");
    return chosen != nullptr && *chosen != '\0' ? chosen : QX_UPGRADER_PATH;
}

std::string Joined(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& word : words) {
        text += (text.empty() ? "" : ", ") + word;
    }
    return text;
}

class KernelCalls : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(qx::compat::LoadSyscallTable(QX_SYSCALL_TABLE, table, error)) << error;
        ASSERT_TRUE(qx::compat::LoadFallbacks(QX_SYSCALL_FALLBACKS, fallbacks, error)) << error;
    }

    SyscallTable table;
    std::vector<Fallback> fallbacks;
};

TEST_F(KernelCalls, TableAndFallbacksAreConsistent) {
    // Spot checks of the table against the kernel: present, and left out.
    EXPECT_EQ(table.numberOf.at("open"), 5u);
    EXPECT_EQ(table.numberOf.at("fstatat64"), 327u);
    EXPECT_EQ(table.numberOf.at("recvmmsg"), 365u);  // the newest call of 2.6.35
    EXPECT_EQ(table.numberOf.count("time"), 0u);     // OBSOLETE(): not in an EABI kernel
    EXPECT_EQ(table.numberOf.count("accept4"), 0u);  // 2.6.36
    EXPECT_EQ(table.nameOf.rbegin()->second, "set_tls");

    ASSERT_FALSE(fallbacks.empty());
    for (const Fallback& fallback : fallbacks) {
        SCOPED_TRACE(fallback.call);
        EXPECT_EQ(table.numberOf.count(fallback.call), 0u) << "listed but not newer";
        EXPECT_EQ(table.nameOf.count(fallback.number), 0u) << "number of a 2.6.35 call";
        EXPECT_TRUE(fallback.olderCall == "none" || table.numberOf.count(fallback.olderCall) != 0)
            << "falls back to " << fallback.olderCall << ", which 2.6.35 lacks too";
        EXPECT_FALSE(fallback.reason.empty());
    }
}

TEST_F(KernelCalls, TraceParsing) {
    // Plain lines, a call the emulator cannot name, signals, and the error
    // texts of failed calls.
    const std::string plain =
        "101 brk(NULL) = 0x00162000\n"
        "101 set_robust_list(1450092,12) = -1 errno=38 (Function not implemented)\n"
        "101 Unknown syscall 398\n"
        "101 Unknown syscall 363\n"
        "101 Unknown syscall 999\n"
        "--- SIGCHLD {si_signo=SIGCHLD,si_code=CLD_EXITED} ---\n"
        "101 exit_group(0)\n";
    EXPECT_EQ(TracedCalls(plain, table, fallbacks),
              (std::set<std::string>{"brk", "set_robust_list", "rseq", "rt_tgsigqueueinfo",
                                     "syscall 999", "exit_group"}));

    // A parent and its child cut into each other's lines; strings are
    // skipped even when they look like calls.
    const std::string interleaved =
        "6450 rt_sigprocmask(SIG_BLOCK,NULL,0x3fffeed06447 wait4(6450,1082131284,0,0) = 0\n"
        "6447  = rt_sigprocmask(SIG_SETMASK,0x40800170,NULL) = 0\n"
        "6450 execve(\"/bin/sh\",{\"sh\",\"-c\",\"getrandom(x) ; memfd_create(y)\",NULL})\n";
    const std::set<std::string> calls = TracedCalls(interleaved, table, fallbacks);
    EXPECT_EQ(calls, (std::set<std::string>{"rt_sigprocmask", "wait4", "execve"}));

    EXPECT_EQ(CallsOutside({"open", "rseq", "memfd_create", "syscall 999"}, table, fallbacks),
              (std::vector<std::string>{"memfd_create", "syscall 999"}));
}

TEST_F(KernelCalls, DeviceProgramCarriesNoNewerKernelGate) {
    // Startup checks that would refuse the router's kernel outright: the C
    // library's minimum-kernel check and libgcc's test for the 64-bit
    // compare-and-swap kernel helper (Linux 3.1).
    std::ifstream in(UpgraderPath(), std::ios::binary);
    ASSERT_TRUE(in);
    const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    EXPECT_EQ(bytes.find("kernel too old"), std::string::npos);
    EXPECT_EQ(bytes.find("A newer kernel is required"), std::string::npos);
}

// Runs the device program of the scenario under the emulator's system-call
// trace, with the router's kernel release reported by uname.
class TracedUpgrade : public KernelCalls {
  protected:
    qx::sandbox::Result RunTraced(DeviceScenario& scenario) {
        scenario.device.emulator = QX_DEVICE_EMULATOR;
        scenario.device.emulatorArgs = {"-strace", "-r", "2.6.35"};
        scenario.device.timeoutSeconds = 300;
        return scenario.RunProgram(UpgraderPath());
    }

    void ExpectOnlyKernelCalls(const qx::sandbox::Result& result) {
        const std::set<std::string> calls = TracedCalls(result.stderrText, table, fallbacks);
        ASSERT_TRUE(calls.count("exit_group") != 0)
            << "no trace of the run: " << result.stderrText.substr(0, 2000);
        const std::vector<std::string> outside = CallsOutside(calls, table, fallbacks);
        EXPECT_TRUE(outside.empty())
            << "system calls that Linux 2.6.35 (ARM EABI) lacks: " << Joined(outside)
            << "\nAvoid them, or, when the C library falls back to an older call on ENOSYS,"
               " list them with that call in enosys-fallbacks.list.";
    }
};

TEST_F(TracedUpgrade, SuccessfulUpgrade) {
    DeviceScenario scenario;
    scenario.PlacePackage("ud-compat.bin");
    const qx::sandbox::Result result = RunTraced(scenario);
    ASSERT_EQ(result.error, "");
    EXPECT_EQ(result.exitStatus, 1);  // the status of every run past extraction
    const std::vector<std::string> log = LogLines(result.ReadFile("/var/log/upgrade_log"));
    EXPECT_NE(std::find(log.begin(), log.end(), "Successfully upgraded firmware"), log.end());
    ExpectOnlyKernelCalls(result);
}

TEST_F(TracedUpgrade, CleanupThroughEveryStage) {
    // A flash too small for the required space: the cleanup runs all of its
    // stages (logs, static files, kernel modules, rotated logs, extra files,
    // library versions) before the run gives up.
    DeviceScenario scenario;
    scenario.device.flashSize = "16M";
    scenario.Place("/lib/modules/2.6.35.3-00108-g29117d2/old.ko", "module");
    scenario.Place("/lib/modules/2.6.35.3-00227-geccd148/current.ko", "module");
    scenario.Place("/usr/lib/libcurl.so.4.6.0", "new library");
    scenario.Place("/lib/libcurl.so.4.0.0", "old library");
    scenario.Place("/var/log/messages", "live log\n");
    scenario.Place("/var/log/messages.1", "rotated log\n");
    scenario.PlacePackage("ud-compat.bin");
    const qx::sandbox::Result result = RunTraced(scenario);
    ASSERT_EQ(result.error, "");
    const std::string log = result.ReadFile("/tmp/ramdisk/upgrade_log");
    EXPECT_NE(log.find("Unable to sufficiently cleanup the OS"), std::string::npos) << log;
    ExpectOnlyKernelCalls(result);
}

#ifdef QX_INSPECT_PATH
TEST_F(TracedUpgrade, PackageInspectorOnTheRouter) {
    // The field engineer's check of a package before an upgrade: the ARM
    // inspector verifies the package where the upgrade will find it.
    DeviceScenario scenario;
    scenario.PlacePackage("ud-compat.bin");
    scenario.device.programDevicePath = "/usr/sbin/upgrade-inspect";
    scenario.args = {"verify", "/tmp/ramdisk/ud-compat.bin"};
    scenario.device.emulator = QX_DEVICE_EMULATOR;
    scenario.device.emulatorArgs = {"-strace", "-r", "2.6.35"};
    const qx::sandbox::Result result = scenario.RunProgram(QX_INSPECT_PATH);
    ASSERT_EQ(result.error, "");
    EXPECT_EQ(result.exitStatus, 0) << result.stderrText.substr(
        result.stderrText.size() > 2000 ? result.stderrText.size() - 2000 : 0);
    EXPECT_TRUE(result.commands.empty());  // it only reads
    ExpectOnlyKernelCalls(result);
}
#endif

}  // namespace
