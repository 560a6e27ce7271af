#pragma once

// MD5 digests as lower-case hexadecimal text, from the device's digest.
#include <cstddef>
#include <string>

#include "upgradeFile/Md5.h"
#include "upgradeFile/Signature.h"

namespace qx::testing {

inline std::string Md5Hex(upgradeFile::md5_context& context) {
    unsigned char digest[16];
    upgradeFile::md5_finish(&context, digest);
    return upgradeFile::HexText(digest, sizeof digest);
}

inline std::string Md5Hex(const void* data, std::size_t size) {
    upgradeFile::md5_context context;
    upgradeFile::md5_init(&context);
    upgradeFile::md5_append(&context, static_cast<const unsigned char*>(data),
                            static_cast<int>(size));
    return Md5Hex(context);
}

inline std::string Md5Hex(const std::string& data) { return Md5Hex(data.data(), data.size()); }

}  // namespace qx::testing
