#pragma once

// The commands of upgrade-inspect. Each returns the tool's exit code and
// prints its own results; failures go to stderr as one line.
#include <string>

namespace qx {
namespace inspect {

constexpr const char* kToolName = "upgrade-inspect";

// Header fields, the signature and one row per inner file, as text or as
// one JSON object. A key file (NAME.pub) makes the package valid only when
// signed by that key.
int List(const std::string& package, bool json, const std::string& keyPath = std::string());

// The reader's verdict: one line, or a JSON object with the error's kind
// and the position of the rejected header; with a key file as for List.
int Verify(const std::string& package, bool json, const std::string& keyPath = std::string());

// Writes the data of inner file index to out.
int Extract(const std::string& package, const std::string& index, const std::string& out);

// Writes every inner file and manifest.json into folder, which must be
// missing or empty; nothing is left behind on failure.
int Unpack(const std::string& package, const std::string& folder);

}  // namespace inspect
}  // namespace qx
