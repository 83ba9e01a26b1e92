// Patch lists written as text, one change a line, and the check of the bytes they expect to
// replace.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "delta.h"
#include "types.h"

namespace tessaloom {

class FileReader;

// One line of a patch list that changes bytes: its number (from 1), and where its bytes lie in
// PatchList::bytes.
struct PatchLine {
    std::uint64_t line = 0;
    std::size_t firstByte = 0;
    std::size_t byteCount = 0;
    bool checksOld = false;  // the line gave OLD, so IN must hold it
};

// Why a line of a patch list cannot be used.
struct PatchListError {
    std::uint64_t line = 0;
    std::string what;
};

// A list that rebuilds one file from another, as --delta writes it: it names A by size and
// checksum, and B is its steps' bytes in order, each a stretch of A or bytes that the list holds.
struct DeltaStep {
    std::uint64_t line = 0;
    bool fromA = false;  // A's bytes from offset, else DeltaPlan::data's
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
};

struct DeltaPlan {
    std::uint64_t sizeA = 0;
    std::uint64_t checksumA = 0;  // XXH64
    std::uint64_t sizeB = 0;
    std::uint64_t hunks = 0;  // lines that change something: all but the equal ones
    std::vector<DeltaStep> steps;
    ByteBuffer data;
};

// The changes of a patch list, byte by byte in list order: each DiffEntry holds an offset, the
// byte that OLD expects there (byteA, 0 where the line gave no OLD) and the byte written (byteB),
// so that it serves PatchPlan as it is.
struct PatchList {
    std::vector<DiffEntry> bytes;
    std::vector<PatchLine> lines;
    std::optional<PatchListError> error;  // the first wrong line; the list is then incomplete
    // Where the list is a delta report (its first line names A): its steps, and no bytes above.
    std::optional<DeltaPlan> delta;
};

// Reads a patch list that arrives in pieces of any size. Each line is one of:
//   OFFSET: NEW              NEW's bytes written from OFFSET on
//   OFFSET: OLD -> NEW       the same, where the input holds OLD there
// OFFSET is 0x and hex digits, or decimal digits; OLD and NEW are hex bytes as a find PATTERN
// gives them, without wildcards, or bytes written 0x and one or two hex digits, separated by
// blanks. What follows # is a comment; blank lines are skipped. The lines of a --diff report are
// taken as they stand: "Offset " before OFFSET, and its "Comparing" and "Found" lines, which are
// skipped; its closing "... (and N more differences)" is an error, since the changes it leaves
// out cannot be applied. A change must end before 2^63 - 1, where every file ends.
//
// A list whose first line is "A: NAME, N bytes, XXH64 HEX" is a delta report instead: "B: NAME, N
// bytes", then hunk lines in B's order (see deltaHunkLine), and changed and inserted bytes on the
// hunk's line or on the data lines that follow it; its "Summary:" line is skipped.
class PatchListParser {
  public:
    // The next bytes of the text; false once a line is wrong, after which the rest is ignored.
    bool write(ByteView text);
    // Takes the last line, also without a line end, and hands over the list.
    PatchList finish();

  private:
    void takeLine(std::string_view line);
    void takeDeltaLine(std::string_view text, std::string_view line);
    void finishDelta();

    PatchList list_;
    std::string partial_;  // the line that the pieces so far end in
    std::uint64_t lineNumber_ = 0;
    // In a delta report: how far the hunks have built B, and the bytes still to come on data
    // lines for the hunk before.
    std::uint64_t builtB_ = 0;
    std::uint64_t dataDue_ = 0;
    bool sawB_ = false;
};

// The head lines of a delta report: "A: NAME, N bytes, XXH64 HEX" where a checksum is given,
// else "B: NAME, N bytes". The name is made safe to show.
std::string deltaHeadLine(char side, std::string_view name, std::uint64_t size,
                          std::optional<std::uint64_t> checksum);

// Changed and inserted bytes up to this many stand on their hunk's line; more go on data lines
// of kDeltaLineBytes each.
inline constexpr std::size_t kDeltaInlineBytes = 16;
inline constexpr std::size_t kDeltaLineBytes = 32;

// A hunk's line: "equal    A:0x1000 = B:0x1040, 0x2000 bytes", "moved    A:0x9000 -> B:0x7000,
// 0x10000 bytes", "deleted  A:0x6000 B:0x6050, 0x100 bytes", "inserted A:0x5000 B:0x5040, 0x3
// bytes: 41 42 43", "changed  A:0x3040 B:0x3080, 0x2 bytes: 41 42 -> 61 62". A changed or
// inserted hunk longer than kDeltaInlineBytes ends in "bytes:", its bytes on the data lines
// after it; newBytes (B's) and oldBytes (A's, for a change) are those shown inline.
std::string deltaHunkLine(const DeltaHunk& hunk, ByteView oldBytes, ByteView newBytes);

// A data line: two blanks, then the bytes in hex.
std::string deltaDataLine(ByteView bytes);

// The line of a patch list that replaces old, at offset, with replacement (as long as old), as
// PatchListParser reads it: "0x1f0: 4d 5a -> 50 4b".
std::string patchListLine(std::uint64_t offset, ByteView old, ByteView replacement);

// Reads the patch list that reader reads, to its end or to its first wrong line.
PatchList readPatchList(FileReader& reader);

// An OLD byte that the input does not hold.
struct PatchMismatch {
    std::uint64_t line = 0;
    std::uint64_t offset = 0;
    std::uint8_t expected = 0;
    std::uint8_t found = 0;
};

// Compares the OLD bytes of a list with the input, fed in pieces at their positions in
// ascending order; the input holds 0 at and past its end. Every OLD is compared with the input as
// it is, not as earlier lines change it. The first mismatch by offset is the one reported.
class OldBytesCheck {
  public:
    explicit OldBytesCheck(const PatchList& list);

    // Compares the expected bytes that lie in bytes, which starts at position. False at a
    // mismatch.
    bool check(ByteView bytes, std::uint64_t position);
    // After the last piece: compares those left, which lie at or past the input's end, with 0.
    // False at a mismatch.
    bool finish();

    // The offset of the next byte to compare; empty when none is left.
    std::optional<std::uint64_t> next() const;
    const std::optional<PatchMismatch>& mismatch() const { return mismatch_; }

  private:
    struct Expected {
        std::uint64_t offset;
        std::uint64_t line;
        std::uint8_t byte;
    };
    bool compare(const Expected& expected, std::uint8_t found);

    std::vector<Expected> expected_;  // in ascending order of offsets
    std::size_t done_ = 0;
    std::optional<PatchMismatch> mismatch_;
};

// Compares every OLD byte of list with the seekable input that reader reads, reading only the
// stretches that hold them. Empty when all match. Throws ReadError when the input cannot be read.
std::optional<PatchMismatch> checkOldBytes(FileReader& reader, const PatchList& list);

}  // namespace tessaloom
