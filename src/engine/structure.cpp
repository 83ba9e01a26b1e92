#include "structure.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>

#include "entropy.h"
#include "file_reader.h"
#include "formats/decoder.h"
#include "formats/elf_tables.h"
#include "formats/pe_tables.h"

namespace tessaloom {

namespace {

// Sections whose entropy is measured; the snapshots of the counts stay below 8 MiB.
constexpr std::size_t kMaxMeasuredSections = 4096;

// The entropy of every section's bytes in one pass in order of offset over the bytes the
// sections cover, reading each of them once: the running counts are noted where a section
// starts and subtracted where it ends, so sections may overlap. With a checksum, the pass reads
// every byte of the file instead and hands them all to it, so that the file is read once.
void measureEntropies(ByteSource& source, std::vector<SectionInfo>& sections,
                      formats::PeChecksum* checksum, const ProgressCallback& progress,
                      std::vector<std::string>& warnings) {
    struct Event {
        std::uint64_t position;
        bool start;
        std::size_t section;
    };
    std::vector<Event> events;
    const std::uint64_t size = source.size();
    std::size_t measured = 0;
    for (std::size_t i = 0; i < sections.size(); ++i) {
        const SectionInfo& section = sections[i];
        if (section.size == 0 || section.offset >= size) {
            continue;
        }
        if (measured++ == kMaxMeasuredSections) {
            warnings.push_back("Only the entropies of the first " +
                               std::to_string(kMaxMeasuredSections) + " sections are measured");
        }
        if (measured > kMaxMeasuredSections) {
            continue;
        }
        events.push_back({section.offset, true, i});
        events.push_back(
            {section.offset + std::min(section.size, size - section.offset), false, i});
    }
    // At one position the ends come first: no byte lies between them and the starts.
    std::ranges::sort(events, [](const Event& a, const Event& b) {
        return a.position != b.position ? a.position < b.position : !a.start && b.start;
    });
    std::uint64_t total = 0;
    std::size_t open = 0;
    for (std::size_t i = 0; i < events.size(); ++i) {
        if (events[i].start) {
            ++open;
        } else {
            --open;
        }
        if (open > 0 && i + 1 < events.size()) {
            total += events[i + 1].position - events[i].position;
        }
    }
    if (checksum != nullptr) {
        total = size;
    }
    ByteCounts counts{};
    std::vector<std::unique_ptr<ByteCounts>> snapshots(sections.size());
    ByteBuffer buffer(static_cast<std::size_t>(std::min<std::uint64_t>(kDefaultChunkSize, total)));
    std::uint64_t done = 0;
    std::uint64_t position = 0;
    open = 0;
    // Reads on to until: what lies inside a section is counted, every byte summed.
    const auto readTo = [&](std::uint64_t until) {
        while (position < until) {
            const auto length =
                static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), until - position));
            Result<std::size_t> got = source.readAt(position, std::span(buffer).first(length));
            if (!got) {
                throw ReadError(got.failure());
            }
            if (*got != length) {
                throw ReadError("", "The file ended before its size");
            }
            const ByteView piece = ByteView(buffer).first(length);
            if (open > 0) {
                addByteCounts(piece, counts);
            }
            if (checksum != nullptr) {
                checksum->add(piece);
            }
            position += length;
            done += length;
            if (progress) {
                progress({done, total});
            }
        }
    };
    for (const Event& event : events) {
        if (open > 0 || checksum != nullptr) {
            readTo(event.position);
        }
        position = event.position;
        const SectionInfo& section = sections[event.section];
        if (event.start) {
            snapshots[event.section] = std::make_unique<ByteCounts>(counts);
            ++open;
            continue;
        }
        ByteCounts inside{};
        for (std::size_t value = 0; value < inside.size(); ++value) {
            inside[value] = counts[value] - (*snapshots[event.section])[value];
        }
        snapshots[event.section].reset();
        sections[event.section].entropy =
            entropyOfCounts(inside, std::min(section.size, size - section.offset));
        --open;
    }
    if (checksum != nullptr) {
        readTo(size);
    }
}

using Decoder = bool (*)(formats::Decoding&);

// Each format is known by its first bytes, except ZIP, which is found from its end.
constexpr Decoder kDecoders[] = {formats::decodePe, formats::decodeElf, formats::decodePng,
                                 formats::decodeZip};

