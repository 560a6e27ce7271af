// Self-tests of the device sandbox: the host only sees the output directory.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>

#include "sandbox/Sandbox.h"
#include "support/Files.h"
#include "support/TempDir.h"

namespace qx::sandbox {
namespace {

namespace fs = std::filesystem;

bool Contains(const std::vector<std::string>& names, const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

using qx::testing::ReadBytes;

Entry At(const std::string& devicePath, Kind kind = Kind::File) {
    Entry entry;
    entry.path = devicePath;
    entry.kind = kind;
    return entry;
}

Entry Wdfeed(const std::string& devicePath) {
    Entry entry = At(devicePath);
    entry.hostSource = WdfeedPath();
    entry.mode = 0755;
    return entry;
}

Device With(std::vector<Entry> entries) {
    Device device;
    device.entries = std::move(entries);
    return device;
}

// Runs command texts through system() on the device; prints output, wait status.
Result Probe(const Device& device, const std::vector<std::string>& texts) {
    Result result = sandbox::Run(device, SysprobePath(), texts);
    EXPECT_EQ(result.error, "");
    return result;
}

TEST(SandboxProcesses, OnlyDeviceProcessesAreSeenAndNothingStaysOnTheHost) {
    const std::string name = "wdf" + std::to_string(::getpid());
    const std::string mountsBefore = ReadBytes("/proc/self/mountinfo");
    std::string outDir;
    {
        Result r = Probe(
            With({Wdfeed("/tmp/" + name)}),
            {"/tmp/" + name + " &", "while ! pidof " + name + " >/dev/null; do sleep 0.01; done",
             "ls /proc | grep -c '^[0-9]'; cat /proc/1/comm"});
        // A fresh pid namespace: pid 1 is the launcher's init, few processes exist.
        const std::vector<std::string> out = SplitLines(r.stdoutText);
        ASSERT_EQ(out.size(), 5u) << r.stdoutText;
        EXPECT_LE(std::stoi(out[2]), 8);
        EXPECT_EQ(out[3], "bash");
        EXPECT_TRUE(Contains(r.aliveAtEnd, name));
        outDir = r.outDir;
        EXPECT_TRUE(fs::exists(outDir));
    }
    EXPECT_FALSE(fs::exists(fs::path(outDir).parent_path()));  // removed with the Result
    EXPECT_EQ(ReadBytes("/proc/self/mountinfo"), mountsBefore);
    // No child process of ours is left, and no host process has the name.
    errno = 0;
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
    for (const auto& proc : fs::directory_iterator("/proc")) {
        const std::string pid = proc.path().filename();
        if (pid.find_first_not_of("0123456789") == std::string::npos) {
            EXPECT_NE(ReadBytes(proc.path() / "comm"), name + "\n") << "host pid " << pid;
        }
    }
}

TEST(SandboxLauncher, BadInputsAreReportedNotRun) {
    Result missing = sandbox::Run(Device{}, "/nonexistent/program", {});
    EXPECT_EQ(missing.exitStatus, -1);
    EXPECT_NE(missing.error.find("program not found"), std::string::npos) << missing.error;

    // An entry below a symbolic link is refused: it could lead into the host.
    TempDir hostDir;
    Entry link = At("/tmp/escape", Kind::Symlink);
    link.target = hostDir.path();
    Device badSize;
    badSize.flashSize = "64M; reboot";
    const std::pair<Device, std::string> cases[] = {
        {With({At("tmp/x")}), "entry path must be absolute: tmp/x"},
        {With({link, At("/tmp/escape/pwned")}),
         "entry path passes through a non-directory: /tmp/escape/pwned"},
        {badSize, "bad flash size"},
    };
    for (const auto& [device, error] : cases) {
        Result r = sandbox::Run(device, SysprobePath(), {});
        EXPECT_EQ(r.exitStatus, -1);
        EXPECT_NE(r.error.find(error), std::string::npos) << r.error;
    }
    EXPECT_TRUE(fs::is_empty(hostDir.path()));
}

#if defined(QX_SYSPROBE_ARM) && defined(QX_CPUPROBE_ARM) && defined(QX_QEMU_ARM)
TEST(SandboxLauncher, ArmProgramsRunAsTheRoutersCpuAndKernel) {
    // The program and an ARM program it starts through the host's shell (like a
    // package's validator) both see an ARMv5 core and Linux 2.6.35.
    Entry probe = At("/tmp/cpuprobe");
    probe.hostSource = QX_CPUPROBE_ARM;
    probe.mode = 0755;
    Device device;
    device.entries.push_back(probe);
    Result r = sandbox::Run(device, QX_CPUPROBE_ARM, {});
    ASSERT_EQ(r.error, "");
    EXPECT_EQ(r.stdoutText, "2.6.35 v5l\n");
    r = sandbox::Run(device, QX_SYSPROBE_ARM, {"/tmp/cpuprobe"});
    ASSERT_EQ(r.error, "");
    EXPECT_EQ(r.stdoutText, "2.6.35 v5l\n0\n");
}
#endif

}  // namespace
}  // namespace qx::sandbox
