// Carving inside what decompresses: each nested object's bytes and payload under its parent's
// folder, equal to what was packed, and bombs stopped at the deep limits with one warning each.
#include "engine/carve.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "engine/file_io_fixture.h"
#include "engine/hex_text.h"
#include "engine/scan/encoders.h"
#include "engine/scan/planted.h"

namespace tessaloom {
namespace {

using namespace testing::encoders;
using testing::plant;

class CarveTest : public FileIoTest {
  protected:
    struct Carved {
        std::vector<CarvedObject> lines;
        std::vector<ScanWarning> warnings;
        CarveSummary summary;
    };
    Carved carve(ByteView image, CarveOptions options) {
        Carved carved;
        options.warning = [&carved](const ScanWarning& w) { carved.warnings.push_back(w); };
        fs::create_directory(path("out"));
        SpanSource source(image);
        const Result<CarveSummary> summary = carveObjects(
            source, path("out"), [&](const CarvedObject& c) { carved.lines.push_back(c); },
            options);
        EXPECT_TRUE(summary.ok());
        if (summary) {
            carved.summary = *summary;
        }
        return carved;
    }
    std::string bytesOf(const ByteBuffer& buffer) const { return {buffer.begin(), buffer.end()}; }
};

TEST_F(CarveTest, NestedStreamsGoUnderTheirParentsFolder) {
    const ByteBuffer text = sampleText(5000);
    const ByteBuffer bz = bzipped(text, 9);
    const auto inXz = plant(bz, 0x31, 0x9, 1);
    const ByteBuffer xz = xzed(inXz.image, LZMA_CHECK_CRC64);
    const auto inGzip = plant(xz, 0x57, 0x11, 2);
    const ByteBuffer gzip = gzipped(inGzip.image);
    const auto image = plant(gzip, 0x1235, 0x40, 3);
    CarveOptions options;
    options.deep = true;
    const Carved carved = carve(image.image, options);
    EXPECT_TRUE(carved.warnings.empty());
    const std::string g = "out/0x1235.gzip";
    const std::string x = g + ".d/0x" + hexNumber(inGzip.offset) + ".xz";
    const std::string b = x + ".d/0x" + hexNumber(inXz.offset) + ".bzip2";
    struct Expected {
        std::string name;
        ByteBuffer bytes;
    };
    const Expected files[] = {{g, gzip}, {g + ".out", inGzip.image},
                              {x, xz},   {x + ".out", inXz.image},
                              {b, bz},   {b + ".out", text}};
    for (const Expected& file : files) {
        SCOPED_TRACE(file.name);
        EXPECT_TRUE(read(file.name) == bytesOf(file.bytes));
    }
    EXPECT_EQ(carved.summary.objects, 3U);
    EXPECT_EQ(carved.summary.files, 6U);
    EXPECT_EQ(carved.summary.skipped, 0U);
    // Without deep, only the outer stream and its payload.
    fs::remove_all(path("out"));
    const Carved flat = carve(image.image, {});
    EXPECT_EQ(flat.summary.files, 2U);
    EXPECT_EQ(list("out"), (std::set<std::string>{"0x1235.gzip", "0x1235.gzip.out"}));
}

TEST_F(CarveTest, ABombIsStoppedAtTheDeepLimitsWithOneWarning) {
    // 6 GiB of zeros as zstd, in xz, in gzip: a few hundred bytes.
    const ByteBuffer bomb = gzipped(xzed(zeroFrame(std::uint64_t{6} << 30), LZMA_CHECK_CRC32));
    const auto image = plant(bomb, 0x333, 0x10, 9);
    struct BombCase {
        std::string_view name;
        DeepLimits limits;
        std::string limit;
    };
    const BombCase cases[] = {
        {"defaults", {}, "the limit of 64 MiB per stream"},
        {"lowered", deepLimitsFor(std::uint64_t{1} << 20), "the limit of 1 MiB per stream"},
    };
    for (const BombCase& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(path("out"));
        CarveOptions options;
        options.deep = true;
        options.deepLimits = c.limits;
        const Carved carved = carve(image.image, options);
        ASSERT_EQ(carved.warnings.size(), 1U);
        EXPECT_EQ(carved.warnings[0].limit, c.limit);
        EXPECT_EQ(carved.summary.objects, 3U);
        EXPECT_LT(carved.summary.bytes, std::uint64_t{1} << 20);
        ASSERT_FALSE(carved.lines.empty());
        const CarvedObject& last = carved.lines.back();
        EXPECT_EQ(last.name, "0x333.gzip.d/0x0.xz.d/0x0.zstd.out");
        EXPECT_EQ(last.reason, "its payload passes " + c.limit);
        EXPECT_FALSE(fs::exists(path("out/0x333.gzip.d/0x0.xz.d/0x0.zstd.out")));
        EXPECT_EQ(carved.summary.skipped, 1U);
    }
}

}  // namespace
}  // namespace tessaloom
