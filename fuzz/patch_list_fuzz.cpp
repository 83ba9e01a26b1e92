// Patch lists: any text cut into pieces of any size reads as it does whole, and every change it
// holds lies below the largest file size, with OLD checked only where a line gave it.
#include <limits>

#include "engine/patch_list.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using tessaloom::fuzz::check;
    tessaloom::fuzz::FuzzInput input(data, size);
    const std::uint8_t cut = input.byte();
    const tessaloom::ByteView text = input.rest();

    tessaloom::PatchListParser whole;
    whole.write(text);
    const tessaloom::PatchList expected = whole.finish();
    tessaloom::PatchListParser pieces;
    tessaloom::fuzz::forEachRandomPiece(text, cut,
                                        [&](tessaloom::ByteView piece) { pieces.write(piece); });
    const tessaloom::PatchList list = pieces.finish();
    check(list.bytes == expected.bytes && list.lines.size() == expected.lines.size() &&
              list.error.has_value() == expected.error.has_value() &&
              (!list.error || (list.error->line == expected.error->line &&
                               list.error->what == expected.error->what)),
          "the same list however the text is cut");
    std::size_t bytes = 0;
    for (const tessaloom::PatchLine& line : list.lines) {
        check(line.firstByte == bytes && line.byteCount > 0, "lines own consecutive bytes");
        for (std::size_t i = line.firstByte; i < line.firstByte + line.byteCount; ++i) {
            check(list.bytes[i].offset < std::numeric_limits<std::int64_t>::max(),
                  "every change below the largest file size");
            check(line.checksOld || list.bytes[i].byteA == 0, "OLD only where a line gave it");
        }
        bytes += line.byteCount;
    }
    check(bytes == list.bytes.size(), "every byte belongs to a line");
    return 0;
}
