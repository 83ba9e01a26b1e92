#include "engine/find.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "engine/chunked_file.h"
#include "engine/search_replace.h"

namespace tessaloom {
namespace {

std::optional<std::uint64_t> foundIn(const Result<std::optional<std::uint64_t>>& result) {
    EXPECT_TRUE(result.ok());
    return result.ok() ? *result : std::nullopt;
}

TEST(ParseFindPatternTest, PairsWildcardsAndWhatIsRefused) {
    const std::pair<const char*, const char*> valid[] = {
        {"DE AD-be:EF", "de ad be ef"},
        {"dead", "de ad"},
        {"?? 4?", "?? 4?"},
        {"?f:0?", "?f 0?"},
        {" 00 ", "00"},
        {"de--ad", "de ad"},
    };
    for (const auto& [text, shown] : valid) {
        const auto pattern = parseFindPattern(text);
        ASSERT_TRUE(pattern) << text;
        EXPECT_EQ(pattern->text(), shown);
    }
    for (const char* text : {"", " ", "4", "dea", "d ead", "0x41", "zz", "4G", "de,ad", "\tde"}) {
        EXPECT_FALSE(parseFindPattern(text)) << '"' << text << '"';
    }
    EXPECT_EQ(parseFindPattern("4?")->masks()[0], 0xF0);
    const auto utf16 = utf16Pattern("A\xE2\x82\xAC\xF0\x9F\x98\x80");
    EXPECT_EQ(ByteBuffer(utf16->values().begin(), utf16->values().end()),
              (ByteBuffer{0x41, 0, 0xAC, 0x20, 0x3D, 0xD8, 0x00, 0xDE}));
    for (const char* text : {"", "\xC3", "\xC0\x80", "\xED\xA0\x80", "\x80"}) {
        EXPECT_FALSE(utf16Pattern(text)) << '"' << text << '"';
    }
}

// On random data over a few byte values, with random masks, every scan gives the occurrences of
// a plain loop: through a reader of every chunk size, and range by range in both directions.
TEST(FindTest, AgreesWithAPlainLoop) {
    std::mt19937 random(19);
    for (int round = 0; round < 300; ++round) {
        ByteBuffer data(random() % 200);
        for (auto& byte : data) {
            byte = static_cast<std::uint8_t>(random() % 3 * 0x11);
        }
        ByteBuffer values(1 + random() % 4);
        ByteBuffer masks(values.size());
        for (std::size_t i = 0; i < values.size(); ++i) {
            values[i] = static_cast<std::uint8_t>(random() % 3 * 0x11);
            masks[i] = std::vector<std::uint8_t>{0xFF, 0xFF, 0xF0, 0x0F, 0}[random() % 5];
        }
        const BytePattern pattern(values, masks);
        std::vector<std::uint64_t> expected;
        for (std::size_t p = 0; p + values.size() <= data.size(); ++p) {
            bool matches = true;
            for (std::size_t i = 0; i < values.size(); ++i) {
                matches = matches && (data[p + i] & masks[i]) == (values[i] & masks[i]);
            }
            if (matches) {
                expected.push_back(p);
            }
        }
        SCOPED_TRACE("round " + std::to_string(round));
        forEachChunkSize(data, [&](FileReader& reader, const TemporaryFile&) {
            std::vector<std::uint64_t> found;
            WindowedScan scan(reader, pattern, PatternScanner::Occurrences::kOverlapping);
            while (
                scan.advance([&](std::uint64_t offset, std::size_t) { found.push_back(offset); })) {
            }
            EXPECT_EQ(found, expected);
            if (!reader.seekable()) {
                return;  // an empty file, read as a stream
            }
            // Forwards and backwards in steps of 7 from a random place, read in pieces of the
            // reader's chunk size.
            const std::size_t step = reader.chunkSize();
            const std::uint64_t from = data.empty() ? 0 : random() % data.size();
            std::vector<std::uint64_t> forwards;
            for (std::uint64_t at = from; at < data.size() + 7; at += 7) {
                for (auto next = foundIn(findInRange(*reader.source(), pattern, at, at + 7,
                                                     SearchDirection::kForward, step));
                     next; next = foundIn(findInRange(*reader.source(), pattern, *next + 1, at + 7,
                                                      SearchDirection::kForward, step))) {
                    forwards.push_back(*next);
                }
            }
            std::vector<std::uint64_t> backwards;
            for (std::uint64_t to = from; to > 0; to -= std::min<std::uint64_t>(to, 7)) {
                const std::uint64_t begin = to - std::min<std::uint64_t>(to, 7);
                for (auto last = foundIn(findInRange(*reader.source(), pattern, begin, to,
                                                     SearchDirection::kBackward, step));
                     last; last = foundIn(findInRange(*reader.source(), pattern, begin, *last,
                                                      SearchDirection::kBackward, step))) {
                    backwards.insert(backwards.begin(), *last);
                }
            }
            backwards.insert(backwards.end(), forwards.begin(), forwards.end());
            EXPECT_EQ(backwards, expected);
        });
    }
}

}  // namespace
}  // namespace tessaloom
