#include <gtest/gtest.h>

#include "cleanup/StagePlan.h"
#include "support/DeviceLog.h"
#include "upgrader/AutoStart.h"
#include "upgrader/Package.h"
#include "upgrader/Quiesce.h"
#include "upgrader/Run.h"
#include "upgrader/Staging.h"
#include "upgrader/memdevice/MemoryDevice.h"

namespace dev = qx::upgrader::memdevice;
using namespace qx::upgrader;
using qx::testing::Concat;
using qx::testing::Lines;

namespace {

constexpr long kNow = 1700000123;  // time quotient 1700000

class Driver : public ::testing::Test {
  protected:
    void SetUp() override {
        dev::Reset();
        dev::SetTime(kNow);
        dev::AddDirectory("/tmp/ramdisk");
        dev::AddTextFile("/proc/version",
                         "Linux version " + qx::testing::stageplan::kRelease + " (b@h) #1\n");
        dev::AddTextFile("/sys/kernel/qxfc/board", "board: qx740 rev 3\n");
        dev::SetFreeSpace(kRequiredFreeSpace);
    }
};

TEST_F(Driver, ExitsBeforeThePackageRunTheirSequenceAndReturnZero) {
    const Lines start =
        Concat({qx::testing::QuiesceCommands(),
                {"/tmp/wdfeed &", "cat /sys/kernel/qxfc/board | grep -q \"\\b12\\b\""}});
    const struct {
        const char* name;
        const char* board;
        unsigned int free;
        Lines packages;
        Lines log;
        Lines cleanupCommands;
    } cases[] = {
        {"board refused",
         "board: qx730 rev 12\n",
         kRequiredFreeSpace,
         {"/tmp/ramdisk/ud1"},
         {"Unable to upgrade 630/730 Rev1 units"},
         {}},
        {"not enough space",
         "rev 3",
         0,
         {"/tmp/ramdisk/ud1"},
         {"Unable to sufficiently cleanup the OS"},
         qx::testing::stageplan::CommandsThrough(6)},
        {"no package",
         "rev 120",
         kRequiredFreeSpace,
         {"/tmp/ramdisk/UD1.bin", "/tmp/ramdisk/Ud2", "/tmp/ud3"},
         {"Unable to locate upgrade file"},
         qx::testing::kStaticDirectoryCommands},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        dev::AddTextFile("/sys/kernel/qxfc/board", c.board);
        dev::SetFreeSpace(c.free);
        for (const std::string& package : c.packages) {
            dev::AddFile(package, 4096);
        }
        std::optional<cleanup::CleanupVQ740> cleanup;
        std::optional<qx::upgradeFile::UpgradeFile> reader;
        EXPECT_EQ(RunUpgrade("/tmp/wdfeed", cleanup, reader), 0);

        EXPECT_EQ(dev::Commands(), Concat({start, c.cleanupCommands}));
        const Lines log = dev::Notes();
        EXPECT_EQ(log.back(), c.log.back());
        EXPECT_EQ(cleanup.has_value(), c.cleanupCommands.size() != 0);
        if (cleanup) {
            EXPECT_EQ(log.front(), "Running cleanup to allow for upgrade");
            EXPECT_EQ(cleanup->FreeSpaceRequired(), 23068672u);
        }
        EXPECT_FALSE(reader.has_value());
    }
}

TEST_F(Driver, ThePackageIsTheFirstOwnUdEntryTheDirectoryYields) {
    std::string path;
    EXPECT_FALSE(LocateUpgradeFile(path));
    const struct {
        const char* name;
        unsigned int uid;
        unsigned int mode;
        const char* passedOver;  // the reason logged, or null when it can be taken
    } entries[] = {
        {"UD1.bin", 0, 0644, nullptr},  // not an upload: neither taken nor logged
        // One passed-over kind: the reasons are the device's (HostileDeviceTest's rules).
        {"udz", 1000, 0644, "another user's"},
        {"udamaged", 0, 0644, nullptr},
        {"udsound", 0, 0644, nullptr},
    };
    Lines log;
    for (const auto& e : entries) {
        const std::string entry = std::string("/tmp/ramdisk/") + e.name;
        dev::AddFile(entry, 4096);
        dev::SetOwner(entry, e.uid, e.mode);
        if (e.passedOver != nullptr) {
            log.push_back("Passing over upload " + entry + ": " + e.passedOver);
        }
    }
    path = "stale";
    EXPECT_TRUE(LocateUpgradeFile(path));
    EXPECT_EQ(path, "/tmp/ramdisk//udamaged");
    EXPECT_EQ(dev::Notes(), log);

    // Only decoys: none is taken; a directory is taken.
    dev::Reset();
    dev::AddFile("/tmp/ramdisk/udz", 4096);
    dev::SetOwner("/tmp/ramdisk/udz", 1000, 0600);
    EXPECT_FALSE(LocateUpgradeFile(path));
    EXPECT_EQ(path, "");
    dev::Reset();
    dev::AddDirectory("/tmp/ramdisk/udir");
    EXPECT_TRUE(LocateUpgradeFile(path));
    EXPECT_EQ(path, "/tmp/ramdisk//udir");
}

TEST_F(Driver, StagingRebuildsTheRamDiskAndRunsTheValidator) {
    using K = dev::EffectKind;
    const std::vector<std::pair<K, std::string>> order = {
        {K::Removed, "/tmp/ramdisk/ud1"},
        {K::Removed, "/var/log/upgrade_log"},  // replaced by itself and the RAM disk's lines
        {K::Moved, "/tmp/ramdisk/upgrade_log"},
        {K::Command, "umount /tmp/ramdisk/"},
        {K::Command, "mount -t tmpfs -o size=25M,mode=0755 /tmp/ramdisk/"},
        {K::Secured, "/tmp/ramdisk"},
        {K::Moved, "/var/log/upgrade_log"},
        {K::Moved, "/tmp/fs-validator"},
        {K::Moved, "/tmp/kernel_image"},
        {K::Moved, "/tmp/filesystem.db"},
        {K::Command, qx::testing::kStagingCommands.back()},
        {K::Command, "rm /etc/upgrade_started"},
        {K::Removed, "/etc/upgrade_started"}};
    for (const char* file : {"/tmp/ramdisk/ud1", "/tmp/fs-validator", "/tmp/kernel_image",
                             "/tmp/filesystem.db", "/etc/upgrade_started"}) {
        dev::AddFile(file, 100);
    }
    // A log that an earlier move left on the flash keeps its lines.
    dev::AddTextFile("/var/log/upgrade_log", "earlier\n");
    dev::AddTextFile("/tmp/ramdisk/upgrade_log", "this run\n");
    StageAndValidate("/tmp/ramdisk//ud1");
    std::vector<std::pair<K, std::string>> effects;
    for (const dev::Effect& effect : dev::Effects()) {
        effects.emplace_back(effect.kind, effect.path);
    }
    EXPECT_EQ(effects, order);
    for (const char* file : {"fs-validator", "kernel_image", "filesystem.db"}) {
        EXPECT_TRUE(dev::Exists(std::string("/tmp/ramdisk/") + file)) << file;
    }
    EXPECT_EQ(dev::TextOf("/tmp/ramdisk/upgrade_log"), "earlier\nthis run\n");
    EXPECT_FALSE(dev::Exists("/var/log/upgrade_log"));
}

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

TEST_F(Driver, AutoStartRestoreAndParkFollowTheTableRules) {
    const struct {
        const char* name;
        Lines present;
        bool (*operation)();
        bool verdict;
        Lines expectPresent;
    } cases[] = {
        {"program file wins over parked copy",
         {"/sbin/qx_monitor", "/sbin/qx_monitor.disabled", "/usr/sbin/qxsshd.disabled",
          "/sbin/nvlogger.disabled"},
         EnableAutoStartBinaries,
         true,
         {"/sbin/qx_monitor", "/usr/sbin/qxsshd", "/sbin/nvlogger"}},
        {"a missing row stops later restores",
         {"/usr/sbin/qxsshd.disabled", "/sbin/nvlogger.disabled"},
         EnableAutoStartBinaries,
         false,
         {"/usr/sbin/qxsshd.disabled", "/sbin/nvlogger.disabled"}},
        {"parking stops at the first missing program",
         {"/sbin/qx_monitor", "/sbin/nvlogger"},
         DisableAutoStartBinaries,
         false,
         {"/sbin/qx_monitor.disabled", "/sbin/nvlogger"}},
        {"parking all three",
         {"/sbin/qx_monitor", "/usr/sbin/qxsshd", "/sbin/nvlogger", "/sbin/nvlogger.disabled"},
         DisableAutoStartBinaries,
         true,
         {"/sbin/qx_monitor.disabled", "/usr/sbin/qxsshd.disabled", "/sbin/nvlogger.disabled"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        dev::Reset();
        for (const std::string& path : c.present) {
            dev::AddFile(path, 10);
        }
        EXPECT_EQ(c.operation(), c.verdict);
        Lines present;
        for (const std::string daemon :
             {"/sbin/qx_monitor", "/usr/sbin/qxsshd", "/sbin/nvlogger"}) {
            for (const std::string& path : {daemon, daemon + ".disabled"}) {
                if (dev::Exists(path)) {
                    present.push_back(path);
                }
            }
        }
        EXPECT_EQ(present, c.expectPresent);
    }
}

}  // namespace
