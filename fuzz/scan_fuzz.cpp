// The scanner: whatever the bytes, every hit lies inside them, hits come in order of offsets, the
// format is one the table knows and the description is one line that is safe on a terminal.
#include <algorithm>
#include <string>
#include <vector>

#include "engine/scan.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using tessaloom::fuzz::check;
    static const std::vector<std::string> formats = tessaloom::scanFormats();
    tessaloom::SpanSource source({data, size});
    std::uint64_t previous = 0;
    std::uint64_t count = 0;
    const tessaloom::Result<tessaloom::ScanSummary> summary =
        tessaloom::scanObjects(source, [&](const tessaloom::ScanHit& hit) {
            check(hit.offset >= previous, "hits come in order of offsets");
            previous = hit.offset;
            check(hit.offset < size && hit.size <= size - hit.offset,
                  "every hit lies inside the input");
            check(std::ranges::find(formats, hit.format) != formats.end(),
                  "the format is one the table knows");
            check(!hit.description.empty() &&
                      std::ranges::none_of(hit.description,
                                           [](char c) {
                                               const auto byte = static_cast<unsigned char>(c);
                                               return byte < 0x20 || byte == 0x7F;
                                           }),
                  "the description is one line without control characters");
            ++count;
        });
    check(summary.ok(), "bytes in memory are always read");
    check(summary->objects == count && summary->scanned == size, "the summary counts the hits");
    return 0;
}
