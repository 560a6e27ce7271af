// Host checks of the cleanup: the next rotated log and safe removal lists.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "upgrader/cleanup/CleanupTables.h"
#include "upgrader/cleanup/CleanupUtils.h"

namespace cleanup = qx::upgrader::cleanup;
namespace utils = cleanup::utils;

TEST(RotatedLogChoice, OldestNonZeroTimeWinsTiesGoToFamilyOrder) {
    constexpr int kNone = -1, kHome = 0, kMessages = 1, kSyslog = 2;
    struct Case {
        bool found[3];
        long mtime[3];  // home, messages, syslog
        int chosen;
    };
    const Case cases[] = {
        {{true, true, true}, {300, 200, 100}, kSyslog},
        {{false, true, true}, {1, 200, 300}, kMessages},  // families without a file take no part
        {{true, true, false}, {5, -5, 0}, kMessages},     // before 1970 is still a time
        {{true, true, true}, {0, 500, 0}, kMessages},     // 0 yields to any real time
        {{true, true, true}, {0, 0, 0}, kHome},           // no times at all: first found family
        {{false, false, true}, {0, 0, 0}, kSyslog},
        {{true, true, true}, {100, 100, 100}, kHome},  // ties: first in family order
        {{false, false, false}, {7, 8, 9}, kNone},     // nothing found: the loop ends
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

TEST(CleanupTables, EveryPathIsAbsoluteAndUniqueAndNoMarkerIsEverRemoved) {
    std::set<std::string> removed;
    auto add = [&removed](const char* path) {
        ASSERT_NE(path, nullptr);
        EXPECT_EQ(path[0], '/') << path;
        EXPECT_TRUE(removed.insert(path).second) << "listed twice: " << path;
    };
    for (const char* path : cleanup::kUnusedStaticFiles) add(path);
    for (const auto& row : cleanup::kExtraFiles) {
        if (row.removal == cleanup::Removal::File) add(row.path);
    }
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
        EXPECT_TRUE(path.rfind("/tmp/", 0) != 0 || path == "/tmp/filesystem.db" ||
                    path == "/tmp/fs-validator")
            << path;
    }
}
