// Reading UTF-8 one character at a time, strictly: what a search for text and a JSON report need.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "hex_text.h"

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

// Appends the UTF-8 bytes of point.
inline void appendUtf8(std::string& out, char32_t point) {
    if (point < 0x80) {
        out.push_back(static_cast<char>(point));
    } else if (point < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (point >> 6)));
        out.push_back(static_cast<char>(0x80 | (point & 0x3F)));
    } else if (point < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (point >> 12)));
        out.push_back(static_cast<char>(0x80 | ((point >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (point & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (point >> 18)));
        out.push_back(static_cast<char>(0x80 | ((point >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((point >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (point & 0x3F)));
    }
}

// Appends the UTF-8 of the UTF-16 code units in bytes, in either byte order (an odd last byte is
// left out); a surrogate without its partner becomes U+FFFD.
inline void appendUtf16(std::string& out, std::span<const std::uint8_t> bytes, bool bigEndian) {
    const auto unitAt = [&bytes, bigEndian](std::size_t i) {
        return bigEndian ? (std::uint32_t{bytes[i]} << 8) | bytes[i + 1]
                         : (std::uint32_t{bytes[i + 1]} << 8) | bytes[i];
    };
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        std::uint32_t point = unitAt(i);
        if (point >= 0xD800 && point < 0xDC00 && i + 3 < bytes.size()) {
            const std::uint32_t low = unitAt(i + 2);
            if (low >= 0xDC00 && low < 0xE000) {
                point = 0x10000 + ((point - 0xD800) << 10) + (low - 0xDC00);
                i += 2;
            }
        }
        if (point >= 0xD800 && point < 0xE000) {
            point = 0xFFFD;
        }
        appendUtf8(out, static_cast<char32_t>(point));
    }
}

// Characters that change how a terminal shows what follows instead of showing themselves: the C0
// and C1 controls, DEL, and the bidirectional controls that reorder a line (so that
// "invoice\u202Efdp.exe" would read as "invoiceexe.pdf").
inline bool isDisplayControl(std::uint32_t point) {
    return point < 0x20 || (point >= 0x7F && point <= 0x9F) || point == 0x061C || point == 0x200E ||
           point == 0x200F || (point >= 0x202A && point <= 0x202E) ||
           (point >= 0x2066 && point <= 0x2069);
}

// text safe to show on a terminal: UTF-8 characters as they are, and each byte of a display
// control or of what is not UTF-8 as \xNN.
inline std::string escapedText(std::string_view text) {
    std::string shown;
    shown.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const std::optional<Utf8Char> decoded = decodeUtf8(text, i);
        if (decoded && !isDisplayControl(decoded->point)) {
            shown.append(text.substr(i, decoded->length));
            i += decoded->length;
            continue;
        }
        const std::size_t end = i + (decoded ? decoded->length : 1);
        for (; i < end; ++i) {
            shown += "\\x";
            appendHexByte(shown, static_cast<std::uint8_t>(text[i]), HexLetters::kUpper);
        }
    }
    return shown;
}

}  // namespace tessaloom
