#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "upgradeFile/Md5.h"

using namespace qx::upgradeFile;

namespace {

std::string Hex(const unsigned char* digest) {
    std::string text;
    char pair[3];
    for (int i = 0; i < 16; ++i) {
        std::snprintf(pair, sizeof pair, "%02x", digest[i]);
        text += pair;
    }
    return text;
}

std::string DigestOf(const unsigned char* data, std::size_t size) {
    md5_context context;
    md5_init(&context);
    md5_append(&context, data, static_cast<int>(size));
    unsigned char digest[16];
    md5_finish(&context, digest);
    return Hex(digest);
}

std::string DigestOf(const std::string& text) {
    return DigestOf(reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

std::vector<unsigned char> Counting(std::size_t size) {
    std::vector<unsigned char> bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<unsigned char>(i);
    }
    return bytes;
}

}  // namespace

TEST(Md5, Rfc1321Suite) {
    EXPECT_EQ(DigestOf(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(DigestOf("a"), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(DigestOf("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(DigestOf("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(DigestOf("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
    EXPECT_EQ(DigestOf("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "d174ab98d277d9f5a5611c2c9f419d9f");
    EXPECT_EQ(DigestOf("1234567890123456789012345678901234567890"
                       "1234567890123456789012345678901234567890"),
              "57edf4a22be3c955ac49da2e2107b67a");
}

// Lengths around the block size, where the padding moves into a second block.
TEST(Md5, PaddingBoundaries) {
    struct Case {
        std::size_t size;
        const char* repeatedA;
        const char* counting;
    } const cases[] = {
        {55, "ef1772b6dff9a122358552954ad0df65", "6912ee65fff2d9f9ce2508cddf8bcda0"},
        {56, "3b0c8ac703f828b04c6c197006d17218", "51fdd1acda72405dfdfa03fcb85896d7"},
        {63, "b06521f39153d618550606be297466d5", "48a6295221902e8e0938f773a7185e72"},
        {64, "014842d480b571495a4a0363793f7367", "b2d3f56bc197fd985d5965079b5e7148"},
        {65, "c743a45e0d2e6a95cb859adae0248435", "8bd7053801c768420faf816fadba971c"},
        {112, "9146ef3527c7cfcc66dc615c3986e391", "d1fec2ac3715e791ca5f489f300381b3"},
        {1000, "cabe45dcc9ae5b66ba86600cca6b8ba8", "cbecbdb0fdd5cec1e242493b6008cc79"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(DigestOf(std::string(c.size, 'a')), c.repeatedA) << c.size;
        std::vector<unsigned char> bytes = Counting(c.size);
        EXPECT_EQ(DigestOf(bytes.data(), bytes.size()), c.counting) << c.size;
    }
}

// The digest depends only on the bytes: not on how they are cut into calls,
// nor on the address they start at.
TEST(Md5, SameDigestHoweverCutAndAligned) {
    const std::size_t size = 1000;
    std::vector<unsigned char> bytes = Counting(size);
    const std::string expected = DigestOf(bytes.data(), size);

    for (std::size_t piece : {1u, 3u, 7u, 63u, 64u, 65u, 111u, 128u, 999u}) {
        md5_context context;
        md5_init(&context);
        for (std::size_t at = 0; at < size; at += piece) {
            std::size_t n = std::min(piece, size - at);
            md5_append(&context, bytes.data() + at, static_cast<int>(n));
        }
        unsigned char digest[16];
        md5_finish(&context, digest);
        EXPECT_EQ(Hex(digest), expected) << "pieces of " << piece;
    }

    // The same bytes from every offset of a larger buffer, whole and split
    // so that later blocks start misaligned too.
    std::vector<unsigned char> shifted(size + 8);
    for (std::size_t offset = 0; offset < 8; ++offset) {
        std::memcpy(shifted.data() + offset, bytes.data(), size);
        EXPECT_EQ(DigestOf(shifted.data() + offset, size), expected) << "offset " << offset;
        md5_context context;
        md5_init(&context);
        md5_append(&context, shifted.data() + offset, 1);
        md5_append(&context, shifted.data() + offset + 1, static_cast<int>(size - 1));
        unsigned char digest[16];
        md5_finish(&context, digest);
        EXPECT_EQ(Hex(digest), expected) << "offset " << offset << ", 1 + rest";
    }
}

TEST(Md5, ZeroOrNegativeLengthChangesNothing) {
    md5_context context;
    md5_init(&context);
    md5_append(&context, reinterpret_cast<const unsigned char*>("abc"), 3);
    md5_context before;
    std::memcpy(&before, &context, sizeof context);
    md5_append(&context, reinterpret_cast<const unsigned char*>("x"), 0);
    md5_append(&context, reinterpret_cast<const unsigned char*>("x"), -1);
    EXPECT_EQ(std::memcmp(&before, &context, sizeof context), 0);
    unsigned char digest[16];
    md5_finish(&context, digest);
    EXPECT_EQ(Hex(digest), "900150983cd24fb0d6963f7d28e17f72");
}

// The bit count carries into its high word once 2^29 bytes have gone in.
TEST(Md5, BitCountCarriesIntoHighWord) {
    md5_context context;
    md5_init(&context);
    context.bit_count[0] = 0xFFFFFE00u;  // 64 bytes short of 2^29 bytes, block empty
    std::vector<unsigned char> bytes(65, 0);
    md5_append(&context, bytes.data(), 65);
    EXPECT_EQ(context.bit_count[0], 8u);
    EXPECT_EQ(context.bit_count[1], 1u);
}
