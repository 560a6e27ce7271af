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

// Where the pass stopped, as the reader reports it: the error's kind, the
// position of the rejected header, and the rows up to that header.
TEST_F(InspectTest, ListOfADamagedPackageShowsWhereThePassStopped) {
    const struct {
        std::string package;
        const char* kind;
        int position;
        const char* lastRow;  // null: no inner file row
        bool header;
    } cases[] = {
        // A data byte of inner file 1 changed: file 0 ok, file 1 mismatch, file 2 not reached.
        {Variant("bad.bin", 394 + 7), "innerDigestMismatch", 266,
         R"({"index": 1, "offset": 394, "size": 2000, "label": "", "digest": "mismatch"})", true},
        // Cut inside the data of inner file 2.
        {Variant("cut.bin", -1, 2524), "innerDataTruncated", 2394,
         R"({"index": 2, "offset": 2522, "size": 5, "label": "q\"uote\\ \u0001\u00ff",
             "digest": "truncated"})",
         true},
        // Inner file 1 is not an inner header: nothing of it is decoded.
        {Variant("identity.bin", 266), "innerHeaderBadIdentity", 266,
         R"({"index": 1, "offset": 394, "size": null, "label": null, "digest": "bad identity"})",
         true},
        // An outer header whose digest fails still shows its decoded fields.
        {Variant("outer.bin", 100), "headerBadDigest", 0, nullptr, true},
        // Not a package at all: no header is shown.
        {Variant("foreign.bin", 0), "headerBadIdentity", 0, nullptr, false},
    };
    for (const auto& c : cases) {
        ToolResult result = Inspect({"list", "--json", c.package});
        EXPECT_EQ(result.exitStatus, 1) << c.package;
        const Json listing = Json::parse(result.out);
        EXPECT_EQ(listing["error"]["kind"], c.kind) << c.package;
        EXPECT_EQ(listing["error"]["position"], c.position) << c.package;
        EXPECT_EQ(listing["header"].is_object(), c.header) << c.package;
        if (c.lastRow != nullptr) {
            EXPECT_EQ(listing["innerFiles"].back(), Json::parse(c.lastRow)) << c.package;
        } else {
            EXPECT_TRUE(listing["innerFiles"].empty()) << c.package;
        }
    }
    ToolResult text = Inspect({"list", cases[1].package});
    EXPECT_NE(text.out.find("Status:        invalid: Unable to read bytes\n"), std::string::npos);
    EXPECT_NE(text.out.find("    2       2522          5  truncated"), std::string::npos);
    text = Inspect({"list", cases[2].package});
    EXPECT_NE(text.out.find("    1        394          -  bad identity -\n"), std::string::npos)
        << text.out;
}

TEST_F(InspectTest, VerifyReportsTheReadersErrorText) {
    ToolResult good = Inspect({"verify", package});
    EXPECT_EQ(good.exitStatus, 0) << good.err;
    EXPECT_EQ(good.err, "");
    ToolResult goodJson = Inspect({"verify", "--json", package});
    EXPECT_EQ(Json::parse(goodJson.out),
              Json::parse(R"({"path": ")" + package +
                          R"(", "valid": true, "innerFiles": 3, "error": null})"));

    // The reader's own text after the path; its kind and the position of the
    // rejected header in JSON (the reader's table is tested there).
    const struct {
        std::string path, error, kind;
        Json position;
    } cases[] = {
        {dir.path(), "Unable to read header bytes", "headerUnreadable", 0},
        {Variant("outer.bin", 10), "Unable to parse header", "headerBadDigest", 0},
        {Variant("data.bin", 2522 + 4), "Header MD5 check failed", "innerDigestMismatch", 2394},
        {Variant("between.bin", -1, 2394), "Unable to read inner file header",
         "innerHeaderUnreadable", 2394},
        {dir / "missing.bin",
         "Couldn't open file " + dir / "missing.bin" + ": error: No such file or directory",
         "openFailed", nullptr},
    };
    for (const auto& c : cases) {
        ToolResult result = Inspect({"verify", c.path});
        EXPECT_EQ(result.exitStatus, 1) << c.path;
        EXPECT_EQ(result.err, "upgrade-inspect: " + c.path + ": " + c.error + "\n");
        EXPECT_EQ(result.out, "") << c.path;
        ToolResult json = Inspect({"verify", "--json", c.path});
        EXPECT_EQ(json.exitStatus, 1) << c.path;
        EXPECT_EQ(Json::parse(json.out)["error"],
                  (Json{{"kind", c.kind}, {"position", c.position}, {"message", c.error}}));
    }

    // Bytes after the last inner file are never read.
    ToolResult trailing = Inspect({"verify", Variant("trailing.bin", -1, 2527 + 9)});
    EXPECT_EQ(trailing.exitStatus, 0) << trailing.err;

    // --verbose shows the reader's log lines, as the device would log them;
    // without it the tool's own output shows alone.
    ToolResult verbose = Inspect({"verify", "-v", package});
    EXPECT_EQ(verbose.exitStatus, 0);
    EXPECT_NE(verbose.err.find(" - Version 258\n"), std::string::npos) << verbose.err;
    EXPECT_NE(verbose.err.find(" - Upgrade file size 2015\n"), std::string::npos) << verbose.err;
}

// Extraction is the reader's (and every inner file comes back in the
// mkupgrade test); here: its refusals reach the user and make no file.
TEST_F(InspectTest, ExtractRefusalsMakeNoFile) {
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
