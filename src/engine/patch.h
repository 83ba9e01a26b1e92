// Pattern search over a file, and application of a list of single-byte patches.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "types.h"

namespace tessaloom {

// Every offset at which pattern occurs in the file at path, overlapping occurrences included,
// in ascending order. Empty for an empty pattern or an unreadable file.
std::vector<std::uint64_t> findPatternOffsets(const std::string& path, ByteView pattern);

// Loads inputPath, writes byteB of each patch at its offset in list order (extending the data
// with zero bytes where an offset lies past its end), and saves the result to outputPath.
// Returns whether outputPath was written.
bool applyPatches(const std::string& inputPath, const std::vector<DiffEntry>& patches,
                  const std::string& outputPath);

}  // namespace tessaloom
