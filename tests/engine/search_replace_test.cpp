#include "engine/search_replace.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

#include "engine/chunked_file.h"
#include "engine/file_io.h"

namespace tessaloom {
namespace {

// The file holding data patched through a reader of every chunk size: the output is the
// one-buffer result, and it is not even created when the search fails.
void expectReplacesInAFile(const ByteBuffer& data, const ByteBuffer& search,
                           const ByteBuffer& replacement, const ByteBuffer& expected,
                           std::int64_t expectedCount) {
    const bool succeeds = !data.empty() && !search.empty() && search.size() == replacement.size();
    forEachChunkSize(data, [&](FileReader& reader, const TemporaryFile& file) {
        const std::string output = file.sibling("out");
        std::filesystem::remove(output);
        std::int64_t count = -1;
        EXPECT_EQ(searchAndReplace(reader, search, replacement, output, count), succeeds);
        EXPECT_EQ(count, succeeds ? expectedCount : 0);
        EXPECT_EQ(std::filesystem::exists(output), succeeds);
        if (succeeds) {
            EXPECT_EQ(loadFile(output), expected);
        }
    });
}

TEST(ParseHexPatternTest, Examples) {
    const std::pair<std::string, ByteBuffer> cases[] = {
        {"DE AD BE EF", {0xDE, 0xAD, 0xBE, 0xEF}},
        {"de-ad-be-ef", {0xDE, 0xAD, 0xBE, 0xEF}},
        {"DE:AD:BE:EF", {0xDE, 0xAD, 0xBE, 0xEF}},
        {"41-41", {0x41, 0x41}},
        {"7a:7A", {0x7A, 0x7A}},
        {"0x41", {0x00, 0x41}},   // the x stays, and the pair "0x" reads as 0
        {"41,42", {0x41, 0x00}},  // pairs "41" and ",4"; the last "2" is ignored
        {"ABC", {0xAB}},
        {"4G", {0x04}},
        {"ZZ", {0x00}},
        {"\t4", {0x04}},
        {"+4", {0x04}},
        {"4+", {0x04}},
        {"++", {0x00}},
        {"A \t", {0x0A}},  // the space goes, then the pair "A\t"
        {"\xC3\xA9", {0x00}},
        {"4 - : 1", {0x41}},
        {"", {}},
        {"4", {}},
        {" -: :- ", {}},
        {"4 ", {}},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(parseHexPattern(text), expected) << '"' << text << '"';
    }
}

// Every pair of characters that is not a separator reads exactly as strtol reads it.
TEST(ParseHexPatternTest, EveryPairMatchesStrtol) {
    for (int first = 0; first < 256; ++first) {
        for (int second = 0; second < 256; ++second) {
            const std::string pair = {static_cast<char>(first), static_cast<char>(second)};
            if (pair.find_first_of(std::string(" -:")) != std::string::npos) {
                continue;
            }
            const long value = std::strtol(pair.c_str(), nullptr, 16);
            ASSERT_EQ(parseHexPattern(pair), ByteBuffer{static_cast<std::uint8_t>(value)})
                << "pair " << first << ", " << second;
        }
    }
}

struct ReplaceCase {
    const char* name;
    ByteBuffer data;
    ByteBuffer search;
    ByteBuffer replacement;
    ByteBuffer expected;
    std::int64_t count;
};

TEST(ReplaceAllTest, LeftmostNonOverlappingOccurrences) {
    const ReplaceCase cases[] = {
        {"worked example",
         {0x41, 0x41, 0x41, 0x42, 0x41, 0x41},
         {0x41, 0x41},
         {0x7A, 0x7A},
         {0x7A, 0x7A, 0x41, 0x42, 0x7A, 0x7A},
         2},
        {"four in a row", {0x41, 0x41, 0x41, 0x41}, {0x41, 0x41}, {0, 0}, {0, 0, 0, 0}, 2},
        {"three in a row", {0x41, 0x41, 0x41}, {0x41, 0x41}, {0, 0}, {0, 0, 0x41}, 1},
        {"a replacement that forms a new occurrence",
         {0x41, 0x42, 0x42},
         {0x41, 0x42},
         {0x41, 0x41},
         {0x41, 0x41, 0x42},
         1},
        {"no occurrence", {1, 2, 3}, {2, 1}, {9, 9}, {1, 2, 3}, 0},
        {"pattern longer than data", {1, 2}, {1, 2, 3}, {9, 9, 9}, {1, 2}, 0},
        {"pattern is the whole data", {1, 2, 3}, {1, 2, 3}, {4, 5, 6}, {4, 5, 6}, 1},
        {"occurrence at the very end", {0, 0, 0, 7}, {0, 7}, {8, 8}, {0, 0, 8, 8}, 1},
        {"single byte", {5, 0, 5, 5}, {5}, {6}, {6, 0, 6, 6}, 3},
        {"equal patterns", {1, 2, 1, 2}, {1, 2}, {1, 2}, {1, 2, 1, 2}, 2},
        {"first byte common, rest rare",
         {0, 0, 0, 0, 0, 1, 0},
         {0, 0, 1},
         {2, 2, 2},
         {0, 0, 0, 2, 2, 2, 0},
         1},
        {"empty search", {1, 2}, {}, {}, {1, 2}, 0},
        {"lengths differ", {1, 2}, {1}, {3, 4}, {1, 2}, 0},
    };
    for (const ReplaceCase& c : cases) {
        SCOPED_TRACE(c.name);
        ByteBuffer data = c.data;
        EXPECT_EQ(replaceAll(data, c.search, c.replacement), c.count);
        EXPECT_EQ(data, c.expected);
        expectReplacesInAFile(c.data, c.search, c.replacement, c.expected, c.count);
    }
}

// On random data over a small alphabet, where partial matches abound, the result is that of the
// plain scan: compare at each position, step over a match, else step by one.
TEST(ReplaceAllTest, AgreesWithAPlainScan) {
    std::mt19937 random(5);
    for (int round = 0; round < 2000; ++round) {
        ByteBuffer data(random() % 40);
        for (auto& byte : data) {
            byte = static_cast<std::uint8_t>(random() % 2);
        }
        ByteBuffer search(1 + random() % 4);
        for (auto& byte : search) {
            byte = static_cast<std::uint8_t>(random() % 2);
        }
        const ByteBuffer replacement(search.size(), 9);

        ByteBuffer expected = data;
        std::int64_t expectedCount = 0;
        for (std::size_t p = 0; p + search.size() <= expected.size();) {
            if (std::equal(search.begin(), search.end(), expected.data() + p)) {
                std::copy(replacement.begin(), replacement.end(), expected.data() + p);
                ++expectedCount;
                p += search.size();
            } else {
                ++p;
            }
        }
        const ByteBuffer original = data;
        EXPECT_EQ(replaceAll(data, search, replacement), expectedCount);
        ASSERT_EQ(data, expected) << "round " << round;
        if (round % 20 == 0) {
            expectReplacesInAFile(original, search, replacement, expected, expectedCount);
        }
    }
}

TEST(SearchAndReplaceTest, FailuresResetTheCount) {
    const ByteBuffer one{1};
    std::int64_t count = 7;
    EXPECT_FALSE(searchAndReplace("/no/such/input", one, one, "/no/such/output", count));
    EXPECT_EQ(count, 0);
    count = 7;
    EXPECT_FALSE(searchAndReplace("/no/such/input", {}, {}, "/no/such/output", count));
    EXPECT_EQ(count, 0);
}

// A library caller is told why a replacement failed: which file, what failed, the system's words;
// the count it made comes with a success.
TEST(ReplaceIntoTest, SaysWhyItFailed) {
    const TemporaryFile input(ByteView(ByteBuffer{1, 2, 1}));
    const TemporaryFile empty(ByteView{});
    const std::string missing = input.sibling("missing/out");
    const ByteBuffer one{1};
    const ByteBuffer two{2, 2};
    const struct {
        std::string in;
        ByteBuffer search;
        ByteBuffer replacement;
        std::string out;
        std::string told;  // kind, path and reason, or the count
    } cases[] = {
        {input.path(), one, two, input.sibling("out"),
         "invalid: The pattern and its replacement "
         "differ in length"},
        {input.path(), {}, {}, input.sibling("out"), "invalid: The pattern is empty"},
        {input.sibling("none"), one, ByteBuffer{3}, input.sibling("out"),
         "read " + input.sibling("none") + ": No such file or directory"},
        {empty.path(), one, ByteBuffer{3}, input.sibling("out"),
         "invalid " + empty.path() + ": The input is empty"},
        {input.path(), one, ByteBuffer{3}, missing,
         "write " + missing + ": No such file or directory"},
        {input.path(), one, ByteBuffer{3}, input.sibling("out"), "2 replaced"},
    };
    for (const auto& c : cases) {
        FileReader reader(c.in);
        const Result<std::int64_t> result = replaceInto(reader, c.search, c.replacement, c.out);
        std::string told;
        if (result) {
            told = std::to_string(*result) + " replaced";
        } else {
            const Failure& why = result.failure();
            told = why.kind == Failure::Kind::kRead    ? "read"
                   : why.kind == Failure::Kind::kWrite ? "write"
                                                       : "invalid";
            told += (why.path.empty() ? "" : " " + why.path) + ": " + why.reason;
        }
        EXPECT_EQ(told, c.told);
    }
    EXPECT_EQ(loadFile(input.sibling("out")), (ByteBuffer{3, 2, 3}));
}

}  // namespace
}  // namespace tessaloom
