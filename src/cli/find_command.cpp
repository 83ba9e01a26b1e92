#include <array>
#include <iostream>
#include <string>
#include <string_view>

#include "args.h"
#include "commands.h"
#include "console.h"
#include "engine/file_reader.h"
#include "engine/find.h"
#include "engine/hex_text.h"
#include "engine/search_replace.h"
#include "inputs.h"
#include "json.h"
#include "platform/command_text.h"
#include "progress_line.h"

namespace tessaloom::cli {

namespace {

// Lines are gathered into blocks of this size before they are written.
constexpr std::size_t kBlockSize = 64 * 1024;

// The two lower-case hex digits of every byte value and a space, made once.
const std::array<std::array<char, 3>, 256>& hexPairs() {
    static const auto pairs = [] {
        std::array<std::array<char, 3>, 256> table{};
        for (std::size_t value = 0; value < table.size(); ++value) {
            table[value] = {kLowerHexDigits[value >> 4], kLowerHexDigits[value & 0xF], ' '};
        }
        return table;
    }();
    return pairs;
}

// The pattern a command line asks for: PATTERN, --text TEXT or --utf16 TEXT, then --json or not.
struct FindRequest {
    BytePattern pattern;
    bool json = false;
};

FindRequest readRequest(const Arguments& args) {
    FindRequest request;
    std::size_t next = 2;
    const std::string& first = args[1];
    if (first == "--text" || first == "--utf16") {
        if (args.size() < 3) {
            throw UsageError();
        }
        const std::string& text = args[2];
        const std::optional<BytePattern> pattern =
            first == "--text" ? (text.empty() ? std::nullopt : std::optional(textPattern(text)))
                              : utf16TextPattern(text);
        if (!pattern) {
            throw ArgumentError("Invalid TEXT argument \"" + text + "\"");
        }
        request.pattern = *pattern;
        next = 3;
    } else if (std::optional<BytePattern> pattern = parseFindPattern(first)) {
        request.pattern = std::move(*pattern);
    } else {
        throw ArgumentError("Invalid PATTERN argument \"" + first + "\"");
    }
    for (; next < args.size(); ++next) {
        if (args[next] != "--json" || request.json) {
            throw UsageError();
        }
        request.json = true;
    }
    return request;
}

// Writes the occurrences as they are found, in blocks: a line per occurrence, or the JSON
// document, whose count comes last.
class FoundWriter {
  public:
    FoundWriter(const FindRequest& request, const std::string& path)
        : request_(request), path_(path) {}

    void add(std::uint64_t offset, ByteView bytes) {
        if (request_.json) {
            start();
            block_ += count_ == 0 ? "\n    " : ",\n    ";
            block_ += std::to_string(offset);
        } else {
            block_ += "0x";
            block_ += lowerHex(offset);
            block_ += ": ";
            for (const std::uint8_t byte : bytes) {
                block_.append(hexPairs()[byte].data(), 3);
            }
            block_.back() = '\n';
        }
        ++count_;
        if (block_.size() >= kBlockSize) {
            flush();
        }
    }

    void flush() {
        if (!block_.empty()) {
            writeText(std::cout, block_);
            std::cout.flush();
            block_.clear();
        }
    }

    void finish() {
        if (request_.json) {
            start();
            block_ += count_ == 0 ? "]" : "\n  ]";
            block_ += ",\n  \"count\": " + std::to_string(count_) + "\n}\n";
        }
        flush();
    }

    std::uint64_t count() const { return count_; }

  private:
    void start() {
        if (!started_) {
            started_ = true;
            block_ += "{\n  \"path\": " + jsonString(path_) +
                      ",\n  \"pattern\": " + jsonString(request_.pattern.text()) +
                      ",\n  \"offsets\": [";
        }
    }

    const FindRequest& request_;
    const std::string& path_;
    std::string block_;
    std::uint64_t count_ = 0;
    bool started_ = false;
};

}  // namespace

int runFind(const Arguments& args) {
    const FindRequest request = readRequest(args);
    FileReader reader(args[0]);
    requireReadable(reader);
    ProgressLine progress(progressWanted(CommandOutput::kWrittenAsItGoes));
    progress.follow(reader);
    FoundWriter writer(request, args[0]);
    const std::size_t length = request.pattern.size();
    WindowedScan scan(reader, request.pattern, PatternScanner::Occurrences::kOverlapping);
    const MatchCallback onMatch = [&](std::uint64_t offset, std::size_t at) {
        writer.add(offset, scan.window().subspan(at, length));
    };
    // Each window's occurrences go out before the next is read, so that those of a slow stream
    // or a huge file show while the search goes on.
    while (scan.advance(onMatch)) {
        writer.flush();
    }
    progress.erase();
    requireReadable(reader);
    writer.finish();
    return writer.count() > 0 ? 0 : 1;
}

}  // namespace tessaloom::cli
