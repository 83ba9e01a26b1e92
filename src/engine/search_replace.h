// Hexadecimal byte patterns, and search-and-replace of one pattern by another in a file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "types.h"

namespace tessaloom {

// What findPattern returns when there is no further occurrence.
inline constexpr std::size_t kNoMatch = static_cast<std::size_t>(-1);

// Turns hex text such as "DE AD-BE:EF" into bytes. Spaces, hyphens and colons are dropped; the
// rest is read two characters at a time, each pair as the C library's strtol reads it in base 16
// (so "4G" is 0x04, and "0x", ",4" and "ZZ" are 0x00). Never fails: an odd last character is
// ignored, and fewer than two characters give an empty pattern.
ByteBuffer parseHexPattern(std::string_view text);

// The offset of the first occurrence of pattern in data at or after from, or kNoMatch. An empty
// pattern never occurs. At most pattern.size() comparisons per position, no tables.
std::size_t findPattern(ByteView data, ByteView pattern, std::size_t from);

// Overwrites, in place, every leftmost non-overlapping occurrence of search in data with
// replacement and returns how many there were. Scanning resumes behind each replacement, so
// replaced bytes are never compared again. Does nothing when search is empty or the two patterns
// differ in length.
std::int64_t replaceAll(std::span<std::uint8_t> data, ByteView search, ByteView replacement);

// Loads inputPath, overwrites every leftmost non-overlapping occurrence of search with
// replacement, and writes the result to outputPath. count is set to 0 first and then holds the
// number of replacements. False, without touching outputPath, when the input is empty, search is
// empty or the two patterns differ in length; otherwise the result of writing outputPath.
bool searchAndReplace(const std::string& inputPath, ByteView search, ByteView replacement,
                      const std::string& outputPath, std::int64_t& count);

}  // namespace tessaloom
