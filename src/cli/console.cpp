#include "console.h"

#include <charconv>

namespace tessaloom::cli {

void writeLine(std::ostream& out, std::string_view text) {
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out << std::endl;
}

std::string lowerHex(std::uint64_t value) {
    char digits[16];
    const auto end = std::to_chars(digits, digits + sizeof digits, value, 16).ptr;
    return {digits, end};
}

}  // namespace tessaloom::cli