void find(const std::vector<StructField>& fields, std::uint64_t offset,
          std::vector<const StructField*>& path, std::vector<const StructField*>& best) {
    for (const StructField& field : fields) {
        if (offset < field.offset || offset - field.offset >= field.size) {
            continue;
        }
        path.push_back(&field);
        if (path.size() > best.size() ||
            (path.size() == best.size() && field.size < best.back()->size)) {
            best = path;
        }
        find(field.fields, offset, path, best);
        path.pop_back();
    }
}

}  // namespace

StructureReport describeStructure(ByteSource& source, std::string path,
                                  const StructureOptions& options) {
    StructureReport report;
    report.path = std::move(path);
    report.size = source.size();
    // The decoders read a header here, a name there: the cache spares a read of the source for
    // each of those small reads.
    CachedSource cached(source);
    formats::Bytes bytes(cached);
    formats::Decoding decoding(bytes, report, options.entropies == SectionEntropies::kMeasured);
    decoding.eagerEntries = options.eagerEntries;
    const bool known =
        std::ranges::any_of(kDecoders, [&decoding](Decoder decode) { return decode(decoding); });
    if (!known && report.size > 0) {
        decoding.add("Data", 0, report.size,
                     "raw data of " + formats::decimal(report.size) + " bytes");
    }
    decoding.finish();
    if (bytes.failure()) {
        throw ReadError(report.path, bytes.failure()->reason);
    }
    const bool measured = options.entropies == SectionEntropies::kMeasured;
    try {
        // A PE file's checksum is the sum of all its bytes: they are read in the same pass.
        std::optional<formats::PeChecksum> checksum;
        if (report.checksum && measured) {
            checksum.emplace(report.checksum->offset);
        }
        if ((report.sections && measured) || checksum) {
            std::vector<SectionInfo> none;
            measureEntropies(source, report.sections ? *report.sections : none,
                             checksum ? &*checksum : nullptr, options.progress, report.warnings);
        }
        if (checksum) {
            report.checksum->computed = checksum->value();
        }
    } catch (const ReadError& error) {
        Failure failure = error.failure();
        failure.path = report.path;
        throw ReadError(std::move(failure));
    }
    return report;
}

StructureReport describeStructure(FileReader& reader, const StructureOptions& options) {
    if (reader.error()) {
        SpanSource empty({});
        return describeStructure(empty, reader.path(), options);
    }
    if (reader.source() != nullptr) {
        return describeStructure(*reader.source(), reader.path(), options);
    }
    // Deferred fields would be read from the copy, which goes with this call.
    StructureOptions whole = options;
    whole.eagerEntries = UINT64_MAX;
    const std::unique_ptr<Spool> spool = spoolStream(reader, options.streamLimit);
    return describeStructure(*spool, reader.path(), whole);
}

Result<std::vector<StructField>> expandField(ByteSource& source, const StructureReport& report,
                                             const StructField& field) {
    if (field.deferred == 0 || report.format != "ZIP") {
        return std::vector<StructField>{};
    }
    formats::Bytes bytes(source);
    std::vector<StructField> fields = formats::expandZipField(bytes, field);
    if (bytes.failure()) {
        Failure failure = *bytes.failure();
        failure.path = report.path;
        return failure;
    }
    return fields;
}

Result<std::vector<SymbolInfo>> readSymbols(ByteSource& source, const StructureReport& report,
                                            const SymbolTableInfo& table, std::uint64_t first,
                                            std::uint64_t count, std::uint64_t& charged) {
    if (!table.deferred) {
        return std::vector<SymbolInfo>{};
    }
    formats::Bytes bytes(source);
    std::vector<SymbolInfo> symbols =
        formats::readElfSymbols(bytes, report, table, first, count, charged);
    if (bytes.failure()) {
        Failure failure = *bytes.failure();
        failure.path = report.path;
        return failure;
    }
    return symbols;
}

StructureReport describeStructure(const std::string& path, const StructureOptions& options) {
    FileReader reader(path);
    return describeStructure(reader, options);
}

std::vector<const StructField*> fieldsAt(const std::vector<StructField>& fields,
                                         std::uint64_t offset) {
    std::vector<const StructField*> path;
    std::vector<const StructField*> best;
    find(fields, offset, path, best);
    return best;
}

}  // namespace tessaloom
