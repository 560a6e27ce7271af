#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cleanup/StagePlan.h"
#include "support/DeviceLog.h"
#include "upgrader/Run.h"
#include "upgrader/cleanup/CleanupUtils.h"
#include "upgrader/cleanup/CleanupVQ740.h"
#include "upgrader/memdevice/MemoryDevice.h"
#include "upgrader/utils/FileSystem.h"
#include "upgrader/utils/UpgradeLog.h"

namespace dev = qx::upgrader::memdevice;
namespace utils = qx::upgrader::cleanup::utils;
using qx::testing::Concat;
using qx::testing::Lines;
using qx::upgrader::kRequiredFreeSpace;
using namespace qx::testing::stageplan;

namespace {

// Runs one cleanup; returns whether it reports the space created (the flag
// given stays set when it was).
bool Perform(unsigned int required, bool spaceCreated = false) {
    qx::upgrader::cleanup::CleanupVQ740 strategy(required);
    strategy.PerformCleanup(spaceCreated);
    return spaceCreated;
}

// Stage 0: nothing suffices, every stage runs and the flag stays as it
// was. Each stage frees 1 MiB; stage 4 stops after the two oldest
// rotated logs (512 KiB) when it suffices.
struct StageCase {
    int stage;
    Lines log;  // after "Beginning file system cleanup"
};

const StageCase kStageCases[] = {
    {2,
     {"FreeSpace: 22675456", "Required free space: 23068672", "Clearing unused static files",
      "Enough space created after clearing static files", "FreeSpace: 23724032",
      "Required: 23068672"}},
    {3,
     {"FreeSpace: 21626880", "Required free space: 23068672", "Clearing unused static files",
      "FreeSpace: 22675456", "Clearing unused kernel modules",
      "Enough space created after clearing kernel modules", "FreeSpace: 23724032",
      "Required: 23068672"}},
    {4,
     {"FreeSpace: 20578304", "Required free space: 23068672", "Clearing unused static files",
      "FreeSpace: 21626880", "Clearing unused kernel modules", "FreeSpace: 22675456",
      "Clearing logs files", "Enough space created after clearing old logs", "FreeSpace: 23199744",
      "Required: 23068672"}},
    {5,
     {"FreeSpace: 19529728", "Required free space: 23068672", "Clearing unused static files",
      "FreeSpace: 20578304", "Clearing unused kernel modules", "FreeSpace: 21626880",
      "Clearing logs files", "FreeSpace: 22675456", "Clearing extra files",
      "Enough space created after clearing extra files", "FreeSpace: 23724032",
      "Required: 23068672"}},
    {6,
     {"FreeSpace: 18481152", "Required free space: 23068672", "Clearing unused static files",
      "FreeSpace: 19529728", "Clearing unused kernel modules", "FreeSpace: 20578304",
      "Clearing logs files", "FreeSpace: 21626880", "Clearing extra files", "FreeSpace: 22675456",
      "Enough space created after clearing extra files", "FreeSpace: 23724032",
      "Required: 23068672"}},
    {0,
     {"FreeSpace: 0", "Required free space: 23068672", "Clearing unused static files",
      "FreeSpace: 1048576", "Clearing unused kernel modules", "FreeSpace: 2097152",
      "Clearing logs files", "FreeSpace: 3145728", "Clearing extra files", "FreeSpace: 4194304",
      "FreeSpace: 5242880"}},
};

class Cleanup : public ::testing::Test {
  protected:
    void SetUp() override {
        dev::Reset();
        dev::AddDirectory("/tmp/ramdisk");
        dev::AddTextFile("/proc/version", "Linux version " + kRelease + " (builder@buildhost)\n");
    }
};

TEST_F(Cleanup, EachStageStopsTheCleanupWhenItReachesTheRequirement) {
    for (const StageCase& c : kStageCases) {
        const int stage = c.stage;
        SCOPED_TRACE(stage);
        SetUp();
        const unsigned int start = FreeBeforeCleanup(stage);
        dev::SetFreeSpace(stage == 0 ? 0 : start);
        for (const Planned& file : kStageFiles) {
            dev::AddFile(file.path, file.size, file.mtime);
        }
        EXPECT_EQ(Perform(kRequiredFreeSpace), stage != 0);

        EXPECT_EQ(dev::Notes(), Concat({{"Beginning file system cleanup"}, c.log}));
        EXPECT_EQ(dev::Commands(), CommandsThrough(stage == 0 ? 6 : stage));
        for (const Planned& file : kStageFiles) {
            bool gone = file.stage != 0 && (stage == 0 || file.stage <= stage);
            if (stage == 4 && file.stage == 4) {
                gone = file.mtime <= 2000;
            }
            EXPECT_EQ(dev::Exists(file.path), !gone || file.stage == 6) << file.path;
            EXPECT_EQ(dev::SizeOf(file.path), gone ? 0u : file.size) << file.path;
        }
    }
    // A flag already set stays set when nothing suffices.
    EXPECT_TRUE(Perform(0xFFFFFFFFu, true));
}

TEST_F(Cleanup, MeasurementComparesWithTheRequirementEqualIsEnough) {
    dev::SetFreeSpace(5000);
    for (unsigned int required : {4999u, 5000u, 5001u}) {
        qx::upgrader::cleanup::CleanupVQ740 strategy(required);
        bool cleanupRequired = !(required > 5000);
        ASSERT_TRUE(strategy.RequireCleanup(cleanupRequired));
        EXPECT_EQ(cleanupRequired, required > 5000);
        EXPECT_EQ(strategy.FreeSpace(), 5000u);
        EXPECT_EQ(strategy.EnoughFreeSpace(), required <= 5000);
    }
}

TEST_F(Cleanup, LiveLogsAreClearedOnlyAboveTheirLimits) {
    for (const auto& [over, at] : {std::pair{"sys.log", "messages"}, {"messages", "sys.log"}}) {
        SetUp();
        dev::AddFile(std::string("/var/log/") + over, 10000001);
        dev::AddFile(std::string("/var/log/") + at, 10000000);
        Perform(1);
        const Lines log = dev::Notes();
        EXPECT_EQ(Lines(log.begin() + 3, log.begin() + 5),
                  (Lines{std::string("Clearing ") + over + " because too large. Size: 10000001",
                         "Clearing unused static files"}));
        EXPECT_EQ(dev::Commands().front(), std::string("cat /dev/null > /var/log/") + over);
        EXPECT_EQ(dev::SizeOf(std::string("/var/log/") + over), 0u);
        EXPECT_EQ(dev::SizeOf(std::string("/var/log/") + at), 10000000u);
    }
}

// Measured after the three opening entries; kept: the last 2,000 lines.
TEST_F(Cleanup, UpgradeLogAboveItsLimitKeepsItsLastLinesEndingWithItsOwnEntry) {
    std::tm epoch{};
    epoch.tm_mday = 1;
    epoch.tm_year = 70;
    const std::string stamp = qx::upgrader::utils::FormatLogStamp(epoch);
    for (unsigned int atStage1 : {500000u, 500001u}) {
        SetUp();
        dev::SetFreeSpace(1);
        std::size_t opening = 0;
        for (const char* entry :
             {"Beginning file system cleanup", "FreeSpace: 1", "Required free space: 1"}) {
            opening += stamp.size() + std::string(entry).size() + 1;
        }
        std::string seed;
        for (int line = 0; seed.size() < atStage1 - opening; ++line) {
            seed += "old entry " + std::to_string(line) + "\n";
        }
        seed.erase(0, seed.size() - (atStage1 - opening));
        dev::AddTextFile(qx::upgrader::utils::kUpgradeLogPath, seed);
        Perform(1);

        const Lines log =
            qx::testing::SplitLines(dev::TextOf(qx::upgrader::utils::kUpgradeLogPath));
        const bool shortened = atStage1 > 500000;
        // The log is shortened in process: no command names it.
        const Lines commands = dev::Commands();
        EXPECT_EQ(commands.size(), 7u);
        for (const std::string& command : commands) {
            EXPECT_EQ(command.find("upgrade_log"), std::string::npos) << command;
        }
        if (shortened) {
            ASSERT_EQ(log.size(), 2004u);
            EXPECT_EQ(log[1999], stamp + "Clearing upgrade_log because too large. Size: 500001");
        } else {
            EXPECT_EQ(
                dev::TextOf(qx::upgrader::utils::kUpgradeLogPath).compare(0, seed.size(), seed), 0);
        }
        // Nothing but the log is left beside it.
        std::vector<std::string> names;
        ASSERT_TRUE(qx::upgrader::utils::ListDirectory("/tmp/ramdisk", names));
        EXPECT_EQ(names, (std::vector<std::string>{".", "..", "upgrade_log"}));
    }
}

TEST_F(Cleanup, OnlyTheRunningKernelsTreeStaysAndOnlyTheFirst128BytesCount) {
    const struct {
        std::string release, matchText, otherText;
    } kernels[] = {{kRelease, kRelease, "2.6.35.3 ("}, {"2.6.35.3", "2.6.35.3 (", kRelease}};
    for (const auto& kernel : kernels) {
        SCOPED_TRACE(kernel.release);
        SetUp();
        std::string version = "Linux version " + kernel.release + " (builder@buildhost) #1";
        version.resize(128, ' ');
        dev::AddTextFile("/proc/version", version + "LATE-TEXT\n");
        for (const std::string& release : kReleases) {
            dev::AddFile("/lib/modules/" + release + "/kernel/net.ko", 8 * kKiB);
        }
        for (const auto& [text, expected] :
             std::vector<std::pair<std::string, bool>>{{kernel.matchText, true},
                                                       {kernel.otherText, false},
                                                       {"", true},
                                                       {"LATE-TEXT", false}}) {
            bool matches = !expected;
            EXPECT_TRUE(utils::MatchesKernelVersion(text, matches));
            EXPECT_EQ(matches, expected) << text;
        }
        Perform(0xFFFFFFFFu);
        const Lines commands = dev::Commands();
        EXPECT_EQ(Lines(commands.begin() + 7, commands.begin() + 16),
                  KernelCommandsExcept(kernel.release));
        for (const std::string& release : kReleases) {
            EXPECT_EQ(dev::Exists("/lib/modules/" + release), release == kernel.release);
        }
    }
}

TEST_F(Cleanup, UnreadableKernelVersionKeepsEveryTree) {
    for (bool unopenable : {true, false}) {
        SetUp();
        const std::string message =
            unopenable ? "Unable to open /proc/version" : "Unsuccessful read from /proc/version";
        if (unopenable) {
            dev::MakeUnopenable("/proc/version");
        } else {
            dev::AddTextFile("/proc/version", "");
        }
        bool matches = true;
        EXPECT_FALSE(utils::MatchesKernelVersion("2.6", matches));
        EXPECT_TRUE(matches);
        Perform(0xFFFFFFFFu);
        const Lines log = dev::Notes();
        ASSERT_EQ(log.size(), 23u);
        EXPECT_EQ(log[6], "Clearing unused kernel modules");
        EXPECT_EQ(Lines(log.begin() + 7, log.begin() + 17), Lines(10, message));
        EXPECT_EQ(log[17], "FreeSpace: 0");
        EXPECT_EQ(dev::Commands().size(), 10u);  // no kernel tree command
    }
}

TEST_F(Cleanup, RotatedLogSearchFindsEachFamilysEarliestRegularFile) {
    for (const char* directory : {"/var/log/sys.log.50.gz", "/home/logs/log-00001.txt.gz"}) {
        dev::AddDirectory(directory);
    }
    for (const auto& [path, mtime] :
         std::vector<std::pair<std::string, long>>{{"/var/log/sys.log.3.gz", 3333},
                                                   {"/var/log/sys.log.7.gz", 7777},
                                                   {"/var/log/messages.0.gz", 100},
                                                   {"/var/log/messages.51.gz", 5100},
                                                   {"/var/log/messages.4.gz", 4444},
                                                   {"/home/logs/log-00003.txt.gz", 3},
                                                   {"/home/logs/log-00007.txt.gz", 7},
                                                   {"/home/logs/log-10000.txt.gz", 10000}}) {
        dev::AddFile(path, 4096, mtime);
    }
    using Family = utils::RotatedLogFamily;
    const struct {
        Family family;
        std::vector<long> times;  // earliest time before each removal
    } families[] = {
        {Family::Syslog, {7777, 3333}}, {Family::Messages, {4444}}, {Family::HomeLog, {3, 7}}};
    for (const auto& expected : families) {
        for (long time : expected.times) {
            long mtime = -1;
            bool removed = false;
            EXPECT_TRUE(utils::FindEarliestRotatedLogTime(expected.family, mtime));
            EXPECT_EQ(mtime, time);
            EXPECT_TRUE(utils::UnlinkEarliestRotatedLog(expected.family, removed));
            EXPECT_TRUE(removed);
        }
    }
    long mtime = -1;
    EXPECT_FALSE(utils::FindEarliestRotatedLogTime(Family::Messages, mtime));
    EXPECT_EQ(mtime, -1);
    EXPECT_FALSE(utils::UnlinkEarliestHomeLogFile());
    EXPECT_FALSE(utils::UnlinkEarliestVarLogSyslogTime());
    for (const char* kept :
         {"/var/log/sys.log.50.gz", "/var/log/messages.0.gz", "/var/log/messages.51.gz",
          "/home/logs/log-00001.txt.gz", "/home/logs/log-10000.txt.gz"}) {
        EXPECT_TRUE(dev::Exists(kept)) << kept;
    }
}

TEST_F(Cleanup, UndeletableRotatedLogEndsTheOldLogsStage) {
    dev::AddFile("/home/logs/log-00000.txt.gz", 256 * kKiB, 1000);
    dev::AddFile("/var/log/sys.log.50.gz", 256 * kKiB, 2000);
    dev::AddFile("/var/log/messages.1.gz", 256 * kKiB, 3000);
    dev::Pin("/var/log/sys.log.50.gz");
    EXPECT_FALSE(Perform(0xFFFFFFFFu));
    EXPECT_FALSE(dev::Exists("/home/logs/log-00000.txt.gz"));
    EXPECT_TRUE(dev::Exists("/var/log/sys.log.50.gz"));
    EXPECT_TRUE(dev::Exists("/var/log/messages.1.gz"));
    const Lines log = dev::Notes();
    ASSERT_EQ(log.size(), 12u);
    EXPECT_EQ(Lines(log.begin() + 7, log.begin() + 10),
              (Lines{"Clearing logs files", Free(256 * kKiB), "Clearing extra files"}));
}

TEST_F(Cleanup, SupersededVersionsGoOnlyBesideTheirMarker) {
    auto lib = [](const std::string& library, const Lines& suffixes) {
        Lines paths;
        for (const std::string& suffix : suffixes) {
            paths.push_back("/usr/lib/" + library + suffix);
        }
        return paths;
    };
    const Lines stay = Concat({
        lib("libnetsnmp", {".so.40.0.0"}),
        lib("libnetsnmpagent", {".so.35.0.0", ".so.35"}),
        lib("libnetsnmphelpers", {".so.30.0.3", ".so.30"}),
        lib("libnetsnmpmibs", {".so.35", ".so.30", ".so.15.1.3", ".so.15"}),
        {"/usr/bin/openssl", "/usr/lib/libcurl.so.4.6.0", "/lib/libcrypto.so.0.9.8",
         "/usr/lib/libqmi-glib.so.5.2.0"},
    });
    const Lines gone = Concat({
        lib("libnetsnmp", {".so.35.0.0", ".so.35", ".so.30.0.3", ".so.30", ".so.15.1.3", ".so.15"}),
        lib("libnetsnmpagent", {".so.30.0.3", ".so.30", ".so.15.1.3", ".so.15"}),
        lib("libnetsnmphelpers", {".so.15.1.3", ".so.15"}),
        {"/usr/sbin/openssl", "/lib/libcurl.so.4.0.0", "/usr/lib/libqmi-glib.so.1",
         "/usr/lib/libqmi-glib.so.1.3.0", "/usr/sbin/tcpdump.4.7.4", "/usr/bin/minicom",
         "/usr/bin/rsync", "/usr/share/glib-2.0/schemas/gschemas.compiled"},
    });
    for (const std::string& path : Concat({stay, gone})) {
        dev::AddFile(path, 4096);
    }
    // A marker that is a directory does not count.
    dev::AddDirectory("/usr/lib/libnetsnmpmibs.so.40.0.0");
    Perform(0xFFFFFFFFu);
    for (const std::string& path : stay) {
        EXPECT_TRUE(dev::Exists(path)) << path;
    }
    for (const std::string& path : gone) {
        EXPECT_FALSE(dev::Exists(path)) << path;
    }
}

}  // namespace
