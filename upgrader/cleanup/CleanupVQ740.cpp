#include "upgrader/cleanup/CleanupVQ740.h"

#include <sstream>

#include "upgrader/cleanup/CleanupTables.h"
#include "upgrader/cleanup/CleanupUtils.h"
#include "upgrader/utils/FileSystem.h"
#include "upgrader/utils/Shell.h"
#include "upgrader/utils/UpgradeLog.h"

namespace qx {
namespace upgrader {
namespace cleanup {

namespace {

using qx::upgrader::utils::FileExists;
using qx::upgrader::utils::FileSize;
using qx::upgrader::utils::KeepLastLines;
using qx::upgrader::utils::LogToUpgradeLog;
using qx::upgrader::utils::RemoveFile;

// A live log is trimmed only when its size is strictly greater than limit.
struct LiveLog {
    PathRemoval removal;
    unsigned int limit;
    const char* message;
};

constexpr LiveLog kLiveLogs[] = {
    {{Removal::Empty, "/var/log/sys.log"}, 10000000u, "Clearing sys.log because too large. Size: "},
    {{Removal::Empty, "/var/log/messages"},
     10000000u,
     "Clearing messages because too large. Size: "},
    // The entry is written before the log is shortened, so it is the last
    // of the lines kept.
    {{Removal::KeepLastLines, qx::upgrader::utils::kUpgradeLogPath},
     500000u,
     "Clearing upgrade_log because too large. Size: "},
};

// The last stage empties both system logs whatever their sizes.
constexpr PathRemoval kEmptiedLiveLogs[] = {
    {Removal::Empty, "/var/log/sys.log"},
    {Removal::Empty, "/var/log/messages"},
};

// The upgrade log keeps its last 2,000 lines. They go through a fresh file
// created beside it under a name of its own and renamed over it: on the RAM
// disk, which everyone can write, a shell redirection would write through a
// link planted at a fixed name, and anything planted there would block it.
constexpr unsigned int kUpgradeLogKeptLines = 2000;

// Carries out one row's removal on the device; outcomes are not examined.
void Remove(PathRemoval const& row) {
    switch (row.removal) {
        case Removal::Tree:
            qx::upgrader::utils::RemoveTree(row.path);
            break;
        case Removal::File:
            RemoveFile(row.path);
            break;
        case Removal::Empty:
            // A missing file is created empty.
            qx::upgrader::utils::EmptyFile(row.path);
            break;
        case Removal::KeepLastLines:
            KeepLastLines(row.path, kUpgradeLogKeptLines);
            break;
    }
}

// One entry of text followed by a number.
void LogNumber(const char* text, unsigned int number) {
    std::ostringstream entry;
    entry << text << number;
    LogToUpgradeLog(entry.str());
}

}  // namespace

// The stages in the order they run. Stages 1 and 2 run whatever the opening
// measurement showed; the last stage has no entry of its own and reports
// with stage 5's text.
const CleanupVQ740::Stage CleanupVQ740::kStages[6] = {
    {nullptr, &CleanupVQ740::TrimLiveLogs, nullptr},
    {"Clearing unused static files", &CleanupVQ740::RemoveUnusedStaticFiles,
     "Enough space created after clearing static files"},
    {"Clearing unused kernel modules", &CleanupVQ740::RemoveStaleKernelModules,
     "Enough space created after clearing kernel modules"},
    {"Clearing logs files", &CleanupVQ740::PruneRotatedLogs,
     "Enough space created after clearing old logs"},
    {"Clearing extra files", &CleanupVQ740::RemoveExtraFiles,
     "Enough space created after clearing extra files"},
    {nullptr, &CleanupVQ740::EmptyLiveLogs, "Enough space created after clearing extra files"},
};

CleanupVQ740::CleanupVQ740(unsigned int required) : CleanupBase(required) {}

CleanupVQ740::~CleanupVQ740() = default;

bool CleanupVQ740::Remeasure() {
    // A failed measurement leaves the previous figure in force.
    CalculateFreespace();
    return EnoughFreeSpace();
}

void CleanupVQ740::Measured(int number, bool measured, bool enough) const {
    if (observer != nullptr) {
        observer->StageMeasured(number, measured, measured ? FreeSpace() : 0, enough);
    }
}

void CleanupVQ740::ReportSuccess(const char* message, int number, bool& spaceCreated) {
    LogToUpgradeLog(message);
    Measured(number, true, true);
    LogNumber("FreeSpace: ", FreeSpace());
    LogNumber("Required: ", FreeSpaceRequired());
    spaceCreated = true;
    qx::upgrader::utils::SyncFileSystems();
}

bool CleanupVQ740::PerformCleanup(bool& spaceCreated) {
    LogToUpgradeLog("Beginning file system cleanup");
    CalculateFreespace();
    LogNumber("FreeSpace: ", FreeSpace());
    LogNumber("Required free space: ", FreeSpaceRequired());

    int number = 0;
    for (const Stage& stage : kStages) {
        ++number;
        if (observer != nullptr) {
            observer->StageBegins(number);
        }
        if (stage.announcement != nullptr) {
            LogToUpgradeLog(stage.announcement);
        }
        (this->*stage.action)();
        if (stage.success == nullptr) {
            Measured(number, false, false);
            continue;
        }
        if (Remeasure()) {
            ReportSuccess(stage.success, number, spaceCreated);
            return true;
        }
        Measured(number, true, false);
        LogNumber("FreeSpace: ", FreeSpace());
    }
    return true;
}

void CleanupVQ740::TrimLiveLogs() {
    for (const LiveLog& log : kLiveLogs) {
        // A missing log or one that is no regular file counts as size 0.
        unsigned int size = 0;
        FileSize(log.removal.path, size);
        if (size > log.limit) {
            LogNumber(log.message, size);
            Remove(log.removal);
        }
    }
}

void CleanupVQ740::RemoveUnusedStaticFiles() {
    for (const char* tree : kUnusedStaticDirectories) {
        Remove({Removal::Tree, tree});
    }
    for (const char* path : kUnusedStaticFiles) {
        RemoveFile(path);
    }
}

void CleanupVQ740::RemoveStaleKernelModules() {
    // The running kernel's tree is kept; when /proc/version cannot be read
    // every tree is kept.
    for (const KernelModuleTree& tree : kStaleKernelModuleTrees) {
        bool matches = false;
        if (utils::MatchesKernelVersion(tree.matchText, matches) && !matches) {
            Remove({Removal::Tree, tree.tree});
        }
    }
}

// One rotated log goes per pass: the oldest of the three families' earliest
// files (ties and times of 0 are settled by ChooseRotatedLogFamily). A pass
// whose file could not be removed ends the stage, since every further pass
// would find that same file again.
void CleanupVQ740::PruneRotatedLogs() {
    using utils::RotatedLogFamily;
    for (;;) {
        long mtime[utils::kRotatedLogFamilyCount] = {0, 0, 0};
        bool found[utils::kRotatedLogFamilyCount];
        for (int family = 0; family < utils::kRotatedLogFamilyCount; ++family) {
            found[family] = utils::FindEarliestRotatedLogTime(static_cast<RotatedLogFamily>(family),
                                                              mtime[family]);
        }
        RotatedLogFamily chosen = RotatedLogFamily::HomeLog;
        if (!utils::ChooseRotatedLogFamily(found, mtime, chosen)) {
            return;
        }
        bool removed = false;
        utils::UnlinkEarliestRotatedLog(chosen, removed);
        if (!removed || Remeasure()) {
            return;
        }
    }
}

void CleanupVQ740::RemoveExtraFiles() {
    for (const PathRemoval& row : kExtraFiles) {
        Remove(row);
    }
    // Each marker is tested when its rule is reached, after the removals of
    // the earlier rules.
    for (const SupersededVersionRule& rule : kSupersededVersionRules) {
        if (FileExists(rule.marker)) {
            for (std::size_t i = 0; i < rule.pathCount; ++i) {
                RemoveFile(rule.paths[i]);
            }
        }
    }
}

void CleanupVQ740::EmptyLiveLogs() {
    for (const PathRemoval& row : kEmptiedLiveLogs) {
        Remove(row);
    }
}

}  // namespace cleanup
}  // namespace upgrader
}  // namespace qx
