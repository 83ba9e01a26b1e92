#include <cstdint>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include "args.h"
#include "commands.h"
#include "console.h"
#include "engine/delta.h"
#include "engine/file_reader.h"
#include "engine/hex_text.h"
#include "engine/patch_list.h"
#include "engine/xxh64.h"
#include "inputs.h"
#include "json.h"
#include "progress_line.h"

namespace tessaloom::cli {

namespace {

// Where an input's bytes are read at any offset: where it lies, or copied aside from a stream.
class Opened {
  public:
    Opened(FileReader& reader, std::uint64_t streamLimit) : source_(reader.source()) {
        if (source_ == nullptr) {
            spool_ = withStreamLimitHint([&] { return spoolStream(reader, streamLimit); });
            source_ = spool_.get();
        }
    }
    ByteSource& source() { return *source_; }

  private:
    std::unique_ptr<Spool> spool_;
    ByteSource* source_;
};

ByteBuffer bytesAt(ByteSource& source, std::uint64_t offset, std::uint64_t length) {
    ByteBuffer bytes(static_cast<std::size_t>(length));
    if (Result<void> read = readExactly(source, offset, bytes); !read) {
        throw ReadError(read.failure());
    }
    return bytes;
}

std::string hexText(ByteView bytes) {
    std::string text;
    for (const std::uint8_t byte : bytes) {
        appendHexByte(text, byte);
    }
    return text;
}

constexpr std::string_view kOpNames[] = {"equal", "changed", "inserted", "deleted", "moved"};

class Report {
  public:
    Report(ByteSource& a, ByteSource& b, bool json) : a_(a), b_(b), json_(json) {}

    void hunk(const DeltaHunk& hunk) {
        const bool carries =
            hunk.op == DeltaHunk::Op::kChanged || hunk.op == DeltaHunk::Op::kInserted;
        if (json_) {
            std::string line = "{\"op\": \"" + std::string(kOpNames[static_cast<int>(hunk.op)]) +
                               "\", \"a_offset\": " + jsonCount(hunk.aOffset) +
                               ", \"b_offset\": " + jsonCount(hunk.bOffset) +
                               ", \"length\": " + jsonCount(hunk.length);
            if (hunk.op == DeltaHunk::Op::kChanged && hunk.length < kJsonBytes) {
                line += ", \"a_bytes\": \"" + hexText(bytesAt(a_, hunk.aOffset, hunk.length)) +
                        "\", \"b_bytes\": \"" + hexText(bytesAt(b_, hunk.bOffset, hunk.length)) +
                        "\"";
            }
            writeLine(std::cout, line + "}");
            return;
        }
        if (!carries || hunk.length <= kDeltaInlineBytes) {
            const ByteBuffer old = hunk.op == DeltaHunk::Op::kChanged
                                       ? bytesAt(a_, hunk.aOffset, hunk.length)
                                       : ByteBuffer();
            const ByteBuffer now = carries ? bytesAt(b_, hunk.bOffset, hunk.length) : ByteBuffer();
            writeLine(std::cout, deltaHunkLine(hunk, old, now));
            return;
        }
        writeLine(std::cout, deltaHunkLine(hunk, {}, {}));
        constexpr std::uint64_t kPiece = kDeltaLineBytes * 2048;
        for (std::uint64_t done = 0; done < hunk.length;) {
            const std::uint64_t n = std::min(kPiece, hunk.length - done);
            const ByteBuffer piece = bytesAt(b_, hunk.bOffset + done, n);
            // The lines of a piece go out together: a flush a line would cost more than the rest.
            std::string lines;
            for (std::size_t at = 0; at < piece.size(); at += kDeltaLineBytes) {
                lines += deltaDataLine(
                    ByteView(piece).subspan(at, std::min(kDeltaLineBytes, piece.size() - at)));
                lines += '\n';
            }
            writeText(std::cout, lines);
            done += n;
        }
    }

