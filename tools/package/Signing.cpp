#include "tools/package/Signing.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "tools/common/Output.h"
#include "upgrader/utils/SystemCalls.h"

namespace qx {
namespace package {

namespace {

using qx::upgradeFile::HexText;
using qx::upgrader::utils::Descriptor;
using qx::upgrader::utils::ErrnoText;

constexpr std::size_t kKeyFileLimit = 4096;

// A secret key must be the caller's and closed to group and others, as
// ssh wants its private keys; false with the reason otherwise.
bool PrivateToCaller(const struct stat& info, const std::string& path, std::string& error) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned int>(info.st_mode & 07777));
    if (info.st_uid != ::geteuid()) {
        error = "key " + path + " is owned by uid " + std::to_string(info.st_uid) +
                ", not by you (uid " + std::to_string(::geteuid()) + "): it is not used";
        return false;
    }
    if ((info.st_mode & 077) != 0) {
        error = "key " + path + " has mode " + mode +
                ": a secret key that group or others may access is not used (chmod 600 " + path +
                ")";
        return false;
    }
    return true;
}

// Reads a small key file whole (and its status, when asked); errors name
// the file.
bool ReadKeyFile(const std::string& path, std::string& text, std::string& error,
                 struct stat* status = nullptr) {
    Descriptor file(qx::upgrader::utils::OpenFile(path.c_str(), O_RDONLY | O_NONBLOCK));
    struct stat info;
    if (!file.Valid() || ::fstat(file.Get(), &info) != 0) {
        error = "cannot read key " + path + ": " + ErrnoText(errno);
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        error = "cannot read key " + path + ": not a regular file";
        return false;
    }
    if (status != nullptr) {
        *status = info;
    }
    text.assign(kKeyFileLimit, '\0');
    const long got = qx::upgrader::utils::ReadFully(file.Get(), &text[0], text.size());
    if (got < 0) {
        error = "cannot read key " + path + ": " + ErrnoText(errno);
        return false;
    }
    text.resize(static_cast<std::size_t>(got));
    return true;
}

std::string KeyLine(const char* tag, const KeyId& id, const unsigned char* bytes,
                    std::size_t size) {
    return std::string(tag) + " " + HexText(id.data(), id.size()) + " " + HexText(bytes, size) +
           "\n";
}

// Writes text to output, opened as a new file at path with mode.
bool WriteKeyFile(qx::tools::OutputFile& output, const std::string& path, mode_t mode,
                  const std::string& text, std::string& error) {
    if (!output.Open(path, mode, true, {}, error)) {
        error = "cannot create " + error;
        return false;
    }
    if (!qx::upgrader::utils::WriteAll(output.Get(), text.data(), text.size())) {
        error = "cannot write " + path + ": " + ErrnoText(errno);
        return false;
    }
    return true;
}

bool ParseSecretKey(const std::string& text, SecretKey& key, std::string& error) {
    if (text.compare(0, std::strlen(qx::upgradeFile::kPublicKeyTag),
                     qx::upgradeFile::kPublicKeyTag) == 0) {
        error = "a public key, not a secret key";
        return false;
    }
    std::string line = text;
    if (!line.empty() && line.back() == '\n') {
        line.pop_back();
    }
    const std::string prefix = std::string(qx::upgradeFile::kSecretKeyTag) + " ";
    unsigned char seed[crypto_sign_SEEDBYTES];
    KeyId id;
    if (line.compare(0, prefix.size(), prefix) != 0 ||
        line.size() != prefix.size() + 2 * id.size() + 1 + 2 * sizeof seed ||
        line[prefix.size() + 2 * id.size()] != ' ' ||
        !qx::upgradeFile::ParseHex(line.substr(prefix.size(), 2 * id.size()), id.data(),
                                   id.size()) ||
        !qx::upgradeFile::ParseHex(line.substr(prefix.size() + 2 * id.size() + 1), seed,
                                   sizeof seed)) {
        error = "malformed secret key";
        return false;
    }
    PublicKey pub;
    KeyPairFromSeed(seed, key, pub);
    sodium_memzero(seed, sizeof seed);
    if (key.id != id) {
        error = "malformed secret key: its key id does not match the key";
        return false;
    }
    return true;
}

}  // namespace

void KeyPairFromSeed(const unsigned char* seed, SecretKey& secret, PublicKey& pub) {
    crypto_sign_seed_keypair(pub.key.data(), secret.secret.data(), seed);
    pub.id = qx::upgradeFile::KeyIdOf(pub.key.data());
    secret.id = pub.id;
}

std::string PublicKeyText(const PublicKey& key) {
    return KeyLine(qx::upgradeFile::kPublicKeyTag, key.id, key.key.data(), key.key.size());
}

std::string SignedBytes(const std::string& package, const SecretKey& key) {
    qx::upgradeFile::PackageHash hash;
    hash.Append(reinterpret_cast<const unsigned char*>(package.data()), package.size());
    const auto block = qx::upgradeFile::EncodeSignatureBlock(SignDigest(key, hash.Finish()));
    return package + std::string(block.begin(), block.end());
}

