// upgrade-inspect as a program: listing with data digests, verdicts with the
// reader's texts, several packages, diff, standard input and output.
#include <unistd.h>

#include <string>
#include <vector>

#include "ToolFixture.h"
#include "support/Md5Hex.h"

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

    // The package with one byte flipped (unless flipAt is -1), cut to cutTo.
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

TEST_F(InspectTest, ListShowsHeaderInnerFilesAndTheirDigests) {
    ToolResult text = Inspect({"list", package});
    ASSERT_EQ(text.exitStatus, 0) << text.err;
    for (const std::string& line :
         {std::string("Status:        valid\n"), std::string("Version:       258\n"),
          std::string("Upgrade name:  qx router\n"), std::string("Upgrade ID:    4294967295\n"),
          std::string("Payload size:  2015\n"), std::string("Inner files:   3\n"),
          "    0        256         10  ok           " + Md5Hex(Pattern(10, 1)) + "  first\n",
          "    1        394       2000  ok           " + Md5Hex(Pattern(2000, 2)) + "  \n",
          "    2       2522          5  ok           " + Md5Hex(Pattern(5, 3)) +
              "  q\"uote\\\\ \\x01\\xff\n"}) {
        EXPECT_NE(text.out.find(line), std::string::npos) << "missing: " << line << text.out;
    }

    ToolResult json = Inspect({"list", "--json", package});
    ASSERT_EQ(json.exitStatus, 0) << json.err;
    // The listing's form: VectorTest's kept listings. verify --json: the
    // listing without the header and the data digests.
    Json verdict = Json::parse(json.out);
    verdict.erase("header");
    for (Json& row : verdict["innerFiles"]) {
        row.erase("md5");
    }
    EXPECT_EQ(Json::parse(Inspect({"verify", "--json", package}).out), verdict);
}

// Header texts and labels: JSON strings when valid UTF-8 without control
// characters, else {"hex": ...}, the manifest's rule (verify's rows are the
// listing's: ListShowsHeaderInnerFilesAndTheirDigests).
TEST_F(InspectTest, JsonTextsAreStringsOnlyForCleanUtf8) {
    const std::pair<std::string, Json> texts[] = {
        {"k\xc3\xa9", "k\u00e9"},
        {"\xe2\x82\xac 5", "\u20ac 5"},
        {"\xa5", {{"hex", "a5"}}},
        {"k\xc3", {{"hex", "6bc3"}}},           // cut sequence
        {"\xc0\xaf", {{"hex", "c0af"}}},        // overlong '/'
        {"\xed\xa0\x80", {{"hex", "eda080"}}},  // surrogate
        {"tab\t", {{"hex", "74616209"}}},
        {"del\x7f", {{"hex", "64656c7f"}}},
        {"c1\xc2\x85", {{"hex", "6331c285"}}},
        {"q\"uote\\ \x01\xff", {{"hex", "7122756f74655c2001ff"}}},
    };
    std::vector<std::string> args = WithFields({"-o", dir / "texts.bin"});
    args[3] = texts[0].first;  // the upgrade name
    args[5] = texts[2].first;  // the release name
    for (const auto& text : texts) {
        args.insert(args.end(), {"--label", text.first, dir / "a"});
    }
    ToolResult built = Mkupgrade(args);
    ASSERT_EQ(built.exitStatus, 0) << built.err;
    const Json listing = Json::parse(Inspect({"list", "--json", dir / "texts.bin"}).out);
    EXPECT_EQ(listing["header"]["upgradeName"], texts[0].second);
    EXPECT_EQ(listing["header"]["releaseName"], texts[2].second);
    for (size_t i = 0; i < std::size(texts); ++i) {
        EXPECT_EQ(listing["innerFiles"][i]["label"], texts[i].second) << i;
    }
}

