// Conversion of the numeric command-line arguments.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tessaloom::cli {

// How one numeric argument is read: its name in messages, its base (0 picks the base from a
// "0x" or "0" prefix) and the largest value its width holds.
struct NumericArgument {
    std::string_view name;
    int base;
    std::uint64_t maxValue;
};

inline constexpr NumericArgument kOffsetArgument{"OFFSET", 0, UINT64_MAX};
inline constexpr NumericArgument kLengthArgument{"LEN", 0, UINT32_MAX};
inline constexpr NumericArgument kMinLengthArgument{"MIN_LEN", 10, UINT32_MAX};

// A numeric argument that could not be converted; the run stops before any file is read.
class ArgumentError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Reads an unsigned number as the C library's strtoul family does: leading white space, one
// optional sign (a "-" negates modulo maxValue + 1), then digits up to the first character that
// cannot continue the number. Empty when no digit was read or the magnitude exceeds maxValue.
std::optional<std::uint64_t> parseUnsigned(std::string_view text, int base, std::uint64_t maxValue);

// A size as people write one: decimal or 0x hexadecimal digits, then optionally K, M, G or T, also
// as KiB, MiB, GiB or TiB, for units of 1024 to 1024^4 (the letter in either case). Nothing else
// may stand around it. Empty when text is not one or the size does not fit in 64 bits.
std::optional<std::uint64_t> parseSize(std::string_view text);

// Reads the options after FILE of a command that reads a whole input and reports it: --json and
// --stream-limit SIZE, each at most once, in either order. Returns whether --json was given and
// sets streamLimit when a limit was; throws UsageError for anything else.
bool readReportOptions(const std::vector<std::string>& args, std::uint64_t& streamLimit);

// The options after FILE of --scan: those of readReportOptions, --deep, and --deep-limit SIZE
// (only with --deep), each at most once, in any order. Throws UsageError for anything else.
struct ScanArguments {
    bool json = false;
    bool deep = false;
    std::optional<std::uint64_t> deepLimit;
};
ScanArguments readScanOptions(const std::vector<std::string>& args, std::uint64_t& streamLimit);

// Converts text as argument says, or throws ArgumentError naming the argument and the text.
std::uint64_t convertArgument(const NumericArgument& argument, std::string_view text);

}  // namespace tessaloom::cli
