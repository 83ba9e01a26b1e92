#include "args.h"

#include "engine/types.h"

namespace tessaloom::cli {

namespace {

bool isDigitIn(char c, int base) {
    const int value = conversionDigitValue(c);
    return value >= 0 && value < base;
}

}  // namespace

std::optional<std::uint64_t> parseUnsigned(std::string_view text, int base,
                                           std::uint64_t maxValue) {
    std::size_t i = 0;
    while (i < text.size() && isConversionSpace(text[i])) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    if (base == 0) {
        // "0x" selects hexadecimal only when a hex digit follows; otherwise the "0" is the number.
        const bool hexPrefix = i + 2 < text.size() && text[i] == '0' &&
                               (text[i + 1] == 'x' || text[i + 1] == 'X') &&
                               isDigitIn(text[i + 2], 16);
        if (hexPrefix) {
            base = 16;
            i += 2;
        } else {
            base = (i < text.size() && text[i] == '0') ? 8 : 10;
        }
    }
    std::uint64_t magnitude = 0;
    bool anyDigit = false;
    bool overflow = false;
    for (; i < text.size() && isDigitIn(text[i], base); ++i) {
        const auto digit = static_cast<std::uint64_t>(conversionDigitValue(text[i]));
        const auto radix = static_cast<std::uint64_t>(base);
        anyDigit = true;
        if (magnitude > (maxValue - digit) / radix) {
            overflow = true;
        } else {
            magnitude = magnitude * radix + digit;
        }
    }
    if (!anyDigit || overflow) {
        return std::nullopt;
    }
    if (negative && magnitude != 0) {
        return maxValue - magnitude + 1;
    }
    return magnitude;
}

std::uint64_t convertArgument(const NumericArgument& argument, std::string_view text) {
    if (const auto value = parseUnsigned(text, argument.base, argument.maxValue)) {
        return *value;
    }
    throw ArgumentError("Invalid " + std::string(argument.name) + " argument \"" +
                        std::string(text) + "\"");
}

}  // namespace tessaloom::cli
