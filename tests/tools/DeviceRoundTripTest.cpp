// A package written by mkupgrade, run through the real upgrader on the
// simulated device: the device program accepts it and stages the inner files
// exactly as they were given.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "../upgrader/DeviceScenario.h"
#include "ToolRunner.h"
#include "support/TempDir.h"

namespace {

using qx::testing::RunTool;
using qx::testing::ToolResult;
using qx::testing::WriteWholeFile;

TEST(DeviceRoundTrip, UpgraderAcceptsAPackageBuiltByMkupgrade) {
    TempDir dir;
    const std::string kernel = qx::testing::PatternBytes(70001, 7);
    const std::string database = qx::testing::PatternBytes(1025, 8);
    WriteWholeFile(dir / "notes", "release notes\n");
    WriteWholeFile(dir / "empty", "");
    WriteWholeFile(dir / "validator", "#!/bin/sh\necho \"$*\" > /tmp/validator-args\nexit 0\n");
    WriteWholeFile(dir / "kernel", kernel);
    WriteWholeFile(dir / "database", database);
    ToolResult built = RunTool(QX_MKUPGRADE_PATH,
                               {"--version",
                                "7",
                                "--upgrade-name",
                                "mkupgrade round trip",
                                "--release-name",
                                "R9",
                                "--file-date",
                                "20261206",
                                "--upgrade-id",
                                "99",
                                "-o",
                                dir / "ud-mk.bin",
                                dir / "notes",
                                dir / "empty",
                                "--label",
                                "fs-validator",
                                dir / "validator",
                                "--label",
                                "kernel_image",
                                dir / "kernel",
                                "--label",
                                "filesystem.db",
                                dir / "database"},
                               dir.path());
    ASSERT_EQ(built.exitStatus, 0) << built.err;

    DeviceScenario scenario;
    qx::sandbox::Entry package;
    package.path = "/tmp/ramdisk/ud-mk.bin";
    package.hostSource = dir / "ud-mk.bin";
    scenario.device.entries.push_back(package);
    const qx::sandbox::Result result = scenario.Run();

    const std::vector<std::string> log = LogLines(result.ReadFile("/var/log/upgrade_log"));
    for (const char* line :
         {"Version 7", "Upgrade Name: mkupgrade round trip", "Release Name: R9",
          "File Date: 20261206", "Upgrade ID: 99", "Successfully upgraded firmware"}) {
        EXPECT_NE(std::find(log.begin(), log.end(), line), log.end()) << line;
    }
    EXPECT_TRUE(result.ReadFile("/tmp/ramdisk/kernel_image") == kernel);
    EXPECT_TRUE(result.ReadFile("/tmp/ramdisk/filesystem.db") == database);
    EXPECT_EQ(result.ReadFile("/tmp/validator-args"),
              "/tmp/ramdisk/kernel_image /tmp/ramdisk/filesystem.db\n");
}

}  // namespace
