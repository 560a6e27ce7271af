#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <functional>

#include "support/DeviceLog.h"
#include "upgrader/DeviceScenario.h"

using qx::sandbox::Result;
using qx::testing::LogLines;
using qx::testing::QuiesceCommands;
using Lines = std::vector<std::string>;

namespace {

const char* const kBanner = "Upg: V0.0.5: Beginning upgrade";

Lines SuccessfulRunCommands() {
    return qx::testing::Concat(
        {QuiesceCommands(),
         {"/tmp/wdfeed &", "cat /sys/kernel/qxfc/board | grep -q \"\\b12\\b\""},
         qx::testing::kStaticDirectoryCommands,
         qx::testing::kStagingCommands,
         {"rm /etc/upgrade_started", "pkill -9 wdfeed", "watchdog /dev/watchdog -T 5"}});
}

unsigned int TimeQuotient() { return static_cast<unsigned int>(std::time(nullptr)) / 1000u; }

bool Contains(const Lines& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

void ExpectDaemonsRestored(const Result& result, bool restored) {
    for (const char* daemon : {"/sbin/qx_monitor", "/usr/sbin/qxsshd", "/sbin/nvlogger"}) {
        EXPECT_EQ(result.Exists(daemon), restored) << daemon;
        EXPECT_EQ(result.Exists(std::string(daemon) + ".disabled"), !restored) << daemon;
    }
}

}  // namespace

TEST(UpgradeRun, SuccessfulRunStagesValidatesAndHandsOff) {
    DeviceScenario scenario;
    scenario.PlacePackage("ud1.bin");
    // An upload of the current time window stays (the window is t-1..t+1).
    const std::string upload = "/tmp/ud" + std::to_string(TimeQuotient());
    scenario.Place(upload, "upload");
    const Result result = scenario.Run();

    EXPECT_TRUE(result.Exists(upload));
    EXPECT_EQ(result.commands, SuccessfulRunCommands());
    ASSERT_EQ(result.watchdogCalls.size(), 1u);
    EXPECT_EQ(result.watchdogCalls[0], (Lines{"watchdog", "/dev/watchdog", "-T", "5"}));

    // Its first and last lines, exit and marker: the accepting row of the outcome table.
    const Lines log = LogLines(result.ReadFile("/var/log/upgrade_log"));
    for (const char* line : {"Version 5", "Upgrade Name: router firmware", "Release Name: R7.3.1",
                             "File Date: 20261206", "Upgrade ID: 4242",
                             "Enough space created after clearing static files"}) {
        EXPECT_TRUE(Contains(log, line)) << line;
    }

    EXPECT_FALSE(result.Exists("/tmp/ramdisk/ud1.bin"));
    EXPECT_FALSE(result.Exists("/tmp/ramdisk/pnv-wait-during-startup"));
    EXPECT_EQ(result.ReadFile("/tmp/ramdisk/kernel_image"), DeviceScenario::kKernelImage);
    EXPECT_EQ(result.ReadFile("/tmp/ramdisk/filesystem.db"), DeviceScenario::kDatabase);
    EXPECT_FALSE(result.Exists("/tmp/fs-validator"));
    EXPECT_EQ(result.ReadFile("/tmp/validator-args"),
              "/tmp/ramdisk/fs-validator /tmp/ramdisk/kernel_image /tmp/ramdisk/filesystem.db\n");
    EXPECT_EQ(result.ReadFile("/tmp/validator-ramdisk"),
              "filesystem.db\nfs-validator\nkernel_image\nupgrade_log\n");
    // The old RAM disk was unmounted (nothing held it open): one mount, the new one.
    const Lines mounts = qx::sandbox::SplitLines(result.ReadFile("/tmp/validator-mounts"));
    ASSERT_EQ(mounts.size(), 1u) << result.ReadFile("/tmp/validator-mounts");
    EXPECT_NE(mounts[0].find("size=25600k"), std::string::npos) << mounts[0];
    EXPECT_EQ(result.ReadFile("/tmp/validator-mode"), "755\n");
    EXPECT_NE(result.ReadFile("/tmp/validator-wdfeed"), "");

    EXPECT_FALSE(result.Exists("/tmp/wdfeed"));
    // "pkill -9" returns before the process has gone.
    EXPECT_FALSE(Contains(result.aliveAtEnd, "wdfeed"));
}

namespace {

// One row of the outcome table.
struct Outcome {
    const char* name;
    std::function<void(DeviceScenario&)> prepare;
    Lines lines;  // the driver's first line after the banner and its last
    int exit;
    std::string measured = "";  // the cleanup's first figure, when it matters
    bool quiesced = true;       // the marker stays, the daemons are restored
    bool accepted = false;      // a validator accepted: the marker goes
};

// What the router finds when it comes back from the restart after the run.
void ExpectWholeLogOnTheFlashAfterRestart(const Outcome& c, const Result& result) {
    EXPECT_EQ(result.exitStatus, c.exit);
    EXPECT_EQ(result.commands.back(), "watchdog /dev/watchdog -T 5");
    // Nothing of the log is left on the RAM disk for the restart to take.
    EXPECT_FALSE(result.Exists("/tmp/ramdisk/upgrade_log"));
    if (!c.quiesced) {  // the device untouched
        EXPECT_EQ(result.commands, (Lines{"watchdog /dev/watchdog -T 5"}));
        EXPECT_TRUE(result.Exists("/tmp/wdfeed"));
    }

    const Result back = result.AfterRestart();
    ASSERT_TRUE(back.Exists("/var/log")) << "no restart was modelled";
    EXPECT_FALSE(back.Exists("/tmp/ramdisk/upgrade_log"));
    Lines log = LogLines(back.ReadFile("/var/log/upgrade_log"));
    if (c.lines.back() == "Successfully upgraded firmware") {
        ASSERT_EQ(log.back(), "");  // the success entry ends in a line feed
        log.pop_back();
    }
    ASSERT_GE(log.size(), 2 + c.lines.size());
    EXPECT_EQ(Lines(log.begin(), log.begin() + 3),
              (Lines{"line of an earlier run", kBanner, c.lines.front()}));
    EXPECT_EQ(log.back().substr(0, c.lines.back().size()), c.lines.back());
    if (!c.measured.empty()) {
        EXPECT_EQ(log.at(4), c.measured);
    }
    // The marker until a validator accepts; the daemons on every exit after
    // the quiescing.
    EXPECT_EQ(back.Exists("/etc/upgrade_started"), c.quiesced && !c.accepted);
    ExpectDaemonsRestored(back, c.quiesced);
}

// The rows of the outcome table.
std::vector<Outcome> Outcomes() {
    const std::string cleanup = "Running cleanup to allow for upgrade";
    return {
        {"no argument",
         [](DeviceScenario& s) { s.args.clear(); },
         {"/usr/sbin/upgrader: No watchdog provided"},
         0,
         "",
         false},
        {"board refused",
         [](DeviceScenario& s) { s.device.board = "rev 12"; },
         {"Unable to upgrade 630/730 Rev1 units"},
         0},
        {"not enough space",
         [](DeviceScenario& s) { s.device.flashSize = "16M"; },
         {cleanup, "Unable to sufficiently cleanup the OS"},
         0},
        // 5 GiB free reads as the most a 32-bit figure holds, not as 1 GiB.
        {"no package on a flash over 4 GiB",
         [](DeviceScenario& s) { s.device.flashSize = "5G"; },
         {cleanup, "Unable to locate upgrade file"},
         0,
         "FreeSpace: 4294967295"},
        {"package invalid",
         [](DeviceScenario& s) {
             std::string package =
                 DeviceScenario::PackageBytes(0, DeviceScenario::DefaultOuterFields());
             package[package.size() - 1] ^= 1;
             s.Place("/tmp/ramdisk/udpackage", package);
         },
         {cleanup, "Unable to parse file: Header MD5 check failed"},
         0},
        {"extraction failed",
         [](DeviceScenario& s) {
             s.PlacePackage("ud1.bin");
             s.PlaceDirectory("/tmp/kernel_image");
         },
         {cleanup, "Unable to extract files: Couldn't open extraction file /tmp/kernel_image"},
         1},
        {"staged, the validator refuses",
         [](DeviceScenario& s) { s.PlacePackage("ud", 3); },
         {cleanup, "Successfully upgraded firmware"},
         1},
        {"staged, the validator accepts",
         [](DeviceScenario& s) { s.PlacePackage("ud1.bin"); },
         {cleanup, "Successfully upgraded firmware"},
         1,
         "",
         true,
         true},
    };
}

}  // namespace

// The outcome table, each row followed by the restart its hand-off starts:
// the log is back on the flash on every exit, earlier lines first.
TEST(UpgradeRun, EveryOutcomeLeavesTheWholeLogOnTheFlashAcrossTheRestart) {
    for (const Outcome& c : Outcomes()) {
        SCOPED_TRACE(c.name);
        DeviceScenario scenario;
        scenario.device.restart = true;
        c.prepare(scenario);
        const Result result = scenario.Run();
        ASSERT_EQ(result.error, "");
        ExpectWholeLogOnTheFlashAfterRestart(c, result);
    }
}

TEST(UpgradeRun, WatchdogArgumentsDecideTheHandOffCommands) {
    struct Case {
        Lines args;
        std::string pkill;  // empty: no pkill of the watchdog program
        std::string deleted;
    };
    const std::vector<Case> cases = {
        {{"/tmp/wdfeed", "ignored", "also ignored"}, "pkill -9 wdfeed", "/tmp/wdfeed"},
        {{"/abcd"}, "pkill -9 ", "/abcd"},
        {{"/ab"}, "", "/ab"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0]);
        DeviceScenario scenario;
        scenario.args = c.args;
        scenario.device.board = "rev 12";
        scenario.Place(c.deleted == "/tmp/wdfeed" ? "/tmp/unused" : c.deleted, "program", 0755);
        const Result result = scenario.Run();

        ASSERT_GE(result.commands.size(), 2u);
        EXPECT_EQ(result.commands.back(), "watchdog /dev/watchdog -T 5");
        const std::string beforeLast = result.commands[result.commands.size() - 2];
        if (c.pkill.empty()) {
            EXPECT_EQ(beforeLast.rfind("pkill -9 ", 0), std::string::npos) << beforeLast;
        } else {
            EXPECT_EQ(beforeLast, c.pkill);
        }
        EXPECT_TRUE(Contains(result.commands, c.args[0] + " &"));
        EXPECT_FALSE(result.Exists(c.deleted));
    }
}
