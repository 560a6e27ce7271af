#pragma once

// Signing keys for tests: a key pair from a fixed seed, so every run signs
// the same way.
#include <algorithm>
#include <iterator>

#include "tools/package/Signing.h"

namespace qx::testing {

struct TestKey {
    package::SecretKey secret;
    upgradeFile::PublicKey pub;

    explicit TestKey(unsigned char seedByte) {
        unsigned char seed[crypto_sign_SEEDBYTES];
        std::fill(std::begin(seed), std::end(seed), seedByte);
        package::KeyPairFromSeed(seed, secret, pub);
    }
    std::string Sign(const std::string& package) const {
        return package::SignedBytes(package, secret);
    }
};

}  // namespace qx::testing
