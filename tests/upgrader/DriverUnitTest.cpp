#include <gtest/gtest.h>

#include "upgrader/Quiesce.h"
#include "upgrader/Staging.h"

using namespace qx::upgrader;

TEST(StaleUploads, NamesOfTheCurrentTimeWindowAndItsNeighboursStay) {
    const struct {
        const char* name;
        unsigned int t;
        bool stale;
    } cases[] = {
        {"ud", 1700000, true},
        {"ud1699998", 1700000, true},
        {"ud1699999", 1700000, false},
        {"ud1700000.part", 1700000, false},
        {"ud1700001 x", 1700000, false},
        {"ud170000", 1700000, true},  // a shorter number is another time
        {"ud etc", 1700000, true},
        {"ud\n1700000", 1700000, true},
        {"Ud1", 1700000, false},
        {"xud", 1700000, false},
        {"ud9x", 10, false},
        {"ud4294967295", 0, false},  // t - 1 wraps as the quotient is unsigned
    };
    for (const auto& c : cases) {
        EXPECT_EQ(IsStaleUpload(c.name, c.t), c.stale) << c.name << " at " << c.t;
    }
}

TEST(PackageLocation, PathHoldsAtMost31Characters) {
    EXPECT_EQ(FormatPackagePath("ud"), "/tmp/ramdisk//ud");
    EXPECT_EQ(FormatPackagePath("ud345678901234567"), "/tmp/ramdisk//ud345678901234567");
    EXPECT_EQ(FormatPackagePath("ud3456789012345678"), "/tmp/ramdisk//ud345678901234567");
    EXPECT_EQ(FormatPackagePath("ud3456789012345678901234567890").size(), 31u);
}
