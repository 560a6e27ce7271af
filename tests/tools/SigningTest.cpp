// Keys, signing and signature checks through mkupgrade and upgrade-inspect.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "ToolFixture.h"
#include "support/Md5Hex.h"

namespace qx::testing {
namespace {

class SigningTest : public ToolTest {
  protected:
    void SetUp() override {
        for (const char* name : {"team", "other"}) {
            ToolResult made = Mkupgrade({"--generate-key", dir / name});
            ASSERT_EQ(made.exitStatus, 0) << made.err;
        }
        WriteBytes(dir / "a", Pattern(3000, 1));
        WriteBytes(dir / "b", Pattern(700, 2));
        ASSERT_EQ(BuildSigned("plain.bin", {}).exitStatus, 0);
        ASSERT_EQ(BuildSigned("signed.bin", {"--sign", dir / "team.key"}).exitStatus, 0);
    }

    ToolResult BuildSigned(const std::string& name, const std::vector<std::string>& extra) {
        std::vector<std::string> args = WithFields({"-o", dir / name, dir / "a", dir / "b"});
        args.insert(args.end(), extra.begin(), extra.end());
        return Mkupgrade(args);
    }

    std::string Variant(const std::string& name, std::string bytes) {
        WriteBytes(dir / name, bytes);
        return dir / name;
    }
};

// What follows the last inner file, told alike without a key (list, verify)
// and with one: the state and key id are the same, and what no key can make
// valid says so in both.
TEST_F(SigningTest, OneVerdictWithAndWithoutKey) {
    const std::string plain = ReadBytes(dir / "plain.bin"), signed_ = ReadBytes(dir / "signed.bin");
    const std::string keyId = ReadBytes(dir / "team.pub").substr(22, 16);
    std::string flipped = signed_;
    flipped[signed_.size() - 5] ^= 0x01;
    const struct {
        std::string name, bytes;
        Json state, keyId;
        const char* text;       // verify's phrase without a key
        const char* keyedKind;  // with team.pub (null: valid)
    } cases[] = {
        {"unsigned", plain, "unsigned", nullptr, "unsigned", "notSigned"},
        {"signed", signed_, "signed", keyId, "signed by key KEYID (not checked)", nullptr},
        {"flipped", flipped, "signed", keyId, "signed by key KEYID (not checked)",
         "signatureInvalid"},
        {"plus one byte", signed_ + "\n", "blockAndMore", keyId,
         "a signature block by key KEYID and 1 bytes after it: not valid with any key",
         "signatureInvalid"},
        {"cut block", signed_.substr(0, signed_.size() - 1), "cutBlock", nullptr,
         "a malformed signature block (79 of 80 bytes): not valid with any key",
         "signatureInvalid"},
        {"two blocks", signed_ + signed_.substr(plain.size()), "blockAndMore", keyId,
         "a signature block by key KEYID and 80 bytes after it: not valid with any key",
         "signatureInvalid"},
        {"other bytes", plain + "tail", "unsigned", nullptr,
         "unsigned (4 bytes after the last inner file, no signature block)", "notSigned"},
    };
    for (const auto& c : cases) {
        const std::string path = Variant("v.bin", c.bytes);
        ToolResult text = Inspect({"verify", path});
        std::string phrase = c.text;
        if (phrase.find("KEYID") != std::string::npos) {
            phrase.replace(phrase.find("KEYID"), 5, keyId);
        }
        EXPECT_EQ(text.out, path + ": valid, 2 inner files, signature: " + phrase + "\n") << c.name;
        EXPECT_NE(Inspect({"list", path}).out.find("Signature:     " + phrase + "\n"),
                  std::string::npos)
            << c.name;
        const Json bare = Json::parse(Inspect({"verify", "--json", path}).out)["signature"];
        ToolResult keyed = Inspect({"verify", "--json", "--key", dir / "team.pub", path});
        EXPECT_EQ(keyed.exitStatus, c.keyedKind == nullptr ? 0 : 1) << c.name;
        const Json verdict = Json::parse(keyed.out);
        for (const Json& signature : {bare, verdict["signature"]}) {
            EXPECT_EQ(signature["state"], c.state) << c.name;
            EXPECT_EQ(signature["keyId"], c.keyId) << c.name;
        }
        EXPECT_EQ(bare["valid"], Json()) << c.name;
        EXPECT_EQ(verdict["signature"]["valid"], c.keyedKind == nullptr) << c.name;
        EXPECT_EQ(verdict["error"].is_null() ? Json() : verdict["error"]["kind"],
                  c.keyedKind != nullptr ? Json(c.keyedKind) : Json())
            << c.name;
    }
}

// --key several times, or --keys DIR read as the router reads its trust
// store: a damaged file, another user's, one writable by others, a link and
// a FIFO are ignored (a line each); the team's own key still counts.
TEST_F(SigningTest, KeysFromSeveralFilesAndAFolder) {
    const std::string keys = dir / "keys";
    ::mkdir(keys.c_str(), 0755);
    WriteBytes(keys + "/damaged.pub", "nonsense\n");
    WriteBytes(keys + "/foreign.pub", ReadBytes(dir / "other.pub"));
    ASSERT_EQ(::chown((keys + "/foreign.pub").c_str(), 1000, 1000), 0);
    WriteBytes(keys + "/open.pub", ReadBytes(dir / "other.pub"));
    ::chmod((keys + "/open.pub").c_str(), 0666);
    ASSERT_EQ(::symlink((dir / "other.pub").c_str(), (keys + "/link.pub").c_str()), 0);
    ASSERT_EQ(::mkfifo((keys + "/pipe.pub").c_str(), 0644), 0);
    WriteBytes(keys + "/README", "not a key");
    const std::string signedByOther = dir / "other.bin";
    ASSERT_EQ(BuildSigned("other.bin", {"--sign", dir / "other.key"}).exitStatus, 0);

    ToolResult refused = Inspect({"verify", "--keys", keys, signedByOther});
    EXPECT_EQ(refused.exitStatus, 1);
    for (const std::string& line :
         {"ignoring key file " + keys + "/damaged.pub: not a public key file",
          "ignoring key file " + keys + "/foreign.pub: not owned by root",
          "ignoring key file " + keys + "/open.pub: writable by group or others",
          "ignoring key file " + keys + "/link.pub: a link",
          "ignoring key file " + keys + "/pipe.pub: not a regular file",
          signedByOther + ": Package signed by an unknown key"}) {
        EXPECT_NE(refused.err.find("upgrade-inspect: " + line + "\n"), std::string::npos)
            << line << "\n"
            << refused.err;
    }
    EXPECT_EQ(std::count(refused.err.begin(), refused.err.end(), '\n'), 6) << refused.err;
    WriteBytes(keys + "/team.pub", ReadBytes(dir / "team.pub"));
    EXPECT_EQ(Inspect({"verify", "--keys", keys, dir / "signed.bin"}).exitStatus, 0);
    EXPECT_EQ(Inspect({"verify", "--keys", keys, dir / "plain.bin"}).exitStatus, 1);
    const struct {
        std::vector<std::string> args;
        int status;
    } runs[] = {
        {{"--key", dir / "team.pub", "--key", dir / "other.pub"}, 0},
        {{"--key", dir / "other.pub"}, 1},
        {{"--keys", dir / "missing"}, 1},  // no store: refused, not "accept all"
    };
    for (const auto& run : runs) {
        std::vector<std::string> args = {"verify"};
        args.insert(args.end(), run.args.begin(), run.args.end());
        args.insert(args.end(), {dir / "signed.bin", signedByOther});
        EXPECT_EQ(Inspect(args).exitStatus, run.status) << args[2];
    }
}

// diff: each header field, inner header field, inner file's data and what
// follows the last inner file that differs, where the router would see it;
// 0 only for byte-identical packages, 1 different, 2 trouble.
TEST_F(SigningTest, DiffTellsEveryDifference) {
    ASSERT_EQ(BuildSigned("other.bin", {"--sign", dir / "other.key"}).exitStatus, 0);
    ASSERT_EQ(BuildSigned("longer.bin", {dir / "b"}).exitStatus, 0);
    WriteBytes(dir / "b2", Pattern(701, 2));
    ASSERT_EQ(Mkupgrade(WithFields(
                            {"-o", dir / "changed.bin", dir / "a", "--label", "k\x01", dir / "b2"}))
                  .exitStatus,
              0);
    const std::string plain = ReadBytes(dir / "plain.bin"), signed_ = ReadBytes(dir / "signed.bin");
    const std::string team = ReadBytes(dir / "team.pub").substr(22, 16);
    const std::string other = ReadBytes(dir / "other.pub").substr(22, 16);
    std::string spare = plain;  // inner file 1's header (at 3256): a spare word, resealed
    spare[3256 + 7] = 0x05;
    Reseal(spare, 3256, 700);
    Variant("appended.bin", signed_ + std::string(1000, 'x'));
    Variant("spare.bin", spare);
    Variant("copy.bin", plain);
    std::string bad = plain;
    bad[3256 + 128 + 7] ^= 0x01;
    Variant("bad.bin", bad);
    const struct {
        std::string first, second;
        int status;
        std::vector<std::string> lines;
    } pairs[] = {
        {"plain.bin", "copy.bin", 0, {}},
        {"plain.bin",
         "changed.bin",
         1,
         {"header fileSize: 3700 -> 3701", "inner file 1 header label: \"\" -> \"k\\x01\"",
          "inner file 1 header fileSize: 700 -> 701",
          "inner file 1 data: md5 " + Md5Hex(Pattern(700, 2)) +
              " (first difference at data byte 700) -> md5 " + Md5Hex(Pattern(701, 2))}},
        {"plain.bin",
         "longer.bin",
         1,
         {"header fileSize: 3700 -> 4400", "inner file 2: none -> label \"\", size 700"}},
        {"plain.bin", "bad.bin", 2, {}},
        {"plain.bin",
         "signed.bin",
         1,
         {"after the last inner file: unsigned -> signed by key " + team}},
        {"signed.bin",
         "other.bin",
         1,
         {"after the last inner file: signed by key " + team + " -> signed by key " + other}},
        {"signed.bin",
         "appended.bin",
         1,
         {"after the last inner file: signed by key " + team + " -> a signature block by key " +
          team + " and 1000 bytes after it"}},
        {"plain.bin", "spare.bin", 1, {"inner file 1 header spareWord1: 0 -> 5"}},
    };
    for (const auto& pair : pairs) {
        ToolResult text = Inspect({"diff", dir / pair.first, dir / pair.second});
        EXPECT_EQ(text.exitStatus, pair.status) << pair.second << text.err;
        for (const std::string& line : pair.lines) {
            EXPECT_NE(text.out.find(line + "\n"), std::string::npos) << line << "\n" << text.out;
        }
        EXPECT_EQ(text.err.empty(), pair.status != 2) << text.err;
        ToolResult json = Inspect({"diff", "--json", dir / pair.first, dir / pair.second});
        EXPECT_EQ(json.exitStatus, pair.status);
        EXPECT_EQ(json.out.empty() ? Json() : Json::parse(json.out)["same"],
                  pair.status == 2 ? Json() : Json(pair.status == 0));
    }
}

TEST_F(SigningTest, BadKeysAreRefusedAndNothingIsWritten) {
    WriteBytes(dir / "bad.key", "qx-upgrade-secret-key 0011\n");
    ::chmod((dir / "bad.key").c_str(), 0600);
    ::mkdir((dir / "folder.key").c_str(), 0755);
    const std::string missing = dir / "missing.key";
    WriteBytes(dir / "shared.key", ReadBytes(dir / "team.key"));
    ::chmod((dir / "shared.key").c_str(), 0640);
    WriteBytes(dir / "theirs.key", ReadBytes(dir / "team.key"));
    ::chmod((dir / "theirs.key").c_str(), 0600);
    ASSERT_EQ(::chown((dir / "theirs.key").c_str(), 1000, 1000), 0);
    const struct {
        bool sign;  // --sign for mkupgrade, else --key for verify
        std::string key, error;
    } cases[] = {
        {true, missing, "cannot read key " + missing + ": No such file or directory"},
        {true, dir / "folder.key",
         "cannot read key " + dir / "folder.key" + ": not a regular file"},
        {true, dir / "team.pub", "key " + dir / "team.pub" + ": a public key, not a secret key"},
        {true, dir / "bad.key", "key " + dir / "bad.key" + ": malformed secret key"},
        {true, dir / "shared.key",
         "key " + dir / "shared.key" +
             " has mode 0640: a secret key that group or others may access is not used (chmod "
             "600 " +
             dir / "shared.key" + ")"},
        {true, dir / "theirs.key",
         "key " + dir / "theirs.key" + " is owned by uid 1000, not by you (uid 0): it is not used"},
        {false, dir / "team.key", "key " + dir / "team.key" + ": a secret key, not a public key"},
        {false, dir / "missing.pub",
         "cannot read key " + dir / "missing.pub" + ": No such file or directory"},
    };
    for (const auto& c : cases) {
        ToolResult result = c.sign ? BuildSigned("out.bin", {"--sign", c.key})
                                   : Inspect({"verify", "--key", c.key, dir / "signed.bin"});
        EXPECT_EQ(result.exitStatus, 1) << c.key;
        EXPECT_EQ(result.err, (c.sign ? "mkupgrade: " : "upgrade-inspect: ") + c.error + "\n");
        EXPECT_EQ(result.out, "") << c.key;
        EXPECT_FALSE(std::filesystem::exists(dir / "out.bin")) << c.key;
    }

    // Never onto an existing file, not even half of a pair.
    const std::string before = ReadBytes(dir / "team.key");
    WriteBytes(dir / "half.pub", "mine");
    for (const std::string& name : {dir / "team", dir / "half"}) {
        ToolResult again = Mkupgrade({"--generate-key", name});
        EXPECT_EQ(again.exitStatus, 1) << name;
        EXPECT_NE(again.err.find("already exists"), std::string::npos) << again.err;
    }
    EXPECT_EQ(ReadBytes(dir / "team.key"), before);
    EXPECT_EQ(ReadBytes(dir / "half.pub"), "mine");
    EXPECT_FALSE(std::filesystem::exists(dir / "half.key"));
    EXPECT_EQ(Mkupgrade({"--generate-key", dir / "x", "-o", dir / "out.bin"}).exitStatus, 2);
}

TEST_F(SigningTest, UnpackAndRebuildKeepOrDropTheSignature) {
    const std::string signed_ = ReadBytes(dir / "signed.bin");
    ASSERT_EQ(Inspect({"unpack", dir / "signed.bin", dir / "fw"}).exitStatus, 0);
    const std::string manifest = dir / "fw/manifest.json";
    ToolResult same = Mkupgrade({"--manifest", manifest, "-o", dir / "same.bin"});
    EXPECT_EQ(same.exitStatus, 0) << same.err;
    EXPECT_EQ(same.err, "");
    EXPECT_TRUE(ReadBytes(dir / "same.bin") == signed_);

    WriteBytes(dir / "fw/1", "changed");
    // A rebuild that would drop the signature fails unless told to.
    ToolResult stale = Mkupgrade({"--manifest", manifest, "-o", dir / "stale.bin"});
    EXPECT_EQ(stale.exitStatus, 1) << stale.err;
    EXPECT_NE(stale.err.find("its signature would be dropped"), std::string::npos) << stale.err;
    EXPECT_EQ(std::count(stale.err.begin(), stale.err.end(), '\n'), 1);
    EXPECT_FALSE(std::filesystem::exists(dir / "stale.bin"));
    ToolResult dropped = Mkupgrade({"--manifest", manifest, "--unsigned", "-o", dir / "stale.bin"});
    EXPECT_EQ(dropped.exitStatus, 0) << dropped.err;
    EXPECT_EQ(Inspect({"verify", "--key", dir / "team.pub", dir / "stale.bin"}).err,
              "upgrade-inspect: " + dir / "stale.bin" + ": Package is not signed\n");

    ToolResult resigned =
        Mkupgrade({"--manifest", manifest, "--sign", dir / "other.key", "-o", dir / "new.bin"});
    EXPECT_EQ(resigned.exitStatus, 0) << resigned.err;
    EXPECT_EQ(resigned.err, "");
    EXPECT_EQ(Inspect({"verify", "--key", dir / "other.pub", dir / "new.bin"}).exitStatus, 0);

    // A trailer and a signature cannot both end a package.
    ASSERT_EQ(
        Inspect({"unpack", Variant("t.bin", ReadBytes(dir / "plain.bin") + "tail"), dir / "t"})
            .exitStatus,
        0);
    ToolResult both = Mkupgrade({"--manifest", dir / "t/manifest.json", "--sign", dir / "team.key",
                                 "-o", dir / "both.bin"});
    EXPECT_EQ(both.exitStatus, 1);
    EXPECT_FALSE(std::filesystem::exists(dir / "both.bin"));
}

}  // namespace
}  // namespace qx::testing
