// Hexadecimal text as the reports and messages write it: one table of digits, one way to write a
// byte and a number.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tessaloom {

inline constexpr std::string_view kLowerHexDigits = "0123456789abcdef";
inline constexpr std::string_view kUpperHexDigits = "0123456789ABCDEF";

enum class HexLetters { kLower, kUpper };

// Appends the two digits of byte to text.
inline void appendHexByte(std::string& text, std::uint8_t byte,
                          HexLetters letters = HexLetters::kLower) {
    const std::string_view digits =
        letters == HexLetters::kUpper ? kUpperHexDigits : kLowerHexDigits;
    text += digits[byte >> 4];
    text += digits[byte & 0xF];
}

// value in hexadecimal digits without leading zeros ("0" for 0) and without a prefix.
inline std::string hexNumber(std::uint64_t value, HexLetters letters = HexLetters::kLower) {
    const std::string_view digits =
        letters == HexLetters::kUpper ? kUpperHexDigits : kLowerHexDigits;
    char text[16];
    std::size_t start = sizeof text;
    do {
        text[--start] = digits[value & 0xF];
        value >>= 4;
    } while (value != 0);
    return {text + start, sizeof text - start};
}

}  // namespace tessaloom
