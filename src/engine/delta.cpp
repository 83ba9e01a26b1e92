#include "delta.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <optional>
#include <vector>

namespace tessaloom {

namespace {

// The bytes before an anchor that must be equal in both files for it to match, and that its
// fingerprint is taken over.
constexpr std::size_t kWindow = 32;
// The gear hash below depends on this many bytes before a position, and on none before them.
constexpr std::size_t kHashReach = 64;
// Equal runs shorter than this inside bytes that changed in place stay part of the change.
constexpr std::uint64_t kLeastEqual = 8;
constexpr std::size_t kBlock = std::size_t{1} << 20;
constexpr std::size_t kPiece = std::size_t{64} << 10;
// Anchors of the larger file at most, whatever its size: the spacing grows instead, so that the
// anchors of A and the matches in B stay within a few MiB.
constexpr std::uint64_t kMostAnchors = std::uint64_t{1} << 18;
constexpr std::uint64_t kLeastSpacing = 4096;

// One random number per byte value, fixed, for the rolling hash.
constexpr std::array<std::uint64_t, 256> makeGear() {
    std::array<std::uint64_t, 256> gear{};
    std::uint64_t state = 0x7E55A100D;
    for (std::uint64_t& value : gear) {
        state += 0x9E3779B97F4A7C15;
        std::uint64_t z = state;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EB;
        value = z ^ (z >> 31);
    }
    return gear;
}
constexpr std::array<std::uint64_t, 256> kGear = makeGear();

std::uint64_t fingerprint(const std::uint8_t* bytes) {
    std::uint64_t hash = 0x243F6A8885A308D3;
    for (std::size_t i = 0; i < kWindow; i += 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, bytes + i, 8);
        hash = (hash ^ word) * 0x9E3779B97F4A7C15;
        hash ^= hash >> 29;
    }
    return hash;
}

// Where anchors fall: after a byte whose rolling hash has its low bits clear, at least minimum
// and at most maximum bytes after the one before.
struct Chunking {
    std::uint64_t mask;
    std::uint64_t minimum;
    std::uint64_t maximum;
};

Chunking chunkingFor(std::uint64_t larger, std::uint64_t spacing) {
    if (spacing == 0) {
        spacing = std::max(kLeastSpacing, std::bit_ceil(larger / kMostAnchors + 1));
    }
    spacing = std::bit_ceil(std::max<std::uint64_t>(spacing, 2 * kHashReach));
    return {spacing - 1, std::max<std::uint64_t>(spacing / 4, kWindow), spacing * 8};
}

class Progress {
  public:
    Progress(const ProgressCallback& callback, std::uint64_t total)
        : callback_(callback), total_(total) {}
    void tell(std::uint64_t done) const {
        if (callback_) {
            callback_({done, total_});
        }
    }

