#include "analysis.h"

#include "document.h"
#include "engine/structure.h"

namespace tessaloom::cli::view {

namespace {

// Appends the rows of tree to fields, whose first row is row `base` of the whole list.
void flatten(const std::vector<StructField>& tree, std::size_t depth,
             std::optional<std::size_t> parent, std::vector<StructureField>& fields,
             std::size_t base = 0) {
    for (const StructField& field : tree) {
        fields.push_back(
            {field.name, field.value, field.offset, field.size, depth, parent, field.deferred});
        flatten(field.fields, depth + 1, base + fields.size() - 1, fields, base);
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

Structure readStructure(Document& document) {
    const StructureReport report = describeStructure(
        document, document.path(), {.entropies = SectionEntropies::kSkipped, .progress = {}});
    std::string summary = report.format;
    if (!report.warnings.empty()) {
        summary += ", " + std::to_string(report.warnings.size()) +
                   (report.warnings.size() == 1 ? " warning" : " warnings");
    }
    std::vector<StructureField> fields{{"File", summary, 0, document.size(), 0, std::nullopt, 0}};
    flatten(report.fields, 1, std::nullopt, fields);
    return {std::move(fields), report.format};
}

std::vector<StructureField> readDeferred(Document& document, const std::string& format,
                                         const std::vector<StructureField>& fields,
                                         std::size_t index) {
    const StructureField& row = fields[index];
    StructureReport report;
    report.path = document.path();
    report.format = format;
    const StructField field{row.label,    row.offset, row.size,    row.value,
                            std::nullopt, {},         row.deferred};
    std::vector<StructField> inner = readOrThrow(expandField(document, report, field));
    std::vector<StructureField> rows;
    flatten(inner, row.depth + 1, index, rows, index + 1);
    return rows;
}

}  // namespace tessaloom::cli::view
