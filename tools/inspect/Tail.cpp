#include "tools/inspect/Tail.h"

#include <vector>

namespace qx {
namespace inspect {

using qx::upgradeFile::kSignatureBlockSize;
using qx::upgradeFile::ReadSignatureBlock;
using qx::upgradeFile::Tail;

PackageTail ReadTail(const qx::upgradeFile::UpgradeFile& reader, const PackageInput& input) {
    PackageTail tail;
    if (reader.Offsets().empty()) {
        return tail;
    }
    tail.start = static_cast<unsigned long long>(reader.Offsets().back()) +
                 reader.InnerFiles().back().FileSize();
    const unsigned long long total = PackageSize(input);
    tail.size = total > tail.start ? total - tail.start : 0;
    // One byte more than a block tells a block from a block and more.
    unsigned char bytes[kSignatureBlockSize + 1];
    const long got = reader.ReadAfterInnerFiles(bytes, sizeof bytes);
    if (got < 0) {
        return tail;
    }
    tail.read = true;
    const std::size_t count = static_cast<std::size_t>(got);
    switch (ReadSignatureBlock(bytes, count, tail.block)) {
        case Tail::Unsigned:
            tail.kind = PackageTail::Kind::Unsigned;
            break;
        case Tail::Block:
            tail.kind = PackageTail::Kind::Block;
            break;
        case Tail::Malformed:
            tail.kind = count < kSignatureBlockSize ? PackageTail::Kind::CutBlock
                                                    : PackageTail::Kind::BlockAndMore;
            ReadSignatureBlock(bytes, kSignatureBlockSize, tail.block);
            break;
    }
    return tail;
}

std::string KeyIdText(const qx::upgradeFile::SignatureBlock& block) {
    return qx::upgradeFile::HexText(block.keyId.data(), block.keyId.size());
}

std::string TailText(const PackageTail& tail) {
    const std::string count = std::to_string(tail.size);
    switch (tail.kind) {
        case PackageTail::Kind::Block:
            return "signed by key " + KeyIdText(tail.block);
        case PackageTail::Kind::CutBlock:
            return "a malformed signature block (" + count + " of " +
                   std::to_string(kSignatureBlockSize) + " bytes)";
        case PackageTail::Kind::BlockAndMore:
            return "a signature block by key " + KeyIdText(tail.block) + " and " +
                   std::to_string(tail.size - kSignatureBlockSize) + " bytes after it";
        case PackageTail::Kind::Unsigned:
            break;
    }
    return tail.size == 0
               ? "unsigned"
               : "unsigned (" + count + " bytes after the last inner file, no signature block)";
}

qx::tools::Json TailJson(const PackageTail& tail) {
    static const char* const kStates[] = {"unsigned", "signed", "cutBlock", "blockAndMore"};
    const bool keyed =
        tail.kind == PackageTail::Kind::Block || tail.kind == PackageTail::Kind::BlockAndMore;
    return {{"state", kStates[static_cast<int>(tail.kind)]},
            {"keyId", keyed ? qx::tools::Json(KeyIdText(tail.block)) : qx::tools::Json()},
            {"bytesAfterInnerFiles", tail.size}};
}

}  // namespace inspect
}  // namespace qx