  private:
    const ProgressCallback& callback_;
    std::uint64_t total_;
};

// Calls onAnchor(position, fingerprint) for each anchor of source from `from` on, in order.
// onAnchor returns where to go on: the anchor's position, or one farther on to skip the bytes
// before it. Since the hash at a position depends only on the kHashReach bytes before it, the
// bytes that no anchor can follow closely enough to matter are never hashed: after each anchor
// the hash is taken up again kHashReach bytes before the first place the next may fall.
template <typename OnAnchor>
Result<void> walkAnchors(ByteSource& source, const Chunking& chunking, std::uint64_t from,
                         OnAnchor&& onAnchor, const Progress& progress, std::uint64_t before) {
    ByteBuffer buffer(kBlock + kHashReach);
    const std::uint64_t size = source.size();
    std::uint64_t last = from;  // the last anchor, or where the walk was taken up
    std::uint64_t hash = 0;
    std::uint64_t hashed = from;  // the hash covers the kHashReach bytes before this position
    bool warm = false;
    // The block read, and where its bytes lie.
    std::uint64_t base = 0;
    std::size_t length = 0;
    for (;;) {
        const std::uint64_t firstAt = last + chunking.minimum;
        if (firstAt > size) {
            break;
        }
        // Where hashing must start for the hash to be whole at firstAt: from there on no byte is
        // skipped.
        const std::uint64_t start = firstAt > kHashReach ? firstAt - kHashReach : 0;
        if (!warm || hashed < start) {
            hashed = std::max(hashed, start);
            warm = false;
        }
        // The block holds kHashReach bytes before where hashing goes on, for the hash to be taken
        // up and for the fingerprints of anchors just after that place.
        const std::uint64_t behind = hashed > kHashReach ? hashed - kHashReach : 0;
        if (behind < base || hashed >= base + length) {
            base = behind;
            length = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), size - base));
            if (Result<void> read = readExactly(source, base, std::span(buffer).first(length));
                !read) {
                return read;
            }
            progress.tell(before + base);
        }
        if (!warm) {
            hash = 0;
            for (auto k = static_cast<std::size_t>(behind - base);
                 k < static_cast<std::size_t>(hashed - base); ++k) {
                hash = (hash << 1) + kGear[buffer[k]];
            }
            warm = true;
        }
        // Hash on to the next anchor or the end of the block.
        const std::uint64_t lastAt = last + chunking.maximum;
        auto i = static_cast<std::size_t>(hashed - base);
        std::optional<std::uint64_t> anchor;
        for (; i < length; ++i) {
            hash = (hash << 1) + kGear[buffer[i]];
            const std::uint64_t at = base + i + 1;
            if (at >= firstAt && ((hash & chunking.mask) == 0 || at >= lastAt)) {
                anchor = at;
                ++i;
                break;
            }
        }
        hashed = base + i;
        if (!anchor) {
            if (hashed >= size) {
                break;
            }
            continue;
        }
        const std::uint64_t next =
            onAnchor(*anchor, fingerprint(buffer.data() + (*anchor - base) - kWindow));
        last = next;
        if (next > *anchor) {
            hashed = next;
            warm = false;
        }
    }
    progress.tell(before + size);
    return {};
}

// length bytes of a from aOffset into pa and of b from bOffset into pb.
Result<void> readPair(ByteSource& a, std::uint64_t aOffset, ByteSource& b, std::uint64_t bOffset,
                      std::size_t length, ByteBuffer& pa, ByteBuffer& pb) {
    if (Result<void> read = readExactly(a, aOffset, std::span(pa).first(length)); !read) {
        return read;
    }
    return readExactly(b, bOffset, std::span(pb).first(length));
}

// How many bytes are equal in a from aOffset and b from bOffset, up to limit of them.
Result<std::uint64_t> equalAfter(ByteSource& a, std::uint64_t aOffset, ByteSource& b,
                                 std::uint64_t bOffset, std::uint64_t limit, ByteBuffer& pa,
                                 ByteBuffer& pb) {
    std::uint64_t equal = 0;
    while (equal < limit) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(kPiece, limit - equal));
        if (Result<void> read = readPair(a, aOffset + equal, b, bOffset + equal, n, pa, pb);
            !read) {
            return read.failure();
        }
        const auto differ =
            std::mismatch(pa.begin(), pa.begin() + static_cast<std::ptrdiff_t>(n), pb.begin());
        const auto same = static_cast<std::size_t>(differ.first - pa.begin());
        equal += same;
        if (same < n) {
            break;
        }
    }
    return equal;
}

// How many bytes are equal in a before aOffset and b before bOffset, up to limit of them.
Result<std::uint64_t> equalBefore(ByteSource& a, std::uint64_t aOffset, ByteSource& b,
                                  std::uint64_t bOffset, std::uint64_t limit, ByteBuffer& pa,
                                  ByteBuffer& pb) {
    std::uint64_t equal = 0;
    while (equal < limit) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(kPiece, limit - equal));
        if (Result<void> read = readPair(a, aOffset - equal - n, b, bOffset - equal - n, n, pa, pb);
            !read) {
            return read.failure();
        }
        std::size_t same = 0;
        while (same < n && pa[n - 1 - same] == pb[n - 1 - same]) {
            ++same;
        }
        equal += same;
        if (same < n) {
            break;
        }
    }
    return equal;
}

struct Match {
    std::uint64_t b;
    std::uint64_t a;
    std::uint64_t length;
};

