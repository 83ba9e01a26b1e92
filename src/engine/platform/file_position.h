// Positions in an open file beyond what a 32-bit long reaches, which the C library's fseek and
// ftell take and give on Windows.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>

namespace tessaloom::platform {

// Moves file to position bytes from its start. False when it cannot get there.
bool seekTo(std::FILE* file, std::uint64_t position);

// The length of a seekable file, found by seeking to its end and back to its start. Empty when it
// cannot seek.
std::optional<std::uint64_t> seekableLength(std::FILE* file);

}  // namespace tessaloom::platform
