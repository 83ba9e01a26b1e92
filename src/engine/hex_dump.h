// Hex dump: offset, sixteen byte columns and an ASCII sidebar per line.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "types.h"

namespace tessaloom {

// Receives formatted text in large blocks, in order.
using TextSink = std::function<void(std::string_view)>;

// The whole text of a dump whose offset lies at or past the end of the data.
inline constexpr std::string_view kOffsetOutOfBounds = "(Offset out of bounds)\n";

// Formats the dump of up to length bytes of data from offset on and hands it to sink in blocks,
// so that a dump of any size needs only a small, fixed amount of memory beyond the data.
void writeHexDump(ByteView data, std::uint64_t offset, std::uint64_t length, const TextSink& sink);

// The same text as one string.
std::string hexDump(ByteView data, std::uint64_t offset, std::uint64_t length);

// Loads the file at path and returns the text of its dump.
std::string hexDump(const std::string& path, std::uint64_t offset, std::uint64_t length);

}  // namespace tessaloom
