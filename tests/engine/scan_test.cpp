// The scanner's one pass: objects across the blocks it reads, hits handed on in order of offsets
// whatever the place of their magic, the interiors it passes over, streams, and read failures.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "engine/chunked_file.h"
#include "engine/hex_text.h"
#include "engine/scan/planted.h"

namespace tessaloom {
namespace {

using testing::plant;
using testing::randomFiller;
using testing::scanBytes;

void putBig32(ByteBuffer& out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<std::uint8_t>(value >> shift));
    }
}

void append(ByteBuffer& out, std::string_view text) {
    out.insert(out.end(), text.begin(), text.end());
}

void chunk(ByteBuffer& png, std::string_view type, const ByteBuffer& body) {
    putBig32(png, static_cast<std::uint32_t>(body.size()));
    ByteBuffer typed;
    append(typed, type);
    typed.insert(typed.end(), body.begin(), body.end());
    png.insert(png.end(), typed.begin(), typed.end());
    putBig32(png,
             static_cast<std::uint32_t>(crc32(0, typed.data(), static_cast<uInt>(typed.size()))));
}

// A 4 x 4 grey PNG.
ByteBuffer smallPng() {
    ByteBuffer png;
    append(png, "\x89PNG\r\n\x1a\n");
    ByteBuffer header;
    putBig32(header, 4);
    putBig32(header, 4);
    header.insert(header.end(), {8, 0, 0, 0, 0});
    chunk(png, "IHDR", header);
    const ByteBuffer rows(4 * 5, 0);
    ByteBuffer packed(compressBound(static_cast<uLong>(rows.size())));
    uLongf packedSize = static_cast<uLongf>(packed.size());
    compress(packed.data(), &packedSize, rows.data(), static_cast<uLong>(rows.size()));
    packed.resize(packedSize);
    chunk(png, "IDAT", packed);
    chunk(png, "IEND", {});
    return png;
}

// A ustar archive of one member and its end, two zero blocks.
ByteBuffer tarOf(std::string_view name, ByteView body) {
    ByteBuffer header(512, 0);
    std::memcpy(header.data(), name.data(), name.size());
    const auto octal = [&header](std::size_t at, std::size_t width, std::uint64_t value) {
        std::string digits(width - 1, '0');
        for (std::size_t i = width - 1; i-- > 0; value >>= 3) {
            digits[i] = static_cast<char>('0' + (value & 7));
        }
        std::memcpy(header.data() + at, digits.data(), digits.size());
    };
    octal(100, 8, 0644);
    octal(108, 8, 0);
    octal(116, 8, 0);
    octal(124, 12, body.size());
    octal(136, 12, 0);
    header[156] = '0';
    std::memcpy(header.data() + 257,
                "ustar\0"
                "00",
                8);
    std::memset(header.data() + 148, ' ', 8);
    std::uint64_t sum = 0;
    for (const std::uint8_t byte : header) {
        sum += byte;
    }
    octal(148, 7, sum);
    ByteBuffer tar = header;
    tar.insert(tar.end(), body.begin(), body.end());
    tar.resize((tar.size() + 511) / 512 * 512 + 1024, 0);
    return tar;
}

// An MBR whose boot code is `code` and which has one Linux partition.
ByteBuffer mbrWith(ByteView code) {
    ByteBuffer mbr(512, 0);
    std::copy(code.begin(), code.end(), mbr.begin());
    std::uint8_t* entry = mbr.data() + 0x1BE;
    entry[0] = 0x80;
    entry[4] = 0x83;
    entry[8] = 0x00;
    entry[9] = 0x08;   // from LBA 2048
    entry[13] = 0x10;  // 4096 sectors
    mbr[510] = 0x55;
    mbr[511] = 0xAA;
    return mbr;
}

struct Expected {
    std::uint64_t offset;
    std::string format;
};

std::vector<Expected> placesOf(const std::vector<ScanHit>& hits) {
    std::vector<Expected> places;
    for (const ScanHit& hit : hits) {
        places.push_back({hit.offset, hit.format});
    }
    return places;
}

