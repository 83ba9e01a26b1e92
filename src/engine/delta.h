// How one version of a file is made from another when bytes were inserted, deleted or moved: the
// two are aligned on anchors that their contents choose, so that an insertion near the start
// shifts nothing after it.
#pragma once

#include <cstdint>
#include <functional>

#include "byte_source.h"
#include "failure.h"
#include "types.h"

namespace tessaloom {

// One step from A to B. B is the hunks' bytes in their order: equal and moved hunks copy A's
// bytes from aOffset, changed and inserted hunks bring B's own from bOffset, deleted hunks bring
// nothing.
struct DeltaHunk {
    enum class Op : std::uint8_t {
        kEqual,     // A's bytes, in A's order
        kChanged,   // as many bytes of B in place of A's
        kInserted,  // bytes of B that A lacks; aOffset is where in A they go
        kDeleted,   // bytes of A that B lacks; bOffset is where in B they would have been
        kMoved,     // a block of A found elsewhere in B
    };
    Op op = Op::kEqual;
    std::uint64_t aOffset = 0;
    std::uint64_t bOffset = 0;
    std::uint64_t length = 0;
    bool operator==(const DeltaHunk&) const = default;
};

// The bytes of B (of A for deleted) each kind of hunk accounts for.
struct DeltaSummary {
    std::uint64_t equal = 0;
    std::uint64_t changed = 0;
    std::uint64_t inserted = 0;
    std::uint64_t deleted = 0;
    std::uint64_t moved = 0;
    std::uint64_t sizeA = 0;
    std::uint64_t sizeB = 0;
    // The index of A that the alignment held: one entry per this many bytes of A on average.
    std::uint64_t anchorSpacing = 0;
};

using DeltaHunkCallback = std::function<void(const DeltaHunk& hunk)>;

struct DeltaOptions {
    // Told as A is indexed and B is aligned against it: done counts the bytes of both.
    ProgressCallback progress;
    // Bytes between anchors on average, a power of two; 0 lets the larger file's size choose.
    std::uint64_t anchorSpacing = 0;
};

// Aligns b against a and hands on the hunks that turn A into B, in B's order, then returns the
// counts. Equal and moved hunks are byte for byte equal, each found from an anchor (a place whose
// preceding bytes choose it, in both files alike) and grown byte by byte both ways; what lies
// between them is changed where A and B have as many bytes there, else inserted and deleted.
// Memory: the anchors of A, one per few KiB (fewer for a large A, so that they stay within a few
// MiB per GiB), and one entry per block of B that matched. The failure where either cannot be
// read.
Result<DeltaSummary> alignFiles(ByteSource& a, ByteSource& b, const DeltaHunkCallback& onHunk,
                                const DeltaOptions& options = {});

}  // namespace tessaloom