TEST_F(InspectTest, VerifyAndListReportWhereTheReaderStopped) {
    // The reader's text after the path, then the inner file and what failed;
    // in JSON its kind and the rejected header's position. The listing shows
    // the decoded header, if any, and rows up to it.
    const struct {
        std::string path, error, where, kind;
        Json position;
        bool header;
        const char* lastRow;  // null: no inner file row
    } cases[] = {
        {Variant("foreign.bin", 0), "Unable to parse header", "", "headerBadIdentity", 0, false,
         nullptr},
        {Variant("outer.bin", 100), "Unable to parse header", "", "headerBadDigest", 0, true,
         nullptr},
        {Variant("bad.bin", 394 + 7), "Header MD5 check failed",
         ": inner file 1 (label \"\", header at 266, data at 394): header and data do not match "
         "the header's digest",
         "innerDigestMismatch", 266, true,
         R"({"index": 1, "offset": 394, "size": 2000, "label": "", "digest": "mismatch"})"},
        {Variant("identity.bin", 266), "Unable to parse inner header",
         ": inner file 1 (header at 266, data at 394): header identity bytes wrong",
         "innerHeaderBadIdentity", 266, true,
         R"({"index": 1, "offset": 394, "size": null, "label": null, "digest": "bad identity"})"},
        {Variant("between.bin", -1, 2394), "Unable to read inner file header",
         ": inner file 2 (header at 2394, data at 2522): header cut short", "innerHeaderUnreadable",
         2394, true, R"({"index": 1, "offset": 394, "size": 2000, "label": "", "digest": "ok"})"},
        {Variant("cut.bin", -1, 2524), "Unable to read bytes",
         ": inner file 2 (label \"q\"uote\\\\ \\x01\\xff\", header at 2394, data at 2522): data "
         "cut short",
         "innerDataTruncated", 2394, true,
         R"({"index": 2, "offset": 2522, "size": 5, "label": {"hex": "7122756f74655c2001ff"},
             "digest": "truncated"})"},
    };
    for (const auto& c : cases) {
        ToolResult result = Inspect({"verify", c.path});
        EXPECT_EQ(result.exitStatus, 1) << c.path;
        EXPECT_EQ(result.err, "upgrade-inspect: " + c.path + ": " + c.error + c.where + "\n");
        EXPECT_EQ(result.out, "") << c.path;
        const Json error = {{"kind", c.kind}, {"position", c.position}, {"message", c.error}};
        ToolResult json = Inspect({"verify", "--json", c.path});
        EXPECT_EQ(json.exitStatus, 1) << c.path;
        EXPECT_EQ(Json::parse(json.out)["error"], error);
        ToolResult list = Inspect({"list", "--json", c.path});
        EXPECT_EQ(list.exitStatus, 1) << c.path;
        const Json listing = Json::parse(list.out);
        EXPECT_EQ(listing["error"], error);
        EXPECT_EQ(listing["header"].is_object(), c.header) << c.path;
        Json last = listing["innerFiles"].empty() ? Json() : listing["innerFiles"].back();
        if (last.is_object()) {
            last.erase("md5");
        }
        EXPECT_EQ(last, c.lastRow != nullptr ? Json::parse(c.lastRow) : Json()) << c.path;
    }
    ToolResult text = Inspect({"list", dir / "cut.bin"});
    EXPECT_NE(text.out.find("Status:        invalid: Unable to read bytes\n"), std::string::npos);
    EXPECT_NE(text.out.find("    2       2522          5  truncated    -  "), std::string::npos)
        << text.out;

    ToolResult verbose = Inspect({"verify", "-v", package});
    EXPECT_EQ(verbose.exitStatus, 0);
    EXPECT_NE(verbose.err.find(" - Version 258\n"), std::string::npos) << verbose.err;
    EXPECT_NE(verbose.err.find(" - Upgrade file size 2015\n"), std::string::npos) << verbose.err;
}

// Several packages: a verdict each, exit 1 when one is not valid (0 when
// all are: SigningTest.KeysFromSeveralFilesAndAFolder).
TEST_F(InspectTest, VerifyTakesSeveralPackages) {
    const std::vector<std::string> packages = {Variant("bad.bin", 394 + 7), dir / "missing",
                                               package};
    std::vector<std::string> args = {"verify"};
    args.insert(args.end(), packages.begin(), packages.end());
    ToolResult text = Inspect(args);
    EXPECT_EQ(text.exitStatus, 1);
    EXPECT_EQ(text.out, package + ": valid, 3 inner files, signature: unsigned\n");
    EXPECT_EQ(std::count(text.err.begin(), text.err.end(), '\n'), 2) << text.err;
    args.insert(args.begin() + 1, "--json");
    ToolResult json = Inspect(args);
    EXPECT_EQ(json.exitStatus, 1);
    const Json verdicts = Json::parse(json.out);
    ASSERT_EQ(verdicts.size(), packages.size());
    for (size_t i = 0; i < packages.size(); ++i) {
        EXPECT_EQ(verdicts[i]["path"], packages[i]);
        EXPECT_EQ(verdicts[i]["valid"], packages[i] == package);
    }
}

