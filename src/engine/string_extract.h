// Extraction of the runs of printable ASCII in a file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "types.h"

namespace tessaloom {

// Loads the file at path and returns every run of at least minLength printable bytes (0x20 to
// 0x7E) with its offset, in file order. An unreadable file gives no runs.
std::vector<FoundString> extractStrings(const std::string& path, std::uint64_t minLength);

}  // namespace tessaloom
