#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "engine/scan/planted.h"

namespace tessaloom {
namespace {

using testing::plant;
using testing::randomFiller;
using testing::scanBytes;

const std::vector<std::string> kMediaFormats{"png", "jpeg", "gif", "bmp", "x509", "pem"};

bool isMedia(const ScanHit& hit) {
    return std::ranges::find(kMediaFormats, hit.format) != kMediaFormats.end();
}

std::vector<ScanHit> mediaHits(ByteView image) {
    std::vector<ScanHit> hits = scanBytes(image);
    std::erase_if(hits, [](const ScanHit& hit) { return !isMedia(hit); });
    return hits;
}

ByteBuffer bytesOf(std::string_view text) {
    return ByteBuffer(text.begin(), text.end());
}

void append(ByteBuffer& to, ByteView bytes) {
    to.insert(to.end(), bytes.begin(), bytes.end());
}

void append(ByteBuffer& to, std::initializer_list<std::uint8_t> bytes) {
    to.insert(to.end(), bytes.begin(), bytes.end());
}

void bigEndian(ByteBuffer& to, std::uint64_t value, int width) {
    for (int shift = 8 * (width - 1); shift >= 0; shift -= 8) {
        to.push_back(static_cast<std::uint8_t>(value >> shift));
    }
}

void littleEndian(ByteBuffer& to, std::uint64_t value, int width) {
    for (int shift = 0; shift < 8 * width; shift += 8) {
        to.push_back(static_cast<std::uint8_t>(value >> shift));
    }
}

// ---- PNG: chunks with zlib's CRC, the pixels compressed by zlib.

void pngChunk(ByteBuffer& png, std::string_view type, ByteView data) {
    bigEndian(png, data.size(), 4);
    const std::size_t typeAt = png.size();
    append(png, bytesOf(type));
    append(png, data);
    const uLong crc = crc32(0, png.data() + typeAt, static_cast<uInt>(4 + data.size()));
    bigEndian(png, crc, 4);
}

ByteBuffer makePng(std::uint32_t width, std::uint32_t height, std::uint8_t colorType,
                   std::size_t channels) {
    ByteBuffer png = bytesOf("\x89PNG\r\n\x1a\n");
    ByteBuffer header;
    bigEndian(header, width, 4);
    bigEndian(header, height, 4);
    append(header, {8, colorType, 0, 0, 0});
    pngChunk(png, "IHDR", header);
    pngChunk(png, "tEXt", bytesOf(std::string_view("Comment\0made in a test", 22)));
    ByteBuffer raw;
    for (std::uint32_t y = 0; y < height; ++y) {
        raw.push_back(0);  // no filter
        for (std::size_t x = 0; x < width * channels; ++x) {
            raw.push_back(static_cast<std::uint8_t>(x * 7 + y));
        }
    }
    uLongf packedSize = compressBound(static_cast<uLong>(raw.size()));
    ByteBuffer packed(packedSize);
    EXPECT_EQ(compress(packed.data(), &packedSize, raw.data(), static_cast<uLong>(raw.size())),
              Z_OK);
    packed.resize(packedSize);
    // Two IDAT chunks, as encoders split the stream.
    const std::size_t half = packed.size() / 2;
    pngChunk(png, "IDAT", ByteView(packed).first(half));
    pngChunk(png, "IDAT", ByteView(packed).subspan(half));
    pngChunk(png, "IEND", {});
    return png;
}

// ---- JPEG: marker segments by hand; the validator walks markers and never decodes.

void segment(ByteBuffer& jpeg, std::uint8_t marker, ByteView data) {
    append(jpeg, {0xFF, marker});
    bigEndian(jpeg, data.size() + 2, 2);
    append(jpeg, data);
}

ByteBuffer frame(std::uint16_t width, std::uint16_t height) {
    ByteBuffer data{8};
    bigEndian(data, height, 2);
    bigEndian(data, width, 2);
    append(data, {3, 1, 0x22, 0, 2, 0x11, 1, 3, 0x11, 1});
    return data;
}

// Entropy-coded bytes with a stuffed 0xFF, a restart marker and fill bytes before the next marker.
const ByteBuffer kScanData{0x12, 0x34, 0xFF, 0x00, 0x56, 0xFF, 0xD0, 0x78, 0x9A, 0xFF, 0x00, 0xBC};

enum class JpegKind { kJfif, kExif, kProgressive };

ByteBuffer makeJpeg(JpegKind kind, std::uint16_t width, std::uint16_t height) {
    ByteBuffer jpeg{0xFF, 0xD8};
    if (kind == JpegKind::kExif) {
        // An Exif block holding a thumbnail, itself a whole JPEG.
        ByteBuffer exif = bytesOf(std::string_view("Exif\0\0MM\0\x2a\0\0\0\x08", 14));
        ByteBuffer thumbnail{0xFF, 0xD8};
        segment(thumbnail, 0xDB, ByteBuffer(65, 1));
        segment(thumbnail, 0xC0, frame(160, 120));
        segment(thumbnail, 0xDA, ByteBuffer{3, 1, 0, 2, 0x11, 3, 0x11, 0, 0x3F, 0});
        append(thumbnail, kScanData);
        append(thumbnail, {0xFF, 0xD9});
        append(exif, thumbnail);
        segment(jpeg, 0xE1, exif);
    } else {
        segment(jpeg, 0xE0, bytesOf(std::string_view("JFIF\0\x01\x02\0\0\x01\0\x01\0\0", 14)));
    }
    segment(jpeg, 0xDB, ByteBuffer(65, 2));
    segment(jpeg, 0xFE, bytesOf("a comment"));
    segment(jpeg, kind == JpegKind::kProgressive ? 0xC2 : 0xC0, frame(width, height));
    segment(jpeg, 0xC4, ByteBuffer(29, 0));
    segment(jpeg, 0xDD, ByteBuffer{0, 4});
    segment(jpeg, 0xDA, ByteBuffer{3, 1, 0, 2, 0x11, 3, 0x11, 0, 0x3F, 0});
    append(jpeg, kScanData);
    if (kind == JpegKind::kProgressive) {
        // Further scans after tables that come between them.
        for (int scan = 0; scan < 3; ++scan) {
            append(jpeg, {0xFF, 0xFF});  // fill
            segment(jpeg, 0xC4, ByteBuffer(29, 1));
            segment(jpeg, 0xDA, ByteBuffer{1, 1, 0x11, 1, 5, 0});
            append(jpeg, kScanData);
        }
    }
    append(jpeg, {0xFF, 0xD9});
    return jpeg;
}

// ---- GIF: screen descriptor, colour tables, extensions and frames of sub-blocks.

void subBlocks(ByteBuffer& gif, ByteView data) {
    for (std::size_t at = 0; at < data.size(); at += 255) {
        const std::size_t n = std::min<std::size_t>(255, data.size() - at);
        gif.push_back(static_cast<std::uint8_t>(n));
        append(gif, data.subspan(at, n));
    }
    gif.push_back(0);
}

ByteBuffer makeGif(std::string_view version, std::uint16_t width, std::uint16_t height,
                   int frames) {
    ByteBuffer gif = bytesOf(version);
    littleEndian(gif, width, 2);
    littleEndian(gif, height, 2);
    append(gif, {0x81, 0, 0});  // a global table of four colours
    append(gif, ByteBuffer(12, 0x40));
    if (version == "GIF89a") {
        append(gif, {0x21, 0xFF, 11});
        append(gif, bytesOf("NETSCAPE2.0"));
        append(gif, {3, 1, 0, 0, 0});
        append(gif, {0x21, 0xFE});
        subBlocks(gif, bytesOf("made in a test"));
    }
    for (int i = 0; i < frames; ++i) {
        if (version == "GIF89a") {
            append(gif, {0x21, 0xF9, 4, 0x04, 10, 0, 0, 0});
        }
        append(gif, {0x2C, 0, 0, 0, 0});
        littleEndian(gif, width, 2);
        littleEndian(gif, height, 2);
        // The second frame brings a local table of eight colours.
        gif.push_back(i == 1 ? 0x82 : 0x00);
        if (i == 1) {
            append(gif, ByteBuffer(24, 0x80));
        }
        gif.push_back(2);  // LZW minimum code size
        subBlocks(gif, ByteBuffer(600, static_cast<std::uint8_t>(0x11 * (i + 1))));
    }
    gif.push_back(0x3B);
    return gif;
}

// ---- BMP: file header, BITMAPINFOHEADER (or the older core header), palette and rows.

ByteBuffer makeBmp(std::int32_t width, std::int32_t height, std::uint16_t bits,
                   std::uint32_t headerSize, std::size_t padding = 0) {
    const std::size_t palette = bits <= 8 ? (std::size_t{4} << bits) : 0;
    const std::size_t row = (static_cast<std::size_t>(width) * bits + 31) / 32 * 4;
    const std::size_t rows = static_cast<std::size_t>(height < 0 ? -height : height);
    const std::size_t offset = 14 + headerSize + palette;
    const std::size_t fileSize = offset + row * rows + padding;
    ByteBuffer bmp = bytesOf("BM");
    littleEndian(bmp, fileSize, 4);
    littleEndian(bmp, 0, 4);
    littleEndian(bmp, offset, 4);
    littleEndian(bmp, headerSize, 4);
    if (headerSize == 12) {
        littleEndian(bmp, static_cast<std::uint32_t>(width), 2);
        littleEndian(bmp, static_cast<std::uint32_t>(height), 2);
        littleEndian(bmp, 1, 2);
        littleEndian(bmp, bits, 2);
    } else {
        littleEndian(bmp, static_cast<std::uint32_t>(width), 4);
        littleEndian(bmp, static_cast<std::uint32_t>(height), 4);
        littleEndian(bmp, 1, 2);
        littleEndian(bmp, bits, 2);
        littleEndian(bmp, 0, 4);  // BI_RGB
        littleEndian(bmp, row * rows, 4);
        littleEndian(bmp, 2835, 4);
        littleEndian(bmp, 2835, 4);
        littleEndian(bmp, 0, 4);
        littleEndian(bmp, 0, 4);
        bmp.resize(14 + headerSize, 0);
    }
    bmp.resize(offset, 0x33);
    for (std::size_t i = bmp.size(); i < fileSize; ++i) {
        bmp.push_back(static_cast<std::uint8_t>(i * 13));
    }
    return bmp;
}

// ---- X.509: a certificate built element by element.

ByteBuffer der(std::uint8_t tag, ByteView content) {
    ByteBuffer out{tag};
    const std::size_t n = content.size();
    if (n < 0x80) {
        out.push_back(static_cast<std::uint8_t>(n));
    } else if (n < 0x100) {
        append(out, {0x81, static_cast<std::uint8_t>(n)});
    } else {
        out.push_back(0x82);
        bigEndian(out, n, 2);
    }
    append(out, content);
    return out;
}

ByteBuffer der(std::uint8_t tag, std::initializer_list<ByteBuffer> parts) {
    ByteBuffer content;
    for (const ByteBuffer& part : parts) {
        append(content, part);
    }
    return der(tag, content);
}

// A country and one more attribute (the common name, 2.5.4.3, unless told).
ByteBuffer name(ByteView value, std::uint8_t attribute = 3, std::uint8_t stringTag = 0x0C) {
    return der(
        0x30,
        {der(0x31,
             {der(0x30, {der(0x06, ByteBuffer{0x55, 0x04, 0x06}), der(0x13, bytesOf("NZ"))})}),
         der(0x31,
             {der(0x30, {der(0x06, ByteBuffer{0x55, 0x04, attribute}), der(stringTag, value)})})});
}

struct CertParts {
    ByteBuffer subject = bytesOf("device.example");
    std::uint8_t subjectAttribute = 3;
    std::uint8_t subjectStringTag = 0x0C;
    std::uint8_t innerHashOid = 0x0B;  // sha256WithRSAEncryption
    std::size_t extensionBytes = 200;
};

ByteBuffer makeCertificate(const CertParts& parts = {}) {
    const ByteBuffer algorithm =
        der(0x30, {der(0x06, ByteBuffer{0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x0B}),
                   der(0x05, ByteBuffer{})});
    const ByteBuffer innerAlgorithm = der(
        0x30,
        {der(0x06, ByteBuffer{0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, parts.innerHashOid}),
         der(0x05, ByteBuffer{})});
    ByteBuffer point{0x00, 0x04};
    point.resize(2 + 64, 0x5A);
    const ByteBuffer keyInfo = der(
        0x30, {der(0x30, {der(0x06, ByteBuffer{0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x02, 0x01}),
                          der(0x06, ByteBuffer{0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07})}),
               der(0x03, point)});
    const ByteBuffer extensions =
        der(0xA3, {der(0x30, {der(0x30, {der(0x06, ByteBuffer{0x55, 0x1D, 0x0E}),
                                         der(0x04, ByteBuffer(parts.extensionBytes, 0x77))})})});
    const ByteBuffer tbs = der(
        0x30,
        {der(0xA0, {der(0x02, ByteBuffer{2})}), der(0x02, ByteBuffer{0x01, 0x23, 0x45}),
         innerAlgorithm, name(bytesOf("Test CA")),
         der(0x30, {der(0x17, bytesOf("240102030405Z")), der(0x18, bytesOf("20991231235959Z"))}),
         name(parts.subject, parts.subjectAttribute, parts.subjectStringTag), keyInfo, extensions});
    ByteBuffer signature{0x00};
    signature.resize(257, 0xA5);
    return der(0x30, {tbs, algorithm, der(0x03, signature)});
}

std::string base64(ByteView bytes) {
    static constexpr std::string_view kDigits =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    for (std::size_t at = 0; at < bytes.size(); at += 3) {
        const std::size_t n = std::min<std::size_t>(3, bytes.size() - at);
        std::uint32_t group = 0;
        for (std::size_t i = 0; i < 3; ++i) {
            group = group << 8 | (i < n ? bytes[at + i] : 0u);
        }
        for (std::size_t i = 0; i < 4; ++i) {
            text += i <= n ? kDigits[(group >> (18 - 6 * i)) & 63] : '=';
        }
    }
    return text;
}

ByteBuffer makePem(std::string_view label, ByteView body, std::string_view newline = "\n",
                   std::string_view headers = {}) {
    std::string text = std::string("-----BEGIN ").append(label).append("-----").append(newline);
    text.append(headers);
    const std::string encoded = base64(body);
    for (std::size_t at = 0; at < encoded.size(); at += 64) {
        text.append(encoded.substr(at, 64)).append(newline);
    }
    text.append("-----END ").append(label).append("-----").append(newline);
    return bytesOf(text);
}

struct PlantedCase {
    std::string what;
    ByteBuffer object;
    std::string format;
    std::string description;  // text that the description holds
};

void expectFoundExactly(const PlantedCase& c, std::uint64_t offset) {
    SCOPED_TRACE(c.what);
    const testing::Planted planted = plant(c.object, offset);
    const std::vector<ScanHit> hits = mediaHits(planted.image);
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_EQ(hits[0].format, c.format);
    EXPECT_EQ(hits[0].offset, offset);
    EXPECT_EQ(hits[0].size, c.object.size());
    EXPECT_TRUE(hits[0].sizeExact);
    EXPECT_NE(hits[0].description.find(c.description), std::string::npos) << hits[0].description;
}

TEST(ScanMediaTest, PlantedObjectsAreFoundWithTheirExactSize) {
    const ByteBuffer certificate = makeCertificate();
    const std::vector<PlantedCase> cases{
        {"png RGBA", makePng(64, 48, 6, 4), "png", "PNG image, 64 x 48, 8-bit RGBA"},
        {"png RGB", makePng(31, 7, 2, 3), "png", "PNG image, 31 x 7, 8-bit RGB"},
        {"jpeg JFIF", makeJpeg(JpegKind::kJfif, 1920, 1080), "jpeg",
         "JPEG image, 1920 x 1080, JFIF"},
        {"jpeg Exif with a thumbnail", makeJpeg(JpegKind::kExif, 4000, 3000), "jpeg",
         "JPEG image, 4000 x 3000, Exif"},
        {"jpeg progressive", makeJpeg(JpegKind::kProgressive, 640, 480), "jpeg",
         "JPEG image, 640 x 480, progressive"},
        {"gif89a two frames", makeGif("GIF89a", 320, 200, 2), "gif",
         "GIF89a image, 320 x 200, 2 frames"},
        {"gif87a", makeGif("GIF87a", 16, 9, 1), "gif", "GIF87a image, 16 x 9, 1 frame"},
        {"bmp 24-bit", makeBmp(5, 3, 24, 40), "bmp", "BMP image, 5 x 3, 24-bit"},
        {"bmp top-down 32-bit v5", makeBmp(7, -4, 32, 124), "bmp", "BMP image, 7 x 4, 32-bit"},
        {"bmp 8-bit palette padded", makeBmp(9, 9, 8, 40, 2), "bmp", "BMP image, 9 x 9, 8-bit"},
        {"bmp core header", makeBmp(3, 2, 24, 12), "bmp", "BMP image, 3 x 2, 24-bit"},
        {"x509", certificate, "x509", "X.509 certificate, CN=\"device.example\""},
        {"x509 short tbs", makeCertificate({.subject = bytesOf("s"), .extensionBytes = 20}), "x509",
         "CN=\"s\""},
        {"x509 organisation only",
         makeCertificate({.subject = bytesOf("Org"), .subjectAttribute = 10}), "x509",
         "X.509 certificate, O=\"Org\""},
        {"x509 BMPString name",
         makeCertificate({.subject = ByteBuffer{0, 'G', 0, 'r', 0, 0xFC, 0, 'n', 0x20, 0xAC},
                          .subjectStringTag = 0x1E}),
         "x509", "CN=\"Gr\xC3\xBCn\xE2\x82\xAC\""},
        {"x509 control characters in the name", makeCertificate({.subject = bytesOf("a\x1b[2Jb")}),
         "x509", "CN=\"a\\x1B[2Jb\""},
        {"pem certificate", makePem("CERTIFICATE", certificate), "pem",
         std::string("PEM certificate, ").append(std::to_string(certificate.size()))},
        {"pem crlf", makePem("CERTIFICATE", certificate, "\r\n"), "pem", "PEM certificate"},
        {"pem encrypted key",
         makePem("RSA PRIVATE KEY", ByteBuffer(100, 9), "\n",
                 "Proc-Type: 4,ENCRYPTED\nDEK-Info: AES-128-CBC,00FF\n\n"),
         "pem", "PEM RSA private key, 100 bytes"},
        {"pem public key", makePem("PUBLIC KEY", ByteBuffer(91, 3)), "pem",
         "PEM public key, 91 bytes"},
    };
    for (const PlantedCase& c : cases) {
        expectFoundExactly(c, 0x1235);
        expectFoundExactly(c, 0x3001);
    }
}

TEST(ScanMediaTest, PemWithoutNewlineAfterEndStopsAtTheDashes) {
    const ByteBuffer pem =
        bytesOf("-----BEGIN PUBLIC KEY-----\nAAECAw==\n-----END PUBLIC KEY-----");
    ByteBuffer image = bytesOf("junk before ");
    append(image, pem);
    append(image, bytesOf(" and junk after"));
    const std::vector<ScanHit> hits = mediaHits(image);
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_EQ(hits[0].offset, 12u);
    EXPECT_EQ(hits[0].size, pem.size());
    EXPECT_TRUE(hits[0].sizeExact);
    EXPECT_NE(hits[0].description.find("4 bytes decoded"), std::string::npos);
}

// What a broken object may give: nothing, or a hit whose size is an estimate.
enum class Allowed { kNothing, kEstimateOrNothing };

struct HostileCase {
    std::string what;
    ByteBuffer object;
    Allowed allowed;
    bool atEnd = false;  // planted with nothing after it: the input ends inside the object
};

ByteBuffer patched(ByteBuffer bytes, std::size_t at, std::initializer_list<std::uint8_t> with) {
    std::ranges::copy(with, bytes.begin() + static_cast<std::ptrdiff_t>(at));
    return bytes;
}

ByteBuffer flipped(ByteBuffer bytes, std::size_t at) {
    bytes[at] ^= 0x5A;
    return bytes;
}

ByteBuffer cut(ByteBuffer bytes, std::size_t keep) {
    bytes.resize(keep);
    return bytes;
}

TEST(ScanMediaTest, BrokenObjectsGiveNoExactHit) {
    const ByteBuffer png = makePng(20, 10, 6, 4);
    const ByteBuffer jpeg = makeJpeg(JpegKind::kJfif, 100, 50);
    const ByteBuffer gif = makeGif("GIF89a", 30, 20, 2);
    const ByteBuffer bmp = makeBmp(5, 3, 24, 40);
    const ByteBuffer certificate = makeCertificate();
    ByteBuffer jpegWithoutFrame{0xFF, 0xD8};
    segment(jpegWithoutFrame, 0xDB, ByteBuffer(65, 2));
    segment(jpegWithoutFrame, 0xDA, ByteBuffer{1, 1, 0, 0, 0x3F, 0});
    append(jpegWithoutFrame, {0x11, 0x22, 0xFF, 0xD9});
    const std::string pem = "-----BEGIN CERTIFICATE-----\nAAAA\n";
    const std::vector<HostileCase> cases{
        {"png IHDR CRC", flipped(png, 29), Allowed::kNothing},
        {"png IHDR width zero", patched(png, 16, {0, 0, 0, 0}), Allowed::kNothing},
        {"png tEXt CRC", flipped(png, 33 + 8 + 21), Allowed::kEstimateOrNothing},
        {"png chunk length lies", patched(png, 33 + 34, {0x7F, 0xFF, 0xFF, 0xF0}),
         Allowed::kEstimateOrNothing},
        {"png chunk length over 2^31", patched(png, 33, {0x80, 0, 0, 0}),
         Allowed::kEstimateOrNothing},
        {"png truncated", cut(png, png.size() - 13), Allowed::kEstimateOrNothing, true},
        {"jpeg without EOI", cut(jpeg, jpeg.size() - 2), Allowed::kEstimateOrNothing},
        {"jpeg without EOI at the end", cut(jpeg, jpeg.size() - 2), Allowed::kEstimateOrNothing,
         true},
        {"jpeg cut in a segment", cut(jpeg, 30), Allowed::kEstimateOrNothing, true},
        {"jpeg without a frame", jpegWithoutFrame, Allowed::kNothing},
        {"jpeg zero width", patched(jpeg, 2 + 18 + 69 + 13 + 7, {0, 0}), Allowed::kNothing},
        {"gif truncated", cut(gif, gif.size() - 300), Allowed::kEstimateOrNothing, true},
        {"gif without a trailer", cut(gif, gif.size() - 1), Allowed::kEstimateOrNothing, true},
        {"gif zero width", patched(gif, 6, {0, 0}), Allowed::kNothing},
        {"bmp size past the end", patched(bmp, 2, {0xFF, 0xFF, 0, 0}), Allowed::kNothing},
        {"bmp reserved", patched(bmp, 6, {1}), Allowed::kNothing},
        {"bmp pixels after the end", patched(bmp, 10, {0x70}), Allowed::kNothing},
        {"bmp header size", patched(bmp, 14, {41}), Allowed::kNothing},
        {"bmp two planes", patched(bmp, 26, {2}), Allowed::kNothing},
        {"bmp 7 bits", patched(bmp, 28, {7}), Allowed::kNothing},
        {"bmp file smaller than its rows", patched(bmp, 2, {80}), Allowed::kNothing},
        {"x509 length past the end", cut(certificate, certificate.size() - 1), Allowed::kNothing,
         true},
        {"x509 outer length too long",
         patched(certificate, 3, {static_cast<std::uint8_t>(certificate[3] + 1)}),
         Allowed::kNothing},
        {"x509 signature algorithms differ", makeCertificate({.innerHashOid = 0x05}),
         Allowed::kNothing},
        {"x509 tbs length",
         patched(certificate, 7, {static_cast<std::uint8_t>(certificate[7] - 1)}),
         Allowed::kNothing},
        {"pem without END", bytesOf(pem), Allowed::kEstimateOrNothing},
        {"pem END of another label", bytesOf(pem + "-----END PUBLIC KEY-----\n"),
         Allowed::kNothing},
        {"pem not base64",
         bytesOf("-----BEGIN CERTIFICATE-----\nAA*A\n-----END CERTIFICATE-----\n"),
         Allowed::kNothing},
        {"pem padding inside",
         bytesOf("-----BEGIN CERTIFICATE-----\nAA==\nAAAA\n"
                 "-----END CERTIFICATE-----\n"),
         Allowed::kNothing},
        {"pem empty", bytesOf("-----BEGIN CERTIFICATE-----\n-----END CERTIFICATE-----\n"),
         Allowed::kNothing},
    };
    for (const HostileCase& c : cases) {
        SCOPED_TRACE(c.what);
        const testing::Planted planted = plant(c.object, 0x1235, c.atEnd ? 0 : 0x777);
        for (const ScanHit& hit : mediaHits(planted.image)) {
            EXPECT_NE(c.allowed, Allowed::kNothing) << hit.format << " at " << hit.offset;
            EXPECT_FALSE(hit.offset == planted.offset && hit.sizeExact)
                << hit.format << ": " << hit.description;
        }
    }
}

TEST(ScanMediaTest, RandomBytesGiveNoHits) {
    for (const std::uint32_t seed : {1u, 2u, 3u}) {
        SCOPED_TRACE(seed);
        EXPECT_EQ(mediaHits(randomFiller(std::size_t{8} << 20, seed)).size(), 0u);
    }
}

// A certificate and key that openssl makes, where it is installed.
TEST(ScanMediaTest, CertificateAndKeyFromOpenssl) {
    const auto dir = std::filesystem::temp_directory_path() /
                     ("tessaloom-scan-media-" + std::to_string(std::random_device{}()));
    std::filesystem::create_directories(dir);
    const auto path = [&](const char* file) { return (dir / file).string(); };
    const std::string quiet = " >\"" + path("log") + "\" 2>&1";
    if (std::system(("openssl version" + quiet).c_str()) != 0 ||
        std::system(("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes "
                     "-subj /CN=scan.example.test -days 2 -keyout \"" +
                     path("key.pem") + "\" -out \"" + path("cert.pem") + "\"" + quiet)
                        .c_str()) != 0 ||
        std::system(("openssl x509 -in \"" + path("cert.pem") + "\" -outform DER -out \"" +
                     path("cert.der") + "\"" + quiet)
                        .c_str()) != 0) {
        std::filesystem::remove_all(dir);
        GTEST_SKIP() << "openssl cannot make a certificate here";
    }
    const auto load = [&](const char* file) {
        std::ifstream in(path(file), std::ios::binary);
        return ByteBuffer(std::istreambuf_iterator<char>(in), {});
    };
    const ByteBuffer certificate = load("cert.der");
    const std::vector<PlantedCase> cases{
        {"openssl DER", certificate, "x509", "X.509 certificate, CN=\"scan.example.test\""},
        {"openssl certificate PEM", load("cert.pem"), "pem",
         std::string("PEM certificate, ").append(std::to_string(certificate.size()))},
        {"openssl key PEM", load("key.pem"), "pem", "PEM private key"},
    };
    std::filesystem::remove_all(dir);
    for (const PlantedCase& c : cases) {
        expectFoundExactly(c, 0x2345);
    }
}

// Bytes in memory that count how many of them are read.
class CountingSource : public SpanSource {
  public:
    using SpanSource::SpanSource;
    Result<std::size_t> readAt(std::uint64_t offset, std::span<std::uint8_t> into) override {
        read += into.size();
        return SpanSource::readAt(offset, into);
    }
    std::uint64_t read = 0;
};

// Thousands of JPEG candidates, each a start and an application segment that jumps over the ones
// after it to a frame and a scan whose entropy-coded data runs to the end of the input: every
// candidate is a picture of unknown size, and the data that they all lead to is read about once,
// not once for each. With two scans, the candidates lead in turn to one and to the other.
TEST(ScanMediaTest, CandidatesLeadingIntoTheSameDataReadItOnce) {
    constexpr std::size_t kCandidates = 3000;
    constexpr std::size_t kCandidateSize = 6;
    const auto scanHeader = [](ByteBuffer& to) {
        segment(to, 0xC0, ByteBuffer{8, 0, 1, 0, 1, 1, 1, 0x11, 0});
        segment(to, 0xDA, ByteBuffer{1, 1, 0, 0, 0x3F, 0});
    };
    // Entropy-coded data without a 0xFF.
    const auto data = [](ByteBuffer& to, std::size_t size, std::uint32_t seed) {
        ByteBuffer bytes = randomFiller(size, seed);
        std::ranges::replace(bytes, std::uint8_t{0xFF}, std::uint8_t{0x7F});
        append(to, bytes);
    };
    for (const std::size_t scans : {std::size_t{1}, std::size_t{2}}) {
        // The first scan's header, and the second's after 40000 bytes of the first's data.
        const std::uint64_t first = kCandidates * kCandidateSize;
        const std::uint64_t second = first + 23 + 40000;
        ByteBuffer image;
        for (std::size_t i = 0; i < kCandidates; ++i) {
            const std::uint64_t target = scans == 2 && i % 2 == 1 ? second : first;
            append(image, {0xFF, 0xD8, 0xFF, 0xE0});
            bigEndian(image, target - image.size(), 2);
        }
        ASSERT_EQ(image.size(), first);
        scanHeader(image);
        if (scans == 2) {
            data(image, 40000, 3);
            ASSERT_EQ(image.size(), second);
            scanHeader(image);
        }
        data(image, std::size_t{1} << 20, 4);
        CountingSource source(image);
        std::size_t pictures = 0;
        const Result<ScanSummary> summary = scanObjects(
            source, [&](const ScanHit& hit) { pictures += hit.format == "jpeg" ? 1U : 0U; });
        ASSERT_TRUE(summary);
        EXPECT_EQ(pictures, kCandidates) << scans;
        EXPECT_LT(source.read, 4 * image.size()) << scans;
    }
}

}  // namespace
}  // namespace tessaloom
