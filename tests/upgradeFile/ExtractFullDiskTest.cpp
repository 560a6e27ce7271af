// Extraction onto a file system that fills up, on a simulated device (the
// probe runs inside the device sandbox, never on the host).
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "sandbox/Sandbox.h"
#include "upgradeFile/PackageFixture.h"

using namespace qx::testing;

TEST(ExtractOnDevice, FullFlashFailsWithMessage) {
    constexpr std::size_t kInnerSize = 3 * 1024 * 1024;
    TempDir dir;
    WriteBytes(dir / "udpackage", Build({"small", Pattern(kInnerSize)}));
    qx::sandbox::Device device;
    device.flashSize = "1M";
    qx::sandbox::Entry package;
    package.path = "/tmp/ramdisk/udpackage";  // on the RAM disk, which has room
    package.hostSource = dir / "udpackage";
    device.entries.push_back(package);
    device.programDevicePath = "/usr/sbin/extract_probe";
    const qx::sandbox::Result full = qx::sandbox::Run(
        device, QX_EXTRACT_PROBE_PATH, {"/tmp/ramdisk/udpackage", "1", "/tmp/extracted"});

    // The flash of 1 MiB fills up part of the way: false and a message naming
    // the output and the system's text, never success.
    ASSERT_EQ(full.error, "");
    EXPECT_EQ(full.exitStatus, 1) << full.stdoutText << full.stderrText;
    EXPECT_EQ(full.stdoutText, std::string("parse 1\nextract 0 Error writing extraction file "
                                           "/tmp/extracted: error: ") +
                                   std::strerror(ENOSPC) + "\n");
    EXPECT_GT(full.ReadFile("/tmp/extracted").size(), 0u);
    EXPECT_LT(full.ReadFile("/tmp/extracted").size(), kInnerSize);
}
