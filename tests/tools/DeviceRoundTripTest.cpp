// A package written by mkupgrade, run through the real upgrader on the
// simulated device: the device program accepts it and stages the inner files
// exactly as they were given.
#include <algorithm>
#include <string>
#include <vector>

#include "../upgrader/DeviceScenario.h"
#include "ToolFixture.h"
#include "support/DeviceLog.h"

namespace qx::testing {
namespace {

TEST_F(ToolTest, UpgraderAcceptsAPackageBuiltByMkupgrade) {
    // Label and content of each inner file; the device takes 2, 3 and 4.
    const std::pair<std::string, std::string> inners[] = {
        {"", "release notes\n"},
        {"", ""},
        {"fs-validator", "#!/bin/sh\necho \"$*\" > /tmp/validator-args\nexit 0\n"},
        {"kernel_image", Pattern(70001, 7)},
        {"filesystem.db", Pattern(1025, 8)},
    };
    std::vector<std::string> args = WithFields({"-o", dir / "ud-mk.bin"});
    for (const auto& [label, content] : inners) {
        args.insert(args.end(), {"--label", label, dir / ("in" + std::to_string(args.size()))});
        WriteBytes(args.back(), content);
    }
    ToolResult built = Mkupgrade(args);
    ASSERT_EQ(built.exitStatus, 0) << built.err;

    DeviceScenario scenario;
    sandbox::Entry package;
    package.path = "/tmp/ramdisk/ud-mk.bin";
    package.hostSource = dir / "ud-mk.bin";
    scenario.device.entries.push_back(package);
    const sandbox::Result result = scenario.Run();

    const std::vector<std::string> log = LogLines(result.ReadFile("/var/log/upgrade_log"));
    for (const char* line :
         {"Version 258", "Upgrade Name: qx router", "Release Name: R5.1", "File Date: 20261206",
          "Upgrade ID: 4294967295", "Successfully upgraded firmware"}) {
        EXPECT_NE(std::find(log.begin(), log.end(), line), log.end()) << line;
    }
    EXPECT_TRUE(result.ReadFile("/tmp/ramdisk/kernel_image") == inners[3].second);
    EXPECT_TRUE(result.ReadFile("/tmp/ramdisk/filesystem.db") == inners[4].second);
    EXPECT_EQ(result.ReadFile("/tmp/validator-args"),
              "/tmp/ramdisk/kernel_image /tmp/ramdisk/filesystem.db\n");
}

}  // namespace
}  // namespace qx::testing
