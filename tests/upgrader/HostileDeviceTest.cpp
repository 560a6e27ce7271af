// The real upgrader where uid 1000 planted names, links and files, or the flash fills up.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "DeviceScenario.h"
#include "support/DeviceLog.h"
#include "support/TestKeys.h"

using qx::sandbox::Kind;
using qx::sandbox::Result;
using qx::testing::LogLines;
using Lines = std::vector<std::string>;

namespace {

constexpr unsigned int kOtherUser = 1000;
const char* const kBanner = "Upg: V0.0.5: Beginning upgrade";

// The planted links lead to these files or to paths that must never exist.
const std::pair<std::string, std::string> kPrecious[] = {
    {"/etc/passwd", "root:x:0:0:root:/root:/bin/sh\n"},
    {"/usr/lib/libprecious.so", "library bytes\n"},
};
const char* const kNeverCreated[] = {"/etc/nologin", "/etc/ld.so.preload"};

const Lines kHostileUploads = {"/tmp/ud etc", "/tmp/ud\tusr", "/tmp/ud\nlib", "/tmp/ud'quote",
                               "/tmp/ud\"dq", "/tmp/ud -f x", "/tmp/udlink",  "/tmp/udtree"};

void Plant(DeviceScenario& s, const std::string& path, Kind kind, const std::string& text = "") {
    s.PlaceAs(path, kind, kOtherUser, kind == Kind::Directory ? 0777 : 0666, text);
}

void DropEarlierLog(DeviceScenario& s) {
    auto& entries = s.device.entries;
    entries.erase(std::remove_if(
                      entries.begin(), entries.end(),
                      [](const qx::sandbox::Entry& e) { return e.path == "/var/log/upgrade_log"; }),
                  entries.end());
}

void PlaceLongEarlierLog(DeviceScenario& s) {
    std::string log;
    for (int i = 1; i <= 3000; ++i) {
        std::string line = "2026111 10:00:00 - earlier line " + std::to_string(i) + " ";
        log += line + std::string(199 - line.size(), 'x') + "\n";
    }
    s.Place("/var/log/upgrade_log", log);
}

void ExpectShortenedLog(const Lines& log) {
    ASSERT_GT(log.size(), 2000u);
    EXPECT_EQ(log[0].rfind("earlier line 1007 ", 0), 0u) << log[0];
    EXPECT_EQ(log[1993].rfind("earlier line 3000 ", 0), 0u) << log[1993];
    EXPECT_EQ(log[1994], kBanner);
    EXPECT_EQ(log[1999].rfind("Clearing upgrade_log because too large. Size: ", 0), 0u);
}

bool ExpectRootOwned(const Result& result, const std::string& path, unsigned int mode) {
    struct stat info;
    const bool regular = result.Stat(path, info) && S_ISREG(info.st_mode);
    EXPECT_TRUE(regular) << path;
    EXPECT_TRUE(!regular || info.st_uid == 0u) << path << " belongs to " << info.st_uid;
    EXPECT_TRUE(!regular || mode == 0 || (info.st_mode & 07777) == mode) << path;
    return regular;
}

// Every entry of the device that group or others may write (links and
// sticky directories aside), as "path mode".
Lines WritableByOthers(const Result& result) {
    Lines found;
    namespace fs = std::filesystem;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(result.root, ec), end; !ec && it != end;
         it.increment(ec)) {
        struct stat info;
        if (::lstat(it->path().c_str(), &info) == 0 && !S_ISLNK(info.st_mode) &&
            (info.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (info.st_mode & S_ISVTX) == 0) {
            char mode[8];
            std::snprintf(mode, sizeof mode, " %o", info.st_mode & 07777);
            found.push_back(it->path().string().substr(result.root.size()) + mode);
        }
    }
    return found;
}

struct Attack {
    const char* name;
    std::function<void(DeviceScenario&)> plant;
    std::function<void(const Result&, const Lines& log)> check;
    bool package = true;  // false: the run ends before staging
    // Set: the package is refused by the parse with this text.
    const char* refusedAs = nullptr;
};
const auto none = [](const Result&, const Lines&) {};

const qx::testing::TestKey kKey{1};

// The ownership and permission rules, one row each: where the row is
// planted, as what, and the line it must leave in the log (null: checked
// by the outcome of its run).
struct Rule {
    const char* path;
    Kind kind;
    unsigned int uid, mode;
    const char* logged;
};
const std::string kKeyText = qx::package::PublicKeyText(kKey.pub);
const Rule kCandidateAndKeyRules[] = {
    {"/tmp/ramdisk/udowner", Kind::File, kOtherUser, 0644,
     "Passing over upload /tmp/ramdisk/udowner: another user's"},
    {"/tmp/ramdisk/udgroup", Kind::File, 0, 0660,
     "Passing over upload /tmp/ramdisk/udgroup: writable by others"},
    {"/tmp/ramdisk/udothers", Kind::File, 0, 0606,
     "Passing over upload /tmp/ramdisk/udothers: writable by others"},
    {"/tmp/ramdisk/udlink", Kind::Symlink, 0, 0777,
     "Passing over upload /tmp/ramdisk/udlink: a link"},
    // A name that forges a stamped entry is logged on one line.
    {"/tmp/ramdisk/ud\n2026125 09:07:03 - Successfully upgraded firmware", Kind::File, kOtherUser,
     0644,
     "Passing over upload /tmp/ramdisk/ud\\x0a2026125 09:07:03 - Successfully upgraded firmware: "
     "another user's"},
    {"/etc/upgrade-keys/owner.pub", Kind::File, kOtherUser, 0644,
     "Ignoring key file /etc/upgrade-keys/owner.pub: not owned by root"},
    {"/etc/upgrade-keys/group.pub", Kind::File, 0, 0660,
     "Ignoring key file /etc/upgrade-keys/group.pub: writable by group or others"},
    {"/etc/upgrade-keys/others.pub", Kind::File, 0, 0606,
     "Ignoring key file /etc/upgrade-keys/others.pub: writable by group or others"},
    {"/etc/upgrade-keys/link.pub", Kind::Symlink, 0, 0777,
     "Ignoring key file /etc/upgrade-keys/link.pub: a link"},
};
// Another user's link, directory and writable script at the extraction
// names: the upgrade goes through, nothing is written through the link and
// the script never runs (it would make /etc/nologin).
const Rule kExtractionRules[] = {
    {"/tmp/fs-validator", Kind::File, kOtherUser, 0666, nullptr},
    {"/tmp/kernel_image", Kind::Directory, kOtherUser, 0777, nullptr},
    {"/tmp/kernel_image/inner", Kind::File, kOtherUser, 0666, nullptr},
    {"/tmp/filesystem.db", Kind::Symlink, kOtherUser, 0777, nullptr},
};

void PlantRules(DeviceScenario& s, const Rule* begin, const Rule* end) {
    for (const Rule* rule = begin; rule != end; ++rule) {
        const std::string path = rule->path;
        const bool key = path.rfind("/etc/upgrade-keys/", 0) == 0;
        std::string text = key ? kKeyText : "#!/bin/sh\ntouch /etc/nologin\n";
        if (rule->kind == Kind::Symlink) {
            // To a root key, to root's files, or to a name never created.
            text = key                            ? "/root/team.pub"
                   : path == "/tmp/filesystem.db" ? "/etc/nologin"
                                                  : "/etc/passwd";
        }
        s.PlaceAs(path, rule->kind, rule->uid, rule->mode, text);
    }
}

void ExpectRulesLogged(const Lines& log, const Rule* begin, const Rule* end) {
    for (const Rule* rule = begin; rule != end; ++rule) {
        if (rule->logged != nullptr) {
            EXPECT_EQ(std::count(log.begin(), log.end(), rule->logged), 1) << rule->logged;
        }
    }
}

const std::vector<Attack> kAttacks = {
    // Listed before root's package, signed by the untrusted keys' own key:
    // a slip in any rule takes a decoy or trusts the key.
    {"uploads and key files no one may trust, the package signed by their key",
     [](DeviceScenario& s) {
         auto& entries = s.device.entries;  // root's package, listed last below
         entries.erase(std::remove_if(entries.begin(), entries.end(),
                                      [](const qx::sandbox::Entry& e) {
                                          return e.path == "/tmp/ramdisk/udfirmware";
                                      }),
                       entries.end());
         s.Place("/root/team.pub", kKeyText);
         PlantRules(s, std::begin(kCandidateAndKeyRules), std::end(kCandidateAndKeyRules));
         s.Place("/tmp/ramdisk/udpackage",
                 kKey.Sign(DeviceScenario::PackageBytes(0, DeviceScenario::DefaultOuterFields())));
     },
     [](const Result&, const Lines& log) {
         ExpectRulesLogged(log, std::begin(kCandidateAndKeyRules), std::end(kCandidateAndKeyRules));
         EXPECT_EQ(std::count(log.begin(), log.end(), "Successfully upgraded firmware"), 0);
     },
     true, "Package signed by an unknown key"},
    // With stale uploads in /tmp whose names split or lead out, and a
    // second name given to the log before the run and to its files during
    // it (sandbox/programs/intruder.c): the log keeps its lines.
    {"extraction names, stale uploads and a second name of the log",
     [](DeviceScenario& s) {
         PlantRules(s, std::begin(kExtractionRules), std::end(kExtractionRules));
         for (const std::string& path : kHostileUploads) {
             if (path == "/tmp/udlink") {
                 Plant(s, path, Kind::Symlink, "/etc");
             } else if (path == "/tmp/udtree") {
                 Plant(s, path, Kind::Directory);
                 Plant(s, path + "/lib", Kind::Symlink, "/usr/lib");
                 Plant(s, path + "/file", Kind::File, "upload");
             } else {
                 Plant(s, path, Kind::File, "upload");
             }
         }
         DropEarlierLog(s);
         s.Place("/tmp/ramdisk/upgrade_log", "2026111 10:00:00 - line of an earlier run\n");
         s.Place("/tmp/intruder-loglink", "", 0755);
         s.device.entries.back().hostSource = qx::sandbox::IntruderPath();
         Plant(s, "/home/intruder", Kind::Directory);
         s.device.startBefore = "/tmp/intruder-loglink";
     },
     [](const Result& r, const Lines& log) {
         for (const std::string& path : kHostileUploads) {
             EXPECT_FALSE(r.Exists(path)) << path;
         }
         EXPECT_EQ(log.at(0), "line of an earlier run");
         EXPECT_EQ(log.at(1), kBanner);
         EXPECT_EQ(std::count(log.begin(), log.end(), kBanner), 1);
         // The first name before the run began, more for the files after it.
         unsigned long planted = 0;
         const std::string report = r.ReadFile("/home/intruder/report");
         EXPECT_EQ(std::sscanf(report.c_str(), "seen 0 planted %lu", &planted), 1) << report;
         EXPECT_GE(planted, 2u) << report;
     }},
    {"a link at the RAM disk log with no log on the flash",
     [](DeviceScenario& s) {
         DropEarlierLog(s);
         Plant(s, "/tmp/ramdisk/upgrade_log", Kind::Symlink, "/etc/passwd");
     },
     [](const Result&, const Lines& log) { EXPECT_EQ(log.at(0), kBanner); }},
    {"another user's directory at the RAM disk log before the run",
     [](DeviceScenario& s) {
         Plant(s, "/tmp/ramdisk/upgrade_log", Kind::Directory);
         Plant(s, "/tmp/ramdisk/upgrade_log/inner", Kind::File, "planted line\n");
     },
     [](const Result& r, const Lines& log) {
         EXPECT_EQ(log.at(0), "line of an earlier run");
         EXPECT_EQ(log.at(1), kBanner);  // every entry of the run from its first
         EXPECT_FALSE(r.Exists("/var/log/upgrade_log/inner"));
     }},
    {"a link at the scratch name of an oversized log",
     [](DeviceScenario& s) {
         PlaceLongEarlierLog(s);
         Plant(s, "/tmp/ramdisk/upgrade_log.tmp", Kind::Symlink, "/etc/passwd");
     },
     [](const Result&, const Lines& log) { ExpectShortenedLog(log); }},
    {"another user's file at the scratch name of an oversized log",
     [](DeviceScenario& s) {
         PlaceLongEarlierLog(s);
         Plant(s, "/tmp/ramdisk/upgrade_log.tmp", Kind::File, "planted line\n");
     },
     [](const Result&, const Lines& log) {
         ExpectShortenedLog(log);
         EXPECT_EQ(std::count(log.begin(), log.end(), "planted line"), 0);
     }},
    {"a run started with umask 000, its log new",
     [](DeviceScenario& s) {
         DropEarlierLog(s);
         s.device.umask = "000";
     },
     [](const Result& r, const Lines&) { EXPECT_EQ(WritableByOthers(r), Lines{}); }},
    {"a link at the startup marker",
     [](DeviceScenario& s) {
         Plant(s, "/tmp/ramdisk/pnv-wait-during-startup", Kind::Symlink, "/etc/nologin");
     },
     none},
    {"a link at the startup marker, seen before the RAM disk is rebuilt",
     [](DeviceScenario& s) {
         Plant(s, "/tmp/ramdisk/pnv-wait-during-startup", Kind::Symlink, "/etc/nologin");
     },
     [](const Result& r, const Lines&) {
         ExpectRootOwned(r, "/tmp/ramdisk/pnv-wait-during-startup", 0);
     },
     false},
};

void RunAttack(const Attack& attack) {
    DeviceScenario scenario;
    for (const auto& [path, bytes] : kPrecious) {
        scenario.Place(path, bytes);
    }
    Plant(scenario, "/tmp/udstale", Kind::File, "stale upload");
    Plant(scenario, "/tmp/udstale.d/part", Kind::File, "stale upload");
    if (attack.package) {
        scenario.PlacePackage("udfirmware");
    }
    attack.plant(scenario);
    const Result result = scenario.Run();
    if (!result.error.empty()) {
        ADD_FAILURE() << result.error;
        return;
    }

    for (const auto& [path, bytes] : kPrecious) {
        EXPECT_EQ(result.ReadFile(path), bytes) << path;
    }
    for (const char* path : kNeverCreated) {
        EXPECT_FALSE(result.Exists(path)) << path;
    }
    EXPECT_FALSE(result.Exists("/tmp/udstale"));
    EXPECT_FALSE(result.Exists("/tmp/udstale.d"));

    const std::string logPath = "/var/log/upgrade_log";
    EXPECT_FALSE(result.Exists("/tmp/ramdisk/upgrade_log"));
    // Read only as the program's own file: a link would resolve on the host.
    Lines log = ExpectRootOwned(result, logPath, 0) ? LogLines(result.ReadFile(logPath)) : Lines{};
    if (log.size() < 2) {
        ADD_FAILURE() << logPath << " holds " << log.size() << " lines";
        log.resize(2);
    }
    if (attack.refusedAs != nullptr) {
        EXPECT_EQ(result.exitStatus, 0);
        EXPECT_EQ(log.back(), std::string("Unable to parse file: ") + attack.refusedAs);
        EXPECT_FALSE(result.Exists("/tmp/ramdisk/kernel_image"));
        EXPECT_TRUE(result.Exists("/etc/upgrade_started"));
    } else if (attack.package) {
        ExpectUpgraded(result);
        EXPECT_EQ(result.ReadFile("/tmp/ramdisk/filesystem.db"), DeviceScenario::kDatabase);
        // What ran as the validator was root's own, writable by no one else.
        ExpectRootOwned(result, "/tmp/ramdisk/fs-validator", 0755);
        ExpectRootOwned(result, "/tmp/ramdisk/kernel_image", 0755);
    } else {
        EXPECT_EQ(result.exitStatus, 0);
        EXPECT_EQ(log.back(), "Unable to locate upgrade file");
    }
    attack.check(result, log);
}

}  // namespace

