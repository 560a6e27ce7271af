// upgrade-inspect plan --root on a temporary root, and refusals of bad input.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <regex>

#include "tools/ToolFixture.h"

namespace qx::testing {
namespace {

using Json = nlohmann::json;

class PlanTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* directory :
             {"etc", "proc", "usr/lib", "var/log", "home/logs", "lib/modules/2.6.35.3",
              "lib/modules/2.6.35.3-00227-geccd148"}) {
            std::filesystem::create_directories(root / directory);
        }
        WriteBytes(root / "proc/version", "Linux version 2.6.35.3-00227-geccd148 (b@h) #1\n");
        Sparse("var/log/sys.log", 10000001);   // over its limit, though it holds no blocks
        Sparse("var/log/messages", 10000000);  // exactly at its limit: stays
        WriteBytes(root / "var/log/upgrade_log", std::string(600000, 'u'));
        WriteBytes(root / "etc/dsl-3.61.img", std::string(100000, 'd'));
        WriteBytes(root / "lib/modules/2.6.35.3/a.ko", std::string(70000, 'k'));
        WriteBytes(root / "lib/modules/2.6.35.3-00227-geccd148/b.ko", "kept");
        WriteBytes(root / "home/logs/log-00001.txt.gz", "old");
        // The marker is an absolute link: it must resolve inside the root.
        WriteBytes(root / "usr/lib/netsnmp-40", "new");
        std::filesystem::create_symlink("/usr/lib/netsnmp-40",
                                        root / "usr/lib/libnetsnmp.so.40.0.0");
        WriteBytes(root / "usr/lib/libnetsnmp.so.35.0.0", std::string(50000, 's'));
    }

    void Sparse(const std::string& name, off_t size) {
        WriteBytes(root / name, "");
        ASSERT_EQ(::truncate((root / name).c_str(), size), 0);
    }

    unsigned long long Blocks(const std::string& name) {
        struct stat info {};
        EXPECT_EQ(::lstat((root / name).c_str(), &info), 0) << name;
        return static_cast<unsigned long long>(info.st_blocks) * 512;
    }

    ToolResult Plan(const std::vector<std::string>& options) {
        std::vector<std::string> args = {"plan", "--root", root.path(), "--free", "0"};
        args.insert(args.end(), options.begin(), options.end());
        return RunTool(QX_INSPECT_PATH, args, work.path());
    }

    ::TempDir root, work;
};

TEST_F(PlanTest, EveryStageInOrderWhenNothingSuffices) {
    const ToolResult result = Plan({"--json", "--required", "4294967295"});
    ASSERT_EQ(result.exitStatus, 0) << result.err;
    const Json plan = Json::parse(result.out);
    // The log's size with the run's own entries before stage 1 is checked
    // against a real run in PlanSandboxTest.
    const std::string logLine = plan.value("/stages/0/log/1"_json_pointer, "");
    EXPECT_TRUE(std::regex_match(logLine, std::regex("Clearing upgrade_log because too large. "
                                                     "Size: 600[0-9]{3}")))
        << logLine;
    // Each item frees its blocks (the RAM disk's log nothing), a stage the sum.
    const auto item = [this](const char* action, const char* path, const char* blocksOf) {
        return Json{{"action", action}, {"path", path}, {"bytes", Blocks(blocksOf)}};
    };
    Json ramDiskLog = {{"action", "replace"}, {"path", "/tmp/ramdisk/upgrade_log"}, {"bytes", 0}};
    ramDiskLog["by"] = "/tmp/ramdisk/.new-0";
    Json tree = item("remove-tree", "/lib/modules/2.6.35.3", "lib/modules/2.6.35.3/a.ko");
    tree["files"] = 1;
    using A = std::vector<Json>;
    const std::pair<A, A> stages[] = {
        // log, items
        {{"Clearing sys.log because too large. Size: 10000001", logLine},
         {item("empty", "/var/log/sys.log", "var/log/sys.log"), ramDiskLog}},
        {{"Clearing unused static files"},
         {item("remove", "/etc/dsl-3.61.img", "etc/dsl-3.61.img")}},
        {{"Clearing unused kernel modules"}, {tree}},
        {{"Clearing logs files"},
         {item("remove", "/home/logs/log-00001.txt.gz", "home/logs/log-00001.txt.gz")}},
        {{"Clearing extra files"},
         {item("remove", "/usr/lib/libnetsnmp.so.35.0.0", "usr/lib/libnetsnmp.so.35.0.0")}},
        {{},
         {item("empty", "/var/log/sys.log", "var/log/sys.log"),
          item("empty", "/var/log/messages", "var/log/messages")}},
    };
    ASSERT_EQ(plan["stages"].size(), std::size(stages)) << result.out;
    unsigned long long free = Blocks("var/log/upgrade_log");  // it moves to the RAM disk first
    EXPECT_EQ(plan["freeAtStart"], free);
    for (std::size_t s = 0; s < std::size(stages); ++s) {
        unsigned long long freed = 0;
        for (const Json& each : stages[s].second) {
            freed += each["bytes"].get<unsigned long long>();
        }
        free += freed;
        const Json expected = {{"stage", s + 1},
                               {"log", Json(stages[s].first)},
                               {"items", Json(stages[s].second)},
                               {"bytesFreed", freed},
                               {"freeAfter", free},
                               {"measured", s > 0}};
        EXPECT_EQ(plan["stages"][s], expected) << "stage " << s + 1;
    }
    EXPECT_EQ(plan["fallsShort"], true);
    EXPECT_EQ(plan["stopsAfterStage"], nullptr);
    EXPECT_EQ(plan["shortBy"], 4294967295ull - free);
    EXPECT_EQ(plan["kernelRelease"], "2.6.35.3-00227-geccd148");
    EXPECT_EQ(plan["kernelWarning"], nullptr);
    const Json kept = {
        {"path", "/lib/modules/2.6.35.3-00227-geccd148"},
        {"reason", "the running kernel's: its version line holds \"2.6.35.3-00227-geccd148\""}};
    EXPECT_EQ(plan["keptModuleTrees"], Json::array({kept}));

    const ToolResult text = Plan({"--required", "4294967295"});
    EXPECT_NE(text.out.find("The cleanup falls short: " + std::to_string(free) + " bytes free"),
              std::string::npos)
        << text.out;
}

