// Shape of the cleanup tables: group boundaries, directories, file types,
// the kernel rows and the net-snmp generations.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "upgrader/cleanup/CleanupTables.h"

namespace cleanup = qx::upgrader::cleanup;

namespace {

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

bool EndsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

TEST(CleanupTables, StaticFileGroupsKeepTheirDirectoriesTypesAndOrder) {
    // Directory (and, where fixed, file type) of each row, group by group.
    struct Range {
        std::size_t rows;
        const char* directory;
        const char* type;
    };
    const Range ranges[] = {
        {2, "/etc/TOBY-", "_UFWUPD_1K.bin"},  // 1
        {11, "/etc/", ".sb"},                 // 2
        {3, "/etc/dsl-", ".img"},             // 3
        {2, "/etc/", "_cpe.bin"},
        {2, "/etc/IV03_", ".w"},
        {13, "/etc/", ".hex"},  // 4
        {10, "/etc/", ".bin"},
        {6, "/lib/firmware/", ".elf"},  // 5
        {5, "/usr/bin/msp-", ""},       // 6
        {1, "/usr/bin/stm32_programmer", ""},
        {2, "/tmp/f", ""},             // 8
        {37, "/web/config/", ".asp"},  // 9
        {6, "/web/status/", ".asp"},
        {2, "/web/json/", ".asp"},
        {3, "/web/images/", ".gif"},  // 10
        {5, "/usr/etc/", ""},         // 11
        {1, "/usr/bin/msmtp", ""},    // 12
        {9, "/usr/sbin/", ""},
    };
    std::size_t row = 0;
    for (const Range& range : ranges) {
        for (std::size_t i = 0; i < range.rows; ++i, ++row) {
            ASSERT_LT(row, cleanup::kUnusedStaticFiles.size());
            const std::string path = cleanup::kUnusedStaticFiles[row];
            EXPECT_TRUE(StartsWith(path, range.directory)) << row << ": " << path;
            EXPECT_TRUE(EndsWith(path, range.type)) << row << ": " << path;
            // Chosen names lie directly in their directory.
            EXPECT_EQ(path.find('/', std::string(range.directory).rfind('/') + 1),
                      std::string::npos)
                << path;
        }
    }
    EXPECT_EQ(row, 120u);

    // Fixed rows at the group boundaries.
    EXPECT_STREQ(cleanup::kUnusedStaticFiles[0],
                 "/etc/TOBY-L280-03S_FW15.63_ENG5001_UFWUPD_1K.bin");
    EXPECT_STREQ(cleanup::kUnusedStaticFiles[13], "/etc/dsl-3.61.img");
    EXPECT_STREQ(cleanup::kUnusedStaticFiles[19], "/etc/IV03_20200814_AnnexB.w");
    EXPECT_STREQ(cleanup::kUnusedStaticFiles[49], "/usr/bin/msp-option");
    EXPECT_STREQ(cleanup::kUnusedStaticFiles[55], "/tmp/filesystem.db");
    EXPECT_STREQ(cleanup::kUnusedStaticFiles[56], "/tmp/fs-validator");
    EXPECT_STREQ(cleanup::kUnusedStaticFiles[105], "/usr/etc/bgpd.conf.sample");
    EXPECT_STREQ(cleanup::kUnusedStaticFiles[119], "/usr/sbin/ip6tables-restore");
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
    std::set<std::string> ruleRemovals;
    for (const auto& rule : cleanup::kSupersededVersionRules) {
        ASSERT_GE(rule.pathCount, 1u);
        ASSERT_LE(rule.pathCount, cleanup::SupersededVersionRule::kMaxPaths);
        for (std::size_t i = 0; i < rule.kMaxPaths; ++i) {
            EXPECT_EQ(rule.paths[i] != nullptr, i < rule.pathCount) << rule.marker;
            if (rule.paths[i] != nullptr) {
                ruleRemovals.insert(rule.paths[i]);
            }
        }
    }
    for (const auto& rule : cleanup::kSupersededVersionRules) {
        // A newest generation must survive: nothing removes a marker that no
        // other marker supersedes, and no rule removes its own marker.
        for (std::size_t i = 0; i < rule.pathCount; ++i) {
            EXPECT_NE(std::string(rule.paths[i]), rule.marker);
        }
        EXPECT_EQ(removed.count(rule.marker), 0u) << rule.marker;
    }
    // Only the two extracted package files go from /tmp.
    for (const std::string& path : removed) {
        if (StartsWith(path, "/tmp/")) {
            EXPECT_TRUE(path == "/tmp/filesystem.db" || path == "/tmp/fs-validator") << path;
        }
    }
}

TEST(CleanupTables, DirectoryCommandsAndKernelTrees) {
    for (std::size_t i = 0; i < cleanup::kUnusedStaticDirectoryCommands.size(); ++i) {
        const std::string command = cleanup::kUnusedStaticDirectoryCommands[i];
        EXPECT_TRUE(StartsWith(command, "rm -rf /")) << command;
        // Only the last one ends in a slash.
        EXPECT_EQ(EndsWith(command, "/"), i == 6) << command;
    }
    EXPECT_STREQ(cleanup::kUnusedStaticDirectoryCommands[0], "rm -rf /usr/share/gtk-doc");
    EXPECT_STREQ(cleanup::kUnusedStaticDirectoryCommands[6], "rm -rf /share/doc/");

    // Row 1 matches only the plain release; the others are their directory.
    EXPECT_STREQ(cleanup::kStaleKernelModuleTrees[0].matchText, "2.6.35.3 (");
    EXPECT_STREQ(cleanup::kStaleKernelModuleTrees[0].command, "rm -rf /lib/modules/2.6.35.3/");
    std::set<std::string> texts;
    for (std::size_t i = 1; i < cleanup::kStaleKernelModuleTrees.size(); ++i) {
        const auto& tree = cleanup::kStaleKernelModuleTrees[i];
        const std::string text = tree.matchText;
        EXPECT_TRUE(StartsWith(text, "2.6.35.3-00")) << text;
        EXPECT_EQ(text.size(), 23u) << text;
        EXPECT_EQ(std::string(tree.command), "rm -rf /lib/modules/" + text + "/");
        EXPECT_TRUE(texts.insert(text).second);
        EXPECT_EQ(text.find("2.6.35.3 ("), std::string::npos);
    }
    EXPECT_STREQ(cleanup::kStaleKernelModuleTrees[4].matchText, "2.6.35.3-00227-geccd148");
    EXPECT_STREQ(cleanup::kStaleKernelModuleTrees[9].matchText, "2.6.35.3-00265-gabc8368");

    EXPECT_STREQ(cleanup::kExtraDirectoryCommand, "rm -rf /usr/share/glib-2.0");
    EXPECT_STREQ(cleanup::kExtraFiles[0], "/usr/sbin/tcpdump.4.7.4");
    EXPECT_STREQ(cleanup::kExtraFiles[2], "/usr/bin/rsync");
}

TEST(CleanupTables, SupersededRulesCoverTheNetSnmpGenerationsNewestFirst) {
    const auto& rules = cleanup::kSupersededVersionRules;
    EXPECT_STREQ(rules[0].marker, "/usr/bin/openssl");
    EXPECT_STREQ(rules[0].paths[0], "/usr/sbin/openssl");
    EXPECT_STREQ(rules[5].marker, "/usr/lib/libqmi-glib.so.5.2.0");
    EXPECT_EQ(rules[5].pathCount, 2u);
    for (std::size_t i = 0; i < 9; ++i) {
        EXPECT_EQ(rules[i].pathCount, i == 5 ? 2u : 1u) << rules[i].marker;
    }

    const char* libraries[] = {"libnetsnmpmibs", "libnetsnmp", "libnetsnmpagent",
                               "libnetsnmphelpers", "libnetsnmptrapd"};
    const std::vector<std::vector<std::string>> generations = {{".so.40.0.0"},
                                                               {".so.35.0.0", ".so.35"},
                                                               {".so.30.0.3", ".so.30"},
                                                               {".so.15.1.3", ".so.15"}};
    std::size_t index = 9;
    for (const char* library : libraries) {
        const std::string base = std::string("/usr/lib/") + library;
        for (std::size_t marker = 0; marker < 3; ++marker, ++index) {
            ASSERT_LT(index, rules.size());
            EXPECT_EQ(rules[index].marker, base + generations[marker][0]);
            std::vector<std::string> expected;
            for (std::size_t older = marker + 1; older < generations.size(); ++older) {
                for (const std::string& suffix : generations[older]) {
                    expected.push_back(base + suffix);
                }
            }
            ASSERT_EQ(rules[index].pathCount, expected.size()) << rules[index].marker;
            for (std::size_t i = 0; i < expected.size(); ++i) {
                EXPECT_EQ(rules[index].paths[i], expected[i]);
            }
        }
    }
    EXPECT_EQ(index, rules.size());
}
