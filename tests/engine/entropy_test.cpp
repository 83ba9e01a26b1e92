#include "engine/entropy.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "engine/chunked_file.h"
#include "engine/text_bytes.h"
#include "support/in_memory.h"

namespace tessaloom {
namespace {

// count bytes running through values first, first + 1, ... and wrapping after span values.
ByteBuffer cycling(std::size_t count, std::size_t span, std::uint8_t first = 0) {
    ByteBuffer data(count);
    for (std::size_t i = 0; i < count; ++i) {
        data[i] = static_cast<std::uint8_t>(first + i % span);
    }
    return data;
}

// Bytes that vary from block to block in both values and spread.
ByteBuffer scrambled(std::size_t count) {
    ByteBuffer data(count);
    std::uint32_t state = 12345;
    for (std::size_t i = 0; i < count; ++i) {
        state = state * 1103515245u + 12345u;
        const std::uint32_t spread = 1u + static_cast<std::uint32_t>(i / 1024 * 37 % 256);
        data[i] = static_cast<std::uint8_t>((state >> 16) % spread);
    }
    return data;
}

const ByteBuffer kTinyPng{0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A, 0x00, 0x00, 0x00,
                          0x0D, 0x49, 0x48, 0x44, 0x52, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00,
                          0x00, 0x01, 0x08, 0x06, 0x00, 0x00, 0x00, 0x1F, 0x15, 0xC4, 0x89};

double entropyOf(const ByteBuffer& data) {
    return computeEntropy(data.data(), data.size());
}

// The analysis of data read from a file at every chunk size, with and without the block
// entropies, must be that of the one buffer to the last bit.
void expectSameAnalysisFromAFile(const ByteBuffer& data) {
    const AnalysisReport whole = analyzeBytes("data", data);
    forEachChunkSize(data, [&](FileReader& reader, const TemporaryFile& file) {
        const AnalysisReport read = analyzeFile(reader);
        EXPECT_EQ(read.path, file.path());
        EXPECT_EQ(read.fileSize, whole.fileSize);
        EXPECT_EQ(read.entropy, whole.entropy);
        EXPECT_EQ(read.typeName, whole.typeName);
        EXPECT_EQ(read.headers.size(), whole.headers.size());
        EXPECT_EQ(read.blockEntropies, whole.blockEntropies);
        FileReader again(file.path(), reader.chunkSize());
        const AnalysisReport skipped = analyzeFile(again, BlockEntropies::kSkipped);
        EXPECT_EQ(skipped.entropy, whole.entropy);
        EXPECT_TRUE(skipped.blockEntropies.empty());
    });
}

TEST(EntropyTest, KnownValues) {
    ByteBuffer ab;
    for (int i = 0; i < 50; ++i) {
        ab.push_back('A');
        ab.push_back('B');
    }
    EXPECT_EQ(computeEntropy(nullptr, 100), 0.0);
    EXPECT_EQ(computeEntropy(kTinyPng.data(), 0), 0.0);
    EXPECT_EQ(entropyOf(ByteBuffer(100, 'x')), 0.0);
    EXPECT_EQ(entropyOf(ab), 1.0);
    EXPECT_EQ(entropyOf(cycling(256, 256)), 8.0);
    EXPECT_EQ(entropyOf(textBytes("abc")), 1.584962500721156);
    EXPECT_EQ(entropyOf(cycling(3000, 3)), 1.584962500721156);
    EXPECT_EQ(entropyOf(textBytes("abcdefgh")), 3.0);
}

// The order of the operations is fixed, so the result is the same to the last bit everywhere.
TEST(EntropyTest, WorkedExampleIsBitExact) {
    EXPECT_EQ(entropyOf(kTinyPng), 3.4983471493992453);
}

TEST(EntropyTest, AnalysisOfTheWorkedExample) {
    const AnalysisReport report = analyzeBytes("tiny.png", kTinyPng);
    EXPECT_EQ(report.path, "tiny.png");
    EXPECT_EQ(report.fileSize, 33u);
    EXPECT_EQ(report.entropy, 3.4983471493992453);
    EXPECT_EQ(report.typeName, "PNG Bitmap Image");
    ASSERT_EQ(report.headers.size(), 4u);
    EXPECT_EQ(report.headers[1].value, "1 x 1 pixels");
    EXPECT_EQ(report.blockEntropies, std::vector<double>{3.4983471493992453});
}

TEST(EntropyTest, EmptyDataIsAnEmptyFile) {
    const AnalysisReport report = analyzeBytes("nothing", {});
    EXPECT_EQ(report.path, "nothing");
    EXPECT_EQ(report.fileSize, 0u);
    EXPECT_EQ(report.entropy, 0.0);
    EXPECT_EQ(report.typeName, "Empty File");
    EXPECT_TRUE(report.headers.empty());
    EXPECT_TRUE(report.blockEntropies.empty());
}

TEST(EntropyTest, OneEntropyPerBlockOf1024Bytes) {
    struct Case {
        const char* name;
        ByteBuffer data;
        double entropy;
        std::vector<double> blocks;
    };
    ByteBuffer halves(1024, 0x00);
    halves.resize(2048, 0xFF);
    ByteBuffer lowThenHigh = cycling(1024, 128);
    const ByteBuffer high = cycling(1024, 128, 128);
    lowThenHigh.insert(lowThenHigh.end(), high.begin(), high.end());
    const Case cases[] = {
        {"1 byte", ByteBuffer(1, 7), 0.0, {0.0}},
        {"1024 bytes", cycling(1024, 2), 1.0, {1.0}},
        {"1025 bytes", cycling(1025, 2), entropyOf(cycling(1025, 2)), {1.0, 0.0}},
        {"2048 bytes", cycling(2048, 4), 2.0, {2.0, 2.0}},
        {"zeros then FF", halves, 1.0, {0.0, 0.0}},
        {"values 0-127 then 128-255", lowThenHigh, 8.0, {7.0, 7.0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const AnalysisReport report = analyzeBytes("data", c.data);
        EXPECT_EQ(report.entropy, c.entropy);
        EXPECT_EQ(report.blockEntropies, c.blocks);
        expectSameAnalysisFromAFile(c.data);
    }
}

// The analysis counts each block once and adds up the blocks' counts for the whole file; the
// results must still be exactly those of the entropy of each range on its own.
TEST(EntropyTest, BlockAndWholeEntropiesMatchTheDirectComputationBitForBit) {
    const ByteBuffer data = scrambled(40 * 1024 + 333);
    const AnalysisReport report = analyzeBytes("data", data);
    EXPECT_EQ(report.entropy, entropyOf(data));
    ASSERT_EQ(report.blockEntropies.size(), 41u);
    for (std::size_t block = 0; block < report.blockEntropies.size(); ++block) {
        const std::size_t start = block * 1024;
        const std::size_t length = std::min<std::size_t>(1024, data.size() - start);
        EXPECT_EQ(report.blockEntropies[block], computeEntropy(data.data() + start, length))
            << "block " << block;
    }
    expectSameAnalysisFromAFile(data);
}

// Blocks of one repeated value between varied ones, and 0 to 4 varied blocks after the last
// repeated one, in front of a short block or none: every way blocks can fall into the groups in
// which they are counted. Each block's entropy must still be exactly its entropy on its own, and
// the whole file's that of the same bytes in sorted order, whose blocks are counted differently.
TEST(EntropyTest, BlocksGiveTheSameBitsHoweverTheyAreGrouped) {
    const ByteBuffer varied = scrambled(40 * 1024);
    for (std::size_t blocks = 0; blocks < 14; ++blocks) {
        for (const std::size_t tail : {std::size_t{0}, std::size_t{333}}) {
            ByteBuffer data;
            for (std::size_t block = 0; block < blocks; ++block) {
                if (block % 5 == 2) {
                    data.insert(data.end(), 1024, static_cast<std::uint8_t>(block * 50));
                } else {
                    const auto from = varied.begin() + static_cast<std::ptrdiff_t>(block * 1024);
                    data.insert(data.end(), from, from + 1024);
                }
            }
            data.insert(data.end(), varied.begin(),
                        varied.begin() + static_cast<std::ptrdiff_t>(tail));
            SCOPED_TRACE(::testing::Message() << blocks << " blocks, tail " << tail);
            const AnalysisReport report = analyzeBytes("data", data);
            ASSERT_EQ(report.blockEntropies.size(), blocks + (tail != 0 ? 1 : 0));
            for (std::size_t block = 0; block < report.blockEntropies.size(); ++block) {
                const std::size_t start = block * 1024;
                const std::size_t length = std::min<std::size_t>(1024, data.size() - start);
                EXPECT_EQ(report.blockEntropies[block], computeEntropy(data.data() + start, length))
                    << "block " << block;
            }
            ByteBuffer sorted = data;
            std::sort(sorted.begin(), sorted.end());
            EXPECT_EQ(report.entropy, entropyOf(sorted));
        }
    }
}

TEST(EntropyTest, AnalyzeFileLoadsTheFileAndTreatsAMissingOneAsEmpty) {
    const auto path =
        std::filesystem::temp_directory_path() /
        ("tessaloom-entropy-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
    std::ofstream(path, std::ios::binary).write("abc", 3);
    const AnalysisReport report = analyzeFile(path.string());
    std::filesystem::remove(path);
    EXPECT_EQ(report.path, path.string());
    EXPECT_EQ(report.fileSize, 3u);
    EXPECT_EQ(report.entropy, 1.584962500721156);
    EXPECT_EQ(report.typeName, "Raw Binary");

    const AnalysisReport missing = analyzeFile(path.string());
    EXPECT_EQ(missing.fileSize, 0u);
    EXPECT_EQ(missing.typeName, "Empty File");
    EXPECT_TRUE(missing.blockEntropies.empty());
}

}  // namespace
}  // namespace tessaloom
