// Pattern search and patch application through the installed engine. Run in an empty folder.
#include <tessaloom/engine.h>

#include <cstdint>
#include <vector>

#include "consumer_checks.h"

namespace {

void checkPatternSearch() {
    check(tessaloom::findPatternOffsets("a.bin", tessaloom::parseHexPattern("41 41")) ==
              std::vector<std::uint64_t>{0, 1, 4},
          "findPatternOffsets lists overlapping occurrences");
}

// The diff of A against B, applied to A as a patch list, reproduces B.
void checkDiffThenPatch() {
    const std::vector<tessaloom::DiffEntry> patches = tessaloom::diffFiles("a.bin", "b.bin", 100);
    check(tessaloom::applyPatches("a.bin", patches, "patched.bin"), "applyPatches writes");
    check(tessaloom::loadFile("patched.bin") == kFileB, "patching A with the diff gives B");
}

}  // namespace

int main() {
    check(tessaloom::saveFile("a.bin", kFileA) && tessaloom::saveFile("b.bin", kFileB),
          "saveFile writes a.bin and b.bin");
    checkPatternSearch();
    checkDiffThenPatch();
    return checkResult("patch_checks");
}
