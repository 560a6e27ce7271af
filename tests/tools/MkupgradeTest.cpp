// mkupgrade, run as a program: round trip through the device reader,
// validation of every input, and the all-or-nothing output.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "ToolFixture.h"
#include "upgradeFile/UpgradeFile.h"

namespace qx {
namespace testing {
namespace {

using upgradeFile::UpgradeFile;

bool IsOneLine(const std::string& text) {
    return !text.empty() && text.back() == '\n' && text.find('\n') == text.size() - 1;
}

class MkupgradeTest : public ToolTest {};

TEST_F(MkupgradeTest, RoundTripThroughTheDeviceReader) {
    // Sizes around the reader's 1024-byte buffer, an empty file and a larger one.
    const std::vector<size_t> sizes = {0, 1, 1023, 1024, 1025, 3000, 70001};
    const std::vector<std::string> labels = {
        "",   "validator", "kernel",           "0123456789abcdef0123456789abcdef",
        "db", "",          "\xc3\xa9t\xc3\xa9"};
    std::vector<std::string> contents;
    std::vector<std::string> args = {
        "--spare-text1", "s1", "--spare-text2", "12345678", "--spare-word",
        "0x01020304",    "-o", dir / "pkg.bin"};
    unsigned long long payload = 0;
    for (size_t i = 0; i < sizes.size(); ++i) {
        contents.push_back(PatternBytes(sizes[i], static_cast<unsigned int>(i)));
        WriteWholeFile(dir / ("in" + std::to_string(i)), contents[i]);
        if (!labels[i].empty()) {
            args.push_back("--label=" + labels[i]);
        }
        args.push_back(dir / ("in" + std::to_string(i)));
        payload += sizes[i];
    }
    ToolResult built = Mkupgrade(WithFields(args));
    ASSERT_EQ(built.exitStatus, 0) << built.err;
    EXPECT_EQ(built.err, "");

    const std::string package = ReadWholeFile(dir / "pkg.bin");
    EXPECT_EQ(package.size(), 128 * (sizes.size() + 1) + payload);

    UpgradeFile reader;
    ASSERT_TRUE(reader.ParseFile(dir / "pkg.bin")) << reader.ErrorMessage();
    const auto& info = reader.Information();
    EXPECT_EQ(info.Version(), 258);
    EXPECT_EQ(info.UpgradeName(), "qx router");
    EXPECT_EQ(info.ReleaseName(), "R5.1");
    EXPECT_EQ(info.FileDate(), "20261206");
    EXPECT_EQ(info.UpgradeId(), 4294967295u);
    EXPECT_EQ(info.SpareText1(), "s1");
    EXPECT_EQ(info.SpareText2(), "12345678");
    EXPECT_EQ(info.SpareWord(), 0x01020304u);
    EXPECT_EQ(info.FileSize(), payload);
    ASSERT_EQ(reader.InnerFiles().size(), sizes.size());

    unsigned long long offset = 128;
    for (size_t i = 0; i < sizes.size(); ++i) {
        offset += 128;
        EXPECT_EQ(reader.Offsets()[i], offset) << "inner file " << i;
        std::string label = labels[i];
        label.resize(32, '\0');
        EXPECT_EQ(reader.InnerFiles()[i].Label(), label) << "inner file " << i;

        const std::string out = dir / ("out" + std::to_string(i));
        ToolResult extracted = Inspect({"extract", dir / "pkg.bin", std::to_string(i), out});
        ASSERT_EQ(extracted.exitStatus, 0) << extracted.err;
        EXPECT_TRUE(ReadWholeFile(out) == contents[i]) << "inner file " << i << " differs";
        offset += sizes[i];
    }
}

TEST_F(MkupgradeTest, TextFieldsTakeUpToTheirWidth) {
    WriteWholeFile(dir / "in", "data");
    const struct {
        const char* option;
        size_t width;
    } fields[] = {{"--upgrade-name", 32}, {"--release-name", 16}, {"--file-date", 8},
                  {"--spare-text1", 8},   {"--spare-text2", 8},   {"--label", 32}};
    for (const auto& field : fields) {
        SCOPED_TRACE(field.option);
        // Later options win, so the field under test is given last.
        ToolResult full = Mkupgrade(WithFields(
            {"-o", dir / "full.bin", field.option, std::string(field.width, 'x'), dir / "in"}));
        EXPECT_EQ(full.exitStatus, 0) << full.err;

        ToolResult tooLong = Mkupgrade(WithFields(
            {"-o", dir / "long.bin", field.option, std::string(field.width + 1, 'x'), dir / "in"}));
        EXPECT_EQ(tooLong.exitStatus, 1);
        EXPECT_TRUE(IsOneLine(tooLong.err)) << tooLong.err;
        EXPECT_EQ(tooLong.err.rfind("mkupgrade: ", 0), 0u) << tooLong.err;
        EXPECT_FALSE(::access((dir / "long.bin").c_str(), F_OK) == 0);
    }
    UpgradeFile reader;
    ASSERT_TRUE(reader.ParseFile(dir / "full.bin"));
}

TEST_F(MkupgradeTest, NumbersAreCheckedAgainstTheirFieldWidth) {
    WriteWholeFile(dir / "in", "data");
    const struct {
        const char* option;
        const char* value;
        bool accepted;
    } cases[] = {
        {"--version", "65535", true},         {"--version", "0x10", true},
        {"--version", "65536", false},        {"--version", "-1", false},
        {"--version", "12abc", false},        {"--version", "", false},
        {"--upgrade-id", "0", true},          {"--upgrade-id", "4294967296", false},
        {"--spare-word", "0xFFFFFFFF", true}, {"--spare-word", "0x100000000", false},
        {"--spare-word", "0x", false},        {"--upgrade-id", " 5", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.option) + "=" + c.value);
        ToolResult result =
            Mkupgrade(WithFields({"-o", dir / "pkg.bin", c.option, c.value, dir / "in"}));
        EXPECT_EQ(result.exitStatus, c.accepted ? 0 : 2) << result.err;
        if (!c.accepted) {
            EXPECT_TRUE(IsOneLine(result.err)) << result.err;
        }
    }
    UpgradeFile reader;
    ASSERT_TRUE(reader.ParseFile(dir / "pkg.bin"));
    EXPECT_EQ(reader.Information().SpareWord(), 0xFFFFFFFFu);
}

TEST_F(MkupgradeTest, CommandLineMistakesAreUsageErrors) {
    WriteWholeFile(dir / "in", "data");
    const std::vector<std::vector<std::string>> mistakes = {
        WithFields({dir / "in"}),             // no -o
        WithFields({"-o", dir / "pkg.bin"}),  // no inner file
        WithFields({"-o", dir / "pkg.bin", "--bogus", dir / "in"}),
        WithFields({"-o", dir / "pkg.bin", dir / "in", "--label", "x"}),  // label without file
        WithFields({"-o", dir / "pkg.bin", "--label", "a", "--label", "b", dir / "in"}),
        WithFields({"-o"}),  // option without value
        {"--upgrade-name", "n", "--release-name", "r", "--file-date", "d", "--upgrade-id", "1",
         "-o", dir / "pkg.bin", dir / "in"},  // no --version
    };
    for (const auto& args : mistakes) {
        ToolResult result = Mkupgrade(args);
        EXPECT_EQ(result.exitStatus, 2) << result.err;
        EXPECT_TRUE(IsOneLine(result.err)) << result.err;
        EXPECT_EQ(result.out, "");
    }
    EXPECT_EQ(DirectoryEntries(dir.path()), std::vector<std::string>{"in"});

    ToolResult help = Mkupgrade({"--help"});
    EXPECT_EQ(help.exitStatus, 0);
    EXPECT_EQ(help.out.rfind("Usage: mkupgrade", 0), 0u);
    ToolResult version = Mkupgrade({"--version"});
    EXPECT_EQ(version.exitStatus, 0);
    EXPECT_EQ(version.out.rfind("mkupgrade ", 0), 0u);
}

TEST_F(MkupgradeTest, FilesAfterDoubleDashMayStartWithADash) {
    WriteWholeFile(dir / "-odd", "dash");
    char previous[4096];
    ASSERT_NE(::getcwd(previous, sizeof previous), nullptr);
    ASSERT_EQ(::chdir(dir.path().c_str()), 0);
    ToolResult result = Mkupgrade(WithFields({"-o", dir / "pkg.bin", "--", "-odd"}));
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    ToolResult extracted = Inspect({"extract", dir / "pkg.bin", "0", dir / "out"});
    EXPECT_EQ(extracted.exitStatus, 0) << extracted.err;
    EXPECT_EQ(ReadWholeFile(dir / "out"), "dash");
    ASSERT_EQ(::chdir(previous), 0);
}

TEST_F(MkupgradeTest, BadInputsLeaveNoPackage) {
    WriteWholeFile(dir / "in", "data");
    ASSERT_EQ(::mkdir((dir / "subdir").c_str(), 0755), 0);
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0644), 0);
    const std::vector<std::string> badInputs = {dir / "missing", dir / "subdir", dir / "fifo"};
    for (const std::string& bad : badInputs) {
        SCOPED_TRACE(bad);
        ToolResult result = Mkupgrade(WithFields({"-o", dir / "pkg.bin", dir / "in", bad}));
        EXPECT_EQ(result.exitStatus, 1);
        EXPECT_TRUE(IsOneLine(result.err)) << result.err;
        EXPECT_NE(result.err.find(bad), std::string::npos) << "the error names the input";
    }
    EXPECT_EQ(DirectoryEntries(dir.path()), (std::vector<std::string>{"fifo", "in", "subdir"}));