TEST_F(PlanTest, StagesOneAndTwoRunWhateverTheRoom) {
    const ToolResult result = Plan({"--required", "0"});
    ASSERT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_NE(result.out.find("The cleanup stops after stage 2 "), std::string::npos) << result.out;
    EXPECT_EQ(result.out.find("Stage 3"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("Kernel:      release 2.6.35.3-00227-geccd148, from /proc/version\n"
                              "Keeps:       /lib/modules/2.6.35.3 (the cleanup stops before "
                              "stage 3)\nKeeps:       /lib/modules/2.6.35.3-00227-geccd148 (the "
                              "cleanup stops before stage 3)\n"),
              std::string::npos)
        << result.out;
    EXPECT_EQ(result.out.find("Warning:"), std::string::npos) << result.out;
    // A mistyped release names no tree: said, in text and JSON.
    WriteBytes(work / "typo", "Linux version 9.9 (x) #1\n");
    const ToolResult typo = Plan({"--required", "0", "--proc-version", work / "typo"});
    EXPECT_NE(
        typo.out.find("Warning:     no module tree matches 9.9: every tree would be removed\n"),
        std::string::npos)
        << typo.out;
    const Json typoJson =
        Json::parse(Plan({"--json", "--required", "0", "--proc-version", work / "typo"}).out);
    EXPECT_EQ(typoJson["kernelWarning"], "no module tree matches 9.9: every tree would be removed");
}

TEST_F(PlanTest, BadInputNamesWhatAndWhyOnOneLine) {
    std::filesystem::create_directories(work / "plain");
    WriteBytes(work / "other", "Debian GNU/Linux 12\n");
    ASSERT_EQ(::mkfifo((work / "fifo").c_str(), 0644), 0);
    const std::string notRoot =
        " is not a root file system (it needs etc, lib and usr directories)";
    const std::string notVersion = ": not a kernel version line (\"Linux version RELEASE ...\")";
    // Bad values exit 1 with the subcommand's prefix; command-line mistakes exit 2.
    const struct {
        std::vector<std::string> args;
        int status;
        std::string error;
    } cases[] = {
        {{"plan", "--required", "abc"}, 1, "plan: --required needs a number of bytes, not 'abc'"},
        {{"plan", "--required", "-1"}, 1, "plan: --required needs a number of bytes, not '-1'"},
        {{"plan", "--required", "4294967296"},
         1,
         "plan: --required must be at most 4294967295, not 4294967296"},
        {{"plan", "--root", work / "plain", "--free", "1"}, 1, "plan: " + work / "plain" + notRoot},
        {{"plan", "--root", work / "missing/", "--free", "1"},
         1,
         "plan: " + work / "missing" + notRoot},
        {{"plan", "--root", root.path(), "--free", "1e6"},
         1,
         "plan: --free needs a number of bytes, not '1e6'"},
        {{"plan", "--root", root.path()}, 1, "plan: --root and --free go together"},
        {{"plan", "--proc-version", work / "missing"},
         1,
         "plan: " + work / "missing" + ": No such file or directory"},
        {{"plan", "--proc-version", work / "plain"},
         1,
         "plan: " + work / "plain" + ": is a directory"},
        {{"plan", "--proc-version", work / "fifo"}, 1, "plan: " + work / "fifo" + ": is a FIFO"},
        {{"plan", "--proc-version", work / "other"}, 1, "plan: " + work / "other" + notVersion},
        {{"plan", "--required"}, 2, "--required: 1 required BYTES missing (try --help)"},
        {{"plan", "--bogus"}, 2, "The following argument was not expected: --bogus (try --help)"},
    };
    for (const auto& c : cases) {
        const ToolResult result = RunTool(QX_INSPECT_PATH, c.args, work.path());
        const std::string shown = ::testing::PrintToString(c.args);
        EXPECT_EQ(result.exitStatus, c.status) << shown;
        EXPECT_EQ(result.out, "") << shown;
        EXPECT_EQ(result.err, "upgrade-inspect: " + c.error + "\n") << shown;
    }
}

}  // namespace
}  // namespace qx::testing
