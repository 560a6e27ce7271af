// The cleanup on a simulated device: real files on a flash of real size, run
// by the device-side cleanup_probe inside the sandbox. Assertions are made
// on the upgrade log (stamps stripped), the recorded shell commands, the
// files left and the flash's free space.
#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

#include "sandbox/Sandbox.h"
#include "support/DeviceLog.h"

namespace sb = qx::sandbox;

namespace {

using Lines = std::vector<std::string>;

constexpr unsigned long long kKiB = 1024;
constexpr unsigned long long k256K = 256 * kKiB;
constexpr unsigned long long kMiB = 1024 * kKiB;
constexpr unsigned int kDriverRequired = 0x1600000u;  // what the driver asks for
const std::string kUpgradeLog = "/tmp/ramdisk/upgrade_log";
const std::string kCurrentRelease = "2.6.35.3-00227-geccd148";
const std::string kSuffixedKernel = "Linux version " + kCurrentRelease +
                                    " (builder@buildhost) (gcc version 4.4.4 (GCC) ) #1 PREEMPT "
                                    "Tue Mar 3 10:00:00 UTC 2020\n";

const Lines kKernelReleases = {"2.6.35.3",
                               "2.6.35.3-00108-g29117d2",
                               "2.6.35.3-00131-gbe8c2d2",
                               "2.6.35.3-00225-gcb58267",
                               kCurrentRelease,
                               "2.6.35.3-00232-gf7cf468",
                               "2.6.35.3-00247-g3567f66",
                               "2.6.35.3-00260-g37aed04",
                               "2.6.35.3-00263-gcc5a534",
                               "2.6.35.3-00265-gabc8368"};

sb::Entry File(const std::string& path, unsigned long long size, long mtime = 0) {
    sb::Entry entry;
    entry.path = path;
    entry.size = size;
    entry.mtime = mtime;
    return entry;
}

sb::Entry Node(sb::Kind kind, const std::string& path, const std::string& text = "") {
    sb::Entry entry;
    entry.path = path;
    entry.kind = kind;
    (kind == sb::Kind::Symlink ? entry.target : entry.content) = text;
    return entry;
}

sb::Device FlashDevice(const std::string& flashSize, std::vector<sb::Entry> entries) {
    sb::Device device;
    device.flashSize = flashSize;
    device.procVersion = kSuffixedKernel;
    device.entries = std::move(entries);
    return device;
}

struct ProbeRun {
    sb::Result result;
    Lines log;  // upgrade log lines, stamps ("2026126 11:20:13 - ") stripped
    Lines out;  // probe output lines
};

ProbeRun RunProbe(sb::Device device, const Lines& args) {
    device.programDevicePath = "/usr/sbin/cleanup_probe";
    ProbeRun run{sb::Run(device, QX_CLEANUP_PROBE, args), {}, {}};
    EXPECT_EQ(run.result.error, "");
    EXPECT_FALSE(run.result.timedOut);
    EXPECT_EQ(run.result.exitStatus, 0) << run.result.stderrText;
    run.log = qx::testing::LogLines(run.result.ReadFile(kUpgradeLog));
    run.out = sb::SplitLines(run.result.stdoutText);
    return run;
}

std::string Free(unsigned long long bytes) { return "FreeSpace: " + std::to_string(bytes); }

// The figure of a "FreeSpace: N" entry.
unsigned long long FigureOf(const std::string& entry) {
    EXPECT_EQ(entry.compare(0, 11, "FreeSpace: "), 0) << entry;
    return std::stoull(entry.substr(11));
}

Lines Concat(const std::vector<Lines>& parts) {
    Lines all;
    for (const Lines& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

Lines KernelCommandsExcept(const std::string& kept) {
    Lines commands;
    for (const std::string& release : kKernelReleases) {
        if (release != kept) {
            commands.push_back("rm -rf /lib/modules/" + release + "/");
        }
    }
    return commands;
}

// ---------------------------------------------------------------------------
// A flash holding files for every stage, 1 MiB per stage, sized so that the
// given stage is the first to reach the driver's requirement.

struct Planned {
    sb::Entry entry;
    int stage;  // the stage that removes (stage 6: empties) it; 0 = stays
};

std::vector<Planned> StageFiles() {
    return {
        {File("/etc/dsl-3.61.img", 512 * kKiB), 2},
        {File("/usr/share/info/libc.info", k256K), 2},
        {File("/web/images/vq720_front.gif", k256K), 2},
        {File("/lib/modules/2.6.35.3/kernel/a.ko", 512 * kKiB), 3},
        {File("/lib/modules/2.6.35.3-00108-g29117d2/kernel/b.ko", 512 * kKiB), 3},
        {File("/lib/modules/" + kCurrentRelease + "/kernel/c.ko", 64 * kKiB), 0},
        // Rotated logs: removed in the order of their times.
        {File("/home/logs/log-00003.txt.gz", k256K, 1000), 4},
        {File("/var/log/messages.2.gz", k256K, 2000), 4},
        {File("/var/log/sys.log.5.gz", k256K, 3000), 4},
        {File("/home/logs/log-00004.txt.gz", k256K, 4000), 4},
        {File("/usr/bin/minicom", k256K), 5},
        {File("/usr/share/glib-2.0/schemas/gschemas.compiled", k256K), 5},
        {File("/usr/lib/libnetsnmp.so.35.0.0", k256K), 5},
        {File("/usr/lib/libnetsnmp.so.15", k256K), 5},
        {File("/usr/lib/libnetsnmp.so.40.0.0", 64 * kKiB), 0},
        {File("/var/log/sys.log", 512 * kKiB), 6},
        {File("/var/log/messages", 512 * kKiB), 6},
    };
}

sb::Device StageDevice(int stage) {
    // Free before the given stage: 3/8 MiB short of the requirement.
    const unsigned long long freeAtStart =
        kDriverRequired - 384 * kKiB - static_cast<unsigned long long>(stage - 2) * kMiB;
    unsigned long long used = 0;
    sb::Device device = FlashDevice("32M", {});
    for (const Planned& planned : StageFiles()) {
        device.entries.push_back(planned.entry);
        used += planned.entry.size;
    }
    device.entries.push_back(File("/data/filler", 32 * kMiB - freeAtStart - used));
    return device;
}

// The entries of one cleanup that starts with figure bytes free, where stage
// s frees freed[s - 2] bytes and stage suffices (0: none) is the first to
// reach the requirement.
Lines ExpectedLog(unsigned long long figure, unsigned long long required,
                  const std::vector<unsigned long long>& freed, int suffices) {
    static const char* const announce[] = {"Clearing unused static files",
                                           "Clearing unused kernel modules", "Clearing logs files",
                                           "Clearing extra files", nullptr};
    static const char* const success[] = {"Enough space created after clearing static files",
                                          "Enough space created after clearing kernel modules",
                                          "Enough space created after clearing old logs",
                                          "Enough space created after clearing extra files",
                                          "Enough space created after clearing extra files"};
    Lines log = {"Beginning file system cleanup", Free(figure),
                 "Required free space: " + std::to_string(required)};
    for (int s = 2; s <= (suffices == 0 ? 6 : suffices); ++s) {
        if (announce[s - 2] != nullptr) {
            log.push_back(announce[s - 2]);
        }
        figure += freed[static_cast<std::size_t>(s - 2)];
        log.push_back(s == suffices ? success[s - 2] : Free(figure));
    }
    if (suffices != 0) {
        log.push_back(Free(figure));
        log.push_back("Required: " + std::to_string(required));
    }
    return log;
}

// The shell commands of stages 2 to last, in order.
Lines CommandsThrough(int last) {
    const Lines stages[] = {
        qx::testing::kStaticDirectoryCommands,
        KernelCommandsExcept(kCurrentRelease),
        {},
        {"rm -rf /usr/share/glib-2.0"},
        {"cat /dev/null > /var/log/sys.log", "cat /dev/null > /var/log/messages"}};
    return Concat(std::vector<Lines>(stages, stages + last - 1));
}

class StageSuffices : public ::testing::TestWithParam<int> {};

TEST_P(StageSuffices, LogsFiguresFilesAndCommands) {
    const int stage = GetParam();
    ProbeRun run = RunProbe(StageDevice(stage), {"perform", std::to_string(kDriverRequired)});
    const unsigned long long free = run.result.flashFreeBytes;
    EXPECT_EQ(run.out, Lines{"perform 1 1 " + std::to_string(free)});

    // Each stage frees 1 MiB, except that the old-logs stage stops after the
    // two oldest rotated logs when it is the one that suffices.
    std::vector<unsigned long long> freed(5, kMiB);
    freed[2] = stage == 4 ? 512 * kKiB : kMiB;
    ASSERT_GE(run.log.size(), 3u);
    EXPECT_EQ(run.log, ExpectedLog(FigureOf(run.log[1]), kDriverRequired, freed, stage));
    // The last figure is what the flash really has; short before, enough after.
    EXPECT_EQ(run.log.back(), "Required: 23068672");
    EXPECT_EQ(run.log[run.log.size() - 2], Free(free));
    EXPECT_GE(free, kDriverRequired);
    EXPECT_LT(free - freed[static_cast<std::size_t>(stage - 2)], kDriverRequired);

    EXPECT_EQ(run.result.commands, CommandsThrough(stage));

    for (const Planned& planned : StageFiles()) {
        const std::string& path = planned.entry.path;
        bool gone = planned.stage != 0 && planned.stage <= stage;
        if (stage == 4 && planned.stage == 4) {
            gone = planned.entry.mtime <= 2000;  // the two oldest only
        }
        if (planned.stage == 6) {
            EXPECT_EQ(run.result.ReadFile(path).size(), gone ? 0u : planned.entry.size) << path;
        }
        EXPECT_EQ(run.result.Exists(path), !gone || planned.stage == 6) << path;
    }
    EXPECT_TRUE(run.result.Exists("/data/filler"));
    EXPECT_EQ(run.result.Exists("/usr/share/info"), stage < 2);
    EXPECT_EQ(run.result.Exists("/lib/modules/2.6.35.3"), stage < 3);
    EXPECT_EQ(run.result.Exists("/usr/share/glib-2.0"), stage < 5);
}

INSTANTIATE_TEST_SUITE_P(Cleanup, StageSuffices, ::testing::Values(2, 3, 4, 5, 6));

TEST(CleanupSandbox, NothingSufficesTwiceRunsEveryStageAndKeepsTheFlag) {
    // The requirement exceeds the whole flash. /var/log/messages is missing:
    // the last stage creates it empty.
    sb::Device device = StageDevice(2);
    device.entries.erase(device.entries.end() - 2);
    ASSERT_EQ(device.entries.back().path, "/data/filler");
    const std::string required = std::to_string(64 * kMiB);
    ProbeRun run = RunProbe(device, {"perform", required, "perform-created", required});
    const unsigned long long free = run.result.flashFreeBytes;
    EXPECT_EQ(run.out, (Lines{"perform 1 0 " + std::to_string(free),
                              "perform 1 1 " + std::to_string(free)}));

    // Each stage's figure grows by what it removed; the second call finds
    // nothing left to remove.
    ASSERT_GE(run.log.size(), 2u);
    EXPECT_EQ(run.log, Concat({ExpectedLog(FigureOf(run.log[1]), 64 * kMiB,
                                           {kMiB, kMiB, kMiB, kMiB, 512 * kKiB}, 0),
                               ExpectedLog(free, 64 * kMiB, {0, 0, 0, 0, 0}, 0)}));
    EXPECT_EQ(run.log[11], Free(free));

    EXPECT_EQ(run.result.commands, Concat({CommandsThrough(6), CommandsThrough(6)}));
    EXPECT_TRUE(run.result.Exists("/var/log/messages"));
    EXPECT_EQ(run.result.ReadFile("/var/log/messages"), "");
    EXPECT_EQ(run.result.ReadFile("/var/log/sys.log"), "");
}

TEST(CleanupSandbox, DriverRequirementAndSaturatedFigureOnALargeFlash) {
    // 5 GiB free reads as 0xFFFFFFFF: enough, and stage 2 ends the cleanup.
    const std::string required = std::to_string(kDriverRequired);
    ProbeRun run =
        RunProbe(FlashDevice("5G", {File("/etc/dsl-7.05.img", 4096), File("/usr/bin/rsync", 4096)}),
                 {"measure", required, "perform", required});
    EXPECT_EQ(run.out, (Lines{"measure 1 4294967295 1 1 0", "perform 1 1 4294967295"}));
    EXPECT_EQ(run.log, ExpectedLog(4294967295u, kDriverRequired, {0, 0, 0, 0, 0}, 2));
    EXPECT_FALSE(run.result.Exists("/etc/dsl-7.05.img"));
    EXPECT_TRUE(run.result.Exists("/usr/bin/rsync"));
    EXPECT_EQ(run.result.commands, qx::testing::kStaticDirectoryCommands);
}

// ---------------------------------------------------------------------------
// Stage 1: live logs over their limits.

// Length of one log entry as the device writes it now (UTC, no zone file).
std::size_t EntryLength(const std::string& message) {
    std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    return std::to_string(utc.tm_year + 1900).size() + 2 + std::to_string(utc.tm_mday).size() +
           std::string(" 00:00:00 - ").size() + message.size() + 1;
}

std::string SeedLog(std::size_t lines, std::size_t lineLength) {
    std::string log;
    for (std::size_t i = 1; i <= lines; ++i) {
        std::string line = "old entry " + std::to_string(i) + " ";
        line.resize(lineLength - 1, '.');
        log += line + '\n';
    }
    return log;
}

TEST(CleanupSandbox, FiguresAndLiveLogsAtTheirLimitsStayAndOneByteMoreIsCleared) {
    sb::Device device = FlashDevice(
        "64M", {File("/var/log/sys.log", 10000000), File("/var/log/messages", 10000001)});
    // The upgrade log lives on the RAM disk: its size does not change the
    // flash figure, which a first run reads. A figure equal to the
    // requirement is enough, one byte short is not.
    ProbeRun measured = RunProbe(device, {"measure", "+0", "measure", "+1"});
    const std::string free = std::to_string(measured.result.flashFreeBytes);
    EXPECT_EQ(measured.out,
              (Lines{"measure 1 " + free + " 1 1 0", "measure 1 " + free + " 0 1 1"}));

    // Exactly 500,000 bytes when stage 1 reads it: the three opening entries
    // and the messages entry are appended before.
    const Lines before = {"Beginning file system cleanup", "FreeSpace: " + free,
                          "Required free space: 1",
                          "Clearing messages because too large. Size: 10000001"};
    std::size_t appended = 0;
    for (const std::string& message : before) {
        appended += EntryLength(message);
    }
    std::string seed = SeedLog(2500, 200);
    seed.resize(500000 - appended);
    seed.back() = '\n';
    device.entries.push_back(Node(sb::Kind::File, kUpgradeLog, seed));
    ProbeRun run = RunProbe(device, {"perform", "1"});

    const std::string log = run.result.ReadFile(kUpgradeLog);
    ASSERT_EQ(log.compare(0, seed.size(), seed), 0) << "upgrade log was shortened";
    const Lines raw = sb::SplitLines(log.substr(seed.size()));
    ASSERT_EQ(raw.size(), 8u);
    std::size_t atStage1 = seed.size();
    for (std::size_t i = 0; i < before.size(); ++i) {
        atStage1 += raw[i].size() + 1;
    }
    ASSERT_EQ(atStage1, 500000u) << "premise: the log holds exactly the limit at stage 1";
    EXPECT_EQ(
        Lines(run.log.end() - 8, run.log.end()),
        Concat({before,
                {"Clearing unused static files", "Enough space created after clearing static files",
                 Free(run.result.flashFreeBytes), "Required: 1"}}));

    EXPECT_EQ(run.result.commands, Concat({{"cat /dev/null > /var/log/messages"},
                                           qx::testing::kStaticDirectoryCommands}));
    EXPECT_EQ(run.result.ReadFile("/var/log/sys.log").size(), 10000000u);
    EXPECT_TRUE(run.result.Exists("/var/log/messages"));
    EXPECT_EQ(run.result.ReadFile("/var/log/messages").size(), 0u);
}

TEST(CleanupSandbox, OversizedUpgradeLogKeepsItsLastLinesEndingWithItsOwnEntry) {
    const std::string seed = SeedLog(3000, 200);  // 600,000 bytes
    ProbeRun run = RunProbe(
        FlashDevice("64M", {File("/var/log/sys.log", 10000001), File("/var/log/messages", 10000000),
                            Node(sb::Kind::File, kUpgradeLog, seed)}),
        {"perform", "1"});

    // 1,995 old lines, the 3 opening entries and the sys.log entry stay,
    // then the clearing entry as the 2,000th line; the entries after it
    // follow the shortening.
    const Lines raw = sb::SplitLines(run.result.ReadFile(kUpgradeLog));
    ASSERT_EQ(raw.size(), 2004u);
    EXPECT_EQ(raw[0].substr(0, 15), "old entry 1006 ");
    EXPECT_EQ(raw[1994].substr(0, 15), "old entry 3000 ");
    std::size_t sizeAtStage1 = seed.size();
    for (std::size_t i = 1995; i < 1999; ++i) {
        sizeAtStage1 += raw[i].size() + 1;
    }
    const Lines entries(run.log.begin() + 1995, run.log.end());
    EXPECT_EQ(
        entries,
        (Lines{"Beginning file system cleanup", entries[1], "Required free space: 1",
               "Clearing sys.log because too large. Size: 10000001",
               "Clearing upgrade_log because too large. Size: " + std::to_string(sizeAtStage1),
               "Clearing unused static files", "Enough space created after clearing static files",
               Free(run.result.flashFreeBytes), "Required: 1"}));
    // The upgrade log is shortened in process, through a fresh file beside it.
    EXPECT_EQ(run.result.commands, Concat({{"cat /dev/null > /var/log/sys.log"},
                                           qx::testing::kStaticDirectoryCommands}));
    EXPECT_EQ(run.result.ReadFile("/var/log/sys.log").size(), 0u);
    EXPECT_EQ(run.result.ReadFile("/var/log/messages").size(), 10000000u);
    EXPECT_FALSE(run.result.Exists("/tmp/ramdisk/upgrade_log.tmp"));
}

// ---------------------------------------------------------------------------
// Kernel module trees and the version match.

sb::Device KernelDevice() {
    sb::Device device = FlashDevice("16M", {});
    for (const std::string& release : kKernelReleases) {
        device.entries.push_back(File("/lib/modules/" + release + "/kernel/net.ko", 8 * kKiB));
    }
    return device;
}

// Only the tree of kept stays (every tree when kept is empty), and stage 3
// ran exactly the commands for the others.
void ExpectOnlyTreeKept(const sb::Result& result, const std::string& kept) {
    for (const std::string& release : kKernelReleases) {
        EXPECT_EQ(result.Exists("/lib/modules/" + release + "/kernel/net.ko"),
                  kept.empty() || release == kept)
            << release;
    }
    Lines kernelCommands;
    for (const std::string& command : result.commands) {
        if (command.find("/lib/modules/") != std::string::npos) {
            kernelCommands.push_back(command);
        }
    }
    EXPECT_EQ(kernelCommands, kept.empty() ? Lines{} : KernelCommandsExcept(kept));
}

TEST(CleanupSandbox, RunningKernelKeepsOnlyItsTreeAndMatchesFirst128Bytes) {
    const struct {
        std::string release, matchText, otherText;
    } kernels[] = {{kCurrentRelease, kCurrentRelease, "2.6.35.3 ("},
                   {"2.6.35.3", "2.6.35.3 (", kCurrentRelease}};
    for (const auto& kernel : kernels) {
        SCOPED_TRACE(kernel.release);
        sb::Device device = KernelDevice();
        // A text beyond the first 128 bytes of the version line is not seen.
        std::string version = "Linux version " + kernel.release +
                              " (builder@buildhost) (gcc version 4.4.4 (GCC) ) #1 PREEMPT";
        version.resize(128, ' ');
        device.procVersion = version + "LATE-TEXT\n";
        ProbeRun run =
            RunProbe(device, {"kernel", kernel.matchText, "kernel", kernel.otherText, "kernel", "",
                              "kernel", "LATE-TEXT", "perform", "+64000000"});
        ASSERT_EQ(run.out.size(), 5u);
        EXPECT_EQ(Lines(run.out.begin(), run.out.begin() + 4),
                  (Lines{"kernel 1 1", "kernel 1 0", "kernel 1 1", "kernel 1 0"}));
        ExpectOnlyTreeKept(run.result, kernel.release);
    }
}

TEST(CleanupSandbox, UnreadableVersionKeepsEveryTree) {
    for (sb::ProcVersionMode mode : {sb::ProcVersionMode::Unopenable, sb::ProcVersionMode::Empty}) {
        const std::string message = mode == sb::ProcVersionMode::Empty
                                        ? "Unsuccessful read from /proc/version"
                                        : "Unable to open /proc/version";
        sb::Device device = KernelDevice();
        device.procVersionMode = mode;
        ProbeRun run = RunProbe(device, {"kernel", "2.6", "perform", "+64000000"});
        ASSERT_FALSE(run.out.empty());
        EXPECT_EQ(run.out[0], "kernel 0 1") << message;
        ExpectOnlyTreeKept(run.result, "");
        // One entry for the probe's own query, one per tree in stage 3,
        // between the stage's announcement and its figure.
        ASSERT_GE(run.log.size(), 18u);
        EXPECT_EQ(run.log[0], message);
        EXPECT_EQ(run.log[6], "Clearing unused kernel modules");
        for (std::size_t i = 7; i < 17; ++i) {
            EXPECT_EQ(run.log[i], message) << i;
        }
        EXPECT_EQ(run.log[17].substr(0, 11), "FreeSpace: ");
    }
}

// ---------------------------------------------------------------------------
// Rotated logs.

void ExpectPresence(const sb::Result& result, const Lines& kept, const Lines& gone) {
    for (const std::string& path : kept) {
        EXPECT_TRUE(result.Exists(path)) << path;
    }
    for (const std::string& path : gone) {
        EXPECT_FALSE(result.Exists(path)) << path;
    }
}

TEST(CleanupSandbox, RotatedLogSearchesFindTheEarliestRegularFile) {
    ProbeRun run = RunProbe(
        FlashDevice("8M",
                    {
                        File("/var/log/sys.log.3.gz", 4096, 3333),
                        File("/var/log/sys.log.7.gz", 4096, 7777),
                        Node(sb::Kind::Directory, "/var/log/sys.log.50.gz"),  // passed over
                        File("/var/log/messages.0.gz", 4096, 100),
                        File("/var/log/messages.51.gz", 4096, 5100),
                        // A dangling link is passed over; a good one is followed.
                        Node(sb::Kind::Symlink, "/var/log/messages.9.gz", "/data/missing.gz"),
                        File("/data/real.gz", 4096, 4444),
                        Node(sb::Kind::Symlink, "/var/log/messages.4.gz", "/data/real.gz"),
                        Node(sb::Kind::Directory, "/home/logs/log-00001.txt.gz"),
                        File("/home/logs/log-00003.txt.gz", 4096, 3),
                        File("/home/logs/log-00007.txt.gz", 4096, 7),
                        File("/home/logs/log-10000.txt.gz", 4096, 10000),
                    }),
        {"find",     "syslog", "unlink",   "syslog", "find",     "syslog", "find",
         "messages", "unlink", "messages", "find",   "messages", "unlink", "messages",
         "find",     "home",   "unlink",   "home",   "find",     "home",   "unlink",
         "home",     "find",   "home",     "unlink", "home"});
    EXPECT_EQ(run.out,
              (Lines{"find syslog 1 7777", "unlink syslog 1", "find syslog 1 3333",
                     "find messages 1 4444", "unlink messages 1", "find messages 0 -1",
                     "unlink messages 0", "find home 1 3", "unlink home 1", "find home 1 7",
                     "unlink home 1", "find home 0 -1", "unlink home 0"}));
    EXPECT_TRUE(run.log.empty());
    // The link went, not its target.
    ExpectPresence(run.result,
                   {"/var/log/sys.log.3.gz", "/var/log/sys.log.50.gz", "/data/real.gz",
                    "/var/log/messages.9.gz", "/var/log/messages.0.gz", "/var/log/messages.51.gz",
                    "/home/logs/log-00001.txt.gz", "/home/logs/log-10000.txt.gz"},
                   {"/var/log/sys.log.7.gz", "/var/log/messages.4.gz",
                    "/home/logs/log-00003.txt.gz", "/home/logs/log-00007.txt.gz"});
}

TEST(CleanupSandbox, OldLogsStagePrefersRealTimesAndSettlesTiesByFamilyOrder) {
    // sys.log.1.gz is the only file with a time: it goes first. Then the two
    // left lack a time (a tie): the home log goes, and 300 KiB are reached.
    // Directories with a family's name are passed over.
    ProbeRun run =
        RunProbe(FlashDevice("16M", {Node(sb::Kind::Directory, "/home/logs/log-00000.txt.gz"),
                                     Node(sb::Kind::Directory, "/var/log/sys.log.50.gz"),
                                     File("/home/logs/log-00001.txt.gz", k256K),
                                     File("/var/log/messages.1.gz", k256K),
                                     File("/var/log/sys.log.1.gz", k256K, 7000)}),
                 {"zero-time", "/home/logs/log-00001.txt.gz", "zero-time", "/var/log/messages.1.gz",
                  "perform", "+307200"});
    ASSERT_EQ(run.out.size(), 3u);
    EXPECT_EQ(run.out[2].substr(0, 12), "perform 1 1 ");
    ExpectPresence(
        run.result,
        {"/var/log/messages.1.gz", "/home/logs/log-00000.txt.gz", "/var/log/sys.log.50.gz"},
        {"/var/log/sys.log.1.gz", "/home/logs/log-00001.txt.gz"});
    ASSERT_GE(run.log.size(), 3u);
    EXPECT_EQ(run.log[run.log.size() - 3], "Enough space created after clearing old logs");
}

TEST(CleanupSandbox, UndeletableRotatedLogEndsTheOldLogsStage) {
    // sys.log.50.gz is a mount point (unlink fails with EBUSY). The oldest
    // file goes, the pinned one stops the stage, the youngest stays.
    sb::Device device = FlashDevice("16M", {File("/home/logs/log-00000.txt.gz", k256K, 1000),
                                            File("/var/log/sys.log.50.gz", k256K, 2000),
                                            File("/var/log/messages.1.gz", k256K, 3000)});
    device.timeoutSeconds = 20;  // an endless stage ends here, not at the default
    ProbeRun run = RunProbe(device, {"pin", "/var/log/sys.log.50.gz", "perform", "+64000000"});
    ASSERT_EQ(run.out.size(), 2u);
    EXPECT_EQ(run.out[1].substr(0, 12), "perform 1 0 ");
    ExpectPresence(run.result, {"/var/log/sys.log.50.gz", "/var/log/messages.1.gz"},
                   {"/home/logs/log-00000.txt.gz"});
    ASSERT_EQ(run.log.size(), 12u);
    EXPECT_EQ(run.log[7], "Clearing logs files");
    EXPECT_EQ(FigureOf(run.log[8]), FigureOf(run.log[6]) + k256K);
    EXPECT_EQ(run.log[9], "Clearing extra files");
}

// ---------------------------------------------------------------------------
// Extra files and superseded versions.

TEST(CleanupSandbox, SupersededVersionRules) {
    auto lib = [](const std::string& library, const Lines& suffixes) {
        Lines paths;
        for (const std::string& suffix : suffixes) {
            paths.push_back("/usr/lib/" + library + suffix);
        }
        return paths;
    };
    // Present and expected to stay after the run.
    const Lines stay = Concat({
        lib("libnetsnmp", {".so.40.0.0"}),
        lib("libnetsnmpagent", {".so.35.0.0", ".so.35"}),
        lib("libnetsnmphelpers", {".so.30.0.3", ".so.30"}),
        // Markers that are a directory (40) or a dangling link (30): nothing goes.
        lib("libnetsnmpmibs", {".so.35", ".so.30", ".so.15.1.3", ".so.15"}),
        {"/usr/bin/openssl", "/data/libcurl.so.4.6.0", "/lib/libcrypto.so.0.9.8",
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
    sb::Device device = FlashDevice("16M", {});
    for (const std::string& path : Concat({stay, gone})) {
        device.entries.push_back(File(path, 4096));
    }
    // A marker reached through a link counts; one whose link dangles does not.
    device.entries.push_back(
        Node(sb::Kind::Symlink, "/usr/lib/libcurl.so.4.6.0", "/data/libcurl.so.4.6.0"));
    device.entries.push_back(Node(sb::Kind::Directory, "/usr/lib/libnetsnmpmibs.so.40.0.0"));
    device.entries.push_back(
        Node(sb::Kind::Symlink, "/usr/lib/libnetsnmpmibs.so.30.0.3", "libnetsnmpmibs.so.31"));
    ProbeRun run = RunProbe(device, {"perform", "+64000000"});

    ExpectPresence(run.result,
                   Concat({stay,
                           {"/usr/lib/libcurl.so.4.6.0", "/usr/lib/libnetsnmpmibs.so.40.0.0",
                            "/usr/lib/libnetsnmpmibs.so.30.0.3"}}),
                   Concat({gone, {"/usr/share/glib-2.0"}}));
}

}  // namespace
