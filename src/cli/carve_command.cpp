#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <system_error>

#include "args.h"
#include "commands.h"
#include "console.h"
#include "engine/carve.h"
#include "engine/file_reader.h"
#include "inputs.h"
#include "progress_line.h"
#include "scan_report.h"

namespace tessaloom::cli {

namespace {

std::string plural(std::uint64_t count, const std::string& word) {
    return std::to_string(count) + " " + word + (count == 1 ? "" : "s");
}

// Makes the folder, or checks that the one there may be written into: empty, or --force.
void prepareFolder(const std::string& folder, bool force) {
    std::error_code error;
    const std::filesystem::path path(folder);
    const std::filesystem::file_status status = std::filesystem::status(path, error);
    if (!std::filesystem::exists(status)) {
        if (!std::filesystem::create_directories(path, error)) {
            throw ReadError(
                Failure{Failure::Kind::kWrite, folder, error.message(), error.value(), {}});
        }
        return;
    }
    if (!std::filesystem::is_directory(status)) {
        throw ReadError(Failure{Failure::Kind::kWrite, folder, "Not a directory", 0, {}});
    }
    if (!force && !std::filesystem::is_empty(path, error)) {
        throw ArgumentError(folder + " is not empty (--force writes into it)");
    }
}

}  // namespace

int runCarve(const Arguments& args) {
    bool force = false;
    CarveOptions options;
    std::optional<std::uint64_t> deepLimit;
    for (std::size_t i = 2; i < args.size(); ++i) {
        if (args[i] == "--force" && !force) {
            force = true;
        } else if (args[i] == "--deep" && !options.deep) {
            options.deep = true;
        } else if (args[i] == "--deep-limit" && !deepLimit && i + 1 < args.size()) {
            deepLimit = parseSize(args[++i]);
            if (!deepLimit || *deepLimit == 0) {
                throw UsageError();
            }
        } else {
            throw UsageError();
        }
    }
    if (deepLimit) {
        if (!options.deep) {
            throw UsageError();
        }
        options.deepLimits = deepLimitsFor(*deepLimit);
    }
    FileReader reader(args[0]);
    requireReadable(reader);
    const std::string& folder = args[1];
    prepareFolder(folder, force);
    ProgressLine progress(progressWanted(CommandOutput::kWrittenAsItGoes));
    progress.follow(reader);
    // The objects are read again where they lie: a stream is copied aside first.
    std::unique_ptr<Spool> spool;
    ByteSource* source = reader.source();
    if (source == nullptr) {
        spool = withStreamLimitHint([&] { return spoolStream(reader, kStreamCopyLimit); });
        source = spool.get();
    }
    options.totalLimit = defaultCarveLimit(source->size());
    options.progress = [&progress](const ScanProgress& done) {
        progress.update(done.done, done.total);
    };
    options.warning = [&progress](const ScanWarning& warning) {
        progress.erase();
        writeLine(std::cerr, scanWarningLine(warning));
    };
    const auto onCarved = [&](const CarvedObject& carved) {
        if (!carved.renamedFrom.empty()) {
            writeLine(std::cout, {"Renamed ", carved.renamedFrom, " to ", carved.name, ": ",
                                  carved.renameReason});
        }
        if (carved.reason.empty()) {
            writeLine(std::cout, {carved.name, "  ", carved.description});
        } else {
            writeLine(std::cout, {"Skipped ", carved.name, ": ", carved.reason});
        }
    };
    Result<CarveSummary> summary = carveObjects(*source, folder, onCarved, options);
    progress.erase();
    if (!summary) {
        Failure failure = summary.failure();
        if (failure.path.empty()) {
            failure.path = reader.path();
        }
        throw ReadError(std::move(failure));
    }
    writeLine(std::cout,
              "Carved " + plural(summary->files, "file") + ", " + plural(summary->bytes, "byte") +
                  ", of " + plural(summary->objects, "object") + " found into " + folder +
                  (summary->skipped > 0 ? "; " + std::to_string(summary->skipped) + " skipped"
                                        : std::string()));
    return summary->objects > 0 ? 0 : 1;
}

}  // namespace tessaloom::cli