// The matches that keep A's order and cover the most bytes between them: a heaviest increasing
// chain, found with a tree of running maxima over where the matches end in A.
std::vector<bool> inOrder(const std::vector<Match>& matches) {
    std::vector<std::uint64_t> ends;
    ends.reserve(matches.size());
    for (const Match& match : matches) {
        ends.push_back(match.a + match.length);
    }
    std::ranges::sort(ends);
    ends.erase(std::unique(ends.begin(), ends.end()), ends.end());
    struct Best {
        std::uint64_t bytes = 0;
        std::size_t match = SIZE_MAX;
    };
    std::vector<Best> tree(ends.size() + 1);
    std::vector<std::size_t> parent(matches.size(), SIZE_MAX);
    Best overall;
    for (std::size_t j = 0; j < matches.size(); ++j) {
        // The best chain whose last match ends in A at or before this one's start.
        Best before;
        for (auto k = static_cast<std::size_t>(std::ranges::upper_bound(ends, matches[j].a) -
                                               ends.begin());
             k > 0; k &= k - 1) {
            if (tree[k].bytes > before.bytes) {
                before = tree[k];
            }
        }
        const Best here{before.bytes + matches[j].length, j};
        parent[j] = before.match;
        if (here.bytes > overall.bytes) {
            overall = here;
        }
        for (auto k = static_cast<std::size_t>(
                          std::ranges::lower_bound(ends, matches[j].a + matches[j].length) -
                          ends.begin()) +
                      1;
             k < tree.size(); k += k & (~k + 1)) {
            if (here.bytes > tree[k].bytes) {
                tree[k] = here;
            }
        }
    }
    std::vector<bool> chosen(matches.size(), false);
    for (std::size_t j = overall.match; j != SIZE_MAX; j = parent[j]) {
        chosen[j] = true;
    }
    return chosen;
}

// The parts of A that some match covers, merged, in order.
std::vector<std::pair<std::uint64_t, std::uint64_t>> coveredOfA(const std::vector<Match>& matches) {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> spans;
    spans.reserve(matches.size());
    for (const Match& match : matches) {
        spans.emplace_back(match.a, match.a + match.length);
    }
    std::ranges::sort(spans);
    std::vector<std::pair<std::uint64_t, std::uint64_t>> merged;
    for (const auto& span : spans) {
        if (!merged.empty() && span.first <= merged.back().second) {
            merged.back().second = std::max(merged.back().second, span.second);
        } else {
            merged.push_back(span);
        }
    }
    return merged;
}

class Emitter {
  public:
    Emitter(ByteSource& a, ByteSource& b, const DeltaHunkCallback& onHunk, DeltaSummary& summary)
        : a_(a), b_(b), onHunk_(onHunk), summary_(summary), pa_(kPiece), pb_(kPiece) {}

    void emit(DeltaHunk::Op op, std::uint64_t aOffset, std::uint64_t bOffset,
              std::uint64_t length) {
        if (length == 0) {
            return;
        }
        switch (op) {
            case DeltaHunk::Op::kEqual:
                summary_.equal += length;
                break;
            case DeltaHunk::Op::kChanged:
                summary_.changed += length;
                break;
            case DeltaHunk::Op::kInserted:
                summary_.inserted += length;
                break;
            case DeltaHunk::Op::kDeleted:
                summary_.deleted += length;
                break;
            case DeltaHunk::Op::kMoved:
                summary_.moved += length;
                break;
        }
        onHunk_({op, aOffset, bOffset, length});
    }

