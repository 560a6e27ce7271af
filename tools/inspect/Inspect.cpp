// list, verify, extract and diff: the reader's results, as text or JSON.
#include "tools/inspect/Inspect.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tools/common/CommandLine.h"
#include "tools/common/Files.h"
#include "tools/common/JsonText.h"
#include "tools/common/Numbers.h"
#include "tools/common/Output.h"
#include "tools/common/Progress.h"
#include "tools/common/Signals.h"
#include "tools/inspect/Package.h"
#include "tools/package/Signing.h"
#include "upgradeFile/PackageLayout.h"
#include "upgradeFile/UpgradeFile.h"

namespace qx {
namespace inspect {

namespace {

using qx::tools::Json;
using qx::tools::JsonBytes;
using qx::upgradeFile::ReaderError;
using qx::upgradeFile::UpgradeFile;
using qx::upgradeFile::UpgradeFileInformation;
using qx::upgrader::utils::Descriptor;
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

void PrintJson(const Json& document) { std::printf("%s\n", document.dump(2, ' ', true).c_str()); }

// A label is 32 raw bytes; the zero bytes that pad a short label are not shown.
std::string TrimmedLabel(const std::string& label) {
    size_t end = label.size();
    while (end > 0 && label[end - 1] == '\0') {
        --end;
    }
    return label.substr(0, end);
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

// The key a package must be signed by (none when keyPath is empty); false
// after a one-line error when the key file cannot be used.
bool LoadKey(const std::string& keyPath, std::vector<qx::upgradeFile::PublicKey>& keys) {
    if (keyPath.empty()) {
        return true;
    }
    qx::upgradeFile::PublicKey key;
    std::string error;
    if (!qx::package::LoadPublicKey(keyPath, key, error)) {
        Failure(error);
        return false;
    }
    keys.push_back(key);
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
    std::string md5;     // of the data, as md5sum prints it; empty when not all there
};

// Everything the tool knows about one package after the reader's pass.
struct Listing {
    std::string name;
    bool opened = false;  // false: error holds why the package could not be opened
    std::string openError;
    bool valid = false;
    SignatureState signature;
    bool headerKnown = false;  // outer identity passed: the fields were decoded
    std::vector<InnerRow> rows;
    UpgradeFile reader;
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

void AddRows(const PackageInput& input, bool digests, Listing& listing) {
    const UpgradeFile& reader = listing.reader;
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
    for (InnerRow& row : listing.rows) {
        if (digests && row.headerKnown && row.digest != "truncated" &&
            !DataDigest(input, row.offset, row.size, row.md5)) {
            row.md5.clear();
        }
    }
}

// Opens and verifies a package (signed by one of keys, when there are any);
// with digests, also the MD5 of each inner file's data (a second pass over
// the data, which verify does without).
std::unique_ptr<Listing> Inspect(const std::string& name, bool digests,
                                 const std::vector<qx::upgradeFile::PublicKey>& keys) {
    auto listing = std::make_unique<Listing>();
    listing->name = name;
    PackageInput input;
    listing->opened = OpenPackage(name, input, listing->openError);
    if (!listing->opened) {
        return listing;
    }
    UpgradeFile& reader = listing->reader;
    if (!keys.empty()) {
        reader.RequireSignature(keys);
    }
    qx::tools::Progress progress(name, input.fd.Get(), PackageSize(input));
    listing->valid = ParsePackage(reader, input);
    listing->signature = ReadSignature(reader, !keys.empty());
    // The record keeps its fields when only its digest failed.
    listing->headerKnown =
        reader.Information().Valid() || reader.Error() == ReaderError::HeaderBadDigest;
    AddRows(input, digests, *listing);
    return listing;
}

// The reader's text, and for a failure at an inner file which one and what
// failed, e.g. "Header MD5 check failed: inner file 1 (label "x", header at
// 266, data at 394): header and data do not match the digest".
std::string ErrorText(const Listing& listing) {
    if (!listing.opened) {
        return listing.openError;
    }
    const UpgradeFile& reader = listing.reader;
    std::string text = listing.name + ": " + reader.ErrorMessage();
    const ReaderError kind = reader.Error();
    const char* what = kind == ReaderError::InnerHeaderUnreadable    ? "header cut short"
                       : kind == ReaderError::InnerHeaderBadIdentity ? "header identity bytes wrong"
                       : kind == ReaderError::InnerDataTruncated     ? "data cut short"
                       : kind == ReaderError::InnerDigestMismatch
                           ? "header and data do not match the header's digest"
                           : nullptr;
    if (what == nullptr) {
        return text;
    }
    const unsigned long long header = reader.ErrorPosition();
    text += ": inner file " + std::to_string(reader.Offsets().size()) + " (";
    if (kind == ReaderError::InnerDataTruncated || kind == ReaderError::InnerDigestMismatch) {
        text += "label \"" + EscapeText(TrimmedLabel(reader.RejectedInnerFile().Label())) + "\", ";
    }
    return text + "header at " + std::to_string(header) + ", data at " +
           std::to_string(header + layout::kHeaderSize) + "): " + what;
}

// The failure in JSON: its kind, the position of the header the reader
// rejected (for failures at a header or inner file) and its text.
Json ErrorJson(const Listing& listing) {
    if (listing.valid) {
        return Json();
    }
    if (!listing.opened) {
        return {{"kind", "openFailed"},
                {"position", Json()},
                {"message", JsonBytes(listing.openError)}};
    }
    const UpgradeFile& reader = listing.reader;
    const ReaderError kind = reader.Error();
    const bool atHeader = kind != ReaderError::NoFile && kind != ReaderError::OpenFailed;
    return {{"kind", KindName(kind)},
            {"position", atHeader ? Json(reader.ErrorPosition()) : Json()},
            {"message", JsonBytes(reader.ErrorMessage())}};
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
    std::printf("Header digest: %s %s\n", HexDigest(info.Md5Hash().data()).c_str(),
                info.Valid() ? "ok" : "mismatch");
}

void PrintText(const Listing& listing) {
    std::printf("Package:       %s\n", EscapeText(listing.name).c_str());
    std::printf("Status:        %s\n",
                listing.valid ? "valid" : ("invalid: " + listing.reader.ErrorMessage()).c_str());
    if (listing.signature.read) {
        std::printf("Signature:     %s\n", SignatureText(listing.signature).c_str());
    }
    if (!listing.headerKnown) {
        return;
    }
    PrintHeaderText(listing.reader.Information());
    std::printf("Inner files:   %zu\n", listing.rows.size());
    if (listing.rows.empty()) {
        return;
    }
    std::printf("%5s %10s %10s  %-12s %-32s  %s\n", "INDEX", "OFFSET", "SIZE", "DIGEST", "MD5",
                "LABEL");
    for (const InnerRow& row : listing.rows) {
        const std::string size = row.headerKnown ? std::to_string(row.size) : "-";
        const std::string label = row.headerKnown ? EscapeText(TrimmedLabel(row.label)) : "-";
        std::printf("%5u %10llu %10s  %-12s %-32s  %s\n", row.index, row.offset, size.c_str(),
                    row.digest.c_str(), row.md5.empty() ? "-" : row.md5.c_str(), label.c_str());
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
            {"md5", HexDigest(info.Md5Hash().data())},
            {"digest", info.Valid() ? "ok" : "mismatch"}};
}

Json RowsJson(const Listing& listing, bool withDigests) {
    Json rows = Json::array();
    for (const InnerRow& row : listing.rows) {
        rows.push_back({{"index", row.index},
                        {"offset", row.offset},
                        {"size", row.headerKnown ? Json(row.size) : Json()},
                        {"label", row.headerKnown ? JsonBytes(TrimmedLabel(row.label)) : Json()},
                        {"digest", row.digest},
                        {"md5", row.md5.empty() ? Json() : Json(row.md5)}});
        if (!withDigests) {
            rows.back().erase("md5");
        }
    }
    return rows;
}

// What verify --json says of one package; list --json adds the data
// digests and the header.
Json VerdictJson(const Listing& listing, bool withDigests) {
    return {{"path", JsonBytes(listing.name)},
            {"valid", listing.valid},
            {"error", ErrorJson(listing)},
            {"innerFileCount", listing.rows.size()},
            {"innerFiles", RowsJson(listing, withDigests)},
            {"signature", SignatureJson(listing.signature)}};
}

bool ParseIndex(const std::string& text, unsigned int& index) {
    unsigned long long value = 0;
    if (!qx::tools::ParseNumber(text, 0xFFFFFFFFull, value)) {
        return false;
    }
    index = static_cast<unsigned int>(value);
    return true;
}

}  // namespace

int List(const std::string& path, bool json, const std::string& keyPath) {
    std::vector<qx::upgradeFile::PublicKey> keys;
    if (!LoadKey(keyPath, keys)) {
        return qx::tools::kExitFailed;
    }
    const std::unique_ptr<Listing> listing = Inspect(path, true, keys);
    if (!listing->opened && !json) {
        return Failure(listing->openError);
    }
    if (json) {
        Json document = VerdictJson(*listing, true);
        document["header"] =
            listing->headerKnown ? HeaderJson(listing->reader.Information()) : Json();
        PrintJson(document);
    } else {
        PrintText(*listing);
    }
    return listing->valid ? 0 : qx::tools::kExitFailed;
}

int Verify(const std::vector<std::string>& paths, bool json, const std::string& keyPath) {
    std::vector<qx::upgradeFile::PublicKey> keys;
    if (!LoadKey(keyPath, keys)) {
        return qx::tools::kExitFailed;
    }
    bool allValid = true;
    Json documents = Json::array();
    for (const std::string& path : paths) {
        const std::unique_ptr<Listing> listing = Inspect(path, false, keys);
        allValid = allValid && listing->valid;
        if (json) {
            documents.push_back(VerdictJson(*listing, false));
        } else if (listing->valid) {
            std::printf("%s: valid, %zu inner files, signature: %s\n", path.c_str(),
                        listing->rows.size(), SignatureText(listing->signature).c_str());
        } else {
            Failure(ErrorText(*listing));
        }
    }
    if (json) {
        PrintJson(documents.size() == 1 ? documents[0] : documents);
    }
    return allValid ? 0 : qx::tools::kExitFailed;
}

int Extract(const std::string& path, const std::string& indexText, const std::string& out) {
    unsigned int index = 0;
    if (!ParseIndex(indexText, index)) {
        return qx::tools::UsageError(kToolName,
                                     "INDEX must be a number from 0, not '" + indexText + "'");
    }
    PackageInput input;
    std::string error;
    if (!OpenPackage(path, input, error)) {
        return Failure(error);
    }
    UpgradeFile reader;
    qx::tools::Progress progress(path, input.fd.Get(), PackageSize(input));
    if (!ParsePackage(reader, input)) {
        return Failure(path + ": " + reader.ErrorMessage());
    }
    if (index >= reader.Offsets().size()) {
        return Failure("Invalid offset: " + path + " has " +
                       std::to_string(reader.Offsets().size()) + " inner files, numbered from 0");
    }
    qx::tools::OutputFile output;
    if (!output.Open(out, 0755, false, {path}, error)) {
        return Failure(error);
    }
    if (!ExtractPackageFile(reader, index, output, out)) {
        return Failure(reader.ErrorMessage());
    }
    return output.Commit(error) ? 0 : Failure(error);
}

namespace {

// "KEY: A -> B" for each header field that differs (values as list --json
// shows them).
bool DiffHeaders(const Listing& a, const Listing& b) {
    const Json first = HeaderJson(a.reader.Information());
    const Json second = HeaderJson(b.reader.Information());
    bool differ = false;
    for (const auto& [key, value] : first.items()) {
        if (value != second[key]) {
            std::printf("header %s: %s -> %s\n", key.c_str(), value.dump(-1, ' ', true).c_str(),
                        second[key].dump(-1, ' ', true).c_str());
            differ = true;
        }
    }
    return differ;
}

std::string RowText(const InnerRow& row) {
    return "label \"" + EscapeText(TrimmedLabel(row.label)) + "\", size " +
           std::to_string(row.size) + ", md5 " + row.md5;
}

// One line per inner file that differs in label, size or data digest, or
// that only one package holds.
bool DiffInnerFiles(const Listing& a, const Listing& b) {
    bool differ = false;
    for (std::size_t i = 0; i < a.rows.size() || i < b.rows.size(); ++i) {
        if (i >= a.rows.size() || i >= b.rows.size()) {
            const bool inFirst = i < a.rows.size();
            const InnerRow& row = inFirst ? a.rows[i] : b.rows[i];
            std::printf("inner file %zu: only in %s (%s)\n", i,
                        EscapeText(inFirst ? a.name : b.name).c_str(), RowText(row).c_str());
            differ = true;
            continue;
        }
        const InnerRow &x = a.rows[i], &y = b.rows[i];
        std::string changes;
        if (x.label != y.label) {
            changes += ", label \"" + EscapeText(TrimmedLabel(x.label)) + "\" -> \"" +
                       EscapeText(TrimmedLabel(y.label)) + "\"";
        }
        if (x.size != y.size) {
            changes += ", size " + std::to_string(x.size) + " -> " + std::to_string(y.size);
        }
        if (x.md5 != y.md5) {
            changes += ", md5 " + x.md5 + " -> " + y.md5;
        }
        if (!changes.empty()) {
            std::printf("inner file %zu (\"%s\"): %s\n", i,
                        EscapeText(TrimmedLabel(y.label)).c_str(), changes.substr(2).c_str());
            differ = true;
        }
    }
    return differ;
}

}  // namespace

int Diff(const std::string& first, const std::string& second) {
    if (first == qx::tools::kStandardStream && second == qx::tools::kStandardStream) {
        return qx::tools::UsageError(kToolName, "only one of the packages can be standard input");
    }
    const std::unique_ptr<Listing> a = Inspect(first, true, {});
    const std::unique_ptr<Listing> b = Inspect(second, true, {});
    for (const Listing* listing : {a.get(), b.get()}) {
        if (!listing->valid) {
            qx::tools::Fail(kToolName, ErrorText(*listing));
            return kDiffTrouble;
        }
    }
    const bool headers = DiffHeaders(*a, *b);
    const bool inners = DiffInnerFiles(*a, *b);
    return headers || inners ? kDiffDifferent : 0;
}

}  // namespace inspect
}  // namespace qx