    // An output directory that does not exist.
    ToolResult noDir = Mkupgrade(WithFields({"-o", dir / "nodir/pkg.bin", dir / "in"}));
    EXPECT_EQ(noDir.exitStatus, 1);
    EXPECT_TRUE(IsOneLine(noDir.err)) << noDir.err;
}

TEST_F(MkupgradeTest, EmptyFilesTheReaderWouldNeverReachAreRefused) {
    WriteWholeFile(dir / "data", "data");
    WriteWholeFile(dir / "empty", "");
    // The reader stops once the sizes reach the payload total: an empty file
    // after the last non-empty one would silently drop out of the package.
    ToolResult trailing =
        Mkupgrade(WithFields({"-o", dir / "pkg.bin", dir / "data", dir / "empty", dir / "empty"}));
    EXPECT_EQ(trailing.exitStatus, 1);
    EXPECT_NE(trailing.err.find("inner file 1 is empty"), std::string::npos) << trailing.err;
    ToolResult allEmpty =
        Mkupgrade(WithFields({"-o", dir / "pkg.bin", dir / "empty", dir / "empty"}));
    EXPECT_EQ(allEmpty.exitStatus, 1);
    EXPECT_EQ(DirectoryEntries(dir.path()), (std::vector<std::string>{"data", "empty"}));

    // Empty files before or between non-empty ones are reached.
    ToolResult between = Mkupgrade(WithFields(
        {"-o", dir / "pkg.bin", dir / "empty", dir / "data", dir / "empty", dir / "data"}));
    ASSERT_EQ(between.exitStatus, 0) << between.err;
    upgradeFile::UpgradeFile reader;
    ASSERT_TRUE(reader.ParseFile(dir / "pkg.bin"));
    EXPECT_EQ(reader.InnerFiles().size(), 4u);
    ToolResult single = Mkupgrade(WithFields({"-o", dir / "one.bin", dir / "empty"}));
    EXPECT_EQ(single.exitStatus, 0) << single.err;
}

