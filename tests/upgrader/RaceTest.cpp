// Another user (uid 1000) racing the real upgrader, or planting packages beside root's.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "DeviceScenario.h"
#include "support/DeviceLog.h"

using qx::sandbox::Kind;
using qx::sandbox::Result;
using Lines = std::vector<std::string>;
namespace fs = std::filesystem;

namespace {

constexpr unsigned int kOtherUser = 1000;
const std::string kPrecious = "/etc/precious", kPreciousBytes = "root's own bytes\n";
const std::string kDecoyRan = "/etc/decoy-ran";

DeviceScenario Scenario() {
    DeviceScenario s;
    s.Place(kPrecious, kPreciousBytes);
    s.PlaceAs("/home/intruder", Kind::Directory, kOtherUser, 0755);
    return s;
}

// Whatever the other user did: nothing of theirs ran as root, nothing was
// written through a link, the run ended by itself, and nothing of theirs is
// left on the RAM disk once it was rebuilt.
void ExpectNothingWon(const Result& r, bool rebuilt = true) {
    EXPECT_FALSE(r.timedOut);
    EXPECT_FALSE(r.Exists(kDecoyRan));
    EXPECT_EQ(r.ReadFile(kPrecious), kPreciousBytes);
    EXPECT_FALSE(r.Exists("/etc/through-link"));
    if (!rebuilt) {
        return;
    }
    struct stat ramdisk;
    ASSERT_TRUE(r.Stat("/tmp/ramdisk", ramdisk));
    EXPECT_EQ(ramdisk.st_mode & 07777, 0755u);  // closed to others
    std::error_code ec;
    for (fs::recursive_directory_iterator it(r.root + "/tmp/ramdisk", ec), end; !ec && it != end;
         it.increment(ec)) {
        struct stat info;
        ASSERT_EQ(::lstat(it->path().c_str(), &info), 0);
        EXPECT_EQ(info.st_uid, 0u) << it->path();
    }
}

// The upgrade with root's package went through, the earlier log kept.
void ExpectUpgradedByRoot(const Result& r) {
    ExpectUpgraded(r);
    struct stat info;
    ASSERT_TRUE(r.Stat("/var/log/upgrade_log", info) && S_ISREG(info.st_mode));
    EXPECT_EQ(info.st_uid, 0u);
    EXPECT_EQ(qx::testing::LogLines(r.ReadFile("/var/log/upgrade_log")).at(0),
              "line of an earlier run");
    for (const char* staged : {"/tmp/ramdisk/fs-validator", "/tmp/ramdisk/kernel_image"}) {
        ASSERT_TRUE(r.Stat(staged, info) && S_ISREG(info.st_mode)) << staged;
        EXPECT_EQ(info.st_uid, 0u) << staged;
        EXPECT_EQ(info.st_mode & 07777, 0755u) << staged;
    }
}

// What another user's rewrite of the package during extraction may lead
// to: the upgrade with the verified bytes, or an extraction failure before
// anything ran or was staged.
void ExpectVerifiedOrNothingRan(const Result& r) {
    const Lines log = qx::testing::LogLines(r.ReadFile("/var/log/upgrade_log"));
    ASSERT_GE(log.size(), 2u);
    if (log[log.size() - 2] == "Successfully upgraded firmware") {
        ExpectNothingWon(r);
        ExpectUpgradedByRoot(r);
        return;
    }
    ExpectNothingWon(r, false);
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(log.back().rfind("Unable to extract files: Extracted bytes of /tmp/", 0), 0u)
        << log.back();
    EXPECT_FALSE(r.Exists("/tmp/validator-args"));
    EXPECT_FALSE(r.Exists("/tmp/ramdisk/fs-validator"));
    EXPECT_FALSE(r.Exists("/tmp/ramdisk/kernel_image"));
    EXPECT_TRUE(r.Exists("/etc/upgrade_started"));
}

}  // namespace

