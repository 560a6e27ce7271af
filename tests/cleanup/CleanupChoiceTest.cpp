// Which rotated-log family loses its earliest file in a pass of the
// old-logs stage, and the base class's figures before any measurement.
#include <gtest/gtest.h>

#include "upgrader/cleanup/CleanupUtils.h"
#include "upgrader/cleanup/CleanupVQ740.h"

namespace utils = qx::upgrader::cleanup::utils;
using utils::RotatedLogFamily;

namespace {

// Returns the chosen family, or -1 when none was chosen.
int Choose(bool home, long homeTime, bool messages, long messagesTime, bool syslog,
           long syslogTime) {
    const bool found[] = {home, messages, syslog};
    const long mtime[] = {homeTime, messagesTime, syslogTime};
    RotatedLogFamily chosen = RotatedLogFamily::Syslog;
    if (!utils::ChooseRotatedLogFamily(found, mtime, chosen)) {
        EXPECT_EQ(chosen, RotatedLogFamily::Syslog);  // left untouched
        return -1;
    }
    return static_cast<int>(chosen);
}

constexpr int kHome = static_cast<int>(RotatedLogFamily::HomeLog);
constexpr int kMessages = static_cast<int>(RotatedLogFamily::Messages);
constexpr int kSyslog = static_cast<int>(RotatedLogFamily::Syslog);

}  // namespace

TEST(RotatedLogChoice, OldestNonZeroTimeWins) {
    EXPECT_EQ(Choose(true, 300, true, 200, true, 100), kSyslog);
    EXPECT_EQ(Choose(true, 100, true, 200, true, 300), kHome);
    EXPECT_EQ(Choose(true, 300, true, 100, true, 200), kMessages);
    // Families without a file take no part, whatever their variable holds.
    EXPECT_EQ(Choose(false, 1, true, 200, true, 300), kMessages);
    EXPECT_EQ(Choose(false, 0, false, 0, true, 300), kSyslog);
    // A negative time (before 1970) is still a time and still the oldest.
    EXPECT_EQ(Choose(true, 5, true, -5, false, 0), kMessages);
}

TEST(RotatedLogChoice, ZeroTimesAndTiesStillChooseOneFamily) {
    // A time of 0 yields to any real time.
    EXPECT_EQ(Choose(true, 0, true, 500, true, 0), kMessages);
    EXPECT_EQ(Choose(true, 0, false, 0, true, 900), kSyslog);
    // All found files without a time: the first found family in fixed order.
    EXPECT_EQ(Choose(true, 0, true, 0, true, 0), kHome);
    EXPECT_EQ(Choose(false, 0, true, 0, true, 0), kMessages);
    EXPECT_EQ(Choose(false, 0, false, 0, true, 0), kSyslog);
    // Ties among the smallest go to the first in fixed order.
    EXPECT_EQ(Choose(true, 100, true, 100, true, 100), kHome);
    EXPECT_EQ(Choose(true, 200, true, 100, true, 100), kMessages);
    EXPECT_EQ(Choose(true, 0, true, 300, true, 300), kMessages);
    // Nothing found: no choice, the loop ends.
    EXPECT_EQ(Choose(false, 0, false, 0, false, 0), -1);
    EXPECT_EQ(Choose(false, 7, false, 8, false, 9), -1);
}

TEST(CleanupBase, FiguresBeforeAnyMeasurement) {
    qx::upgrader::cleanup::CleanupVQ740 strategy(0x1600000u);
    EXPECT_EQ(strategy.FreeSpace(), 0u);
    EXPECT_EQ(strategy.FreeSpaceRequired(), 23068672u);
    EXPECT_FALSE(strategy.EnoughFreeSpace());

    qx::upgrader::cleanup::CleanupVQ740 nothingRequired(0);
    EXPECT_TRUE(nothingRequired.EnoughFreeSpace());
}
