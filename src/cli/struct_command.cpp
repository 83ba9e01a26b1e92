#include <cstdint>
#include <iostream>
#include <optional>
#include <string>

#include "args.h"
#include "commands.h"
#include "console.h"
#include "engine/file_reader.h"
#include "engine/structure.h"
#include "inputs.h"
#include "progress_line.h"
#include "struct_report.h"

namespace tessaloom::cli {

int runStruct(const Arguments& args) {
    StructureOptions options;
    const bool json = readReportOptions(args, options.streamLimit);
    FileReader reader(args[0]);
    requireReadable(reader);
    ProgressLine progress(progressWanted(CommandOutput::kReportWhenDone));
    progress.follow(reader);
    options.progress = [&progress](const ScanProgress& done) {
        progress.update(done.done, done.total);
    };
    const StructureReport report =
        withStreamLimitHint([&] { return describeStructure(reader, options); });
    progress.erase();
    requireReadable(reader);
    const TextSink out = [](std::string_view piece) { writeText(std::cout, piece); };
    // The fields an archive of many entries deferred are read from the file as they are written,
    // through a cache: their headers lie side by side.
    std::optional<CachedSource> cached;
    if (reader.source() != nullptr) {
        cached.emplace(*reader.source());
    }
    const FieldReader read = [&](const StructField& field) {
        if (!cached) {
            return std::vector<StructField>{};
        }
        Result<std::vector<StructField>> fields = expandField(*cached, report, field);
        if (!fields) {
            throw ReadError(fields.failure());
        }
        return std::move(*fields);
    };
    // So are the symbols of a large symbol table, a batch at a time.
    const SymbolReader symbols = [&](const SymbolTableInfo& table, std::uint64_t first,
                                     std::uint64_t count, std::uint64_t& charged) {
        if (!cached) {
            return std::vector<SymbolInfo>{};
        }
        Result<std::vector<SymbolInfo>> batch =
            readSymbols(*cached, report, table, first, count, charged);
        if (!batch) {
            throw ReadError(batch.failure());
        }
        return std::move(*batch);
    };
    if (json) {
        writeStructureJson(report, out, read, symbols);
    } else {
        writeStructureText(report, out, read, symbols);
    }
    return 0;
}

}  // namespace tessaloom::cli
