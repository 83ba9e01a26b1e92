// Search-and-replace: refused, with no output, for an empty input, an empty search pattern or
// patterns of different lengths; otherwise an output of the input's length in which exactly the
// leftmost non-overlapping occurrences are replaced, and their count.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>

#include "engine/file_reader.h"
#include "engine/search_replace.h"
#include "fuzz_support.h"

namespace {

struct Expected {
    tessaloom::ByteBuffer output;
    std::int64_t count = 0;
};

Expected replaceAll(tessaloom::ByteView input, tessaloom::ByteView search,
                    tessaloom::ByteView replacement) {
    Expected expected{{input.begin(), input.end()}, 0};
    std::size_t p = 0;
    while (p + search.size() <= input.size()) {
        if (std::equal(search.begin(), search.end(),
                       input.begin() + static_cast<std::ptrdiff_t>(p))) {
            std::copy(replacement.begin(), replacement.end(),
                      expected.output.begin() + static_cast<std::ptrdiff_t>(p));
            ++expected.count;
            p += search.size();
        } else {
            ++p;
        }
    }
    return expected;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using tessaloom::fuzz::check;
    tessaloom::fuzz::FuzzInput input(data, size);
    const std::uint8_t lengths = input.byte();
    const std::uint8_t cut = input.byte();
    const std::size_t searchLength = lengths % 5;
    const std::size_t replacementLength = searchLength + ((lengths & 0x80) ? 1 : 0);
    const tessaloom::ByteView search = input.bytes(searchLength);
    const tessaloom::ByteView replacement = input.bytes(replacementLength);
    const tessaloom::ByteView bytes = input.rest();
    const std::string in = tessaloom::fuzz::scratchPath("in");
    const std::string out = tessaloom::fuzz::scratchPath("out");
    tessaloom::fuzz::writeFile(in, bytes);
    std::remove(out.c_str());

    std::int64_t count = -1;
    const bool replaced = tessaloom::searchAndReplace(in, search, replacement, out, count);
    check(tessaloom::fuzz::readFile(in) == tessaloom::ByteBuffer(bytes.begin(), bytes.end()),
          "the input file is never changed");
    if (bytes.empty() || search.empty() || search.size() != replacement.size()) {
        check(!replaced, "refused input fails");
        check(!std::filesystem::exists(out), "a refused call makes no output file");
        return 0;
    }
    const Expected expected = replaceAll(bytes, search, replacement);
    check(replaced, "a valid call succeeds");
    const tessaloom::ByteBuffer output = tessaloom::fuzz::readFile(out);
    check(output.size() == bytes.size(), "replacement keeps the length");
    check(output == expected.output, "the leftmost non-overlapping occurrences are replaced");
    check(count == expected.count, "the count is the number of replacements");

    // Streamed through windows of any size, occurrences across them included.
    tessaloom::FileReader reader(in, tessaloom::fuzz::chunkSizeFrom(cut));
    std::int64_t chunkedCount = -1;
    check(tessaloom::searchAndReplace(reader, search, replacement, out, chunkedCount) &&
              chunkedCount == expected.count && tessaloom::fuzz::readFile(out) == expected.output,
          "read in chunks, the file gives the same output and count");
    return 0;
}
