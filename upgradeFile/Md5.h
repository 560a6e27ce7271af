#pragma once

#include <cstdint>

namespace qx {
namespace upgradeFile {

// Streaming MD5 (RFC 1321). The caller owns the context, usually on the
// stack of the operation that computes one digest. Nothing is allocated.
struct md5_context {
    std::uint32_t bit_count[2];  // input length in bits modulo 2^64, low word first
    std::uint32_t chain[4];      // running state A, B, C, D
    unsigned char block[64];     // input not yet transformed (under 64 bytes between calls)
};

constexpr unsigned int kMd5DigestSize = 16;

// Starts a digest: zero length, RFC 1321 initial state.
void md5_init(md5_context* context);

// Feeds length bytes from data (any address). A length of zero or below
// changes nothing.
void md5_append(md5_context* context, const unsigned char* data, int length);

// Pads, writes the 16 digest bytes (A, B, C, D, each least significant byte
// first). The context is used up; start again with md5_init.
void md5_finish(md5_context* context, unsigned char digest[16]);

}  // namespace upgradeFile
}  // namespace qx
