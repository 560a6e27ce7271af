#pragma once

// Byte fields (header texts, labels, reserved bytes, paths) in JSON: a
// string when the bytes are valid UTF-8 without control characters, else
// {"hex": "..."} with two lower-case digits per byte. Every JSON document
// the host tools write or read uses this one rule.
#include <nlohmann/json.hpp>
#include <string>

namespace qx {
namespace tools {

using Json = nlohmann::ordered_json;

// True for valid UTF-8 (shortest forms, no surrogates) that holds no C0 or
// C1 control character and no DEL.
bool IsPlainText(const std::string& bytes);

Json JsonBytes(const std::string& bytes);

// The same bytes in text output (list, verify, diff, plan): each plain
// character (as IsPlainText has them) as it is, a backslash as \\, and
// every other byte as \xHH (two lower-case digits).
std::string TextOf(const std::string& bytes);

// Reads a value JsonBytes wrote (or any string). False when it is neither a
// string nor {"hex": "..."} with an even number of hexadecimal digits.
bool BytesFromJson(const Json& value, std::string& bytes);

}  // namespace tools
}  // namespace qx
