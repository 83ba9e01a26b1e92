// Payloads against what the compressors were given: streamed whole, read at any offset forwards
// and backwards, cut by the budget, damaged and cut short.
#include "engine/scan/payload.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "engine/scan/encoders.h"
#include "engine/scan/planted.h"

namespace tessaloom {
namespace {

using namespace testing::encoders;
using scan::PayloadBudget;

// 1.5 MiB, larger than what a payload keeps of its decoded bytes: text that compresses well,
// with random bytes inside it.
ByteBuffer original() {
    ByteBuffer data = sampleText(1200000);
    const ByteBuffer noise = testing::randomFiller(300000, 11);
    data.insert(data.begin() + 500000, noise.begin(), noise.end());
    return data;
}

struct Encoded {
    std::string_view format;
    std::function<ByteBuffer(const ByteBuffer&)> encode;
};

const std::vector<Encoded>& encodings() {
    static const std::vector<Encoded> kCases{
        {"gzip", [](const ByteBuffer& in) { return gzipped(in, "name"); }},
        {"zlib", [](const ByteBuffer& in) { return deflated(in, 6, 15); }},
        {"deflate", [](const ByteBuffer& in) { return deflated(in, 9, -15); }},
        {"xz", [](const ByteBuffer& in) { return xzed(in, LZMA_CHECK_CRC64); }},
        {"lzma", [](const ByteBuffer& in) { return lzmaAlone(in); }},
        {"bzip2", [](const ByteBuffer& in) { return bzipped(in, 9); }},
        {"zstd", [](const ByteBuffer& in) { return zstded(in, true); }},
        {"lz4", [](const ByteBuffer& in) { return lz4ed(in, true); }},
        {"lz4", [](const ByteBuffer& in) { return lz4Legacy(in); }},
        // Members, frames and streams one after another are one payload.
        {"gzip",
         [](const ByteBuffer& in) {
             const ByteBuffer half(in.begin(), in.begin() + 700001);
             const ByteBuffer rest(in.begin() + 700001, in.end());
             return joined(gzipped(half), gzipped(rest));
         }},
        {"zstd",
         [](const ByteBuffer& in) {
             const ByteBuffer half(in.begin(), in.begin() + 3);
             const ByteBuffer rest(in.begin() + 3, in.end());
             return joined(zstded(half, false), zstded(rest, true));
         }},
        {"bzip2",
         [](const ByteBuffer& in) {
             const ByteBuffer half(in.begin(), in.begin() + 900000);
             const ByteBuffer rest(in.begin() + 900000, in.end());
             return joined(bzipped(half, 1), bzipped(rest, 5));
         }},
    };
    return kCases;
}

constexpr std::uint64_t kPlenty = std::uint64_t{1} << 40;

ByteBuffer decodedWhole(ByteView stream, std::string_view format, PayloadBudget& budget,
                        scan::PayloadEnd& end) {
    SpanSource source(stream);
    ByteBuffer out;
    const Result<scan::PayloadEnd> got =
        scan::decodePayload(source, format, budget, [&](ByteView piece) {
            out.insert(out.end(), piece.begin(), piece.end());
            return true;
        });
    EXPECT_TRUE(got.ok());
    if (got) {
        end = *got;
    }
    return out;
}

TEST(PayloadTest, DecodesWhatEachCompressorWasGiven) {
    const ByteBuffer data = original();
    for (const Encoded& c : encodings()) {
        SCOPED_TRACE(c.format);
        const ByteBuffer stream = c.encode(data);
        EXPECT_TRUE(scan::hasPayload(c.format));
        PayloadBudget budget(kPlenty, kPlenty);
        scan::PayloadEnd end;
        EXPECT_EQ(decodedWhole(stream, c.format, budget, end), data);
        EXPECT_EQ(end.cutShort, "");
        EXPECT_FALSE(end.limited);
        EXPECT_EQ(end.produced, data.size());
        EXPECT_EQ(end.consumed, stream.size());
        EXPECT_EQ(budget.left(), kPlenty - data.size());
    }
    EXPECT_FALSE(scan::hasPayload("zip"));
    PayloadBudget budget(kPlenty, kPlenty);
    SpanSource none(ByteView{});
    EXPECT_FALSE(scan::openPayload(none, "elf", budget).ok());
}

// A legacy lz4 frame has no end mark: it ends where the input does, or before what cannot be a
// block's size, and its blocks of 8 MiB decode one at a time.
TEST(PayloadTest, ALegacyLz4FrameEndsWhereTheNextBlockCannotBeOne) {
    const ByteBuffer data = sampleText((std::size_t{17} << 20) + 5);
    const ByteBuffer frame = lz4Legacy(data);
    struct LegacyCase {
        std::string_view name;
        ByteBuffer stream;
        std::uint64_t produced;
        std::string cutShort;
    };
    const LegacyCase cases[] = {
        {"alone", frame, data.size(), ""},
        {"before a frame of today's lz4", joined(frame, lz4ed(sampleText(100), true)), data.size(),
         ""},
        {"before a zero size", joined(frame, ByteBuffer(9, 0)), data.size(), ""},
        {"cut in its last block", ByteBuffer(frame.begin(), frame.end() - 3),
         std::uint64_t{16} << 20, "the stream is cut short"},
        {"cut in its first size", ByteBuffer(frame.begin(), frame.begin() + 5), 0,
         "the stream is cut short"},
    };
    for (const LegacyCase& c : cases) {
        SCOPED_TRACE(c.name);
        PayloadBudget budget(kPlenty, kPlenty);
        scan::PayloadEnd end;
        const ByteBuffer out = decodedWhole(c.stream, "lz4", budget, end);
        EXPECT_EQ(end.produced, c.produced);
        EXPECT_EQ(end.cutShort, c.cutShort);
        EXPECT_TRUE(std::equal(out.begin(), out.end(), data.begin()));
        if (c.cutShort.empty()) {
            EXPECT_EQ(end.consumed, frame.size());
        }
    }
}

// Each encoding of data opened as a payload, handed to check with the budget it was opened with.
void forEachOpened(const ByteBuffer& data,
                   const std::function<void(scan::PayloadSource&, PayloadBudget&)>& check) {
    for (const Encoded& c : encodings()) {
        SCOPED_TRACE(c.format);
        const ByteBuffer stream = c.encode(data);
        SpanSource source(stream);
        PayloadBudget budget(kPlenty, kPlenty);
        Result<std::unique_ptr<scan::PayloadSource>> opened =
            scan::openPayload(source, c.format, budget);
        ASSERT_TRUE(opened.ok());
        check(**opened, budget);
    }
}

// Reads as a scanner makes them: forward in blocks, at candidates ahead, and back to the start.
TEST(PayloadTest, ReadsAtAnyOffsetGiveTheDecodedBytes) {
    const ByteBuffer data = original();
    forEachOpened(data, [&](scan::PayloadSource& payload, PayloadBudget& budget) {
        ASSERT_EQ(payload.size(), data.size());
        std::mt19937 random(3);
        const auto expectRead = [&](std::uint64_t offset, std::size_t length) {
            ByteBuffer into(length);
            const Result<std::size_t> got = payload.readAt(offset, into);
            ASSERT_TRUE(got.ok());
            const std::size_t expected = static_cast<std::size_t>(
                offset >= data.size() ? 0 : std::min<std::uint64_t>(length, data.size() - offset));
            ASSERT_EQ(*got, expected) << offset;
            EXPECT_TRUE(std::equal(into.begin(),
                                   into.begin() + static_cast<std::ptrdiff_t>(expected),
                                   data.begin() + static_cast<std::ptrdiff_t>(offset)))
                << offset << " " << length;
        };
        for (std::uint64_t at = 0; at < data.size(); at += 131072) {
            expectRead(at, 131072 + 16);
            expectRead(at + random() % 100000, random() % 5000);
        }
        const std::uint64_t afterForward = budget.left();
        expectRead(data.size() - 10, 100);
        expectRead(data.size(), 1);
        for (int i = 0; i < 20; ++i) {
            expectRead(random() % data.size(), random() % 300000);
        }
        // Going back to the start decodes again, charged again.
        expectRead(0, 4096);
        EXPECT_LT(budget.left(), afterForward);
    });
}

// A scan reads its blocks in order and its candidates' bytes ahead of them: neither sends the
// other back to the start.
TEST(PayloadTest, ReadsInOrderWithReadsAheadDecodeEachByteAtMostTwice) {
    const ByteBuffer data = original();
    forEachOpened(data, [&](scan::PayloadSource& payload, PayloadBudget& budget) {
        const std::uint64_t afterOpen = budget.left();
        ByteBuffer block(131072);
        ByteBuffer ahead(64);
        for (std::uint64_t at = 0; at < data.size(); at += block.size()) {
            ASSERT_TRUE(payload.readAt(at, block).ok());
            ASSERT_TRUE(payload.readAt(at + 700000, ahead).ok());
            ASSERT_TRUE(payload.readAt(at + 1000, ahead).ok());
        }
        EXPECT_LE(afterOpen - budget.left(), 2 * data.size());
    });
}

struct LimitCase {
    std::string_view name;
    std::uint64_t perPayload;
    std::uint64_t total;
    std::uint64_t produced;
    std::string cutShort;
};

TEST(PayloadTest, TheBudgetCutsAPayloadShortAndSaysWhichLimit) {
    const ByteBuffer data = original();
    const LimitCase cases[] = {
        {"per stream", 65536, kPlenty, 65536, "the limit of 64 KiB per stream"},
        {"in all", 1 << 20, 100000, 100000, "the limit of 97.7 KiB in all"},
        {"in all, whole units", 1 << 20, 3 << 19, 1 << 20, "the limit of 1 MiB per stream"},
        {"in all, under the limit per stream", std::uint64_t{1} << 30, 300000, 300000,
         "the limit of 293.0 KiB in all"},
    };
    for (const Encoded& c : encodings()) {
        const ByteBuffer stream = c.encode(data);
        for (const LimitCase& limit : cases) {
            SCOPED_TRACE(std::string(c.format) + ", " + std::string(limit.name));
            PayloadBudget budget(limit.perPayload, limit.total);
            scan::PayloadEnd end;
            const ByteBuffer out = decodedWhole(stream, c.format, budget, end);
            EXPECT_TRUE(end.limited);
            EXPECT_EQ(end.cutShort, limit.cutShort);
            EXPECT_EQ(end.produced, limit.produced);
            ASSERT_EQ(out.size(), limit.produced);
            EXPECT_TRUE(std::equal(out.begin(), out.end(), data.begin()));
            EXPECT_EQ(scan::totalLimitText(budget).substr(0, 13), "the limit of ");
        }
    }
}

TEST(PayloadTest, ADamagedOrCutStreamGivesTheGoodBytesBeforeIt) {
    const ByteBuffer data = original();
    for (const Encoded& c : encodings()) {
        SCOPED_TRACE(c.format);
        const ByteBuffer stream = c.encode(data);
        struct Damage {
            std::string_view name;
            ByteBuffer bytes;
            std::string_view cutShort;
            // Whether all that decodes is good: a cut stream's bytes are, those before damage
            // that a check at the end finds need not be.
            bool good;
        };
        ByteBuffer cut(stream.begin(),
                       stream.begin() + static_cast<std::ptrdiff_t>(stream.size() / 2));
        ByteBuffer noisy = stream;
        const ByteBuffer noise = testing::randomFiller(stream.size() / 4, 5);
        std::ranges::copy(noise, noisy.begin() + static_cast<std::ptrdiff_t>(stream.size() / 2));
        const Damage damages[] = {
            {"cut in half", cut, "the stream is cut short", true},
            {"noise in its second half", noisy, "the stream is damaged at byte ", false},
        };
        // The legacy lz4 frame has no check to find damage inside a block by.
        const bool checked = !std::ranges::equal(ByteView(stream).first(4),
                                                 ByteBuffer{0x02, 0x21, 0x4C, 0x18});
        for (const Damage& damage : damages) {
            SCOPED_TRACE(damage.name);
            if (!checked && !damage.good) {
                continue;
            }
            PayloadBudget budget(kPlenty, kPlenty);
            scan::PayloadEnd end;
            const ByteBuffer out = decodedWhole(damage.bytes, c.format, budget, end);
            EXPECT_FALSE(end.limited);
            EXPECT_EQ(end.cutShort.substr(0, damage.cutShort.size()), damage.cutShort);
            ASSERT_LE(out.size(), data.size());
            EXPECT_LT(out.size(), data.size());
            if (damage.good) {
                EXPECT_TRUE(std::equal(out.begin(), out.end(), data.begin()));
            }
            EXPECT_LE(end.consumed, damage.bytes.size());
        }
    }
}

// A source whose reads fail from an offset on.
class FailingSource : public ByteSource {
  public:
    FailingSource(ByteView bytes, std::uint64_t from) : bytes_(bytes), from_(from) {}
    std::uint64_t size() const override { return bytes_.size(); }
    Result<std::size_t> readAt(std::uint64_t offset, std::span<std::uint8_t> into) override {
        if (offset + into.size() > from_) {
            return Failure{Failure::Kind::kRead, "", "Input/output error", 5, {}};
        }
        return SpanSource(bytes_).readAt(offset, into);
    }

  private:
    ByteView bytes_;
    std::uint64_t from_;
};

TEST(PayloadTest, AReadThatFailsIsTheFailure) {
    const ByteBuffer stream = xzed(original(), LZMA_CHECK_CRC32);
    FailingSource source(stream, stream.size() / 2);
    PayloadBudget budget(kPlenty, kPlenty);
    const Result<scan::PayloadEnd> decoded =
        scan::decodePayload(source, "xz", budget, [](ByteView) { return true; });
    ASSERT_FALSE(decoded.ok());
    EXPECT_EQ(decoded.failure().reason, "Input/output error");
    EXPECT_FALSE(scan::openPayload(source, "xz", budget).ok());
}

}  // namespace
}  // namespace tessaloom
