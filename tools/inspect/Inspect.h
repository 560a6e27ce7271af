#pragma once

// The commands of upgrade-inspect. Each returns the tool's exit code and
// prints its own results; failures go to stderr as one line.
#include <string>

namespace qx {
namespace inspect {

constexpr const char* kToolName = "upgrade-inspect";

// Header fields and one row per inner file, as text or as one JSON object.
int List(const std::string& package, bool json);

// The reader's verdict: one line, or a JSON object with the error's kind
// and the position of the rejected header.
int Verify(const std::string& package, bool json);

// Writes the data of inner file index to out.
int Extract(const std::string& package, const std::string& index, const std::string& out);

// Writes every inner file and manifest.json into folder, which must be
// missing or empty; nothing is left behind on failure.
int Unpack(const std::string& package, const std::string& folder);

}  // namespace inspect
}  // namespace qx
