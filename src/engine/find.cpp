#include "find.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "hex_text.h"
#include "utf8.h"

namespace tessaloom {

namespace {

// How common each byte value is, from 0 (the rarest) to 255 (the commonest): the order of their
// counts in the programs, libraries and licence texts of a Debian system. Zero bytes and FF
// padding come first, then x86 opcodes, ASCII letters and the space; the rarest are the high
// bytes that neither code nor text uses much.
// clang-format off
constexpr std::array<std::uint8_t, 256> kByteRank = {
    255, 250, 235, 219, 232, 218, 190, 192, 243, 165, 201, 186, 178, 174, 238, 251,  // 00
    236, 155, 159, 117, 154, 149,  87,  85, 211,  74,  62,  67, 110,  72,  73, 212,  // 10
    247, 104,  90,  68, 248, 173,  33,  66, 205, 161,  63,  79, 121, 163, 188, 156,  // 20
    209, 222, 136,  99, 128, 162,  95,  82, 193, 195, 107,  97, 129, 166,  44,  76,  // 30
    208, 244, 206, 189, 239, 221, 146, 152, 253, 230,  86, 103, 240, 191, 147, 132,  // 40
    200,  52, 142, 197, 202, 184, 106, 102, 139,  54,  81, 150, 160, 171,  78, 220,  // 50
    157, 224, 187, 217, 215, 241, 233, 180, 199, 225,  56, 113, 214, 194, 223, 228,  // 60
    213,  45, 229, 226, 246, 216, 141, 123, 179, 134,  49,  77, 175, 119,  88, 101,  // 70
    207, 112,  60, 237, 227, 234, 109,  61, 144, 252,  22, 249, 108, 242,  69,  53,  // 80
    185,  20,  15,  29,  84,  38,  13,  12,  96,   9,   2,   5,  37,  18,   1,  19,  // 90
    116,  25,  10,  23,  39,  16,   3,   6,  89,   7,  17,  14,  32,   8,   0,  24,  // a0
    111,  21,   4,  11,  59,  27, 137,  50, 138,  70, 126,  35,  91,  65, 145, 120,  // b0
    231, 176, 130, 198, 172, 151, 158, 204, 125, 122,  51,  26,  41,  30,  34,  28,  // c0
    169,  64, 140,  57,  43,  42,  46,  31, 135,  58,  48, 100,  36,  47,  80, 164,  // d0
    167,  71,  98,  40,  83,  55,  92, 114, 245, 210,  94, 168, 131, 115, 124, 177,  // e0
    170,  75, 118, 133,  93, 105, 181, 143, 196, 127, 148, 153, 182, 183, 203, 254,  // f0
};
// clang-format on

constexpr std::uint8_t kFixed = 0xFF;

// The value and mask of one character of a pair: a hex digit fixes its nibble, ? leaves it open.
std::optional<std::pair<std::uint8_t, std::uint8_t>> nibble(char c) {
    if (c == '?') {
        return std::pair<std::uint8_t, std::uint8_t>{0, 0};
    }
    const int value = conversionDigitValue(c);
    if (value < 0 || value >= 16) {
        return std::nullopt;
    }
    return std::pair<std::uint8_t, std::uint8_t>{static_cast<std::uint8_t>(value), 0xF};
}

void appendUnit(ByteBuffer& bytes, std::uint32_t unit) {
    bytes.push_back(static_cast<std::uint8_t>(unit & 0xFF));
    bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
}

}  // namespace

BytePattern::BytePattern(ByteView bytes) : BytePattern(bytes, ByteBuffer(bytes.size(), kFixed)) {}

BytePattern::BytePattern(ByteView values, ByteView masks)
    : values_(values.begin(), values.end()), masks_(masks.begin(), masks.end()) {
    anchor_ = values_.size();
    for (std::size_t i = 0; i < values_.size(); ++i) {
        values_[i] &= masks_[i];
        if (masks_[i] == kFixed &&
            (anchor_ == values_.size() || kByteRank[values_[i]] < kByteRank[values_[anchor_]])) {
            anchor_ = i;
        }
    }
}

bool BytePattern::exact() const {
    return std::ranges::all_of(masks_, [](std::uint8_t mask) { return mask == kFixed; });
}

std::size_t BytePattern::find(ByteView data, std::size_t from) const {
    const std::size_t length = values_.size();
    if (length == 0 || length > data.size() || from > data.size() - length) {
        return kNoMatch;
    }
    const std::size_t lastStart = data.size() - length;
    const std::uint8_t* const base = data.data();
    if (anchor_ == length) {
        // Wildcards only: every position is a candidate.
        for (; from <= lastStart; ++from) {
            if (matchesAt(base + from)) {
                return from;
            }
        }
        return kNoMatch;
    }
    const std::uint8_t anchor = values_[anchor_];
    for (; from <= lastStart; ++from) {
        // The next place is tested inline, which is cheapest where the anchor is common after
        // all; otherwise memchr skips to the next candidate far faster than a byte loop.
        if (base[from + anchor_] != anchor) {
            const auto* found = static_cast<const std::uint8_t*>(
                std::memchr(base + from + anchor_ + 1, anchor, lastStart - from));
            if (found == nullptr) {
                return kNoMatch;
            }
            from = static_cast<std::size_t>(found - base) - anchor_;
        }
        if (matchesAt(base + from)) {
            return from;
        }
    }
    return kNoMatch;
}

std::string BytePattern::text() const {
    std::string text;
    for (std::size_t i = 0; i < values_.size(); ++i) {
        if (i > 0) {
            text += ' ';
        }
        for (const int shift : {4, 0}) {
            text +=
                (masks_[i] >> shift & 0xF) == 0 ? '?' : kLowerHexDigits[values_[i] >> shift & 0xF];
        }
    }
    return text;
}

std::optional<BytePattern> parseFindPattern(std::string_view text) {
    ByteBuffer values;
    ByteBuffer masks;
    std::size_t groupLength = 0;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || isHexSeparator(text[i])) {
            if (groupLength % 2 != 0) {
                return std::nullopt;
            }
            groupLength = 0;
            continue;
        }
        if (++groupLength % 2 == 1) {
            continue;
        }
        const auto high = nibble(text[i - 1]);
        const auto low = nibble(text[i]);
        if (!high || !low) {
            return std::nullopt;
        }
        values.push_back(static_cast<std::uint8_t>(high->first << 4 | low->first));
        masks.push_back(static_cast<std::uint8_t>(high->second << 4 | low->second));
    }
    if (values.empty()) {
        return std::nullopt;
    }
    return BytePattern(values, masks);
}