TEST(HostileDevice, PlantedNamesLinksAndFilesTurnNothingAgainstTheRouter) {
    for (const Attack& attack : kAttacks) {
        SCOPED_TRACE(attack.name);
        RunAttack(attack);
    }
}

// The partial file goes so the log fits back; the package, marker and RAM disk stay.
TEST(HostileDevice, FullFlashDuringExtractionKeepsTheWholeLog) {
    DeviceScenario scenario;
    scenario.device.flashSize = "24M";  // the cleanup finds its 22 MiB, not 24
    const std::string kernelImage(24u << 20, 'K');
    scenario.Place(
        "/tmp/ramdisk/udfirmware",
        DeviceScenario::PackageBytes(0, DeviceScenario::DefaultOuterFields(), kernelImage));
    const Result result = scenario.Run();
    ASSERT_EQ(result.error, "");

    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_FALSE(result.Exists("/tmp/kernel_image"));
    EXPECT_TRUE(result.Exists("/tmp/fs-validator"));  // written whole before
    EXPECT_FALSE(result.Exists("/tmp/filesystem.db"));
    EXPECT_TRUE(result.Exists("/tmp/ramdisk/udfirmware"));
    EXPECT_FALSE(result.Exists("/tmp/ramdisk/upgrade_log"));
    EXPECT_TRUE(result.Exists("/etc/upgrade_started"));
    EXPECT_EQ(std::count(result.commands.begin(), result.commands.end(), "umount /tmp/ramdisk/"),
              0);
    const Lines log = LogLines(result.ReadFile("/var/log/upgrade_log"));
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(Lines(log.begin(), log.begin() + 3),
              (Lines{"line of an earlier run", kBanner, "Running cleanup to allow for upgrade"}));
    EXPECT_EQ(log.back(), std::string("Unable to extract files: Error writing extraction file "
                                      "/tmp/kernel_image: error: ") +
                              std::strerror(ENOSPC));
}
