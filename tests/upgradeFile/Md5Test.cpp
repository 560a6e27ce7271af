#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/Md5Hex.h"

using namespace qx::upgradeFile;
using qx::testing::Md5Hex;

namespace {

std::vector<unsigned char> Counting(std::size_t size) {
    std::vector<unsigned char> bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<unsigned char>(i);
    }
    return bytes;
}

}  // namespace

// RFC 1321, then counting bytes of lengths around the block size.
TEST(Md5, KnownDigests) {
    const char* const suite[][2] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"}};
    for (const auto& entry : suite) {
        EXPECT_EQ(Md5Hex(entry[0]), entry[1]) << '"' << entry[0] << '"';
    }
    const std::pair<std::size_t, const char*> counting[] = {
        {55, "6912ee65fff2d9f9ce2508cddf8bcda0"},  {56, "51fdd1acda72405dfdfa03fcb85896d7"},
        {63, "48a6295221902e8e0938f773a7185e72"},  {64, "b2d3f56bc197fd985d5965079b5e7148"},
        {65, "8bd7053801c768420faf816fadba971c"},  {112, "d1fec2ac3715e791ca5f489f300381b3"},
        {1000, "cbecbdb0fdd5cec1e242493b6008cc79"}};
    for (const auto& [size, digest] : counting) {
        const std::vector<unsigned char> bytes = Counting(size);
        EXPECT_EQ(Md5Hex(bytes.data(), size), digest) << size;
    }
}

TEST(Md5, ZeroOrNegativeLengthChangesNothing) {
    md5_context context, before;
    md5_init(&context);
    md5_append(&context, reinterpret_cast<const unsigned char*>("abc"), 3);
    std::memcpy(&before, &context, sizeof context);
    md5_append(&context, reinterpret_cast<const unsigned char*>("x"), 0);
    md5_append(&context, reinterpret_cast<const unsigned char*>("x"), -1);
    EXPECT_EQ(std::memcmp(&before, &context, sizeof context), 0);
    EXPECT_EQ(Md5Hex(context), "900150983cd24fb0d6963f7d28e17f72");
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