bool GenerateKeyPair(const std::string& name, std::string& error) {
    const std::string secretPath = name + ".key";
    const std::string publicPath = name + ".pub";
    struct stat info;
    for (const std::string& path : {secretPath, publicPath}) {
        if (::lstat(path.c_str(), &info) == 0 || errno != ENOENT) {
            error = path + " already exists; a key is never overwritten";
            return false;
        }
    }
    if (sodium_init() < 0) {
        error = "cannot start libsodium";
        return false;
    }
    unsigned char seed[crypto_sign_SEEDBYTES];
    SecretKey secret;
    PublicKey pub;
    randombytes_buf(seed, sizeof seed);
    KeyPairFromSeed(seed, secret, pub);
    std::string secretText = KeyLine(qx::upgradeFile::kSecretKeyTag, pub.id, seed, sizeof seed);
    sodium_memzero(seed, sizeof seed);
    // Both files are written unnamed and then named one right after the
    // other: a failure (or a kill) before that leaves neither.
    qx::tools::OutputFile secretOut, publicOut;
    const bool written = WriteKeyFile(secretOut, secretPath, 0600, secretText, error) &&
                         WriteKeyFile(publicOut, publicPath, 0644, PublicKeyText(pub), error);
    sodium_memzero(&secretText[0], secretText.size());
    if (!written || !secretOut.Commit(error)) {
        return false;
    }
    if (!publicOut.Commit(error)) {
        secretOut.Withdraw();
        return false;
    }
    return true;
}

bool LoadSecretKey(const std::string& path, SecretKey& key, std::string& error) {
    std::string text;
    struct stat info {};
    if (!ReadKeyFile(path, text, error, &info)) {
        return false;
    }
    // A public key given by mistake is named as such; a secret one must be
    // private to the caller before it is used.
    const bool isPublic = text.compare(0, std::strlen(qx::upgradeFile::kPublicKeyTag),
                                       qx::upgradeFile::kPublicKeyTag) == 0;
    if (!isPublic && !PrivateToCaller(info, path, error)) {
        sodium_memzero(&text[0], text.size());
        return false;
    }
    const bool parsed = ParseSecretKey(text, key, error);
    sodium_memzero(&text[0], text.size());
    if (!parsed) {
        error = "key " + path + ": " + error;
    }
    return parsed;
}

bool LoadPublicKey(const std::string& path, PublicKey& key, std::string& error) {
    std::string text;
    if (!ReadKeyFile(path, text, error)) {
        return false;
    }
    if (!qx::upgradeFile::ParsePublicKey(text, key, error)) {
        error = "key " + path + ": " + error;
        return false;
    }
    return true;
}

SignatureBlock SignDigest(const SecretKey& key, const PackageDigest& digest) {
    SignatureBlock block;
    block.keyId = key.id;
    const std::vector<unsigned char> message = qx::upgradeFile::SignedMessage(key.id, digest);
    crypto_sign_detached(block.signature.data(), nullptr, message.data(), message.size(),
                         key.secret.data());
    return block;
}

bool DigestOfFile(int fd, unsigned long long size, PackageDigest& digest) {
    qx::upgradeFile::PackageHash hash;
    std::vector<unsigned char> buffer(64 * 1024);
    unsigned long long done = 0;
    while (done < size) {
        const std::size_t ask =
            static_cast<std::size_t>(size - done < buffer.size() ? size - done : buffer.size());
        const ssize_t got = qx::upgrader::utils::Retrying(
            [&] { return ::pread(fd, buffer.data(), ask, static_cast<off_t>(done)); });
        if (got <= 0) {
            return false;
        }
        hash.Append(buffer.data(), static_cast<std::size_t>(got));
        done += static_cast<unsigned long long>(got);
    }
    digest = hash.Finish();
    return true;
}

bool AppendSignature(int fd, unsigned long long size, const SigningPlan& plan, std::string& error) {
    if (!plan.signer && !plan.kept) {
        return true;
    }
    PackageDigest digest;
    if (!DigestOfFile(fd, size, digest)) {
        error = "cannot read the package back to sign it: " + ErrnoText(errno);
        return false;
    }
    SignatureBlock block;
    if (plan.signer) {
        block = SignDigest(*plan.signer, digest);
    } else if (plan.kept->digest == digest) {
        block = plan.kept->block;
    } else {
        error = "the package differs from the one key " +
                HexText(plan.kept->block.keyId.data(), plan.kept->block.keyId.size()) +
                " signed, so its signature would be dropped: sign it with --sign NAME.key, or "
                "give --unsigned to build it unsigned";
        return false;
    }
    const auto bytes = qx::upgradeFile::EncodeSignatureBlock(block);
    if (!qx::upgrader::utils::WriteAll(fd, bytes.data(), bytes.size())) {
        error = "cannot write the signature: " + ErrnoText(errno);
        return false;
    }
    return true;
}

}  // namespace package
}  // namespace qx