bool operator==(const Expected& a, const Expected& b) {
    return a.offset == b.offset && a.format == b.format;
}

void PrintTo(const Expected& place, std::ostream* out) {
    *out << place.format << "@" << place.offset;
}

TEST(ScanTest, FindsObjectsWhereverTheBlocksOfTheReadSplitThem) {
    const ByteBuffer png = smallPng();
    // The scanner reads 128 KiB at a time, so 1 MiB is a block's end too: the object starts just
    // before it, its magic straddles it, or it begins right at the next block.
    for (const std::uint64_t offset :
         {std::uint64_t{0}, std::uint64_t{1}, (std::uint64_t{1} << 20) - 3,
          (std::uint64_t{1} << 20) - 1, std::uint64_t{1} << 20, (std::uint64_t{2} << 20) + 5}) {
        const testing::Planted planted = plant(png, offset, 100);
        const std::vector<ScanHit> hits = scanBytes(planted.image);
        ASSERT_EQ(hits.size(), 1U) << offset;
        EXPECT_EQ(hits[0].offset, offset);
        EXPECT_EQ(hits[0].format, "png");
        EXPECT_EQ(hits[0].size, png.size());
        EXPECT_TRUE(hits[0].sizeExact);
    }
}

TEST(ScanTest, HandsHitsOnInOrderOfOffsetsAndPassesOverWhatArchivesHold) {
    const ByteBuffer png = smallPng();
    // The partition table's magic lies 510 bytes in, after the picture in its boot code.
    const ByteBuffer mbr = mbrWith(png);
    // The tar's magic lies 257 bytes in; the picture inside it is one of its members.
    const ByteBuffer tar = tarOf("picture.png", png);
    struct Case {
        std::string name;
        ByteBuffer object;
        std::vector<Expected> found;  // offsets from the object's start
    };
    const std::vector<Case> cases = {
        {"picture in an MBR's boot code", mbr, {{0, "mbr"}, {0, "png"}}},
        {"picture held by a tar", tar, {{0, "tar"}}},
    };
    for (const Case& c : cases) {
        const testing::Planted planted = plant(c.object, 0x40001);
        std::vector<Expected> wanted;
        for (const Expected& e : c.found) {
            wanted.push_back({planted.offset + e.offset, e.format});
        }
        EXPECT_EQ(placesOf(scanBytes(planted.image)), wanted) << c.name;
    }
}

TEST(ScanTest, StreamsAndFilesGiveTheSameHitsAndFailuresEndTheScan) {
    const ByteBuffer png = smallPng();
    ByteBuffer image = plant(png, 777, 3000).image;
    const ByteBuffer second = plant(png, 1 << 20, 10).image;
    image.insert(image.end(), second.begin(), second.end());
    const std::vector<ScanHit> expected = scanBytes(image);
    ASSERT_EQ(expected.size(), 2U);

    TemporaryFile file(image);
    FileReader fileReader(file.path());
    std::vector<ScanHit> fromFile;
    ASSERT_TRUE(scanObjects(fileReader, [&](const ScanHit& hit) { fromFile.push_back(hit); }));
    EXPECT_EQ(fromFile, expected);

    FileReader streamReader("pipe", std::make_unique<StreamOf>(image, 4093));
    std::vector<ScanHit> fromStream;
    ASSERT_TRUE(scanObjects(streamReader, [&](const ScanHit& hit) { fromStream.push_back(hit); }));
    EXPECT_EQ(fromStream, expected);

    // A stream longer than the copy may be.
    FileReader longStream("pipe", std::make_unique<StreamOf>(image, 4093));
    ScanOptions limited;
    limited.streamLimit = 1000;
    try {
        (void)scanObjects(
            longStream, [](const ScanHit&) {}, limited);
        ADD_FAILURE() << "no failure";
    } catch (const ReadError& error) {
        EXPECT_EQ(error.failure().kind, Failure::Kind::kMemory);
    }
}

