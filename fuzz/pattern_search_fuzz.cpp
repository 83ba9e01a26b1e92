// Pattern search: exactly the offsets at which the pattern occurs, overlapping ones included, in
// ascending order; none for an empty pattern.
#include <algorithm>
#include <string>
#include <vector>

#include "engine/file_reader.h"
#include "engine/patch.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using tessaloom::fuzz::check;
    tessaloom::fuzz::FuzzInput input(data, size);
    const std::uint8_t cut = input.byte();
    const tessaloom::ByteView pattern = input.bytes(input.byte() % 5);
    const tessaloom::ByteView bytes = input.rest();
    const std::string path = tessaloom::fuzz::scratchPath("input");
    tessaloom::fuzz::writeFile(path, bytes);

    std::vector<std::uint64_t> expected;
    for (std::size_t p = 0; !pattern.empty() && p + pattern.size() <= bytes.size(); ++p) {
        if (std::equal(pattern.begin(), pattern.end(),
                       bytes.begin() + static_cast<std::ptrdiff_t>(p))) {
            expected.push_back(p);
        }
    }
    check(tessaloom::findPatternOffsets(path, pattern) == expected,
          "every occurrence and only those, in order");
    tessaloom::FileReader reader(path, tessaloom::fuzz::chunkSizeFrom(cut));
    check(tessaloom::findPatternOffsets(reader, pattern) == expected,
          "read in chunks, occurrences across them included");
    return 0;
}