    // As many bytes of A and B side by side: changed where they differ, equal where a run of
    // them is long enough to be worth a hunk of its own.
    Result<void> inPlace(std::uint64_t aFrom, std::uint64_t bFrom, std::uint64_t length) {
        constexpr std::uint64_t kNone = UINT64_MAX;
        std::uint64_t changedFrom = kNone;  // where the change being gathered began
        std::uint64_t equalFrom = 0;
        std::uint64_t equalRun = 0;
        for (std::uint64_t done = 0; done < length;) {
            const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(kPiece, length - done));
            if (Result<void> read = readPair(a_, aFrom + done, b_, bFrom + done, n, pa_, pb_);
                !read) {
                return read;
            }
            for (std::size_t i = 0; i < n; ++i) {
                const std::uint64_t at = done + i;
                if (pa_[i] == pb_[i]) {
                    if (equalRun++ == 0) {
                        equalFrom = at;
                    }
                    if (equalRun == kLeastEqual && changedFrom != kNone) {
                        emit(DeltaHunk::Op::kChanged, aFrom + changedFrom, bFrom + changedFrom,
                             equalFrom - changedFrom);
                        changedFrom = kNone;
                    }
                    continue;
                }
                if (equalRun >= kLeastEqual) {
                    emit(DeltaHunk::Op::kEqual, aFrom + equalFrom, bFrom + equalFrom, equalRun);
                    changedFrom = at;
                } else if (changedFrom == kNone) {
                    changedFrom = equalRun > 0 ? equalFrom : at;
                }
                equalRun = 0;
            }
            done += n;
        }
        if (changedFrom != kNone) {
            emit(DeltaHunk::Op::kChanged, aFrom + changedFrom, bFrom + changedFrom,
                 length - changedFrom);
        } else if (equalRun > 0) {
            emit(DeltaHunk::Op::kEqual, aFrom + equalFrom, bFrom + equalFrom, equalRun);
        }
        return {};
    }

  private:
    ByteSource& a_;
    ByteSource& b_;
    const DeltaHunkCallback& onHunk_;
    DeltaSummary& summary_;
    ByteBuffer pa_;
    ByteBuffer pb_;
};

}  // namespace

