// Reading UTF-8 one character at a time, strictly: what a search for text and a JSON report need.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace tessaloom {

// One character of UTF-8 text: its code point and how many bytes it takes.
struct Utf8Char {
    std::uint32_t point = 0;
    std::size_t length = 0;
};

// The character that starts at text[at]; empty for bytes that are not UTF-8 there (a stray
// continuation byte, a sequence cut short, an overlong form, a surrogate, beyond U+10FFFF).
inline std::optional<Utf8Char> decodeUtf8(std::string_view text, std::size_t at) {
    struct Form {
        std::uint8_t mask, marker;
        std::size_t length;
        std::uint32_t least;
    };
    static constexpr Form kForms[] = {{0x80, 0x00, 1, 0},
                                      {0xE0, 0xC0, 2, 0x80},
                                      {0xF0, 0xE0, 3, 0x800},
                                      {0xF8, 0xF0, 4, 0x10000}};
    const auto lead = static_cast<std::uint8_t>(text[at]);
    for (const Form& form : kForms) {
        if ((lead & form.mask) != form.marker) {
            continue;
        }
        if (text.size() - at < form.length) {
            return std::nullopt;
        }
        std::uint32_t point = lead & static_cast<std::uint8_t>(~form.mask);
        for (std::size_t k = 1; k < form.length; ++k) {
            const auto next = static_cast<std::uint8_t>(text[at + k]);
            if ((next & 0xC0) != 0x80) {
                return std::nullopt;
            }
            point = (point << 6) | (next & 0x3Fu);
        }
        if (point < form.least || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) {
            return std::nullopt;
        }
        return Utf8Char{point, form.length};
    }
    return std::nullopt;
}

}  // namespace tessaloom
