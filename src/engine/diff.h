// Byte-by-byte comparison of two files at equal offsets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "byte_source.h"
#include "failure.h"
#include "types.h"

namespace tessaloom {

class FileReader;

using DiffEntryCallback = std::function<void(const DiffEntry& entry)>;

// Compares two inputs position by position as their bytes arrive, in pieces of any size, and
// hands on each differing position in ascending order, never more than limit of them. Positions
// that only one input has count as differences, with 0 standing for the missing byte.
class DiffScanner {
  public:
    DiffScanner(std::uint64_t limit, DiffEntryCallback onEntry);

    // The next bytes of both inputs, as many of each.
    void compare(ByteView a, ByteView b);

    // The next bytes of A after B has ended, or of B after A has ended.
    void surplusOfA(ByteView a);
    void surplusOfB(ByteView b);

    // Whether the limit is reached: no later position needs to be read.
    bool full() const { return found_ >= limit_; }

  private:
    void found(const DiffEntry& entry);

    std::uint64_t limit_;
    DiffEntryCallback onEntry_;
    std::uint64_t found_ = 0;
    std::uint64_t position_ = 0;
};

// Whether two inputs differ at index i of pieces of them that start at the same offset: a
// position that only one of them has differs, as in DiffScanner.
inline bool differsAt(ByteView a, ByteView b, std::size_t i) {
    return i >= a.size() || i >= b.size() || a[i] != b[i];
}

// The same at offset of two sources, read there.
Result<bool> differsAt(ByteSource& a, ByteSource& b, std::uint64_t offset);

// Reads the inputs of readerA and readerB side by side, a chunk of each at a time, and hands on
// the offsets at which they differ, in ascending order and never more than limit of them;
// reading stops at the limit. An input that cannot be read counts as empty.
void diffFiles(FileReader& readerA, FileReader& readerB, std::uint64_t limit,
               const DiffEntryCallback& onEntry);

// The same for the files at pathA and pathB, A opened first, as a list.
std::vector<DiffEntry> diffFiles(const std::string& pathA, const std::string& pathB,
                                 std::uint64_t limit);

}  // namespace tessaloom
