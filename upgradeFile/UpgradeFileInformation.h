#pragma once

#include <array>
#include <string>

namespace qx {
namespace upgradeFile {

// One decoded outer header of an upgrade package (the first 128 bytes).
class UpgradeFileInformation {
  public:
    UpgradeFileInformation() = default;

    // Decodes and checks the outer header held in the first 128 bytes of
    // buffer; length is the number of valid bytes in buffer. Checks the
    // identity bytes, stores the fields, writes five lines to the upgrade
    // log (version, names, date, id) and then checks the header digest.
    // On false, ErrorMessage() holds one of "Buffer is smaller than header
    // size", "Header identity failed", "Header MD5 check failed".
    bool ParseHeader(const unsigned char* buffer, unsigned int length);

    // Always 128.
    unsigned int HeaderSize() const;
    // The payload total: sum of the data sizes of all inner files.
    unsigned int FileSize() const;

    bool Valid() const { return valid; }
    unsigned short Version() const { return version; }
    const std::string& UpgradeName() const { return upgradeName; }
    const std::string& ReleaseName() const { return releaseName; }
    const std::string& FileDate() const { return fileDate; }
    unsigned int UpgradeId() const { return upgradeId; }
    const std::string& SpareText1() const { return spareText1; }
    const std::string& SpareText2() const { return spareText2; }
    unsigned int SpareWord() const { return spareWord; }
    const std::array<unsigned char, 16>& Md5Hash() const { return md5Hash; }
    const std::string& ErrorMessage() const { return errorMessage; }

  private:
    bool valid = false;
    unsigned short version = 0;
    std::string upgradeName;
    std::string releaseName;
    std::string fileDate;
    unsigned int upgradeId = 0;
    std::string spareText1;
    std::string spareText2;
    unsigned int spareWord = 0;
    unsigned int fileSize = 0;
    std::array<unsigned char, 16> md5Hash{};
    std::string errorMessage;
};

}  // namespace upgradeFile
}  // namespace qx
