// upgrade-inspect, run as a program: listing, verification verdicts with the
// reader's texts, and extraction.
#include <unistd.h>

#include <string>
#include <vector>

#include "ToolFixture.h"

namespace qx::testing {
namespace {

class InspectTest : public ToolTest {
  protected:
    // Three inner files of 10, 2000 and 5 bytes: data at 256, 394, 2522.
    void SetUp() override {
        WriteBytes(dir / "a", Pattern(10, 1));
        WriteBytes(dir / "b", Pattern(2000, 2));
        WriteBytes(dir / "c", Pattern(5, 3));
        ToolResult built =
            Mkupgrade(WithFields({"-o", package, "--label", "first", dir / "a", dir / "b",
                                  "--label", "q\"uote\\ \x01\xff", dir / "c"}));
        ASSERT_EQ(built.exitStatus, 0) << built.err;
    }

    // Copies the package with one byte changed (unless flipAt is -1) and cut
    // to a length.
    std::string Variant(const std::string& name, long flipAt, size_t cutTo = std::string::npos) {
        std::string bytes = ReadBytes(package);
        if (flipAt >= 0) {
            bytes.at(static_cast<size_t>(flipAt)) ^= 0x01;
        }
        if (cutTo != std::string::npos) {
            bytes.resize(cutTo);
        }
        WriteBytes(dir / name, bytes);
        return dir / name;
    }

