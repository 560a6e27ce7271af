// diff: every byte of two packages compared, each difference named by the
// part of the format it falls in (header field, inner header field, inner
// file data, what follows the last inner file).
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "tools/common/CommandLine.h"
#include "tools/common/Files.h"
#include "tools/common/JsonText.h"
#include "tools/inspect/Inspect.h"
#include "tools/inspect/Package.h"
#include "tools/inspect/Tail.h"
#include "upgradeFile/Md5.h"
#include "upgradeFile/PackageLayout.h"

namespace qx {
namespace inspect {

namespace {

using qx::tools::Json;
using qx::tools::TextOf;
using qx::upgradeFile::UpgradeFile;
namespace layout = qx::upgradeFile::layout;

// A header field: where it stands in its 128 bytes and how it is shown.
struct Field {
    const char* name;
    unsigned int offset, size;
    enum class Kind { Number, Text, Bytes } kind;
};

using K = Field::Kind;
constexpr Field kOuterFields[] = {
    {"identity", layout::kOuterIdentityOffset, 6, K::Bytes},
    {"version", layout::kVersionOffset, 2, K::Number},
    {"upgradeName", layout::kUpgradeNameOffset, layout::kUpgradeNameSize, K::Text},
    {"releaseName", layout::kReleaseNameOffset, layout::kReleaseNameSize, K::Text},
    {"fileDate", layout::kFileDateOffset, layout::kFileDateSize, K::Text},
    {"upgradeId", layout::kUpgradeIdOffset, 4, K::Number},
    {"spareText1", layout::kSpareText1Offset, layout::kSpareText1Size, K::Text},
    {"spareText2", layout::kSpareText2Offset, layout::kSpareText2Size, K::Text},
    {"spareWord", layout::kSpareWordOffset, 4, K::Number},
    {"fileSize", layout::kOuterFileSizeOffset, 4, K::Number},
    {"reserved", layout::kOuterFileSizeOffset + 4, layout::kHashOffset - 92, K::Bytes},
    {"digest", layout::kHashOffset, layout::kHashSize, K::Bytes},
};
constexpr Field kInnerFields[] = {
    {"identity", layout::kInnerIdentityOffset, 4, K::Bytes},
    {"spareWord1", layout::kSpareWord1Offset, 4, K::Number},
    {"spareWord2", layout::kSpareWord2Offset, 4, K::Number},
    {"fileSize", layout::kInnerFileSizeOffset, 4, K::Number},
    {"label", layout::kLabelOffset, layout::kLabelSize, K::Text},
    {"reserved", layout::kLabelOffset + layout::kLabelSize,
     layout::kHashOffset - layout::kLabelOffset - layout::kLabelSize, K::Bytes},
    {"digest", layout::kHashOffset, layout::kHashSize, K::Bytes},
};

// One difference, as data: the part ("header", "innerHeader", "innerData",
// "innerFile", "tail"), the inner file's index (-1: none), the field and
// both values, in JSON and as text.
struct Difference {
    std::string part;
    long index = -1;
    std::string field;
    Json first, second;
    std::string firstText, secondText;
};

// One package, verified by the reader (no key: the tail is only read).
struct Side {
    PackageInput input;
    UpgradeFile reader;
    PackageTail tail;
};

bool ReadAt(const Side& side, unsigned long long at, std::size_t size, std::string& bytes) {
    bytes.assign(size, '\0');
    const long got = qx::upgrader::utils::Retrying([&] {
        return static_cast<long>(
            ::pread(side.input.fd.Get(), &bytes[0], size, static_cast<off_t>(at)));
    });
    return got == static_cast<long>(size);
}

std::string Trimmed(const std::string& text) {
    const std::size_t end = text.find_last_not_of('\0');
    return end == std::string::npos ? std::string() : text.substr(0, end + 1);
}

void FieldValue(const Field& field, const std::string& raw, Json& json, std::string& text) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(raw.data());
    if (field.kind == K::Number) {
        const unsigned int value =
            field.size == 2 ? layout::ReadBigEndian16(bytes) : layout::ReadBigEndian32(bytes);
        json = value;
        text = std::to_string(value);
    } else if (field.kind == K::Text) {
        json = qx::tools::JsonBytes(Trimmed(raw));
        text = "\"" + TextOf(Trimmed(raw)) + "\"";
    } else {
        text = qx::upgradeFile::HexText(bytes, raw.size());
        json = text;
    }
}

// The fields of two 128-byte headers that differ.
void DiffHeader(const std::string& a, const std::string& b, const Field* fields, std::size_t count,
                const std::string& part, long index, std::vector<Difference>& out) {
    for (std::size_t i = 0; i < count; ++i) {
        const Field& field = fields[i];
        const std::string x = a.substr(field.offset, field.size);
        const std::string y = b.substr(field.offset, field.size);
        if (x == y) {
            continue;
        }
        Difference difference{part, index, field.name, {}, {}, {}, {}};
        FieldValue(field, x, difference.first, difference.firstText);
        FieldValue(field, y, difference.second, difference.secondText);
        out.push_back(difference);
    }
}

// Compares size bytes of each side from their positions; the first
// position (from 0) where they differ, or -1; with md5, the digest of each
// range. False when a side cannot be read.
struct Range {
    unsigned long long at, size;
};
bool CompareRanges(const Side& a, Range ra, const Side& b, Range rb, long long& differsAt,
                   std::string* md5) {
    using namespace qx::upgradeFile;
    md5_context contexts[2];
    md5_init(&contexts[0]);
    md5_init(&contexts[1]);
    constexpr unsigned long long kPiece = 64 * 1024;
    differsAt = ra.size == rb.size ? -1 : static_cast<long long>(std::min(ra.size, rb.size));
    std::string x, y;
    for (unsigned long long done = 0; done < std::max(ra.size, rb.size); done += kPiece) {
        const auto left = [&](const Range& r) {
            return r.size > done ? std::min(kPiece, r.size - done) : 0;
        };
        if (!ReadAt(a, ra.at + done, static_cast<std::size_t>(left(ra)), x) ||
            !ReadAt(b, rb.at + done, static_cast<std::size_t>(left(rb)), y)) {
            return false;
        }
        for (std::size_t i = 0; differsAt < 0 && i < std::min(x.size(), y.size()); ++i) {
            if (x[i] != y[i]) {
                differsAt = static_cast<long long>(done + i);
            }
        }
        md5_append(&contexts[0], reinterpret_cast<const unsigned char*>(x.data()),
                   static_cast<int>(x.size()));
        md5_append(&contexts[1], reinterpret_cast<const unsigned char*>(y.data()),
                   static_cast<int>(y.size()));
    }
    for (int i = 0; md5 != nullptr && i < 2; ++i) {
        unsigned char digest[16];
        md5_finish(&contexts[i], digest);
        md5[i] = HexDigest(digest);
    }
    return true;
}

// A row of an inner file only one package holds.
Json InnerFileJson(const Side& side, std::size_t i) {
    const auto& inner = side.reader.InnerFiles()[i];
    return {{"offset", side.reader.Offsets()[i]},
            {"size", inner.FileSize()},
            {"label", qx::tools::JsonBytes(Trimmed(inner.Label()))}};
}

std::string InnerFileText(const Side& side, std::size_t i) {
    const auto& inner = side.reader.InnerFiles()[i];
    return "label \"" + TextOf(Trimmed(inner.Label())) + "\", size " +
           std::to_string(inner.FileSize());
}

// Inner file i: its header fields and its data.
bool DiffInnerFile(const Side& a, const Side& b, std::size_t i, std::vector<Difference>& out) {
    const unsigned long long dataA = a.reader.Offsets()[i], dataB = b.reader.Offsets()[i];
    std::string x, y;
    if (!ReadAt(a, dataA - layout::kHeaderSize, layout::kHeaderSize, x) ||
        !ReadAt(b, dataB - layout::kHeaderSize, layout::kHeaderSize, y)) {
        return false;
    }
    const long index = static_cast<long>(i);
    DiffHeader(x, y, kInnerFields, std::size(kInnerFields), "innerHeader", index, out);
    long long at = -1;
    std::string md5[2];
    if (!CompareRanges(a, {dataA, a.reader.InnerFiles()[i].FileSize()}, b,
                       {dataB, b.reader.InnerFiles()[i].FileSize()}, at, md5)) {
        return false;
    }
    if (at >= 0) {
        out.push_back(
            {"innerData", index, "data", Json{{"md5", md5[0]}, {"differsAt", at}},
             Json{{"md5", md5[1]}, {"differsAt", at}},
             "md5 " + md5[0] + " (first difference at data byte " + std::to_string(at) + ")",
             "md5 " + md5[1]});
    }
    return true;
}

// What follows the last inner file: the signature state, else the block's
// signature bytes or the other bytes.
bool DiffTail(const Side& a, const Side& b, std::vector<Difference>& out) {
    long long at = -1;
    if (!CompareRanges(a, {a.tail.start, a.tail.size}, b, {b.tail.start, b.tail.size}, at,
                       nullptr)) {
        return false;
    }
    if (at < 0) {
        return true;
    }
    const Json x = TailJson(a.tail), y = TailJson(b.tail);
    if (x != y) {
        out.push_back({"tail", -1, "signature", x, y, TailText(a.tail), TailText(b.tail)});
    } else if (a.tail.kind == PackageTail::Kind::Block) {
        const auto hex = [](const PackageTail& tail) {
            return qx::upgradeFile::HexText(tail.block.signature.data(),
                                            tail.block.signature.size());
        };
        out.push_back(
            {"tail", -1, "signatureBytes", hex(a.tail), hex(b.tail), hex(a.tail), hex(b.tail)});
    } else {
        out.push_back(
            {"tail", -1, "bytes", Json{{"differsAt", at}}, Json{{"differsAt", at}},
             "first difference at byte " + std::to_string(at) + " after the last inner file",
             "the other package's"});
    }
    return true;
}

// Every difference of two verified packages; false when one cannot be read.
bool Differences(const Side& a, const Side& b, std::vector<Difference>& out) {
    std::string x, y;
    if (!ReadAt(a, 0, layout::kHeaderSize, x) || !ReadAt(b, 0, layout::kHeaderSize, y)) {
        return false;
    }
    DiffHeader(x, y, kOuterFields, std::size(kOuterFields), "header", -1, out);
    const std::size_t countA = a.reader.InnerFiles().size(), countB = b.reader.InnerFiles().size();
    for (std::size_t i = 0; i < std::max(countA, countB); ++i) {
        if (i >= countA || i >= countB) {
            const bool inA = i < countA;
            const Json row = InnerFileJson(inA ? a : b, i);
            const std::string text = InnerFileText(inA ? a : b, i);
            out.push_back({"innerFile", static_cast<long>(i), "presence", inA ? row : Json(),
                           inA ? Json() : row, inA ? text : "none", inA ? "none" : text});
        } else if (!DiffInnerFile(a, b, i, out)) {
            return false;
        }
    }
    return DiffTail(a, b, out);
}

std::string Where(const Difference& difference) {
    const std::string inner = "inner file " + std::to_string(difference.index);
    if (difference.part == "header") {
        return "header " + difference.field;
    }
    if (difference.part == "innerHeader") {
        return inner + " header " + difference.field;
    }
    if (difference.part == "innerData") {
        return inner + " data";
    }
    if (difference.part == "innerFile") {
        return inner;
    }
    return difference.field == "signature" ? "after the last inner file"
                                           : "after the last inner file " + difference.field;
}

void Print(const std::vector<Difference>& differences, bool json) {
    if (!json) {
        for (const Difference& difference : differences) {
            std::printf("%s: %s -> %s\n", Where(difference).c_str(), difference.firstText.c_str(),
                        difference.secondText.c_str());
        }
        return;
    }
    Json list = Json::array();
    for (const Difference& difference : differences) {
        list.push_back({{"part", difference.part},
                        {"index", difference.index < 0 ? Json() : Json(difference.index)},
                        {"field", difference.field},
                        {"first", difference.first},
                        {"second", difference.second}});
    }
    const Json document = {{"same", differences.empty()}, {"differences", list}};
    std::printf("%s\n", document.dump(2, ' ', true).c_str());
}

// Opens and verifies one package; false after a one-line error.
bool OpenSide(const std::string& name, Side& side) {
    std::string error;
    if (!OpenPackage(name, side.input, error)) {
        qx::tools::Fail(kToolName, TextOf(error));
        return false;
    }
    if (!ParsePackage(side.reader, side.input)) {
        qx::tools::Fail(kToolName, TextOf(name) + ": " + side.reader.ErrorMessage());
        return false;
    }
    side.tail = ReadTail(side.reader, side.input);
    return true;
}

}  // namespace

int Diff(const std::string& first, const std::string& second, bool json) {
    if (first == qx::tools::kStandardStream && second == qx::tools::kStandardStream) {
        return qx::tools::UsageError(kToolName, "only one of the packages can be standard input");
    }
    auto a = std::make_unique<Side>(), b = std::make_unique<Side>();
    if (!OpenSide(first, *a) || !OpenSide(second, *b)) {
        return kDiffTrouble;
    }
    std::vector<Difference> differences;
    if (!Differences(*a, *b, differences)) {
        qx::tools::Fail(kToolName, "cannot read " + TextOf(first) + " or " + TextOf(second) +
                                       " again: " + qx::upgrader::utils::ErrnoText(errno));
        return kDiffTrouble;
    }
    Print(differences, json);
    return differences.empty() ? 0 : kDiffDifferent;
}

}  // namespace inspect
}  // namespace qx
