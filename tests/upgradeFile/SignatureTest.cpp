// Signed packages in the reader: which bytes the signature covers, the
// verdict texts, key rotation, and the public key file format.
#include <string>
#include <vector>

#include "tools/package/Signing.h"
#include "upgradeFile/PackageFixture.h"
#include "upgradeFile/Signature.h"
#include "upgradeFile/UpgradeFile.h"

namespace qx::testing {
namespace {

using upgradeFile::PublicKey;
using upgradeFile::ReaderError;

struct KeyPair {
    package::SecretKey secret;
    PublicKey pub;
};

// A key pair from a fixed seed, so every run signs the same way.
KeyPair MakeKey(unsigned char seedByte) {
    unsigned char seed[crypto_sign_SEEDBYTES];
    std::fill(std::begin(seed), std::end(seed), seedByte);
    KeyPair pair;
    package::KeyPairFromSeed(seed, pair.secret, pair.pub);
    return pair;
}

std::string Signed(const std::string& package, const KeyPair& key) {
    return package::SignedBytes(package, key.secret);
}

class SignatureTest : public PackageTest {
  protected:
    // Parses bytes with the given trust store (none: no signature required).
    ReaderError Parse(const std::string& bytes, const std::vector<PublicKey>* keys,
                      std::string* text = nullptr) {
        upgradeFile::UpgradeFile reader(Save(bytes));
        if (keys != nullptr) {
            reader.RequireSignature(*keys);
        }
        const bool valid = reader.ParseFile();
        EXPECT_EQ(valid, reader.Error() == ReaderError::None);
        if (text != nullptr) {
            *text = reader.ErrorMessage();
        }
        return reader.Error();
    }

    const KeyPair first = MakeKey(1), second = MakeKey(2), stranger = MakeKey(3);
    const std::string unsigned_ = Build({"notes", "", Pattern(3000), Pattern(1025, 2), "db"});
    const std::string signed_ = Signed(unsigned_, second);
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
        const std::vector<PublicKey>* keys;
        ReaderError expected;
    } cases[] = {
        {"second of two keys signed", signed_, &both, ReaderError::None},
        {"unsigned", unsigned_, &both, ReaderError::NotSigned},
        {"signed by another key", Signed(unsigned_, stranger), &both, ReaderError::UnknownSigner},
        {"signer not installed", signed_, &one, ReaderError::UnknownSigner},
        {"store with unusable keys only", signed_, &none, ReaderError::UnknownSigner},
        {"outer header resealed", outerOnly, &both, ReaderError::SignatureInvalid},
        {"signature byte", flipped(end + 40), &both, ReaderError::SignatureInvalid},
        {"key id byte", flipped(end + 9), &both, ReaderError::UnknownSigner},
        {"magic byte", flipped(end + 1), &both, ReaderError::NotSigned},
        {"block cut short", signed_.substr(0, signed_.size() - 1), &both,
         ReaderError::SignatureInvalid},
        {"garbage after the block", signed_ + "x", &both, ReaderError::SignatureInvalid},
        {"inner data byte", flipped(3000), &both, ReaderError::InnerDigestMismatch},
        {"no store: signed", signed_, nullptr, ReaderError::None},
        {"no store: unsigned with garbage", unsigned_ + "garbage", nullptr, ReaderError::None},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Parse(c.bytes, c.keys), c.expected) << c.name;
    }
}

TEST_F(SignatureTest, VerdictTextsAndPosition) {
    const std::vector<PublicKey> keys = {first.pub};
    const struct {
        std::string bytes;
        const char* text;
    } cases[] = {{unsigned_, "Package is not signed"},
                 {signed_, "Package signed by an unknown key"},
                 {signed_ + "!", "Package signature is not valid"}};
    for (const auto& c : cases) {
        upgradeFile::UpgradeFile reader(Save(c.bytes));
        reader.RequireSignature(keys);
        EXPECT_FALSE(reader.ParseFile());
        EXPECT_FALSE(reader.Valid());
        EXPECT_EQ(reader.ErrorMessage(), c.text);
        EXPECT_EQ(reader.ErrorPosition(), unsigned_.size());
        // The inner files were all accepted before the signature was judged.
        EXPECT_EQ(reader.Offsets().size(), 5u);
    }
}

TEST_F(SignatureTest, PublicKeyFiles) {
    const std::string id = upgradeFile::HexText(first.pub.id.data(), 8);
    const std::string key = upgradeFile::HexText(first.pub.key.data(), 32);
    const std::string otherId = upgradeFile::HexText(second.pub.id.data(), 8);
    const struct {
        std::string text;
        const char* error;  // null: accepted
    } cases[] = {
        {"qx-upgrade-public-key " + id + " " + key + "\n", nullptr},
        {"qx-upgrade-public-key " + id + " " + key, nullptr},
        {"qx-upgrade-secret-key " + id + " " + key + "\n", "a secret key, not a public key"},
        {"ssh-ed25519 AAAA", "not a public key file"},
        {"qx-upgrade-public-key " + otherId + " " + key + "\n",
         "malformed public key: its key id does not match the key"},
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
