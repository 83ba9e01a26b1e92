#include "engine/byte_source.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

namespace tessaloom {
namespace {

ByteBuffer randomBytes(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    ByteBuffer bytes(size);
    for (std::uint8_t& byte : bytes) {
        byte = static_cast<std::uint8_t>(random());
    }
    return bytes;
}

// Bytes in memory that count the reads made of them and fail, with a reason, at one offset.
class CountingSource : public SpanSource {
  public:
    CountingSource(ByteView bytes, std::uint64_t failAt) : SpanSource(bytes), failAt_(failAt) {}
    Result<std::size_t> readAt(std::uint64_t offset, std::span<std::uint8_t> into) override {
        ++reads;
        if (offset <= failAt_ && failAt_ - offset < into.size()) {
            return Failure{Failure::Kind::kRead, "disk", "Input/output error", 5, {}};
        }
        return SpanSource::readAt(offset, into);
    }
    int reads = 0;

  private:
    std::uint64_t failAt_;
};

ByteBuffer readAll(ByteSource& source, std::uint64_t offset, std::size_t length) {
    ByteBuffer into(length);
    Result<std::size_t> got = source.readAt(offset, into);
    EXPECT_TRUE(got.ok());
    into.resize(got.ok() ? *got : 0);
    return into;
}

// Random reads through caches of every shape give the bytes themselves: across page edges, at
// the end, past it, longer than a page.
TEST(ByteSourceTest, ReadsThroughTheCacheAreTheBytes) {
    const ByteBuffer data = randomBytes(10007, 1);
    std::mt19937 random(2);
    for (const auto& [pageSize, pages] :
         {std::pair<std::size_t, std::size_t>{1, 1}, {7, 3}, {64, 2}, {4096, 16}}) {
        SpanSource plain(data);
        CachedSource cached(plain, pageSize, pages);
        for (int i = 0; i < 500; ++i) {
            const std::uint64_t offset = random() % (data.size() + 10);
            const std::size_t length = random() % 300;
            const ByteBuffer expected(
                data.begin() +
                    static_cast<std::ptrdiff_t>(std::min<std::uint64_t>(offset, data.size())),
                data.begin() + static_cast<std::ptrdiff_t>(
                                   std::min<std::uint64_t>(offset + length, data.size())));
            ASSERT_EQ(readAll(cached, offset, length), expected)
                << "pages of " << pageSize << ", read of " << length << " at " << offset;
        }
    }
}

// Small reads near one another cost one read of the source a page; a page that failed is not
// kept, so the failure comes again with its reason.
TEST(ByteSourceTest, TheCacheReadsEachPageOnceAndKeepsNoFailure) {
    const ByteBuffer data = randomBytes(1000, 3);
    CountingSource counting(data, 900);
    CachedSource cached(counting, 100, 4);
    for (std::uint64_t offset = 0; offset < 100; ++offset) {
        ASSERT_EQ(*cached.at(offset), data[offset]);
    }
    EXPECT_EQ(counting.reads, 1);
    for (int attempt = 0; attempt < 2; ++attempt) {
        const Result<std::uint8_t> failed = cached.at(950);
        ASSERT_FALSE(failed.ok());
        EXPECT_EQ(failed.failure().path, "disk");
        EXPECT_EQ(failed.failure().reason, "Input/output error");
    }
    EXPECT_EQ(counting.reads, 3);
}

// A window reads as a source of its own from 0, and ends where it or the source ends.
TEST(ByteSourceTest, AWindowStartsAtZeroAndEndsInsideItsSource) {
    const ByteBuffer data = randomBytes(500, 4);
    SpanSource plain(data);
    struct Case {
        std::uint64_t offset, length, size;
    };
    for (const Case c : {Case{0, 500, 500},
                         {100, 50, 50},
                         {450, 100, 50},
                         {500, 10, 0},
                         {900, 10, 0},
                         {10, UINT64_MAX, 490}}) {
        SourceWindow window(plain, c.offset, c.length);
        EXPECT_EQ(window.size(), c.size);
        const ByteBuffer whole = readAll(window, 0, 1000);
        EXPECT_EQ(whole.size(), c.size);
        EXPECT_TRUE(std::equal(
            whole.begin(), whole.end(),
            data.begin() + static_cast<std::ptrdiff_t>(std::min<std::uint64_t>(c.offset, 500))));
        EXPECT_TRUE(readAll(window, c.size, 10).empty());
    }
}

}  // namespace
}  // namespace tessaloom
