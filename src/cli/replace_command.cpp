#include <iostream>
#include <string>

#include "commands.h"
#include "console.h"
#include "engine/file_reader.h"
#include "engine/search_replace.h"
#include "progress_line.h"

namespace tessaloom::cli {

int runReplace(const Arguments& args) {
    const std::string& input = args[0];
    const std::string& output = args[3];
    const ByteBuffer search = parseHexPattern(args[1]);
    const ByteBuffer replacement = parseHexPattern(args[2]);
    std::int64_t count = 0;
    FileReader reader(input);
    ProgressLine progress(progressWanted(CommandOutput::kReportWhenDone));
    progress.follow(reader);
    const bool replaced = searchAndReplace(reader, search, replacement, output, count);
    progress.erase();
    if (!replaced) {
        return failWith("Failed to search and replace.", 1);
    }
    writeLine(std::cout,
              "SUCCESS: Replaced " + std::to_string(count) + " pattern occurrences -> " + output);
    return 0;
}

}  // namespace tessaloom::cli
