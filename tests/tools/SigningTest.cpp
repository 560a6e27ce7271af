// Keys, signing and signature checks through mkupgrade and upgrade-inspect.
#include <sys/stat.h>

#include <string>
#include <vector>

#include "ToolFixture.h"

namespace qx::testing {
namespace {

constexpr std::size_t kBlock = 80;

bool Exists(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

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

TEST_F(SigningTest, KeyFilesAndSignedBuilds) {
    struct stat secret {
    }, pub{};
    ASSERT_EQ(::stat((dir / "team.key").c_str(), &secret), 0);
    ASSERT_EQ(::stat((dir / "team.pub").c_str(), &pub), 0);
    EXPECT_EQ(secret.st_mode & 0777, 0600u);
    EXPECT_EQ(pub.st_mode & 0777, 0644u);
    const std::string pubText = ReadBytes(dir / "team.pub");
    ASSERT_EQ(pubText.size(), 22u + 16 + 1 + 64 + 1) << pubText;
    const std::string keyId = pubText.substr(22, 16);
    EXPECT_EQ(ReadBytes(dir / "team.key").substr(0, 38), "qx-upgrade-secret-key " + keyId);
    EXPECT_NE(ReadBytes(dir / "other.pub").substr(22, 16), keyId);

    // The signed package is the unsigned one and the block; a rebuild is identical.
    const std::string plain = ReadBytes(dir / "plain.bin"), signed_ = ReadBytes(dir / "signed.bin");
    ASSERT_EQ(signed_.size(), plain.size() + kBlock);
    EXPECT_TRUE(signed_.compare(0, plain.size(), plain) == 0);
    EXPECT_EQ(signed_.substr(plain.size(), 8), std::string("QXSIGN\0\x01", 8));
    ASSERT_EQ(BuildSigned("again.bin", {"--sign", dir / "team.key"}).exitStatus, 0);
    EXPECT_TRUE(ReadBytes(dir / "again.bin") == signed_);

    ToolResult listed = Inspect({"list", dir / "signed.bin"});
    EXPECT_NE(listed.out.find("Signature:     key " + keyId + " (not checked)\n"),
              std::string::npos)
        << listed.out;
    EXPECT_NE(Inspect({"list", dir / "plain.bin"}).out.find("Signature:     unsigned\n"),
              std::string::npos);
}

TEST_F(SigningTest, VerifyWithAndWithoutKey) {
    const std::string signed_ = ReadBytes(dir / "signed.bin");
    const std::string keyId = ReadBytes(dir / "team.pub").substr(22, 16);
    std::string flipped = signed_;
    flipped[signed_.size() - 5] ^= 0x01;
    const struct {
        std::string package, key;
        int exit;
        const char* kind;  // null: valid
        Json signature;
    } cases[] = {
        {dir / "signed.bin", dir / "team.pub", 0, nullptr, {{"keyId", keyId}, {"valid", true}}},
        {dir / "signed.bin", "", 0, nullptr, {{"keyId", keyId}, {"valid", nullptr}}},
        {dir / "signed.bin",
         dir / "other.pub",
         1,
         "unknownSigner",
         {{"keyId", keyId}, {"valid", false}}},
        {dir / "plain.bin",
         dir / "team.pub",
         1,
         "notSigned",
         {{"keyId", nullptr}, {"valid", false}}},
        {dir / "plain.bin", "", 0, nullptr, {{"keyId", nullptr}, {"valid", nullptr}}},
        {Variant("flipped.bin", flipped),
         dir / "team.pub",
         1,
         "signatureInvalid",
         {{"keyId", keyId}, {"valid", false}}},
        {Variant("garbage.bin", signed_ + "\n"),
         dir / "team.pub",
         1,
         "signatureInvalid",
         {{"keyId", nullptr}, {"valid", false}}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"verify", "--json", c.package};
        if (!c.key.empty()) {
            args.insert(args.begin() + 1, {"--key", c.key});
        }
        ToolResult result = Inspect(args);
        EXPECT_EQ(result.exitStatus, c.exit) << c.package << " " << c.key << result.err;
        const Json verdict = Json::parse(result.out);
        EXPECT_EQ(verdict["signature"], c.signature) << c.package << " " << c.key;
        EXPECT_EQ(verdict["error"].is_null() ? Json() : verdict["error"]["kind"],
                  c.kind != nullptr ? Json(c.kind) : Json())
            << c.package << " " << c.key;
    }
    ToolResult text = Inspect({"verify", "--key", dir / "other.pub", dir / "signed.bin"});
    EXPECT_EQ(text.err,
              "upgrade-inspect: " + dir / "signed.bin" + ": Package signed by an unknown key\n");
}

TEST_F(SigningTest, BadKeysAreRefusedAndNothingIsWritten) {
    WriteBytes(dir / "bad.pub", "qx-upgrade-public-key 00 11\n");
    WriteBytes(dir / "bad.key", "qx-upgrade-secret-key 0011\n");
    ::mkdir((dir / "folder.key").c_str(), 0755);
    const std::string missing = dir / "missing.key";
    const struct {
        bool sign;  // --sign for mkupgrade, else --key for verify
        std::string key, error;
    } cases[] = {
        {true, missing, "cannot read key " + missing + ": No such file or directory"},
        {true, dir / "folder.key",
         "cannot read key " + dir / "folder.key" + ": not a regular file"},
        {true, dir / "team.pub", "key " + dir / "team.pub" + ": a public key, not a secret key"},
        {true, dir / "bad.key", "key " + dir / "bad.key" + ": malformed secret key"},
        {false, dir / "team.key", "key " + dir / "team.key" + ": a secret key, not a public key"},
        {false, dir / "bad.pub",
         "key " + dir / "bad.pub" + ": malformed public key: bad hexadecimal digits"},
        {false, dir / "missing.pub",
         "cannot read key " + dir / "missing.pub" + ": No such file or directory"},
    };
    for (const auto& c : cases) {
        ToolResult result = c.sign ? BuildSigned("out.bin", {"--sign", c.key})
                                   : Inspect({"verify", "--key", c.key, dir / "signed.bin"});
        EXPECT_EQ(result.exitStatus, 1) << c.key;
        EXPECT_EQ(result.err, (c.sign ? "mkupgrade: " : "upgrade-inspect: ") + c.error + "\n");
        EXPECT_EQ(result.out, "") << c.key;
        EXPECT_FALSE(Exists(dir / "out.bin")) << c.key;
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
    EXPECT_FALSE(Exists(dir / "half.key"));
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
    ToolResult stale = Mkupgrade({"--manifest", manifest, "-o", dir / "stale.bin"});
    EXPECT_EQ(stale.exitStatus, 0) << stale.err;
    EXPECT_NE(stale.err.find("its signature was dropped"), std::string::npos) << stale.err;
    EXPECT_EQ(std::count(stale.err.begin(), stale.err.end(), '\n'), 1);
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
    EXPECT_FALSE(Exists(dir / "both.bin"));
}

}  // namespace
}  // namespace qx::testing
