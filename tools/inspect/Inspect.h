#pragma once

// The commands of upgrade-inspect. Each returns the tool's exit code and
// prints its own results; failures go to stderr as one line.
#include <string>
#include <vector>

namespace qx {
namespace inspect {

constexpr const char* kToolName = "upgrade-inspect";

// Exit codes of diff, as cmp has them: 0 the same, 1 different, 2 trouble.
constexpr int kDiffDifferent = 1;
constexpr int kDiffTrouble = 2;

// Every PACKAGE argument may be "-" for standard input. Key files
// (NAME.pub) and a key folder (read as the router reads its trust store)
// make a package valid only when signed by one of their keys.
struct KeyOptions {
    std::vector<std::string> files;  // --key, any number of times
    std::string directory;           // --keys
    bool Given() const { return !files.empty() || !directory.empty(); }
};

// Header fields, the signature and one row per inner file (with the MD5 of
// its data, as md5sum prints it), as text or as one JSON object.
int List(const std::string& package, bool json, const KeyOptions& keys = KeyOptions());

// The reader's verdict on each package: one line each (a failure names the
// inner file and what failed), or JSON: an object per package (the package
// alone: just its object) with the error's kind, the position of the
// rejected header and the signature. 0 when all are valid.
int Verify(const std::vector<std::string>& packages, bool json,
           const KeyOptions& keys = KeyOptions());

// Writes the data of one inner file to out ("-": standard output), chosen
// by its index (a number) or else its label. An out that is the package
// itself is refused.
int Extract(const std::string& package, const std::string& which, const std::string& out);

// Every difference of two valid packages: each field of the outer and inner
// headers, the inner files' data, what follows the last inner file. 0 only
// when they are the same byte for byte, as cmp.
int Diff(const std::string& first, const std::string& second, bool json);

// Writes every inner file and manifest.json into folder, which must be
// missing or empty; nothing is left behind on failure.
int Unpack(const std::string& package, const std::string& folder);

}  // namespace inspect
}  // namespace qx
