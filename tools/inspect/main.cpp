// upgrade-inspect: lists, verifies and extracts upgrade packages on a build
// machine. All checking is done by the device's own package reader; this tool
// only presents its results. The reader's log lines (the outer header fields
// that the device writes to its upgrade log) are dropped unless --verbose
// asks for them on stderr; the tool links the stderr log sink, so it can
// never write the device's log path.
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "tools/plan/Plan.h"
#include "upgradeFile/InnerFileInformation.h"
#include "upgradeFile/PackageLayout.h"
#include "upgradeFile/UpgradeFile.h"
#include "upgradeFile/UpgradeFileInformation.h"

#ifndef QX_TOOL_VERSION
#define QX_TOOL_VERSION "unknown"
#endif

namespace {

using qx::upgradeFile::InnerFile;
using qx::upgradeFile::InnerFileInformation;
using qx::upgradeFile::UpgradeFile;
using qx::upgradeFile::UpgradeFileInformation;
namespace layout = qx::upgradeFile::layout;

constexpr const char* kToolName = "upgrade-inspect";

// Exit codes: 0 success, 1 the package is invalid or the operation failed,
// 2 bad command line.
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

void PrintHelp() {
    std::printf(
        "Usage: upgrade-inspect [-v] list [--json] PACKAGE\n"
        "       upgrade-inspect [-v] verify PACKAGE\n"
        "       upgrade-inspect [-v] extract PACKAGE INDEX OUT\n"
        "       upgrade-inspect plan [--json] [--required BYTES] [--root DIR --free BYTES]\n"
        "\n"
        "Checks upgrade packages with the device's own package reader.\n"
        "\n"
        "  list      outer header fields and, per inner file, its index, data\n"
        "            offset, size, label and digest verdict; --json prints one\n"
        "            JSON object instead of text\n"
        "  verify    exit 0 when the package is valid; otherwise print the\n"
        "            reader's error text on stderr and exit 1\n"
        "  extract   verify the package, then write the data of inner file INDEX\n"
        "            (counted from 0) to OUT (created with mode 0755 less the\n"
        "            umask; an existing OUT is truncated and keeps its mode)\n"
        "  plan      what the upgrade's cleanup would remove and whether it frees\n"
        "            enough, touching nothing (plan --help for its options)\n"
        "\n"
        "  -v, --verbose   also show the reader's log lines on stderr\n"
        "  -h, --help      show this help and exit\n"
        "  --version       show the tool version and exit\n"
        "\n"
        "Exit status: 0 success, 1 invalid package or failed operation,\n"
        "2 bad command line.\n");
}

int UsageError(const std::string& text) {
    std::fprintf(stderr, "%s: %s (try --help)\n", kToolName, text.c_str());
    return kExitUsage;
}

int Failure(const std::string& text) {
    std::fprintf(stderr, "%s: %s\n", kToolName, text.c_str());
    return kExitFailed;
}

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

// JSON strings: printable ASCII as it is, every other byte as \u00NN, so
// the output is valid JSON (and ASCII) whatever the bytes are; a byte of
// 0x80 or above reads back as the code point of the same number.
std::string JsonString(const std::string& bytes) {
    std::string text = "\"";
    for (unsigned char byte : bytes) {
        if (byte == '"' || byte == '\\') {
            text += '\\';
            text += static_cast<char>(byte);
        } else if (byte >= 0x20 && byte < 0x7F) {
            text += static_cast<char>(byte);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\u%04x", byte);
            text += hex;
        }
    }
    return text + "\"";
}

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
    std::string error;
    bool headerKnown = false;  // outer identity passed: the fields were decoded
    bool headerDigestOk = false;
    std::vector<InnerRow> rows;
};