Result<DeltaSummary> alignFiles(ByteSource& rawA, ByteSource& rawB, const DeltaHunkCallback& onHunk,
                                const DeltaOptions& options) {
    CachedSource a(rawA);
    CachedSource b(rawB);
    DeltaSummary summary;
    summary.sizeA = a.size();
    summary.sizeB = b.size();
    const Chunking chunking =
        chunkingFor(std::max(summary.sizeA, summary.sizeB), options.anchorSpacing);
    summary.anchorSpacing = chunking.mask + 1;
    const Progress progress(options.progress, summary.sizeA + summary.sizeB);

    // The anchors of A by fingerprint; of those that share one, the first.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> anchors;
    Result<void> indexed = walkAnchors(
        a, chunking, 0,
        [&](std::uint64_t at, std::uint64_t print) {
            anchors.emplace_back(print, at);
            return at;
        },
        progress, 0);
    if (!indexed) {
        return indexed.failure();
    }
    std::ranges::sort(anchors);
    anchors.erase(std::unique(anchors.begin(), anchors.end(),
                              [](const auto& x, const auto& y) { return x.first == y.first; }),
                  anchors.end());

    // The matches, in B's order: each anchor of B past the last match is tried where A would go
    // on if nothing moved, then where A has the same fingerprint, and grown both ways.
    std::vector<Match> matches;
    std::uint64_t lastA = 0;
    std::uint64_t lastB = 0;
    ByteBuffer pa(kPiece);
    ByteBuffer pb(kPiece);
    std::array<std::uint8_t, kWindow> windowA{};
    std::array<std::uint8_t, kWindow> windowB{};
    std::optional<Failure> failed;
    const auto sameWindow = [&](std::uint64_t atA) -> Result<bool> {
        if (atA < kWindow || atA > summary.sizeA) {
            return false;
        }
        if (Result<void> read = readExactly(a, atA - kWindow, windowA); !read) {
            return read.failure();
        }
        return windowA == windowB;
    };
    const auto onAnchor = [&](std::uint64_t at, std::uint64_t print) -> std::uint64_t {
        if (failed) {
            return summary.sizeB;
        }
        if (Result<void> read = readExactly(b, at - kWindow, windowB); !read) {
            failed = read.failure();
            return summary.sizeB;
        }
        std::optional<std::uint64_t> found;
        std::array<std::optional<std::uint64_t>, 2> candidates;
        if (at - lastB <= summary.sizeA - std::min(summary.sizeA, lastA)) {
            candidates[0] = lastA + (at - lastB);
        }
        const auto known = std::ranges::lower_bound(
            anchors, print, {}, &std::pair<std::uint64_t, std::uint64_t>::first);
        if (known != anchors.end() && known->first == print) {
            candidates[1] = known->second;
        }
        for (const auto& candidate : candidates) {
            if (!candidate || found) {
                continue;
            }
            const Result<bool> same = sameWindow(*candidate);
            if (!same) {
                failed = same.failure();
                return summary.sizeB;
            }
            if (*same) {
                found = candidate;
            }
        }
        if (!found) {
            return at;
        }
        std::uint64_t startA = *found - kWindow;
        std::uint64_t startB = at - kWindow;
        const std::uint64_t backLimit =
            std::min(startB - lastB, startA >= lastA ? startA - lastA : startA);
        const Result<std::uint64_t> back = equalBefore(a, startA, b, startB, backLimit, pa, pb);
        const Result<std::uint64_t> ahead = equalAfter(
            a, *found, b, at, std::min(summary.sizeA - *found, summary.sizeB - at), pa, pb);
        if (!back || !ahead) {
            failed = !back ? back.failure() : ahead.failure();
            return summary.sizeB;
        }
        startA -= *back;
        startB -= *back;
        lastA = *found + *ahead;
        lastB = at + *ahead;
        matches.push_back({startB, startA, lastB - startB});
        return lastB;
    };
    Result<void> aligned = walkAnchors(b, chunking, 0, onAnchor, progress, summary.sizeA);
    if (!aligned) {
        return aligned.failure();
    }
    if (failed) {
        return *failed;
    }

    // The hunks, in B's order.
    const std::vector<bool> chained = inOrder(matches);
    const auto covered = coveredOfA(matches);
    Emitter emitter(a, b, onHunk, summary);
    std::uint64_t atA = 0;  // where the last match in A's order ended in A
    std::uint64_t atB = 0;  // how far B is accounted for
    bool besideMoved = false;
    // The bytes between atB and toB in B and between atA and toA in A.
    const auto between = [&](std::uint64_t toA, std::uint64_t toB) -> Result<void> {
        const std::uint64_t lengthA = toA - atA;
        const std::uint64_t lengthB = toB - atB;
        const auto firstAfter = std::ranges::upper_bound(
            covered, atA, {}, &std::pair<std::uint64_t, std::uint64_t>::second);
        const bool untouched = firstAfter == covered.end() || firstAfter->first >= toA;
        if (untouched && !besideMoved) {
            const std::uint64_t common = std::min(lengthA, lengthB);
            if (Result<void> done = emitter.inPlace(atA, atB, common); !done) {
                return done;
            }
            emitter.emit(DeltaHunk::Op::kDeleted, atA + common, atB + common, lengthA - common);
            emitter.emit(DeltaHunk::Op::kInserted, atA + common, atB + common, lengthB - common);
            return {};
        }
        std::uint64_t from = atA;
        for (auto span = firstAfter; span != covered.end() && from < toA; ++span) {
            if (span->first > from) {
                emitter.emit(DeltaHunk::Op::kDeleted, from, atB, std::min(span->first, toA) - from);
            }
            from = std::max(from, span->second);
        }
        if (from < toA) {
            emitter.emit(DeltaHunk::Op::kDeleted, from, atB, toA - from);
        }
        emitter.emit(DeltaHunk::Op::kInserted, atA, atB, lengthB);
        return {};
    };
    for (std::size_t j = 0; j < matches.size(); ++j) {
        const Match& match = matches[j];
        if (!chained[j]) {
            emitter.emit(DeltaHunk::Op::kInserted, atA, atB, match.b - atB);
            emitter.emit(DeltaHunk::Op::kMoved, match.a, match.b, match.length);
            atB = match.b + match.length;
            besideMoved = true;
            continue;
        }
        if (Result<void> done = between(match.a, match.b); !done) {
            return done.failure();
        }
        emitter.emit(DeltaHunk::Op::kEqual, match.a, match.b, match.length);
        atA = match.a + match.length;
        atB = match.b + match.length;
        besideMoved = false;
    }
    if (Result<void> done = between(summary.sizeA, summary.sizeB); !done) {
        return done.failure();
    }
    return summary;
}

}  // namespace tessaloom
