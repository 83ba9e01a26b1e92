// Patch lists written as text, one change a line, and the check of the bytes they expect to
// replace.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

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

// The changes of a patch list, byte by byte in list order: each DiffEntry holds an offset, the
// byte that OLD expects there (byteA, 0 where the line gave no OLD) and the byte written (byteB),
// so that it serves PatchPlan as it is.
struct PatchList {
    std::vector<DiffEntry> bytes;
    std::vector<PatchLine> lines;
    std::optional<PatchListError> error;  // the first wrong line; the list is then incomplete
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
class PatchListParser {
  public:
    // The next bytes of the text; false once a line is wrong, after which the rest is ignored.
    bool write(ByteView text);
    // Takes the last line, also without a line end, and hands over the list.
    PatchList finish();

  private:
    void takeLine(std::string_view line);

    PatchList list_;
    std::string partial_;  // the line that the pieces so far end in
    std::uint64_t lineNumber_ = 0;
};

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