// Where the reader's pass stopped, as a row: the reader discards the entry
// of an inner file it rejects, so its header is read back here and decoded by
// the reader's own header record. Nothing is re-verified.
bool DescribeRejectedInnerFile(const std::string& path, const UpgradeFile& reader, InnerRow& row) {
    const std::string& error = reader.ErrorMessage();
    if (error == "Header MD5 check failed") {
        row.digest = "mismatch";
    } else if (error == "Unable to read bytes") {
        row.digest = "truncated";
    } else if (error == "Unable to parse inner header") {
        row.digest = "bad identity";
    } else {
        return false;  // the pass stopped before an inner header was decoded
    }

    const std::vector<unsigned int>& offsets = reader.Offsets();
    const std::vector<InnerFile>& inner = reader.InnerFiles();
    unsigned long long headerPosition = layout::kHeaderSize;
    if (!offsets.empty()) {
        headerPosition = offsets.back() + static_cast<unsigned long long>(inner.back().FileSize());
    }
    row.index = static_cast<unsigned int>(offsets.size());
    row.offset = headerPosition + layout::kHeaderSize;

    if (row.digest == "bad identity") {
        return true;
    }
    std::ifstream in(path, std::ios::binary);
    unsigned char header[layout::kHeaderSize];
    in.seekg(static_cast<std::streamoff>(headerPosition));
    if (in && in.read(reinterpret_cast<char*>(header), sizeof header)) {
        InnerFileInformation record;
        if (record.ParseHeader(header, sizeof header)) {
            row.headerKnown = true;
            row.size = record.FileSize();
            row.label = record.Label();
        }
    }
    return true;
}

Listing Inspect(const std::string& path, UpgradeFile& reader) {
    Listing listing;
    listing.valid = reader.ParseFile(path);
    listing.error = listing.valid ? std::string() : reader.ErrorMessage();

    const UpgradeFileInformation& info = reader.Information();
    // The record keeps its fields when only its digest failed.
    listing.headerKnown = info.Valid() || info.ErrorMessage() == "Header MD5 check failed";
    listing.headerDigestOk = info.Valid();

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
    if (!listing.valid && info.Valid() && DescribeRejectedInnerFile(path, reader, rejected)) {
        listing.rows.push_back(rejected);
    }
    return listing;
}

void PrintText(const std::string& path, const Listing& listing, const UpgradeFile& reader) {
    const UpgradeFileInformation& info = reader.Information();
    std::printf("Package:       %s\n", EscapeText(path).c_str());
    std::printf("Status:        %s\n",
                listing.valid ? "valid" : ("invalid: " + listing.error).c_str());
    if (!listing.headerKnown) {
        return;
    }
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
                listing.headerDigestOk ? "ok" : "mismatch");
    std::printf("Inner files:   %zu\n", listing.rows.size());
    if (listing.rows.empty()) {
        return;
    }
    std::printf("%5s %10s %10s  %-12s %s\n", "INDEX", "OFFSET", "SIZE", "DIGEST", "LABEL");
    for (const InnerRow& row : listing.rows) {
        if (row.headerKnown) {
            std::printf("%5u %10llu %10u  %-12s %s\n", row.index, row.offset, row.size,
                        row.digest.c_str(), EscapeText(TrimmedLabel(row.label)).c_str());
        } else {
            std::printf("%5u %10llu %10s  %-12s %s\n", row.index, row.offset, "-",
                        row.digest.c_str(), "-");
        }
    }
}

void PrintJson(const std::string& path, const Listing& listing, const UpgradeFile& reader) {
    const UpgradeFileInformation& info = reader.Information();
    std::printf("{\n  \"path\": %s,\n", JsonString(path).c_str());
    std::printf("  \"valid\": %s,\n", listing.valid ? "true" : "false");
    std::printf("  \"error\": %s,\n", listing.valid ? "null" : JsonString(listing.error).c_str());
    if (!listing.headerKnown) {
        std::printf("  \"header\": null,\n  \"innerFiles\": []\n}\n");
        return;
    }
    std::printf("  \"header\": {\n");
    std::printf("    \"version\": %u,\n", static_cast<unsigned int>(info.Version()));
    std::printf("    \"upgradeName\": %s,\n", JsonString(info.UpgradeName()).c_str());
    std::printf("    \"releaseName\": %s,\n", JsonString(info.ReleaseName()).c_str());
    std::printf("    \"fileDate\": %s,\n", JsonString(info.FileDate()).c_str());
    std::printf("    \"upgradeId\": %u,\n", info.UpgradeId());
    std::printf("    \"spareText1\": %s,\n", JsonString(info.SpareText1()).c_str());
    std::printf("    \"spareText2\": %s,\n", JsonString(info.SpareText2()).c_str());
    std::printf("    \"spareWord\": %u,\n", info.SpareWord());
    std::printf("    \"fileSize\": %u,\n", info.FileSize());
    std::printf("    \"md5\": \"%s\",\n", HexDigest(info.Md5Hash()).c_str());
    std::printf("    \"digest\": \"%s\"\n", listing.headerDigestOk ? "ok" : "mismatch");
    std::printf("  },\n  \"innerFiles\": [");
    for (size_t i = 0; i < listing.rows.size(); ++i) {
        const InnerRow& row = listing.rows[i];
        std::printf("%s\n    {\"index\": %u, \"offset\": %llu, ", i == 0 ? "" : ",", row.index,
                    row.offset);
        if (row.headerKnown) {
            std::printf("\"size\": %u, \"label\": %s, ", row.size,
                        JsonString(TrimmedLabel(row.label)).c_str());
        } else {
            std::printf("\"size\": null, \"label\": null, ");
        }
        std::printf("\"digest\": \"%s\"}", row.digest.c_str());
    }
    std::printf("%s]\n}\n", listing.rows.empty() ? "" : "\n  ");
}

