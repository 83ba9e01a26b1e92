// String extraction: exactly the maximal runs of printable bytes of at least the minimum length,
// in file order, each with its offset and its bytes unchanged.
#include <string>
#include <vector>

#include "engine/file_reader.h"
#include "engine/string_extract.h"
#include "fuzz_support.h"
#include "support/in_memory.h"

namespace {

// Every maximal run of printable bytes of at least minLength (and at least one) bytes.
std::vector<tessaloom::FoundString> runsOf(tessaloom::ByteView bytes, std::uint64_t minLength) {
    std::vector<tessaloom::FoundString> runs;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= bytes.size(); ++i) {
        if (i < bytes.size() && tessaloom::isPrintableAscii(bytes[i])) {
            continue;
        }
        if (i > start && i - start >= minLength) {
            runs.push_back({start, std::string(bytes.begin() + static_cast<std::ptrdiff_t>(start),
                                               bytes.begin() + static_cast<std::ptrdiff_t>(i))});
        }
        start = i + 1;
    }
    return runs;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using tessaloom::fuzz::check;
    tessaloom::fuzz::FuzzInput input(data, size);
    const std::uint64_t minLength = input.byte() % 12;
    const std::uint8_t cut = input.byte();
    const tessaloom::ByteView bytes = input.rest();
    const std::string path = tessaloom::fuzz::scratchPath("input");
    tessaloom::fuzz::writeFile(path, bytes);

    const auto found = tessaloom::extractStrings(path, minLength);
    tessaloom::FileReader reader(path, tessaloom::fuzz::chunkSizeFrom(cut));
    check(tessaloom::extractStrings(reader, minLength) == found,
          "read in chunks, the file gives the same runs");
    std::vector<tessaloom::StringRun> pieced;
    tessaloom::StringScanner scanner(
        minLength, [&pieced](const tessaloom::StringRun& run) { pieced.push_back(run); });
    tessaloom::fuzz::forEachRandomPiece(
        bytes, cut, [&scanner](tessaloom::ByteView piece) { scanner.write(piece); });
    scanner.finish();
    check(pieced.size() == found.size(), "the data cut into pieces gives as many runs");
    for (std::size_t i = 0; i < found.size(); ++i) {
        check(pieced[i].offset == found[i].offset && pieced[i].length == found[i].text.size(),
              "the data cut into pieces gives the same runs");
    }
    // What a minimum of 0 makes of bytes that end no run is left open; only real runs count.
    std::vector<tessaloom::FoundString> runs;
    for (const auto& record : found) {
        check(minLength == 0 || !record.text.empty(), "no empty record above a minimum of 0");
        if (!record.text.empty()) {
            runs.push_back(record);
        }
    }
    const auto expected = runsOf(bytes, minLength);
    check(runs.size() == expected.size(), "every run of the minimum length, and no other");
    for (std::size_t i = 0; i < runs.size(); ++i) {
        check(runs[i].offset == expected[i].offset && runs[i].text == expected[i].text,
              "each run at its offset with its bytes");
    }
    return 0;
}
