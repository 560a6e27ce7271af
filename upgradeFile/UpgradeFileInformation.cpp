#include "upgradeFile/UpgradeFileInformation.h"

#include <cstring>
#include <sstream>

#include "upgradeFile/Md5.h"
#include "upgradeFile/PackageLayout.h"
#include "upgrader/utils/UpgradeLog.h"

namespace qx {
namespace upgradeFile {

namespace {

// A fixed-width text field: its bytes up to the first zero byte, or all of
// them when there is none.
std::string TextField(const unsigned char* buffer, unsigned int offset, unsigned int size) {
    const char* start = reinterpret_cast<const char*>(buffer + offset);
    const void* zero = std::memchr(start, 0, size);
    std::size_t length = zero ? static_cast<std::size_t>(static_cast<const char*>(zero) - start)
                              : static_cast<std::size_t>(size);
    return std::string(start, length);
}

}  // namespace

bool UpgradeFileInformation::ParseHeader(const unsigned char* buffer, unsigned int length) {
    using namespace layout;
    using qx::upgrader::utils::LogToUpgradeLog;

    if (length < kHeaderSize) {
        errorMessage = "Buffer is smaller than header size";
        return false;
    }
    for (unsigned int i = 0; i < sizeof kOuterIdentity; ++i) {
        if (buffer[kOuterIdentityOffset + i] != kOuterIdentity[i]) {
            errorMessage = "Header identity failed";
            return false;
        }
    }

    version = ReadBigEndian16(buffer + kVersionOffset);
    upgradeName = TextField(buffer, kUpgradeNameOffset, kUpgradeNameSize);
    releaseName = TextField(buffer, kReleaseNameOffset, kReleaseNameSize);
    fileDate = TextField(buffer, kFileDateOffset, kFileDateSize);
    upgradeId = ReadBigEndian32(buffer + kUpgradeIdOffset);
    spareText1 = TextField(buffer, kSpareText1Offset, kSpareText1Size);
    spareText2 = TextField(buffer, kSpareText2Offset, kSpareText2Size);

    // The fields are logged before the digest is checked, so a damaged
    // header still shows what it claimed to be.
    {
        std::ostringstream line;
        line << "Version " << static_cast<unsigned int>(version);
        LogToUpgradeLog(line.str());
    }
    LogToUpgradeLog("Upgrade Name: " + upgradeName);
    LogToUpgradeLog("Release Name: " + releaseName);
    LogToUpgradeLog("File Date: " + fileDate);
    {
        std::ostringstream line;
        line << "Upgrade ID: " << upgradeId;
        LogToUpgradeLog(line.str());
    }

    spareWord = ReadBigEndian32(buffer + kSpareWordOffset);
    fileSize = ReadBigEndian32(buffer + kOuterFileSizeOffset);
    std::memcpy(md5Hash.data(), buffer + kHashOffset, kHashSize);

    md5_context context;
    md5_init(&context);
    md5_append(&context, buffer, static_cast<int>(kHashOffset));
    unsigned char digest[kMd5DigestSize];
    md5_finish(&context, digest);
    if (std::memcmp(digest, md5Hash.data(), kHashSize) != 0) {
        errorMessage = "Header MD5 check failed";
        return false;
    }
    valid = true;
    return true;
}

unsigned int UpgradeFileInformation::HeaderSize() const { return layout::kHeaderSize; }

unsigned int UpgradeFileInformation::FileSize() const { return fileSize; }

}  // namespace upgradeFile
}  // namespace qx
