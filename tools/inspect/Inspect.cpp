// list, verify, extract and diff: the reader's results, as text or JSON.
#include "tools/inspect/Inspect.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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
#include "tools/inspect/Tail.h"
#include "tools/package/Signing.h"
#include "upgradeFile/PackageLayout.h"
#include "upgradeFile/TrustStore.h"
#include "upgradeFile/UpgradeFile.h"

namespace qx {
namespace inspect {

namespace {

using qx::tools::Json;
using qx::tools::JsonBytes;
using qx::upgradeFile::InnerFile;
using qx::upgradeFile::ReaderError;
using qx::upgradeFile::UpgradeFile;
using qx::upgradeFile::UpgradeFileInformation;
using qx::upgrader::utils::Descriptor;
namespace layout = qx::upgradeFile::layout;

int Failure(const std::string& text) { return qx::tools::Fail(kToolName, text); }

using qx::tools::TextOf;

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

// The signature of a package whose inner files all checked out: what stands
// after them, and, when keys were given, whether the reader accepted it.
struct SignatureState {
    PackageTail tail;
    bool checked = false;
    bool valid = false;
};

SignatureState ReadSignature(const UpgradeFile& reader, const PackageInput& input, bool checked) {
    SignatureState state;
    if (reader.Valid() || SignatureFailure(reader.Error())) {
        state.tail = ReadTail(reader, input);
    }
    state.checked = checked;
    state.valid = reader.Valid() && checked;
    return state;
}

Json SignatureJson(const SignatureState& state) {
    if (!state.tail.read) {
        return Json();
    }
    Json json = TailJson(state.tail);
    json["valid"] = state.checked ? Json(state.valid) : Json();
    return json;
}

// The tail's phrase and the verdict: a block is "not checked" without a
// key; what no key can make valid says so with or without one.
std::string SignatureText(const SignatureState& state) {
    const PackageTail::Kind kind = state.tail.kind;
    std::string text = TailText(state.tail);
    if (kind == PackageTail::Kind::CutBlock || kind == PackageTail::Kind::BlockAndMore) {
        return text + ": not valid with any key";
    }
    if (state.checked) {
        return text + (state.valid ? " (valid)" : " (not valid)");
    }
    return kind == PackageTail::Kind::Block ? text + " (not checked)" : text;
}

// The keys a package must be signed by: each --key file and the usable
// keys of a --keys folder (each ignored entry gets a line on stderr); false
// after a one-line error when they cannot be used.
bool LoadKeys(const KeyOptions& options, std::vector<qx::upgradeFile::PublicKey>& keys) {
    for (const std::string& path : options.files) {
        qx::upgradeFile::PublicKey key;
        std::string error;
        if (!qx::package::LoadPublicKey(path, key, error)) {
            Failure(error);
            return false;
        }
        keys.push_back(key);
    }
    if (options.directory.empty()) {
        return true;
    }
    const qx::upgradeFile::TrustStore store = qx::upgradeFile::LoadTrustStore(options.directory);
    for (const std::string& ignored : store.ignored) {
        Failure("ignoring key file " + TextOf(ignored));
    }
    if (!store.refusal.empty()) {
        Failure(TextOf(options.directory) +
                ": cannot read the key folder: " + TextOf(store.refusal));
        return false;
    }
    if (!store.present) {
        Failure(TextOf(options.directory) +
                ": no key files (NAME.pub): a router with it accepts every package");
        return false;
    }
    keys.insert(keys.end(), store.keys.begin(), store.keys.end());
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
                                 const std::vector<qx::upgradeFile::PublicKey>& keys,
                                 bool required) {
    auto listing = std::make_unique<Listing>();
    listing->name = name;
    PackageInput input;
    listing->opened = OpenPackage(name, input, listing->openError);
    if (!listing->opened) {
        return listing;
    }
    UpgradeFile& reader = listing->reader;
    if (required) {
        reader.RequireSignature(keys);
    }
    qx::tools::Progress progress(name, input.fd.Get(), PackageSize(input));
    listing->valid = ParsePackage(reader, input);
    listing->signature = ReadSignature(reader, input, required);
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
        text += "label \"" + TextOf(TrimmedLabel(reader.RejectedInnerFile().Label())) + "\", ";
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
    std::printf("Upgrade name:  %s\n", TextOf(info.UpgradeName()).c_str());
    std::printf("Release name:  %s\n", TextOf(info.ReleaseName()).c_str());
    std::printf("File date:     %s\n", TextOf(info.FileDate()).c_str());
    std::printf("Upgrade ID:    %u\n", info.UpgradeId());
    std::printf("Spare text 1:  %s\n", TextOf(info.SpareText1()).c_str());
    std::printf("Spare text 2:  %s\n", TextOf(info.SpareText2()).c_str());
    std::printf("Spare word:    %u\n", info.SpareWord());
    std::printf("Payload size:  %u\n", info.FileSize());
    std::printf("Header digest: %s %s\n", HexDigest(info.Md5Hash().data()).c_str(),
                info.Valid() ? "ok" : "mismatch");
}

void PrintText(const Listing& listing) {
    std::printf("Package:       %s\n", TextOf(listing.name).c_str());
    std::printf("Status:        %s\n",
                listing.valid ? "valid" : ("invalid: " + listing.reader.ErrorMessage()).c_str());
    if (listing.signature.tail.read) {
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
        const std::string label = row.headerKnown ? TextOf(TrimmedLabel(row.label)) : "-";
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

std::string CountText(std::size_t count) {
    return "the package has " + std::to_string(count) + " inner file" + (count == 1 ? "" : "s") +
           (count == 0 ? "" : ", numbered 0 to " + std::to_string(count - 1));
}

// Whether which (extract's INDEX|LABEL) names inner file index.
bool Names(const std::string& which, std::size_t index, const std::string& label) {
    unsigned int number = 0;
    return ParseIndex(which, number) ? number == index : TrimmedLabel(label) == which;
}

// The inner file that which names: a number is an index, anything else a
// label (the zero bytes that pad it not counted); false with the reason.
bool SelectInnerFile(const UpgradeFile& reader, const std::string& which, unsigned int& index,
                     std::string& error) {
    const std::size_t count = reader.InnerFiles().size();
    if (ParseIndex(which, index)) {
        if (index < count) {
            return true;
        }
        error = "no inner file " + which + ": " + CountText(count);
        return false;
    }
    std::vector<std::size_t> matches;
    for (std::size_t i = 0; i < count; ++i) {
        if (Names(which, i, reader.InnerFiles()[i].Label())) {
            matches.push_back(i);
        }
    }
    if (matches.size() == 1) {
        index = static_cast<unsigned int>(matches[0]);
        return true;
    }
    error = "no inner file is labelled \"" + TextOf(which) + "\" (" + CountText(count) + ")";
    if (matches.size() > 1) {
        error = "the label \"" + TextOf(which) + "\" is ambiguous: inner files";
        for (std::size_t i : matches) {
            error += " " + std::to_string(i);
        }
        error += " have it; give an index";
    }
    return false;
}

}  // namespace

int List(const std::string& path, bool json, const KeyOptions& keyOptions) {
    std::vector<qx::upgradeFile::PublicKey> keys;
    if (!LoadKeys(keyOptions, keys)) {
        return qx::tools::kExitFailed;
    }
    const std::unique_ptr<Listing> listing = Inspect(path, true, keys, keyOptions.Given());
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

int Verify(const std::vector<std::string>& paths, bool json, const KeyOptions& keyOptions) {
    std::vector<qx::upgradeFile::PublicKey> keys;
    if (!LoadKeys(keyOptions, keys)) {
        return qx::tools::kExitFailed;
    }
    bool allValid = true;
    Json documents = Json::array();
    for (const std::string& path : paths) {
        const std::unique_ptr<Listing> listing = Inspect(path, false, keys, keyOptions.Given());
        allValid = allValid && listing->valid;
        if (json) {
            documents.push_back(VerdictJson(*listing, false));
        } else if (listing->valid) {
            std::printf("%s: valid, %zu inner files, signature: %s\n", TextOf(path).c_str(),
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

// A regular OUT, new or existing, is opened before the package is read,
// so that the one verifying pass writes the inner file too; a stream (a
// FIFO, a device, standard output) only once the package verified, as
// nothing unverified may reach it.
bool OpenedBeforeParse(const std::string& out) {
    struct stat info {};
    if (out == qx::tools::kStandardStream) {
        return false;
    }
    return ::stat(out.c_str(), &info) == 0 ? S_ISREG(info.st_mode) : errno == ENOENT;
}

int Extract(const std::string& path, const std::string& which, const std::string& out) {
    PackageInput input;
    std::string error;
    if (!OpenPackage(path, input, error)) {
        return Failure(error);
    }
    UpgradeFile reader;
    qx::tools::Progress progress(path, input.fd.Get(), PackageSize(input));
    qx::tools::OutputFile output;
    // An OUT that cannot be opened is reported after the package's own verdict.
    std::string outputError;
    const bool early = OpenedBeforeParse(out);
    const bool opened = early && output.Open(out, 0755, false, {path}, outputError);
    if (opened && !output.Stream()) {
        reader.CopyDuringParse({[&which](unsigned int index, const InnerFile& entry) {
                                    return Names(which, index, entry.Label());
                                },
                                output.Get(), out});
    }
    if (!ParsePackage(reader, input)) {
        return Failure(reader.Error() == ReaderError::OutputWriteFailed
                           ? reader.ErrorMessage()
                           : path + ": " + reader.ErrorMessage());
    }
    unsigned int index = 0;
    if (!SelectInnerFile(reader, which, index, error)) {
        return Failure(TextOf(path) + ": " + error);
    }
    if (early && !opened) {
        return Failure(outputError);
    }
    if (!opened && !output.Open(out, 0755, false, {path}, error)) {
        return Failure(error);
    }
    // Copied in the verifying pass, or else now, checked again as it is copied.
    if (reader.CopiedIndex() != static_cast<int>(index) &&
        !ExtractPackageFile(reader, index, output, out)) {
        return Failure(reader.ErrorMessage());
    }
    return output.Commit(error) ? 0 : Failure(error);
}

}  // namespace inspect
}  // namespace qx
