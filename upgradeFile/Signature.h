#pragma once

// Package signatures: the block that ends a signed package, public key
// files, and the check of a package's signature against a set of keys.
// Hashing and Ed25519 are libsodium's; nothing here is cryptography of its
// own.
//
// Signature block, right after the last inner file (80 bytes):
//
//   0   8   magic "QXSIGN" 0x00 0x01
//   8   8   key id of the signing key
//   16  64  Ed25519 signature of the signed message
//
// The signed message is kSignedDomain (28 bytes), the key id and the SHA-256
// digest of every package byte before the block (outer header, inner
// headers, inner data). The key id is the first 8 bytes of the SHA-256 of
// the 32-byte public key.
//
// Public key file NAME.pub, one line of text:
//
//   qx-upgrade-public-key KEYID PUBLICKEY
//
// KEYID is 16 and PUBLICKEY 64 lower-case hexadecimal digits; one line feed
// may end the line. A key whose id does not follow from its key is
// malformed.

#include <sodium.h>

#include <array>
#include <cstddef>
#include <string>
#include <vector>

namespace qx {
namespace upgradeFile {

constexpr std::size_t kKeyIdSize = 8;
constexpr std::size_t kPublicKeySize = 32;
constexpr std::size_t kSignatureSize = 64;
constexpr std::size_t kPackageDigestSize = 32;
constexpr std::size_t kSignatureBlockSize = 8 + kKeyIdSize + kSignatureSize;
constexpr unsigned char kSignatureMagic[8] = {'Q', 'X', 'S', 'I', 'G', 'N', 0x00, 0x01};
constexpr char kSignedDomain[] = "qx-upgrade-package-sha256-v1";
constexpr char kPublicKeyTag[] = "qx-upgrade-public-key";
constexpr char kSecretKeyTag[] = "qx-upgrade-secret-key";

using KeyId = std::array<unsigned char, kKeyIdSize>;
using PackageDigest = std::array<unsigned char, kPackageDigestSize>;

struct PublicKey {
    KeyId id{};
    std::array<unsigned char, kPublicKeySize> key{};
};

// The SHA-256 of a package's bytes, fed as they stream past.
class PackageHash {
  public:
    PackageHash() { crypto_hash_sha256_init(&state); }
    void Append(const unsigned char* data, std::size_t size) {
        crypto_hash_sha256_update(&state, data, size);
    }
    PackageDigest Finish();

  private:
    crypto_hash_sha256_state state;
};

// The key id of a 32-byte public key.
KeyId KeyIdOf(const unsigned char* publicKey);

// Lower-case hexadecimal of size bytes.
std::string HexText(const unsigned char* bytes, std::size_t size);

// Reads exactly 2 * size hexadecimal digits (either case) into bytes.
bool ParseHex(const std::string& text, unsigned char* bytes, std::size_t size);

// Reads a public key file's text. False with a reason ("a secret key, not a
// public key", "not a public key file", "malformed public key: ...").
bool ParsePublicKey(const std::string& text, PublicKey& key, std::string& error);

// The message an Ed25519 signature covers for a package's digest.
std::vector<unsigned char> SignedMessage(const KeyId& id, const PackageDigest& digest);

// A signature block as read from a package.
struct SignatureBlock {
    KeyId keyId{};
    std::array<unsigned char, kSignatureSize> signature{};
};

// What stands after the last inner file: nothing or bytes that do not begin
// with the magic (Unsigned), exactly one block (Block), or the magic with
// fewer or more bytes than a block (Malformed: a block cut short or with
// bytes after it).
enum class Tail { Unsigned, Block, Malformed };
Tail ReadSignatureBlock(const unsigned char* tail, std::size_t size, SignatureBlock& block);

// The block's 80 bytes.
std::array<unsigned char, kSignatureBlockSize> EncodeSignatureBlock(const SignatureBlock& block);

enum class SignatureVerdict { Valid, NotSigned, Invalid, UnknownKey };

// Judges a package by the digest of its bytes up to the last inner file and
// the bytes after it (tail). A block whose key id is none of keys is
// UnknownKey; a block that no key of its id verifies is Invalid.
SignatureVerdict CheckSignature(const PackageDigest& digest, const unsigned char* tail,
                                std::size_t size, const std::vector<PublicKey>& keys);

// The reader's error text for a verdict other than Valid.
const char* VerdictText(SignatureVerdict verdict);

}  // namespace upgradeFile
}  // namespace qx
