// upgrade-inspect as a program: listing, verdicts with the reader's texts, extraction.
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
    const Json listing = Json::parse(json.out);
    EXPECT_EQ(listing["valid"], true);
    EXPECT_TRUE(listing["error"].is_null());
    EXPECT_EQ(listing["header"]["version"], 258);
    EXPECT_EQ(listing["header"]["upgradeName"], "qx router");
    EXPECT_EQ(listing["header"]["fileSize"], 2015);
    EXPECT_EQ(listing["header"]["digest"], "ok");
    EXPECT_EQ(listing["innerFiles"][0],
              Json::parse(R"({"index": 0, "offset": 256, "size": 10, "label": "first",
                              "digest": "ok"})"));
    // Any bytes: each byte reads back as the character of the same number.
    EXPECT_EQ(listing["innerFiles"][2]["label"], "q\"uote\\ \x01\u00ff");
    EXPECT_NE(json.out.find("\\u00ff"), std::string::npos) << "output is ASCII";
}

TEST_F(InspectTest, VerifyAndListReportWhereTheReaderStopped) {
    ToolResult good = Inspect({"verify", package});
    EXPECT_EQ(good.exitStatus, 0) << good.err;
    EXPECT_EQ(good.err, "");
    ToolResult goodJson = Inspect({"verify", "--json", package});
    EXPECT_EQ(Json::parse(goodJson.out),
              Json::parse(R"({"path": ")" + package +
                          R"(", "valid": true, "innerFiles": 3, "error": null,
                              "signature": {"keyId": null, "valid": null}})"));

    // The reader's text after the path; in JSON its kind and the rejected header's
    // position. The listing shows the decoded header, if any, and rows up to it.
    const struct {
        std::string path, error, kind;
        Json position;
        bool header;
        const char* lastRow;  // null: no inner file row
    } cases[] = {
        {dir.path(), "Unable to read header bytes", "headerUnreadable", 0, false, nullptr},
        {dir / "missing.bin",
         "Couldn't open file " + dir / "missing.bin" + ": error: No such file or directory",
         "openFailed", nullptr, false, nullptr},
        {Variant("foreign.bin", 0), "Unable to parse header", "headerBadIdentity", 0, false,
         nullptr},
        {Variant("outer.bin", 100), "Unable to parse header", "headerBadDigest", 0, true, nullptr},
        {Variant("bad.bin", 394 + 7), "Header MD5 check failed", "innerDigestMismatch", 266, true,
         R"({"index": 1, "offset": 394, "size": 2000, "label": "", "digest": "mismatch"})"},
        {Variant("identity.bin", 266), "Unable to parse inner header", "innerHeaderBadIdentity",
         266, true,
         R"({"index": 1, "offset": 394, "size": null, "label": null, "digest": "bad identity"})"},
        {Variant("between.bin", -1, 2394), "Unable to read inner file header",
         "innerHeaderUnreadable", 2394, true,
         R"({"index": 1, "offset": 394, "size": 2000, "label": "", "digest": "ok"})"},
        {Variant("cut.bin", -1, 2524), "Unable to read bytes", "innerDataTruncated", 2394, true,
         R"({"index": 2, "offset": 2522, "size": 5, "label": "q\"uote\\ \u0001\u00ff",
             "digest": "truncated"})"},
    };
    for (const auto& c : cases) {
        ToolResult result = Inspect({"verify", c.path});
        EXPECT_EQ(result.exitStatus, 1) << c.path;
        EXPECT_EQ(result.err, "upgrade-inspect: " + c.path + ": " + c.error + "\n");
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
        EXPECT_EQ(listing["innerFiles"].empty() ? Json() : listing["innerFiles"].back(),
                  c.lastRow != nullptr ? Json::parse(c.lastRow) : Json())
            << c.path;
    }
    ToolResult text = Inspect({"list", dir / "cut.bin"});
    EXPECT_NE(text.out.find("Status:        invalid: Unable to read bytes\n"), std::string::npos);
    EXPECT_NE(text.out.find("    2       2522          5  truncated"), std::string::npos);
    text = Inspect({"list", dir / "identity.bin"});
    EXPECT_NE(text.out.find("    1        394          -  bad identity -\n"), std::string::npos)
        << text.out;

    ToolResult trailing = Inspect({"verify", Variant("trailing.bin", -1, 2527 + 9)});
    EXPECT_EQ(trailing.exitStatus, 0) << trailing.err;

    ToolResult verbose = Inspect({"verify", "-v", package});
    EXPECT_EQ(verbose.exitStatus, 0);
    EXPECT_NE(verbose.err.find(" - Version 258\n"), std::string::npos) << verbose.err;
    EXPECT_NE(verbose.err.find(" - Upgrade file size 2015\n"), std::string::npos) << verbose.err;
}

// Extraction itself is the reader's; here its refusals reach the user, make no file.
TEST_F(InspectTest, ExtractRefusalsMakeNoFile) {
    ToolResult beyond = Inspect({"extract", package, "3", dir / "none"});
    EXPECT_EQ(beyond.exitStatus, 1);
    EXPECT_EQ(beyond.err.rfind("upgrade-inspect: Invalid offset", 0), 0u) << beyond.err;
    EXPECT_NE(::access((dir / "none").c_str(), F_OK), 0);

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
