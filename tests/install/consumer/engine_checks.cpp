// Loading, saving, the hex dump and the diff through the installed engine. Run in an empty folder.
#include <tessaloom/engine.h>

#include <string>
#include <vector>

#include "consumer_checks.h"

namespace {

void checkLoadAndSave() {
    check(tessaloom::saveFile("a.bin", kFileA), "saveFile writes a.bin");
    check(tessaloom::saveFile("b.bin", kFileB), "saveFile writes b.bin");
    check(tessaloom::loadFile("a.bin") == kFileA, "loadFile reads back what saveFile wrote");
    check(tessaloom::loadFile("missing.bin").empty(), "a missing file loads as empty");
}

void checkHexDump() {
    check(tessaloom::hexDump(std::string("a.bin"), 1, 2) ==
              "00000001  41 41                                             |AA              |\n",
          "hexDump of two bytes from offset 1");
}

void checkDiff() {
    const std::vector<tessaloom::DiffEntry> entries = tessaloom::diffFiles("a.bin", "b.bin", 100);
    check(entries.size() == 4, "diffFiles finds 4 differences");
    check(!entries.empty() && entries.front().offset == 1 && entries.front().byteA == 0x41 &&
              entries.front().byteB == 0x7A,
          "the first difference is 0x41 -> 0x7A at offset 1");
}

}  // namespace

int main() {
    checkLoadAndSave();
    checkHexDump();
    checkDiff();
    return checkResult("engine_checks");
}
