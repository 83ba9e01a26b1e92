#include "args.h"

#include <gtest/gtest.h>

#include <utility>

#include <optional>

namespace tessaloom::cli {
namespace {

constexpr std::uint64_t k32 = UINT32_MAX;
constexpr std::uint64_t k64 = UINT64_MAX;

struct ParseCase {
    const char* text;
    int base;
    std::uint64_t maxValue;
    std::optional<std::uint64_t> expected;
};

TEST(ParseUnsignedTest, FollowsTheStandardConversionRules) {
    const ParseCase cases[] = {
        {"16", 0, k64, 16},
        {"0x10", 0, k64, 16},
        {"0X1f", 0, k64, 31},
        {"010", 0, k64, 8},
        {"010", 10, k32, 10},
        {"08", 10, k32, 8},
        {"08", 0, k32, 0},  // octal stops at the 8
        {"0x10", 10, k32, 0},
        {"0x", 0, k64, 0},
        {"0xg", 0, k64, 0},
        {"16abc", 0, k64, 16},
        {"5abc", 0, k64, 5},
        {" \t\n+7", 0, k64, 7},
        {"-1", 0, k64, k64},
        {"-1", 0, k32, k32},
        {"-4294967295", 0, k32, 1},
        {"-0", 10, k32, 0},
        {"4294967295", 0, k32, k32},
        {"18446744073709551615", 0, k64, k64},
        {"0xFFFFFFFFFFFFFFFF", 0, k64, k64},
        {"4294967296", 0, k32, std::nullopt},
        {"-4294967296", 10, k32, std::nullopt},
        {"18446744073709551616", 0, k64, std::nullopt},
        {"0x10000000000000000", 0, k64, std::nullopt},
        {"", 0, k64, std::nullopt},
        {"   ", 0, k64, std::nullopt},
        {"+", 0, k64, std::nullopt},
        {"-", 10, k32, std::nullopt},
        {"+-1", 0, k64, std::nullopt},
        {"abc", 10, k32, std::nullopt},
        {"x10", 0, k64, std::nullopt},
    };
    for (const ParseCase& c : cases) {
        EXPECT_EQ(parseUnsigned(c.text, c.base, c.maxValue), c.expected)
            << '"' << c.text << "\" base " << c.base;
    }
}

TEST(ParseSizeTest, DigitsThenAUnit) {
    const std::pair<std::string_view, std::optional<std::uint64_t>> cases[] = {
        {"4096", 4096},
        {"0x1000", 4096},
        {"4K", 4096},
        {"4k", 4096},
        {"4KiB", 4096},
        {"0x10MiB", std::uint64_t{16} << 20},
        {"3g", std::uint64_t{3} << 30},
        {"2TiB", std::uint64_t{2} << 40},
        {"16777215T", std::uint64_t{16777215} << 40},
        {"16777216T", std::nullopt},
        {"18446744073709551615", UINT64_MAX},
        {"18446744073709551616", std::nullopt},
        {"4iB", std::nullopt},
        {"0xAiB", std::nullopt},
        {"K", std::nullopt},
        {"KiB", std::nullopt},
        {"0x", std::nullopt},
        {"", std::nullopt},
        {" 4K", std::nullopt},
        {"-4", std::nullopt},
        {"4KB", std::nullopt},
        {"1.5K", std::nullopt},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(parseSize(text), expected) << '"' << text << '"';
    }
}

TEST(ConvertArgumentTest, NamesTheArgumentAndTheTextOnFailure) {
    EXPECT_EQ(convertArgument(kOffsetArgument, "0x20"), 32u);
    EXPECT_EQ(convertArgument(kMinLengthArgument, "010"), 10u);
    try {
        convertArgument(kLengthArgument, "-x");
        FAIL() << "no error";
    } catch (const ArgumentError& error) {
        EXPECT_STREQ(error.what(), "Invalid LEN argument \"-x\"");
    }
}

}  // namespace
}  // namespace tessaloom::cli
