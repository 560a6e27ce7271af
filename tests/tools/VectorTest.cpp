// The known-answer packages kept in tests/vectors (never written here): today's
// reader lists them as they were, today's signer makes them again byte for
// byte, and the router's reader judges them under a store of the test key.
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>
#include <vector>

#include "ToolFixture.h"
#include "upgradeFile/Signature.h"
#include "upgradeFile/UpgradeFile.h"

namespace qx::testing {
namespace {

using upgradeFile::ReaderError;

const std::string kVectors = QX_VECTORS_DIR;
const std::string kKey = kVectors + "/test-only-DO-NOT-USE";

std::string Sha256Text(const std::string& bytes) {
    upgradeFile::PackageHash hash;
    hash.Append(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    const upgradeFile::PackageDigest digest = hash.Finish();
    return upgradeFile::HexText(digest.data(), digest.size());
}

class VectorTest : public ToolTest {
  protected:
    // The build of tests/vectors/README.md, into dir.
    ToolResult Rebuild(const std::vector<std::string>& sign) {
        const char* const fields[][2] = {{"--package-version", "5"},
                                         {"--upgrade-name", "known-answer firmware"},
                                         {"--release-name", "R1.0"},
                                         {"--file-date", "20260101"},
                                         {"--upgrade-id", "27"}};
        std::vector<std::string> args = {"-o", dir / "again.pkg"};
        for (const auto& field : fields) {
            args.insert(args.end(), {field[0], field[1]});
        }
        args.insert(args.end(), sign.begin(), sign.end());
        const std::string in = kVectors + "/inputs/";
        args.insert(args.end(), {in + "notes.txt", "--label", "fs-validator", in + "fs-validator",
                                 "--label", "kernel_image", in + "kernel_image"});
        return Mkupgrade(args);
    }
};

TEST_F(VectorTest, KeptPackagesAreReadMadeAndJudgedAsBefore) {
    upgradeFile::PublicKey key;
    std::string error;
    ASSERT_TRUE(upgradeFile::ParsePublicKey(ReadBytes(kKey + ".pub"), key, error)) << error;
    const std::string sums = ReadBytes(kVectors + "/SHA256SUMS");
    // A checkout gives the secret key its umask's mode; the signer wants it
    // closed to group and others.
    const std::string secret = dir / "test-only.key";
    WriteBytes(secret, ReadBytes(kKey + ".key"));
    ASSERT_EQ(::chmod(secret.c_str(), 0600), 0);
    const struct {
        std::string name;
        std::vector<std::string> sign;
        ReaderError router;  // under a trust store holding the test key
    } cases[] = {
        {"unsigned", {}, ReaderError::NotSigned},
        {"signed", {"--sign", secret}, ReaderError::None},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = kVectors + "/" + c.name + ".pkg";
        const std::string bytes = ReadBytes(path);
        EXPECT_NE(sums.find(Sha256Text(bytes) + "  " + c.name + ".pkg\n"), std::string::npos);

        ToolResult listed = Inspect({"list", "--json", path});
        EXPECT_EQ(listed.exitStatus, 0) << listed.err;
        Json json = Json::parse(listed.out, nullptr, false);
        json["path"] = c.name + ".pkg";  // listed from tests/vectors
        EXPECT_EQ(json, Json::parse(ReadBytes(kVectors + "/" + c.name + ".list.json")));

        ToolResult built = Rebuild(c.sign);
        EXPECT_EQ(built.exitStatus, 0) << built.err;
        EXPECT_TRUE(ReadBytes(dir / "again.pkg") == bytes);

        upgradeFile::UpgradeFile router;
        router.RequireSignature({key});
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        router.ParseFile(fd, errno, path);
        EXPECT_EQ(router.Error(), c.router) << router.ErrorMessage();
    }
}

}  // namespace
}  // namespace qx::testing
