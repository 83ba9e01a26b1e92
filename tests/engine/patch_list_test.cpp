#include "engine/patch_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/chunked_file.h"
#include "engine/hex_text.h"
#include "engine/text_bytes.h"
#include "engine/xxh64.h"

namespace tessaloom {
namespace {

// The list's records as "offset:old:new" after the line of each, in decimal.
std::string shown(const PatchList& list) {
    std::string text;
    for (const PatchLine& line : list.lines) {
        text += std::to_string(line.line) + (line.checksOld ? "=" : "+");
        for (std::size_t i = line.firstByte; i < line.firstByte + line.byteCount; ++i) {
            const DiffEntry& byte = list.bytes[i];
            text += ' ';
            text += std::to_string(byte.offset) + ":" + std::to_string(byte.byteA) + ":" +
                    std::to_string(byte.byteB);
        }
        text += ";";
    }
    return text;
}

// Each text cut in pieces of every size gives the same list, or the same error.
TEST(PatchListParserTest, LinesAndErrors) {
    const std::pair<std::string, std::string> cases[] = {
        {"0x10: de ad\n# note\n\n7: 01 -> 02 # why\r\n", "1+ 16:0:222 17:0:173;4= 7:1:2;"},
        {"Comparing a and b...\nFound 2 byte differences:\n\n  Offset 0x1: 0x62 -> 0x58\n"
         "  Offset 0x3: 0x0 -> 0x64",
         "4= 1:98:88;5= 3:0:100;"},
        {"0: de:ad-be 0xf", "1+ 0:0:222 1:0:173 2:0:190 3:0:15;"},
        {"1: 02\n  ... (and 3 more differences)\n",
         "line 2: a --diff report that lists only its first differences cannot be applied"},
        {"\n0x: 01", "line 2: invalid OFFSET \"0x\""},
        {"-1: 01", "line 1: invalid OFFSET \"-1\""},
        {"18446744073709551616: 01", "line 1: invalid OFFSET \"18446744073709551616\""},
        {"9223372036854775806: 01 02",
         "line 1: the change ends past the largest possible file size"},
        {"1 02", "line 1: expected OFFSET: NEW or OFFSET: OLD -> NEW"},
        {"1:", "line 1: invalid NEW \"\""},
        {"1: ?? -> 00", "line 1: invalid OLD \"??\""},
        {"1: 0x100", "line 1: invalid NEW \"0x100\""},
        {"1: 01 02 -> 03", "line 1: OLD and NEW differ in length"},
        // What an error quotes of a line is cut and escaped, whatever the line holds.
        {"1: 01\x1b]2;owned\x07", "line 1: invalid NEW \"01\\x1B]2;owned\\x07\""},
        {"1: zz\rSUCCESS: Applied 1 changes",
         "line 1: invalid NEW \"zz\\x0DSUCCESS: Applied 1 changes\""},
        {"1: " + std::string(100, 'g'), "line 1: invalid NEW \"" + std::string(40, 'g') + "\"..."},
        {"\x9b" + std::string(60, '1') + ": 00",
         "line 1: invalid OFFSET \"\\x9B" + std::string(39, '1') + "\"..."},
        {"1: \xe2\x80\xae -> 00", "line 1: invalid OLD \"\\xE2\\x80\\xAE\""},
    };
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE(text);
        for (std::size_t size = 1; size <= text.size(); ++size) {
            PatchListParser parser;
            writeInPieces(textBytes(text), size, [&](ByteView piece) { parser.write(piece); });
            const PatchList list = parser.finish();
            ASSERT_EQ(list.error
                          ? "line " + std::to_string(list.error->line) + ": " + list.error->what
                          : shown(list),
                      expected)
                << "pieces of " << size;
        }
    }
}

// A line written by patchListLine reads back as the change it was made from.
TEST(PatchListLineTest, ReadsBackAsWritten) {
    const struct {
        std::uint64_t offset;
        std::string old;
        std::string replacement;
        std::string line;
    } cases[] = {
        {0, "0", "A", "0x0: 30 -> 41"},
        {0x1f0, "MZ", "PK", "0x1f0: 4d 5a -> 50 4b"},
        {0x7ffffffffffffffd, std::string(1, '\0'), "\xff", "0x7ffffffffffffffd: 00 -> ff"},
    };
    for (const auto& c : cases) {
        const std::string line =
            patchListLine(c.offset, textBytes(c.old), textBytes(c.replacement));
        EXPECT_EQ(line, c.line);
        PatchListParser parser;
        parser.write(textBytes(line));
        const PatchList list = parser.finish();
        ASSERT_FALSE(list.error) << line << ": " << list.error->what;
        ASSERT_EQ(list.bytes.size(), c.old.size());
        for (std::size_t i = 0; i < c.old.size(); ++i) {
            EXPECT_EQ(list.bytes[i], (DiffEntry{c.offset + i, static_cast<std::uint8_t>(c.old[i]),
                                                static_cast<std::uint8_t>(c.replacement[i])}));
        }
    }
}

// OLD is compared with the input as it is, 0 past its end; the first mismatch by offset is told.
TEST(OldBytesCheckTest, SeekableAndStreamedAgree) {
    const ByteBuffer input = textBytes("abcdef");
    const std::pair<std::string, std::string> cases[] = {
        {"1: 62 -> 00\n1: 62 -> 01\n6: 00 -> 01\n9: 00 00 -> 01 01", "none"},
        {"4: 65 66 -> 00 00\n0: 61 -> 00\n2: 00 -> 01", "line 3 at 2: 99 not 0"},
        {"7: 01 -> 00\n5: 66 -> 00\n3: 00 -> 00", "line 3 at 3: 100 not 0"},
        {"7: 01 -> 00", "line 1 at 7: 0 not 1"},
    };
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE(text);
        PatchListParser parser;
        parser.write(textBytes(text));
        const PatchList list = parser.finish();
        const auto told = [](const std::optional<PatchMismatch>& mismatch) {
            return mismatch ? "line " + std::to_string(mismatch->line) + " at " +
                                  std::to_string(mismatch->offset) + ": " +
                                  std::to_string(mismatch->found) + " not " +
                                  std::to_string(mismatch->expected)
                            : "none";
        };
        forEachChunkSize(input, [&](FileReader& reader, const TemporaryFile&) {
            EXPECT_EQ(told(checkOldBytes(reader, list)), expected);
            OldBytesCheck check(list);
            std::uint64_t position = 0;
            forEachChunk(reader, [&](ByteView piece) {
                check.check(piece, position);
                position += piece.size();
            });
            check.finish();
            EXPECT_EQ(told(check.mismatch()), expected);
        });
    }
}

}  // namespace
}  // namespace tessaloom

