// Small helpers for the report lines the front end writes.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>

namespace tessaloom::cli {

// Writes text, a newline and a flush: every report line ends this way.
void writeLine(std::ostream& out, std::string_view text);

// Lower-case hexadecimal with no prefix, width or fill: 0 is "0", 171 is "ab".
std::string lowerHex(std::uint64_t value);

}  // namespace tessaloom::cli