TEST_F(MkupgradeTest, FailedBuildLeavesAnExistingTargetUntouched) {
    WriteWholeFile(dir / "in", "data");
    WriteWholeFile(dir / "pkg.bin", "previous package");
    ToolResult failed = Mkupgrade(WithFields({"-o", dir / "pkg.bin", dir / "in", dir / "missing"}));
    EXPECT_EQ(failed.exitStatus, 1);
    EXPECT_EQ(ReadWholeFile(dir / "pkg.bin"), "previous package");
    EXPECT_EQ(DirectoryEntries(dir.path()), (std::vector<std::string>{"in", "pkg.bin"}));

    ToolResult replaced = Mkupgrade(WithFields({"-o", dir / "pkg.bin", dir / "in"}));
    EXPECT_EQ(replaced.exitStatus, 0) << replaced.err;
    UpgradeFile reader;
    EXPECT_TRUE(reader.ParseFile(dir / "pkg.bin")) << reader.ErrorMessage();
    EXPECT_EQ(DirectoryEntries(dir.path()), (std::vector<std::string>{"in", "pkg.bin"}));
}

TEST_F(MkupgradeTest, PackagesOfTwoGibibytesAreRefused) {
    // Sparse inputs: the sizes are refused before any data is copied.
    const unsigned long long limit = 1ull << 31;
    WriteWholeFile(dir / "big", "");
    ASSERT_EQ(::truncate((dir / "big").c_str(), static_cast<off_t>(limit - 256)), 0);
    // One inner file: 128 + 128 + (2 GiB - 256) = exactly 2 GiB.
    ToolResult one = Mkupgrade(WithFields({"-o", dir / "pkg.bin", dir / "big"}));
    EXPECT_EQ(one.exitStatus, 1);
    EXPECT_TRUE(IsOneLine(one.err)) << one.err;

    WriteWholeFile(dir / "half", "");
    ASSERT_EQ(::truncate((dir / "half").c_str(), static_cast<off_t>(limit / 2)), 0);
    ToolResult two = Mkupgrade(WithFields({"-o", dir / "pkg.bin", dir / "half", dir / "half"}));
    EXPECT_EQ(two.exitStatus, 1);
    EXPECT_EQ(DirectoryEntries(dir.path()), (std::vector<std::string>{"big", "half"}));
}

}  // namespace
}  // namespace testing
}  // namespace qx
