// The cleanup on a simulated device: real files on a flash of real size, run
// by the device-side cleanup_probe inside the sandbox. Assertions are made
// on the upgrade log (stamps stripped), the recorded shell commands, the
// files left and the flash's free space.
#include <gtest/gtest.h>

#include <ctime>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "sandbox/Sandbox.h"

namespace sb = qx::sandbox;

namespace {

constexpr unsigned long long kKiB = 1024;
constexpr unsigned long long kMiB = 1024 * kKiB;
constexpr unsigned int kDriverRequired = 0x1600000u;  // what the driver asks for
const std::string kUpgradeLog = "/tmp/ramdisk/upgrade_log";

const std::string kSuffixedKernel =
    "Linux version 2.6.35.3-00227-geccd148 (builder@buildhost) (gcc version 4.4.4 (GCC) ) #1 "
    "PREEMPT Tue Mar 3 10:00:00 UTC 2020\n";
const std::string kPlainKernel =
    "Linux version 2.6.35.3 (builder@buildhost) (gcc version 4.4.4 (GCC) ) #1 PREEMPT Tue Mar 3 "
    "10:00:00 UTC 2020\n";

const std::vector<std::string> kStaticDirectoryCommands = {"rm -rf /usr/share/gtk-doc",
                                                           "rm -rf /usr/share/info",
                                                           "rm -rf /usr/local/share/doc/openswan",
                                                           "rm -rf /etc/ipsec.d/examples",
                                                           "rm -rf /share/man",
                                                           "rm -rf /usr/local/man",
                                                           "rm -rf /share/doc/"};

const std::vector<std::string> kKernelReleases = {"2.6.35.3",
                                                  "2.6.35.3-00108-g29117d2",
                                                  "2.6.35.3-00131-gbe8c2d2",
                                                  "2.6.35.3-00225-gcb58267",
                                                  "2.6.35.3-00227-geccd148",
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

sb::Entry Text(const std::string& path, const std::string& content) {
    sb::Entry entry;
    entry.path = path;
    entry.content = content;
    return entry;
}

sb::Entry Directory(const std::string& path) {
    sb::Entry entry;
    entry.path = path;
    entry.kind = sb::Kind::Directory;
    return entry;
}

sb::Entry Symlink(const std::string& path, const std::string& target) {
    sb::Entry entry;
    entry.path = path;
    entry.kind = sb::Kind::Symlink;
    entry.target = target;
    return entry;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(line);
    }
    return lines;
}

// Removes the entry stamp ("2026126 11:20:13 - ") where a line has one.
std::string StripStamp(const std::string& line) {
    static const std::regex stamp("^[0-9]{6,8} [0-9]{2}:[0-9]{2}:[0-9]{2} - ");
    return std::regex_replace(line, stamp, "", std::regex_constants::format_first_only);
}

struct ProbeRun {
    sb::Result result;
    std::vector<std::string> log;  // upgrade log lines, stamps stripped
    std::vector<std::string> out;  // probe output lines
};

ProbeRun RunProbe(const sb::Device& device, const std::vector<std::string>& args) {
    sb::Device probeDevice = device;
    probeDevice.programDevicePath = "/usr/sbin/cleanup_probe";
    ProbeRun run;
    run.result = sb::Run(probeDevice, QX_CLEANUP_PROBE, args);
    EXPECT_EQ(run.result.error, "");
    EXPECT_FALSE(run.result.timedOut);
    EXPECT_EQ(run.result.exitStatus, 0) << run.result.stderrText;
    for (const std::string& line : Lines(run.result.ReadFile(kUpgradeLog))) {
        run.log.push_back(StripStamp(line));
    }
    run.out = Lines(run.result.stdoutText);
    return run;
}

std::string FreeSpaceEntry(unsigned long long bytes) {
    return "FreeSpace: " + std::to_string(bytes);
}

// The figure of a "FreeSpace: N" entry.
unsigned long long FigureOf(const std::string& entry) {
    const std::string prefix = "FreeSpace: ";
    EXPECT_EQ(entry.compare(0, prefix.size(), prefix), 0) << entry;
    return std::stoull(entry.substr(prefix.size()));
}

std::vector<std::string> KernelCommandsExcept(const std::string& kept) {
    std::vector<std::string> commands;
    for (const std::string& release : kKernelReleases) {
        if (release != kept) {
            commands.push_back("rm -rf /lib/modules/" + release + "/");
        }
    }
    return commands;
}

std::vector<std::string> Concat(std::vector<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (const auto& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

// ---------------------------------------------------------------------------
// A flash holding files for every stage, 1 MiB per stage, sized so that the
// given stage is the first to reach the driver's requirement.

struct Planned {
    sb::Entry entry;
    int stage;  // the stage that removes (stage 6: empties) it; 0 = stays
};

constexpr unsigned long long k256K = 256 * kKiB;

std::vector<Planned> StageFiles() {
    return {
        {File("/etc/dsl-3.61.img", 512 * kKiB), 2},
        {File("/usr/share/info/libc.info", k256K), 2},
        {File("/web/images/vq720_front.gif", k256K), 2},
        {File("/lib/modules/2.6.35.3/kernel/a.ko", 512 * kKiB), 3},
        {File("/lib/modules/2.6.35.3-00108-g29117d2/kernel/b.ko", 512 * kKiB), 3},
        {File("/lib/modules/2.6.35.3-00227-geccd148/kernel/c.ko", 64 * kKiB), 0},
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

constexpr unsigned long long kStageFlash = 32 * kMiB;

sb::Device StageDevice(int stage) {
    // Free before the given stage: 3/8 MiB short of the requirement.
    const unsigned long long freeBefore = kDriverRequired - 384 * kKiB;
    const unsigned long long freeAtStart =
        freeBefore - static_cast<unsigned long long>(stage - 2) * kMiB;
    unsigned long long used = 0;
    sb::Device device;
    device.flashSize = "32M";
    device.procVersion = kSuffixedKernel;
    for (const Planned& planned : StageFiles()) {
        device.entries.push_back(planned.entry);
        used += planned.entry.size;
    }
    device.entries.push_back(File("/data/filler", kStageFlash - freeAtStart - used));
    return device;
}

class StageSuffices : public ::testing::TestWithParam<int> {};

TEST_P(StageSuffices, LogsFiguresFilesAndCommands) {
    const int stage = GetParam();
    ProbeRun run = RunProbe(StageDevice(stage), {"perform", std::to_string(kDriverRequired)});
    ASSERT_EQ(run.out.size(), 1u);
    EXPECT_EQ(run.out[0], "perform 1 1 " + std::to_string(run.result.flashFreeBytes));

    // Bytes each stage frees: 1 MiB, except that the old-logs stage stops
    // after the two oldest rotated logs when it is the one that suffices.
    auto freedBy = [stage](int s) { return s == 4 && stage == 4 ? 512 * kKiB : kMiB; };
    ASSERT_GE(run.log.size(), 3u);
    const unsigned long long start = FigureOf(run.log[1]);
    std::vector<std::string> expected = {"Beginning file system cleanup", FreeSpaceEntry(start),
                                         "Required free space: 23068672"};
    const char* announce[] = {"",
                              "",
                              "Clearing unused static files",
                              "Clearing unused kernel modules",
                              "Clearing logs files",
                              "Clearing extra files",
                              nullptr};
    const char* success[] = {"",
                             "",
                             "Enough space created after clearing static files",
                             "Enough space created after clearing kernel modules",
                             "Enough space created after clearing old logs",
                             "Enough space created after clearing extra files",
                             "Enough space created after clearing extra files"};
    unsigned long long figure = start;
    for (int s = 2; s <= stage; ++s) {
        if (announce[s] != nullptr) {
            expected.push_back(announce[s]);
        }
        figure += freedBy(s);
        if (s == stage) {
            expected.push_back(success[s]);
        } else {
            expected.push_back(FreeSpaceEntry(figure));
        }
    }
    expected.push_back(FreeSpaceEntry(figure));
    expected.push_back("Required: 23068672");
    EXPECT_EQ(run.log, expected);
    // The last figure is what the flash really has; short before, enough after.
    EXPECT_EQ(figure, run.result.flashFreeBytes);
    EXPECT_GE(figure, kDriverRequired);
    EXPECT_LT(figure - freedBy(stage), kDriverRequired);

    std::vector<std::string> commands = kStaticDirectoryCommands;
    if (stage >= 3) {
        commands = Concat({commands, KernelCommandsExcept("2.6.35.3-00227-geccd148")});
    }
    if (stage >= 5) {
        commands.push_back("rm -rf /usr/share/glib-2.0");
    }
    if (stage >= 6) {
        commands.push_back("cat /dev/null > /var/log/sys.log");
        commands.push_back("cat /dev/null > /var/log/messages");
    }
    EXPECT_EQ(run.result.commands, commands);

    for (const Planned& planned : StageFiles()) {
        const std::string& path = planned.entry.path;
        bool gone = planned.stage != 0 && planned.stage <= stage;
        if (stage == 4 && planned.stage == 4) {
            gone = planned.entry.mtime <= 2000;  // the two oldest only
        }
        if (planned.stage == 6) {
            EXPECT_TRUE(run.result.Exists(path)) << path;
            EXPECT_EQ(run.result.ReadFile(path).size(), gone ? 0u : planned.entry.size) << path;
        } else {
            EXPECT_EQ(run.result.Exists(path), !gone) << path;
        }
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
    std::vector<sb::Entry> entries;
    for (const sb::Entry& entry : device.entries) {
        if (entry.path != "/var/log/messages") {
            entries.push_back(entry);
        }
    }
    device.entries = entries;
    const std::string required = std::to_string(64 * kMiB);
    ProbeRun run = RunProbe(device, {"perform", required, "perform-created", required});
    const std::string free = std::to_string(run.result.flashFreeBytes);
    EXPECT_EQ(run.out, (std::vector<std::string>{"perform 1 0 " + free, "perform 1 1 " + free}));

    ASSERT_EQ(run.log.size(), 24u);
    const std::vector<std::string> shape = {"Beginning file system cleanup",
                                            "FreeSpace: ",
                                            "Required free space: 67108864",
                                            "Clearing unused static files",
                                            "FreeSpace: ",
                                            "Clearing unused kernel modules",
                                            "FreeSpace: ",
                                            "Clearing logs files",
                                            "FreeSpace: ",
                                            "Clearing extra files",
                                            "FreeSpace: ",
                                            "FreeSpace: "};
    for (std::size_t i = 0; i < run.log.size(); ++i) {
        const std::string& want = shape[i % shape.size()];
        EXPECT_EQ(run.log[i].compare(0, want.size(), want), 0) << i << ": " << run.log[i];
    }
    // Each stage's figure grows by what it removed; the second call finds
    // nothing left to remove.
    EXPECT_EQ(FigureOf(run.log[4]), FigureOf(run.log[1]) + kMiB);
    EXPECT_EQ(FigureOf(run.log[6]), FigureOf(run.log[4]) + kMiB);
    EXPECT_EQ(FigureOf(run.log[8]), FigureOf(run.log[6]) + kMiB);
    EXPECT_EQ(FigureOf(run.log[10]), FigureOf(run.log[8]) + kMiB);
    EXPECT_EQ(FigureOf(run.log[11]), FigureOf(run.log[10]) + 512 * kKiB);
    EXPECT_EQ(FigureOf(run.log[11]), run.result.flashFreeBytes);
    for (std::size_t i : {13u, 16u, 18u, 20u, 22u, 23u}) {
        EXPECT_EQ(FigureOf(run.log[i]), run.result.flashFreeBytes) << i;
    }

    const std::vector<std::string> oneCall =
        Concat({kStaticDirectoryCommands,
                KernelCommandsExcept("2.6.35.3-00227-geccd148"),
                {"rm -rf /usr/share/glib-2.0", "cat /dev/null > /var/log/sys.log",
                 "cat /dev/null > /var/log/messages"}});
    EXPECT_EQ(run.result.commands, Concat({oneCall, oneCall}));
    EXPECT_TRUE(run.result.Exists("/var/log/messages"));
    EXPECT_EQ(run.result.ReadFile("/var/log/messages"), "");
    EXPECT_EQ(run.result.ReadFile("/var/log/sys.log"), "");
}

TEST(CleanupSandbox, DriverRequirementAndSaturatedFigureOnALargeFlash) {
    // 5 GiB free reads as 0xFFFFFFFF: enough, and stage 2 ends the cleanup.
    sb::Device device;
    device.flashSize = "5G";
    device.procVersion = kSuffixedKernel;
    device.entries = {File("/etc/dsl-7.05.img", 4096), File("/usr/bin/rsync", 4096)};
    ProbeRun run = RunProbe(device, {"measure", std::to_string(kDriverRequired), "perform",
                                     std::to_string(kDriverRequired)});
    EXPECT_EQ(run.out,
              (std::vector<std::string>{"measure 1 4294967295 1 1 0", "perform 1 1 4294967295"}));
    EXPECT_EQ(run.log, (std::vector<std::string>{
                           "Beginning file system cleanup", "FreeSpace: 4294967295",
                           "Required free space: 23068672", "Clearing unused static files",
                           "Enough space created after clearing static files",
                           "FreeSpace: 4294967295", "Required: 23068672"}));
    EXPECT_FALSE(run.result.Exists("/etc/dsl-7.05.img"));
    EXPECT_TRUE(run.result.Exists("/usr/bin/rsync"));
    EXPECT_EQ(run.result.commands, kStaticDirectoryCommands);
}

TEST(CleanupSandbox, EqualFigureIsEnoughAndOneByteMoreIsNot) {
    sb::Device device;
    device.flashSize = "8M";
    device.entries = {File("/data/filler", 3 * kMiB)};
    ProbeRun run = RunProbe(device, {"measure", "+0", "measure", "+1"});
    const std::string free = std::to_string(run.result.flashFreeBytes);
    EXPECT_EQ(run.result.flashFreeBytes, 5 * kMiB);
    EXPECT_EQ(run.out, (std::vector<std::string>{"measure 1 " + free + " 1 1 0",
                                                 "measure 1 " + free + " 0 1 1"}));
    EXPECT_TRUE(run.log.empty());
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

TEST(CleanupSandbox, LiveLogsAtTheirLimitsStayAndOneByteMoreIsCleared) {
    sb::Device device;
    device.procVersion = kSuffixedKernel;
    device.entries = {File("/var/log/sys.log", 10000000), File("/var/log/messages", 10000001)};
    // The upgrade log lives on the RAM disk: its size does not change the
    // flash figure, which a first run reads.
    ProbeRun measured = RunProbe(device, {"measure", "1"});
    ASSERT_EQ(measured.out.size(), 1u);
    const std::string free = measured.out[0].substr(10, measured.out[0].find(' ', 10) - 10);

    // Exactly 500,000 bytes when stage 1 reads it: the three opening entries
    // and the messages entry are appended before.
    const std::vector<std::string> before = {"Beginning file system cleanup", "FreeSpace: " + free,
                                             "Required free space: 1",
                                             "Clearing messages because too large. Size: 10000001"};
    std::size_t appended = 0;
    for (const std::string& message : before) {
        appended += EntryLength(message);
    }
    std::string seed = SeedLog(2500, 200);
    seed.resize(500000 - appended);
    seed.back() = '\n';
    device.entries.push_back(Text(kUpgradeLog, seed));
    ProbeRun run = RunProbe(device, {"perform", "1"});

    const std::string log = run.result.ReadFile(kUpgradeLog);
    ASSERT_EQ(log.compare(0, seed.size(), seed), 0) << "upgrade log was shortened";
    const std::vector<std::string> raw = Lines(log.substr(seed.size()));
    ASSERT_EQ(raw.size(), 8u);
    std::size_t atStage1 = seed.size();
    for (std::size_t i = 0; i < before.size(); ++i) {
        atStage1 += raw[i].size() + 1;
    }
    ASSERT_EQ(atStage1, 500000u) << "premise: the log holds exactly the limit at stage 1";
    const std::vector<std::string> entries(run.log.end() - 8, run.log.end());
    EXPECT_EQ(entries, Concat({before,
                               {"Clearing unused static files",
                                "Enough space created after clearing static files",
                                FreeSpaceEntry(run.result.flashFreeBytes), "Required: 1"}}));

    EXPECT_EQ(run.result.commands,
              Concat({{"cat /dev/null > /var/log/messages"}, kStaticDirectoryCommands}));
    EXPECT_EQ(run.result.ReadFile("/var/log/sys.log").size(), 10000000u);
    EXPECT_TRUE(run.result.Exists("/var/log/messages"));
    EXPECT_EQ(run.result.ReadFile("/var/log/messages").size(), 0u);
}

TEST(CleanupSandbox, OversizedUpgradeLogKeepsItsLastLinesEndingWithItsOwnEntry) {
    sb::Device device;
    device.procVersion = kSuffixedKernel;
    const std::string seed = SeedLog(3000, 200);  // 600,000 bytes
    device.entries = {File("/var/log/sys.log", 10000001), File("/var/log/messages", 10000000),
                      Text(kUpgradeLog, seed)};
    ProbeRun run = RunProbe(device, {"perform", "1"});

    // 1,995 old lines, the 3 opening entries and the sys.log entry stay,
    // then the clearing entry as the 2,000th line; the entries after it
    // follow the shortening.
    const std::vector<std::string> raw = Lines(run.result.ReadFile(kUpgradeLog));
    ASSERT_EQ(raw.size(), 2004u);
    EXPECT_EQ(raw[0].substr(0, 15), "old entry 1006 ");
    EXPECT_EQ(raw[1994].substr(0, 15), "old entry 3000 ");
    std::size_t sizeAtStage1 = seed.size();
    for (std::size_t i = 1995; i < 1999; ++i) {
        sizeAtStage1 += raw[i].size() + 1;
    }
    const std::vector<std::string> entries(run.log.begin() + 1995, run.log.end());
    EXPECT_EQ(
        entries,
        (std::vector<std::string>{
            "Beginning file system cleanup", entries[1], "Required free space: 1",
            "Clearing sys.log because too large. Size: 10000001",
            "Clearing upgrade_log because too large. Size: " + std::to_string(sizeAtStage1),
            "Clearing unused static files", "Enough space created after clearing static files",
            FreeSpaceEntry(run.result.flashFreeBytes), "Required: 1"}));
    EXPECT_EQ(run.result.commands,
              Concat({{"cat /dev/null > /var/log/sys.log",
                       "tail -n 2000 /tmp/ramdisk/upgrade_log > /tmp/ramdisk/upgrade_log.tmp",
                       "mv /tmp/ramdisk/upgrade_log.tmp /tmp/ramdisk/upgrade_log"},
                      kStaticDirectoryCommands}));
    EXPECT_EQ(run.result.ReadFile("/var/log/sys.log").size(), 0u);
    EXPECT_EQ(run.result.ReadFile("/var/log/messages").size(), 10000000u);
    EXPECT_FALSE(run.result.Exists("/tmp/ramdisk/upgrade_log.tmp"));
}

// ---------------------------------------------------------------------------
// Kernel module trees and the version match.

sb::Device KernelDevice() {
    sb::Device device;
    device.flashSize = "16M";
    for (const std::string& release : kKernelReleases) {
        device.entries.push_back(File("/lib/modules/" + release + "/kernel/net.ko", 8 * kKiB));
    }
    return device;
}

std::vector<std::string> KernelStageCommands(const std::vector<std::string>& commands) {
    std::vector<std::string> kernel;
    for (const std::string& command : commands) {
        if (command.find("/lib/modules/") != std::string::npos) {
            kernel.push_back(command);
        }
    }
    return kernel;
}

void ExpectTreesKept(const sb::Result& result, const std::vector<std::string>& kept) {
    for (const std::string& release : kKernelReleases) {
        bool keep = false;
        for (const std::string& k : kept) {
            keep = keep || k == release;
        }
        EXPECT_EQ(result.Exists("/lib/modules/" + release + "/kernel/net.ko"), keep) << release;
    }
}

TEST(CleanupSandbox, SuffixedKernelKeepsOnlyItsTreeAndMatchesFirst128Bytes) {
    sb::Device device = KernelDevice();
    // A text beyond the first 128 bytes of the version line is not seen.
    std::string version = kSuffixedKernel.substr(0, kSuffixedKernel.size() - 1);
    version.resize(128, ' ');
    version += "LATE-TEXT\n";
    device.procVersion = version;
    ProbeRun run = RunProbe(device, {"kernel", "2.6.35.3-00227-geccd148", "kernel", "2.6.35.3 (",
                                     "kernel", "", "kernel", "LATE-TEXT", "perform", "+64000000"});
    ASSERT_EQ(run.out.size(), 5u);
    EXPECT_EQ(run.out[0], "kernel 1 1");
    EXPECT_EQ(run.out[1], "kernel 1 0");
    EXPECT_EQ(run.out[2], "kernel 1 1");
    EXPECT_EQ(run.out[3], "kernel 1 0");
    ExpectTreesKept(run.result, {"2.6.35.3-00227-geccd148"});
    EXPECT_EQ(KernelStageCommands(run.result.commands),
              KernelCommandsExcept("2.6.35.3-00227-geccd148"));
}

TEST(CleanupSandbox, PlainKernelKeepsOnlyThePlainTree) {
    sb::Device device = KernelDevice();
    device.procVersion = kPlainKernel;
    ProbeRun run = RunProbe(device, {"perform", "+64000000"});
    ExpectTreesKept(run.result, {"2.6.35.3"});
    EXPECT_EQ(KernelStageCommands(run.result.commands), KernelCommandsExcept("2.6.35.3"));
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
        ExpectTreesKept(run.result, kKernelReleases);
        EXPECT_TRUE(KernelStageCommands(run.result.commands).empty());
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

TEST(CleanupSandbox, RotatedLogSearchesFindTheEarliestRegularFile) {
    sb::Device device;
    device.flashSize = "8M";
    device.entries = {
        File("/var/log/sys.log.3.gz", 4096, 3333),
        File("/var/log/sys.log.7.gz", 4096, 7777),
        Directory("/var/log/sys.log.50.gz"),  // passed over
        File("/var/log/messages.0.gz", 4096, 100),
        File("/var/log/messages.51.gz", 4096, 5100),
        Symlink("/var/log/messages.9.gz", "/data/missing.gz"),  // dangling: passed over
        File("/data/real.gz", 4096, 4444),
        Symlink("/var/log/messages.4.gz", "/data/real.gz"),  // followed
        Directory("/home/logs/log-00001.txt.gz"),
        File("/home/logs/log-00003.txt.gz", 4096, 3),
        File("/home/logs/log-00007.txt.gz", 4096, 7),
        File("/home/logs/log-10000.txt.gz", 4096, 10000),
    };
    ProbeRun run = RunProbe(
        device, {"find",     "syslog", "unlink",   "syslog", "find",     "syslog", "find",
                 "messages", "unlink", "messages", "find",   "messages", "unlink", "messages",
                 "find",     "home",   "unlink",   "home",   "find",     "home",   "unlink",
                 "home",     "find",   "home",     "unlink", "home"});
    EXPECT_EQ(run.out, (std::vector<std::string>{
                           "find syslog 1 7777", "unlink syslog 1", "find syslog 1 3333",
                           "find messages 1 4444", "unlink messages 1", "find messages 0 -1",
                           "unlink messages 0", "find home 1 3", "unlink home 1", "find home 1 7",
                           "unlink home 1", "find home 0 -1", "unlink home 0"}));
    EXPECT_TRUE(run.log.empty());
    EXPECT_FALSE(run.result.Exists("/var/log/sys.log.7.gz"));
    EXPECT_TRUE(run.result.Exists("/var/log/sys.log.3.gz"));
    EXPECT_TRUE(run.result.Exists("/var/log/sys.log.50.gz"));
    EXPECT_FALSE(run.result.Exists("/var/log/messages.4.gz"));
    EXPECT_TRUE(run.result.Exists("/data/real.gz"));  // the link went, not its target
    EXPECT_TRUE(run.result.Exists("/var/log/messages.9.gz"));
    EXPECT_TRUE(run.result.Exists("/var/log/messages.0.gz"));
    EXPECT_TRUE(run.result.Exists("/var/log/messages.51.gz"));
    EXPECT_TRUE(run.result.Exists("/home/logs/log-00001.txt.gz"));
    EXPECT_FALSE(run.result.Exists("/home/logs/log-00003.txt.gz"));
    EXPECT_FALSE(run.result.Exists("/home/logs/log-00007.txt.gz"));
    EXPECT_TRUE(run.result.Exists("/home/logs/log-10000.txt.gz"));
}

sb::Device RotatedLogDevice(std::vector<sb::Entry> logs) {
    sb::Device device;
    device.flashSize = "16M";
    device.procVersion = kSuffixedKernel;
    device.entries = std::move(logs);
    return device;
}

TEST(CleanupSandbox, OldLogsStageSettlesTiesByFamilyOrderAndPassesOverDirectories) {
    // Three equal times: home, then messages; 400 KiB needs two files.
    ProbeRun run = RunProbe(RotatedLogDevice({Directory("/home/logs/log-00000.txt.gz"),
                                              Directory("/var/log/sys.log.50.gz"),
                                              File("/home/logs/log-00001.txt.gz", k256K, 5000),
                                              File("/var/log/messages.1.gz", k256K, 5000),
                                              File("/var/log/sys.log.1.gz", k256K, 5000)}),
                            {"perform", "+409600"});
    ASSERT_EQ(run.out.size(), 1u);
    EXPECT_EQ(run.out[0].substr(0, 10), "perform 1 ");
    EXPECT_FALSE(run.result.Exists("/home/logs/log-00001.txt.gz"));
    EXPECT_FALSE(run.result.Exists("/var/log/messages.1.gz"));
    EXPECT_TRUE(run.result.Exists("/var/log/sys.log.1.gz"));
    EXPECT_TRUE(run.result.Exists("/home/logs/log-00000.txt.gz"));
    EXPECT_TRUE(run.result.Exists("/var/log/sys.log.50.gz"));
    ASSERT_GE(run.log.size(), 3u);
    EXPECT_EQ(run.log[run.log.size() - 3], "Enough space created after clearing old logs");
}

TEST(CleanupSandbox, OldLogsStagePrefersRealTimesOverZeroAndStillRemovesZeroTimedFiles) {
    // sys.log.1.gz is the only file with a time: it goes first; then both
    // remaining files lack a time and the home log goes.
    ProbeRun run = RunProbe(RotatedLogDevice({File("/home/logs/log-00000.txt.gz", k256K),
                                              File("/var/log/messages.1.gz", k256K),
                                              File("/var/log/sys.log.1.gz", k256K, 7000)}),
                            {"zero-time", "/home/logs/log-00000.txt.gz", "zero-time",
                             "/var/log/messages.1.gz", "perform", "+307200"});
    ASSERT_EQ(run.out.size(), 3u);
    EXPECT_EQ(run.out[2].substr(0, 12), "perform 1 1 ");
    EXPECT_FALSE(run.result.Exists("/var/log/sys.log.1.gz"));
    EXPECT_FALSE(run.result.Exists("/home/logs/log-00000.txt.gz"));
    EXPECT_TRUE(run.result.Exists("/var/log/messages.1.gz"));
}

TEST(CleanupSandbox, UndeletableRotatedLogEndsTheOldLogsStage) {
    // sys.log.50.gz is a mount point (unlink fails with EBUSY). The oldest
    // file goes, the pinned one stops the stage, the youngest stays.
    sb::Device device = RotatedLogDevice({File("/home/logs/log-00000.txt.gz", k256K, 1000),
                                          File("/var/log/sys.log.50.gz", k256K, 2000),
                                          File("/var/log/messages.1.gz", k256K, 3000)});
    device.timeoutSeconds = 20;  // an endless stage ends here, not at the default
    ProbeRun run = RunProbe(device, {"pin", "/var/log/sys.log.50.gz", "perform", "+64000000"});
    ASSERT_EQ(run.out.size(), 2u);
    EXPECT_EQ(run.out[1].substr(0, 12), "perform 1 0 ");
    EXPECT_FALSE(run.result.Exists("/home/logs/log-00000.txt.gz"));
    EXPECT_TRUE(run.result.Exists("/var/log/sys.log.50.gz"));
    EXPECT_TRUE(run.result.Exists("/var/log/messages.1.gz"));
    ASSERT_EQ(run.log.size(), 12u);
    EXPECT_EQ(run.log[7], "Clearing logs files");
    EXPECT_EQ(FigureOf(run.log[8]), FigureOf(run.log[6]) + k256K);
    EXPECT_EQ(run.log[9], "Clearing extra files");
}

// ---------------------------------------------------------------------------
// Extra files and superseded versions.

TEST(CleanupSandbox, SupersededVersionRules) {
    const std::string lib = "/usr/lib/";
    auto netsnmp = [&lib](const std::string& library, std::vector<std::string> suffixes) {
        std::vector<std::string> paths;
        for (const std::string& suffix : suffixes) {
            paths.push_back(lib + library + suffix);
        }
        return paths;
    };
    // Present and expected to stay after the run.
    std::vector<std::string> stay = Concat({
        netsnmp("libnetsnmp", {".so.40.0.0"}),
        netsnmp("libnetsnmpagent", {".so.35.0.0", ".so.35"}),
        netsnmp("libnetsnmphelpers", {".so.30.0.3", ".so.30"}),
        // Markers that are a directory (40) or a dangling link (30): nothing goes.
        netsnmp("libnetsnmpmibs", {".so.35", ".so.30", ".so.15.1.3", ".so.15"}),
        {"/usr/bin/openssl", "/usr/lib/libcurl.so.4.6.0", "/data/libcurl.so.4.6.0",
         "/lib/libcrypto.so.0.9.8", "/usr/lib/libqmi-glib.so.5.2.0"},
    });
    std::vector<std::string> gone = Concat({
        netsnmp("libnetsnmp",
                {".so.35.0.0", ".so.35", ".so.30.0.3", ".so.30", ".so.15.1.3", ".so.15"}),
        netsnmp("libnetsnmpagent", {".so.30.0.3", ".so.30", ".so.15.1.3", ".so.15"}),
        netsnmp("libnetsnmphelpers", {".so.15.1.3", ".so.15"}),
        {"/usr/sbin/openssl", "/lib/libcurl.so.4.0.0", "/usr/lib/libqmi-glib.so.1",
         "/usr/lib/libqmi-glib.so.1.3.0", "/usr/sbin/tcpdump.4.7.4", "/usr/bin/minicom",
         "/usr/bin/rsync", "/usr/share/glib-2.0/schemas/gschemas.compiled"},
    });
    sb::Device device;
    device.flashSize = "16M";
    device.procVersion = kSuffixedKernel;
    for (const std::string& path : Concat({stay, gone})) {
        if (path != "/usr/lib/libcurl.so.4.6.0") {
            device.entries.push_back(File(path, 4096));
        }
    }
    // A marker reached through a link counts; one whose link dangles does not.
    device.entries.push_back(Symlink("/usr/lib/libcurl.so.4.6.0", "/data/libcurl.so.4.6.0"));
    device.entries.push_back(Directory("/usr/lib/libnetsnmpmibs.so.40.0.0"));
    device.entries.push_back(Symlink("/usr/lib/libnetsnmpmibs.so.30.0.3", "libnetsnmpmibs.so.31"));
    ProbeRun run = RunProbe(device, {"perform", "+64000000"});

    for (const std::string& path : stay) {
        EXPECT_TRUE(run.result.Exists(path)) << path;
    }
    for (const std::string& path : gone) {
        EXPECT_FALSE(run.result.Exists(path)) << path;
    }
    EXPECT_FALSE(run.result.Exists("/usr/share/glib-2.0"));
    EXPECT_TRUE(run.result.Exists("/usr/lib/libnetsnmpmibs.so.40.0.0"));
    EXPECT_TRUE(run.result.Exists("/usr/lib/libnetsnmpmibs.so.30.0.3"));
}

}  // namespace
