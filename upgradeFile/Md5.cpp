#include "upgradeFile/Md5.h"

#include <cstring>

namespace qx {
namespace upgradeFile {

namespace {

#if defined(__BYTE_ORDER__) && defined(__ORDER_LITTLE_ENDIAN__) && \
    __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
constexpr bool kLittleEndian = true;
#else
constexpr bool kLittleEndian = false;
#endif

#if defined(__GNUC__)
#define QX_MD5_INLINE inline __attribute__((always_inline))
#define QX_MD5_ASSUME_ALIGNED(p) static_cast<const unsigned char*>(__builtin_assume_aligned(p, 4))
#else
#define QX_MD5_INLINE inline
#define QX_MD5_ASSUME_ALIGNED(p) (p)
#endif

// Input word i of a 4-byte aligned block, little-endian. On little-endian
// machines this is a plain load; elsewhere the bytes are assembled.
QX_MD5_INLINE std::uint32_t LoadWord(const unsigned char* block, unsigned int i) {
    const unsigned char* p = block + 4 * i;
    if constexpr (kLittleEndian) {
        std::uint32_t word;
        std::memcpy(&word, p, 4);
        return word;
    } else {
        return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
               (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
    }
}

QX_MD5_INLINE std::uint32_t Rotate(std::uint32_t x, unsigned int s) {
    return (x << s) | (x >> (32 - s));
}

// The step constant. ARM data-processing instructions take only 8-bit
// rotated immediates, and GCC adds most MD5 constants with a chain of up to
// four such additions; hidden from the optimiser, each becomes one load from
// the literal pool and one addition.
#if defined(__arm__) && defined(__GNUC__)
QX_MD5_INLINE std::uint32_t Constant(std::uint32_t t) {
    __asm__("" : "+r"(t));
    return t;
}
#else
QX_MD5_INLINE std::uint32_t Constant(std::uint32_t t) { return t; }
#endif

// Round functions in their cheapest equivalent forms.
//   F = (x & y) | (~x & z)      ->  z ^ (x & (y ^ z))
//   G = (x & z) | (y & ~z)      ->  the two terms never overlap: add them
//   H = x ^ y ^ z
//   I = y ^ (x | ~z)
#define QX_MD5_F(x, y, z) ((z) ^ ((x) & ((y) ^ (z))))
#define QX_MD5_H(x, y, z) ((x) ^ (y) ^ (z))
#define QX_MD5_I(x, y, z) ((y) ^ ((x) | ~(z)))

// One step. The serial chain of MD5 runs through b: everything that does
// not depend on b (input word, constant, the b-free part of G) is added to
// a first, so that only the round function's last operation, one addition,
// the rotation and the final addition wait for the previous step.
#define QX_MD5_STEP(f, a, b, c, d, k, s, t) \
    a += X[k] + Constant(t);                \
    a += f(b, c, d);                        \
    a = Rotate(a, s) + b
#define QX_MD5_STEP_F(a, b, c, d, k, s, t) QX_MD5_STEP(QX_MD5_F, a, b, c, d, k, s, t)
#define QX_MD5_STEP_H(a, b, c, d, k, s, t) QX_MD5_STEP(QX_MD5_H, a, b, c, d, k, s, t)
#define QX_MD5_STEP_I(a, b, c, d, k, s, t) QX_MD5_STEP(QX_MD5_I, a, b, c, d, k, s, t)
#define QX_MD5_STEP_G(a, b, c, d, k, s, t)  \
    a += X[k] + Constant(t) + (~(d) & (c)); \
    a += (d) & (b);                         \
    a = Rotate(a, s) + b

// The RFC 1321 transform of one 64-byte block; block is 4-byte aligned.
QX_MD5_INLINE void md5_process(md5_context* context, const unsigned char* block) {
    block = QX_MD5_ASSUME_ALIGNED(block);
    std::uint32_t X[16];
    for (unsigned int i = 0; i < 16; ++i) {
        X[i] = LoadWord(block, i);
    }

    std::uint32_t a = context->chain[0];
    std::uint32_t b = context->chain[1];
    std::uint32_t c = context->chain[2];
    std::uint32_t d = context->chain[3];

    QX_MD5_STEP_F(a, b, c, d, 0, 7, 0xd76aa478);
    QX_MD5_STEP_F(d, a, b, c, 1, 12, 0xe8c7b756);
    QX_MD5_STEP_F(c, d, a, b, 2, 17, 0x242070db);
    QX_MD5_STEP_F(b, c, d, a, 3, 22, 0xc1bdceee);
    QX_MD5_STEP_F(a, b, c, d, 4, 7, 0xf57c0faf);
    QX_MD5_STEP_F(d, a, b, c, 5, 12, 0x4787c62a);
    QX_MD5_STEP_F(c, d, a, b, 6, 17, 0xa8304613);
    QX_MD5_STEP_F(b, c, d, a, 7, 22, 0xfd469501);
    QX_MD5_STEP_F(a, b, c, d, 8, 7, 0x698098d8);
    QX_MD5_STEP_F(d, a, b, c, 9, 12, 0x8b44f7af);
    QX_MD5_STEP_F(c, d, a, b, 10, 17, 0xffff5bb1);
    QX_MD5_STEP_F(b, c, d, a, 11, 22, 0x895cd7be);
    QX_MD5_STEP_F(a, b, c, d, 12, 7, 0x6b901122);
    QX_MD5_STEP_F(d, a, b, c, 13, 12, 0xfd987193);
    QX_MD5_STEP_F(c, d, a, b, 14, 17, 0xa679438e);
    QX_MD5_STEP_F(b, c, d, a, 15, 22, 0x49b40821);

    QX_MD5_STEP_G(a, b, c, d, 1, 5, 0xf61e2562);
    QX_MD5_STEP_G(d, a, b, c, 6, 9, 0xc040b340);
    QX_MD5_STEP_G(c, d, a, b, 11, 14, 0x265e5a51);
    QX_MD5_STEP_G(b, c, d, a, 0, 20, 0xe9b6c7aa);
    QX_MD5_STEP_G(a, b, c, d, 5, 5, 0xd62f105d);
    QX_MD5_STEP_G(d, a, b, c, 10, 9, 0x02441453);
    QX_MD5_STEP_G(c, d, a, b, 15, 14, 0xd8a1e681);
    QX_MD5_STEP_G(b, c, d, a, 4, 20, 0xe7d3fbc8);
    QX_MD5_STEP_G(a, b, c, d, 9, 5, 0x21e1cde6);
    QX_MD5_STEP_G(d, a, b, c, 14, 9, 0xc33707d6);
    QX_MD5_STEP_G(c, d, a, b, 3, 14, 0xf4d50d87);
    QX_MD5_STEP_G(b, c, d, a, 8, 20, 0x455a14ed);
    QX_MD5_STEP_G(a, b, c, d, 13, 5, 0xa9e3e905);
    QX_MD5_STEP_G(d, a, b, c, 2, 9, 0xfcefa3f8);
    QX_MD5_STEP_G(c, d, a, b, 7, 14, 0x676f02d9);
    QX_MD5_STEP_G(b, c, d, a, 12, 20, 0x8d2a4c8a);

    QX_MD5_STEP_H(a, b, c, d, 5, 4, 0xfffa3942);
    QX_MD5_STEP_H(d, a, b, c, 8, 11, 0x8771f681);
    QX_MD5_STEP_H(c, d, a, b, 11, 16, 0x6d9d6122);
    QX_MD5_STEP_H(b, c, d, a, 14, 23, 0xfde5380c);
    QX_MD5_STEP_H(a, b, c, d, 1, 4, 0xa4beea44);
    QX_MD5_STEP_H(d, a, b, c, 4, 11, 0x4bdecfa9);
    QX_MD5_STEP_H(c, d, a, b, 7, 16, 0xf6bb4b60);
    QX_MD5_STEP_H(b, c, d, a, 10, 23, 0xbebfbc70);
    QX_MD5_STEP_H(a, b, c, d, 13, 4, 0x289b7ec6);
    QX_MD5_STEP_H(d, a, b, c, 0, 11, 0xeaa127fa);
    QX_MD5_STEP_H(c, d, a, b, 3, 16, 0xd4ef3085);
    QX_MD5_STEP_H(b, c, d, a, 6, 23, 0x04881d05);
    QX_MD5_STEP_H(a, b, c, d, 9, 4, 0xd9d4d039);
    QX_MD5_STEP_H(d, a, b, c, 12, 11, 0xe6db99e5);
    QX_MD5_STEP_H(c, d, a, b, 15, 16, 0x1fa27cf8);
    QX_MD5_STEP_H(b, c, d, a, 2, 23, 0xc4ac5665);

    QX_MD5_STEP_I(a, b, c, d, 0, 6, 0xf4292244);
    QX_MD5_STEP_I(d, a, b, c, 7, 10, 0x432aff97);
    QX_MD5_STEP_I(c, d, a, b, 14, 15, 0xab9423a7);
    QX_MD5_STEP_I(b, c, d, a, 5, 21, 0xfc93a039);
    QX_MD5_STEP_I(a, b, c, d, 12, 6, 0x655b59c3);
    QX_MD5_STEP_I(d, a, b, c, 3, 10, 0x8f0ccc92);
    QX_MD5_STEP_I(c, d, a, b, 10, 15, 0xffeff47d);
    QX_MD5_STEP_I(b, c, d, a, 1, 21, 0x85845dd1);
    QX_MD5_STEP_I(a, b, c, d, 8, 6, 0x6fa87e4f);
    QX_MD5_STEP_I(d, a, b, c, 15, 10, 0xfe2ce6e0);
    QX_MD5_STEP_I(c, d, a, b, 6, 15, 0xa3014314);
    QX_MD5_STEP_I(b, c, d, a, 13, 21, 0x4e0811a1);
    QX_MD5_STEP_I(a, b, c, d, 4, 6, 0xf7537e82);
    QX_MD5_STEP_I(d, a, b, c, 11, 10, 0xbd3af235);
    QX_MD5_STEP_I(c, d, a, b, 2, 15, 0x2ad7d2bb);
    QX_MD5_STEP_I(b, c, d, a, 9, 21, 0xeb86d391);

    context->chain[0] += a;
    context->chain[1] += b;
    context->chain[2] += c;
    context->chain[3] += d;
}

// Transforms a block straight from the caller's data when it is 4-byte
// aligned; otherwise copies it into an aligned block first.
QX_MD5_INLINE void ProcessInput(md5_context* context, const unsigned char* data) {
    if ((reinterpret_cast<std::uintptr_t>(data) & 3u) == 0) {
        md5_process(context, data);
    } else {
        std::memcpy(context->block, data, 64);
        md5_process(context, context->block);
    }
}

}  // namespace

void md5_init(md5_context* context) {
    context->bit_count[0] = 0;
    context->bit_count[1] = 0;
    context->chain[0] = 0x67452301u;
    context->chain[1] = 0xefcdab89u;
    context->chain[2] = 0x98badcfeu;
    context->chain[3] = 0x10325476u;
}

void md5_append(md5_context* context, const unsigned char* data, int length) {
    if (length <= 0) {
        return;
    }
    std::uint32_t left = static_cast<std::uint32_t>(length);
    // Bytes waiting in the block, from the bit count before this call.
    std::uint32_t filled = (context->bit_count[0] >> 3) & 63u;

    // Length in bits with carry into the high word. length * 8 can pass
    // 32 bits, so the part above 2^29 bytes goes straight to the high word.
    std::uint32_t bitsLow = left << 3;
    context->bit_count[1] += left >> 29;
    context->bit_count[0] += bitsLow;
    if (context->bit_count[0] < bitsLow) {
        ++context->bit_count[1];
    }

    if (filled != 0) {
        std::uint32_t room = 64 - filled;
        if (left < room) {
            std::memcpy(context->block + filled, data, left);
            return;
        }
        std::memcpy(context->block + filled, data, room);
        md5_process(context, context->block);
        data += room;
        left -= room;
    }
    while (left >= 64) {
        ProcessInput(context, data);
        data += 64;
        left -= 64;
    }
    if (left != 0) {
        std::memcpy(context->block, data, left);
    }
}

void md5_finish(md5_context* context, unsigned char digest[16]) {
    unsigned char lengthBytes[8];
    for (unsigned int i = 0; i < 4; ++i) {
        lengthBytes[i] = static_cast<unsigned char>(context->bit_count[0] >> (8 * i));
        lengthBytes[4 + i] = static_cast<unsigned char>(context->bit_count[1] >> (8 * i));
    }
    static const unsigned char kPadding[64] = {0x80};
    std::uint32_t filled = (context->bit_count[0] >> 3) & 63u;
    // Pad to 56 modulo 64: one 0x80 byte and zero bytes, crossing into a new
    // block when fewer than 9 bytes of room are left.
    std::uint32_t padding = (filled < 56) ? (56 - filled) : (120 - filled);
    md5_append(context, kPadding, static_cast<int>(padding));
    md5_append(context, lengthBytes, 8);
    for (unsigned int i = 0; i < 4; ++i) {
        for (unsigned int j = 0; j < 4; ++j) {
            digest[4 * i + j] = static_cast<unsigned char>(context->chain[i] >> (8 * j));
        }
    }
}

}  // namespace upgradeFile
}  // namespace qx
