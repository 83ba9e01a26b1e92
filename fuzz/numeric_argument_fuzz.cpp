// Numeric arguments: every conversion agrees with the C library's strtoull on the same text, with
// the 32-bit arguments held to the range and wrap-around of a 32-bit unsigned long.
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "args.h"
#include "fuzz_support.h"

namespace {

using tessaloom::cli::NumericArgument;

bool startsWithMinus(const char* text) {
    while (std::isspace(static_cast<unsigned char>(*text))) {
        ++text;
    }
    return *text == '-';
}

std::optional<std::uint64_t> reference(const std::string& text, const NumericArgument& argument) {
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(begin, &end, argument.base);
    if (end == begin || errno == ERANGE) {
        return std::nullopt;
    }
    if (argument.maxValue == UINT64_MAX) {
        return value;
    }
    const bool negative = startsWithMinus(begin);
    const unsigned long long magnitude = negative ? 0 - value : value;
    if (magnitude > argument.maxValue) {
        return std::nullopt;
    }
    return negative ? (argument.maxValue - magnitude + 1) & argument.maxValue : magnitude;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tessaloom;
    const std::string text(reinterpret_cast<const char*>(data), size);
    for (const NumericArgument& argument :
         {cli::kOffsetArgument, cli::kLengthArgument, cli::kMinLengthArgument}) {
        const std::optional<std::uint64_t> expected = reference(text, argument);
        std::optional<std::uint64_t> actual;
        try {
            actual = cli::convertArgument(argument, text);
        } catch (const cli::ArgumentError& error) {
            // Compared as C strings: a command-line argument never holds a NUL.
            const std::string message =
                "Invalid " + std::string(argument.name) + " argument \"" + text + "\"";
            fuzz::check(std::strcmp(error.what(), message.c_str()) == 0,
                        "the error names the argument and its text");
        }
        fuzz::check(actual == expected, "the conversion agrees with strtoull");
        fuzz::check(!actual || *actual <= argument.maxValue, "the value fits the width");
    }
    return 0;
}
