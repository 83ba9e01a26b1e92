// PNG images: the signature, every chunk with a check of its CRC-32 (unless its data is not to
// be read), the IHDR chunk decoded, and bytes after IEND.
#include <algorithm>
#include <array>

#include "decoder.h"

namespace tessaloom::formats {

namespace {

constexpr ByteOrder kBig = ByteOrder::kBig;
constexpr std::string_view kSignature = "\x89PNG\r\n\x1A\n";
constexpr std::uint64_t kSignatureSize = 8;
constexpr std::uint64_t kChunkOverhead = 12;  // length, type and CRC
constexpr std::uint64_t kMaxChunkLength = 0x7FFFFFFF;
constexpr std::uint64_t kImageHeaderLength = 13;

constexpr NamedValue kColourTypes[] = {
    {0, "Greyscale"},
    {2, "Truecolour"},
    {3, "Indexed-colour"},
    {4, "Greyscale with alpha"},
    {6, "Truecolour with alpha"},
};
constexpr NamedValue kCompressionMethods[] = {{0, "Deflate"}};
constexpr NamedValue kFilterMethods[] = {{0, "Adaptive"}};
constexpr NamedValue kInterlaceMethods[] = {{0, "None"}, {1, "Adam7"}};

constexpr FieldLayout kSignatureField[] = {{"Signature", 0, 8, Render::kBytes}};
constexpr FieldLayout kChunkHeader[] = {
    {"Length", 0, 4, Render::kDecimal},
    {"Type", 4, 4, Render::kBytes},
};
constexpr FieldLayout kImageHeader[] = {
    {"Width", 0, 4, Render::kDecimal},
    {"Height", 4, 4, Render::kDecimal},
    {"Bit depth", 8, 1, Render::kDecimal},
    {"Colour type", 9, 1, Render::kName, kColourTypes},
    {"Compression method", 10, 1, Render::kName, kCompressionMethods},
    {"Filter method", 11, 1, Render::kName, kFilterMethods},
    {"Interlace method", 12, 1, Render::kName, kInterlaceMethods},
};

bool isChunkType(ByteView type) {
    return std::ranges::all_of(
        type, [](std::uint8_t c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); });
}

}  // namespace

bool decodePng(Decoding& decoding) {
    Bytes& bytes = decoding.bytes;
    if (!bytes.matches(0, kSignature)) {
        return false;
    }
    decoding.report.format = "PNG";
    StructField& signature = decoding.add("Signature", 0, kSignatureSize, "PNG");
    readFields(bytes, 0, kSignatureField, kBig, signature);
    signature.fields.clear();
    decoding.report.chunks.emplace();
    std::uint64_t at = kSignatureSize;
    bool ended = false;
    std::size_t count = 0;
    while (!ended && bytes.holds(at, kChunkOverhead)) {
        std::array<std::uint8_t, 4> type{};
        const std::uint64_t length = bytes.number(at, 4, kBig).value_or(0);
        bytes.read(at + 4, type);
        if (!isChunkType(type) || length > kMaxChunkLength) {
            decoding.warn("No chunk at " + hex(at) + ": its type or length is not valid");
            break;
        }
        const std::string name(type.begin(), type.end());
        if (!bytes.holds(at + 8, length + 4)) {
            decoding.warn("Chunk " + name + " at " + hex(at) +
                          " is cut short by the end of the file");
            decoding.add(name, at, bytes.size() - at, "cut short");
            at = bytes.size();
            break;
        }
        const std::uint64_t stored = bytes.number(at + 8 + length, 4, kBig).value_or(0);
        std::uint32_t computed = 0;
        std::optional<bool> crcOk;
        if (decoding.readsData) {
            const std::optional<std::uint32_t> crc = crc32Of(bytes, at + 4, length + 4);
            computed = crc.value_or(0);
            crcOk = crc == stored;
        }
        if (crcOk == false) {
            decoding.warn("Chunk " + name + " at " + hex(at) + ": CRC-32 " + hex(stored) +
                          " stored, " + hex(computed) + " computed");
        }
        ended = name == "IEND";
        if (count++ == kMaxRows) {
            decoding.warn("Only the first " + decimal(kMaxRows) + " chunks are listed");
        }
        if (count <= kMaxRows) {
            StructField& chunk =
                decoding.add(name, at, kChunkOverhead + length, decimal(length) + " bytes");
            readFields(bytes, at, kChunkHeader, kBig, chunk);
            chunk.fields.back().value = name;
            if (name == "IHDR" && length != kImageHeaderLength) {
                decoding.warn(
                    "Chunk IHDR at " + hex(at) + " holds " + decimal(length) + " bytes, not " +
                    decimal(kImageHeaderLength) +
                    (length < kImageHeaderLength ? ": the image header is not decoded" : ""));
            }
            if (name == "IHDR" && length >= kImageHeaderLength) {
                StructField& data = addField(chunk, "Data", at + 8, length);
                readFields(bytes, at + 8, kImageHeader, kBig, data);
                const auto dimension = [&data](std::string_view field) {
                    return numberOf(data, field).value_or(0);
                };
                chunk.value = decimal(dimension("Width")) + " x " + decimal(dimension("Height")) +
                              ", " +
                              renderValue(Render::kName, dimension("Colour type"), kColourTypes);
            } else if (length > 0) {
                addField(chunk, "Data", at + 8, length);
            }
            addField(chunk, "CRC", at + 8 + length, 4,
                     hex(stored) + (!crcOk   ? " (not checked)"
                                    : *crcOk ? " (correct)"
                                             : " (wrong: " + hex(computed) + ")"),
                     stored);
            decoding.report.chunks->push_back(
                {name, at, static_cast<std::uint32_t>(length), crcOk});
        }
        at += kChunkOverhead + length;
    }
    if (!ended) {
        decoding.warn("No IEND chunk");
    }
    if (at < bytes.size()) {
        decoding.add(ended ? "Data after IEND" : "Data after the last chunk", at, bytes.size() - at,
                     decimal(bytes.size() - at) + " bytes");
    }
    return true;
}

std::vector<HeaderField> pngSummary(Bytes& sample) {
    std::vector<HeaderField> rows{
        summaryRow("Signature", {"", 0, kSignatureSize, {}, {}, {}}, R"(\x89PNG\r\n\x1a\n)")};
    StructField chunk;
    // The image rows only when the first chunk is IHDR and its width and height are there.
    if (!readFields(sample, kSignatureSize, kChunkHeader, kBig, chunk) ||
        !sample.matches(kSignatureSize + 4, "IHDR")) {
        return rows;
    }
    StructField header;
    readFields(sample, kSignatureSize + 8, kImageHeader, kBig, header);
    if (header.fields.size() < 2) {
        return rows;
    }
    const auto& fields = header.fields;
    rows.push_back(
        summaryRow("Image Dimensions", {"", fields[0].offset, 8, {}, {}, {}},
                   decimal(*fields[0].number) + " x " + decimal(*fields[1].number) + " pixels"));
    if (fields.size() > 2) {
        rows.push_back(summaryRow("Bit Depth", fields[2], decimal(*fields[2].number)));
    }
    if (fields.size() > 3) {
        rows.push_back(summaryRow("Color Type", fields[3], decimal(*fields[3].number)));
    }
    return rows;
}

}  // namespace tessaloom::formats
