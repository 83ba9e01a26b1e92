#include "engine/patch.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <new>
#include <random>
#include <stdexcept>
#include <vector>

#include "engine/chunked_file.h"
#include "engine/file_io.h"
#include "engine/file_io_fixture.h"
#include "engine/output_file.h"
#include "engine/patch_list.h"
#include "support/in_memory.h"

namespace tessaloom {
namespace {

using Offsets = std::vector<std::uint64_t>;

TEST(FindPatternOffsetsTest, ListsOverlappingOccurrences) {
    const struct {
        ByteBuffer data;
        ByteBuffer pattern;
        Offsets expected;
    } cases[] = {
        {{0x41, 0x41, 0x41, 0x42, 0x41, 0x41}, {0x41, 0x41}, {0, 1, 4}},
        {{0x41, 0x41, 0x41, 0x41}, {0x41, 0x41}, {0, 1, 2}},
        {{1, 2, 3}, {1, 2, 3}, {0}},
        {{1, 2, 3}, {1, 2, 3, 4}, {}},
        {{1, 2, 3}, {}, {}},
        {{}, {1}, {}},
        {{0, 0, 1, 0, 1}, {0, 1}, {1, 3}},
        {{7, 0, 7}, {7}, {0, 2}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.data) + " / " +
                     ::testing::PrintToString(c.pattern));
        EXPECT_EQ(findPatternOffsets(c.data, c.pattern), c.expected);
        forEachChunkSize(c.data, [&c](FileReader& reader, const TemporaryFile&) {
            EXPECT_EQ(findPatternOffsets(reader, c.pattern), c.expected);
        });
    }
}

DiffEntry patch(std::uint64_t offset, std::uint8_t byteB) {
    return {offset, 0xEE, byteB};
}

TEST(ApplyPatchesTest, WritesInListOrderAndExtendsWithZeros) {
    const struct {
        const char* name;
        ByteBuffer data;
        std::vector<DiffEntry> patches;
        ByteBuffer expected;
    } cases[] = {
        {"worked example",
         {0x41, 0x42},
         {patch(1, 0x5A), patch(4, 0x21), patch(1, 0x59)},
         {0x41, 0x59, 0x00, 0x00, 0x21}},
        {"empty input", {}, {patch(3, 0x07), patch(1, 0x09)}, {0x00, 0x09, 0x00, 0x07}},
        {"empty input, empty list", {}, {}, {}},
        {"empty list", {1, 2, 3}, {}, {1, 2, 3}},
        {"offset at the end appends one byte", {1, 2}, {patch(2, 9)}, {1, 2, 9}},
        {"offset past the end", {1}, {patch(3, 9)}, {1, 0, 0, 9}},
        {"last record for an offset wins", {1, 2}, {patch(0, 5), patch(0, 6)}, {6, 2}},
        {"ascending past the end", {1}, {patch(1, 2), patch(2, 3), patch(4, 5)}, {1, 2, 3, 0, 5}},
        {"descending past the end", {1}, {patch(4, 5), patch(2, 3)}, {1, 0, 3, 0, 5}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ByteBuffer data = c.data;
        applyPatches(data, c.patches);
        EXPECT_EQ(data, c.expected);
        forEachChunkSize(c.data, [&c](FileReader& reader, const TemporaryFile& file) {
            EXPECT_TRUE(applyPatches(reader, c.patches, file.sibling("out")));
            EXPECT_EQ(loadFile(file.sibling("out")), c.expected);
        });
    }
}

// Long lists with many records for the same offsets, more than fit any small table, against
// the records applied one by one.
TEST(ApplyPatchesTest, AgreesWithApplyingTheRecordsOneByOne) {
    std::mt19937 random(3);
    for (int round = 0; round < 50; ++round) {
        const ByteBuffer input(random() % 40, 0x11);
        std::vector<DiffEntry> patches;
        ByteBuffer expected = input;
        for (int i = 0; i < 300; ++i) {
            const std::uint64_t offset = random() % 8 == 0 ? 5 : random() % 60;
            patches.push_back(patch(offset, static_cast<std::uint8_t>(random())));
            if (offset >= expected.size()) {
                expected.resize(offset + 1);
            }
            expected[offset] = patches.back().byteB;
        }
        ByteBuffer data = input;
        applyPatches(data, patches);
        ASSERT_EQ(data, expected) << "round " << round;
    }
}

// A plan made from a patch list (lines in and out of order, apart, adjacent, overlapping) writes
// what its lines applied one by one in list order write, into any piece of the data, and finds
// the next patch from any position.
TEST(PatchPlanTest, FromAListAgreesWithItsLinesOneByOne) {
    std::mt19937 random(11);
    for (int round = 0; round < 200; ++round) {
        const bool overlapping = round % 2 == 0;
        std::string text;
        const std::size_t inputSize = static_cast<std::size_t>(random() % 50);
        ByteBuffer expected(inputSize, 0x11);
        std::uint64_t next = random() % 4;
        for (int line = 0, lines = static_cast<int>(random() % 12); line < lines; ++line) {
            const std::uint64_t offset = overlapping ? random() % 70 : next;
            const std::size_t count = 1 + random() % 5;
            next = offset + count + random() % 3;
            text += std::to_string(offset) + ":";
            for (std::size_t i = 0; i < count; ++i) {
                const auto value = static_cast<std::uint8_t>(random());
                text += ' ';
                text += std::to_string(value % 10);
                text += std::to_string(value % 7);
                if (offset + i >= expected.size()) {
                    expected.resize(offset + i + 1);
                }
                expected[offset + i] = static_cast<std::uint8_t>((value % 10) * 16 + value % 7);
            }
            text += "\n";
        }
        PatchListParser parser;
        parser.write(ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
        const PatchList list = parser.finish();
        ASSERT_FALSE(list.error) << text;
        const PatchPlan plan(list);
        ASSERT_EQ(plan.patchedLength(inputSize, 1000), expected.size()) << text;
        for (std::size_t piece = 1; piece <= 9; ++piece) {
            ByteBuffer data(inputSize, 0x11);
            data.resize(expected.size());
            for (std::size_t at = 0; at < data.size(); at += piece) {
                plan.apply(std::span(data).subspan(at, std::min(piece, data.size() - at)), at);
            }
            ASSERT_EQ(data, expected) << text << "pieces of " << piece;
        }
        for (std::uint64_t at = 0; at <= expected.size(); ++at) {
            std::optional<std::uint64_t> written;
            for (const DiffEntry& record : list.bytes) {
                if (record.offset >= at && (!written || record.offset < *written)) {
                    written = record.offset;
                }
            }
            ASSERT_EQ(plan.nextPatch(at), written) << text << "from " << at;
        }
    }
}

// An input that fails on its very first read is no empty input: the copy stops with the reason
// instead of passing the patches alone for the patched file.
TEST(ApplyPatchesTest, AFirstReadThatFailsIsAReadError) {
    const ByteBuffer data(100, 0x41);
    FileReader reader("bad disk", std::make_unique<StreamOf>(data, SIZE_MAX, 0));
    OutputFile output("/dev/null");
    EXPECT_THROW(applyPatches(reader, PatchPlan(std::vector{patch(3, 7)}), output), ReadError);
}

TEST(ApplyPatchesTest, UnreachableOffsetsThrow) {
    std::vector<std::uint64_t> offsets = {UINT64_MAX, std::uint64_t{1} << 63};
#ifndef TESSALOOM_SANITIZED
    // Within the buffer type's maximum size but beyond any memory: std::bad_alloc, which a
    // sanitized allocator never throws (it ends the program instead).
    offsets.push_back(std::uint64_t{1} << 62);
#endif
    for (const std::uint64_t offset : offsets) {
        for (ByteBuffer data : {ByteBuffer{}, ByteBuffer{1, 2}}) {
            try {
                applyPatches(data, std::vector<DiffEntry>{patch(0, 9), patch(offset, 1)});
                ADD_FAILURE() << "no exception for offset " << offset;
            } catch (const std::length_error&) {
            } catch (const std::bad_alloc&) {
            }
        }
    }
}

using PatchFileTest = FileIoTest;

TEST_F(PatchFileTest, FindsOffsetsInAFile) {
    ASSERT_TRUE(saveFile(path("in"), ByteBuffer{0x41, 0x41, 0x41, 0x42, 0x41, 0x41}));
    EXPECT_EQ(findPatternOffsets(path("in"), ByteBuffer{0x41, 0x41}), (Offsets{0, 1, 4}));
    EXPECT_EQ(findPatternOffsets(path("missing"), ByteBuffer{0x41}), Offsets{});
}

TEST_F(PatchFileTest, WritesTheOutputWhateverTheInput) {
    ASSERT_TRUE(saveFile(path("in"), ByteBuffer{0x41, 0x42}));
    EXPECT_TRUE(
        applyPatches(path("in"), {patch(1, 0x5A), patch(4, 0x21), patch(1, 0x59)}, path("out")));
    EXPECT_EQ(loadFile(path("out")), (ByteBuffer{0x41, 0x59, 0x00, 0x00, 0x21}));

    EXPECT_TRUE(applyPatches(path("missing"), {}, path("empty")));
    EXPECT_TRUE(std::filesystem::exists(path("empty")));
    EXPECT_EQ(std::filesystem::file_size(path("empty")), 0u);

    EXPECT_TRUE(applyPatches(path("missing"), {patch(2, 7)}, path("fresh")));
    EXPECT_EQ(loadFile(path("fresh")), (ByteBuffer{0, 0, 7}));

    EXPECT_TRUE(applyPatches(path("in"), {patch(0, 0x30)}, path("in")));
    EXPECT_EQ(loadFile(path("in")), (ByteBuffer{0x30, 0x42}));

    EXPECT_FALSE(applyPatches(path("in"), {}, path("no-such-folder/out")));
}

TEST_F(PatchFileTest, UnreachableOffsetLeavesTheOutputAlone) {
    ASSERT_TRUE(saveFile(path("in"), ByteBuffer{1, 2, 3}));
    ASSERT_TRUE(saveFile(path("existing"), ByteBuffer{4, 5}));
    const std::vector<DiffEntry> patches = {patch(0, 9), patch(UINT64_MAX, 1)};
    EXPECT_THROW(applyPatches(path("in"), patches, path("out")), std::length_error);
    EXPECT_THROW(applyPatches(path("missing"), patches, path("out")), std::length_error);
    EXPECT_FALSE(std::filesystem::exists(path("out")));
    EXPECT_THROW(applyPatches(path("in"), patches, path("existing")), std::length_error);
    EXPECT_EQ(loadFile(path("existing")), (ByteBuffer{4, 5}));
    EXPECT_EQ(loadFile(path("in")), (ByteBuffer{1, 2, 3}));
}

}  // namespace
}  // namespace tessaloom
