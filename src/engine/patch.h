// Pattern search over a file, and application of a list of single-byte patches.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "types.h"

namespace tessaloom {

// Every offset at which pattern occurs in data, overlapping occurrences included, in ascending
// order. Empty for an empty pattern or one longer than data.
std::vector<std::uint64_t> findPatternOffsets(ByteView data, ByteView pattern);

// The same for the file at path; an unreadable file gives an empty list.
std::vector<std::uint64_t> findPatternOffsets(const std::string& path, ByteView pattern);

// Writes byteB of each patch at its offset in data, in list order, so that the last record for
// an offset decides it. An offset past the end first extends data with zero bytes to offset + 1.
// byteA is not read. Throws std::length_error (or std::bad_alloc) for an offset that data cannot
// be extended to reach, 18446744073709551615 included; data may then hold earlier patches.
void applyPatches(ByteBuffer& data, std::span<const DiffEntry> patches);

// Loads inputPath (an unreadable file counts as empty), applies patches to it as above and saves
// the result to outputPath, also when the list or the input is empty. Returns whether outputPath
// was written. When an offset cannot be reached the exception leaves before outputPath is
// created or truncated.
bool applyPatches(const std::string& inputPath, const std::vector<DiffEntry>& patches,
                  const std::string& outputPath);

}  // namespace tessaloom