  private:
    // A changed hunk shorter than this shows its bytes in the JSON report.
    static constexpr std::uint64_t kJsonBytes = 64;

    ByteSource& a_;
    ByteSource& b_;
    bool json_;
};

// The share of B that equal and moved hunks explain, in percent, rounded down so that only all of
// B shows as 100.
std::string explainedText(const DeltaSummary& summary) {
    const std::uint64_t explained = summary.equal + summary.moved;
    if (summary.sizeB == 0 || explained >= summary.sizeB) {
        return "100";
    }
    const auto hundredths = static_cast<std::uint64_t>(static_cast<long double>(explained) * 10000 /
                                                       static_cast<long double>(summary.sizeB));
    std::string fraction = std::to_string(hundredths % 100);
    return std::to_string(hundredths / 100) + "." + (fraction.size() < 2 ? "0" : "") + fraction;
}

}  // namespace

int runDelta(const Arguments& args) {
    bool json = false;
    std::uint64_t streamLimit = kStreamCopyLimit;
    bool limited = false;
    for (std::size_t i = 2; i < args.size(); ++i) {
        if (args[i] == "--json" && !json) {
            json = true;
        } else if (args[i] == "--stream-limit" && !limited && i + 1 < args.size()) {
            const std::optional<std::uint64_t> limit = parseSize(args[++i]);
            if (!limit || *limit == 0) {
                throw UsageError();
            }
            streamLimit = *limit;
            limited = true;
        } else {
            throw UsageError();
        }
    }
    FileReader readerA(args[0]);
    requireReadable(readerA);
    FileReader readerB(args[1]);
    requireReadable(readerB);
    Opened a(readerA, streamLimit);
    Opened b(readerB, streamLimit);
    ProgressLine progress(progressWanted(CommandOutput::kWrittenAsItGoes));
    const auto tell = [&progress](const ScanProgress& done) {
        progress.update(done.done, done.total);
    };
    const Result<std::uint64_t> checksum = checksumOf(a.source(), tell);
    if (!checksum) {
        throw ReadError(checksum.failure());
    }
    if (!json) {
        writeLine(std::cout, deltaHeadLine('A', args[0], a.source().size(), *checksum));
        writeLine(std::cout, deltaHeadLine('B', args[1], b.source().size(), std::nullopt));
    }
    Report report(a.source(), b.source(), json);
    DeltaOptions options;
    options.progress = tell;
    const Result<DeltaSummary> summary = alignFiles(
        a.source(), b.source(),
        [&](const DeltaHunk& hunk) {
            progress.erase();
            report.hunk(hunk);
        },
        options);
    progress.erase();
    if (!summary) {
        throw ReadError(summary.failure());
    }
    const DeltaSummary& s = *summary;
    if (json) {
        writeLine(std::cout, "{\"summary\": {\"equal\": " + jsonCount(s.equal) + ", \"changed\": " +
                                 jsonCount(s.changed) + ", \"inserted\": " + jsonCount(s.inserted) +
                                 ", \"deleted\": " + jsonCount(s.deleted) + ", \"moved\": " +
                                 jsonCount(s.moved) + ", \"size_a\": " + jsonCount(s.sizeA) +
                                 ", \"size_b\": " + jsonCount(s.sizeB) + ", \"xxh64_a\": \"" +
                                 checksumText(*checksum) +
                                 "\", \"explained_percent\": " + explainedText(s) + "}}");
    } else {
        writeLine(std::cout, "Summary: " + std::to_string(s.equal) + " bytes equal, " +
                                 std::to_string(s.changed) + " changed, " +
                                 std::to_string(s.inserted) + " inserted, " +
                                 std::to_string(s.deleted) + " deleted, " +
                                 std::to_string(s.moved) + " moved; A explains " +
                                 explainedText(s) + "% of B");
    }
    const bool identical = s.sizeA == s.sizeB && s.equal == s.sizeB;
    return identical ? 0 : 1;
}

}  // namespace tessaloom::cli