int List(const std::string& path, bool json) {
    UpgradeFile reader;
    Listing listing = Inspect(path, reader);
    if (json) {
        PrintJson(path, listing, reader);
    } else {
        PrintText(path, listing, reader);
    }
    return listing.valid ? 0 : kExitFailed;
}

int Verify(const std::string& path) {
    UpgradeFile reader;
    if (!reader.ParseFile(path)) {
        return Failure(path + ": " + reader.ErrorMessage());
    }
    std::printf("%s: valid, %zu inner files\n", path.c_str(), reader.Offsets().size());
    return 0;
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

int Extract(const std::string& path, const std::string& indexText, const std::string& out) {
    unsigned int index = 0;
    if (!ParseIndex(indexText, index)) {
        return UsageError("INDEX must be a number from 0, not '" + indexText + "'");
    }
    UpgradeFile reader;
    if (!reader.ParseFile(path)) {
        return Failure(path + ": " + reader.ErrorMessage());
    }
    struct stat before {};
    const bool existed = ::lstat(out.c_str(), &before) == 0;
    if (!reader.ExtractFile(index, out)) {
        std::string text = reader.ErrorMessage();
        if (index >= reader.Offsets().size()) {
            text += ": " + path + " has " + std::to_string(reader.Offsets().size()) +
                    " inner files, numbered from 0";
        }
        // The reader leaves a partial output behind; a file this run created
        // is removed so that no half inner file stays under the name.
        if (!existed) {
            ::unlink(out.c_str());
        }
        return Failure(text);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // The cleanup plan parses its own options (tools/plan).
    if (argc > 1 && std::string(argv[1]) == "plan") {
        return qx::plan::RunPlanCommand(std::vector<std::string>(argv + 2, argv + argc));
    }
    bool verbose = false;
    bool json = false;
    std::vector<std::string> words;
    bool optionsDone = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (optionsDone || arg.empty() || arg[0] != '-' || arg == "-") {
            words.push_back(arg);
        } else if (arg == "--") {
            optionsDone = true;
        } else if (arg == "-h" || arg == "--help") {
            PrintHelp();
            return 0;
        } else if (arg == "--version") {
            std::printf("%s %s\n", kToolName, QX_TOOL_VERSION);
            return 0;
        } else if (arg == "-v" || arg == "--verbose") {
            verbose = true;
        } else if (arg == "--json") {
            json = true;
        } else {
            return UsageError("unknown option " + arg);
        }
    }
    // The stderr sink stays silent while QX_LOG_QUIET is set.
    if (verbose) {
        ::unsetenv("QX_LOG_QUIET");
    } else {
        ::setenv("QX_LOG_QUIET", "1", 1);
    }
    if (words.empty()) {
        return UsageError("missing command (list, verify or extract)");
    }

    const std::string command = words[0];
    const size_t operands = words.size() - 1;
    if (json && command != "list") {
        return UsageError("--json applies to list only");
    }
    if (command == "list" || command == "verify") {
        if (operands != 1) {
            return UsageError(command + " takes one PACKAGE");
        }
        return command == "list" ? List(words[1], json) : Verify(words[1]);
    }
    if (command == "extract") {
        if (operands != 3) {
            return UsageError("extract takes PACKAGE INDEX OUT");
        }
        return Extract(words[1], words[2], words[3]);
    }
    return UsageError("unknown command " + command);
}
