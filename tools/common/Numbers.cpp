#include "tools/common/Numbers.h"

namespace qx {
namespace tools {

namespace {

int DigitValue(char c, int base) {
    int value = -1;
    if (c >= '0' && c <= '9') {
        value = c - '0';
    } else if (c >= 'a' && c <= 'f') {
        value = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
        value = c - 'A' + 10;
    }
    return value < base ? value : -1;
}

unsigned long long Multiplier(char suffix) {
    switch (suffix) {
        case 'k':
        case 'K':
            return 1ull << 10;
        case 'm':
        case 'M':
            return 1ull << 20;
        case 'g':
        case 'G':
            return 1ull << 30;
        default:
            return 0;
    }
}

}  // namespace

bool ParseNumber(const std::string& text, unsigned long long limit, unsigned long long& value) {
    std::string digits = text;
    unsigned long long multiplier = 1;
    if (!digits.empty() && Multiplier(digits.back()) != 0) {
        multiplier = Multiplier(digits.back());
        digits.pop_back();
    }
    int base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        base = 16;
        digits.erase(0, 2);
    }
    if (digits.empty()) {
        return false;
    }
    unsigned long long result = 0;
    for (char c : digits) {
        const int digit = DigitValue(c, base);
        if (digit < 0 || result > (~0ull - static_cast<unsigned long long>(digit)) / base) {
            return false;
        }
        result =
            result * static_cast<unsigned long long>(base) + static_cast<unsigned long long>(digit);
    }
    if (result > ~0ull / multiplier || result * multiplier > limit) {
        return false;
    }
    value = result * multiplier;
    return true;
}

bool ParseNumber(const std::string& text, unsigned long long& value) {
    return ParseNumber(text, ~0ull, value);
}

}  // namespace tools
}  // namespace qx
