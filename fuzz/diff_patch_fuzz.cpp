// Diff, then patch: applying the diff of A and B to A writes B's byte at every listed offset and
// leaves every other byte of A; when B is at least as long as A and the limit did not cut the
// diff, the result is B.
#include <algorithm>
#include <string>

#include "engine/diff.h"
#include "engine/file_reader.h"
#include "engine/patch.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using tessaloom::fuzz::check;
    tessaloom::fuzz::FuzzInput input(data, size);
    const std::uint8_t limitByte = input.byte();
    const std::uint64_t limit = limitByte >= 0x80 ? UINT64_MAX : limitByte;
    const std::uint8_t cut = input.byte();
    const std::size_t split = input.byte() | (std::size_t{input.byte()} << 8);
    const tessaloom::ByteView a = input.bytes(split % (input.rest().size() + 1));
    const tessaloom::ByteView b = input.rest();
    const std::string pathA = tessaloom::fuzz::scratchPath("a");
    const std::string pathB = tessaloom::fuzz::scratchPath("b");
    const std::string pathOut = tessaloom::fuzz::scratchPath("patched");
    tessaloom::fuzz::writeFile(pathA, a);
    tessaloom::fuzz::writeFile(pathB, b);

    const auto entries = tessaloom::diffFiles(pathA, pathB, limit);
    tessaloom::FileReader reader(pathA, tessaloom::fuzz::chunkSizeFrom(cut));
    check(tessaloom::applyPatches(reader, entries, pathOut), "the patched copy is written");
    const tessaloom::ByteBuffer patched = tessaloom::fuzz::readFile(pathOut);

    std::size_t expectedSize = a.size();
    for (const auto& entry : entries) {
        expectedSize = std::max<std::size_t>(expectedSize, entry.offset + 1);
    }
    check(patched.size() == expectedSize, "the output reaches the last patched offset");
    tessaloom::ByteBuffer expected(a.begin(), a.end());
    expected.resize(expectedSize, 0);
    for (const auto& entry : entries) {
        expected[entry.offset] = entry.byteB;
    }
    check(patched == expected, "listed offsets hold B's byte, all others A's");
    tessaloom::ByteBuffer inMemory(a.begin(), a.end());
    tessaloom::applyPatches(inMemory, entries);
    check(inMemory == expected, "patched in memory, the same bytes");
    if (b.size() >= a.size() && entries.size() < limit) {
        check(patched == tessaloom::ByteBuffer(b.begin(), b.end()), "diff then patch gives B");
    }
    return 0;
}
