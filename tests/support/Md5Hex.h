#pragma once

// MD5 digests as lower-case hexadecimal text, from the device's digest.
#include <algorithm>
#include <cstdint>
#include <string>

#include "upgradeFile/Md5.h"
#include "upgradeFile/Signature.h"

namespace qx::testing {

inline std::string Md5Hex(upgradeFile::md5_context& context) {
    unsigned char digest[16];
    upgradeFile::md5_finish(&context, digest);
    return upgradeFile::HexText(digest, sizeof digest);
}

// The digest of size bytes at data, given to md5_append in pieces of `piece` bytes.
inline std::string Md5Hex(const void* data, std::size_t size, std::size_t piece = SIZE_MAX) {
    upgradeFile::md5_context context;
    upgradeFile::md5_init(&context);
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    for (std::size_t at = 0; at < size; at += piece) {
        upgradeFile::md5_append(&context, bytes + at, static_cast<int>(std::min(piece, size - at)));
    }
    return Md5Hex(context);
}

inline std::string Md5Hex(const std::string& data) { return Md5Hex(data.data(), data.size()); }

}  // namespace qx::testing
