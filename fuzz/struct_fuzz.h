// What every structure target checks: the report of the data in memory is the report of the same
// bytes in a file read in chunks of a random size, and of a stream that hands them out in random
// pieces (which is copied aside first); every field lies inside the data and inside the field that
// holds it; entropies lie between 0 and 8; the innermost field at an offset holds it; the report
// stays in proportion to the data.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "engine/file_reader.h"
#include "engine/structure.h"
#include "fuzz_support.h"
#include "struct_report.h"

namespace tessaloom::fuzz {

// A stream of the data in random pieces: no size, read once from start to end.
class PiecedStream : public InputStream {
  public:
    PiecedStream(ByteView data, std::uint8_t seed) {
        forEachRandomPiece(data, seed, [this](ByteView piece) { pieces_.push_back(piece); });
    }
    ReadResult read(std::span<std::uint8_t> into) override {
        if (next_ == pieces_.size()) {
            return {};
        }
        ByteView& piece = pieces_[next_];
        const std::size_t count = std::min(into.size(), piece.size());
        std::copy_n(piece.begin(), count, into.begin());
        piece = piece.subspan(count);
        next_ += piece.empty() ? 1 : 0;
        return {count, std::nullopt};
    }

  private:
    std::vector<ByteView> pieces_;
    std::size_t next_ = 0;
};

inline void checkFields(const std::vector<StructField>& fields, std::uint64_t start,
                        std::uint64_t end) {
    for (const StructField& field : fields) {
        check(field.offset >= start && field.offset <= end && field.size <= end - field.offset,
              "every field lies inside the data and inside the field that holds it");
        check(!field.name.empty(), "every field has a name");
        checkFields(field.fields, field.offset, field.offset + field.size);
    }
}

// Checks the report of the data; formatOf says which formats the bytes may be reported as.
template <typename FormatCheck>
int checkStructure(const std::uint8_t* data, std::size_t size, FormatCheck formatOf) {
    const ByteView bytes(data, size);
    SpanSource span(bytes);
    const StructureReport report = describeStructure(span, "input");
    check(report.size == size, "the report measures the data");
    check(formatOf(bytes, report.format), "the format is the one the bytes announce");
    checkFields(report.fields, 0, size);
    if (report.sections) {
        for (const SectionInfo& section : *report.sections) {
            check(!section.entropy || (*section.entropy >= 0.0 && *section.entropy <= 8.0),
                  "entropies lie between 0 and 8");
        }
    }
    // An archive that claims many entries defers its headers' fields; read as they are written,
    // they give the report of the same bytes read at once.
    const StructureReport whole = describeStructure(span, "input",
                                                    {.entropies = SectionEntropies::kMeasured,
                                                     .progress = {},
                                                     .streamLimit = kStreamCopyLimit,
                                                     .eagerEntries = UINT64_MAX});
    const cli::FieldReader read = [&](const StructField& field) {
        Result<std::vector<StructField>> fields = expandField(span, report, field);
        check(fields.ok(), "deferred fields are read");
        return fields ? *fields : std::vector<StructField>{};
    };
    const std::string json = cli::structureJson(report, read);
    const std::string text = cli::structureText(report, read);
    check(json == cli::structureJson(whole) && text == cli::structureText(whole),
          "deferred fields read back as they would have been read at once");
    check(!text.empty() && json.back() == '\n', "both reports are written");
    // A header's fields take some hundred characters for each of its bytes; names shown many
    // times are held to their budget.
    check(json.size() + text.size() <= 256 * std::uint64_t{size} + (std::uint64_t{1} << 20),
          "the report grows with the file, not with what it claims");
    for (const std::uint64_t offset :
         {std::uint64_t{0}, std::uint64_t{size / 2}, std::uint64_t{size / 3}}) {
        const std::vector<const StructField*> chain = fieldsAt(report.fields, offset);
        for (const StructField* field : chain) {
            check(offset >= field->offset && offset - field->offset < field->size,
                  "each field found at an offset holds it");
        }
    }

    const std::uint8_t seed = size > 0 ? data[size - 1] : 0;
    const std::string path = scratchPath("input");
    writeFile(path, bytes);
    FileReader reader(path, chunkSizeFrom(seed));
    StructureReport fromFile = describeStructure(reader);
    fromFile.path = "input";
    check(fromFile == report, "a file read in chunks gives the same report");
    FileReader stream("input", std::make_unique<PiecedStream>(bytes, seed));
    check(describeStructure(stream) == whole, "a stream in pieces gives the same report");
    return 0;
}

}  // namespace tessaloom::fuzz