// The intruder (sandbox/programs/intruder.c) attacks from the moment the
// RAM disk is a new mount, from before the run for the log's first move, or
// on root's package while it is still writable by others (placed so; the
// intruder closes it before the run looks for it).
TEST(Race, AnotherUserRacingTheRunNeverWins) {
    const struct {
        const char* intruder;
        bool beforeTheRun;   // else: started by the run as its watchdog program
        const char* report;  // what the intruder's report begins with
        bool rewrites;       // the package's bytes change during the extraction
    } races[] = {
        {"intruder-dir", false, "seen 1 ", false},
        {"intruder-link", false, "seen 1 ", false},
        {"intruder-fifo", false, "seen 1 ", false},
        {"intruder-log", true, "seen 0 planted ", false},
        // A second name (one of them ud*) no longer keeps root's package out.
        {"intruder-hardlink", true, "held 0 linked 2 ", false},
        // A read-write descriptor taken while the package was writable.
        {"intruder-rw", true, "held 1 linked 0 rewrote ", true},
    };
    constexpr int kTries = 3;
    for (const auto& race : races) {
        for (int attempt = 0; attempt < kTries; ++attempt) {
            SCOPED_TRACE(std::string(race.intruder) + " try " + std::to_string(attempt));
            DeviceScenario s = Scenario();
            const std::string path = std::string("/tmp/") + race.intruder;
            s.PlaceAs(path, Kind::File, 0, 0755);
            s.device.entries.back().hostSource = qx::sandbox::IntruderPath();
            s.PlacePackage("udfirmware");
            if (std::string(race.report).rfind("held ", 0) == 0) {
                s.device.entries.back().mode = 0666;
            }
            (race.beforeTheRun ? s.device.startBefore : s.args[0]) = path;
            const Result r = s.Run();
            ASSERT_EQ(r.error, "");
            const std::string report = r.ReadFile("/home/intruder/report");
            std::cout << race.intruder << ": " << report;
            EXPECT_EQ(report.rfind(race.report, 0), 0u) << report;
            if (race.rewrites) {
                EXPECT_EQ(report.find("rewrote 0"), std::string::npos) << report;
                ExpectVerifiedOrNothingRan(r);
                continue;
            }
            ExpectNothingWon(r);
            ExpectUpgradedByRoot(r);
            EXPECT_TRUE(!race.beforeTheRun || report.find("planted 0 ") == std::string::npos)
                << report;
        }
    }
}

// Another user's file under the cut name of root's long-named package is
// not opened as root's (the decoys of the ownership rules are in
// HostileDeviceTest).
TEST(Race, AnotherUsersFileUnderTheCutNameIsNotTaken) {
    DeviceScenario s = Scenario();
    // A valid package whose validator, should root ever run it, leaves a mark.
    s.PlaceAs("/tmp/ramdisk/ud1796600000_firm", Kind::File, kOtherUser, 0644,
              DeviceScenario::PackageOf("#!/bin/sh\necho ran > " + kDecoyRan + "\n", "decoy kernel",
                                        "decoy database"));
    s.PlacePackage("ud1796600000_firmware_R7.bin");
    const Result r = s.Run();
    ASSERT_EQ(r.error, "");
    ExpectNothingWon(r, false);
    const Lines log = qx::testing::LogLines(r.ReadFile("/var/log/upgrade_log"));
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(),
              "Unable to parse file: Couldn't open file /tmp/ramdisk//"
              "ud1796600000_firm: error: Operation not permitted");
    EXPECT_EQ(r.exitStatus, 0);
}

// Another user fills the old RAM disk: the log cannot move there, so it
// stays on the flash, and its earlier lines outlive the upgrade.
TEST(Race, RamDiskFilledByAnotherUserKeepsTheEarlierLog) {
    DeviceScenario s = Scenario();
    s.device.ramdiskSize = "1M";
    s.PlacePackage("udfirmware");  // one page of the 256
    s.PlaceAs("/tmp/ramdisk/fill", Kind::File, kOtherUser, 0644);
    s.device.entries.back().size = 255u * 4096u;
    const Result r = s.Run();
    ASSERT_EQ(r.error, "");
    ExpectUpgradedByRoot(r);
}
