// Diff: offsets strictly ascending, never more entries than the limit, each entry's bytes those
// of the inputs (0 past an input's end), and every differing position listed up to the limit.
#include <algorithm>

#include "engine/diff.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using tessaloom::fuzz::check;
    tessaloom::fuzz::FuzzInput input(data, size);
    const std::uint8_t limitByte = input.byte();
    const std::uint64_t limit = limitByte == 0xFF ? UINT64_MAX : limitByte;
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
    return 0;
}
