#include "engine/delta.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace tessaloom {
namespace {

using Op = DeltaHunk::Op;

ByteBuffer randomBytes(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    ByteBuffer bytes(size);
    for (std::uint8_t& byte : bytes) {
        byte = static_cast<std::uint8_t>(random());
    }
    return bytes;
}

struct Aligned {
    std::vector<DeltaHunk> hunks;
    DeltaSummary summary;
};

Aligned align(const ByteBuffer& a, const ByteBuffer& b, std::uint64_t spacing = 0) {
    SpanSource sourceA(a);
    SpanSource sourceB(b);
    Aligned aligned;
    DeltaOptions options;
    options.anchorSpacing = spacing;
    Result<DeltaSummary> summary = alignFiles(
        sourceA, sourceB, [&](const DeltaHunk& hunk) { aligned.hunks.push_back(hunk); }, options);
    EXPECT_TRUE(summary.ok());
    if (summary) {
        aligned.summary = *summary;
    }
    return aligned;
}

// B rebuilt from A and the hunks as a patch would carry them: equal and moved hunks copy A's
// bytes, changed and inserted ones bring B's. Also checks what every hunk claims: equal and moved
// bytes are equal, the hunks cover B in order, a change replaces as many bytes.
void expectRebuildsB(const ByteBuffer& a, const ByteBuffer& b, const Aligned& aligned) {
    ByteBuffer rebuilt;
    std::uint64_t equal = 0, changed = 0, inserted = 0, deleted = 0, moved = 0;
    for (const DeltaHunk& hunk : aligned.hunks) {
        ASSERT_GT(hunk.length, 0u);
        if (hunk.op == Op::kDeleted) {
            ASSERT_LE(hunk.aOffset + hunk.length, a.size());
            EXPECT_EQ(hunk.bOffset, rebuilt.size());
            deleted += hunk.length;
            continue;
        }
        ASSERT_EQ(hunk.bOffset, rebuilt.size()) << "hunks must cover B in order";
        ASSERT_LE(hunk.bOffset + hunk.length, b.size());
        const auto fromB = b.begin() + static_cast<std::ptrdiff_t>(hunk.bOffset);
        if (hunk.op == Op::kEqual || hunk.op == Op::kMoved) {
            ASSERT_LE(hunk.aOffset + hunk.length, a.size());
            const auto fromA = a.begin() + static_cast<std::ptrdiff_t>(hunk.aOffset);
            ASSERT_TRUE(std::equal(fromA, fromA + static_cast<std::ptrdiff_t>(hunk.length), fromB))
                << "a hunk called equal or moved differs at B:" << hunk.bOffset;
            rebuilt.insert(rebuilt.end(), fromA, fromA + static_cast<std::ptrdiff_t>(hunk.length));
            (hunk.op == Op::kEqual ? equal : moved) += hunk.length;
        } else {
            if (hunk.op == Op::kChanged) {
                ASSERT_LE(hunk.aOffset + hunk.length, a.size());
                changed += hunk.length;
            } else {
                inserted += hunk.length;
            }
            rebuilt.insert(rebuilt.end(), fromB, fromB + static_cast<std::ptrdiff_t>(hunk.length));
        }
    }
    EXPECT_TRUE(rebuilt == b);
    EXPECT_EQ(aligned.summary.equal, equal);
    EXPECT_EQ(aligned.summary.changed, changed);
    EXPECT_EQ(aligned.summary.inserted, inserted);
    EXPECT_EQ(aligned.summary.deleted, deleted);
    EXPECT_EQ(aligned.summary.moved, moved);
}

struct Shape {
    Op op;
    std::uint64_t length;
    bool operator==(const Shape&) const = default;
};

std::vector<Shape> shapes(const Aligned& aligned) {
    std::vector<Shape> out;
    for (const DeltaHunk& hunk : aligned.hunks) {
        out.push_back({hunk.op, hunk.length});
    }
    return out;
}

std::string describe(const std::vector<Shape>& list) {
    static const char* const kNames[] = {"equal", "changed", "inserted", "deleted", "moved"};
    std::string text;
    for (const Shape& shape : list) {
        text += std::string(kNames[static_cast<int>(shape.op)]) + " " +
                std::to_string(shape.length) + "; ";
    }
    return text;
}

constexpr std::size_t kSize = std::size_t{1} << 20;

struct Case {
    const char* name;
    std::function<void(ByteBuffer& a, ByteBuffer& b)> make;
    std::vector<Shape> expected;
};

// A and B where the bytes at the edit's edges differ, so that the minimal hunks are unique.
ByteBuffer distinctA() {
    ByteBuffer a = randomBytes(kSize, 7);
    for (std::size_t i = 1; i < a.size(); ++i) {
        if (a[i] == a[i - 1]) {
            a[i] = static_cast<std::uint8_t>(a[i] ^ 0x55);
        }
    }
    return a;
}

void insertAt(ByteBuffer& b, std::size_t at, std::size_t length) {
    ByteBuffer bytes = randomBytes(length, static_cast<unsigned>(at + length));
    for (std::uint8_t& byte : bytes) {  // never a byte either side of the insertion
        while ((at < b.size() && byte == b[at]) || (at > 0 && byte == b[at - 1])) {
            byte = static_cast<std::uint8_t>(byte + 1);
        }
    }
    b.insert(b.begin() + static_cast<std::ptrdiff_t>(at), bytes.begin(), bytes.end());
}

const std::vector<Case>& commonCases() {
    static const std::vector<Case> cases = {
        {"identical", [](ByteBuffer&, ByteBuffer&) {}, {{Op::kEqual, kSize}}},
        {"one byte inserted",
         [](ByteBuffer&, ByteBuffer& b) { insertAt(b, 300001, 1); },
         {{Op::kEqual, 300001}, {Op::kInserted, 1}, {Op::kEqual, kSize - 300001}}},
        {"4 KiB inserted at the start",
         [](ByteBuffer&, ByteBuffer& b) { insertAt(b, 0, 4096); },
         {{Op::kInserted, 4096}, {Op::kEqual, kSize}}},
        {"100 KiB inserted",
         [](ByteBuffer&, ByteBuffer& b) { insertAt(b, 65537, 100 << 10); },
         {{Op::kEqual, 65537}, {Op::kInserted, 100 << 10}, {Op::kEqual, kSize - 65537}}},
        {"bytes appended",
         [](ByteBuffer&, ByteBuffer& b) { insertAt(b, b.size(), 777); },
         {{Op::kEqual, kSize}, {Op::kInserted, 777}}},
        {"one byte deleted",
         [](ByteBuffer&, ByteBuffer& b) { b.erase(b.begin() + 500000); },
         {{Op::kEqual, 500000}, {Op::kDeleted, 1}, {Op::kEqual, kSize - 500001}}},
        {"64 KiB deleted",
         [](ByteBuffer&, ByteBuffer& b) {
             b.erase(b.begin() + 123457, b.begin() + 123457 + (64 << 10));
         },
         {{Op::kEqual, 123457},
          {Op::kDeleted, 64 << 10},
          {Op::kEqual, kSize - 123457 - (64 << 10)}}},
        {"the end cut off",
         [](ByteBuffer&, ByteBuffer& b) { b.resize(kSize - 1000); },
         {{Op::kEqual, kSize - 1000}, {Op::kDeleted, 1000}}},
        {"three bytes changed",
         [](ByteBuffer&, ByteBuffer& b) {
             for (std::size_t i = 700000; i < 700003; ++i) {
                 b[i] = static_cast<std::uint8_t>(~b[i]);
             }
         },
         {{Op::kEqual, 700000}, {Op::kChanged, 3}, {Op::kEqual, kSize - 700003}}},
        {"a block moved later",
         [](ByteBuffer& a, ByteBuffer& b) {
             // A = P Q R S with Q of 64 KiB; B = P R Q S.
             const auto p = a.begin() + 200000, q = p + (64 << 10), r = q + 300000;
             b.assign(a.begin(), p);
             b.insert(b.end(), q, r);
             b.insert(b.end(), p, q);
             b.insert(b.end(), r, a.end());
         },
         {{Op::kEqual, 200000},
          {Op::kEqual, 300000},
          {Op::kMoved, 64 << 10},
          {Op::kEqual, kSize - 200000 - 300000 - (64 << 10)}}},
    };
    return cases;
}

TEST(DeltaTest, CommonEditsGiveTheirMinimalHunks) {
    const ByteBuffer a = distinctA();
    for (const Case& c : commonCases()) {
        SCOPED_TRACE(c.name);
        ByteBuffer b = a;
        ByteBuffer edited = a;
        c.make(edited, b);
        const Aligned aligned = align(a, b);
        expectRebuildsB(a, b, aligned);
        EXPECT_EQ(shapes(aligned), c.expected) << describe(shapes(aligned));
    }
}

TEST(DeltaTest, EmptySides) {
    const ByteBuffer bytes = randomBytes(10000, 3);
    const ByteBuffer none;
    struct Sides {
        const ByteBuffer& a;
        const ByteBuffer& b;
        std::vector<Shape> expected;
    };
    for (const Sides& sides : {Sides{none, none, {}}, Sides{none, bytes, {{Op::kInserted, 10000}}},
                               Sides{bytes, none, {{Op::kDeleted, 10000}}}}) {
        const Aligned aligned = align(sides.a, sides.b);
        expectRebuildsB(sides.a, sides.b, aligned);
        EXPECT_EQ(shapes(aligned), sides.expected) << describe(shapes(aligned));
    }
}

TEST(DeltaTest, UnrelatedFilesShareNoLongEqualHunk) {
    for (const std::size_t sizeB : {kSize, kSize / 2 + 3}) {
        const ByteBuffer a = randomBytes(kSize, 11);
        const ByteBuffer b = randomBytes(sizeB, 12);
        const Aligned aligned = align(a, b);
        expectRebuildsB(a, b, aligned);
        for (const DeltaHunk& hunk : aligned.hunks) {
            if (hunk.op == Op::kEqual || hunk.op == Op::kMoved) {
                EXPECT_LT(hunk.length, 16u) << "at B:" << hunk.bOffset;
            }
        }
        EXPECT_LT(aligned.summary.equal + aligned.summary.moved, 64u);
    }
}

// A random mixture of changes, insertions, deletions and moves of A, and how many bytes of B
// they bring that A does not have.
struct Edited {
    ByteBuffer b;
    std::uint64_t newBytes = 0;
    std::uint64_t edits = 0;
};

Edited editRandomly(const ByteBuffer& a, unsigned seed, std::size_t largest) {
    std::mt19937 random(seed);
    Edited edited;
    edited.b = a;
    ByteBuffer& b = edited.b;
    const int count = 1 + static_cast<int>(random() % 12);
    for (int i = 0; i < count && b.size() > 2 * largest; ++i) {
        const std::size_t length = 1 + random() % largest;
        const std::size_t at = random() % (b.size() - length);
        switch (random() % 4) {
            case 0:
                for (std::size_t k = at; k < at + length; ++k) {
                    b[k] = static_cast<std::uint8_t>(random());
                }
                edited.newBytes += length;
                break;
            case 1: {
                const ByteBuffer bytes = randomBytes(length, seed * 31 + static_cast<unsigned>(i));
                b.insert(b.begin() + static_cast<std::ptrdiff_t>(at), bytes.begin(), bytes.end());
                edited.newBytes += length;
                break;
            }
            case 2:
                b.erase(b.begin() + static_cast<std::ptrdiff_t>(at),
                        b.begin() + static_cast<std::ptrdiff_t>(at + length));
                break;
            default: {
                const ByteBuffer block(b.begin() + static_cast<std::ptrdiff_t>(at),
                                       b.begin() + static_cast<std::ptrdiff_t>(at + length));
                b.erase(b.begin() + static_cast<std::ptrdiff_t>(at),
                        b.begin() + static_cast<std::ptrdiff_t>(at + length));
                const std::size_t to = random() % b.size();
                b.insert(b.begin() + static_cast<std::ptrdiff_t>(to), block.begin(), block.end());
                break;
            }
        }
        ++edited.edits;
    }
    return edited;
}

TEST(DeltaTest, RandomEditScriptsRebuildBAndExplainAllButTheirNewBytes) {
    const ByteBuffer a = randomBytes(std::size_t{768} << 10, 21);
    for (unsigned seed = 1; seed <= 24; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        const Edited edited = editRandomly(a, seed, seed % 2 == 0 ? 40000 : 300);
        for (const std::uint64_t spacing : {std::uint64_t{0}, std::uint64_t{256}}) {
            const Aligned aligned = align(a, edited.b, spacing);
            expectRebuildsB(a, edited.b, aligned);
            // What B has that no equal or moved hunk explains: the edits' own bytes, and near
            // each edit at most the bytes up to the anchors either side of it.
            const std::uint64_t unexplained = aligned.summary.changed + aligned.summary.inserted;
            EXPECT_LE(unexplained,
                      edited.newBytes + edited.edits * 16 * aligned.summary.anchorSpacing);
        }
    }
}

// The length of the longest common subsequence of a and b: an independent, quadratic measure of
// how many bytes of B any alignment can at best take from A in order.
std::size_t longestCommon(const ByteBuffer& a, const ByteBuffer& b) {
    std::vector<std::size_t> row(b.size() + 1, 0), next(b.size() + 1, 0);
    for (std::size_t i = 1; i <= a.size(); ++i) {
        for (std::size_t j = 1; j <= b.size(); ++j) {
            next[j] = a[i - 1] == b[j - 1] ? row[j - 1] + 1 : std::max(row[j], next[j - 1]);
        }
        std::swap(row, next);
    }
    return row[b.size()];
}

TEST(DeltaTest, SmallEditsComeCloseToTheQuadraticAlignersBest) {
    const ByteBuffer a = randomBytes(3000, 5);
    for (unsigned seed = 1; seed <= 12; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        const Edited edited = editRandomly(a, seed + 100, 40);
        const Aligned aligned = align(a, edited.b, 128);
        expectRebuildsB(a, edited.b, aligned);
        // Equal hunks keep A's order, so they can take no more than the common subsequence;
        // and they take all of it but a little near each edit.
        const std::size_t best = longestCommon(a, edited.b);
        EXPECT_LE(aligned.summary.equal, best);
        EXPECT_GE(aligned.summary.equal + aligned.summary.moved + 2 * 128 * edited.edits +
                      (edited.b.size() - best),
                  edited.b.size())
            << "equal " << aligned.summary.equal << " of a common " << best;
    }
}

// A source whose reads fail from one offset on.
class FailingSource : public SpanSource {
  public:
    FailingSource(ByteView bytes, std::uint64_t from) : SpanSource(bytes), from_(from) {}
    Result<std::size_t> readAt(std::uint64_t offset, std::span<std::uint8_t> into) override {
        if (offset + into.size() > from_) {
            return Failure{Failure::Kind::kRead, "disk", "Input/output error", 5, {}};
        }
        return SpanSource::readAt(offset, into);
    }

  private:
    std::uint64_t from_;
};

TEST(DeltaTest, AReadThatFailsEndsTheAlignmentWithItsReason) {
    const ByteBuffer a = randomBytes(kSize, 1);
    ByteBuffer b = a;
    insertAt(b, 1000, 10);
    for (const bool failA : {true, false}) {
        SpanSource good(failA ? b : a);
        FailingSource bad(failA ? a : b, 600000);
        Result<DeltaSummary> summary = failA ? alignFiles(bad, good, [](const DeltaHunk&) {})
                                             : alignFiles(good, bad, [](const DeltaHunk&) {});
        ASSERT_FALSE(summary.ok());
        EXPECT_EQ(summary.failure().reason, "Input/output error");
    }
}

}  // namespace
}  // namespace tessaloom
