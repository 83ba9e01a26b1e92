#include "engine/diff.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "engine/chunked_file.h"
#include "engine/text_bytes.h"
#include "support/in_memory.h"

namespace tessaloom {

void PrintTo(const DiffEntry& entry, std::ostream* out) {
    *out << "{" << entry.offset << ", " << int{entry.byteA} << ", " << int{entry.byteB} << "}";
}

namespace {

using Entries = std::vector<DiffEntry>;

// The entries of a and b in one buffer each, and read from files side by side, in chunks of every
// size for A against chunks of 7 bytes for B, so that the chunks of the two do not line up.
void expectDiff(const ByteBuffer& a, const ByteBuffer& b, std::uint64_t limit,
                const Entries& expected) {
    EXPECT_EQ(diffBytes(a, b, limit), expected);
    const TemporaryFile fileB(b);
    forEachChunkSize(a, [&](FileReader& readerA, const TemporaryFile&) {
        FileReader readerB(fileB.path(), 7);
        Entries entries;
        diffFiles(readerA, readerB, limit,
                  [&entries](const DiffEntry& entry) { entries.push_back(entry); });
        EXPECT_EQ(entries, expected);
    });
}

struct DiffCase {
    const char* name;
    ByteBuffer a;
    ByteBuffer b;
    std::uint64_t limit;
    Entries expected;
};

TEST(DiffBytesTest, ListsDifferingPositionsAndBothSurpluses) {
    const DiffCase cases[] = {
        {"worked example",
         textBytes("abc"),
         textBytes("aXcde"),
         100000,
         {{1, 0x62, 0x58}, {3, 0, 0x64}, {4, 0, 0x65}}},
        {"identical", textBytes("abc"), textBytes("abc"), 100000, {}},
        {"both empty", {}, {}, 100000, {}},
        {"a empty, b one zero byte", {}, {0}, 100000, {{0, 0, 0}}},
        {"a longer than b",
         textBytes("abcde"),
         textBytes("aXc"),
         100000,
         {{1, 'b', 'X'}, {3, 'd', 0}, {4, 'e', 0}}},
        {"zero bytes of a's surplus", {7, 0, 0}, {7}, 100000, {{1, 0, 0}, {2, 0, 0}}},
        {"zero bytes of b's surplus", {7}, {7, 0, 9}, 100000, {{1, 0, 0}, {2, 0, 9}}},
        {"a empty, b has bytes", {}, {1, 2}, 100000, {{0, 0, 1}, {1, 0, 2}}},
        {"limit 0", textBytes("abc"), textBytes("xyz!"), 0, {}},
        {"limit inside the common length",
         textBytes("abcd"),
         textBytes("wxyzEF"),
         2,
         {{0, 'a', 'w'}, {1, 'b', 'x'}}},
        {"limit reached at the end of the common length",
         textBytes("ab"),
         textBytes("xyEF"),
         2,
         {{0, 'a', 'x'}, {1, 'b', 'y'}}},
        {"limit inside b's surplus",
         textBytes("ab"),
         textBytes("aXEFG"),
         2,
         {{1, 'b', 'X'}, {2, 0, 'E'}}},
        {"limit inside a's surplus",
         textBytes("abEFG"),
         textBytes("aX"),
         3,
         {{1, 'b', 'X'}, {2, 'E', 0}, {3, 'F', 0}}},
        {"limit above the count",
         textBytes("ab"),
         textBytes("ba"),
         5,
         {{0, 'a', 'b'}, {1, 'b', 'a'}}},
    };
    for (const DiffCase& c : cases) {
        SCOPED_TRACE(c.name);
        expectDiff(c.a, c.b, c.limit, c.expected);
    }
}

TEST(DiffBytesTest, FindsEveryDifferenceAcrossLongEqualStretches) {
    ByteBuffer a(3 * 4096 + 100, 0x5A);
    ByteBuffer b = a;
    const Entries expected = {{0, 0x5A, 1},     {4095, 0x5A, 2}, {4096, 0x5A, 3},
                              {4097, 0x5A, 4},  {8191, 0x5A, 5}, {12287, 0x5A, 6},
                              {12288, 0x5A, 7}, {12387, 0x5A, 8}};
    for (const DiffEntry& entry : expected) {
        b[entry.offset] = entry.byteB;
    }
    EXPECT_EQ(diffBytes(a, b, 100000), expected);
    EXPECT_EQ(diffBytes(a, b, 3), Entries(expected.begin(), expected.begin() + 3));
}

// Differences scattered at random, now and then in clusters, over lengths that end anywhere in
// the blocks that equal stretches are skipped by.
TEST(DiffBytesTest, AgreesWithAPlainComparison) {
    std::mt19937 random(3);
    for (int round = 0; round < 300; ++round) {
        ByteBuffer a(random() % 20000, 0);
        for (auto& byte : a) {
            byte = static_cast<std::uint8_t>(random());
        }
        ByteBuffer b = a;
        for (std::size_t changes = random() % 12; changes > 0 && !b.empty(); --changes) {
            const std::size_t at = random() % b.size();
            for (std::size_t i = at; i < std::min(b.size(), at + 1 + random() % 3); ++i) {
                b[i] ^= static_cast<std::uint8_t>(1 + random() % 255);
            }
        }
        // B is now and then shorter, so that A has a surplus.
        b.erase(
            b.end() - static_cast<std::ptrdiff_t>(std::min<std::size_t>(b.size(), random() % 3)),
            b.end());
        Entries expected;
        for (std::size_t i = 0; i < std::max(a.size(), b.size()); ++i) {
            const std::uint8_t byteA = i < a.size() ? a[i] : 0;
            const std::uint8_t byteB = i < b.size() ? b[i] : 0;
            if (i >= a.size() || i >= b.size() || byteA != byteB) {
                expected.push_back({i, byteA, byteB});
            }
        }
        ASSERT_EQ(diffBytes(a, b, 100000), expected) << "round " << round;
        if (round % 30 == 0) {
            SCOPED_TRACE("round " + std::to_string(round));
            expectDiff(a, b, 100000, expected);
        }
    }
}

TEST(DiffBytesTest, FilesThatDifferEverywhereStopAtTheLimit) {
    const ByteBuffer a(300000, 1);
    const ByteBuffer b(300001, 2);
    const Entries entries = diffBytes(a, b, 100000);
    ASSERT_EQ(entries.size(), 100000u);
    EXPECT_EQ(entries.back(), (DiffEntry{99999, 1, 2}));
    EXPECT_EQ(diffBytes(a, b, UINT64_MAX).size(), 300001u);
}

TEST(DiffFilesTest, MissingFilesReadAsEmpty) {
    const auto dir = std::filesystem::temp_directory_path() /
                     ("tessaloom-diff-" + std::to_string(std::random_device{}()));
    std::filesystem::create_directories(dir);
    const std::string present = (dir / "present").string();
    const std::string missing = (dir / "missing").string();
    std::ofstream(present, std::ios::binary) << "ab";
    EXPECT_EQ(diffFiles(missing, present, 100000), (Entries{{0, 0, 'a'}, {1, 0, 'b'}}));
    EXPECT_EQ(diffFiles(present, missing, 100000), (Entries{{0, 'a', 0}, {1, 'b', 0}}));
    EXPECT_EQ(diffFiles(missing, missing, 100000), Entries{});
    EXPECT_EQ(diffFiles(present, present, 100000), Entries{});
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace tessaloom
