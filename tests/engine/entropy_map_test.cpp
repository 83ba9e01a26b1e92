#include "engine/entropy_map.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "engine/chunked_file.h"
#include "engine/text_bytes.h"

namespace tessaloom {
namespace {

ByteBuffer randomBytes(std::size_t size, unsigned seed, unsigned values = 256) {
    std::mt19937 random(seed);
    ByteBuffer bytes(size);
    for (auto& byte : bytes) {
        byte = static_cast<std::uint8_t>(random() % values);
    }
    return bytes;
}

ByteCounts countsOf(ByteView bytes) {
    ByteCounts counts{};
    for (const std::uint8_t byte : bytes) {
        ++counts[byte];
    }
    return counts;
}

TEST(ClassifyBytesTest, Examples) {
    ByteBuffer skewed = randomBytes(65536, 3);
    for (std::size_t i = 0; i < skewed.size(); i += 64) {
        skewed[i] = 0;  // 2% more zeros than random bytes have: high entropy, uneven spread
    }
    const std::pair<ByteBuffer, ByteClass> cases[] = {
        {ByteBuffer(1024, 0), ByteClass::kZeros},
        {ByteBuffer(5, 0xFF), ByteClass::kFill},
        {textBytes("Line one\r\n\tand two, 3 and 4!"), ByteClass::kText},
        {randomBytes(1024, 1), ByteClass::kCompressedEncrypted},
        {randomBytes(1 << 20, 2), ByteClass::kCompressedEncrypted},
        {skewed, ByteClass::kCompressed},
        {randomBytes(4096, 4, 40), ByteClass::kCodeData},
        {ByteBuffer{0, 1}, ByteClass::kCodeData},
    };
    for (const auto& [bytes, byteClass] : cases) {
        EXPECT_EQ(byteClassName(classifyBytes(countsOf(bytes), bytes.size())),
                  byteClassName(byteClass));
    }
}

// Rows, regions and edges come out the same however the data is cut, each row's entropy with
// the bits of computeEntropy on its bytes, each region's with those of all its bytes.
TEST(EntropyMapperTest, RowsRegionsAndEdges) {
    ByteBuffer data = randomBytes(5000, 7);
    data.insert(data.end(), 3000, 0);
    const ByteBuffer text = textBytes("just some text, ");
    for (int i = 0; i < 200; ++i) {
        data.insert(data.end(), text.begin(), text.end());
    }
    const ByteBuffer tail = randomBytes(2100, 8);
    data.insert(data.end(), tail.begin(), tail.end());
    // The row at 4096 holds random bytes and zeros: high entropy, unevenly spread.
    const std::vector<std::pair<std::uint64_t, std::string>> regions = {
        {0, "compressed/encrypted"}, {4096, "compressed"}, {5120, "zeros"},
        {7168, "code/data"},         {8192, "text"},       {11264, "compressed/encrypted"}};
    for (const std::size_t size :
         {std::size_t{1}, std::size_t{100}, std::size_t{1024}, data.size()}) {
        SCOPED_TRACE("pieces of " + std::to_string(size));
        std::vector<MapRow> rows;
        EntropyMapper mapper(1024, [&](const MapRow& row) { rows.push_back(row); });
        writeInPieces(data, size, [&](ByteView piece) { mapper.write(piece); });
        mapper.finish();
        ASSERT_EQ(rows.size(), 13u);
        for (const MapRow& row : rows) {
            const ByteView bytes = ByteView(data).subspan(row.offset, row.statistics.length);
            EXPECT_EQ(row.statistics.entropy, computeEntropy(bytes.data(), bytes.size()));
        }
        ASSERT_EQ(mapper.regions().size(), regions.size());
        for (std::size_t i = 0; i < regions.size(); ++i) {
            const MapRegion& region = mapper.regions()[i];
            EXPECT_EQ(region.offset, regions[i].first);
            EXPECT_EQ(byteClassName(region.byteClass), regions[i].second);
            const ByteView bytes = ByteView(data).subspan(region.offset, region.size);
            EXPECT_EQ(region.entropy, computeEntropy(bytes.data(), bytes.size()));
        }
        std::string edges;
        for (const EntropyEdge& edge : mapper.edges()) {
            edges += std::to_string(edge.offset) + (edge.rising ? "+ " : "- ");
        }
        EXPECT_EQ(edges, "0+ 5120- 11264+ ");
    }
    EXPECT_EQ(defaultRowSize(std::nullopt), 1u << 20);
    EXPECT_EQ(defaultRowSize(0), 1024u);
    EXPECT_EQ(defaultRowSize(64 * 1024 + 1), 2048u);
    EXPECT_EQ(defaultRowSize(std::uint64_t{6} << 30), std::uint64_t{96} << 20);
}

}  // namespace
}  // namespace tessaloom
