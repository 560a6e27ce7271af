// list, verify and extract: the reader's results, as text or JSON.
#include "tools/inspect/Inspect.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tools/common/CommandLine.h"
#include "tools/common/PackageFiles.h"
#include "tools/package/Signing.h"
#include "upgradeFile/PackageLayout.h"
#include "upgradeFile/UpgradeFile.h"

namespace qx {
namespace inspect {

namespace {

using qx::upgradeFile::ReaderError;
using qx::upgradeFile::UpgradeFile;
using qx::upgradeFile::UpgradeFileInformation;
using Json = nlohmann::ordered_json;
namespace layout = qx::upgradeFile::layout;

int Failure(const std::string& text) { return qx::tools::Fail(kToolName, text); }

// Header texts and labels are raw bytes. Text output shows printable ASCII
// as it is and every other byte as \xNN (a backslash as \\).
std::string EscapeText(const std::string& bytes) {
    std::string text;
    for (unsigned char byte : bytes) {
        if (byte == '\\') {
            text += "\\\\";
        } else if (byte >= 0x20 && byte < 0x7F) {
            text += static_cast<char>(byte);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", byte);
            text += hex;
        }
    }
    return text;
}

// JSON strings hold text; each byte becomes the character of the same
// number (0x80 to 0xFF as two UTF-8 bytes), and the output escapes every
// character outside ASCII as \u00NN, so any bytes read back exactly.
Json JsonBytes(const std::string& bytes) {
    std::string text;
    for (unsigned char byte : bytes) {
        if (byte < 0x80) {
            text += static_cast<char>(byte);
        } else {
            text += static_cast<char>(0xC0 | (byte >> 6));
            text += static_cast<char>(0x80 | (byte & 0x3F));
        }
    }
    return text;
}

void PrintJson(const Json& document) { std::printf("%s\n", document.dump(2, ' ', true).c_str()); }

// A label is 32 raw bytes; the zero bytes that pad a short label are not shown.
std::string TrimmedLabel(const std::string& label) {
    size_t end = label.size();
    while (end > 0 && label[end - 1] == '\0') {
        --end;
    }
    return label.substr(0, end);
}

std::string HexDigest(const std::array<unsigned char, 16>& digest) {
    std::string text;
    for (unsigned char byte : digest) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%02x", byte);
        text += hex;
    }
    return text;
}

const char* KindName(ReaderError kind) {
    static const std::pair<ReaderError, const char*> kNames[] = {
        {ReaderError::None, "none"},
        {ReaderError::NoFile, "noFile"},
        {ReaderError::OpenFailed, "openFailed"},
        {ReaderError::HeaderUnreadable, "headerUnreadable"},
        {ReaderError::HeaderBadIdentity, "headerBadIdentity"},
        {ReaderError::HeaderBadDigest, "headerBadDigest"},
        {ReaderError::InnerHeaderUnreadable, "innerHeaderUnreadable"},
        {ReaderError::InnerHeaderBadIdentity, "innerHeaderBadIdentity"},
        {ReaderError::InnerDataTruncated, "innerDataTruncated"},
        {ReaderError::InnerDigestMismatch, "innerDigestMismatch"},
        {ReaderError::NotSigned, "notSigned"},
        {ReaderError::SignatureInvalid, "signatureInvalid"},
        {ReaderError::UnknownSigner, "unknownSigner"},
    };
    for (const auto& [value, name] : kNames) {
        if (value == kind) {
            return name;
        }
    }
    return "other";
}

// The reader's failure: its kind, the position of the header it rejected
// (for failures at a header or inner file) and its text.
Json ErrorJson(const UpgradeFile& reader) {
    const ReaderError kind = reader.Error();
    const bool atHeader = kind != ReaderError::NoFile && kind != ReaderError::OpenFailed;
    return {{"kind", KindName(kind)},
            {"position", atHeader ? Json(reader.ErrorPosition()) : Json()},
            {"message", JsonBytes(reader.ErrorMessage())}};
}

bool SignatureFailure(ReaderError kind) {
    return kind == ReaderError::NotSigned || kind == ReaderError::SignatureInvalid ||
           kind == ReaderError::UnknownSigner;
}

// The signature of a package whose inner files all checked out: the key id
// of the block that ends it (empty when unsigned), and, when a key was
// given, whether that key's signature is valid.
struct SignatureState {
    bool read = false;  // the pass reached the end of the inner files
    std::string keyId;
    bool checked = false;
    bool valid = false;
};

SignatureState ReadSignature(const UpgradeFile& reader, bool checked) {
    SignatureState state;
    if (!(reader.Valid() || SignatureFailure(reader.Error()))) {
        return state;
    }
    unsigned char tail[qx::upgradeFile::kSignatureBlockSize + 1];
    const long got = reader.ReadAfterInnerFiles(tail, sizeof tail);
    qx::upgradeFile::SignatureBlock block;
    state.read = true;
    if (got > 0 && qx::upgradeFile::ReadSignatureBlock(tail, static_cast<std::size_t>(got),
                                                       block) == qx::upgradeFile::Tail::Block) {
        state.keyId = qx::upgradeFile::HexText(block.keyId.data(), block.keyId.size());
    }
    state.checked = checked;
    state.valid = reader.Valid() && checked;
    return state;
}

Json SignatureJson(const SignatureState& state) {
    if (!state.read) {
        return Json();
    }
    return {{"keyId", state.keyId.empty() ? Json() : Json(state.keyId)},
            {"valid", state.checked ? Json(state.valid) : Json()}};
}

std::string SignatureText(const SignatureState& state) {
    if (state.keyId.empty()) {
        return "unsigned";
    }
    const char* verdict = !state.checked ? "not checked" : state.valid ? "valid" : "not valid";
    return "key " + state.keyId + " (" + verdict + ")";
}

// A reader that requires the signature of the key at keyPath, if one is given.
bool PrepareReader(const std::string& keyPath, UpgradeFile& reader) {
    if (keyPath.empty()) {
        return true;
    }
    qx::upgradeFile::PublicKey key;
    std::string error;
    if (!qx::package::LoadPublicKey(keyPath, key, error)) {
        Failure(error);
        return false;
    }
    reader.RequireSignature({key});
    return true;
}

// One row of the inner-file table.
struct InnerRow {
    unsigned int index = 0;
    unsigned long long offset = 0;  // first data byte
    bool headerKnown = false;       // size and label were decoded
    unsigned int size = 0;
    std::string label;
    std::string digest;  // "ok", "mismatch", "truncated" or "bad identity"
};

struct Listing {
    bool valid = false;
    SignatureState signature;
    bool headerKnown = false;  // outer identity passed: the fields were decoded
    std::vector<InnerRow> rows;
};

// Where the reader's pass stopped, as a row, when it stopped at an inner file.
bool RejectedRow(const UpgradeFile& reader, InnerRow& row) {
    switch (reader.Error()) {
        case ReaderError::InnerDigestMismatch:
            row.digest = "mismatch";
            break;
        case ReaderError::InnerDataTruncated:
            row.digest = "truncated";
            break;
        case ReaderError::InnerHeaderBadIdentity:
            row.digest = "bad identity";
            break;
        default:
            return false;
    }
    row.index = static_cast<unsigned int>(reader.Offsets().size());
    row.offset = static_cast<unsigned long long>(reader.ErrorPosition()) + layout::kHeaderSize;
    row.headerKnown = reader.Error() != ReaderError::InnerHeaderBadIdentity;
    row.size = reader.RejectedInnerFile().FileSize();
    row.label = reader.RejectedInnerFile().Label();
    return true;
}

Listing Inspect(const std::string& path, UpgradeFile& reader, bool keyGiven) {
    Listing listing;
    listing.valid = qx::tools::ParsePackage(reader, path);
    listing.signature = ReadSignature(reader, keyGiven);
    // The record keeps its fields when only its digest failed.
    listing.headerKnown =
        reader.Information().Valid() || reader.Error() == ReaderError::HeaderBadDigest;
    for (size_t i = 0; i < reader.Offsets().size(); ++i) {
        InnerRow row;
        row.index = static_cast<unsigned int>(i);
        row.offset = reader.Offsets()[i];
        row.headerKnown = true;
        row.size = reader.InnerFiles()[i].FileSize();
        row.label = reader.InnerFiles()[i].Label();
        row.digest = "ok";
        listing.rows.push_back(row);
    }
    InnerRow rejected;
    if (!listing.valid && RejectedRow(reader, rejected)) {
        listing.rows.push_back(rejected);
    }
    return listing;
}

void PrintHeaderText(const UpgradeFileInformation& info) {
    std::printf("Version:       %u\n", static_cast<unsigned int>(info.Version()));
    std::printf("Upgrade name:  %s\n", EscapeText(info.UpgradeName()).c_str());
    std::printf("Release name:  %s\n", EscapeText(info.ReleaseName()).c_str());
    std::printf("File date:     %s\n", EscapeText(info.FileDate()).c_str());
    std::printf("Upgrade ID:    %u\n", info.UpgradeId());
    std::printf("Spare text 1:  %s\n", EscapeText(info.SpareText1()).c_str());
    std::printf("Spare text 2:  %s\n", EscapeText(info.SpareText2()).c_str());
    std::printf("Spare word:    %u\n", info.SpareWord());
    std::printf("Payload size:  %u\n", info.FileSize());
    std::printf("Header digest: %s %s\n", HexDigest(info.Md5Hash()).c_str(),
                info.Valid() ? "ok" : "mismatch");
}

void PrintText(const std::string& path, const Listing& listing, const UpgradeFile& reader) {
    std::printf("Package:       %s\n", EscapeText(path).c_str());
    std::printf("Status:        %s\n",
                listing.valid ? "valid" : ("invalid: " + reader.ErrorMessage()).c_str());
    if (listing.signature.read) {
        std::printf("Signature:     %s\n", SignatureText(listing.signature).c_str());
    }
    if (!listing.headerKnown) {
        return;
    }
    PrintHeaderText(reader.Information());
    std::printf("Inner files:   %zu\n", listing.rows.size());
    if (listing.rows.empty()) {
        return;
    }
    std::printf("%5s %10s %10s  %-12s %s\n", "INDEX", "OFFSET", "SIZE", "DIGEST", "LABEL");
    for (const InnerRow& row : listing.rows) {
        const std::string size = row.headerKnown ? std::to_string(row.size) : "-";
        const std::string label = row.headerKnown ? EscapeText(TrimmedLabel(row.label)) : "-";
        std::printf("%5u %10llu %10s  %-12s %s\n", row.index, row.offset, size.c_str(),
                    row.digest.c_str(), label.c_str());
    }
}

Json HeaderJson(const UpgradeFileInformation& info) {
    return {{"version", info.Version()},
            {"upgradeName", JsonBytes(info.UpgradeName())},
            {"releaseName", JsonBytes(info.ReleaseName())},
            {"fileDate", JsonBytes(info.FileDate())},
            {"upgradeId", info.UpgradeId()},
            {"spareText1", JsonBytes(info.SpareText1())},
            {"spareText2", JsonBytes(info.SpareText2())},
            {"spareWord", info.SpareWord()},
            {"fileSize", info.FileSize()},
            {"md5", HexDigest(info.Md5Hash())},
            {"digest", info.Valid() ? "ok" : "mismatch"}};
}

Json ListingJson(const std::string& path, const Listing& listing, const UpgradeFile& reader) {
    Json rows = Json::array();
    for (const InnerRow& row : listing.rows) {
        rows.push_back({{"index", row.index},
                        {"offset", row.offset},
                        {"size", row.headerKnown ? Json(row.size) : Json()},
                        {"label", row.headerKnown ? JsonBytes(TrimmedLabel(row.label)) : Json()},
                        {"digest", row.digest}});
    }
    return {{"path", JsonBytes(path)},
            {"valid", listing.valid},
            {"error", listing.valid ? Json() : ErrorJson(reader)},
            {"header", listing.headerKnown ? HeaderJson(reader.Information()) : Json()},
            {"innerFiles", rows},
            {"signature", SignatureJson(listing.signature)}};
}

bool ParseIndex(const std::string& text, unsigned int& index) {
    if (text.empty() || text.size() > 10 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    unsigned long long value = std::strtoull(text.c_str(), nullptr, 10);
    if (value > 0xFFFFFFFFull) {
        return false;
    }
    index = static_cast<unsigned int>(value);
    return true;
}

}  // namespace

int List(const std::string& path, bool json, const std::string& keyPath) {
    UpgradeFile reader;
    if (!PrepareReader(keyPath, reader)) {
        return qx::tools::kExitFailed;
    }
    const Listing listing = Inspect(path, reader, !keyPath.empty());
    if (json) {
        PrintJson(ListingJson(path, listing, reader));
    } else {
        PrintText(path, listing, reader);
    }
    return listing.valid ? 0 : qx::tools::kExitFailed;
}

int Verify(const std::string& path, bool json, const std::string& keyPath) {
    UpgradeFile reader;
    if (!PrepareReader(keyPath, reader)) {
        return qx::tools::kExitFailed;
    }
    const bool valid = qx::tools::ParsePackage(reader, path);
    const SignatureState signature = ReadSignature(reader, !keyPath.empty());
    if (json) {
        PrintJson({{"path", JsonBytes(path)},
                   {"valid", valid},
                   {"innerFiles", reader.Offsets().size()},
                   {"error", valid ? Json() : ErrorJson(reader)},
                   {"signature", SignatureJson(signature)}});
        return valid ? 0 : qx::tools::kExitFailed;
    }
    if (!valid) {
        return Failure(path + ": " + reader.ErrorMessage());
    }
    std::printf("%s: valid, %zu inner files, signature: %s\n", path.c_str(),
                reader.Offsets().size(), SignatureText(signature).c_str());
    return 0;
}

int Extract(const std::string& path, const std::string& indexText, const std::string& out) {
    unsigned int index = 0;
    if (!ParseIndex(indexText, index)) {
        return qx::tools::UsageError(kToolName,
                                     "INDEX must be a number from 0, not '" + indexText + "'");
    }
    UpgradeFile reader;
    if (!qx::tools::ParsePackage(reader, path)) {
        return Failure(path + ": " + reader.ErrorMessage());
    }
    if (!qx::tools::ExtractToOutput(reader, index, out)) {
        std::string text = reader.ErrorMessage();
        if (reader.Error() == ReaderError::InvalidIndex) {
            text += ": " + path + " has " + std::to_string(reader.Offsets().size()) +
                    " inner files, numbered from 0";
        }
        return Failure(text);
    }
    return 0;
}

}  // namespace inspect
}  // namespace qx