namespace tessaloom {
namespace {

// A delta list as "A size/checksum B size: steps", each step "A:offset+length" or the bytes it
// brings in hex, and the count of hunks that change something.
std::string shownDelta(const PatchList& list) {
    const DeltaPlan& plan = *list.delta;
    std::string text = "A " + std::to_string(plan.sizeA) + "/" + checksumText(plan.checksumA) +
                       " B " + std::to_string(plan.sizeB) + ":";
    for (const DeltaStep& step : plan.steps) {
        text += ' ';
        if (step.fromA) {
            text += "A:" + std::to_string(step.offset) + "+" + std::to_string(step.length);
            continue;
        }
        for (std::uint64_t i = 0; i < step.length; ++i) {
            appendHexByte(text, plan.data[static_cast<std::size_t>(step.offset + i)]);
        }
    }
    return text + "; " + std::to_string(plan.hunks) + " hunks";
}

const std::string kHeadA = "A: old, 16 bytes, XXH64 00000000000000ff\n";
const std::string kHeadB = "B: new, 12 bytes\n";

TEST(DeltaListTest, ReportsAndTheirFaults) {
    const std::string longData = "  00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f\n  10\n";
    const std::pair<std::string, std::string> cases[] = {
        {kHeadA + kHeadB +
             "equal    A:0x0 = B:0x0, 0x4 bytes\n"
             "changed  A:0x4 B:0x4, 0x2 bytes: 41 42 -> 61 62\n"
             "deleted  A:0x6 B:0x6, 0x6 bytes\n"
             "inserted A:0xc B:0x6, 0x1 bytes: 7a\n"
             "moved    A:0x0 -> B:0x7, 0x2 bytes\n"
             "equal    A:0xd = B:0x9, 0x3 bytes\n"
             "Summary: whatever it says\n",
         "A 16/00000000000000ff B 12: A:0+4 6162 7a A:0+2 A:13+3; 4 hunks"},
        // A name may hold the separators of the line, and '#'.
        {"A: a, b #1, 0 bytes, XXH64 ef46db3751d8e999\nB: c, 17 bytes\n"
         "inserted A:0x0 B:0x0, 0x11 bytes:\n" +
             longData,
         "A 0/ef46db3751d8e999 B 17: 000102030405060708090a0b0c0d0e0f10; 1 hunks"},
        {"A: x, 16 bytes, XXH64 0ff\n", "line 1: expected A: NAME, N bytes, XXH64 HEX"},
        {"A: x, -1 bytes, XXH64 00000000000000ff\n",
         "line 1: expected A: NAME, N bytes, XXH64 HEX"},
        {kHeadA + "equal    A:0x0 = B:0x0, 0x4 bytes\n", "line 2: expected B: NAME, N bytes"},
        {kHeadA, "line 1: expected B: NAME, N bytes"},
        {kHeadA + kHeadB + "0x0: 41\n",
         "line 3: expected a hunk: equal, changed, inserted, deleted or moved"},
        {kHeadA + kHeadB + "equal    A:0x0 B:0x0, 0x4 bytes\n",
         "line 3: expected equal A:0xOFFSET = B:0xOFFSET, 0xLENGTH bytes"},
        {kHeadA + kHeadB + "equal    A:0x0 = B:0x0, 0x0 bytes\n",
         "line 3: expected equal A:0xOFFSET = B:0xOFFSET, 0xLENGTH bytes"},
        {kHeadA + kHeadB + "equal    A:0xd = B:0x0, 0x4 bytes\n",
         "line 3: the hunk lies past the end of A (16 bytes)"},
        {kHeadA + kHeadB + "moved    A:0xffffffffffffffff -> B:0x0, 0x2 bytes\n",
         "line 3: the hunk lies past the end of A (16 bytes)"},
        {kHeadA + kHeadB + "equal    A:0x0 = B:0x1, 0x4 bytes\n",
         "line 3: the hunk starts at B:0x1 where the hunks before end at B:0x0"},
        {kHeadA + kHeadB + "equal    A:0x0 = B:0x0, 0x10 bytes\n",
         "line 3: the hunks run past B's 12 bytes"},
        {kHeadA + kHeadB + "equal    A:0x0 = B:0x0, 0x4 bytes\n",
         "line 3: the hunks make 4 bytes of B's 12"},
        {kHeadA + kHeadB + "inserted A:0x0 B:0x0, 0x2 bytes: 41\n",
         "line 3: the hunk's bytes are not 2 bytes"},
        {kHeadA + kHeadB + "inserted A:0x0 B:0x0, 0x2 bytes: 41 -> 42\n",
         "line 3: expected inserted A:0xOFFSET B:0xOFFSET, 0xLENGTH bytes: BYTES"},
        {kHeadA + kHeadB + "inserted A:0x0 B:0x0, 0xc bytes\n",
         "line 3: expected inserted A:0xOFFSET B:0xOFFSET, 0xLENGTH bytes: BYTES"},
        {kHeadA + "B: new, 17 bytes\ninserted A:0x0 B:0x0, 0x11 bytes:\n  00 01\n",
         "line 4: the list ends 15 bytes before the hunk's bytes do"},
        {kHeadA + "B: new, 17 bytes\ninserted A:0x0 B:0x0, 0x11 bytes:\nequal    A:0x0\n",
         "line 4: expected a line of 17 more bytes of the hunk before"},
        {kHeadA + "B: new, 17 bytes\ninserted A:0x0 B:0x0, 0x11 bytes:\n" +
             longData.substr(0, longData.find('\n') + 1) + "  10 11\n",
         "line 5: more bytes than the hunk before holds"},
    };
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE(text);
        for (std::size_t size = 1; size <= text.size(); size += 7) {
            PatchListParser parser;
            writeInPieces(textBytes(text), size, [&](ByteView piece) { parser.write(piece); });
            const PatchList list = parser.finish();
            ASSERT_EQ(list.error
                          ? "line " + std::to_string(list.error->line) + ": " + list.error->what
                          : shownDelta(list),
                      expected)
                << "pieces of " << size;
        }
    }
}

// Every hunk line deltaHunkLine writes reads back as the hunk it was made from.
TEST(DeltaListTest, HunkLinesReadBack) {
    const ByteBuffer old = {1, 2, 3};
    const ByteBuffer now = {7, 8, 9};
    const DeltaHunk hunks[] = {
        {DeltaHunk::Op::kEqual, 0, 0, 5},   {DeltaHunk::Op::kChanged, 5, 5, 3},
        {DeltaHunk::Op::kDeleted, 8, 8, 2}, {DeltaHunk::Op::kInserted, 10, 8, 3},
        {DeltaHunk::Op::kMoved, 0, 11, 4},
    };
    std::string text = deltaHeadLine('A', "a\nb", 12, 0xabc) + "\n" +
                       deltaHeadLine('B', "c", 15, std::nullopt) + "\n";
    EXPECT_EQ(text, "A: a\\x0Ab, 12 bytes, XXH64 0000000000000abc\nB: c, 15 bytes\n");
    for (const DeltaHunk& hunk : hunks) {
        text += deltaHunkLine(hunk, old, now) + "\n";
    }
    PatchListParser parser;
    parser.write(textBytes(text));
    const PatchList list = parser.finish();
    ASSERT_FALSE(list.error) << list.error->what;
    EXPECT_EQ(shownDelta(list), "A 12/0000000000000abc B 15: A:0+5 070809 070809 A:0+4; 4 hunks");
    EXPECT_EQ(deltaDataLine(now), "  07 08 09");
}

}  // namespace
}  // namespace tessaloom
