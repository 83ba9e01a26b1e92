#include "analysis.h"

#include <algorithm>

#include "document.h"
#include "engine/format_detect.h"

namespace tessaloom::cli::view {

namespace {

// How much of the file format detection reads: its headers lie at the start.
constexpr std::size_t kStructureWindow = std::size_t{64} << 10;

}  // namespace

std::optional<BytePattern> parseSearchPattern(std::string_view text, std::string& why) {
    if (text.size() > 2 && text.front() == '"' && text.back() == '"') {
        return textPattern(text.substr(1, text.size() - 2));
    }
    if (std::optional<BytePattern> pattern = parseFindPattern(text)) {
        return pattern;
    }
    why = "Not a pattern: hex digit pairs, ?? and ? for any byte or nibble, or \"text\"";
    return std::nullopt;
}

std::vector<StructureField> readStructure(Document& document) {
    ByteBuffer head(
        static_cast<std::size_t>(std::min<std::uint64_t>(document.size(), kStructureWindow)));
    head.resize(document.read(0, head));
    std::string typeName;
    std::vector<StructureField> fields;
    fields.push_back({"File", typeName, 0, document.size()});
    for (HeaderField& field : detectFormat(head, typeName)) {
        fields.push_back(
            {std::move(field.label), std::move(field.value), field.offset, field.size});
    }
    fields.front().value = typeName;
    return fields;
}

}  // namespace tessaloom::cli::view
