#include "upgradeFile/InnerFileInformation.h"

#include <cstring>

#include "upgradeFile/PackageLayout.h"

namespace qx {
namespace upgradeFile {

bool InnerFileInformation::ParseHeader(const unsigned char* buffer, unsigned int length) {
    using namespace layout;
    if (length < kHeaderSize) {
        errorMessage = "Buffer is smaller than header size";
        return false;
    }
    for (unsigned int i = 0; i < sizeof kInnerIdentity; ++i) {
        if (buffer[kInnerIdentityOffset + i] != kInnerIdentity[i]) {
            errorMessage = "Internal file header identity failed";
            return false;
        }
    }
    // Sizes and spare words are taken as they stand: the digest decides.
    spareWord1 = ReadBigEndian32(buffer + kSpareWord1Offset);
    spareWord2 = ReadBigEndian32(buffer + kSpareWord2Offset);
    fileSize = ReadBigEndian32(buffer + kInnerFileSizeOffset);
    label.assign(reinterpret_cast<const char*>(buffer + kLabelOffset), kLabelSize);
    std::memcpy(md5Hash.data(), buffer + kHashOffset, kHashSize);
    return true;
}

bool InnerFileInformation::ValidateMD5Hash(unsigned char* digest, unsigned int length) const {
    if (length < layout::kHashSize) {
        return false;
    }
    return std::memcmp(digest, md5Hash.data(), layout::kHashSize) == 0;
}

unsigned int InnerFileInformation::FileSize() const { return fileSize; }

}  // namespace upgradeFile
}  // namespace qx
