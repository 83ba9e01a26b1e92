#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "args.h"
#include "commands.h"
#include "console.h"
#include "engine/file_reader.h"
#include "engine/string_extract.h"
#include "inputs.h"
#include "json.h"
#include "progress_line.h"

namespace tessaloom::cli {

namespace {

constexpr std::uint64_t kDefaultMinLength = 4;
constexpr std::size_t kRecordsShown = 100;

// The options after FILE and MIN_LEN that list every string, in the encodings asked for.
struct ListingOptions {
    bool given = false;
    bool json = false;
    EncodingSet encodings;
};

struct EncodingChoice {
    std::string_view name;
    EncodingSet set;
};
constexpr EncodingChoice kEncodingChoices[] = {
    {"ascii", {true, false, false}},
    {"utf16le", {false, true, false}},
    {"utf16be", {false, false, true}},
    {"all", {true, true, true}},
};

// The options from args[from] on. Words that are none of them are ignored, as arguments after
// MIN_LEN always were.
ListingOptions readListingOptions(const Arguments& args, std::size_t from) {
    ListingOptions options;
    for (std::size_t i = from; i < args.size(); ++i) {
        if (args[i] == "--all") {
            options.given = true;
        } else if (args[i] == "--json") {
            options.given = options.json = true;
        } else if (args[i] == "--encoding") {
            const std::string value = i + 1 < args.size() ? args[++i] : std::string();
            const auto choice = std::ranges::find(kEncodingChoices, value, &EncodingChoice::name);
            if (choice == std::end(kEncodingChoices)) {
                throw ArgumentError("Invalid --encoding argument \"" + value + "\"");
            }
            options.given = true;
            options.encodings = choice->set;
        }
    }
    return options;
}

// Every string, in order of offset: "0x1a2b  utf16le  text" or one JSON object a line. A stream
// is copied aside first, so that each text is read back where it lies.
int listEveryString(FileReader& reader, std::uint64_t minLength, const ListingOptions& options) {
    std::unique_ptr<Spool> spool;
    ByteSource* source = reader.source();
    if (source == nullptr) {
        spool = spoolStream(reader, kStreamCopyLimit);
        source = spool.get();
    }
    CachedSource cached(*source);
    std::string line;
    const auto flush = [&line](bool always) {
        if (always || line.size() >= (64 << 10)) {
            writeRaw(line);
            line.clear();
        }
    };
    EncodedStringScanner scanner(minLength, options.encodings, [&](const EncodedRun& run) {
        std::string text;
        const Result<void> read =
            writeRunText(cached, run, [&text](std::string_view piece) { text += piece; });
        if (!read) {
            Failure failure = read.failure();
            failure.path = reader.path();
            throw ReadError(std::move(failure));
        }
        const std::string_view encoding = encodingName(run.encoding);
        if (options.json) {
            line += "{\"offset\": " + std::to_string(run.offset) + ", \"encoding\": \"" +
                    std::string(encoding) + "\", \"text\": " + jsonString(text) + "}\n";
        } else {
            line += "0x" + lowerHex(run.offset) + "  " + std::string(encoding) +
                    std::string(8 - encoding.size(), ' ') + text + "\n";
        }
        flush(false);
    });
    ByteBuffer chunk(static_cast<std::size_t>(kDefaultChunkSize));
    for (std::uint64_t at = 0; at < source->size();) {
        const auto length =
            static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), source->size() - at));
        const std::span<std::uint8_t> into = std::span(chunk).first(length);
        Result<std::size_t> got = source->readAt(at, into);
        if (!got || *got == 0) {
            Failure failure;
            if (got) {
                failure.kind = Failure::Kind::kChanged;
                failure.reason = "The file got shorter";
            } else {
                failure = got.failure();
            }
            failure.path = reader.path();
            throw ReadError(std::move(failure));
        }
        scanner.write(ByteView(into).first(*got));
        at += *got;
    }
    scanner.finish();
    flush(true);
    return 0;
}

}  // namespace

int runStrings(const Arguments& args) {
    const bool minLengthGiven = args.size() > 1 && !args[1].starts_with("--");
    const std::uint64_t minLength =
        minLengthGiven ? convertArgument(kMinLengthArgument, args[1]) : kDefaultMinLength;
    const ListingOptions options = readListingOptions(args, minLengthGiven ? 2 : 1);
    if (options.given) {
        FileReader reader(args[0]);
        requireReadable(reader);
        return listEveryString(reader, minLength, options);
    }
    if (args.size() > 1 && !minLengthGiven) {
        // As always: a MIN_LEN that is no number.
        convertArgument(kMinLengthArgument, args[1]);
    }
    FileReader reader(args[0]);
    requireReadable(reader);
    ProgressLine progress(progressWanted(CommandOutput::kReportWhenDone));
    progress.follow(reader);
    const StringListing listing = listStrings(reader, minLength, kRecordsShown);
    progress.erase();
    requireReadable(reader);
    writeLine(std::cout, {"Extracted ", std::to_string(listing.count()), " strings (min length ",
                          std::to_string(minLength), "):"});
    for (std::size_t i = 0; i < listing.runs().size(); ++i) {
        writeRaw("0x" + lowerHex(listing.runs()[i].offset) + ": ");
        // A run's text may be gigabytes long: it goes out a piece at a time.
        listing.writeText(i, writeRaw);
        writeLine(std::cout, "");
    }
    return 0;
}

}  // namespace tessaloom::cli
