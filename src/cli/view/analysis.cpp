#include "analysis.h"

#include <span>

#include "document.h"
#include "engine/structure.h"

namespace tessaloom::cli::view {

namespace {

// The document's bytes, edits included, as --struct reads them.
class DocumentSource : public ByteSource {
  public:
    explicit DocumentSource(Document& document) : document_(document) {}
    std::uint64_t size() const override { return document_.size(); }
    Result<std::size_t> readAt(std::uint64_t offset, std::span<std::uint8_t> into) override {
        try {
            return document_.read(offset, into);
        } catch (const ReadError& error) {
            return Failure{Failure::Kind::kRead, error.path(), error.reason(), 0, {}};
        }
    }

  private:
    Document& document_;
};

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
    DocumentSource source(document);
    const StructureReport report = describeStructure(
        source, document.path(), {.entropies = SectionEntropies::kSkipped, .progress = {}});
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
