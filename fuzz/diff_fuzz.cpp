// Diff: offsets strictly ascending, never more entries than the limit, each entry's bytes those
// of the inputs (0 past an input's end), and every differing position listed up to the limit.
#include <algorithm>
#include <string>
#include <vector>

#include "engine/diff.h"
#include "engine/file_reader.h"
#include "fuzz_support.h"
#include "support/in_memory.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using tessaloom::fuzz::check;
    tessaloom::fuzz::FuzzInput input(data, size);
    const std::uint8_t limitByte = input.byte();
    const std::uint64_t limit = limitByte == 0xFF ? UINT64_MAX : limitByte;
    const std::uint8_t cut = input.byte();
    const std::size_t split = input.byte() | (std::size_t{input.byte()} << 8);
    const tessaloom::ByteView a = input.bytes(split % (input.rest().size() + 1));
    const tessaloom::ByteView b = input.rest();

    const auto entries = tessaloom::diffBytes(a, b, limit);
    check(entries.size() <= limit, "no more entries than the limit");
    auto at = [](tessaloom::ByteView bytes, std::size_t i) -> std::uint8_t {
        return i < bytes.size() ? bytes[i] : 0;
    };
    // Walk every position of the longer input: each one that differs, or that only one input
    // has, is the next entry until the entries run out at the limit.
    std::size_t next = 0;
    for (std::size_t i = 0; i < std::max(a.size(), b.size()) && next < entries.size(); ++i) {
        const bool differs = i >= std::min(a.size(), b.size()) || a[i] != b[i];
        if (!differs) {
            continue;
        }
        check(entries[next].offset == i, "entries list the differing positions in order");
        check(entries[next].byteA == at(a, i) && entries[next].byteB == at(b, i),
              "each entry holds the bytes of both inputs");
        ++next;
    }
    check(next == entries.size(), "every entry is a differing position");
    std::size_t differing = 0;
    for (std::size_t i = 0; i < std::max(a.size(), b.size()); ++i) {
        differing += i >= std::min(a.size(), b.size()) || a[i] != b[i];
    }
    check(entries.size() == std::min<std::uint64_t>(differing, limit),
          "only the limit cuts the list");

    // Read side by side in chunks that do not line up, the files give the same list.
    const std::string pathA = tessaloom::fuzz::scratchPath("a");
    const std::string pathB = tessaloom::fuzz::scratchPath("b");
    tessaloom::fuzz::writeFile(pathA, a);
    tessaloom::fuzz::writeFile(pathB, b);
    tessaloom::FileReader readerA(pathA, tessaloom::fuzz::chunkSizeFrom(cut));
    tessaloom::FileReader readerB(pathB, tessaloom::fuzz::chunkSizeFrom(cut ^ 0x5A));
    std::vector<tessaloom::DiffEntry> read;
    tessaloom::diffFiles(readerA, readerB, limit,
                         [&read](const tessaloom::DiffEntry& entry) { read.push_back(entry); });
    check(read == entries, "read in chunks, the files give the same entries");
    return 0;
}
