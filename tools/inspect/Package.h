#pragma once

// A package named on upgrade-inspect's command line: the tool opens it (or
// takes standard input for "-") and hands the device's reader a copy of the
// descriptor, so what is checked is what is read, and the tool can read
// the same file again (data digests, header bytes, the trailer).
#include <string>

#include "tools/common/Output.h"
#include "upgradeFile/UpgradeFile.h"
#include "upgrader/utils/SystemCalls.h"

namespace qx {
namespace inspect {

struct PackageInput {
    std::string name;  // as given ("-" for standard input)
    qx::upgrader::utils::Descriptor fd;
};

// Opens a readable regular file, or standard input for "-", a FIFO or a
// character device (a stream is copied to an unnamed temporary file first:
// the reader reads the package more than once). False with error =
// "NAME: reason".
bool OpenPackage(const std::string& argument, PackageInput& input, std::string& error);

// The package's size in bytes (0 when it cannot be told).
unsigned long long PackageSize(const PackageInput& input);

// The reader's verifying pass over the open package, in the tools' blocks.
bool ParsePackage(qx::upgradeFile::UpgradeFile& reader, const PackageInput& input);

// Writes inner file index to output (name: for messages).
bool ExtractPackageFile(qx::upgradeFile::UpgradeFile& reader, unsigned int index,
                        qx::tools::OutputFile& output, const std::string& name);

// Writes inner file index to the open file fd, which the caller keeps
// (name: for messages).
bool ExtractPackageFile(qx::upgradeFile::UpgradeFile& reader, unsigned int index, int fd,
                        const std::string& name);

// The MD5 digest of count bytes of the package from position begin, as
// md5sum prints it; false when they cannot be read.
bool DataDigest(const PackageInput& input, unsigned long long begin, unsigned int count,
                std::string& hex);

// 16 digest bytes as 32 lower-case hexadecimal digits.
std::string HexDigest(const unsigned char* digest);

}  // namespace inspect
}  // namespace qx
