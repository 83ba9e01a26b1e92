// The deep scan: objects inside what decompresses found with their path and their offsets in
// their parent's decoded bytes; nesting and decompression bombs stopped at the limits, each with
// its warning.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/scan/encoders.h"
#include "engine/scan/planted.h"
#include "engine/scan/squashfs_writer.h"

namespace tessaloom {
namespace {

using namespace testing::encoders;
using testing::plant;

struct DeepRun {
    std::vector<ScanHit> hits;
    std::vector<ScanWarning> warnings;
    std::uint64_t objects = 0;
};

DeepRun scanDeep(ByteView bytes, DeepLimits limits = {}) {
    DeepRun run;
    ScanOptions options;
    options.deep = true;
    options.deepLimits = limits;
    options.warning = [&run](const ScanWarning& warning) { run.warnings.push_back(warning); };
    SpanSource source(bytes);
    const Result<ScanSummary> summary = scanObjects(
        source, [&run](const ScanHit& hit) { run.hits.push_back(hit); }, options);
    EXPECT_TRUE(summary.ok());
    if (summary) {
        run.objects = summary->objects;
    }
    return run;
}

struct Outer {
    std::string_view format;
    std::function<ByteBuffer(const ByteBuffer&)> encode;
};

TEST(DeepScanTest, FindsWhatEachPayloadHoldsAtItsOffsetInside) {
    const ByteBuffer inner = bzipped(sampleText(20000), 9);
    const auto payload = plant(inner, 0x2af, 0x133, 21);
    const Outer outers[] = {
        {"gzip", [](const ByteBuffer& in) { return gzipped(in); }},
        {"zlib", [](const ByteBuffer& in) { return deflated(in, 9, 15); }},
        {"xz", [](const ByteBuffer& in) { return xzed(in, LZMA_CHECK_CRC32); }},
        {"lzma", [](const ByteBuffer& in) { return lzmaAlone(in); }},
        {"zstd", [](const ByteBuffer& in) { return zstded(in, false); }},
        {"lz4", [](const ByteBuffer& in) { return lz4ed(in, false); }},
    };
    for (const Outer& outer : outers) {
        SCOPED_TRACE(outer.format);
        const ByteBuffer stream = outer.encode(payload.image);
        const auto image = plant(stream, 0x1001, 0x99, 4);
        const DeepRun run = scanDeep(image.image);
        ASSERT_EQ(run.hits.size(), 2U);
        EXPECT_EQ(run.objects, 2U);
        EXPECT_TRUE(run.warnings.empty());
        EXPECT_EQ(run.hits[0].format, outer.format);
        EXPECT_EQ(run.hits[0].offset, image.offset);
        EXPECT_TRUE(run.hits[0].path.empty());
        EXPECT_EQ(run.hits[1].format, "bzip2");
        EXPECT_EQ(run.hits[1].offset, payload.offset);
        EXPECT_EQ(run.hits[1].size, inner.size());
        EXPECT_TRUE(run.hits[1].sizeExact);
        EXPECT_EQ(run.hits[1].path,
                  (std::vector<ScanStep>{{image.offset, std::string(outer.format), {}}}));
    }
}

// A squashfs image's files are scanned as an archive's members: an object inside a file of
// several blocks, its tail in a fragment, is found at its offset in the file, the image big
// endian as well.
TEST(DeepScanTest, FindsWhatTheFilesOfASquashfsImageHold) {
    const ByteBuffer inner = bzipped(sampleText(20000), 9);
    const auto file = plant(inner, 0x2af, 0x2133, 21);
    for (const bool big : {false, true}) {
        SCOPED_TRACE(big ? "big endian" : "little endian");
        testing::squashfs::Options options;
        options.big = big;
        const ByteBuffer fs = testing::squashfs::Writer(options).image(
            {testing::squashfs::folder("boot", {testing::squashfs::file("kernel", file.image)})});
        const auto image = plant(fs, 0x1000, 0x99, 4);
        const DeepRun run = scanDeep(image.image);
        ASSERT_EQ(run.hits.size(), 2U);
        EXPECT_TRUE(run.warnings.empty());
        EXPECT_EQ(run.hits[0].format, "squashfs");
        EXPECT_EQ(run.hits[0].offset, image.offset);
        EXPECT_EQ(run.hits[1].format, "bzip2");
        EXPECT_EQ(run.hits[1].offset, file.offset);
        EXPECT_EQ(run.hits[1].size, inner.size());
        EXPECT_EQ(run.hits[1].path,
                  (std::vector<ScanStep>{{image.offset, "squashfs", "boot/kernel"}}));
    }
}

TEST(DeepScanTest, NestedStreamsGiveTheWholePath) {
    const ByteBuffer bz = bzipped(sampleText(5000), 9);
    const auto inXz = plant(bz, 0x777, 0x10, 1);
    const ByteBuffer xz = xzed(inXz.image, LZMA_CHECK_CRC64);
    const auto inGzip = plant(xz, 0x1235, 0x20, 2);
    const ByteBuffer gz = gzipped(inGzip.image, "inner.xz");
    const auto image = plant(gz, 0x4003, 0x30, 3);

    SpanSource plain(image.image);
    std::vector<ScanHit> top;
    ASSERT_TRUE(scanObjects(plain, [&top](const ScanHit& hit) { top.push_back(hit); }).ok());
    ASSERT_EQ(top.size(), 1U);

    const DeepRun run = scanDeep(image.image);
    ASSERT_EQ(run.hits.size(), 3U);
    EXPECT_EQ(run.objects, 3U);
    EXPECT_EQ(run.hits[0], top[0]);
    const std::vector<ScanStep> gzipStep{{image.offset, "gzip", {}}};
    EXPECT_EQ(run.hits[1].format, "xz");
    EXPECT_EQ(run.hits[1].offset, inGzip.offset);
    EXPECT_EQ(run.hits[1].size, xz.size());
    EXPECT_EQ(run.hits[1].path, gzipStep);
    EXPECT_EQ(run.hits[2].format, "bzip2");
    EXPECT_EQ(run.hits[2].offset, inXz.offset);
    EXPECT_EQ(run.hits[2].size, bz.size());
    EXPECT_EQ(run.hits[2].path, (std::vector<ScanStep>{gzipStep[0], {inGzip.offset, "xz", {}}}));
}

TEST(DeepScanTest, StopsAtTheDepthLimit) {
    ByteBuffer nested = bzipped(sampleText(3000), 9);
    for (int level = 0; level < 10; ++level) {
        nested = gzipped(plant(nested, 0x21, 0x5, static_cast<std::uint32_t>(level)).image);
    }
    struct DepthCase {
        std::size_t depth;
        std::size_t hits;
        std::size_t warnings;
    };
    for (const DepthCase c : {DepthCase{8, 9, 1}, DepthCase{3, 4, 1}, DepthCase{11, 11, 0}}) {
        SCOPED_TRACE(c.depth);
        DeepLimits limits;
        limits.depth = c.depth;
        const DeepRun run = scanDeep(nested, limits);
        ASSERT_EQ(run.hits.size(), c.hits);
        for (std::size_t i = 0; i < run.hits.size(); ++i) {
            EXPECT_EQ(run.hits[i].path.size(), i);
        }
        ASSERT_EQ(run.warnings.size(), c.warnings);
        if (c.warnings != 0) {
            EXPECT_EQ(run.warnings[0].limit, "the depth limit of " + std::to_string(c.depth));
            EXPECT_EQ(run.warnings[0].where.size(), c.depth + 1);
        }
    }
}

TEST(DeepScanTest, ABombStopsAtALimitWithOneWarning) {
    // 6 GiB of zeros as zstd, in xz, in gzip: a few hundred bytes.
    const ByteBuffer bomb = gzipped(xzed(zeroFrame(std::uint64_t{6} << 30), LZMA_CHECK_CRC32));
    ASSERT_LT(bomb.size(), 4096U);
    const auto image = plant(bomb, 0x333, 0x10, 9);
    struct BombCase {
        std::string_view name;
        DeepLimits limits;
        std::vector<std::string> warnings;
    };
    const BombCase cases[] = {
        {"defaults", {}, {"the limit of 64 MiB per stream"}},
        {"a small limit in all",
         {std::uint64_t{64} << 20, std::uint64_t{100} << 20, 8},
         {"the limit of 64 MiB per stream", "the limit of 100 MiB in all"}},
        {"raised", deepLimitsFor(std::uint64_t{200} << 20), {"the limit of 200 MiB per stream"}},
    };
    for (const BombCase& c : cases) {
        SCOPED_TRACE(c.name);
        const DeepRun run = scanDeep(image.image, c.limits);
        ASSERT_EQ(run.hits.size(), 3U);
        EXPECT_EQ(run.hits[2].format, "zstd");
        std::vector<std::string> said;
        for (const ScanWarning& warning : run.warnings) {
            said.push_back(warning.limit);
            EXPECT_EQ(warning.where.size(), 3U);
            EXPECT_EQ(warning.where.back().format, "zstd");
        }
        EXPECT_EQ(said, c.warnings);
    }
}

TEST(DeepScanTest, ManyBombsTellTheLimitInAllOnce) {
    ByteBuffer image;
    for (std::uint32_t i = 0; i < 40; ++i) {
        image = joined(image, plant(zeroFrame(std::uint64_t{1} << 30), 0x11, 0, i).image);
    }
    const DeepRun run = scanDeep(image, deepLimitsFor(std::uint64_t{16} << 20));
    EXPECT_EQ(run.hits.size(), 40U);
    std::size_t inAll = 0;
    for (const ScanWarning& warning : run.warnings) {
        inAll += warning.limit == "the limit of 64 MiB in all" ? 1U : 0U;
    }
    EXPECT_EQ(inAll, 1U);
    EXPECT_LE(run.warnings.size(), 6U);
}

}  // namespace
}  // namespace tessaloom
