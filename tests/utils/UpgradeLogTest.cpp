#include <unistd.h>

#include "support/Files.h"
#include "support/TempDir.h"
#include "upgrader/utils/UpgradeLog.h"

using namespace qx::upgrader::utils;
using qx::testing::ReadBytes;

namespace {

std::tm MakeTime(int year, int month, int day, int hour, int minute, int second) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return t;
}

}  // namespace

TEST(LogStamp, MonthHasTwoDigitsDayHasNoPadding) {
    EXPECT_EQ(FormatLogStamp(MakeTime(2026, 12, 5, 9, 7, 3)), "2026125 09:07:03 - ");
    EXPECT_EQ(FormatLogStamp(MakeTime(2026, 3, 15, 23, 59, 58)), "20260315 23:59:58 - ");
    EXPECT_EQ(FormatLogStamp(MakeTime(2026, 6, 30, 12, 0, 60)), "20260630 12:00:60 - ");
}

TEST(LogEntry, MessagesAreWrittenByteForByteAndNothingRuns) {
    TempDir dir;
    const std::string log = dir / "upgrade_log";
    const std::string canary = dir / "canary";
    const std::string messages[] = {
        "",
        "-n starts with a hyphen",
        "two\nlines",
        "ends in a line feed\n",
        "quotes \" and ' and a backslash \\ and \\n",
        "$(touch " + canary + ") `touch " + canary + "` ${HOME} $HOME; touch " + canary,
        std::string("a zero byte \0 inside", 20),
    };
    for (const std::string& message : messages) {
        ASSERT_EQ(AppendLogEntry(log.c_str(), message), 0);
    }

    const std::string content = ReadBytes(log);
    std::string::size_type position = 0;
    for (const std::string& message : messages) {
        // Each entry: stamp "YYYYMMD HH:MM:SS - ", the message, a line feed.
        const std::string::size_type dash = content.find(" - ", position);
        ASSERT_NE(dash, std::string::npos);
        const std::string stamp = content.substr(position, dash - position);
        EXPECT_EQ(stamp.size() >= 15 && stamp.size() <= 17, true) << stamp;
        EXPECT_EQ(stamp[stamp.size() - 9], ' ') << stamp;
        const std::string expected = message + "\n";
        EXPECT_EQ(content.substr(dash + 3, expected.size()), expected);
        position = dash + 3 + expected.size();
    }
    EXPECT_EQ(position, content.size());
    EXPECT_NE(::access(canary.c_str(), F_OK), 0) << "a message made something run";
    // Appending to an earlier log is seen in every run of the real program.
    EXPECT_EQ(AppendLogEntry((dir / "missing-dir/upgrade_log").c_str(), "lost"), -1);
}

// A name in an entry of the program's own stays on its line and reads back
// to one name: control bytes and the backslash are escaped, nothing else.
TEST(LogEntry, NamesFromDiskAreEscapedToOneLine) {
    const std::pair<std::string, std::string> names[] = {
        {"/tmp/ramdisk/ud1.bin", "/tmp/ramdisk/ud1.bin"},
        {"ud\r\t\x1b[2J\x7f", "ud\\x0d\\x09\\x1b[2J\\x7f"},
        {std::string("ud\0z", 4), "ud\\x00z"},
        {"ud\\x0a", "ud\\\\x0a"},  // a literal backslash cannot pose as an escape
        {"ud \"q\" $x \xc3\xa9", "ud \"q\" $x \xc3\xa9"},
    };
    for (const auto& [name, escaped] : names) {
        EXPECT_EQ(EscapeName(name), escaped);
    }
}
