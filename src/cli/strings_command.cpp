#include <iostream>
#include <string>
#include <string_view>

#include "args.h"
#include "commands.h"
#include "console.h"
#include "engine/file_reader.h"
#include "engine/string_extract.h"
#include "progress_line.h"

namespace tessaloom::cli {

namespace {

constexpr std::uint64_t kDefaultMinLength = 4;
constexpr std::size_t kRecordsShown = 100;

void writeText(std::string_view text) {
    std::cout.write(text.data(), static_cast<std::streamsize>(text.size()));
}

// A run's text as it was kept, or read back from the file a chunk at a time: a run may be
// gigabytes long.
void writeRunText(const std::string& path, const ListedString& listed) {
    if (listed.text) {
        writeText(*listed.text);
        return;
    }
    readRange(path, listed.run.offset, listed.run.length, [](ByteView chunk) {
        writeText({reinterpret_cast<const char*>(chunk.data()), chunk.size()});
    });
}

}  // namespace

int runStrings(const Arguments& args) {
    const std::string& path = args[0];
    const std::uint64_t minLength =
        args.size() > 1 ? convertArgument(kMinLengthArgument, args[1]) : kDefaultMinLength;
    ProgressLine progress(progressWanted(CommandOutput::kReportWhenDone));
    const StringListing listing = listStrings(path, minLength, kRecordsShown, progress.callback());
    progress.erase();
    writeLine(std::cout, {"Extracted ", std::to_string(listing.count), " strings (min length ",
                          std::to_string(minLength), "):"});
    for (const ListedString& listed : listing.first) {
        writeText("0x" + lowerHex(listed.run.offset) + ": ");
        writeRunText(path, listed);
        writeLine(std::cout, "");
    }
    return 0;
}

}  // namespace tessaloom::cli
