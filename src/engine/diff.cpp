#include "diff.h"

#include <algorithm>

#include "file_io.h"

namespace tessaloom {

std::vector<DiffEntry> diffBytes(ByteView a, ByteView b, std::uint64_t limit) {
    std::vector<DiffEntry> entries;
    const std::size_t common = std::min(a.size(), b.size());
    const std::size_t longest = std::max(a.size(), b.size());
    // Past the common length only the longer file has bytes; the other side reads as 0.
    for (std::size_t i = 0; i < longest && entries.size() < limit; ++i) {
        const std::uint8_t byteA = i < a.size() ? a[i] : 0;
        const std::uint8_t byteB = i < b.size() ? b[i] : 0;
        if (i >= common || byteA != byteB) {
            entries.push_back({i, byteA, byteB});
        }
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
