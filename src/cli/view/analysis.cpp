#include "analysis.h"

#include "document.h"
#include "engine/structure.h"

namespace tessaloom::cli::view {

namespace {

void flatten(const std::vector<StructField>& tree, std::size_t depth,
             std::optional<std::size_t> parent, std::vector<StructureField>& fields) {
    for (const StructField& field : tree) {
        fields.push_back({field.name, field.value, field.offset, field.size, depth, parent});
        flatten(field.fields, depth + 1, fields.size() - 1, fields);
    }
}

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
    const StructureReport report = describeStructure(
        document, document.path(), {.entropies = SectionEntropies::kSkipped, .progress = {}});
    std::string summary = report.format;
    if (!report.warnings.empty()) {
        summary += ", " + std::to_string(report.warnings.size()) +
                   (report.warnings.size() == 1 ? " warning" : " warnings");
    }
    std::vector<StructureField> fields{{"File", summary, 0, document.size(), 0, std::nullopt}};
    flatten(report.fields, 1, std::nullopt, fields);
    return fields;
}

}  // namespace tessaloom::cli::view
