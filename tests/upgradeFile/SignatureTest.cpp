// Signed packages in the reader: which bytes the signature covers, the
// verdicts and their texts, key rotation, and the public key file format.
#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/TestKeys.h"
#include "upgradeFile/PackageFixture.h"
#include "upgradeFile/Signature.h"
#include "upgradeFile/UpgradeFile.h"

namespace qx::testing {
namespace {

using upgradeFile::PublicKey;
using upgradeFile::ReaderError;

class SignatureTest : public PackageTest {
  protected:
    const TestKey first{1}, second{2};
    const std::string unsigned_ = Build({"notes", "", Pattern(3000), Pattern(1025, 2), "db"});
    const std::string signed_ = second.Sign(unsigned_);
};

TEST_F(SignatureTest, TrustStoreDecidesWhatIsAccepted) {
    const std::size_t end = unsigned_.size();
    const auto flipped = [this](std::size_t at) {
        std::string bytes = signed_;
        bytes[at] = static_cast<char>(bytes[at] ^ 0x20);
        return bytes;
    };
    std::string outerOnly = signed_;
    // A change the digests cannot see: reserved outer bytes, resealed.
    outerOnly[100] = 'x';
    Reseal(outerOnly, 0);
    const std::vector<PublicKey> both = {first.pub, second.pub}, one = {first.pub}, none = {};
    const struct {
        const char* name;
        std::string bytes;
        std::vector<PublicKey> keys;
        ReaderError expected;
    } cases[] = {
        {"second of two keys signed", signed_, both, ReaderError::None},
        {"signer not installed", signed_, one, ReaderError::UnknownSigner},
        {"store with unusable keys only", signed_, none, ReaderError::UnknownSigner},
        {"outer header resealed", outerOnly, both, ReaderError::SignatureInvalid},
        {"signature byte", flipped(end + 40), both, ReaderError::SignatureInvalid},
        {"key id byte", flipped(end + 9), both, ReaderError::UnknownSigner},
        {"magic byte", flipped(end + 1), both, ReaderError::NotSigned},
        {"inner data byte", flipped(3000), both, ReaderError::InnerDigestMismatch},
    };
    const std::pair<ReaderError, const char*> texts[] = {
        {ReaderError::NotSigned, "Package is not signed"},
        {ReaderError::UnknownSigner, "Package signed by an unknown key"},
        {ReaderError::SignatureInvalid, "Package signature is not valid"}};
    for (const auto& c : cases) {
        upgradeFile::UpgradeFile reader(Save(c.bytes));
        reader.RequireSignature(c.keys);
        EXPECT_EQ(reader.ParseFile(), c.expected == ReaderError::None) << c.name;
        EXPECT_EQ(reader.Valid(), c.expected == ReaderError::None) << c.name;
        EXPECT_EQ(reader.Error(), c.expected) << c.name;
        for (const auto& [kind, text] : texts) {
            if (kind == c.expected) {
                EXPECT_EQ(reader.ErrorMessage(), text) << c.name;
                // Judged after every inner file was accepted, at their end.
                EXPECT_EQ(reader.ErrorPosition(), end) << c.name;
                EXPECT_EQ(reader.Offsets().size(), 5u) << c.name;
            }
        }
    }
}

// Another descriptor on the package rewrites inner data after the parse:
// the extraction notices (MD5 unsigned, SHA-256 signed) and leaves nothing.
TEST_F(SignatureTest, BytesRewrittenAfterTheParseAreNeverExtracted) {
    const std::vector<PublicKey> keys = {second.pub};
    const std::size_t validatorData = 389 + 128;
    for (bool signature : {false, true}) {
        SCOPED_TRACE(signature);
        const std::string path = Save(signature ? signed_ : unsigned_);
        upgradeFile::UpgradeFile reader(path);
        if (signature) {
            reader.RequireSignature(keys);
        }
        ASSERT_TRUE(reader.ParseFile()) << reader.ErrorMessage();
        const std::string out = dir / "out";
        ASSERT_TRUE(reader.ExtractFile(2, out));
        for (std::size_t at : {validatorData, validatorData + 2999}) {
            SCOPED_TRACE(at);
            const int writer = ::open(path.c_str(), O_RDWR);
            ASSERT_EQ(::pwrite(writer, "F", 1, static_cast<off_t>(at)), 1);
            ::close(writer);
            EXPECT_FALSE(reader.ExtractFile(2, out + std::to_string(at)));
            EXPECT_EQ(reader.Error(), ReaderError::ExtractedBytesChanged);
            EXPECT_EQ(reader.ErrorMessage(), "Extracted bytes of " + out + std::to_string(at) +
                                                 " differ from the verified package");
            EXPECT_NE(::access((out + std::to_string(at)).c_str(), F_OK), 0);
            // The file before it is still the verified one.
            EXPECT_TRUE(reader.ExtractFile(1, dir / "one")) << reader.ErrorMessage();
        }
    }
}

TEST_F(SignatureTest, PublicKeyFiles) {
    const std::string id = upgradeFile::HexText(first.pub.id.data(), 8);
    const std::string key = upgradeFile::HexText(first.pub.key.data(), 32);
    const struct {
        std::string text;
        const char* error;  // null: accepted
    } cases[] = {
        {"qx-upgrade-public-key " + id + " " + key + "\n", nullptr},
        {"qx-upgrade-public-key " + id + " " + key, nullptr},
        {"qx-upgrade-public-key " + id + " " + key.substr(1) + "0\n",
         "malformed public key: its key id does not match the key"},
        {"qx-upgrade-public-key " + id + " " + key.substr(2) + "\n",
         "malformed public key: bad hexadecimal digits"},
        {"qx-upgrade-public-key " + id + " " + key.substr(2) + "zz\n",
         "malformed public key: bad hexadecimal digits"},
        {"qx-upgrade-public-key " + id + " " + key + "\n\n",
         "malformed public key: bad hexadecimal digits"},
        {"qx-upgrade-public-key " + id + "  " + key + "\n",
         "malformed public key: not one line of three words"},
        {"qx-upgrade-public-key " + id + " " + key + " extra\n",
         "malformed public key: not one line of three words"},
    };
    for (const auto& c : cases) {
        PublicKey parsed;
        std::string error;
        const bool ok = upgradeFile::ParsePublicKey(c.text, parsed, error);
        EXPECT_EQ(ok, c.error == nullptr) << c.text;
        EXPECT_EQ(error, c.error == nullptr ? "" : c.error) << c.text;
        if (ok) {
            EXPECT_EQ(parsed.key, first.pub.key);
            EXPECT_EQ(parsed.id, first.pub.id);
        }
    }
}

}  // namespace
}  // namespace qx::testing
