// unpack + mkupgrade --manifest: byte-exact round trips of odd packages, refusals.
#include <sys/stat.h>

#include <functional>
#include <string>
#include <vector>

#include "ToolFixture.h"

namespace qx::testing {
namespace {

class RoundTripTest : public ToolTest {
  protected:
    std::string RoundTrip(const std::string& name, const std::string& bytes) {
        WriteBytes(dir / (name + ".pkg"), bytes);
        ToolResult unpacked = Inspect({"unpack", dir / (name + ".pkg"), dir / name});
        EXPECT_EQ(unpacked.exitStatus, 0) << name << ": " << unpacked.err;
        ToolResult built =
            Mkupgrade({"--manifest", dir / (name + "/manifest.json"), "-o", dir / (name + ".out")});
        EXPECT_EQ(built.exitStatus, 0) << name << ": " << built.err;
        return ReadBytes(dir / (name + ".out"));
    }
};

// Valid packages mkupgrade cannot make: ignored header bytes set, digests resealed.
TEST_F(RoundTripTest, OddButValidPackagesComeBackByteForByte) {
    using Patch = std::function<void(std::string&)>;
    auto sealed = [](std::vector<std::string> datas, const package::OuterFields& outer,
                     const Patch& patch) {
        std::string bytes = Build(datas, outer);
        patch(bytes);
        std::size_t at = 128;
        for (const std::string& data : datas) {
            Reseal(bytes, at, data.size());
            at += 128 + data.size();
        }
        Reseal(bytes, 0);
        return bytes;
    };
    const package::OuterFields full = {
        0xFFFF,      std::string(32, 'N'), std::string(16, 'R'), "20261206",
        0xFFFFFFFFu, "12345678",           "abcdefgh",           0x01020304};
    const struct {
        const char* name;
        std::string package;
    } cases[] = {
        {"one-empty", Build({""})},
        {"empty-first-and-between", Build({"", "a", "", Pattern(1025)})},
        {"full-texts-and-spare-words", sealed({"x"}, full,
                                              [](std::string& b) {
                                                  b.replace(128 + 16, 32, std::string(32, 'L'));
                                                  PutWord(b, 128 + 4, 0xA0B0C0D0u);
                                                  PutWord(b, 128 + 8, 7);
                                              })},
        // Reserved bytes of the outer header and of the inner ones are kept apart.
        {"reserved-outer-only", sealed({"x"}, SampleOuter(),
                                       [](std::string& b) {
                                           b[92] = '\x01';
                                           b[111] = '\xff';
                                       })},
        {"reserved-inner-only", sealed({"x", "yz"}, SampleOuter(),
                                       [](std::string& b) {
                                           b[128 + 48] = 'r';
                                           b[128 + 111] = '\x80';
                                           b[257 + 60] = '\x02';
                                       })},
        {"bytes-after-terminators", sealed({"x"}, SampleOuter(),
                                           [](std::string& b) {
                                               b[8 + 20] = '\x7f';         // upgrade name
                                               b[40 + 12] = '\xaa';        // release name
                                               b[68 + 2] = 'q';            // spare text 1
                                               b[128 + 16 + 31] = '\x05';  // label
                                           })},
        {"non-ascii-texts",
         Build({"x"}, {1, "\xc3\xa9t\xc3\xa9", "tab\there", "\x01", 2, "", "", 0})},
        {"trailing-bytes", Build({"abc"}) + "signature"},
    };
    for (const auto& c : cases) {
        EXPECT_TRUE(RoundTrip(c.name, c.package) == c.package) << c.name;
        EXPECT_EQ(Inspect({"verify", dir / (std::string(c.name) + ".pkg")}).exitStatus, 0)
            << c.name << " must be a valid package";
    }
    // Fields that are not plain text are kept as hexadecimal bytes.
    const Json manifest = Json::parse(ReadBytes(dir / "bytes-after-terminators/manifest.json"));
    EXPECT_EQ(manifest["header"]["spareText1"], Json::parse(R"({"hex": "000071"})"));
    EXPECT_EQ(Json::parse(ReadBytes(dir / "trailing-bytes/manifest.json"))["trailer"], "trailer");
}

// One stderr line, exit 1, nothing written: no package, folder or temporary file.
TEST_F(RoundTripTest, BadManifestsAndTargetsAreRefused) {
    WriteBytes(dir / "a", "data");
    ASSERT_EQ(Mkupgrade(WithFields({"-o", dir / "pkg", dir / "a"})).exitStatus, 0);
    ASSERT_EQ(Inspect({"unpack", dir / "pkg", dir / "good"}).exitStatus, 0);
    const std::string good = ReadBytes(dir / "good/manifest.json");
    auto edited = [&](const std::function<void(Json&)>& edit) {
        Json manifest = Json::parse(good);
        edit(manifest);
        return manifest.dump();
    };
    const std::string m = dir / "good/m.json";
    const std::pair<std::string, std::string> manifests[] = {
        {edited([](Json& j) { j["innerFiles"][0]["file"] = "missing"; }),
         dir / "good/missing" + ": No such file or directory"},
        {edited([](Json& j) { j["header"]["colour"] = "red"; }),
         m + ": header: unknown field \"colour\""},
        {edited([](Json& j) { j["innerFiles"][0]["size"] = 4; }),
         m + ": innerFiles[0]: unknown field \"size\""},
        {edited([](Json& j) { j["extra"] = 1; }), m + ": manifest: unknown field \"extra\""},
        {edited([](Json& j) { j["header"].erase("fileDate"); }),
         m + ": header: missing field \"fileDate\""},
        {edited([](Json& j) { j["header"]["version"] = 65536; }),
         m + ": header.version: must be a whole number from 0 to 65535"},
        {edited([](Json& j) { j["header"]["upgradeId"] = "5"; }),
         m + ": header.upgradeId: must be a whole number from 0 to 4294967295"},
        {edited([](Json& j) {
             j["header"]["fileDate"] = {{"hex", "0g"}};
         }),
         m + ": header.fileDate: must be a text or {\"hex\": \"...\"} with two hexadecimal "
             "digits per byte"},
        {"{\"header\": ", m + ": parse error at line 1, column 12: syntax error while parsing "
                              "value - unexpected end of input; expected '[', '{', or a literal"},
    };
    for (const auto& [text, error] : manifests) {
        WriteBytes(m, text);
        ToolResult result = Mkupgrade({"--manifest", m, "-o", dir / "out"});
        EXPECT_EQ(result.exitStatus, 1) << text;
        EXPECT_EQ(result.err, "mkupgrade: " + error + "\n") << text;
    }

    // A file as unpack's folder, a broken package as its input: FileArgumentTest.
    ASSERT_EQ(::mkdir((dir / "full").c_str(), 0755), 0);
    WriteBytes(dir / "full/keep", "mine");
    ToolResult full = Inspect({"unpack", dir / "pkg", dir / "full"});
    EXPECT_EQ(full.exitStatus, 1);
    EXPECT_EQ(full.err, "upgrade-inspect: " + dir / "full is not empty\n");
    EXPECT_EQ(Names(dir.path()), (std::vector<std::string>{"a", "full", "good", "pkg"}));
    EXPECT_EQ(Names(dir / "full"), std::vector<std::string>{"keep"});
}

}  // namespace
}  // namespace qx::testing
