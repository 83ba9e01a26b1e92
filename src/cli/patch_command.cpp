#include <cerrno>
#include <cstdio>
#include <iostream>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <system_error>

#include "commands.h"
#include "console.h"
#include "engine/file_reader.h"
#include "engine/output_file.h"
#include "engine/patch.h"
#include "engine/patch_list.h"
#include "engine/xxh64.h"
#include "inputs.h"
#include "progress_line.h"

namespace tessaloom::cli {

namespace {

// The process's standard input, which PATCHES names as "-".
class StandardInput : public InputStream {
  public:
    ReadResult read(std::span<std::uint8_t> into) override {
        const std::size_t count = std::fread(into.data(), 1, into.size(), stdin);
        if (count == 0 && std::ferror(stdin)) {
            const int code = errno;
            return {0, FileError{code, std::generic_category().message(code)}};
        }
        return {count, std::nullopt};
    }
};

std::unique_ptr<FileReader> openPatches(const std::string& path) {
    if (path == "-") {
        return std::make_unique<FileReader>(path, std::make_unique<StandardInput>());
    }
    return std::make_unique<FileReader>(path);
}

int failOnLine(std::uint64_t line, const std::string& what) {
    return failWith(
        std::string("PATCHES line ").append(std::to_string(line)).append(": ").append(what));
}

int mismatched(const PatchMismatch& mismatch) {
    return failOnLine(mismatch.line, "IN holds 0x" + lowerHex(mismatch.found) + " at 0x" +
                                         lowerHex(mismatch.offset) + " where OLD says 0x" +
                                         lowerHex(mismatch.expected));
}

int cannotWrite(const OutputFile& output) {
    return failWith(failureText(output.failure()));
}

// A delta report rebuilds B from the A it names: IN must be that A, by size and checksum, before
// anything is written. A stream is copied aside first, since the report takes A's bytes in B's
// order.
int applyDeltaReport(const std::string& input, const DeltaPlan& plan,
                     const std::string& outputPath) {
    FileReader reader(input);
    requireReadable(reader);
    std::unique_ptr<Spool> spool;
    ByteSource* source = reader.source();
    if (source == nullptr) {
        spool = spoolStream(reader, kStreamCopyLimit);
        source = spool.get();
    }
    if (source->size() != plan.sizeA) {
        return failOnLine(1, "IN has " + std::to_string(source->size()) +
                                 " bytes where the report's A has " + std::to_string(plan.sizeA));
    }
    ProgressLine progress(progressWanted(CommandOutput::kReportWhenDone));
    const Result<std::uint64_t> checksum = checksumOf(
        *source, [&progress](const ScanProgress& done) { progress.update(done.done, done.total); });
    progress.erase();
    if (!checksum) {
        throw ReadError(checksum.failure());
    }
    if (*checksum != plan.checksumA) {
        return failOnLine(1, "IN is not the report's A: its XXH64 is " + checksumText(*checksum) +
                                 ", not " + checksumText(plan.checksumA));
    }
    OutputFile output(outputPath, {.finalSize = plan.sizeB, .source = &reader});
    if (output.error()) {
        return cannotWrite(output);
    }
    if (Result<void> applied = applyDelta(*source, plan, output); !applied) {
        if (applied.failure().kind == Failure::Kind::kWrite) {
            return cannotWrite(output);
        }
        throw ReadError(applied.failure());
    }
    reader.close();
    if (!output.commit()) {
        return cannotWrite(output);
    }
    writeLine(std::cout,
              {"SUCCESS: Applied ", std::to_string(plan.hunks), " changes -> ", outputPath});
    return 0;
}

}  // namespace

int runPatch(const Arguments& args) {
    if (args.size() > 3) {
        throw UsageError();
    }
    const std::string& input = args[0];
    const std::string& outputPath = args[2];
    const std::unique_ptr<FileReader> patches = openPatches(args[1]);
    requireReadable(*patches);
    // The list is held whole, a few words a line: past the memory there is, the message says
    // which input did not fit.
    std::optional<PatchList> read;
    try {
        read = readPatchList(*patches);
    } catch (const std::bad_alloc&) {
        return failWith("Not enough memory to hold the patch list " + args[1]);
    }
    const PatchList& list = *read;
    requireReadable(*patches);
    if (list.error) {
        return failOnLine(list.error->line, list.error->what);
    }
    if (list.delta) {
        return applyDeltaReport(input, *list.delta, outputPath);
    }

    FileReader reader(input);
    requireReadable(reader);
    ProgressLine progress(progressWanted(CommandOutput::kReportWhenDone));
    progress.follow(reader);
    // A seekable input is checked whole before the output is opened; a stream can only be
    // checked as it is copied, into an output that is dropped unless every OLD matched.
    if (reader.seekable()) {
        if (const std::optional<PatchMismatch> mismatch = checkOldBytes(reader, list)) {
            return mismatched(*mismatch);
        }
    }
    const PatchPlan plan(list);
    const std::optional<std::uint64_t> finalSize =
        reader.size() ? std::optional(plan.patchedLength(*reader.size(),
                                                         std::numeric_limits<std::int64_t>::max()))
                      : std::nullopt;
    OutputFile output(outputPath, {.finalSize = finalSize, .source = &reader});
    if (output.error()) {
        return cannotWrite(output);
    }
    OldBytesCheck check(list);
    InputInspector inspect;
    if (!reader.seekable()) {
        inspect = [&check](ByteView bytes, std::uint64_t position) {
            return check.check(bytes, position);
        };
    }
    const bool copied = applyPatches(reader, plan, output, inspect);
    progress.erase();
    if (check.mismatch() || (inspect && copied && !check.finish())) {
        return mismatched(*check.mismatch());
    }
    requireReadable(reader);
    if (!copied || !output.commit()) {
        return cannotWrite(output);
    }
    writeLine(std::cout,
              {"SUCCESS: Applied ", std::to_string(list.lines.size()), " changes -> ", outputPath});
    return 0;
}

}  // namespace tessaloom::cli
