#include "json.h"

#include <charconv>

#include "engine/hex_text.h"
#include "engine/utf8.h"

namespace tessaloom::cli {

std::string jsonString(std::string_view text) {
    std::string json = "\"";
    for (std::size_t i = 0; i < text.size();) {
        const auto decoded = decodeUtf8(text, i);
        if (!decoded) {
            json += "\\ufffd";
            ++i;
            continue;
        }
        const char c = text[i];
        if (c == '"' || c == '\\') {
            json += '\\';
            json += c;
        } else if (decoded->point < 0x20 || decoded->point == 0x7F) {
            json += "\\u00";
            json += kLowerHexDigits[decoded->point >> 4];
            json += kLowerHexDigits[decoded->point & 0xF];
        } else {
            json.append(text.substr(i, decoded->length));
        }
        i += decoded->length;
    }
    return json + '"';
}

std::string jsonNumber(double value) {
    char digits[32];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    return {digits, end};
}

std::string jsonCount(std::uint64_t value) {
    constexpr std::uint64_t kExactInJson = std::uint64_t{1} << 53;
    return value < kExactInJson ? std::to_string(value) : jsonString("0x" + hexNumber(value));
}

}  // namespace tessaloom::cli
