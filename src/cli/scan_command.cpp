#include <cstdint>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "args.h"
#include "commands.h"
#include "console.h"
#include "engine/file_reader.h"
#include "engine/scan.h"
#include "inputs.h"
#include "json.h"
#include "progress_line.h"
#include "scan_report.h"

namespace tessaloom::cli {

namespace {

std::string padded(std::string text, std::size_t width) {
    if (text.size() < width) {
        text.append(width - text.size(), ' ');
    }
    return text;
}

// The column widths of the text report.
constexpr std::size_t kOffsetColumn = 12;
constexpr std::size_t kSizeColumn = 13;
constexpr std::size_t kFormatColumn = 13;

std::string textLine(const ScanHit& hit) {
    std::string line = hit.path.empty() ? std::string() : scanPathText(hit.path) + " > ";
    line += padded(paddedHex(hit.offset), kOffsetColumn);
    line += padded(std::string(hit.sizeExact ? "" : "~").append(paddedHex(hit.size)), kSizeColumn);
    line += padded(hit.format, kFormatColumn);
    line += hit.description;
    return line;
}

std::string summaryLine(std::uint64_t objects, std::uint64_t scanned) {
    const std::string found = objects == 0   ? std::string("No object found")
                              : objects == 1 ? std::string("1 object found")
                                             : std::to_string(objects) + " objects found";
    return found + " in " + std::to_string(scanned) + (scanned == 1 ? " byte" : " bytes");
}

}  // namespace

int runScan(const Arguments& args) {
    ScanOptions options;
    const ScanArguments read = readScanOptions(args, options.streamLimit);
    const bool json = read.json;
    options.deep = read.deep;
    if (read.deepLimit) {
        options.deepLimits = deepLimitsFor(*read.deepLimit);
    }
    FileReader reader(args[0]);
    requireReadable(reader);
    ProgressLine progress(progressWanted(CommandOutput::kWrittenAsItGoes));
    progress.follow(reader);
    options.progress = [&progress](const ScanProgress& done) {
        progress.update(done.done, done.total);
    };
    options.warning = [&progress](const ScanWarning& warning) {
        progress.erase();
        writeLine(std::cerr, scanWarningLine(warning));
    };
    bool headed = false;
    const ScanHitCallback onHit = [&](const ScanHit& hit) {
        if (json) {
            writeLine(std::cout, scanHitJson(hit));
            return;
        }
        if (!headed) {
            headed = true;
            writeLine(std::cout, padded("OFFSET", kOffsetColumn) + padded("SIZE", kSizeColumn) +
                                     padded("FORMAT", kFormatColumn) + "DESCRIPTION");
        }
        writeLine(std::cout, textLine(hit));
    };
    const Result<ScanSummary> summary =
        withStreamLimitHint([&] { return scanObjects(reader, onHit, options); });
    progress.erase();
    if (!summary) {
        throw ReadError(summary.failure());
    }
    if (!json) {
        writeLine(std::cout, summaryLine(summary->objects, summary->scanned));
    }
    return summary->objects > 0 ? 0 : 1;
}

}  // namespace tessaloom::cli
