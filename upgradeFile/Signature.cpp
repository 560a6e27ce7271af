#include "upgradeFile/Signature.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace qx {
namespace upgradeFile {

namespace {

int HexValue(char digit) {
    if (digit >= '0' && digit <= '9') {
        return digit - '0';
    }
    if (digit >= 'a' && digit <= 'f') {
        return digit - 'a' + 10;
    }
    if (digit >= 'A' && digit <= 'F') {
        return digit - 'A' + 10;
    }
    return -1;
}

// Splits "TAG KEYID KEY" (one line feed may follow) into its three words.
bool SplitKeyLine(std::string text, std::string (&words)[3]) {
    if (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    const std::size_t first = text.find(' ');
    const std::size_t second = first == std::string::npos ? first : text.find(' ', first + 1);
    if (second == std::string::npos || text.find(' ', second + 1) != std::string::npos) {
        return false;
    }
    words[0] = text.substr(0, first);
    words[1] = text.substr(first + 1, second - first - 1);
    words[2] = text.substr(second + 1);
    return true;
}

bool StartsWith(const std::string& text, const char* prefix) {
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

}  // namespace

PackageDigest PackageHash::Finish() {
    PackageDigest digest;
    crypto_hash_sha256_final(&state, digest.data());
    return digest;
}

KeyId KeyIdOf(const unsigned char* publicKey) {
    unsigned char hash[crypto_hash_sha256_BYTES];
    crypto_hash_sha256(hash, publicKey, kPublicKeySize);
    KeyId id;
    std::copy(hash, hash + kKeyIdSize, id.begin());
    return id;
}

std::string HexText(const unsigned char* bytes, std::size_t size) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < size; ++i) {
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 0x0F];
    }
    return text;
}

bool ParseHex(const std::string& text, unsigned char* bytes, std::size_t size) {
    if (text.size() != 2 * size) {
        return false;
    }
    for (std::size_t i = 0; i < size; ++i) {
        const int high = HexValue(text[2 * i]);
        const int low = HexValue(text[2 * i + 1]);
        if (high < 0 || low < 0) {
            return false;
        }
        bytes[i] = static_cast<unsigned char>(high << 4 | low);
    }
    return true;
}

bool ParsePublicKey(const std::string& text, PublicKey& key, std::string& error) {
    if (StartsWith(text, kSecretKeyTag)) {
        error = "a secret key, not a public key";
        return false;
    }
    if (!StartsWith(text, kPublicKeyTag)) {
        error = "not a public key file";
        return false;
    }
    std::string words[3];
    if (!SplitKeyLine(text, words) || words[0] != kPublicKeyTag) {
        error = "malformed public key: not one line of three words";
        return false;
    }
    if (!ParseHex(words[1], key.id.data(), key.id.size()) ||
        !ParseHex(words[2], key.key.data(), key.key.size())) {
        error = "malformed public key: bad hexadecimal digits";
        return false;
    }
    if (KeyIdOf(key.key.data()) != key.id) {
        error = "malformed public key: its key id does not match the key";
        return false;
    }
    return true;
}

std::vector<unsigned char> SignedMessage(const KeyId& id, const PackageDigest& digest) {
    std::vector<unsigned char> message(kSignedDomain, kSignedDomain + sizeof kSignedDomain - 1);
    message.insert(message.end(), id.begin(), id.end());
    message.insert(message.end(), digest.begin(), digest.end());
    return message;
}

Tail ReadSignatureBlock(const unsigned char* tail, std::size_t size, SignatureBlock& block) {
    constexpr std::size_t kMagicSize = sizeof kSignatureMagic;
    if (size < kMagicSize || !std::equal(tail, tail + kMagicSize, std::begin(kSignatureMagic))) {
        return Tail::Unsigned;
    }
    if (size != kSignatureBlockSize) {
        return Tail::Malformed;
    }
    std::copy(tail + kMagicSize, tail + kMagicSize + kKeyIdSize, block.keyId.begin());
    std::copy(tail + kMagicSize + kKeyIdSize, tail + size, block.signature.begin());
    return Tail::Block;
}

std::array<unsigned char, kSignatureBlockSize> EncodeSignatureBlock(const SignatureBlock& block) {
    std::array<unsigned char, kSignatureBlockSize> bytes;
    auto end = std::copy(std::begin(kSignatureMagic), std::end(kSignatureMagic), bytes.begin());
    end = std::copy(block.keyId.begin(), block.keyId.end(), end);
    std::copy(block.signature.begin(), block.signature.end(), end);
    return bytes;
}

SignatureVerdict CheckSignature(const PackageDigest& digest, const unsigned char* tail,
                                std::size_t size, const std::vector<PublicKey>& keys) {
    SignatureBlock block;
    const Tail kind = ReadSignatureBlock(tail, size, block);
    if (kind == Tail::Unsigned) {
        return SignatureVerdict::NotSigned;
    }
    if (kind == Tail::Malformed) {
        return SignatureVerdict::Invalid;
    }
    const std::vector<unsigned char> message = SignedMessage(block.keyId, digest);
    bool known = false;
    for (const PublicKey& key : keys) {
        if (key.id != block.keyId) {
            continue;
        }
        known = true;
        if (crypto_sign_verify_detached(block.signature.data(), message.data(), message.size(),
                                        key.key.data()) == 0) {
            return SignatureVerdict::Valid;
        }
    }
    return known ? SignatureVerdict::Invalid : SignatureVerdict::UnknownKey;
}

const char* VerdictText(SignatureVerdict verdict) {
    switch (verdict) {
        case SignatureVerdict::NotSigned:
            return "Package is not signed";
        case SignatureVerdict::UnknownKey:
            return "Package signed by an unknown key";
        default:
            return "Package signature is not valid";
    }
}

}  // namespace upgradeFile
}  // namespace qx
