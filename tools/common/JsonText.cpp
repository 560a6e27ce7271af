#include "tools/common/JsonText.h"

namespace qx {
namespace tools {

namespace {

constexpr const char kHexDigits[] = "0123456789abcdef";

// Length of the UTF-8 sequence that starts with lead, and the smallest code
// point it may carry (longer forms of smaller ones are invalid); 0 when lead
// cannot start a sequence.
std::size_t SequenceLength(unsigned char lead, unsigned long& smallest) {
    if (lead < 0x80) {
        smallest = 0;
        return 1;
    }
    if ((lead & 0xE0) == 0xC0) {
        smallest = 0x80;
        return 2;
    }
    if ((lead & 0xF0) == 0xE0) {
        smallest = 0x800;
        return 3;
    }
    if ((lead & 0xF8) == 0xF0) {
        smallest = 0x10000;
        return 4;
    }
    return 0;
}

bool IsControl(unsigned long code) { return code < 0x20 || (code >= 0x7F && code < 0xA0); }

int HexValue(char digit) {
    const char* const digits = "0123456789abcdef0123456789ABCDEF";
    for (int i = 0; i < 32; ++i) {
        if (digits[i] == digit) {
            return i % 16;
        }
    }
    return -1;
}

}  // namespace

namespace {

// Length of the plain character (valid UTF-8, shortest form, no surrogate,
// no control character) that begins at i; 0 when the byte there begins none.
std::size_t PlainLength(const std::string& bytes, std::size_t i) {
    unsigned long smallest = 0;
    const unsigned char lead = static_cast<unsigned char>(bytes[i]);
    const std::size_t length = SequenceLength(lead, smallest);
    if (length == 0 || i + length > bytes.size()) {
        return 0;
    }
    unsigned long code = length == 1 ? lead : lead & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k) {
        const unsigned char next = static_cast<unsigned char>(bytes[i + k]);
        if ((next & 0xC0) != 0x80) {
            return 0;
        }
        code = (code << 6) | (next & 0x3F);
    }
    if (code < smallest || code > 0x10FFFF || (code >= 0xD800 && code < 0xE000) ||
        IsControl(code)) {
        return 0;
    }
    return length;
}

}  // namespace

bool IsPlainText(const std::string& bytes) {
    for (std::size_t i = 0; i < bytes.size();) {
        const std::size_t length = PlainLength(bytes, i);
        if (length == 0) {
            return false;
        }
        i += length;
    }
    return true;
}

std::string TextOf(const std::string& bytes) {
    std::string text;
    for (std::size_t i = 0; i < bytes.size();) {
        const std::size_t length = PlainLength(bytes, i);
        if (bytes[i] == '\\') {
            text += "\\\\";
        } else if (length > 0) {
            text.append(bytes, i, length);
            i += length;
            continue;
        } else {
            const unsigned char byte = static_cast<unsigned char>(bytes[i]);
            text += "\\x";
            text += kHexDigits[byte >> 4];
            text += kHexDigits[byte & 0x0F];
        }
        ++i;
    }
    return text;
}

Json JsonBytes(const std::string& bytes) {
    if (IsPlainText(bytes)) {
        return bytes;
    }
    std::string hex;
    for (unsigned char byte : bytes) {
        hex += kHexDigits[byte >> 4];
        hex += kHexDigits[byte & 0x0F];
    }
    return Json{{"hex", hex}};
}

bool BytesFromJson(const Json& value, std::string& bytes) {
    if (value.is_string()) {
        bytes = value.get<std::string>();
        return true;
    }
    if (!value.is_object() || value.size() != 1 || !value.contains("hex") ||
        !value["hex"].is_string()) {
        return false;
    }
    const std::string& hex = value["hex"].get_ref<const std::string&>();
    if (hex.size() % 2 != 0) {
        return false;
    }
    std::string result;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const int high = HexValue(hex[i]), low = HexValue(hex[i + 1]);
        if (high < 0 || low < 0) {
            return false;
        }
        result += static_cast<char>(high * 16 + low);
    }
    bytes.swap(result);
    return true;
}

}  // namespace tools
}  // namespace qx
