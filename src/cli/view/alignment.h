// Two files aligned by the engine's alignFiles, as the viewer's rows: each hunk starts a row of
// its own, so that a row shows the bytes of A and of B that the alignment pairs, and the side
// that has no bytes there (an insertion in B, a deletion from A) shows a gap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/delta.h"
#include "engine/types.h"

namespace tessaloom::cli::view {

class Document;

// The bytes of each file that one row of the viewer shows.
inline constexpr std::uint64_t kBytesPerRow = 16;

// One row of the aligned view.
struct AlignedRow {
    std::size_t hunk = 0;  // index into Alignment::hunks()
    // Where the row's first byte lies in A and in B; none on the side that has no bytes here.
    std::optional<std::uint64_t> a;
    std::optional<std::uint64_t> b;
    std::size_t count = 0;  // bytes in the row, 1 to 16

    bool operator==(const AlignedRow&) const = default;
};

class Alignment {
  public:
    // The hunks held at most: past them, a hunk whose bytes pair A's and B's and go on from the
    // last one's joins it as changed, so that two files that differ every few bytes stay within a
    // few tens of MiB. The hunks that shift or move bytes are one per anchor of B at most.
    static constexpr std::size_t kMostHunks = std::size_t{1} << 20;

    Alignment() = default;
    // Takes the next hunk, in B's order; those of no bytes are dropped.
    void add(const DeltaHunk& hunk);

    const std::vector<DeltaHunk>& hunks() const { return hunks_; }
    std::uint64_t rows() const { return rows_; }
    // The row'th row, which must be below rows().
    AlignedRow row(std::uint64_t row) const;
    std::uint64_t firstRow(std::size_t hunk) const { return firstRows_[hunk]; }
    // Where in the rows (a row times 16 plus the column) the byte at offset of A (file 0) or of B
    // (file 1) is shown; none where no hunk shows it.
    std::optional<std::uint64_t> positionOf(std::size_t file, std::uint64_t offset) const;
    // The first hunk after hunk (before it, backwards) that is not equal.
    std::optional<std::size_t> nextDifference(std::size_t hunk, bool forward) const;

  private:
    std::vector<DeltaHunk> hunks_;
    std::vector<std::uint64_t> firstRows_;
    std::uint64_t rows_ = 0;
};

// Whether a hunk of this kind shows bytes of A (file 0) or of B (file 1).
bool hunkHas(DeltaHunk::Op op, std::size_t file);

// What --delta says of the hunk, for the status line: "inserted A:0x5000 B:0x5040, 0x10 bytes".
std::string hunkText(const DeltaHunk& hunk);

// Aligns the documents as edited with alignFiles, telling progress as it does. Throws ReadError
// when either cannot be read, or when progress throws it to stop.
Alignment alignDocuments(Document& a, Document& b, const ProgressCallback& progress);

}  // namespace tessaloom::cli::view
