#include "args.h"

#include <cctype>
#include <charconv>

#include "commands.h"
#include "engine/types.h"

namespace tessaloom::cli {

namespace {

bool isDigitIn(char c, int base) {
    const int value = conversionDigitValue(c);
    return value >= 0 && value < base;
}

}  // namespace

std::optional<std::uint64_t> parseSize(std::string_view text) {
    constexpr std::string_view kUnits = "KMGT";
    int shift = 0;
    if (text.size() > 3 && (text.ends_with("iB") || text.ends_with("ib"))) {
        text.remove_suffix(2);
        if (kUnits.find(static_cast<char>(std::toupper(static_cast<unsigned char>(text.back())))) ==
            std::string_view::npos) {
            return std::nullopt;  // "iB" belongs to a unit
        }
    }
    if (!text.empty()) {
        const std::size_t unit =
            kUnits.find(static_cast<char>(std::toupper(static_cast<unsigned char>(text.back()))));
        if (unit != std::string_view::npos) {
            shift = 10 * static_cast<int>(unit + 1);
            text.remove_suffix(1);
        }
    }
    int base = 10;
    if (text.starts_with("0x") || text.starts_with("0X")) {
        text.remove_prefix(2);
        base = 16;
    }
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() ||
        value > (UINT64_MAX >> shift)) {
        return std::nullopt;
    }
    return value << shift;
}

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

namespace {

// A size option's value: a size above 0, or a usage error.
std::uint64_t sizeOption(const std::string& text) {
    const std::optional<std::uint64_t> size = parseSize(text);
    if (!size || *size == 0) {
        throw UsageError();
    }
    return *size;
}

// The report options, and those of a deep scan where `deepAllowed`.
ScanArguments readOptions(const std::vector<std::string>& args, std::uint64_t& streamLimit,
                          bool deepAllowed) {
    ScanArguments read;
    bool limited = false;
    for (std::size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--json" && !read.json) {
            read.json = true;
        } else if (args[i] == "--stream-limit" && !limited && i + 1 < args.size()) {
            streamLimit = sizeOption(args[++i]);
            limited = true;
        } else if (deepAllowed && args[i] == "--deep" && !read.deep) {
            read.deep = true;
        } else if (deepAllowed && args[i] == "--deep-limit" && !read.deepLimit &&
                   i + 1 < args.size()) {
            read.deepLimit = sizeOption(args[++i]);
        } else {
            throw UsageError();
        }
    }
    if (read.deepLimit && !read.deep) {
        throw UsageError();
    }
    return read;
}

}  // namespace

bool readReportOptions(const std::vector<std::string>& args, std::uint64_t& streamLimit) {
    return readOptions(args, streamLimit, false).json;
}

ScanArguments readScanOptions(const std::vector<std::string>& args, std::uint64_t& streamLimit) {
    return readOptions(args, streamLimit, true);
}

}  // namespace tessaloom::cli
