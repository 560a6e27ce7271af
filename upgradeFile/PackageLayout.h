#pragma once

// Byte layout of an upgrade package, shared by the reader and the host-side
// package writer. Every header is 128 bytes, integers are big-endian, and the
// last 16 bytes of each header hold an MD5 digest.
//
//   0            outer header
//   128          inner header 0, then its data
//   ...          inner header i, then its data (no padding anywhere)
//
// The outer fileSize is the sum of the inner data sizes (headers excluded).

namespace qx {
namespace upgradeFile {
namespace layout {

constexpr unsigned int kHeaderSize = 128;
constexpr unsigned int kHashOffset = 112;  // digest covers bytes 0..111 (+ data for inner)
constexpr unsigned int kHashSize = 16;

// Packages are read with 32-bit file offsets: anything from 2 GiB on is
// outside the format.
constexpr unsigned int kMaxPackageSize = 0x7FFFFFFFu;

// Outer header.
constexpr unsigned char kOuterIdentity[6] = {0x55, 0xDE, 0xAD, 0xBE, 0xEF, 0x55};
constexpr unsigned int kOuterIdentityOffset = 0;
constexpr unsigned int kVersionOffset = 6;  // 16-bit
constexpr unsigned int kUpgradeNameOffset = 8;
constexpr unsigned int kUpgradeNameSize = 32;
constexpr unsigned int kReleaseNameOffset = 40;
constexpr unsigned int kReleaseNameSize = 16;
constexpr unsigned int kFileDateOffset = 56;
constexpr unsigned int kFileDateSize = 8;
constexpr unsigned int kUpgradeIdOffset = 64;
constexpr unsigned int kSpareText1Offset = 68;
constexpr unsigned int kSpareText1Size = 8;
constexpr unsigned int kSpareText2Offset = 76;
constexpr unsigned int kSpareText2Size = 8;
constexpr unsigned int kSpareWordOffset = 84;
constexpr unsigned int kOuterFileSizeOffset = 88;
// Bytes 92..111 are reserved (zero when written, covered by the digest).

// Inner header.
constexpr unsigned char kInnerIdentity[4] = {0xF1, 0xE2, 0xD3, 0xC4};
constexpr unsigned int kInnerIdentityOffset = 0;
constexpr unsigned int kSpareWord1Offset = 4;
constexpr unsigned int kSpareWord2Offset = 8;
constexpr unsigned int kInnerFileSizeOffset = 12;
constexpr unsigned int kLabelOffset = 16;
constexpr unsigned int kLabelSize = 32;
// Bytes 48..111 are reserved.

inline unsigned int ReadBigEndian32(const unsigned char* p) {
    return (static_cast<unsigned int>(p[0]) << 24) | (static_cast<unsigned int>(p[1]) << 16) |
           (static_cast<unsigned int>(p[2]) << 8) | static_cast<unsigned int>(p[3]);
}

inline unsigned short ReadBigEndian16(const unsigned char* p) {
    return static_cast<unsigned short>((p[0] << 8) | p[1]);
}

inline void WriteBigEndian32(unsigned char* p, unsigned int value) {
    p[0] = static_cast<unsigned char>(value >> 24);
    p[1] = static_cast<unsigned char>(value >> 16);
    p[2] = static_cast<unsigned char>(value >> 8);
    p[3] = static_cast<unsigned char>(value);
}

inline void WriteBigEndian16(unsigned char* p, unsigned short value) {
    p[0] = static_cast<unsigned char>(value >> 8);
    p[1] = static_cast<unsigned char>(value);
}

}  // namespace layout
}  // namespace upgradeFile
}  // namespace qx
