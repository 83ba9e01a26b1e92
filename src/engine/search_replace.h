// Hexadecimal byte patterns, and search-and-replace of one pattern by another in a file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "types.h"

namespace tessaloom {

// Turns hex text such as "DE AD-BE:EF" into bytes. Spaces, hyphens and colons are dropped; the
// rest is read two characters at a time. Never fails: odd characters read as 0x00 or as a lone
// digit, and fewer than two characters give an empty pattern.
ByteBuffer parseHexPattern(std::string_view text);

// Loads inputPath, overwrites every leftmost non-overlapping occurrence of search with
// replacement, and writes the result to outputPath. count is set to 0 first and then holds the
// number of replacements. False, without touching outputPath, when the input is empty, search is
// empty or the two patterns differ in length; otherwise the result of writing outputPath.
bool searchAndReplace(const std::string& inputPath, ByteView search, ByteView replacement,
                      const std::string& outputPath, std::int64_t& count);

}  // namespace tessaloom
