// Pattern search: exactly the offsets at which the pattern occurs, overlapping ones included, in
// ascending order; none for an empty pattern. With wildcards (a mask per byte) too, and range by
// range backwards through a file read at any offset.
#include <algorithm>
#include <string>
#include <vector>

#include "engine/file_reader.h"
#include "engine/find.h"
#include "engine/patch.h"
#include "engine/search_replace.h"
#include "fuzz_support.h"
#include "support/in_memory.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using tessaloom::fuzz::check;
    tessaloom::fuzz::FuzzInput input(data, size);
    const std::uint8_t cut = input.byte();
    const std::uint8_t step = input.byte();
    const tessaloom::ByteView pattern = input.bytes(input.byte() % 5);
    const tessaloom::ByteView masks = input.bytes(pattern.size());
    const tessaloom::ByteView bytes = input.rest();
    const std::string path = tessaloom::fuzz::scratchPath("input");
    tessaloom::fuzz::writeFile(path, bytes);

    std::vector<std::uint64_t> expected;
    std::vector<std::uint64_t> expectedMasked;
    for (std::size_t p = 0; !pattern.empty() && p + pattern.size() <= bytes.size(); ++p) {
        bool exact = true;
        bool masked = masks.size() == pattern.size();
        for (std::size_t i = 0; i < pattern.size(); ++i) {
            exact = exact && bytes[p + i] == pattern[i];
            masked = masked && (bytes[p + i] & masks[i]) == (pattern[i] & masks[i]);
        }
        if (exact) {
            expected.push_back(p);
        }
        if (masked) {
            expectedMasked.push_back(p);
        }
    }
    check(tessaloom::findPatternOffsets(path, pattern) == expected,
          "every occurrence and only those, in order");
    tessaloom::FileReader reader(path, tessaloom::fuzz::chunkSizeFrom(cut));
    check(tessaloom::findPatternOffsets(reader, pattern) == expected,
          "read in chunks, occurrences across them included");
    if (masks.size() != pattern.size()) {
        return 0;
    }
    const tessaloom::BytePattern wildcards(pattern, masks);
    tessaloom::FileReader again(path, tessaloom::fuzz::chunkSizeFrom(cut));
    std::vector<std::uint64_t> found;
    tessaloom::WindowedScan scan(again, wildcards,
                                 tessaloom::PatternScanner::Occurrences::kOverlapping);
    while (scan.advance([&found](std::uint64_t offset, std::size_t) { found.push_back(offset); })) {
    }
    check(found == expectedMasked, "with wildcards, every occurrence and only those");
    tessaloom::ByteSource* source = again.source();
    if (source == nullptr) {
        return 0;
    }
    const std::uint64_t stride = step % 64 + 1;
    const auto lastIn = [&](std::uint64_t begin, std::uint64_t end) {
        auto found = tessaloom::findInRange(*source, wildcards, begin, end,
                                            tessaloom::SearchDirection::kBackward, stride);
        check(found.ok(), "a file that reads reads again at any offset");
        return *found;
    };
    std::vector<std::uint64_t> backwards;
    for (std::uint64_t to = bytes.size(); to > 0; to -= std::min(to, stride)) {
        const std::uint64_t begin = to - std::min(to, stride);
        for (auto last = lastIn(begin, to); last; last = lastIn(begin, *last)) {
            backwards.push_back(*last);
        }
    }
    std::reverse(backwards.begin(), backwards.end());
    check(backwards == expectedMasked, "found backwards range by range, the same occurrences");
    return 0;
}
