// upgrade-inspect plan against the real upgrader on identical simulated routers:
// the same files, figures and verdict; the plan leaves the device untouched.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>

#include "support/DeviceLog.h"
#include "tests/cleanup/StagePlan.h"
#include "tests/upgrader/DeviceScenario.h"

namespace sb = qx::sandbox;
using namespace qx::testing::stageplan;
using Json = nlohmann::json;

namespace {

constexpr unsigned int kFlash = 32 * kMiB;
constexpr int kFallsShort = 7;  // a "stage" past the last: no stage suffices
const std::string kFiller = "/data/filler";

// What a file of size bytes holds on the sandbox's tmpfs flash: whole pages.
unsigned long long Blocks(unsigned long long size) { return (size + 4095) / 4096 * 4096; }

// The cleanup tests' router, filled so that stage is the first to free enough;
// with logBytes, the upgrade log of earlier runs holds that many bytes.
DeviceScenario Router(int stage, std::size_t logBytes = 0) {
    DeviceScenario scenario;
    for (sb::Entry& entry : scenario.device.entries) {
        while (entry.path == "/var/log/upgrade_log" && entry.content.size() < logBytes) {
            entry.content += "2026111 10:00:00 - line of an earlier run\n";
        }
        entry.content.resize(entry.path == "/var/log/upgrade_log" && logBytes != 0
                                 ? logBytes
                                 : entry.content.size());
    }
    scenario.device.flashSize = std::to_string(kFlash / kKiB) + "k";
    scenario.device.procVersion = "Linux version " + kRelease + " (builder@buildhost) #1\n";
    unsigned long long used = 0;
    for (const sb::Entry& entry : scenario.device.entries) {
        used += Blocks(entry.hostSource.empty() ? entry.content.size()
                                                : std::filesystem::file_size(entry.hostSource));
    }
    for (const Planned& file : kStageFiles) {
        sb::Entry entry;
        entry.path = file.path;
        entry.size = file.size;
        entry.mtime = file.mtime;
        scenario.device.entries.push_back(entry);
        used += Blocks(file.size);
    }
    sb::Entry filler;
    filler.path = kFiller;
    filler.size = kFlash - FreeBeforeCleanup(stage) - used;
    scenario.device.entries.push_back(filler);
    return scenario;
}

sb::Result Plan(sb::Device device, const std::vector<std::string>& args = {"plan", "--json"}) {
    device.programDevicePath = "/usr/bin/upgrade-inspect";
    return sb::Run(device, QX_INSPECT_PATH, args);
}

// The lines of log that start with prefix.
qx::testing::Lines Starting(const qx::testing::Lines& log, const std::string& prefix) {
    qx::testing::Lines lines;
    std::copy_if(log.begin(), log.end(), std::back_inserter(lines),
                 [&](const std::string& line) { return line.rfind(prefix, 0) == 0; });
    return lines;
}

bool Within(const std::string& path, const std::string& tree) {
    return path.compare(0, tree.size(), tree) == 0 &&
           (path.size() == tree.size() || path[tree.size()] == '/');
}

class PlanMatchesRun : public ::testing::TestWithParam<int> {};

TEST_P(PlanMatchesRun, SameFilesFiguresAndVerdict) {
    const int stage = GetParam();
    const DeviceScenario router = Router(stage);
    const sb::Result planned = Plan(router.device);
    ASSERT_EQ(planned.exitStatus, 0) << planned.error << planned.stderrText;
    const Json plan = Json::parse(planned.stdoutText);
    const sb::Result run = router.Run();
    ASSERT_EQ(run.exitStatus, 0) << run.error << run.stderrText;
    const qx::testing::Lines log = RunLogLines(run.ReadFile("/var/log/upgrade_log"));

    // Verdict: where the cleanup stops, or that it falls short.
    const bool short_ = stage == kFallsShort;
    EXPECT_EQ(plan["fallsShort"], short_);
    EXPECT_EQ(plan["stopsAfterStage"], short_ ? Json(nullptr) : Json(stage));
    EXPECT_EQ(std::count(log.begin(), log.end(), "Unable to sufficiently cleanup the OS"),
              short_ ? 1 : 0);

    // Figures: the run's opening measurement, then one per stage from 2 on.
    qx::testing::Lines figures = {Free(plan["freeAtStart"])};
    for (const Json& s : plan["stages"]) {
        if (s["measured"]) {
            figures.push_back(Free(s["freeAfter"]));
        }
    }
    EXPECT_EQ(figures, Starting(log, "FreeSpace: "));
    // The opening figure is the flash's own (the log moved to the RAM disk first).
    EXPECT_EQ(plan["freeAtStart"], planned.flashFreeBytes + Blocks(1)) << "upgrade log: one page";

    // Files: each is removed or emptied exactly as planned, counted in whole pages.
    std::map<std::string, unsigned long long> placed = {{kFiller, 0}};
    for (const Planned& file : kStageFiles) {
        placed[file.path] = file.size;
    }
    std::map<std::string, std::string> action;
    for (const Json& s : plan["stages"]) {
        for (const Json& item : s["items"]) {
            const std::string path = item["path"];
            unsigned long long bytes = 0;
            for (const auto& [file, size] : placed) {
                if (file == path || (item["action"] == "remove-tree" && Within(file, path))) {
                    action[file] = item["action"];
                    bytes += Blocks(size);
                }
            }
            EXPECT_NE(bytes, 0u) << path << " is no placed file";
            EXPECT_EQ(item["bytes"], bytes) << path;
        }
    }
    for (const auto& [file, size] : placed) {
        const std::string what = action.count(file) ? action[file] : "keep";
        EXPECT_EQ(run.Exists(file), what == "keep" || what == "empty") << file << ": " << what;
        if (run.Exists(file) && file != kFiller) {
            EXPECT_EQ(run.ReadFile(file).size(), what == "empty" ? 0 : size) << file;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Plan, PlanMatchesRun, ::testing::Values(2, 3, 4, 5, 6, kFallsShort),
                         [](const ::testing::TestParamInfo<int>& param) {
                             return param.param == kFallsShort
                                        ? std::string("FallsShort")
                                        : "StopsAfterStage" + std::to_string(param.param);
                         });

// Just under the log's limit, the run's own entries before stage 1 push it
// over: the plan shortens it in stage 1 as the run does, at the same size.
TEST(Plan, ALogJustUnderItsLimitIsPlannedAsTheRunTreatsIt) {
    const DeviceScenario router = Router(2, 499800);
    const sb::Result planned = Plan(router.device);
    ASSERT_EQ(planned.exitStatus, 0) << planned.error << planned.stderrText;
    const Json stage1 = Json::parse(planned.stdoutText)["stages"][0];
    const sb::Result run = router.Run();
    const qx::testing::Lines shortening =
        Starting(RunLogLines(run.ReadFile("/var/log/upgrade_log")), "Clearing upgrade_log ");
    ASSERT_EQ(shortening.size(), 1u) << "the run shortens the log";
    EXPECT_EQ(stage1["log"].back(), shortening.front()) << stage1.dump();
    EXPECT_EQ(stage1["items"].back()["action"], "replace");
    EXPECT_EQ(stage1["items"].back()["path"], "/tmp/ramdisk/upgrade_log");
}

std::map<std::string, std::string> Snapshot(const std::string& root) {
    std::map<std::string, std::string> names;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        struct stat info {};
        ::lstat(entry.path().c_str(), &info);
        names[entry.path().string().substr(root.size())] =
            std::to_string(info.st_mode & S_IFMT) + " " +
            std::to_string(S_ISREG(info.st_mode) ? info.st_size : 0);
    }
    return names;
}

TEST(Plan, TouchesNothing) {
    DeviceScenario router = Router(6);
    for (sb::Entry& entry : router.device.entries) {
        entry.mtime = entry.mtime != 0 ? entry.mtime : 1700000000;
    }
    const sb::Result planned = Plan(router.device, {"plan"});
    ASSERT_EQ(planned.exitStatus, 0) << planned.error << planned.stderrText;
    EXPECT_EQ(planned.stderrText, "");
    EXPECT_EQ(planned.commands, qx::testing::Lines());
    EXPECT_EQ(planned.aliveAtEnd, qx::testing::Lines());

    const sb::Result untouched = Plan(router.device, {"--version"});
    ASSERT_EQ(untouched.exitStatus, 0) << untouched.error;
    EXPECT_EQ(Snapshot(planned.root), Snapshot(untouched.root));
    EXPECT_EQ(planned.flashFreeBytes, untouched.flashFreeBytes);
    for (const sb::Entry& entry : router.device.entries) {
        struct stat info {};
        ASSERT_EQ(::lstat((planned.root + entry.path).c_str(), &info), 0) << entry.path;
        EXPECT_EQ(info.st_mtime, entry.mtime) << entry.path;
    }
}

}  // namespace
