// Extraction onto a file system that fills up, on a simulated device (the
// probe runs inside the device sandbox, never on the host).
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "PackageFixture.h"
#include "sandbox/Sandbox.h"

using namespace qx::testing;

namespace {

constexpr std::size_t kInnerSize = 3 * 1024 * 1024;

qx::sandbox::Result RunProbe(const std::string& packageHostPath, const std::string& flashSize) {
    qx::sandbox::Device device;
    device.flashSize = flashSize;
    qx::sandbox::Entry package;
    package.path = "/tmp/ramdisk/udpackage";
    package.hostSource = packageHostPath;
    device.entries.push_back(package);
    device.programDevicePath = "/usr/sbin/extract_probe";
    return qx::sandbox::Run(device, QX_EXTRACT_PROBE_PATH,
                            {"/tmp/ramdisk/udpackage", "1", "/tmp/extracted"});
}

}  // namespace

TEST(ExtractOnDevice, FullFlashFailsWithMessage) {
    TempDir dir;
    std::string packagePath = dir / "udpackage";
    WriteBytes(packagePath, Build({"small", Pattern(kInnerSize)}));

    // Room enough: the file holds exactly the inner file.
    qx::sandbox::Result roomy = RunProbe(packagePath, "16M");
    ASSERT_EQ(roomy.error, "");
    EXPECT_EQ(roomy.exitStatus, 0) << roomy.stdoutText << roomy.stderrText;
    EXPECT_EQ(roomy.stdoutText, "parse 1\nextract 1\n");
    EXPECT_EQ(roomy.ReadFile("/tmp/extracted"), Pattern(kInnerSize));

    // A flash of 1 MiB fills up part of the way: false and a message naming
    // the output and the system's text, never success.
    qx::sandbox::Result full = RunProbe(packagePath, "1M");
    ASSERT_EQ(full.error, "");
    EXPECT_EQ(full.exitStatus, 1) << full.stdoutText << full.stderrText;
    EXPECT_EQ(full.stdoutText, std::string("parse 1\nextract 0 Error writing extraction file "
                                           "/tmp/extracted: error: ") +
                                   std::strerror(ENOSPC) + "\n");
    EXPECT_LT(full.ReadFile("/tmp/extracted").size(), kInnerSize);
}
