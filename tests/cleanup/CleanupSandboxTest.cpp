// The cleanup on a real flash: the device-side probe on a tmpfs of real
// size in the sandbox, so the figures it logs are what the file system
// reports after real removals. The stage logic itself is tested in-process
// (CleanupTest.cpp).
#include <gtest/gtest.h>

#include "cleanup/StagePlan.h"
#include "sandbox/Sandbox.h"
#include "support/DeviceLog.h"

namespace sb = qx::sandbox;
using namespace qx::testing::stageplan;
using qx::testing::Lines;

namespace {

class RealFlash : public ::testing::TestWithParam<int> {};

TEST_P(RealFlash, FiguresFollowTheRemovalsUntilTheStageThatSuffices) {
    const int stage = GetParam();
    constexpr unsigned int kFlash = 32 * kMiB;
    sb::Device device;
    device.flashSize = "32M";
    device.procVersion = "Linux version " + kRelease + " (builder@buildhost) #1 PREEMPT\n";
    device.programDevicePath = "/usr/sbin/cleanup_probe";
    unsigned int used = 0;
    for (const Planned& file : kStageFiles) {
        sb::Entry entry;
        entry.path = file.path;
        entry.size = file.size;
        entry.mtime = file.mtime;
        device.entries.push_back(entry);
        used += file.size;
    }
    sb::Entry filler;
    filler.path = "/data/filler";
    filler.size = kFlash - FreeBeforeCleanup(stage) - used;
    device.entries.push_back(filler);

    const sb::Result result = sb::Run(
        device, QX_CLEANUP_PROBE, {"perform", std::to_string(qx::upgrader::kRequiredFreeSpace)});
    ASSERT_EQ(result.exitStatus, 0) << result.error << result.stderrText;
    const unsigned long long free = result.flashFreeBytes;
    EXPECT_EQ(result.stdoutText, "perform 1 1 " + std::to_string(free) + "\n");

    // The opening figure is what the flash really had; each later one adds
    // what the stages removed, the last is what the flash has now.
    const Lines log = qx::testing::LogLines(result.ReadFile("/tmp/ramdisk/upgrade_log"));
    ASSERT_GE(log.size(), 2u);
    const unsigned int start = static_cast<unsigned int>(std::stoul(log[1].substr(11)));
    std::vector<unsigned int> freed(5, kMiB);
    freed[2] = stage == 4 ? 512 * kKiB : kMiB;
    EXPECT_EQ(log, ExpectedLog(start, qx::upgrader::kRequiredFreeSpace, freed, stage));
    EXPECT_EQ(log[log.size() - 2], Free(static_cast<unsigned int>(free)));
    EXPECT_EQ(result.commands, CommandsThrough(stage));
    EXPECT_EQ(result.Exists("/usr/share/glib-2.0"), stage < 5);
    EXPECT_EQ(result.ReadFile("/var/log/messages").size(), stage < 6 ? 512 * kKiB : 0u);
}

INSTANTIATE_TEST_SUITE_P(Cleanup, RealFlash, ::testing::Values(4, 6));

}  // namespace
