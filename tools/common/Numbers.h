#pragma once

// Numbers on the host tools' command lines (and in the scripts) take one
// form everywhere: decimal or 0x-prefixed hexadecimal digits, optionally
// followed by K, M or G (times 1024, 1024^2, 1024^3; either case).
#include <string>

namespace qx {
namespace tools {

// Parses text into value when it has that form and its value is at most
// limit. No sign, blank or other character is accepted.
bool ParseNumber(const std::string& text, unsigned long long limit, unsigned long long& value);

// The same without a limit but what 64 bits hold.
bool ParseNumber(const std::string& text, unsigned long long& value);

}  // namespace tools
}  // namespace qx
