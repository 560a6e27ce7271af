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

// Every PACKAGE argument may be "-" for standard input. A key file
// (NAME.pub) makes a package valid only when signed by that key.

// Header fields, the signature and one row per inner file (with the MD5 of
// its data, as md5sum prints it), as text or as one JSON object.
int List(const std::string& package, bool json, const std::string& keyPath = std::string());

// The reader's verdict on each package: one line each (a failure names the
// inner file and what failed), or JSON: an object per package (the package
// alone: just its object) with the error's kind, the position of the
// rejected header and the signature. 0 when all are valid.
int Verify(const std::vector<std::string>& packages, bool json,
           const std::string& keyPath = std::string());

// Writes the data of inner file index to out ("-": standard output). An out
// that is the package itself is refused.
int Extract(const std::string& package, const std::string& index, const std::string& out);

// The header fields and inner files (label, size, data digest) in which two
// valid packages differ.
int Diff(const std::string& first, const std::string& second);

// Writes every inner file and manifest.json into folder, which must be
// missing or empty; nothing is left behind on failure.
int Unpack(const std::string& package, const std::string& folder);

}  // namespace inspect
}  // namespace qx
