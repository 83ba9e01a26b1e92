#include <iostream>
#include <string>
#include <vector>

#include "commands.h"
#include "console.h"
#include "engine/diff.h"
#include "progress_line.h"

namespace tessaloom::cli {

namespace {

constexpr std::uint64_t kDiffLimit = 100000;
constexpr std::size_t kEntriesShown = 50;

void writeEntry(const DiffEntry& entry) {
    writeLine(std::cout, {"  Offset 0x", lowerHex(entry.offset), ": 0x", lowerHex(entry.byteA),
                          " -> 0x", lowerHex(entry.byteB)});
}

}  // namespace

int runDiff(const Arguments& args) {
    const std::string& pathA = args[0];
    const std::string& pathB = args[1];
    // Written and flushed first, so that the user sees what is being compared while large files
    // are still being read.
    writeLine(std::cout, {"Comparing ", pathA, " and ", pathB, "..."});
    std::uint64_t count = 0;
    std::vector<DiffEntry> shown;
    ProgressLine progress(progressWanted(CommandOutput::kReportWhenDone));
    diffFiles(
        pathA, pathB, kDiffLimit,
        [&](const DiffEntry& entry) {
            ++count;
            if (shown.size() < kEntriesShown) {
                shown.push_back(entry);
            }
        },
        progress.callback());
    progress.erase();
    // The count line carries a newline of its own, so an empty line follows it.
    writeLine(std::cout, {"Found ", std::to_string(count), " byte differences:\n"});
    for (const DiffEntry& entry : shown) {
        writeEntry(entry);
    }
    if (count > kEntriesShown) {
        writeLine(std::cout,
                  {"  ... (and ", std::to_string(count - kEntriesShown), " more differences)"});
    }
    return 0;
}

}  // namespace tessaloom::cli