BytePattern textPattern(std::string_view text) {
    return BytePattern(ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

std::optional<BytePattern> utf16Pattern(std::string_view text) {
    ByteBuffer bytes;
    for (std::size_t i = 0; i < text.size();) {
        const auto decoded = decodeUtf8(text, i);
        if (!decoded) {
            return std::nullopt;
        }
        const auto [point, length] = *decoded;
        if (point < 0x10000) {
            appendUnit(bytes, point);
        } else {
            appendUnit(bytes, 0xD800 + ((point - 0x10000) >> 10));
            appendUnit(bytes, 0xDC00 + ((point - 0x10000) & 0x3FF));
        }
        i += length;
    }
    if (bytes.empty()) {
        return std::nullopt;
    }
    return BytePattern(bytes);
}

Result<std::optional<std::uint64_t>> findInRange(ByteSource& source, const BytePattern& pattern,
                                                 std::uint64_t begin, std::uint64_t end,
                                                 SearchDirection direction, std::size_t step) {
    using Found = std::optional<std::uint64_t>;
    end = std::min(end, source.size());
    if (pattern.empty() || begin >= end) {
        return Found{};
    }
    step = std::max<std::size_t>(step, 1);
    // Each piece holds the starts of one step and the pattern's tail behind the last of them.
    ByteBuffer piece(
        static_cast<std::size_t>(std::min<std::uint64_t>(step, end - begin) + pattern.size() - 1));
    const auto search = [&](std::uint64_t from, std::uint64_t to) -> Result<Found> {
        Result<std::size_t> read = source.readAt(
            from, std::span(piece).first(static_cast<std::size_t>(to - from) + pattern.size() - 1));
        if (!read) {
            return read.failure();
        }
        const ByteView bytes = ByteView(piece).first(*read);
        const auto starts = static_cast<std::size_t>(to - from);
        Found found;
        for (std::size_t at = pattern.find(bytes, 0); at != kNoMatch && at < starts;
             at = pattern.find(bytes, at + 1)) {
            found = from + at;
            if (direction == SearchDirection::kForward) {
                break;
            }
        }
        return found;
    };
    if (direction == SearchDirection::kForward) {
        for (std::uint64_t from = begin; from < end;
             from += std::min<std::uint64_t>(step, end - from)) {
            Result<Found> found = search(from, from + std::min<std::uint64_t>(step, end - from));
            if (!found || *found) {
                return found;
            }
        }
    } else {
        for (std::uint64_t to = end; to > begin; to -= std::min<std::uint64_t>(step, to - begin)) {
            Result<Found> found = search(to - std::min<std::uint64_t>(step, to - begin), to);
            if (!found || *found) {
                return found;
            }
        }
    }
    return Found{};
}

}  // namespace tessaloom
