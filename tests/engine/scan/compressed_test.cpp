// Compressed streams made by the compressors themselves, planted in random bytes: found once each
// with their exact size; damaged ones never taken whole; random bytes hold none.
#include <bzlib.h>
#include <gtest/gtest.h>
#include <lz4.h>
#include <lz4frame.h>
#include <lzma.h>
#include <zlib.h>
#include <zstd.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/scan/encoders.h"
#include "engine/scan/planted.h"

namespace tessaloom {
namespace {

using namespace testing::encoders;
using testing::plant;
using testing::randomFiller;
using testing::scanBytes;

constexpr std::string_view kFormats[] = {"gzip", "zlib", "xz", "lzma", "bzip2", "zstd", "lz4"};

bool ours(const ScanHit& hit) {
    return std::ranges::find(kFormats, hit.format) != std::end(kFormats);
}

struct PlantedCase {
    std::string name;
    std::function<ByteBuffer()> build;
    std::string format;
    std::string description;  // text the description holds
    bool exact = true;        // a legacy lz4 frame's end is where the next block cannot be one
};

TEST(ScanCompressedTest, FindsEachStreamWithItsExactSize) {
    const ByteBuffer text = sampleText();
    const ByteBuffer noise = randomFiller(300000, 99);
    // Distances of more than 1 MiB back.
    const ByteBuffer half = randomFiller(3 << 19, 5);
    ByteBuffer distant = half;
    distant.insert(distant.end(), half.begin(), half.end());
    const PlantedCase cases[] = {
        {"gzip with a name", [&] { return gzipped(text, "rootfs.cpio"); }, "gzip",
         "gzip, name \"rootfs.cpio\", "},
        {"gzip without a name", [&] { return gzipped(text); }, "gzip", "-> 97.7 KiB"},
        {"gzip with extra, comment and header CRC",
         [&] { return gzipped(text, "a\nb", true, true); }, "gzip", "name \"a\\x0Ab\""},
        {"gzip of random bytes", [&] { return gzipped(noise, "noise"); }, "gzip", "-> 293.0 KiB"},
        {"zlib 78 01", [&] { return deflated(text, 1, 15); }, "zlib", "zlib, "},
        {"zlib 78 5E", [&] { return deflated(text, 4, 15); }, "zlib", "-> 97.7 KiB"},
        {"zlib 78 9C", [&] { return deflated(text, 6, 15); }, "zlib", "-> 97.7 KiB"},
        {"zlib 78 DA", [&] { return deflated(text, 9, 15); }, "zlib", "-> 97.7 KiB"},
        {"zlib stored", [&] { return deflated(text, 0, 15); }, "zlib", "-> 97.7 KiB"},
        {"xz CRC64", [&] { return xzed(text, LZMA_CHECK_CRC64); }, "xz", "xz, CRC64, "},
        {"xz SHA-256", [&] { return xzed(text, LZMA_CHECK_SHA256); }, "xz", "-> 97.7 KiB"},
        {"xz of random bytes", [&] { return xzed(noise, LZMA_CHECK_CRC32); }, "xz", "CRC32"},
        {"lzma", [&] { return lzmaAlone(text); }, "lzma", "dictionary 8.0 MiB, "},
        {"lzma with its size in the header",
         [&] {
             ByteBuffer bytes = lzmaAlone(text);
             for (std::size_t i = 0; i < 8; ++i) {
                 bytes[5 + i] = static_cast<std::uint8_t>(text.size() >> (8 * i));
             }
             return bytes;
         },
         "lzma", "-> 97.7 KiB"},
        {"lzma reaching back past 1 MiB", [&] { return lzmaAlone(distant, 1U << 22); }, "lzma",
         "-> 3.0 MiB"},
        {"bzip2 level 9", [&] { return bzipped(text, 9); }, "bzip2", "bzip2, block size 900k, "},
        {"bzip2 level 1, two blocks", [&] { return bzipped(joined(text, text), 1); }, "bzip2",
         "-> 195.3 KiB"},
        {"zstd with its content size", [&] { return zstded(text, false); }, "zstd", "-> 97.7 KiB"},
        {"zstd streamed, with a checksum", [&] { return zstded(text, true); }, "zstd", "checksum"},
        {"zstd of random bytes", [&] { return zstded(noise, false); }, "zstd", "-> 293.0 KiB"},
        {"lz4", [&] { return lz4ed(text, false); }, "lz4", "2 blocks"},
        {"lz4 with sizes and checksums", [&] { return lz4ed(text, true); }, "lz4", "-> 97.7 KiB"},
    };
    for (const PlantedCase& c : cases) {
        SCOPED_TRACE(c.name);
        const ByteBuffer object = c.build();
        const auto planted = plant(object, 0x1235);
        const std::vector<ScanHit> hits = scanBytes(planted.image);
        ASSERT_EQ(hits.size(), 1U);
        EXPECT_EQ(hits[0].offset, planted.offset);
        EXPECT_EQ(hits[0].format, c.format);
        EXPECT_EQ(hits[0].size, object.size());
        EXPECT_EQ(hits[0].sizeExact, c.exact);
        EXPECT_NE(hits[0].description.find(c.description), std::string::npos)
            << hits[0].description;
    }
}

TEST(ScanCompressedTest, ConsecutiveGzipMembersAreOneHitEach) {
    const ByteBuffer first = gzipped(sampleText(), "one");
    const ByteBuffer second = gzipped(sampleText(5000), "two");
    const auto planted = plant(joined(first, second), 0x301);
    const std::vector<ScanHit> hits = scanBytes(planted.image);
    ASSERT_EQ(hits.size(), 2U);
    EXPECT_EQ(hits[0].offset, planted.offset);
    EXPECT_EQ(hits[0].size, first.size());
    EXPECT_EQ(hits[1].offset, planted.offset + first.size());
    EXPECT_EQ(hits[1].size, second.size());
    EXPECT_TRUE(hits[1].sizeExact);
    EXPECT_NE(hits[1].description.find("\"two\""), std::string::npos);
}

enum class Expect { kNoHit, kEstimate, kNoHitOrEstimate };

struct HostileCase {
    std::string name;
    std::function<ByteBuffer()> build;
    Expect expect;
    std::size_t after = 0x777;  // random bytes behind the object
};

ByteBuffer changed(ByteBuffer bytes, std::size_t at, std::uint8_t value) {
    bytes.at(at) = value;
    return bytes;
}
ByteBuffer flipped(ByteBuffer bytes, std::size_t at) {
    bytes.at(at) ^= 0x40;
    return bytes;
}
ByteBuffer cut(ByteBuffer bytes, std::size_t size) {
    bytes.resize(size);
    return bytes;
}

TEST(ScanCompressedTest, DamagedStreamsAreNeverTakenWhole) {
    const ByteBuffer text = sampleText();
    const ByteBuffer gz = gzipped(text, "x");
    const ByteBuffer zl = deflated(text, 6, 15);
    const ByteBuffer xz = xzed(text, LZMA_CHECK_CRC64);
    const ByteBuffer lz = lzmaAlone(text);
    const ByteBuffer bz = bzipped(text, 9);
    const ByteBuffer zs = zstded(text, false);
    const ByteBuffer l4 = lz4ed(text, true);
    const HostileCase cases[] = {
        {"gzip trailer CRC", [&] { return flipped(gz, gz.size() - 6); }, Expect::kNoHit},
        {"gzip trailer length", [&] { return flipped(gz, gz.size() - 2); }, Expect::kNoHit},
        {"gzip reserved flag", [&] { return changed(gz, 3, 0x28); }, Expect::kNoHit},
        {"gzip without its end, then noise", [&] { return cut(gz, gz.size() / 2); },
         Expect::kNoHitOrEstimate},
        {"gzip cut by the end of the input", [&] { return cut(gz, gz.size() / 2); },
         Expect::kEstimate, 0},
        {"gzip without its trailer", [&] { return cut(gz, gz.size() - 8); }, Expect::kEstimate, 0},
        {"gzip name without its NUL", [&] { return cut(gz, 14); }, Expect::kNoHit, 0},
        {"zlib Adler-32", [&] { return flipped(zl, zl.size() - 1); }, Expect::kNoHit},
        {"zlib of a few bytes",
         [] {
             return deflated(ByteBuffer{'a', 'b'}, 6, 15);
         },
         Expect::kNoHit},
        {"zlib with a preset dictionary", [&] { return changed(zl, 1, 0xBB); }, Expect::kNoHit},
        {"zlib cut short", [&] { return cut(zl, 100); }, Expect::kNoHit, 0},
        {"xz header CRC", [&] { return flipped(xz, 9); }, Expect::kNoHit},
        {"xz stream flags", [&] { return changed(xz, 7, 0x14); }, Expect::kNoHit},
        {"xz cut short", [&] { return cut(xz, xz.size() / 2); }, Expect::kEstimate},
        {"xz with a damaged block", [&] { return flipped(xz, xz.size() / 2); }, Expect::kEstimate},
        {"xz footer", [&] { return flipped(xz, xz.size() - 3); }, Expect::kEstimate},
        {"lzma cut short", [&] { return cut(lz, lz.size() / 2); }, Expect::kNoHitOrEstimate},
        {"lzma with an odd dictionary", [&] { return changed(lz, 3, 0x81); }, Expect::kNoHit},
        // Executables are full of such: a header and an end marker, with no check to tell them
        // from chance.
        {"lzma of nothing", [] { return lzmaAlone(ByteBuffer{}); }, Expect::kNoHit},
        {"lzma of nothing, its size given",
         [] {
             ByteBuffer bytes = lzmaAlone(ByteBuffer{});
             std::fill_n(bytes.begin() + 5, 8, std::uint8_t{0});
             return bytes;
         },
         Expect::kNoHit},
        {"lzma with a huge size", [&] { return changed(lz, 12, 0x7F); }, Expect::kNoHit},
        {"lzma whose size is wrong",
         [&] {
             ByteBuffer bytes = lz;
             for (std::size_t i = 5; i < 13; ++i) {
                 bytes[i] = 0;
             }
             bytes[6] = 0x10;
             return bytes;
         },
         Expect::kNoHit},
        {"lzma whose size passes 4 GiB, with a 1 MiB dictionary, over noise",
         [] {
             return ByteBuffer{0x5D, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x74,
                               0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0B, 0x00, 0x00,
                               0x00, 0x24, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
         },
         Expect::kNoHitOrEstimate},
        {"bzip2 with a damaged block", [&] { return flipped(bz, bz.size() / 2); },
         Expect::kEstimate},
        {"bzip2 cut short", [&] { return cut(bz, bz.size() / 2); }, Expect::kEstimate, 0},
        {"bzip2 level 0", [&] { return changed(bz, 3, '0'); }, Expect::kNoHit},
        {"zstd reserved bit", [&] { return changed(zs, 4, zs[4] | 0x08); }, Expect::kNoHit},
        {"zstd block past the end",
         [&] {
             // The first block's size set to the largest a block may have, in a frame whose
             // window allows it: streamed, the header is the magic, descriptor and window.
             ByteBuffer bytes = zstded(sampleText(3000), true);
             EXPECT_EQ(bytes[4], 0x04);
             const std::size_t header = 6;
             const std::uint32_t block = (bytes[header] & 7U) | (0x1FFFFU << 3);
             bytes[header] = static_cast<std::uint8_t>(block);
             bytes[header + 1] = static_cast<std::uint8_t>(block >> 8);
             bytes[header + 2] = static_cast<std::uint8_t>(block >> 16);
             return bytes;
         },
         Expect::kEstimate},
        {"zstd reserved block type",
         [&] {
             // Single segment with a 4-byte content size: the first block follows at 9.
             EXPECT_EQ(zs[4], 0xA0);
             return changed(zs, 9, zs[9] | 0x06);
         },
         Expect::kNoHit},
        {"zstd cut short", [&] { return cut(zs, zs.size() - 2); }, Expect::kEstimate, 0},
        {"lz4 header checksum", [&] { return flipped(l4, 14); }, Expect::kNoHit},
        {"lz4 version", [&] { return changed(l4, 4, l4[4] ^ 0xC0); }, Expect::kNoHit},
        {"lz4 block larger than its frame allows", [&] { return changed(l4, 17, 0x7F); },
         Expect::kNoHit},
        {"lz4 legacy block of noise",
         [&] {
             ByteBuffer bytes = lz4Legacy(text);
             const ByteBuffer noise = randomFiller(bytes.size() - 8, 3);
             std::ranges::copy(noise, bytes.begin() + 8);
             return bytes;
         },
         Expect::kNoHit},
        {"lz4 legacy cut short", [&] { return cut(lz4Legacy(sampleText(300000)), 70000); },
         Expect::kEstimate, 0},
        {"lz4 cut short", [&] { return cut(l4, l4.size() - 3); }, Expect::kEstimate, 0},
    };
    for (const HostileCase& c : cases) {
        SCOPED_TRACE(c.name);
        const ByteBuffer object = c.build();
        const auto planted = plant(object, 0x2001, c.after);
        const std::vector<ScanHit> hits = scanBytes(planted.image);
        std::vector<ScanHit> there;
        for (const ScanHit& hit : hits) {
            EXPECT_FALSE(hit.sizeExact && hit.offset <= planted.offset &&
                         hit.offset + hit.size >= planted.offset + object.size())
                << hit.format << " " << hit.description;
            if (hit.offset == planted.offset) {
                there.push_back(hit);
            }
        }
        ASSERT_LE(there.size(), 1U);
        if (c.expect == Expect::kNoHit) {
            EXPECT_TRUE(there.empty()) << there[0].description;
        } else if (c.expect == Expect::kEstimate) {
            ASSERT_EQ(there.size(), 1U);
            EXPECT_FALSE(there[0].sizeExact);
        }
        if (!there.empty()) {
            EXPECT_FALSE(there[0].sizeExact);
            EXPECT_LE(there[0].offset + there[0].size, planted.image.size());
        }
    }
}

TEST(ScanCompressedTest, RandomBytesHoldNoStream) {
    for (const std::uint32_t seed : {1U, 2U, 3U}) {
        const ByteBuffer noise = randomFiller(8 << 20, seed);
        for (const ScanHit& hit : scanBytes(noise)) {
            EXPECT_FALSE(ours(hit))
                << seed << ": " << hit.format << " at " << hit.offset << ": " << hit.description;
        }
    }
}

// A stream that decodes to more than the scanner decodes is reported with a lower bound: 1.1 GiB of
// zeros, deflated a MiB at a time with a full flush in between, so that one piece repeats.
TEST(ScanCompressedTest, HugePayloadGivesAnEstimate) {
    const ByteBuffer zeros(1 << 20);
    z_stream stream{};
    ASSERT_EQ(deflateInit(&stream, 1), Z_OK);
    ByteBuffer piece(1 << 16);
    ByteBuffer object;
    const auto run = [&](int flush) {
        stream.next_in = const_cast<Bytef*>(zeros.data());
        stream.avail_in = static_cast<uInt>(zeros.size());
        do {
            stream.next_out = piece.data();
            stream.avail_out = static_cast<uInt>(piece.size());
            deflate(&stream, flush);
            object.insert(object.end(), piece.begin(), piece.end() - stream.avail_out);
        } while (stream.avail_out == 0);
    };
    run(Z_FULL_FLUSH);
    const std::size_t first = object.size();
    run(Z_FULL_FLUSH);
    const ByteBuffer repeated(object.begin() + static_cast<std::ptrdiff_t>(first), object.end());
    for (int i = 2; i < 1100; ++i) {
        object.insert(object.end(), repeated.begin(), repeated.end());
    }
    deflateEnd(&stream);
    // The stream has no end: what counts is that the scan stops decoding it.
    const auto planted = plant(object, 0x11);
    const std::vector<ScanHit> hits = scanBytes(planted.image);
    ASSERT_EQ(hits.size(), 1U);
    EXPECT_EQ(hits[0].format, "zlib");
    EXPECT_FALSE(hits[0].sizeExact);
    EXPECT_GT(hits[0].size, 0U);
    EXPECT_LT(hits[0].size, object.size());
    EXPECT_NE(hits[0].description.find("more than 1.0 GiB"), std::string::npos)
        << hits[0].description;
}

// Many gzip headers, each inside the extra field of the one before, all in front of one deflate
// stream of 256 MiB of zeros whose trailer is wrong: every header is a candidate that decodes the
// whole stream before its check fails. The scan decodes no more than its allowance, and then takes
// the candidate it stopped decoding as a stream it could not check, which hides those inside it.
TEST(ScanCompressedTest, NestedCandidatesShareOneDecodingAllowance) {
    const ByteBuffer zeros(1 << 20);
    z_stream stream{};
    ASSERT_EQ(deflateInit2(&stream, 1, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
    ByteBuffer piece(1 << 16);
    ByteBuffer deflate;
    const auto run = [&](ByteView in, int flush) {
        stream.next_in = const_cast<Bytef*>(in.data());
        stream.avail_in = static_cast<uInt>(in.size());
        do {
            stream.next_out = piece.data();
            stream.avail_out = static_cast<uInt>(piece.size());
            ::deflate(&stream, flush);
            deflate.insert(deflate.end(), piece.begin(), piece.end() - stream.avail_out);
        } while (stream.avail_out == 0);
    };
    run(zeros, Z_FULL_FLUSH);
    const std::size_t first = deflate.size();
    run(zeros, Z_FULL_FLUSH);
    const ByteBuffer repeated(deflate.begin() + static_cast<std::ptrdiff_t>(first), deflate.end());
    for (int i = 2; i < 256; ++i) {
        deflate.insert(deflate.end(), repeated.begin(), repeated.end());
    }
    run({}, Z_FINISH);
    deflateEnd(&stream);

    constexpr std::size_t kHeaders = 100;
    constexpr std::size_t kHeader = 12;
    ByteBuffer object;
    for (std::size_t i = 0; i < kHeaders; ++i) {
        const std::size_t extra = kHeader * (kHeaders - 1 - i);
        const ByteBuffer header{0x1F,
                                0x8B,
                                0x08,
                                0x04,
                                0,
                                0,
                                0,
                                0,
                                0,
                                3,
                                static_cast<std::uint8_t>(extra),
                                static_cast<std::uint8_t>(extra >> 8)};
        object.insert(object.end(), header.begin(), header.end());
    }
    object.insert(object.end(), deflate.begin(), deflate.end());
    object.insert(object.end(), 8, 0);  // neither the CRC nor the length of 256 MiB of zeros

    const auto planted = plant(object, 0x333);
    const std::vector<ScanHit> hits = scanBytes(planted.image);
    ASSERT_EQ(hits.size(), 1U);
    EXPECT_EQ(hits[0].format, "gzip");
    EXPECT_FALSE(hits[0].sizeExact);
    EXPECT_GT(hits[0].offset, planted.offset);
    EXPECT_LT(hits[0].offset, planted.offset + kHeaders * kHeader);
    EXPECT_EQ((hits[0].offset - planted.offset) % kHeader, 0U);
    EXPECT_NE(hits[0].description.find("not checked"), std::string::npos) << hits[0].description;
}

}  // namespace
}  // namespace tessaloom
