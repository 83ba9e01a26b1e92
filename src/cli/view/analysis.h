// What the viewer asks of the engine's analyses: the search pattern of --find, the class of a
// stretch of bytes of --map, and the structure of the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/entropy.h"
#include "engine/entropy_map.h"
#include "engine/find.h"
#include "engine/types.h"

namespace tessaloom::cli::view {

class Document;

// A pattern in the syntax of --find (hex digit pairs with ?? and ? wildcards, groups separated by
// spaces, colons or hyphens), or "text" in double quotes for its bytes as typed. Empty, with why
// set, when text is neither.
std::optional<BytePattern> parseSearchPattern(std::string_view text, std::string& why);

// What a stretch of bytes mostly is (the classes of --map), or not known yet.
using RegionClass = std::optional<ByteClass>;

// One field of the file's structure, in the tree of --struct flattened in its order: a header, a
// field of it, a section.
struct StructureField {
    std::string label;
    std::string value;
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    std::size_t depth = 0;
    std::optional<std::size_t> parent;  // the index of the field that holds it
};

// The structure of the file as edited, as --struct reads it without the entropies of sections:
// first the whole file (its format and the count of warnings as its value), then every field.
// Only the headers are read, so it comes at once whatever the file's size.
std::vector<StructureField> readStructure(Document& document);

}  // namespace tessaloom::cli::view
