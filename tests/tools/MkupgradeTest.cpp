// mkupgrade as a program: its package, input validation, all-or-nothing output.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "ToolFixture.h"
#include "tools/common/Numbers.h"

namespace qx::testing {
namespace {

class MkupgradeTest : public ToolTest {};

// The writer's bytes, replacing an older file whole; every inner file comes
// back, by extract and by unpack, whose manifest makes the package again.
TEST_F(MkupgradeTest, WritesTheExpectedPackageAndEveryInnerFileComesBack) {
    // Around the reader's 1024-byte buffer, empty files between; texts fill fields.
    const std::vector<size_t> sizes = {0, 1, 1023, 0, 1024, 1025, 3000000, 70001};
    const std::vector<std::string> labels = {
        "", "validator", "kernel", std::string(32, 'L'), "db", "", "\xc3\xa9t\xc3\xa9", "-x"};
    const package::OuterFields outer = {
        65535,       std::string(32, 'n'), std::string(16, 'r'), "20261206",
        0xFFFFFFFFu, "12345678",           "abcdefgh",           0x01020304};
    std::vector<std::string> args = {"--package-version=65535",
                                     "--upgrade-name=" + outer.upgradeName,
                                     "--release-name=" + outer.releaseName,
                                     "--file-date=20261206",
                                     "--upgrade-id=0xFFFFFFFF",
                                     "--spare-text1=12345678",
                                     "--spare-text2=abcdefgh",
                                     "--spare-word=16909060",
                                     "--output=" + dir / "pkg.bin"};
    std::vector<package::InnerData> inners;
    std::vector<std::string> names;
    for (size_t i = 0; i < sizes.size(); ++i) {
        inners.push_back({Pattern(sizes[i], static_cast<unsigned>(i)), {labels[i], 0, 0}});
        names.push_back("in" + std::to_string(i));
        WriteBytes(dir / names.back(), inners.back().data);
        args.push_back("--label=" + labels[i]);  // "--label=" too: an empty label
        args.push_back(dir / names.back());
    }
    names.push_back("pkg.bin");
    WriteBytes(dir / "pkg.bin", "an older package");

    ToolResult built = Mkupgrade(args);
    ASSERT_EQ(built.exitStatus, 0) << built.err;
    EXPECT_EQ(built.err, "");
    std::string expected, error;
    ASSERT_TRUE(package::BuildPackage(outer, inners, expected, error)) << error;
    EXPECT_TRUE(ReadBytes(dir / "pkg.bin") == expected);
    EXPECT_EQ(Names(dir.path()), names);  // no temporary file left

    for (size_t i = 0; i < sizes.size(); ++i) {
        const std::string out = dir / ("out" + std::to_string(i));
        ToolResult extracted = Inspect({"extract", dir / "pkg.bin", std::to_string(i), out});
        ASSERT_EQ(extracted.exitStatus, 0) << extracted.err;
        EXPECT_TRUE(ReadBytes(out) == inners[i].data) << "inner file " << i << " differs";
    }

    ASSERT_EQ(Inspect({"unpack", dir / "pkg.bin", dir / "fw"}).exitStatus, 0);
    EXPECT_EQ(Names(dir / "fw"),
              (std::vector<std::string>{"0", "1-validator", "2-kernel", "3-" + labels[3], "4-db",
                                        "5", "6-__t__", "7--x", "manifest.json"}));
    // The modes of new files and folders, less the umask (the unpacked files
    // are made unnamed and named at the end).
    const mode_t mask = ::umask(0);
    ::umask(mask);
    for (const auto& [name, mode] : std::vector<std::pair<std::string, mode_t>>{
             {"", 0777}, {"/0", 0755}, {"/6-__t__", 0755}, {"/manifest.json", 0666}}) {
        struct stat info {};
        ASSERT_EQ(::stat((dir / ("fw" + name)).c_str(), &info), 0) << name;
        EXPECT_EQ(info.st_mode & 07777, mode & ~mask) << name;
    }
    const std::string manifest = dir / "fw/manifest.json";
    ASSERT_EQ(Mkupgrade({"--manifest", manifest, "-o", dir / "again.bin"}).exitStatus, 0);
    EXPECT_TRUE(ReadBytes(dir / "again.bin") == expected);
    // One file replaced, the package rebuilt: the new file inside.
    WriteBytes(dir / "fw/6-__t__", "a new kernel");
    ASSERT_EQ(Mkupgrade({"--manifest", manifest, "-o", dir / "new.bin"}).exitStatus, 0);
    ASSERT_EQ(Inspect({"extract", dir / "new.bin", "6", dir / "kernel"}).exitStatus, 0);
    EXPECT_EQ(ReadBytes(dir / "kernel"), "a new kernel");
}

// Exit 1 (build) or 2 (command line), one stderr line, target kept, no temp file.
TEST_F(MkupgradeTest, RefusalsSayWhatIsWrongAndLeaveNoPackage) {
    const std::string in = dir / "in", empty = dir / "empty", out = dir / "pkg.bin";
    const std::string big = dir / "big", half = dir / "half";
    WriteBytes(in, "data");
    WriteBytes(empty, "");
    WriteBytes(out, "previous package");
    // Sparse inputs refused before copying; 2 GiB - 256 inside is a 2 GiB package.
    WriteBytes(big, "");
    WriteBytes(half, "");
    ASSERT_EQ(::truncate(big.c_str(), static_cast<off_t>((1LL << 31) - 256)), 0);
    ASSERT_EQ(::truncate(half.c_str(), static_cast<off_t>(1LL << 30)), 0);
    auto refused = [this](const std::vector<std::string>& args, int status,
                          const std::string& error) {
        ToolResult result = Mkupgrade(args);
        EXPECT_EQ(result.exitStatus, status) << error;
        EXPECT_EQ(result.err, "mkupgrade: " + error + (status == 2 ? " (try --help)\n" : "\n"));
        EXPECT_EQ(result.out, "");
    };

    const struct {
        const char* option;
        const char* field;
        size_t width;
    } texts[] = {{"--upgrade-name", "upgrade name", 32}, {"--release-name", "release name", 16},
                 {"--file-date", "file date", 8},        {"--spare-text1", "spare text 1", 8},
                 {"--spare-text2", "spare text 2", 8},   {"--label", "label", 32}};
    for (const auto& text : texts) {
        refused(WithFields({"-o", out, text.option, std::string(text.width + 1, 'x'), in}), 1,
                std::string(text.field) + " is " + std::to_string(text.width + 1) +
                    " bytes long; its field holds at most " + std::to_string(text.width));
    }
    refused(WithFields({"-o", dir / "nodir/pkg.bin", in}), 1,
            dir / "nodir/pkg.bin" + ": No such file or directory");
    // An empty file after the last non-empty one would drop out of the reader's pass.
    for (const std::string& first : {in, empty}) {
        refused(WithFields({"-o", out, first, empty, empty}), 1,
                "inner file 1 is empty and no non-empty inner file follows it; the package would "
                "end before it");
    }
    refused(WithFields({"-o", out, big}), 1,
            "package would be 2147483648 bytes; packages must stay below 2 GiB");
    refused(WithFields({"-o", out, half, half}), 1,
            "package would be 2147484032 bytes; packages must stay below 2 GiB");

    // Numbers are decimal or 0x-hexadecimal within their field, nothing else.
    const std::pair<std::string, std::string> numbers[] = {
        {"--package-version", "65536"}, {"--package-version", "-1"},
        {"--package-version", "12abc"}, {"--package-version", ""},
        {"--upgrade-id", " 5"},         {"--upgrade-id", "4294967296"},
        {"--spare-word", "0x"},         {"--spare-word", "0x100000000"}};
    for (const auto& [option, value] : numbers) {
        refused(WithFields({option, value, "-o", out, in}), 2,
                option + " needs a number from 0 to " +
                    (option == "--package-version" ? "65535" : "4294967295") + ", not '" + value +
                    "'");
    }
    refused(WithFields({in}), 2, "missing -o OUT");
    refused(WithFields({"-o"}), 2, "--output: 1 required OUT missing");
    refused(WithFields({"-o", out}), 2, "no inner file given (a package holds at least one)");
    refused(WithFields({"-o", out, "--bogus", in}), 2,
            "The following argument was not expected: --bogus");
    refused(WithFields({"-o", out, "--manifest", in}), 2,
            "--manifest replaces the header fields and the files; give it alone with -o");
    refused(WithFields({"-o", out, in, "--label", "x"}), 2, "--label must be followed by a file");
    refused(WithFields({"-o", out, "--label", "a", "--label", "b", in}), 2,
            "--label given twice before one file");
    refused({"--upgrade-name", "n", "--release-name", "r", "--file-date", "d", "--upgrade-id", "1",
             "-o", out, in},
            2, "missing --package-version");
    EXPECT_EQ(ReadBytes(out), "previous package");
    EXPECT_EQ(Names(dir.path()),
              (std::vector<std::string>{"big", "empty", "half", "in", "pkg.bin"}));
}

// One number form in every tool: decimal, 0x hexadecimal, a K/M/G suffix.
TEST_F(MkupgradeTest, NumbersTakeOneFormEverywhere) {
    // -1: refused; -2: accepted (the largest value). Empty, "0x", "-1", " 5"
    // and "1e6": the refusal tables of mkupgrade and plan.
    const std::pair<const char*, long long> forms[] = {
        {"0", 0},
        {"0x1000", 4096},
        {"0X1f", 31},
        {"4K", 4096},
        {"4k", 4096},
        {"22M", 23068672},
        {"0x2G", 2147483648},
        {"18446744073709551615", -2},
        {"18446744073709551616", -1},
        {"16G", 17179869184},
        {"K", -1},
        {"5 ", -1},
        {"4KB", -1},
        {"0x1g0", -1},
        {"17179869184G", -1},
    };
    for (const auto& [text, expected] : forms) {
        unsigned long long value = 0;
        const bool parsed = tools::ParseNumber(text, value);
        EXPECT_EQ(parsed, expected != -1) << text;
        if (expected >= 0) {
            EXPECT_EQ(value, static_cast<unsigned long long>(expected)) << text;
        }
    }
}

// "[a,b]" is one file (not a CLI11 list); names after "--" may start with a dash.
TEST_F(MkupgradeTest, OddFileNamesAreTakenWhole) {
    WriteBytes(dir / "[a,b]", "list");
    WriteBytes(dir / "-odd", "dash");
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    ToolResult result =
        Mkupgrade(WithFields({"-o", dir / "pkg.bin", "--label", "[x]", "[a,b]", "--", "-odd"}));
    std::filesystem::current_path(previous);
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    const std::string bytes = ReadBytes(dir / "pkg.bin");
    EXPECT_EQ(bytes.substr(128 + 16, 4), std::string("[x]\0", 4));
    EXPECT_EQ(bytes.substr(256, 4), "list");
    EXPECT_EQ(bytes.substr(256 + 4 + 128), "dash");
}

}  // namespace
}  // namespace qx::testing
