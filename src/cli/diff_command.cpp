#include <iostream>
#include <string>
#include <vector>

#include "commands.h"
#include "console.h"
#include "engine/diff.h"
#include "engine/file_reader.h"
#include "inputs.h"
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
    FileReader readerA(pathA);
    FileReader readerB(pathB);
    ProgressLine progress(progressWanted(CommandOutput::kReportWhenDone));
    progress.follow(readerA, readerB);
    // Both inputs must be readable before anything is said about them.
    readerA.fill();
    readerB.fill();
    requireReadable(readerA);
    requireReadable(readerB);
    // Written and flushed before the rest is read, so that the user sees what is being compared
    // while large files are still being read.
    writeLine(std::cout, {"Comparing ", pathA, " and ", pathB, "..."});
    std::uint64_t count = 0;
    std::vector<DiffEntry> shown;
    diffFiles(readerA, readerB, kDiffLimit, [&](const DiffEntry& entry) {
        ++count;
        if (shown.size() < kEntriesShown) {
            shown.push_back(entry);
        }
    });
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
