// The cleanup plan: the device's own cleanup (CleanupVQ740 with its stage
// table and file tables) runs against the in-memory device, loaded from the
// real file system. What it would remove is read back from the device's
// recorded effects, split into stages by the cleanup's own log entries.
// Nothing on the real file system is removed, renamed, written or run.
#include "tools/plan/Plan.h"

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "tools/plan/PlanDevice.h"
#include "upgrader/Run.h"
#include "upgrader/cleanup/CleanupVQ740.h"
#include "upgrader/memdevice/MemoryDevice.h"
#include "upgrader/utils/FileSystem.h"
#include "upgrader/utils/StderrLogSink.h"

namespace qx {
namespace plan {

namespace {

namespace memdevice = qx::upgrader::memdevice;
using memdevice::Effect;
using memdevice::EffectKind;

// The cleanup's measurement entries: the opening ends with the required
// amount; each stage from the second on ends with a free-space figure,
// which a success report follows with the required amount again.
const std::string kFreeEntry = "FreeSpace: ";
const std::string kOpeningRequiredEntry = "Required free space: ";
const std::string kReportRequiredEntry = "Required: ";

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

unsigned long long NumberAfter(std::string const& text, std::string const& prefix) {
    return std::strtoull(text.c_str() + prefix.size(), nullptr, 10);
}

// Splits the recorded effects into stages. The cleanup announces no stage
// 1 and stage 1's own entries each end with the size they report, so the
// first entry after the opening that does not end in a digit announces
// stage 2. From there on a free-space entry closes each stage; a success
// report's required-amount entry after it still belongs to that stage.
class StageReader {
  public:
    StageReader(std::set<std::string> const& trees, std::vector<Stage>& stages)
        : trees_(trees), stages_(stages) {}

    void Read(Effect const& effect) {
        if (effect.kind == EffectKind::Note) {
            ReadNote(effect.path);
            return;
        }
        if (!opened_) {
            return;
        }
        AdvanceIfClosed();
        Stage& stage = stages_.back();
        switch (effect.kind) {
            case EffectKind::Command:
                tree_ = -1;
                newItems_ = stage.items.size();
                if (StartsWith(effect.path, "rm -rf ")) {
                    treePath_ = effect.path.substr(7);
                    while (treePath_.size() > 1 && treePath_.back() == '/') {
                        treePath_.pop_back();
                    }
                    if (trees_.count(treePath_) != 0) {
                        tree_ = static_cast<long>(Add(stage, {"remove-tree", treePath_, "", 0, 0}));
                    }
                }
                break;
            case EffectKind::Removed:
                if (tree_ >= 0 && Within(effect.path, treePath_)) {
                    Item& tree = stage.items[static_cast<std::size_t>(tree_)];
                    tree.bytes += effect.bytes;
                    tree.files += 1;
                    stage.bytesFreed += effect.bytes;
                } else {
                    tree_ = -1;
                    Add(stage, {"remove", effect.path, "", effect.bytes, 0});
                }
                break;
            case EffectKind::Emptied:
                Add(stage, {"empty", effect.path, "", effect.bytes, 0});
                break;
            case EffectKind::Moved:
                // A move onto an existing name replaces it (the upgrade log's
                // shortened copy): its removal just recorded is that.
                for (std::size_t i = newItems_; i < stage.items.size(); ++i) {
                    if (stage.items[i].path == effect.target) {
                        stage.items[i].action = "replace";
                        stage.items[i].by = effect.path;
                    }
                }
                break;
            case EffectKind::Note:
            case EffectKind::Secured:  // staging only, never during the cleanup
                break;
        }
    }

  private:
    void ReadNote(std::string const& text) {
        if (!opened_) {
            if (StartsWith(text, kOpeningRequiredEntry)) {
                opened_ = true;
                NewStage();
            }
            return;
        }
        if (closed_ && StartsWith(text, kReportRequiredEntry)) {
            return;
        }
        AdvanceIfClosed();
        Stage& stage = stages_.back();
        if (StartsWith(text, kFreeEntry)) {
            stage.freeAfter = NumberAfter(text, kFreeEntry);
            stage.measured = true;
            closed_ = true;
            return;
        }
        if (stage.number == 1 && !text.empty() && (text.back() < '0' || text.back() > '9')) {
            NewStage();
        }
        stages_.back().log.push_back(text);
        stages_.back().logAt.push_back(stages_.back().items.size());
    }

    void AdvanceIfClosed() {
        if (closed_) {
            closed_ = false;
            NewStage();
        }
    }

    void NewStage() {
        Stage stage;
        stage.number = stages_.empty() ? 1 : stages_.back().number + 1;
        stages_.push_back(stage);
        tree_ = -1;
        newItems_ = 0;
    }

    static std::size_t Add(Stage& stage, Item const& item) {
        stage.items.push_back(item);
        stage.bytesFreed += item.bytes;
        return stage.items.size() - 1;
    }

    std::set<std::string> const& trees_;
    std::vector<Stage>& stages_;
    bool opened_ = false;
    bool closed_ = false;
    std::string treePath_;      // the directory of the latest "rm -rf" command
    long tree_ = -1;            // its item, while its removals are being read
    std::size_t newItems_ = 0;  // the items since the latest command
};

Plan MakePlan(Options const& options) {
    Plan plan;
    plan.required = options.required;
    LoadDevice(options.root.empty() ? "/" : options.root, options.procVersionFile, plan.device);
    const unsigned long long start =
        static_cast<unsigned long long>(options.free) + plan.device.upgradeLogBytes;
    plan.freeNow = options.free;
    plan.freeAtStart = qx::upgrader::utils::SaturatedSize(start);
    memdevice::SetFreeSpace(plan.freeAtStart);

    qx::upgrader::cleanup::CleanupVQ740 cleanup(options.required);
    bool spaceCreated = false;
    cleanup.PerformCleanup(spaceCreated);
    plan.enough = spaceCreated;

    StageReader reader(plan.device.trees, plan.stages);
    for (Effect const& effect : memdevice::Effects()) {
        reader.Read(effect);
    }
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

std::string KernelNote(Plan const& plan) {
    return plan.device.hasKernelVersion
               ? "from " + plan.device.kernelVersionFrom
               : "unknown (no readable /proc/version; --proc-version FILE gives one): every "
                 "kernel module tree stays";
}

void PrintText(Plan const& plan) {
    std::printf("Cleanup plan for %s (%s)\n", plan.device.root.c_str(),
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
                KernelNote(plan).c_str());
    for (Stage const& stage : plan.stages) {
        std::printf("\nStage %d\n", stage.number);
        std::size_t entry = 0;
        for (std::size_t i = 0; i <= stage.items.size(); ++i) {
            for (; entry < stage.log.size() && stage.logAt[entry] == i; ++entry) {
                std::printf("  log          \"%s\"\n", stage.log[entry].c_str());
            }
            if (i == stage.items.size()) {
                break;
            }
            Item const& item = stage.items[i];
            std::printf("  %-12s %12llu  %s", item.action.c_str(), item.bytes, item.path.c_str());
            if (item.action == "remove-tree") {
                std::printf(" (%u file%s)", item.files, item.files == 1 ? "" : "s");
            } else if (item.action == "replace") {
                std::printf(" (by %s)", item.by.c_str());
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

// Plain decimal; larger than the 32-bit figures saturates (free space, as
// the device's own measurement does) or is refused (the required amount).
bool ParseBytes(std::string const& text, unsigned long long& value) {
    if (text.empty() || text.size() > 19 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    value = std::strtoull(text.c_str(), nullptr, 10);
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