// "-": standard input (a file or a pipe) for the readers, standard output for
// extract and mkupgrade -o.
TEST_F(InspectTest, DashIsStandardInputAndOutput) {
    const std::string bytes = ReadBytes(package);
    for (auto kind : {ToolInput::Kind::File, ToolInput::Kind::Pipe}) {
        const ToolInput input{kind, bytes};
        ToolResult listed = Inspect({"list", "-"}, input);
        EXPECT_EQ(listed.exitStatus, 0) << listed.err;
        EXPECT_NE(listed.out.find(Md5Hex(Pattern(2000, 2))), std::string::npos);
        EXPECT_EQ(Inspect({"verify", "-"}, input).out,
                  "-: valid, 3 inner files, signature: unsigned\n");
        EXPECT_EQ(Inspect({"diff", "-", package}, input).exitStatus, 0);
        ToolResult extracted = Inspect({"extract", "-", "1", "-"}, input);
        EXPECT_EQ(extracted.exitStatus, 0) << extracted.err;
        EXPECT_TRUE(extracted.out == Pattern(2000, 2));
        const std::string folder = dir / ("unpacked" + std::to_string(static_cast<int>(kind)));
        EXPECT_EQ(Inspect({"unpack", "-", folder}, input).exitStatus, 0);
        EXPECT_TRUE(ReadBytes(folder + "/1") == Pattern(2000, 2));
    }
    ToolResult toStdout = Mkupgrade(WithFields({"-o", "-", "--label", "first", dir / "a", dir / "b",
                                                "--label", "q\"uote\\ \x01\xff", dir / "c"}));
    EXPECT_EQ(toStdout.exitStatus, 0) << toStdout.err;
    EXPECT_TRUE(toStdout.out == bytes);
}

TEST_F(InspectTest, CommandLineMistakesAreUsageErrors) {
    const std::vector<std::vector<std::string>> mistakes = {{},
                                                            {"frobnicate", package},
                                                            {"verify"},
                                                            {"--json", "verify", package},
                                                            {"diff", package},
                                                            {"diff", "-", "-"},
                                                            {"extract", package, "1"}};
    for (const auto& args : mistakes) {
        ToolResult result = Inspect(args);
        EXPECT_EQ(result.exitStatus, 2) << result.err;
        EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << result.err;
    }
    EXPECT_EQ(Inspect({"frobnicate", package}).err,
              "upgrade-inspect: unknown command 'frobnicate' (commands: list, verify, extract, "
              "unpack, diff, plan) (try --help)\n");
}

// extract takes an index or a label; what it cannot select is named.
TEST_F(InspectTest, ExtractSelectsByIndexOrLabel) {
    ToolResult built =
        Mkupgrade(WithFields({"-o", dir / "twice.bin", "--label", "first", dir / "a", "--label",
                              "same", dir / "b", "--label", "same", dir / "c"}));
    ASSERT_EQ(built.exitStatus, 0) << built.err;
    const std::string twice = dir / "twice.bin";
    const struct {
        std::string which;
        std::string data, error;  // error empty: extracted
    } cases[] = {
        {"first", Pattern(10, 1), ""},
        {"0x2", Pattern(5, 3), ""},
        {"same", "", "the label \"same\" is ambiguous: inner files 1 2 have it; give an index"},
        {"3", "", "no inner file 3: the package has 3 inner files, numbered 0 to 2"},
        {"4294967296", "",
         "no inner file is labelled \"4294967296\" (the package has 3 inner files, numbered 0 to "
         "2)"},
    };
    for (const auto& c : cases) {
        ToolResult result = Inspect({"extract", twice, c.which, dir / "new"});
        EXPECT_EQ(result.exitStatus, c.error.empty() ? 0 : 1) << c.which;
        EXPECT_EQ(result.err,
                  c.error.empty() ? "" : "upgrade-inspect: " + twice + ": " + c.error + "\n");
        EXPECT_EQ(ReadBytes(dir / "new"), c.data) << c.which;
        ::unlink((dir / "new").c_str());
    }
}

}  // namespace
}  // namespace qx::testing
