#include "CleanupVQ740.h"

#include <unistd.h>

#include <sstream>

#include "upgrader/cleanup/CleanupTables.h"
#include "upgrader/cleanup/CleanupUtils.h"
#include "upgrader/utils/FileIo.h"
#include "upgrader/utils/FileSystem.h"
#include "upgrader/utils/Shell.h"
#include "upgrader/utils/UpgradeLog.h"

namespace qx {
namespace upgrader {
namespace cleanup {

namespace {

using qx::upgrader::utils::LogToUpgradeLog;
using qx::upgrader::utils::RunCommand;

// A live log is trimmed only when its size is strictly greater than limit.
struct LiveLog {
    const char* path;
    unsigned int limit;
    const char* message;
    const char* command;  // empties the log; nullptr: it keeps its last lines
};

constexpr LiveLog kLiveLogs[] = {
    {"/var/log/sys.log", 10000000u,
     "Clearing sys.log because too large. Size: ", "cat /dev/null > /var/log/sys.log"},
    {"/var/log/messages", 10000000u,
     "Clearing messages because too large. Size: ", "cat /dev/null > /var/log/messages"},
    // The entry is written before the log is shortened, so it is the last
    // of the lines kept.
    {"/tmp/ramdisk/upgrade_log", 500000u,
     "Clearing upgrade_log because too large. Size: ", nullptr},
};

// The upgrade log keeps its last 2,000 lines. They go through a fresh file
// beside it, renamed over it: on the RAM disk, which everyone can write, a
// shell redirection would write through a link planted at that name.
constexpr const char* kUpgradeLogScratch = "/tmp/ramdisk/upgrade_log.tmp";
constexpr unsigned int kUpgradeLogKeptLines = 2000;

// One entry of text followed by a number, composed in the cleanup's stream.
void LogNumber(std::ostringstream& entry, const char* text, unsigned int number) {
    entry.str("");
    entry.clear();
    entry << text << number;
    LogToUpgradeLog(entry.str());
}

}  // namespace

CleanupVQ740::CleanupVQ740(unsigned int required) : CleanupBase(required) {}

CleanupVQ740::~CleanupVQ740() = default;

bool CleanupVQ740::Remeasure() {
    // A failed measurement leaves the previous figure in force.
    CalculateFreespace();
    return EnoughFreeSpace();
}

void CleanupVQ740::LogFreeSpace(std::ostringstream& entry) {
    LogNumber(entry, "FreeSpace: ", FreeSpace());
}

bool CleanupVQ740::ReportSuccess(std::ostringstream& entry, const char* message,
                                 bool& spaceCreated) {
    LogToUpgradeLog(message);
    LogFreeSpace(entry);
    LogNumber(entry, "Required: ", FreeSpaceRequired());
    spaceCreated = true;
    ::sync();
    return true;
}

bool CleanupVQ740::PerformCleanup(bool& spaceCreated) {
    std::ostringstream entry;

    LogToUpgradeLog("Beginning file system cleanup");
    CalculateFreespace();
    LogFreeSpace(entry);
    LogNumber(entry, "Required free space: ", FreeSpaceRequired());

    // Stages 1 and 2 run whatever the opening measurement showed.
    TrimLiveLogs(entry);

    LogToUpgradeLog("Clearing unused static files");
    RemoveUnusedStaticFiles();
    if (Remeasure()) {
        return ReportSuccess(entry, "Enough space created after clearing static files",
                             spaceCreated);
    }
    LogFreeSpace(entry);

    LogToUpgradeLog("Clearing unused kernel modules");
    RemoveStaleKernelModules();
    if (Remeasure()) {
        return ReportSuccess(entry, "Enough space created after clearing kernel modules",
                             spaceCreated);
    }
    LogFreeSpace(entry);

    LogToUpgradeLog("Clearing logs files");
    PruneRotatedLogs();
    if (Remeasure()) {
        return ReportSuccess(entry, "Enough space created after clearing old logs", spaceCreated);
    }
    LogFreeSpace(entry);

    LogToUpgradeLog("Clearing extra files");
    RemoveExtraFiles();
    if (Remeasure()) {
        return ReportSuccess(entry, "Enough space created after clearing extra files",
                             spaceCreated);
    }
    LogFreeSpace(entry);

    // The last stage has no entry of its own and reports with stage 5's text.
    EmptyLiveLogs();
    if (Remeasure()) {
        return ReportSuccess(entry, "Enough space created after clearing extra files",
                             spaceCreated);
    }
    LogFreeSpace(entry);
    return true;
}

void CleanupVQ740::TrimLiveLogs(std::ostringstream& entry) {
    for (const LiveLog& log : kLiveLogs) {
        // A missing log or one that is no regular file counts as size 0.
        unsigned int size = 0;
        qx::upgrader::utils::FileSize(log.path, size);
        if (size > log.limit) {
            LogNumber(entry, log.message, size);
            if (log.command != nullptr) {
                RunCommand(log.command);
            } else {
                qx::upgrader::utils::KeepLastLines(log.path, kUpgradeLogScratch,
                                                   kUpgradeLogKeptLines);
            }
        }
    }
}

void CleanupVQ740::RemoveUnusedStaticFiles() {
    for (const char* command : kUnusedStaticDirectoryCommands) {
        RunCommand(command);
    }
    for (const char* path : kUnusedStaticFiles) {
        ::unlink(path);
    }
}

void CleanupVQ740::RemoveStaleKernelModules() {
    // The running kernel's tree is kept; when /proc/version cannot be read
    // every tree is kept.
    for (const KernelModuleTree& tree : kStaleKernelModuleTrees) {
        bool matches = false;
        if (utils::MatchesKernelVersion(tree.matchText, matches) && !matches) {
            RunCommand(tree.command);
        }
    }
}

// One rotated log goes per pass: the oldest of the three families' earliest
// files (ties and times of 0 are settled by ChooseRotatedLogFamily). A pass
// whose file could not be removed ends the stage, since every further pass
// would find that same file again.
void CleanupVQ740::PruneRotatedLogs() {
    using utils::RotatedLogFamily;
    constexpr int kHome = static_cast<int>(RotatedLogFamily::HomeLog);
    constexpr int kMessages = static_cast<int>(RotatedLogFamily::Messages);
    constexpr int kSyslog = static_cast<int>(RotatedLogFamily::Syslog);
    for (;;) {
        long mtime[utils::kRotatedLogFamilyCount] = {0, 0, 0};
        bool found[utils::kRotatedLogFamilyCount];
        found[kHome] = utils::FindEarliestHomeLogTime(mtime[kHome]);
        found[kMessages] = utils::FindEarliestVarLogMessageTime(mtime[kMessages]);
        found[kSyslog] = utils::FindEarliestVarLogSyslogTime(mtime[kSyslog]);

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
    RunCommand(kExtraDirectoryCommand);
    for (const char* path : kExtraFiles) {
        ::unlink(path);
    }
    // Each marker is tested when its rule is reached, after the removals of
    // the earlier rules.
    for (const SupersededVersionRule& rule : kSupersededVersionRules) {
        if (qx::upgrader::utils::FileExists(rule.marker)) {
            for (std::size_t i = 0; i < rule.pathCount; ++i) {
                ::unlink(rule.paths[i]);
            }
        }
    }
}

void CleanupVQ740::EmptyLiveLogs() {
    // The redirection creates a missing log empty.
    RunCommand("cat /dev/null > /var/log/sys.log");
    RunCommand("cat /dev/null > /var/log/messages");
}

}  // namespace cleanup
}  // namespace upgrader
}  // namespace qx
