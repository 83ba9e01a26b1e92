#include "diff.h"

#include <algorithm>
#include <cstring>

#include "file_reader.h"

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

DiffScanner::DiffScanner(std::uint64_t limit, DiffEntryCallback onEntry)
    : limit_(limit), onEntry_(std::move(onEntry)) {}

void DiffScanner::found(const DiffEntry& entry) {
    ++found_;
    onEntry_(entry);
}

void DiffScanner::compare(ByteView a, ByteView b) {
    const std::size_t length = std::min(a.size(), b.size());
    // Equal positions add nothing, so checking the limit only before each entry stops at the
    // same place as checking it before every position.
    for (std::size_t i = nextDifference(a.data(), b.data(), 0, length); i < length && !full();
         i = nextDifference(a.data(), b.data(), i + 1, length)) {
        found({position_ + i, a[i], b[i]});
    }
    position_ += length;
}

// Past the common length only the longer input has bytes; the other side reads as 0 there.
void DiffScanner::surplusOfA(ByteView a) {
    for (std::size_t i = 0; i < a.size() && !full(); ++i) {
        found({position_ + i, a[i], 0});
    }
    position_ += a.size();
}

void DiffScanner::surplusOfB(ByteView b) {
    for (std::size_t i = 0; i < b.size() && !full(); ++i) {
        found({position_ + i, 0, b[i]});
    }
    position_ += b.size();
}

Result<bool> differsAt(ByteSource& a, ByteSource& b, std::uint64_t offset) {
    std::uint8_t byteA = 0;
    std::uint8_t byteB = 0;
    Result<std::size_t> readA = a.readAt(offset, std::span(&byteA, 1));
    if (!readA) {
        return readA.failure();
    }
    Result<std::size_t> readB = b.readAt(offset, std::span(&byteB, 1));
    if (!readB) {
        return readB.failure();
    }
    return differsAt(ByteView(&byteA, *readA), ByteView(&byteB, *readB), 0);
}

void diffFiles(FileReader& readerA, FileReader& readerB, std::uint64_t limit,
               const DiffEntryCallback& onEntry) {
    DiffScanner scanner(limit, onEntry);
    while (!scanner.full()) {
        if (readerA.buffered().empty()) {
            readerA.fill();
        }
        if (readerB.buffered().empty()) {
            readerB.fill();
        }
        const ByteView a = readerA.buffered();
        const ByteView b = readerB.buffered();
        if (a.empty() && b.empty()) {
            break;
        }
        // Once one input has ended, the other's bytes are its surplus.
        const std::size_t length = a.empty() || b.empty() ? 0 : std::min(a.size(), b.size());
        if (length > 0) {
            scanner.compare(a.first(length), b.first(length));
        } else {
            scanner.surplusOfA(a);
            scanner.surplusOfB(b);
        }
        readerA.consume(length > 0 ? length : a.size());
        readerB.consume(length > 0 ? length : b.size());
    }
}

std::vector<DiffEntry> diffFiles(const std::string& pathA, const std::string& pathB,
                                 std::uint64_t limit) {
    std::vector<DiffEntry> entries;
    FileReader readerA(pathA);
    FileReader readerB(pathB);
    diffFiles(readerA, readerB, limit,
              [&entries](const DiffEntry& entry) { entries.push_back(entry); });
    return entries;
}

}  // namespace tessaloom
