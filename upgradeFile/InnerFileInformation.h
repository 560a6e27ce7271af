#pragma once

#include <array>
#include <string>

namespace qx {
namespace upgradeFile {

// One decoded inner header (the 128 bytes in front of an inner file's data).
class InnerFileInformation {
  public:
    InnerFileInformation() = default;

    // Decodes the inner header held in the first 128 bytes of buffer; length
    // is the number of valid bytes in buffer. Checks only the identity bytes:
    // the digest also covers the data that follows, so the caller computes it
    // and asks ValidateMD5Hash. Nothing is logged. On false, ErrorMessage()
    // holds "Buffer is smaller than header size" or "Internal file header
    // identity failed".
    bool ParseHeader(const unsigned char* buffer, unsigned int length);

    // False when length is below 16; otherwise true exactly when the first
    // 16 bytes at digest equal the header's digest.
    bool ValidateMD5Hash(unsigned char* digest, unsigned int length) const;

    // Number of data bytes of this inner file.
    unsigned int FileSize() const;

    unsigned int SpareWord1() const { return spareWord1; }
    unsigned int SpareWord2() const { return spareWord2; }
    // All 32 label bytes as they stand, zero bytes included (empty until parsed).
    const std::string& Label() const { return label; }
    const std::array<unsigned char, 16>& Md5Hash() const { return md5Hash; }
    const std::string& ErrorMessage() const { return errorMessage; }

  private:
    unsigned int spareWord1 = 0;
    unsigned int spareWord2 = 0;
    unsigned int fileSize = 0;
    std::string label;
    std::array<unsigned char, 16> md5Hash{};
    std::string errorMessage;
};

// The entry the package reader keeps for each accepted inner file; it behaves
// exactly as its base.
class InnerFile : public InnerFileInformation {
  public:
    InnerFile() = default;
};

}  // namespace upgradeFile
}  // namespace qx
