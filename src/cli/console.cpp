#include "console.h"

#include <charconv>

namespace tessaloom::cli {

void writeLine(std::ostream& out, std::initializer_list<std::string_view> parts) {
    for (const std::string_view part : parts) {
        out.write(part.data(), static_cast<std::streamsize>(part.size()));
    }
    out << std::endl;
}

void writeLine(std::ostream& out, std::string_view text) {
    writeLine(out, {text});
}

std::string lowerHex(std::uint64_t value) {
    char digits[16];
    const auto end = std::to_chars(digits, digits + sizeof digits, value, 16).ptr;
    return {digits, end};
}

std::string fixedDecimals(double value, int decimals) {
    char digits[32];
    const auto end =
        std::to_chars(digits, digits + sizeof digits, value, std::chars_format::fixed, decimals)
            .ptr;
    return {digits, end};
}

}  // namespace tessaloom::cli
