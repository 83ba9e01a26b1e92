#include "diff.h"

#include <algorithm>
#include <cstring>

#include "file_io.h"

namespace tessaloom {

namespace {

// The first offset from `from` on, below end, at which a and b differ, or end. Equal stretches
// are skipped a large block at a time, the block in which a difference lies is narrowed down a
// small block at a time, and only the last few bytes are compared one by one: far faster than
// comparing byte by byte on large files that are mostly alike.
std::size_t nextDifference(const std::uint8_t* a, const std::uint8_t* b, std::size_t from,
                           std::size_t end) {
    for (const std::size_t block : {std::size_t{4096}, std::size_t{128}, std::size_t{8}}) {
        while (end - from >= block && std::memcmp(a + from, b + from, block) == 0) {
            from += block;
        }
    }
    return static_cast<std::size_t>(std::mismatch(a + from, a + end, b + from).first - a);
}

}  // namespace

std::vector<DiffEntry> diffBytes(ByteView a, ByteView b, std::uint64_t limit) {
    std::vector<DiffEntry> entries;
    const std::size_t common = std::min(a.size(), b.size());
    // Equal positions add nothing, so checking the limit only before each appended entry stops
    // at the same place as checking it before every position.
    for (std::size_t i = nextDifference(a.data(), b.data(), 0, common);
         i < common && entries.size() < limit;
         i = nextDifference(a.data(), b.data(), i + 1, common)) {
        entries.push_back({i, a[i], b[i]});
    }
    // Past the common length only the longer file has bytes; the other side reads as 0 there.
    for (std::size_t i = common; i < a.size() && entries.size() < limit; ++i) {
        entries.push_back({i, a[i], 0});
    }
    for (std::size_t i = common; i < b.size() && entries.size() < limit; ++i) {
        entries.push_back({i, 0, b[i]});
    }
    return entries;
}

std::vector<DiffEntry> diffFiles(const std::string& pathA, const std::string& pathB,
                                 std::uint64_t limit) {
    const ByteBuffer a = loadFile(pathA);
    const ByteBuffer b = loadFile(pathB);
    return diffBytes(a, b, limit);
}

}  // namespace tessaloom
