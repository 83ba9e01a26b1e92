// Byte-by-byte comparison of two files at equal offsets.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "types.h"

namespace tessaloom {

// Lists the offsets at which a and b differ, as diffFiles does.
std::vector<DiffEntry> diffBytes(ByteView a, ByteView b, std::uint64_t limit);

// Loads file A, then file B, and lists the offsets at which they differ, in ascending order and
// never more than limit entries. Positions that only one file has count as differences, with 0
// standing for the missing byte.
std::vector<DiffEntry> diffFiles(const std::string& pathA, const std::string& pathB,
                                 std::uint64_t limit);

}  // namespace tessaloom
