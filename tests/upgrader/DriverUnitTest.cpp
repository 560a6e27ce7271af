#include <gtest/gtest.h>

#include "upgrader/Quiesce.h"
#include "upgrader/Staging.h"

using namespace qx::upgrader;

TEST(StaleUploads, CommandKeepsTheCurrentTimeWindowAndItsNeighbours) {
    EXPECT_EQ(StaleUploadCommand(1700000),
              "find /tmp/ -maxdepth 1 -name \"ud*\" ! -name \"ud1700000*\" ! -name "
              "\"ud1699999*\" ! -name \"ud1700001*\" | xargs rm -rf");
    EXPECT_EQ(StaleUploadCommand(10),
              "find /tmp/ -maxdepth 1 -name \"ud*\" ! -name \"ud10*\" ! -name \"ud9*\" ! -name "
              "\"ud11*\" | xargs rm -rf");
}

TEST(PackageLocation, PathHoldsAtMost31Characters) {
    EXPECT_EQ(FormatPackagePath("ud"), "/tmp/ramdisk//ud");
    EXPECT_EQ(FormatPackagePath("ud345678901234567"), "/tmp/ramdisk//ud345678901234567");
    EXPECT_EQ(FormatPackagePath("ud3456789012345678"), "/tmp/ramdisk//ud345678901234567");
    EXPECT_EQ(FormatPackagePath("ud3456789012345678901234567890").size(), 31u);
}
