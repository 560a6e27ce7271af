#pragma once

// A device with 1 MiB per cleanup stage 2 to 6, and what a cleanup on it logs and runs.
#include <string>
#include <vector>

#include "support/DeviceLog.h"
#include "upgrader/Run.h"

namespace qx {
namespace testing {
namespace stageplan {

inline constexpr unsigned int kKiB = 1024;
inline constexpr unsigned int kMiB = 1024 * kKiB;
inline const std::string kRelease = "2.6.35.3-00227-geccd148";
inline const Lines kReleases = {"2.6.35.3",
                                "2.6.35.3-00108-g29117d2",
                                "2.6.35.3-00131-gbe8c2d2",
                                "2.6.35.3-00225-gcb58267",
                                kRelease,
                                "2.6.35.3-00232-gf7cf468",
                                "2.6.35.3-00247-g3567f66",
                                "2.6.35.3-00260-g37aed04",
                                "2.6.35.3-00263-gcc5a534",
                                "2.6.35.3-00265-gabc8368"};

inline std::string Free(unsigned int bytes) { return "FreeSpace: " + std::to_string(bytes); }

inline Lines KernelCommandsExcept(const std::string& kept) {
    Lines commands;
    for (const std::string& release : kReleases) {
        if (release != kept) {
            commands.push_back("rm -rf /lib/modules/" + release + "/");
        }
    }
    return commands;
}

struct Planned {
    std::string path;
    unsigned int size;
    int stage;  // the stage that removes (stage 6: empties) it; 0 = stays
    long mtime;
};

inline const std::vector<Planned> kStageFiles = {
    {"/etc/dsl-3.61.img", 512 * kKiB, 2, 0},
    {"/usr/share/info/libc.info", 256 * kKiB, 2, 0},
    {"/web/images/vq720_front.gif", 256 * kKiB, 2, 0},
    {"/lib/modules/2.6.35.3/kernel/a.ko", 512 * kKiB, 3, 0},
    {"/lib/modules/2.6.35.3-00108-g29117d2/kernel/b.ko", 512 * kKiB, 3, 0},
    {"/lib/modules/" + kRelease + "/kernel/c.ko", 64 * kKiB, 0, 0},
    // Rotated logs go in the order of their times.
    {"/home/logs/log-00003.txt.gz", 256 * kKiB, 4, 1000},
    {"/var/log/messages.2.gz", 256 * kKiB, 4, 2000},
    {"/var/log/sys.log.5.gz", 256 * kKiB, 4, 3000},
    {"/home/logs/log-00004.txt.gz", 256 * kKiB, 4, 4000},
    {"/usr/bin/minicom", 256 * kKiB, 5, 0},
    {"/usr/share/glib-2.0/schemas/gschemas.compiled", 256 * kKiB, 5, 0},
    {"/usr/lib/libnetsnmp.so.35.0.0", 256 * kKiB, 5, 0},
    {"/usr/lib/libnetsnmp.so.15", 256 * kKiB, 5, 0},
    {"/usr/lib/libnetsnmp.so.40.0.0", 64 * kKiB, 0, 0},
    {"/var/log/sys.log", 512 * kKiB, 6, 0},
    {"/var/log/messages", 512 * kKiB, 6, 0},
};

inline Lines CommandsThrough(int last) {
    const Lines stages[] = {
        qx::testing::kStaticDirectoryCommands,
        KernelCommandsExcept(kRelease),
        {},
        {"rm -rf /usr/share/glib-2.0"},
        {"cat /dev/null > /var/log/sys.log", "cat /dev/null > /var/log/messages"}};
    return Concat(std::vector<Lines>(stages, stages + last - 1));
}

// Free before the cleanup so that the given stage is the first to reach the
// driver's requirement: 3/8 MiB short before stage 2, 1 MiB more per stage.
inline unsigned int FreeBeforeCleanup(int stage) {
    return qx::upgrader::kRequiredFreeSpace - 384 * kKiB -
           static_cast<unsigned int>(stage - 2) * kMiB;
}

}  // namespace stageplan
}  // namespace testing
}  // namespace qx
