// What the viewer asks of the analyses: the search pattern and its matcher, the class of a stretch
// of bytes for the region map, and the structure of the file. These are the seams to the engine's
// --find, --map and --struct.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/entropy.h"
#include "engine/types.h"

namespace tessaloom::cli::view {

class Document;

// Bytes to find, some of which match any byte.
struct SearchPattern {
    ByteBuffer bytes;
    std::vector<bool> any;  // true where the byte matches any byte

    std::size_t size() const { return bytes.size(); }
};

// Hex digits in pairs (spaces between them allowed, ?? for any byte), or "text" in double quotes.
// Empty, with why set, when text is neither.
std::optional<SearchPattern> parseSearchPattern(std::string_view text, std::string& why);

// Where pattern first occurs wholly inside data at or after from; SIZE_MAX when it does not.
std::size_t findFirst(ByteView data, const SearchPattern& pattern, std::size_t from = 0);

// What a stretch of bytes mostly is, from how often each byte value occurs in it.
enum class RegionClass : std::uint8_t { kUnknown, kZero, kText, kLow, kMedium, kHigh };

RegionClass classifyCounts(const ByteCounts& counts);

// One named stretch of the file: a header field, a section.
struct StructureField {
    std::string label;
    std::string value;
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
};

// The fields of the file's format found in its first bytes, in file order.
std::vector<StructureField> readStructure(Document& document);

}  // namespace tessaloom::cli::view
