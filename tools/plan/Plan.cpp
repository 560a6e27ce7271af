// The cleanup plan: the device's own cleanup (CleanupVQ740 with its stage
// table and file tables) runs against the in-memory device, loaded from the
// real file system. Each stage's actions and what they freed are read from
// the device's record as the cleanup reports the stage (its observer).
// Nothing on the real file system is removed, renamed, written or run.
#include "tools/plan/Plan.h"

#include <sys/stat.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "tools/common/Files.h"
#include "tools/common/JsonText.h"
#include "tools/common/Numbers.h"
#include "tools/plan/PlanDevice.h"
#include "upgrader/Run.h"
#include "upgrader/cleanup/CleanupTables.h"
#include "upgrader/cleanup/CleanupVQ740.h"
#include "upgrader/memdevice/MemoryDevice.h"
#include "upgrader/utils/FileSystem.h"
#include "upgrader/utils/StderrLogSink.h"
#include "upgrader/utils/SystemCalls.h"
#include "upgrader/utils/UpgradeLog.h"

namespace qx {
namespace plan {

namespace {

namespace memdevice = qx::upgrader::memdevice;
using memdevice::Effect;
using memdevice::EffectKind;

struct Item {
    std::string action;  // "remove", "remove-tree", "empty" or "replace"
    std::string path;
    std::string by;  // replace: the file that takes its place
    unsigned long long bytes = 0;
    unsigned int files = 0;  // remove-tree: files below it
};

struct Stage {
    int number = 0;
    std::vector<std::string> log;    // the entries it writes, measurements aside
    std::vector<std::size_t> logAt;  // items[0, logAt[i]) come before log[i]
    std::vector<Item> items;
    unsigned long long bytesFreed = 0;
    unsigned long long freeAfter = 0;
    bool measured = false;  // freeAfter is the cleanup's own measurement
};

struct Options {
    bool json = false;
    unsigned int required = qx::upgrader::kRequiredFreeSpace;
    std::string root;  // empty: the running system's "/"
    bool freeGiven = false;
    unsigned int free = 0;
    std::string procVersionFile;
};

struct Plan {
    LoadedDevice device;
    unsigned int required = 0;
    unsigned int freeNow = 0;
    unsigned int freeAtStart = 0;
    std::vector<Stage> stages;
    bool enough = false;
};

bool StartsWith(std::string const& text, std::string const& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

bool Within(std::string const& path, std::string const& directory) {
    return StartsWith(path, directory) &&
           (path.size() == directory.size() || path[directory.size()] == '/');
}

// Turns one stage's recorded effects into its items and log entries.
class StageReader {
  public:
    StageReader(std::set<std::string> const& trees, Stage& stage) : trees_(trees), stage_(stage) {}

    void Read(Effect const& effect) {
        switch (effect.kind) {
            case EffectKind::Note:
                stage_.log.push_back(effect.path);
                stage_.logAt.push_back(stage_.items.size());
                break;
            case EffectKind::Command:
                ReadAction(effect.action);
                break;
            case EffectKind::Removed:
                if (tree_ >= 0 && Within(effect.path, treePath_)) {
                    Item& tree = stage_.items[static_cast<std::size_t>(tree_)];
                    tree.bytes += effect.bytes;
                    tree.files += 1;
                    stage_.bytesFreed += effect.bytes;
                } else {
                    tree_ = -1;
                    Add({"remove", effect.path, "", effect.bytes, 0});
                }
                break;
            case EffectKind::Emptied:
                Add({"empty", effect.path, "", effect.bytes, 0});
                break;
            case EffectKind::Moved:
                // A move onto an existing name replaces it (the upgrade log's
                // shortened copy): its removal just recorded is that.
                for (std::size_t i = newItems_; i < stage_.items.size(); ++i) {
                    if (stage_.items[i].path == effect.target) {
                        stage_.items[i].action = "replace";
                        stage_.items[i].by = effect.path;
                    }
                }
                break;
            case EffectKind::Secured:  // staging only, never during the cleanup
                break;
        }
    }

  private:
    void ReadAction(qx::upgrader::utils::Action const& action) {
        tree_ = -1;
        newItems_ = stage_.items.size();
        if (action.kind == qx::upgrader::utils::ActionKind::RemoveTree) {
            treePath_ = WithoutTrailingSlash(action.path);
            if (trees_.count(treePath_) != 0) {
                tree_ = static_cast<long>(Add({"remove-tree", treePath_, "", 0, 0}));
            }
        }
    }

    std::size_t Add(Item const& item) {
        stage_.items.push_back(item);
        stage_.bytesFreed += item.bytes;
        return stage_.items.size() - 1;
    }

    std::set<std::string> const& trees_;
    Stage& stage_;
    std::string treePath_;      // the latest tree removed
    long tree_ = -1;            // its item, while its removals are being read
    std::size_t newItems_ = 0;  // the items since the latest action
};

// Collects the stages as the cleanup reports them: a stage's own effects
// are those between its beginning and its measurement; the entries that
// report the measurement's figures belong to no stage.
class StageCollector : public qx::upgrader::cleanup::CleanupVQ740::StageObserver {
  public:
    explicit StageCollector(std::set<std::string> const& trees) : trees_(trees) {}

    void StageBegins(int) override { memdevice::TakeEffects(); }
    void StageMeasured(int number, bool measured, unsigned int freeAfter, bool enough) override {
        Stage stage;
        stage.number = number;
        stage.measured = measured;
        stage.freeAfter = freeAfter;
        StageReader reader(trees_, stage);
        for (Effect const& effect : memdevice::TakeEffects()) {
            reader.Read(effect);
        }
        stages.push_back(stage);
        enough_ = enough;
    }

    bool Enough() const { return enough_; }

    std::vector<Stage> stages;

  private:
    std::set<std::string> const& trees_;
    bool enough_ = false;
};

Plan MakePlan(Options const& options) {
    Plan plan;
    plan.required = options.required;
    LoadDevice(options.root.empty() ? "/" : options.root, options.procVersionFile, plan.device);
    const unsigned long long start =
        static_cast<unsigned long long>(options.free) + plan.device.upgradeLogBytes;
    plan.freeNow = options.free;
    plan.freeAtStart = qx::upgrader::utils::SaturatedSize(start);
    // Entries are stamped with this system's time, as the router's would be.
    memdevice::Load(plan.device.entries, plan.freeAtStart, static_cast<long>(std::time(nullptr)));

    // The run's own entries before the cleanup's count against the log's limit.
    qx::upgrader::utils::LogToUpgradeLog(qx::upgrader::kBannerEntry);
    qx::upgrader::utils::LogToUpgradeLog(qx::upgrader::kCleanupEntry);
    qx::upgrader::cleanup::CleanupVQ740 cleanup(options.required);
    StageCollector collector(plan.device.trees);
    cleanup.SetStageObserver(&collector);
    bool spaceCreated = false;
    cleanup.PerformCleanup(spaceCreated);
    plan.enough = collector.Enough();
    plan.stages = collector.stages;

    // Stage 1 is not measured by the cleanup: its figure is the start plus
    // what it frees.
    unsigned long long free = plan.freeAtStart;
    for (Stage& stage : plan.stages) {
        if (!stage.measured) {
            stage.freeAfter = free + stage.bytesFreed;
        }
        free = stage.freeAfter;
    }
    return plan;
}

std::string FileSystemNote(Plan const& plan) {
    return plan.device.fileSystem +
           " compresses what it stores, so a file's blocks only approximate what removing it "
           "frees";
}

// The release in a kernel version line ("Linux version RELEASE ..."); empty
// when the text is not one.
std::string KernelRelease(std::string const& line) {
    const std::string prefix = "Linux version ";
    if (!StartsWith(line, prefix)) {
        return "";
    }
    const std::size_t end = line.find_first_of(" \t\n", prefix.size());
    return line.substr(prefix.size(), end == std::string::npos ? end : end - prefix.size());
}

std::string KernelNote(Plan const& plan) {
    if (!plan.device.hasKernelVersion) {
        return "unknown (no readable /proc/version; --proc-version FILE gives one): every "
               "kernel module tree stays";
    }
    const std::string release = KernelRelease(plan.device.kernelVersion);
    return (release.empty() ? "a version line that names no release" : "release " + release) +
           ", from " + plan.device.kernelVersionFrom;
}

// When the running kernel's release names no module tree under the root:
// "no module tree matches RELEASE: every tree would be removed" (a
// mistyped release plans away the running kernel's modules); else empty.
std::string KernelMismatch(Plan const& plan) {
    const std::string release =
        plan.device.hasKernelVersion ? KernelRelease(plan.device.kernelVersion) : "";
    const std::string root = plan.device.root == "/" ? "" : plan.device.root;
    struct stat info {};
    if (release.empty() ||
        (::stat((root + "/lib/modules/" + release).c_str(), &info) == 0 && S_ISDIR(info.st_mode))) {
        return "";
    }
    return "no module tree matches " + qx::tools::TextOf(release) + ": every tree would be removed";
}

struct KeptTree {
    std::string path, reason;
};

// The module trees of the cleanup's table that stand on the device and
// stay, each with the reason.
std::vector<KeptTree> KeptTrees(Plan const& plan) {
    std::set<std::string> removed;
    for (Stage const& stage : plan.stages) {
        for (Item const& item : stage.items) {
            removed.insert(item.path);
        }
    }
    const bool reached = plan.stages.size() >= 3;
    std::vector<KeptTree> kept;
    for (auto const& tree : qx::upgrader::cleanup::kStaleKernelModuleTrees) {
        const std::string path = WithoutTrailingSlash(tree.tree);
        if (plan.device.trees.count(path) == 0 || removed.count(path) != 0) {
            continue;
        }
        const std::string reason = !reached ? "the cleanup stops before stage 3"
                                   : !plan.device.hasKernelVersion
                                       ? "the running kernel is unknown"
                                       : "the running kernel's: its version line holds \"" +
                                             std::string(tree.matchText) + "\"";
        kept.push_back({path, reason});
    }
    return kept;
}

void PrintText(Plan const& plan) {
    std::printf("Cleanup plan for %s (%s)\n", qx::tools::TextOf(plan.device.root).c_str(),
                plan.device.fileSystem.c_str());
    if (plan.device.compresses) {
        std::printf("Figures are estimates: %s.\n", FileSystemNote(plan).c_str());
    }
    std::printf("Free space:  %u bytes when the cleanup starts", plan.freeAtStart);
    if (plan.device.upgradeLogBytes != 0) {
        std::printf(" (%u now, %u more once the upgrade log moves to the RAM disk)", plan.freeNow,
                    plan.device.upgradeLogBytes);
    }
    std::printf("\nRequired:    %u bytes\nKernel:      %s\n", plan.required,
                qx::tools::TextOf(KernelNote(plan)).c_str());
    const std::string mismatch = KernelMismatch(plan);
    if (!mismatch.empty()) {
        std::printf("Warning:     %s\n", mismatch.c_str());
    }
    for (KeptTree const& tree : KeptTrees(plan)) {
        std::printf("Keeps:       %s (%s)\n", qx::tools::TextOf(tree.path).c_str(),
                    qx::tools::TextOf(tree.reason).c_str());
    }
    for (Stage const& stage : plan.stages) {
        std::printf("\nStage %d\n", stage.number);
        std::size_t entry = 0;
        for (std::size_t i = 0; i <= stage.items.size(); ++i) {
            for (; entry < stage.log.size() && stage.logAt[entry] == i; ++entry) {
                std::printf("  log          \"%s\"\n", qx::tools::TextOf(stage.log[entry]).c_str());
            }
            if (i == stage.items.size()) {
                break;
            }
            Item const& item = stage.items[i];
            std::printf("  %-12s %12llu  %s", item.action.c_str(), item.bytes,
                        qx::tools::TextOf(item.path).c_str());
            if (item.action == "remove-tree") {
                std::printf(" (%u file%s)", item.files, item.files == 1 ? "" : "s");
            } else if (item.action == "replace") {
                std::printf(" (by %s)", qx::tools::TextOf(item.by).c_str());
            }
            std::printf("\n");
        }
        std::printf("  free after stage %d: %llu%s\n", stage.number, stage.freeAfter,
                    stage.measured ? "" : " (the cleanup does not measure here)");
    }
    Stage const& last = plan.stages.back();
    if (plan.enough) {
        std::printf("\nThe cleanup stops after stage %d with %llu bytes free (%u required).\n",
                    last.number, last.freeAfter, plan.required);
    } else {
        std::printf(
            "\nThe cleanup falls short: %llu bytes free after stage %d, %llu fewer than the %u "
            "required.\n",
            last.freeAfter, last.number, plan.required - last.freeAfter, plan.required);
    }
}

void PrintJson(Plan const& plan) {
    using Json = nlohmann::ordered_json;
    Json out;
    out["root"] = plan.device.root;
    out["fileSystem"] = plan.device.fileSystem;
    out["estimate"] = plan.device.compresses;
    if (plan.device.compresses) {
        out["estimateReason"] = FileSystemNote(plan);
    }
    out["required"] = plan.required;
    out["freeNow"] = plan.freeNow;
    out["upgradeLogBytes"] = plan.device.upgradeLogBytes;
    out["freeAtStart"] = plan.freeAtStart;
    out["kernelVersion"] = KernelNote(plan);
    out["kernelRelease"] =
        plan.device.hasKernelVersion ? Json(KernelRelease(plan.device.kernelVersion)) : Json();
    const std::string mismatch = KernelMismatch(plan);
    out["kernelWarning"] = mismatch.empty() ? Json() : Json(mismatch);
    out["keptModuleTrees"] = Json::array();
    for (KeptTree const& tree : KeptTrees(plan)) {
        out["keptModuleTrees"].push_back({{"path", tree.path}, {"reason", tree.reason}});
    }
    out["stages"] = Json::array();
    for (Stage const& stage : plan.stages) {
        Json items = Json::array();
        for (Item const& item : stage.items) {
            Json entry = {{"action", item.action}, {"path", item.path}, {"bytes", item.bytes}};
            if (item.action == "remove-tree") {
                entry["files"] = item.files;
            } else if (item.action == "replace") {
                entry["by"] = item.by;
            }
            items.push_back(entry);
        }
        out["stages"].push_back({{"stage", stage.number},
                                 {"log", stage.log},
                                 {"items", items},
                                 {"bytesFreed", stage.bytesFreed},
                                 {"freeAfter", stage.freeAfter},
                                 {"measured", stage.measured}});
    }
    Stage const& last = plan.stages.back();
    out["stopsAfterStage"] = plan.enough ? Json(last.number) : Json(nullptr);
    out["fallsShort"] = !plan.enough;
    out["freeAtEnd"] = last.freeAfter;
    out["shortBy"] = plan.enough ? 0 : plan.required - last.freeAfter;
    // Names are bytes: anything that is not UTF-8 is shown replaced.
    std::printf("%s\n", out.dump(2, ' ', false, Json::error_handler_t::replace).c_str());
}

int Error(std::string const& text) {
    std::fprintf(stderr, "upgrade-inspect: plan: %s\n", text.c_str());
    return 1;
}

// Decimal or 0x hexadecimal with an optional K, M or G (the tools' one
// number form); larger than the 32-bit figures saturates (free space, as the
// device's own measurement does) or is refused (the required amount).
bool ParseBytes(std::string const& text, unsigned long long& value) {
    return qx::tools::ParseNumber(text, value);
}

// A --proc-version file must be readable and begin with a kernel version
// line: with anything else the plan would take no tree for the running
// kernel's and plan to remove it.
bool CheckVersionFile(std::string const& path, std::string& error) {
    qx::upgrader::utils::Descriptor file(qx::tools::OpenInputFile(path, error));
    if (!file.Valid()) {
        return false;
    }
    std::string text(256, '\0');
    const long got = qx::upgrader::utils::ReadFully(file.Get(), &text[0], text.size());
    if (got < 0) {
        error = path + ": " + qx::upgrader::utils::ErrnoText(errno);
        return false;
    }
    text.resize(static_cast<std::size_t>(got));
    if (KernelRelease(text).empty()) {
        error = path + ": not a kernel version line (\"Linux version RELEASE ...\")";
        return false;
    }
    return true;
}

// Turns the texts of the command line into options. Returns -1 when they
// are good, otherwise the exit status (after a one-line error).
int CheckArguments(PlanArguments const& args, Options& options) {
    options.json = args.json;
    options.root = args.root;
    options.procVersionFile = args.procVersion;
    unsigned long long number = 0;
    if (!args.required.empty()) {
        if (!ParseBytes(args.required, number)) {
            return Error("--required needs a number of bytes, not '" + args.required + "'");
        }
        if (number > qx::upgrader::utils::kSaturatedSize) {
            return Error("--required must be at most 4294967295, not " + args.required);
        }
        options.required = static_cast<unsigned int>(number);
    }
    if (!args.free.empty()) {
        if (!ParseBytes(args.free, number)) {
            return Error("--free needs a number of bytes, not '" + args.free + "'");
        }
        options.freeGiven = true;
        options.free = qx::upgrader::utils::SaturatedSize(number);
    }
    if (options.root.empty() != !options.freeGiven) {
        return Error("--root and --free go together");
    }
    std::string error;
    if (!args.procVersion.empty() && !CheckVersionFile(args.procVersion, error)) {
        return Error(error);
    }
    return -1;
}

}  // namespace

int RunPlan(PlanArguments const& args) {
    Options options;
    const int status = CheckArguments(args, options);
    if (status >= 0) {
        return status;
    }
    if (!options.root.empty()) {
        while (options.root.size() > 1 && options.root.back() == '/') {
            options.root.pop_back();
        }
        if (!LooksLikeRootFileSystem(options.root)) {
            return Error(options.root +
                         " is not a root file system (it needs etc, lib and usr directories)");
        }
    } else {
        std::string error;
        if (!MeasureRootFreeSpace(options.free, error)) {
            return Error(error);
        }
    }
    // The cleanup's entries are what the plan reads; none goes to stderr.
    qx::upgrader::utils::EnableStderrLog(false);
    const Plan plan = MakePlan(options);
    if (plan.stages.empty()) {
        return Error("the cleanup reported no stage");
    }
    if (options.json) {
        PrintJson(plan);
    } else {
        PrintText(plan);
    }
    return 0;
}

}  // namespace plan
}  // namespace qx
