// upgrade-inspect, run as a program: listing, verification verdicts with the
// reader's texts, and extraction.
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "ToolFixture.h"

namespace qx {
namespace testing {
namespace {

class InspectTest : public ToolTest {
  protected:
    // Three inner files of 10, 2000 and 5 bytes: data at 256, 394, 2522.
    std::string MakeThreeFilePackage() {
        WriteWholeFile(dir / "a", PatternBytes(10, 1));
        WriteWholeFile(dir / "b", PatternBytes(2000, 2));
        WriteWholeFile(dir / "c", PatternBytes(5, 3));
        ToolResult built =
            Mkupgrade(WithFields({"-o", dir / "pkg.bin", "--label", "first", dir / "a", dir / "b",
                                  "--label", "q\"uote\\ \x01\xff", dir / "c"}));
        EXPECT_EQ(built.exitStatus, 0) << built.err;
        return dir / "pkg.bin";
    }

    // Copies the package with one byte changed, or cut to a length.
    std::string Variant(const std::string& package, const std::string& name, long flipAt,
                        size_t cutTo = std::string::npos) {
        std::string bytes = ReadWholeFile(package);
        if (flipAt >= static_cast<long>(bytes.size())) {
            ADD_FAILURE() << "package too short to change byte " << flipAt;
            flipAt = -1;
        }
        if (flipAt >= 0) {
            bytes[static_cast<size_t>(flipAt)] ^= 0x01;
        }
        if (cutTo != std::string::npos) {
            bytes.resize(cutTo);
        }
        WriteWholeFile(dir / name, bytes);
        return dir / name;
    }
};

TEST_F(InspectTest, ListShowsHeaderAndInnerFiles) {
    const std::string package = MakeThreeFilePackage();
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
    ASSERT_GE(json.out.size(), 2u);
    EXPECT_EQ(json.out.front(), '{');
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
    const std::string package = MakeThreeFilePackage();
    // A data byte of inner file 1 changed: file 0 ok, file 1 mismatch, file 2 not reached.
    ToolResult damaged = Inspect({"list", "--json", Variant(package, "bad.bin", 394 + 7)});
    EXPECT_EQ(damaged.exitStatus, 1);
    EXPECT_NE(damaged.out.find("\"error\": \"Header MD5 check failed\""), std::string::npos)
        << damaged.out;
    EXPECT_NE(damaged.out.find("{\"index\": 1, \"offset\": 394, \"size\": 2000, \"label\": \"\", "
                               "\"digest\": \"mismatch\"}"),
              std::string::npos)
        << damaged.out;
    EXPECT_EQ(damaged.out.find("\"index\": 2"), std::string::npos);

    // Cut inside the data of inner file 2.
    ToolResult cut = Inspect({"list", Variant(package, "cut.bin", -1, 2524)});
    EXPECT_EQ(cut.exitStatus, 1);
    EXPECT_NE(cut.out.find("Status:        invalid: Unable to read bytes\n"), std::string::npos);
    EXPECT_NE(cut.out.find("    2       2522          5  truncated"), std::string::npos) << cut.out;

    // An outer header whose digest fails still shows its decoded fields.
    ToolResult outer = Inspect({"list", "--json", Variant(package, "outer.bin", 100)});
    EXPECT_EQ(outer.exitStatus, 1);
    EXPECT_NE(outer.out.find("\"version\": 258,"), std::string::npos) << outer.out;
    EXPECT_NE(outer.out.find("\"digest\": \"mismatch\""), std::string::npos) << outer.out;
    EXPECT_NE(outer.out.find("\"innerFiles\": []"), std::string::npos) << outer.out;

    // Not a package at all: no header is shown.
    ToolResult foreign = Inspect({"list", "--json", Variant(package, "foreign.bin", 0)});
    EXPECT_EQ(foreign.exitStatus, 1);
    EXPECT_NE(foreign.out.find("\"header\": null"), std::string::npos) << foreign.out;
}

TEST_F(InspectTest, VerifyReportsTheReadersErrorText) {
    const std::string package = MakeThreeFilePackage();
    ToolResult good = Inspect({"verify", package});
    EXPECT_EQ(good.exitStatus, 0) << good.err;
    EXPECT_EQ(good.err, "");

    const struct {
        std::string path;
        std::string error;
    } cases[] = {
        {Variant(package, "empty.bin", -1, 0), "Unable to read header bytes"},
        {Variant(package, "short.bin", -1, 127), "Unable to read header bytes"},
        {dir.path(), "Unable to read header bytes"},
        {Variant(package, "outer.bin", 10), "Unable to parse header"},
        {Variant(package, "identity.bin", 394 - 128 + 2), "Unable to parse inner header"},
        {Variant(package, "data.bin", 2522 + 4), "Header MD5 check failed"},
        {Variant(package, "label.bin", 256 + 10 + 16), "Header MD5 check failed"},
        {Variant(package, "indata.bin", -1, 1000), "Unable to read bytes"},
        {Variant(package, "between.bin", -1, 2394), "Unable to read inner file header"},
        {dir / "missing.bin",
         "Couldn't open file " + dir / "missing.bin" + ": error: No such file or directory"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        ToolResult result = Inspect({"verify", c.path});
        EXPECT_EQ(result.exitStatus, 1);
        EXPECT_EQ(result.err, "upgrade-inspect: " + c.path + ": " + c.error + "\n");
        EXPECT_EQ(result.out, "");
    }

    // Bytes after the last inner file are never read.
    ToolResult trailing = Inspect(
        {"verify", Variant(package, "trailing.bin", -1, ReadWholeFile(package).size() + 9)});
    EXPECT_EQ(trailing.exitStatus, 0) << trailing.err;

    // --verbose shows the reader's log lines, as the device would log them.
    ToolResult verbose = Inspect({"-v", "verify", package});
    EXPECT_EQ(verbose.exitStatus, 0);
    EXPECT_NE(verbose.err.find(" - Version 258\n"), std::string::npos) << verbose.err;
    EXPECT_NE(verbose.err.find(" - Upgrade file size 2015\n"), std::string::npos) << verbose.err;
}

TEST_F(InspectTest, ExtractWritesOneInnerFile) {
    const std::string package = MakeThreeFilePackage();
    ToolResult fresh = Inspect({"extract", package, "1", dir / "out"});
    ASSERT_EQ(fresh.exitStatus, 0) << fresh.err;
    EXPECT_TRUE(ReadWholeFile(dir / "out") == PatternBytes(2000, 2));
    struct stat info {};
    ASSERT_EQ(::stat((dir / "out").c_str(), &info), 0);
    const mode_t mask = ::umask(0);
    ::umask(mask);
    EXPECT_EQ(info.st_mode & 07777, 0755u & ~mask);

    // An existing, longer file is truncated and keeps its permission bits.
    ASSERT_EQ(::chmod((dir / "out").c_str(), 0600), 0);
    ASSERT_EQ(Inspect({"extract", package, "2", dir / "out"}).exitStatus, 0);
    EXPECT_EQ(ReadWholeFile(dir / "out"), PatternBytes(5, 3));
    ASSERT_EQ(::stat((dir / "out").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);

    // Index beyond the last inner file: the reader's text, and no file made.
    ToolResult beyond = Inspect({"extract", package, "3", dir / "none"});
    EXPECT_EQ(beyond.exitStatus, 1);
    EXPECT_EQ(beyond.err.rfind("upgrade-inspect: Invalid offset", 0), 0u) << beyond.err;
    EXPECT_NE(::access((dir / "none").c_str(), F_OK), 0);

    // A damaged package is refused before anything is written.
    ToolResult damaged =
        Inspect({"extract", Variant(package, "bad.bin", 2522 + 1), "0", dir / "none"});
    EXPECT_EQ(damaged.exitStatus, 1);
    EXPECT_NE(damaged.err.find("Header MD5 check failed"), std::string::npos);
    EXPECT_NE(::access((dir / "none").c_str(), F_OK), 0);

    ToolResult noDir = Inspect({"extract", package, "0", dir / "nodir/out"});
    EXPECT_EQ(noDir.exitStatus, 1);
    EXPECT_EQ(noDir.err, "upgrade-inspect: Couldn't open extraction file " + dir / "nodir/out" +
                             ": error: No such file or directory\n");
}

TEST_F(InspectTest, CommandLineMistakesAreUsageErrors) {
    const std::string package = MakeThreeFilePackage();
    const std::vector<std::vector<std::string>> mistakes = {
        {},
        {"frobnicate", package},
        {"verify"},
        {"verify", package, package},
        {"--json", "verify", package},
        {"list", "--bogus", package},
        {"extract", package, "1"},
        {"extract", package, "-1", dir / "out"},
        {"extract", package, "one", dir / "out"},
        {"extract", package, "4294967296", dir / "out"},
    };
    for (const auto& args : mistakes) {
        ToolResult result = Inspect(args);
        EXPECT_EQ(result.exitStatus, 2) << result.err;
        EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << result.err;
    }
    EXPECT_NE(::access((dir / "out").c_str(), F_OK), 0);

    ToolResult help = Inspect({"--help"});
    EXPECT_EQ(help.exitStatus, 0);
    EXPECT_EQ(help.out.rfind("Usage: upgrade-inspect", 0), 0u);
    ToolResult version = Inspect({"--version"});
    EXPECT_EQ(version.exitStatus, 0);
    EXPECT_EQ(version.out.rfind("upgrade-inspect ", 0), 0u);
}

}  // namespace
}  // namespace testing
}  // namespace qx
