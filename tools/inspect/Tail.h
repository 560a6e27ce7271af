#pragma once

// What stands after the last inner file of a package (where a signature
// block stands), told the way the reader's signature check tells it, so
// that list, verify and diff without a key say what --key would decide.
#include <string>

#include "tools/common/JsonText.h"
#include "tools/inspect/Package.h"
#include "upgradeFile/Signature.h"
#include "upgradeFile/UpgradeFile.h"

namespace qx {
namespace inspect {

struct PackageTail {
    // Unsigned: no bytes, or bytes that do not begin with a block's magic
    // (the reader: not signed). Block: exactly one block. CutBlock: the
    // magic and fewer bytes than a block; BlockAndMore: a block and bytes
    // after it (both: not valid with any key).
    enum class Kind { Unsigned, Block, CutBlock, BlockAndMore };
    bool read = false;  // the reader's pass reached the end of the inner files
    Kind kind = Kind::Unsigned;
    unsigned long long start = 0;           // first byte after the last inner file
    unsigned long long size = 0;            // bytes from there to the end of the package
    qx::upgradeFile::SignatureBlock block;  // Block and BlockAndMore
};

// The tail of a package whose pass reached the end of its inner files
// (read stays false otherwise).
PackageTail ReadTail(const qx::upgradeFile::UpgradeFile& reader, const PackageInput& input);

// The key id of a block as hexadecimal digits.
std::string KeyIdText(const qx::upgradeFile::SignatureBlock& block);

// One phrase: "unsigned", "signed by key KEYID", "a malformed signature
// block (N of 80 bytes)", "a signature block by key KEYID and N bytes after
// it", "unsigned (N bytes after the last inner file, no signature block)".
std::string TailText(const PackageTail& tail);

// {"state", "keyId", "bytesAfterInnerFiles"}: state is "unsigned",
// "signed", "cutBlock" or "blockAndMore".
qx::tools::Json TailJson(const PackageTail& tail);

}  // namespace inspect
}  // namespace qx
