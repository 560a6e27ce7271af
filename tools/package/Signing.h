#pragma once

// Host side of package signatures: key pairs, key files, signing a package
// and keeping or dropping the signature of a rebuilt one. The block and the
// public key file are those of upgradeFile/Signature.h.
//
// Secret key file NAME.key (mode 0600), one line of text:
//
//   qx-upgrade-secret-key KEYID SEED
//
// SEED is the 32-byte Ed25519 seed in 64 hexadecimal digits; the key pair
// follows from it, and KEYID must be that pair's key id.

#include <optional>
#include <string>

#include "upgradeFile/Signature.h"

namespace qx {
namespace package {

using qx::upgradeFile::KeyId;
using qx::upgradeFile::PackageDigest;
using qx::upgradeFile::PublicKey;
using qx::upgradeFile::SignatureBlock;

struct SecretKey {
    KeyId id{};
    std::array<unsigned char, crypto_sign_SECRETKEYBYTES> secret{};
    SecretKey() = default;
    SecretKey(const SecretKey&) = default;
    SecretKey& operator=(const SecretKey&) = default;
    ~SecretKey() { sodium_memzero(secret.data(), secret.size()); }
};

// The key pair that a 32-byte seed gives (a secret key file holds the seed).
void KeyPairFromSeed(const unsigned char* seed, SecretKey& secret, PublicKey& pub);

// The text of a public key file.
std::string PublicKeyText(const PublicKey& key);

// A package held in memory with its signature block appended.
std::string SignedBytes(const std::string& package, const SecretKey& key);

// Writes a new key pair: NAME.key (0600) and NAME.pub. Refuses when either
// file exists (nothing is overwritten); leaves neither file on failure.
bool GenerateKeyPair(const std::string& name, std::string& error);

// Reads a key file; errors name the file and the reason (missing,
// unreadable, malformed, the other half of a pair). A secret key must be
// the caller's own and readable by no one else (as ssh has it).
bool LoadSecretKey(const std::string& path, SecretKey& key, std::string& error);
bool LoadPublicKey(const std::string& path, PublicKey& key, std::string& error);

// Signs a package's digest.
SignatureBlock SignDigest(const SecretKey& key, const PackageDigest& digest);

// The SHA-256 of the first size bytes of the file open at fd (read with
// pread; the descriptor's position stays).
bool DigestOfFile(int fd, unsigned long long size, PackageDigest& digest);

// A signature carried over from an unpacked package: the block and the
// digest of the bytes it signed.
struct KeptSignature {
    SignatureBlock block;
    PackageDigest digest{};
};

// How a package being written gets its signature: a fresh one with signer,
// else the kept one while it still covers the bytes.
struct SigningPlan {
    std::optional<SecretKey> signer;
    std::optional<KeptSignature> kept;
};

// Appends the block the plan gives (if any) to the package written so far
// (size bytes at fd, position at its end). A kept signature that no longer
// covers the bytes fails the build: it is never dropped silently (sign
// again, or build without the kept signature).
bool AppendSignature(int fd, unsigned long long size, const SigningPlan& plan, std::string& error);

}  // namespace package
}  // namespace qx
