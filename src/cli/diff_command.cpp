#include <algorithm>
#include <iostream>
#include <span>
#include <string>

#include "commands.h"
#include "console.h"
#include "engine/diff.h"

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
    // are still loading.
    writeLine(std::cout, {"Comparing ", pathA, " and ", pathB, "..."});
    const std::vector<DiffEntry> entries = diffFiles(pathA, pathB, kDiffLimit);
    // The count line carries a newline of its own, so an empty line follows it.
    writeLine(std::cout, {"Found ", std::to_string(entries.size()), " byte differences:\n"});
    const std::size_t shown = std::min(entries.size(), kEntriesShown);
    for (const DiffEntry& entry : std::span(entries).first(shown)) {
        writeEntry(entry);
    }
    if (entries.size() > kEntriesShown) {
        writeLine(std::cout, {"  ... (and ", std::to_string(entries.size() - kEntriesShown),
                              " more differences)"});
    }
    return 0;
}

}  // namespace tessaloom::cli
