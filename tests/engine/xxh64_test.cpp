#include "engine/xxh64.h"

#include <gtest/gtest.h>

namespace tessaloom {
namespace {

ByteBuffer pattern(std::size_t length) {
    ByteBuffer bytes(length);
    for (std::size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 31 + 7);
    }
    return bytes;
}

// What `xxhsum -H1` prints for pattern(length): lengths about each of the stripes, words and tail
// bytes that the algorithm takes apart.
struct Known {
    std::size_t length;
    std::uint64_t checksum;
};
constexpr Known kKnown[] = {
    {0, 0xef46db3751d8e999},    {1, 0xa96c7f0ce858bbb7},    {3, 0x56e6957632a487f9},
    {4, 0xc60d15b1e3ff8f04},    {7, 0xafbefc3d6c6f9a8e},    {8, 0x3da5c7aa269683e0},
    {31, 0x4a74f3a1a39ad4a1},   {32, 0x8d57d6a4671cc43d},   {33, 0x62c9fd21ed857664},
    {63, 0x5c320a0d2707057f},   {64, 0x7bbabbc45729d17e},   {100, 0xefa0ad2d3e70c151},
    {1000, 0x99594f4828043d35}, {4097, 0xd42496bbbecacb1d},
};

TEST(Xxh64Test, MatchesXxhsumWhereverThePiecesSplit) {
    for (const Known& known : kKnown) {
        SCOPED_TRACE("length " + std::to_string(known.length));
        const ByteBuffer bytes = pattern(known.length);
        for (std::size_t split = 0; split <= std::min<std::size_t>(known.length, 70); ++split) {
            Xxh64 checksum;
            checksum.update(ByteView(bytes).first(split));
            checksum.update(ByteView(bytes).subspan(split));
            ASSERT_EQ(checksum.digest(), known.checksum) << "split at " << split;
        }
        Xxh64 byteByByte;
        for (const std::uint8_t byte : bytes) {
            byteByByte.update(ByteView(&byte, 1));
        }
        EXPECT_EQ(byteByByte.digest(), known.checksum);
        SpanSource source(bytes);
        const Result<std::uint64_t> whole = checksumOf(source);
        ASSERT_TRUE(whole.ok());
        EXPECT_EQ(*whole, known.checksum);
    }
    EXPECT_EQ(checksumText(0xef46db3751d8e999), "ef46db3751d8e999");
    EXPECT_EQ(checksumText(0x1f), "000000000000001f");
}

}  // namespace
}  // namespace tessaloom
