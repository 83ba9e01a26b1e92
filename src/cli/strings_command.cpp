#include <iostream>
#include <string>
#include <string_view>

#include "args.h"
#include "commands.h"
#include "console.h"
#include "engine/file_reader.h"
#include "engine/string_extract.h"
#include "inputs.h"
#include "progress_line.h"

namespace tessaloom::cli {

namespace {

constexpr std::uint64_t kDefaultMinLength = 4;
constexpr std::size_t kRecordsShown = 100;

}  // namespace

int runStrings(const Arguments& args) {
    const std::uint64_t minLength =
        args.size() > 1 ? convertArgument(kMinLengthArgument, args[1]) : kDefaultMinLength;
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
