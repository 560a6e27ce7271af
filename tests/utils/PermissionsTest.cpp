#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "support/CaptureLog.h"
#include "support/TempDir.h"
#include "upgrader/utils/Permissions.h"

using namespace qx::upgrader::utils;
using qx::testing::CapturedLog;

class PermissionChecks : public ::testing::Test {
  protected:
    void SetUp() override {
        qx::testing::ClearCapturedLog();
        std::ofstream(dir / "file") << "x";
        ::chmod((dir / "file").c_str(), 0600);
    }
    TempDir dir;
};

TEST_F(PermissionChecks, PermissionBitsAreComparedAndExplainedInDecimal) {
    EXPECT_FALSE(VerifyPermissions(dir / "file", 0644, false));
    EXPECT_TRUE(CapturedLog().empty());

    EXPECT_FALSE(VerifyPermissions(dir / "file", 0644, true));
    ASSERT_EQ(CapturedLog().size(), 1u);
    EXPECT_EQ(CapturedLog()[0], "Expected permissions 420\nActual permissions 384");

    EXPECT_TRUE(VerifyPermissions(dir / "file", 0600, true));
    ::chmod((dir / "file").c_str(), 04755);
    EXPECT_TRUE(VerifyPermissions(dir / "file", 0755, true));
    EXPECT_FALSE(VerifyPermissions(dir / "file", 04755, false));

    ::symlink("file", (dir / "link").c_str());
    EXPECT_TRUE(VerifyPermissions(dir / "link", 0755, false));

    qx::testing::ClearCapturedLog();
    EXPECT_FALSE(VerifyPermissions(dir / "missing", 0644, true));
    ASSERT_EQ(CapturedLog().size(), 1u);
    EXPECT_EQ(CapturedLog()[0], "Unable to stat " + (dir / "missing"));
}

TEST_F(PermissionChecks, LinkExistence) {
    ::chmod((dir / "file").c_str(), 0644);
    ::mkdir((dir / "dir").c_str(), 0755);
    ::chmod((dir / "dir").c_str(), 0755);
    ::symlink("nowhere", (dir / "dangling").c_str());

    EXPECT_TRUE(LinkExists(dir / "dangling", true));
    EXPECT_FALSE(LinkExists(dir / "file", true));
    EXPECT_FALSE(LinkExists(dir / "dir", true));
    EXPECT_FALSE(LinkExists(dir / "missing", true));
    EXPECT_FALSE(LinkExists(dir / "missing", false));
    ASSERT_EQ(CapturedLog().size(), 3u);
    EXPECT_EQ(CapturedLog()[0], "Link " + (dir / "file") + " has mode 33188");
    EXPECT_EQ(CapturedLog()[1], "Link " + (dir / "dir") + " has mode 16877");
    EXPECT_EQ(CapturedLog()[2], "Unable to lstat " + (dir / "missing"));
}

TEST_F(PermissionChecks, LinkTargetsCompareExactlyOverTheirFirst64Bytes) {
    ::symlink("/a/b", (dir / "ab").c_str());
    EXPECT_TRUE(VerifyLink(dir / "ab", "/a/b", true));
    EXPECT_FALSE(VerifyLink(dir / "ab", "/a/b/", false));
    EXPECT_FALSE(VerifyLink(dir / "ab", "a/b", true));
    ASSERT_EQ(CapturedLog().size(), 1u);
    EXPECT_EQ(CapturedLog()[0], "Current Target is /a/b\nExpected Target is a/b");

    const std::string longTarget(80, 'x');
    ::symlink(longTarget.c_str(), (dir / "long").c_str());
    EXPECT_TRUE(VerifyLink(dir / "long", longTarget.substr(0, 64), false));
    EXPECT_FALSE(VerifyLink(dir / "long", longTarget, false));

    qx::testing::ClearCapturedLog();
    EXPECT_FALSE(VerifyLink(dir / "file", "x", true));
    EXPECT_FALSE(VerifyLink(dir / "missing", "x", true));
    ASSERT_EQ(CapturedLog().size(), 2u);
    EXPECT_EQ(CapturedLog()[0], "Unable to read link from " + (dir / "file"));
}
