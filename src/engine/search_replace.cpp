#include "search_replace.h"

#include <cstring>

#include "file_io.h"

namespace tessaloom {

namespace {

bool isSeparator(char c) {
    return c == ' ' || c == '-' || c == ':';
}

int hexDigitValue(char c) {
    const int value = conversionDigitValue(c);
    return value < 16 ? value : -1;
}

// The value strtol gives the two-character string pair in base 16: leading white space and one
// "+" are skipped, then digits are read up to the first other character, 0 when there is none. A
// "0x" prefix needs a digit after it, which two characters never leave room for, so it reads as
// the digit 0 and then stops, which is the same value. Hyphens never get here.
std::uint8_t pairValue(char first, char second) {
    const char pair[] = {first, second};
    std::size_t i = 0;
    while (i < 2 && isConversionSpace(pair[i])) {
        ++i;
    }
    if (i < 2 && pair[i] == '+') {
        ++i;
    }
    int value = 0;
    for (; i < 2 && hexDigitValue(pair[i]) >= 0; ++i) {
        value = value * 16 + hexDigitValue(pair[i]);
    }
    return static_cast<std::uint8_t>(value);
}

// Whether the bytes at window, whose first byte is known to match, continue as pattern does. A
// plain loop: the mismatch usually comes within a byte or two, sooner than a memcmp call returns.
bool matchesRest(const std::uint8_t* window, ByteView pattern) {
    for (std::size_t i = 1; i < pattern.size(); ++i) {
        if (window[i] != pattern[i]) {
            return false;
        }
    }
    return true;
}

}  // namespace

ByteBuffer parseHexPattern(std::string_view text) {
    std::string kept;
    kept.reserve(text.size());
    for (const char c : text) {
        if (!isSeparator(c)) {
            kept.push_back(c);
        }
    }
    ByteBuffer pattern;
    pattern.reserve(kept.size() / 2);
    for (std::size_t i = 0; i + 1 < kept.size(); i += 2) {
        pattern.push_back(pairValue(kept[i], kept[i + 1]));
    }
    return pattern;
}

std::size_t findPattern(ByteView data, ByteView pattern, std::size_t from) {
    const std::size_t length = pattern.size();
    if (length == 0 || length > data.size()) {
        return kNoMatch;
    }
    const std::size_t lastStart = data.size() - length;
    const std::uint8_t* const base = data.data();
    for (; from <= lastStart; ++from) {
        // The position itself is tested inline, which is cheapest where the first byte is common
        // (zero padding); otherwise memchr skips to the next candidate far faster than a byte loop.
        if (base[from] != pattern[0]) {
            const auto* candidate = static_cast<const std::uint8_t*>(
                std::memchr(base + from + 1, pattern[0], lastStart - from));
            if (candidate == nullptr) {
                return kNoMatch;
            }
            from = static_cast<std::size_t>(candidate - base);
        }
        if (matchesRest(base + from, pattern)) {
            return from;
        }
    }
    return kNoMatch;
}

std::int64_t replaceAll(std::span<std::uint8_t> data, ByteView search, ByteView replacement) {
    if (search.empty() || replacement.size() != search.size()) {
        return 0;
    }
    std::int64_t count = 0;
    for (std::size_t at = findPattern(data, search, 0); at != kNoMatch;
         at = findPattern(data, search, at + search.size())) {
        // Patterns are short: a plain loop costs less than a memcpy call per occurrence.
        for (std::size_t i = 0; i < replacement.size(); ++i) {
            data[at + i] = replacement[i];
        }
        ++count;
    }
    return count;
}

bool searchAndReplace(const std::string& inputPath, ByteView search, ByteView replacement,
                      const std::string& outputPath, std::int64_t& count) {
    count = 0;
    // Patterns that cannot be used fail before the input is read: no need to load a large file
    // only to reject it.
    if (search.empty() || replacement.size() != search.size()) {
        return false;
    }
    ByteBuffer data = loadFile(inputPath);
    if (data.empty()) {
        return false;
    }
    count = replaceAll(data, search, replacement);
    return saveFile(outputPath, data);
}

}  // namespace tessaloom
