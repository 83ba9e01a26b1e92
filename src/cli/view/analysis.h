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
    // Not 0 where the fields inside it are read when it is opened (an archive of many entries).
    std::uint64_t deferred = 0;
};

// The structure of the file as edited, and its format: what readDeferred needs.
struct Structure {
    std::vector<StructureField> fields;
    std::string format;
};

// The structure of the file as edited, as --struct reads it without the entropies of sections:
// first the whole file (its format and the count of warnings as its value), then every field.
// Only the headers are read, so it comes at once whatever the file's size.
Structure readStructure(Document& document);

// The fields inside fields[index], read from the document where they were deferred (format is the
// structure's), flattened
// as readStructure flattens them, to go right after it; none where it has none to read. Throws
// ReadError when they cannot be read.
std::vector<StructureField> readDeferred(Document& document, const std::string& format,
                                         const std::vector<StructureField>& fields,
                                         std::size_t index);

}  // namespace tessaloom::cli::view
