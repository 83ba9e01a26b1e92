#include <iostream>
#include <string>
#include <vector>

#include "args.h"
#include "commands.h"
#include "console.h"
#include "engine/file_io.h"
#include "engine/string_extract.h"

namespace tessaloom::cli {

namespace {

constexpr std::uint64_t kDefaultMinLength = 4;
constexpr std::size_t kRecordsShown = 100;

// A run as the report needs it: its text stays a view into the loaded file, so files with
// millions of runs need no memory beyond the file and the runs that are shown.
struct ShownRun {
    std::uint64_t offset;
    std::string_view text;
};

}  // namespace

int runStrings(const Arguments& args) {
    const std::uint64_t minLength =
        args.size() > 1 ? convertArgument(kMinLengthArgument, args[1]) : kDefaultMinLength;
    const ByteBuffer data = loadFile(args[0]);
    std::uint64_t count = 0;
    std::vector<ShownRun> shown;
    scanStrings(data, minLength, [&](std::uint64_t offset, std::string_view text) {
        ++count;
        if (shown.size() < kRecordsShown) {
            shown.push_back({offset, text});
        }
    });
    writeLine(std::cout, {"Extracted ", std::to_string(count), " strings (min length ",
                          std::to_string(minLength), "):"});
    for (const ShownRun& run : shown) {
        writeLine(std::cout, {"0x", lowerHex(run.offset), ": ", run.text});
    }
    return 0;
}

}  // namespace tessaloom::cli
