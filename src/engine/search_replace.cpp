#include "search_replace.h"

#include <optional>
#include <string>
#include <utility>

#include "file_reader.h"
#include "output_file.h"

namespace tessaloom {

namespace {

int hexDigitValue(char c) {
    const int value = conversionDigitValue(c);
    return value < 16 ? value : -1;
}

// The value strtol gives the two-character string pair in base 16: leading white space and one
// "+" are skipped, then digits are read up to the first other character, 0 when there is none. A
// "0x" prefix needs a digit after it, which two characters never leave room for, so it reads as
// the digit 0 and then stops, which is the same value. Hyphens never get here.
std::uint8_t pairValue(char first, char second) {
    const char pair[] = {first, second};
    std::size_t i = 0;
    while (i < 2 && isConversionSpace(pair[i])) {
        ++i;
    }
    if (i < 2 && pair[i] == '+') {
        ++i;
    }
    int value = 0;
    for (; i < 2 && hexDigitValue(pair[i]) >= 0; ++i) {
        value = value * 16 + hexDigitValue(pair[i]);
    }
    return static_cast<std::uint8_t>(value);
}

// A replacement overwrites an occurrence, so it must be exactly as long, and an empty pattern
// would occur everywhere.
bool usablePatterns(ByteView search, ByteView replacement) {
    return !search.empty() && replacement.size() == search.size();
}

// Copies the pattern over the first bytes of data. Patterns are short: a plain loop costs less
// than a memcpy call per occurrence.
void overwrite(std::span<std::uint8_t> data, ByteView pattern) {
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        data[i] = pattern[i];
    }
}

}  // namespace

ByteBuffer parseHexPattern(std::string_view text) {
    std::string kept;
    kept.reserve(text.size());
    for (const char c : text) {
        if (!isHexSeparator(c)) {
            kept.push_back(c);
        }
    }
    ByteBuffer pattern;
    pattern.reserve(kept.size() / 2);
    for (std::size_t i = 0; i + 1 < kept.size(); i += 2) {
        pattern.push_back(pairValue(kept[i], kept[i + 1]));
    }
    return pattern;
}

PatternScanner::PatternScanner(ByteView pattern, Occurrences occurrences)
    : PatternScanner(BytePattern(pattern), occurrences) {}

PatternScanner::PatternScanner(BytePattern pattern, Occurrences occurrences)
    : pattern_(std::move(pattern)), occurrences_(occurrences) {}

std::size_t PatternScanner::scan(ByteView window, const MatchCallback& onMatch) {
    const std::size_t length = pattern_.size();
    const std::size_t step = occurrences_ == Occurrences::kOverlapping ? 1 : length;
    // Each window begins where the next occurrence may begin.
    std::size_t from = 0;
    for (std::size_t at = pattern_.find(window, from); at != kNoMatch;
         at = pattern_.find(window, from)) {
        onMatch(windowStart_ + at, at);
        from = at + step;
    }
    // Every start up to the last one with room for the pattern has been tried; an occurrence can
    // only begin at one that was not, and not before the resume point. (An empty pattern, which
    // never occurs, leaves nothing held back.)
    const std::size_t tried = window.size() >= length ? window.size() - length + 1 : 0;
    const std::size_t done = std::min(window.size(), std::max(from, tried));
    windowStart_ += done;
    return done;
}

WindowedScan::WindowedScan(FileReader& reader, ByteView pattern,
                           PatternScanner::Occurrences occurrences)
    : reader_(reader), scanner_(pattern, occurrences) {}

WindowedScan::WindowedScan(FileReader& reader, BytePattern pattern,
                           PatternScanner::Occurrences occurrences)
    : reader_(reader), scanner_(std::move(pattern), occurrences) {}

bool WindowedScan::advance(const MatchCallback& onMatch) {
    reader_.consume(doneLength_);
    if (reader_.fill()) {
        doneLength_ = scanner_.scan(reader_.buffered(), onMatch);
        return true;
    }
    // At the end, the bytes held back can hold no occurrence: they are done too.
    doneLength_ = reader_.buffered().size();
    return doneLength_ > 0;
}

std::int64_t replaceAll(std::span<std::uint8_t> data, ByteView search, ByteView replacement) {
    if (!usablePatterns(search, replacement)) {
        return 0;
    }
    std::int64_t count = 0;
    PatternScanner scanner(search, PatternScanner::Occurrences::kLeftmostApart);
    scanner.scan(data, [&](std::uint64_t, std::size_t at) {
        overwrite(data.subspan(at), replacement);
        ++count;
    });
    return count;
}

bool searchAndReplace(const std::string& inputPath, ByteView search, ByteView replacement,
                      const std::string& outputPath, std::int64_t& count) {
    count = 0;
    // Patterns that cannot be used fail before the input is opened.
    if (!usablePatterns(search, replacement)) {
        return false;
    }
    FileReader reader(inputPath);
    return searchAndReplace(reader, search, replacement, outputPath, count);
}

namespace {

// The replacements of replaceInto, counted into count as they are made, also where the output
// then fails.
Result<void> replaceCounting(FileReader& reader, ByteView search, ByteView replacement,
                             const std::string& outputPath, std::int64_t& count) {
    count = 0;
    const auto failure = [](Failure::Kind kind, const std::string& path,
                            const std::optional<FileError>& error, std::string reason) {
        return Failure{kind, path, error ? error->reason : std::move(reason),
                       error ? error->code : 0, std::nullopt};
    };
    if (!usablePatterns(search, replacement)) {
        return failure(Failure::Kind::kInvalid, {}, std::nullopt,
                       search.empty() ? "The pattern is empty"
                                      : "The pattern and its replacement differ in length");
    }
    WindowedScan scan(reader, search, PatternScanner::Occurrences::kLeftmostApart);
    const MatchCallback replace = [&](std::uint64_t, std::size_t at) {
        overwrite(scan.window().subspan(at), replacement);
        ++count;
    };
    // The first window is read before the output is touched: an empty input leaves it alone.
    if (!scan.advance(replace)) {
        return reader.error() ? failure(Failure::Kind::kRead, reader.path(), reader.error(), {})
                              : failure(Failure::Kind::kInvalid, reader.path(), std::nullopt,
                                        "The input is empty");
    }
    OutputFile output(outputPath, {.finalSize = reader.size(), .source = &reader});
    do {
        if (!output.write(scan.done())) {
            return failure(Failure::Kind::kWrite, outputPath, output.error(), "not written");
        }
    } while (scan.advance(replace));
    // Where an open file cannot be replaced, the input may be the output.
    reader.close();
    if (!output.commit()) {
        return failure(Failure::Kind::kWrite, outputPath, output.error(), "not written");
    }
    return {};
}

}  // namespace

bool searchAndReplace(FileReader& reader, ByteView search, ByteView replacement,
                      const std::string& outputPath, std::int64_t& count) {
    return replaceCounting(reader, search, replacement, outputPath, count).ok();
}

Result<std::int64_t> replaceInto(FileReader& reader, ByteView search, ByteView replacement,
                                 const std::string& outputPath) {
    std::int64_t count = 0;
    Result<void> done = replaceCounting(reader, search, replacement, outputPath, count);
    if (!done) {
        return done.failure();
    }
    return count;
}

}  // namespace tessaloom