// A source that fails from an offset on, as a disk with a bad sector does.
class FailingSource : public ByteSource {
  public:
    FailingSource(ByteView bytes, std::uint64_t failFrom) : bytes_(bytes), failFrom_(failFrom) {}
    std::uint64_t size() const override { return bytes_.size(); }
    Result<std::size_t> readAt(std::uint64_t offset, std::span<std::uint8_t> into) override {
        if (offset + into.size() > failFrom_) {
            return Failure{Failure::Kind::kRead, "disk", "Input/output error", 5, {}};
        }
        return SpanSource(bytes_).readAt(offset, into);
    }

  private:
    ByteView bytes_;
    std::uint64_t failFrom_;
};

TEST(ScanTest, AReadThatFailsEndsTheScanWithItsReason) {
    const ByteBuffer image = randomFiller(3 << 20);
    for (const std::uint64_t failFrom : {std::uint64_t{0}, std::uint64_t{(1 << 20) + 17}}) {
        FailingSource source(image, failFrom);
        const Result<ScanSummary> summary = scanObjects(source, [](const ScanHit&) {});
        ASSERT_FALSE(summary) << failFrom;
        EXPECT_EQ(summary.failure().reason, "Input/output error");
    }
}

TEST(ScanTest, CarvingWritesEachObjectWithinItsLimitOrSaysWhyNot) {
    const ByteBuffer png = smallPng();
    ByteBuffer image = plant(png, 100, 50).image;
    const ByteBuffer second = plant(png, 333, 10).image;
    image.insert(image.end(), second.begin(), second.end());
    SpanSource source(image);
    TemporaryFile folder(ByteView{});
    const std::string into = folder.sibling("");
    struct Case {
        std::uint64_t limit;
        std::vector<std::string> written;
        std::uint64_t skipped;
    };
    const std::uint64_t secondAt = 100 + png.size() + 50 + 333;
    const std::string first = "0x64.png";
    const std::string later = "0x" + hexNumber(secondAt) + ".png";
    // The last case writes both, and the first file's bytes are looked at after it.
    for (const Case& c :
         {Case{0, {}, 2}, Case{png.size() + 1, {first}, 1}, Case{UINT64_MAX, {first, later}, 0}}) {
        std::filesystem::remove(into + first);
        std::filesystem::remove(into + later);
        std::vector<std::string> written;
        const Result<CarveSummary> summary = carveObjects(source, into,
                                                          [&](const CarvedObject& carved) {
                                                              if (carved.reason.empty()) {
                                                                  written.push_back(carved.name);
                                                              }
                                                          },
                                                          {.progress = {},
                                                           .totalLimit = c.limit,
                                                           .deep = false,
                                                           .deepLimits = {},
                                                           .warning = {}});
        ASSERT_TRUE(summary) << c.limit;
        EXPECT_EQ(written, c.written) << c.limit;
        EXPECT_EQ(summary->skipped, c.skipped) << c.limit;
        EXPECT_EQ(summary->bytes, png.size() * c.written.size()) << c.limit;
    }
    std::ifstream carved(into + first, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(carved)), {});
    EXPECT_EQ(bytes, std::string(png.begin(), png.end()));
    // A folder that is not there cannot be written into.
    const Result<CarveSummary> nowhere =
        carveObjects(source, into + "missing", [](const CarvedObject&) {});
    ASSERT_FALSE(nowhere);
    EXPECT_EQ(nowhere.failure().kind, Failure::Kind::kWrite);
}

TEST(ScanTest, RandomBytesHoldNoObject) {
    for (const std::uint32_t seed : {1U, 2U, 3U, 4U}) {
        const std::vector<ScanHit> hits = scanBytes(randomFiller(8 << 20, seed));
        for (const ScanHit& hit : hits) {
            ADD_FAILURE() << "seed " << seed << ": " << hit.format << " at " << hit.offset << ": "
                          << hit.description;
        }
    }
}

}  // namespace
}  // namespace tessaloom