    const std::string package = dir / "pkg.bin";
};

TEST_F(InspectTest, ListShowsHeaderAndInnerFiles) {
    ToolResult text = Inspect({"list", package});
    ASSERT_EQ(text.exitStatus, 0) << text.err;
    for (const char* line :
         {"Status:        valid\n", "Version:       258\n", "Upgrade name:  qx router\n",
          "Upgrade ID:    4294967295\n", "Payload size:  2015\n", "Inner files:   3\n",
          "    0        256         10  ok           first\n",
          "    1        394       2000  ok           \n",
          "    2       2522          5  ok           q\"uote\\\\ \\x01\\xff\n"}) {
        EXPECT_NE(text.out.find(line), std::string::npos) << "missing: " << line << text.out;
    }

    ToolResult json = Inspect({"list", "--json", package});
    ASSERT_EQ(json.exitStatus, 0) << json.err;
    EXPECT_EQ(json.out.rfind("{\n", 0), 0u) << json.out;
    EXPECT_EQ(json.out.substr(json.out.size() - 2), "}\n");
    for (const char* part :
         {"\"valid\": true,", "\"error\": null,", "\"version\": 258,",
          "\"upgradeName\": \"qx router\",", "\"fileSize\": 2015,", "\"digest\": \"ok\"",
          "{\"index\": 0, \"offset\": 256, \"size\": 10, \"label\": \"first\", \"digest\": \"ok\"}",
          "\"label\": \"q\\\"uote\\\\ \\u0001\\u00ff\""}) {
        EXPECT_NE(json.out.find(part), std::string::npos) << "missing: " << part << json.out;
    }
}

TEST_F(InspectTest, ListOfADamagedPackageShowsWhereThePassStopped) {
    const struct {
        std::vector<std::string> args;
        std::vector<std::string> shown;
        std::string absent;
    } cases[] = {
        // A data byte of inner file 1 changed: file 0 ok, file 1 mismatch, file 2 not reached.
        {{"--json", Variant("bad.bin", 394 + 7)},
         {"\"error\": \"Header MD5 check failed\"",
          "{\"index\": 1, \"offset\": 394, \"size\": 2000, \"label\": \"\", \"digest\": "
          "\"mismatch\"}"},
         "\"index\": 2"},
        // Cut inside the data of inner file 2.
        {{Variant("cut.bin", -1, 2524)},
         {"Status:        invalid: Unable to read bytes\n",
          "    2       2522          5  truncated"},
         "ok           q"},
        // An outer header whose digest fails still shows its decoded fields.
        {{"--json", Variant("outer.bin", 100)},
         {"\"version\": 258,", "\"digest\": \"mismatch\"", "\"innerFiles\": []"},
         "\"header\": null"},
        // Not a package at all: no header is shown.
        {{"--json", Variant("foreign.bin", 0)}, {"\"header\": null"}, "\"version\""},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"list"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        ToolResult result = Inspect(args);
        EXPECT_EQ(result.exitStatus, 1) << c.args.back();
        for (const std::string& part : c.shown) {
            EXPECT_NE(result.out.find(part), std::string::npos) << part << "\n" << result.out;
        }
        EXPECT_EQ(result.out.find(c.absent), std::string::npos) << c.absent << "\n" << result.out;
    }
}

TEST_F(InspectTest, VerifyReportsTheReadersErrorText) {
    ToolResult good = Inspect({"verify", package});
    EXPECT_EQ(good.exitStatus, 0) << good.err;
    EXPECT_EQ(good.err, "");

    // The reader's own text, after the path (the reader's table is tested there).
    const std::pair<std::string, std::string> cases[] = {
        {dir.path(), "Unable to read header bytes"},
        {Variant("outer.bin", 10), "Unable to parse header"},
        {Variant("data.bin", 2522 + 4), "Header MD5 check failed"},
        {Variant("between.bin", -1, 2394), "Unable to read inner file header"},
        {dir / "missing.bin",
         "Couldn't open file " + dir / "missing.bin" + ": error: No such file or directory"},
    };
    for (const auto& [path, error] : cases) {
        ToolResult result = Inspect({"verify", path});
        EXPECT_EQ(result.exitStatus, 1) << path;
        EXPECT_EQ(result.err, "upgrade-inspect: " + path + ": " + error + "\n");
        EXPECT_EQ(result.out, "") << path;
    }

    // Bytes after the last inner file are never read.
    ToolResult trailing = Inspect({"verify", Variant("trailing.bin", -1, 2527 + 9)});
    EXPECT_EQ(trailing.exitStatus, 0) << trailing.err;

    // --verbose shows the reader's log lines, as the device would log them.
    ToolResult verbose = Inspect({"-v", "verify", package});
    EXPECT_EQ(verbose.exitStatus, 0);
    EXPECT_NE(verbose.err.find(" - Version 258\n"), std::string::npos) << verbose.err;
    EXPECT_NE(verbose.err.find(" - Upgrade file size 2015\n"), std::string::npos) << verbose.err;
}

// Extraction itself is the reader's (modes and truncation are tested there);
// here: the tool's arguments reach it and its refusals reach the user.
TEST_F(InspectTest, ExtractWritesOneInnerFile) {
    ToolResult fresh = Inspect({"extract", package, "1", dir / "out"});
    ASSERT_EQ(fresh.exitStatus, 0) << fresh.err;
    EXPECT_TRUE(ReadBytes(dir / "out") == Pattern(2000, 2));

    // Index beyond the last inner file: the reader's text, and no file made.
    ToolResult beyond = Inspect({"extract", package, "3", dir / "none"});
    EXPECT_EQ(beyond.exitStatus, 1);
    EXPECT_EQ(beyond.err.rfind("upgrade-inspect: Invalid offset", 0), 0u) << beyond.err;
    EXPECT_NE(::access((dir / "none").c_str(), F_OK), 0);

    // A damaged package is refused before anything is written.
    ToolResult damaged = Inspect({"extract", Variant("bad.bin", 2522 + 1), "0", dir / "none"});
    EXPECT_EQ(damaged.exitStatus, 1);
    EXPECT_NE(damaged.err.find("Header MD5 check failed"), std::string::npos);
    EXPECT_NE(::access((dir / "none").c_str(), F_OK), 0);
}

TEST_F(InspectTest, CommandLineMistakesAreUsageErrors) {
    const std::vector<std::vector<std::string>> mistakes = {
        {},
        {"frobnicate", package},
        {"verify"},
        {"verify", package, package},
        {"--json", "verify", package},
        {"list", "--bogus", package},
        {"extract", package, "1"},
        {"extract", package, "-1", dir / "new"},
        {"extract", package, "one", dir / "new"},
        {"extract", package, "4294967296", dir / "new"}};
    for (const auto& args : mistakes) {
        ToolResult result = Inspect(args);
        EXPECT_EQ(result.exitStatus, 2) << result.err;
        EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << result.err;
    }
    EXPECT_NE(::access((dir / "new").c_str(), F_OK), 0);
}

}  // namespace
}  // namespace qx::testing
