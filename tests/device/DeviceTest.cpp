// The shared device cases on both devices, and the real device functions
// done by another user against what root placed in the sticky /tmp.
#include <gtest/gtest.h>

#include <map>

#include "device/DeviceCases.h"
#include "sandbox/Sandbox.h"

namespace qx::testing::devicecases {
namespace {

TEST(DeviceCases, TheInMemoryDeviceDoesWhatTheTableSays) {
    for (const DeviceCase& c : Cases()) {
        EXPECT_EQ(RunCase(c), c.expected) << c.name;
    }
}

TEST(DeviceCases, TheRealDeviceDoesTheSameOnTheSimulatedRouter) {
    const sandbox::Result r = sandbox::Run(sandbox::Device{}, QX_DEVICE_PROBE_PATH, {"cases"});
    ASSERT_EQ(r.error, "");
    EXPECT_EQ(r.exitStatus, 0) << r.stderrText;
    std::map<std::string, std::string> described;
    for (const std::string& line : sandbox::SplitLines(r.stdoutText)) {
        const std::size_t tab = line.find('\t');
        described[line.substr(0, tab)] = tab == std::string::npos ? "" : line.substr(tab + 1);
    }
    EXPECT_EQ(described.size(), Cases().size()) << r.stdoutText;
    for (const DeviceCase& c : Cases()) {
        EXPECT_EQ(described[c.name], c.expected) << c.name;
    }
}

sandbox::Entry RootOwned(const std::string& path, sandbox::Kind kind, const std::string& text) {
    sandbox::Entry entry;
    entry.path = path;
    entry.kind = kind;
    (kind == sandbox::Kind::Symlink ? entry.target : entry.content) = text;
    entry.mode = 0666;
    return entry;
}

// Root's link or file in /tmp cannot be removed by user 1000 (sticky), so
// nothing may follow the link or open the file: the user's own files stay,
// root's file keeps its bytes. The user's own upload goes.
TEST(OtherUser, NeitherFollowsNorWritesWhatRootPlacedInTheStickyDirectory) {
    constexpr unsigned int kUser = 1000;
    sandbox::Device device;
    sandbox::Entry home = RootOwned("/home/user", sandbox::Kind::Directory, "");
    home.mode = 0755;
    sandbox::Entry kept = RootOwned("/home/user/kept", sandbox::Kind::File, "user's bytes\n");
    sandbox::Entry upload = RootOwned("/tmp/udmine", sandbox::Kind::File, "upload");
    for (sandbox::Entry* own : {&home, &kept, &upload}) {
        own->uid = own->gid = kUser;
    }
    device.entries = {home,
                      kept,
                      upload,
                      RootOwned("/tmp/udlink", sandbox::Kind::Symlink, "/home/user"),
                      RootOwned("/tmp/fresh", sandbox::Kind::File, "root's bytes\n"),
                      RootOwned("/tmp/freshlink", sandbox::Kind::Symlink, "/home/user/kept")};
    const sandbox::Result r =
        sandbox::Run(device, QX_DEVICE_PROBE_PATH, {"as-user", std::to_string(kUser)});
    ASSERT_EQ(r.error, "");
    EXPECT_EQ(r.exitStatus, 0) << r.stderrText;
    EXPECT_EQ(r.stdoutText,
              "/tmp/fresh: Operation not permitted\n/tmp/freshlink: Operation not permitted\n");
    EXPECT_EQ(r.ReadFile("/home/user/kept"), "user's bytes\n");
    EXPECT_EQ(r.ReadFile("/tmp/fresh"), "root's bytes\n");
    EXPECT_TRUE(r.Exists("/tmp/udlink"));
    EXPECT_FALSE(r.Exists("/tmp/udmine"));
}

}  // namespace
}  // namespace qx::testing::devicecases
