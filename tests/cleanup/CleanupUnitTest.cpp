// Host checks of the cleanup that need no device: the choice of the rotated
// log that goes next, the figures before any measurement, and the shape of
// the tables (group directories and types, safety of the removal lists).
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "upgrader/cleanup/CleanupTables.h"
#include "upgrader/cleanup/CleanupUtils.h"
#include "upgrader/cleanup/CleanupVQ740.h"

namespace cleanup = qx::upgrader::cleanup;
namespace utils = cleanup::utils;

namespace {

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

TEST(RotatedLogChoice, OldestNonZeroTimeWinsTiesGoToFamilyOrder) {
    constexpr int kNone = -1, kHome = 0, kMessages = 1, kSyslog = 2;
    struct Case {
        bool found[3];
        long mtime[3];  // home, messages, syslog
        int chosen;
    };
    const Case cases[] = {
        {{true, true, true}, {300, 200, 100}, kSyslog},
        {{true, true, true}, {100, 200, 300}, kHome},
        {{true, true, true}, {300, 100, 200}, kMessages},
        {{false, true, true}, {1, 200, 300}, kMessages},  // families without a file take no part
        {{true, true, false}, {5, -5, 0}, kMessages},     // before 1970 is still a time
        {{true, true, true}, {0, 500, 0}, kMessages},     // 0 yields to any real time
        {{true, false, true}, {0, 0, 900}, kSyslog},
        {{true, true, true}, {0, 0, 0}, kHome},  // no times at all: first found family
        {{false, false, true}, {0, 0, 0}, kSyslog},
        {{true, true, true}, {100, 100, 100}, kHome},  // ties: first in family order
        {{true, true, true}, {200, 100, 100}, kMessages},
        {{true, true, true}, {0, 300, 300}, kMessages},
        {{false, false, false}, {7, 8, 9}, kNone},  // nothing found: the loop ends
    };
    for (const Case& c : cases) {
        utils::RotatedLogFamily chosen = utils::RotatedLogFamily::Syslog;
        const bool any = utils::ChooseRotatedLogFamily(c.found, c.mtime, chosen);
        EXPECT_EQ(any ? static_cast<int>(chosen) : kNone, c.chosen)
            << c.mtime[0] << " " << c.mtime[1] << " " << c.mtime[2];
        if (!any) {
            EXPECT_EQ(chosen, utils::RotatedLogFamily::Syslog);  // left untouched
        }
    }
}

TEST(CleanupBase, FiguresBeforeAnyMeasurement) {
    cleanup::CleanupVQ740 strategy(0x1600000u);
    EXPECT_EQ(strategy.FreeSpace(), 0u);
    EXPECT_EQ(strategy.FreeSpaceRequired(), 23068672u);
    EXPECT_FALSE(strategy.EnoughFreeSpace());
    EXPECT_TRUE(cleanup::CleanupVQ740(0).EnoughFreeSpace());
}

TEST(CleanupTables, StaticFileGroupsKeepTheirDirectoriesTypesAndCounts) {
    struct Range {
        std::size_t rows;
        std::string directory, type;
    };
    const Range ranges[] = {
        {2, "/etc/TOBY-", "_UFWUPD_1K.bin"},
        {11, "/etc/", ".sb"},
        {3, "/etc/dsl-", ".img"},
        {2, "/etc/", "_cpe.bin"},
        {2, "/etc/IV03_", ".w"},
        {13, "/etc/", ".hex"},
        {10, "/etc/", ".bin"},
        {6, "/lib/firmware/", ".elf"},
        {5, "/usr/bin/msp-", ""},
        {1, "/usr/bin/stm32_programmer", ""},
        {2, "/tmp/f", ""},
        {37, "/web/config/", ".asp"},
        {6, "/web/status/", ".asp"},
        {2, "/web/json/", ".asp"},
        {3, "/web/images/", ".gif"},
        {5, "/usr/etc/", ""},
        {1, "/usr/bin/msmtp", ""},
        {9, "/usr/sbin/", ""},
    };
    std::size_t row = 0;
    for (const Range& range : ranges) {
        for (std::size_t i = 0; i < range.rows; ++i, ++row) {
            ASSERT_LT(row, cleanup::kUnusedStaticFiles.size());
            const std::string path = cleanup::kUnusedStaticFiles[row];
            EXPECT_TRUE(StartsWith(path, range.directory)) << row << ": " << path;
            EXPECT_TRUE(
                path.size() >= range.type.size() &&
                path.compare(path.size() - range.type.size(), std::string::npos, range.type) == 0)
                << row << ": " << path;
            // Chosen names lie directly in their directory.
            EXPECT_EQ(path.find('/', range.directory.rfind('/') + 1), std::string::npos) << path;
        }
    }
    EXPECT_EQ(row, cleanup::kUnusedStaticFiles.size());
}

TEST(CleanupTables, EveryPathIsAbsoluteAndUniqueAndNoMarkerIsEverRemoved) {
    std::set<std::string> removed;
    auto add = [&removed](const char* path) {
        ASSERT_NE(path, nullptr);
        EXPECT_EQ(path[0], '/') << path;
        EXPECT_TRUE(removed.insert(path).second) << "listed twice: " << path;
    };
    for (const char* path : cleanup::kUnusedStaticFiles) add(path);
    for (const char* path : cleanup::kExtraFiles) add(path);
    for (const auto& rule : cleanup::kSupersededVersionRules) {
        ASSERT_GE(rule.pathCount, 1u);
        ASSERT_LE(rule.pathCount, cleanup::SupersededVersionRule::kMaxPaths);
        for (std::size_t i = 0; i < rule.kMaxPaths; ++i) {
            EXPECT_EQ(rule.paths[i] != nullptr, i < rule.pathCount) << rule.marker;
            // A newest generation must survive: no rule removes its own marker.
            EXPECT_FALSE(i < rule.pathCount && std::string(rule.paths[i]) == rule.marker);
        }
        EXPECT_EQ(removed.count(rule.marker), 0u) << rule.marker;
    }
    // Only the two extracted package files go from /tmp.
    for (const std::string& path : removed) {
        EXPECT_TRUE(!StartsWith(path, "/tmp/") || path == "/tmp/filesystem.db" ||
                    path == "/tmp/fs-validator")
            << path;
    }
}
