#include "format_detect.h"

#include <algorithm>
#include <span>
#include <string_view>

#include "byte_order.h"

namespace tessaloom {

namespace {

using namespace std::string_view_literals;

// Every format needs at least this many bytes to be recognised.
constexpr std::uint64_t kMinimumLength = 16;
// The DOS header ends with the pointer to the PE header at bytes 60-63.
constexpr std::uint64_t kDosHeaderLength = FormatSampler::kHeadLength;
constexpr std::uint64_t kPeOffsetPosition = 60;
// The PE signature and the COFF file header that follows it.
constexpr std::uint64_t kPeHeaderLength = FormatSampler::kPeHeaderLength;
constexpr std::string_view kDosMagic = "MZ"sv;
constexpr std::string_view kPeSignature = "PE\0\0"sv;
// e_type and e_machine end at byte 20.
constexpr std::uint64_t kElfHeaderLength = 20;
// The IHDR chunk's type, then its width and height, end at byte 24.
constexpr std::uint64_t kPngHeaderLength = 24;
constexpr std::uint64_t kPngChunkTypePosition = 12;
constexpr std::string_view kPngHeaderChunk = "IHDR"sv;

// Renders the bytes that a row describes as the row's value.
using Render = std::string (*)(ByteView field);

// One row of a format's table: where its bytes lie and how they read. A row without a renderer
// shows its fixed text.
struct RowLayout {
    std::string_view label;
    std::uint64_t offset;
    std::uint64_t size;
    Render render;
    std::string_view fixedText = {};
};

struct NamedValue {
    std::uint64_t value;
    std::string_view name;
};

std::string decimal(std::uint64_t value) {
    return std::to_string(value);
}

// "0x" and upper-case digits without leading zeros: 0 is 0x0, 43620 is 0xAA64.
std::string upperHex(std::uint64_t value) {
    constexpr std::string_view kDigits = "0123456789ABCDEF";
    char reversed[16];
    std::size_t count = 0;
    do {
        reversed[count++] = kDigits[value & 0xF];
        value >>= 4;
    } while (value != 0);
    std::string text = "0x";
    while (count > 0) {
        text.push_back(reversed[--count]);
    }
    return text;
}

// The table's name for value, or value rendered by other when the table does not name it.
std::string nameOr(std::span<const NamedValue> table, std::uint64_t value,
                   std::string (*other)(std::uint64_t)) {
    const auto entry = std::ranges::find(table, value, &NamedValue::value);
    return entry != table.end() ? std::string(entry->name) : other(value);
}

constexpr NamedValue kPeMachines[] = {{0x8664, "AMD64 (x86_64)"}, {0x14C, "i386 (x86)"}};
constexpr NamedValue kElfOsAbis[] = {{0, "UNIX - System V"}};
constexpr NamedValue kElfTypes[] = {{2, "EXEC (Executable file)"}, {3, "DYN (Shared object)"}};
constexpr NamedValue kElfMachines[] = {{62, "x86-64"}, {3, "Intel 80386"}, {183, "AArch64"}};
constexpr NamedValue kZipMethods[] = {{8, "Deflate"}, {0, "Stored"}};

std::string littleEndianDecimal(ByteView field) {
    return decimal(readLittleEndian(field));
}
std::string littleEndianHex(ByteView field) {
    return upperHex(readLittleEndian(field));
}
std::string byteCount(ByteView field) {
    return decimal(readLittleEndian(field)) + " bytes";
}
std::string peMachine(ByteView field) {
    return nameOr(kPeMachines, readLittleEndian(field), upperHex);
}
std::string elfClass(ByteView field) {
    return field[0] == 2 ? "64-bit Architecture" : "32-bit Architecture";
}
std::string elfData(ByteView field) {
    return field[0] == 1 ? "Little-Endian (2's complement)" : "Big-Endian";
}
std::string elfOsAbi(ByteView field) {
    return nameOr(kElfOsAbis, readLittleEndian(field), upperHex);
}
// e_type and e_machine read little-endian whatever byte order the file declares.
std::string elfType(ByteView field) {
    return nameOr(kElfTypes, readLittleEndian(field), decimal);
}
std::string elfMachine(ByteView field) {
    return nameOr(kElfMachines, readLittleEndian(field), decimal);
}
std::string zipMethod(ByteView field) {
    return nameOr(kZipMethods, readLittleEndian(field), decimal);
}
// Width and height, each 32-bit big-endian.
std::string imageDimensions(ByteView field) {
    return decimal(readBigEndian(field.first(4))) + " x " +
           decimal(readBigEndian(field.subspan(4))) + " pixels";
}

// The backslashes in the fixed texts are ordinary characters: "PE\0\0" is six characters.
constexpr RowLayout kDosHeaderRows[] = {{"e_magic", 0, 2, nullptr, "MZ (0x5A4D)"}};
constexpr RowLayout kDosPointerRows[] = {
    {"e_lfanew (PE Header Offset)", kPeOffsetPosition, 4, littleEndianHex}};
// Offsets from the start of the PE header.
constexpr RowLayout kPeHeaderRows[] = {
    {"Signature", 0, 4, nullptr, R"(PE\0\0)"},
    {"Machine Architecture", 4, 2, peMachine},
    {"NumberOfSections", 6, 2, littleEndianDecimal},
    {"TimeDateStamp", 8, 4, littleEndianDecimal},
};
constexpr RowLayout kElfIdentRows[] = {
    {"e_ident[EI_MAG]", 0, 4, nullptr, "0x7F 'ELF'"},
    {"EI_CLASS", 4, 1, elfClass},
    {"EI_DATA", 5, 1, elfData},
    {"EI_VERSION", 6, 1, littleEndianDecimal},
    {"EI_OSABI", 7, 1, elfOsAbi},
};
constexpr RowLayout kElfHeaderRows[] = {
    {"e_type", 16, 2, elfType},
    {"e_machine", 18, 2, elfMachine},
};
constexpr RowLayout kZipRows[] = {
    {"Signature", 0, 4, nullptr, R"(PK\x03\x04 (Local File Header))"},
    {"Version Needed To Extract", 4, 2, littleEndianDecimal},
    {"Compression Method", 8, 2, zipMethod},
    {"Compressed Size", 18, 4, byteCount},
    {"Uncompressed Size", 22, 4, byteCount},
};
constexpr RowLayout kPngSignatureRows[] = {{"Signature", 0, 8, nullptr, R"(\x89PNG\r\n\x1a\n)"}};
constexpr RowLayout kPngHeaderRows[] = {
    {"Image Dimensions", 16, 8, imageDimensions},
    {"Bit Depth", 24, 1, littleEndianDecimal},
    {"Color Type", 25, 1, littleEndianDecimal},
};

bool bytesAre(const FormatSampler& data, std::uint64_t offset, std::string_view expected) {
    return data.holds(offset, expected.size()) &&
           std::ranges::equal(data.bytesAt(offset, expected.size()), expected, {}, {},
                              [](char c) { return static_cast<std::uint8_t>(c); });
}

// Appends the rows of layouts, read at base plus their offsets, in table order. The list ends at
// the first row whose bytes lie past the end of the data.
void appendRows(std::vector<HeaderField>& rows, const FormatSampler& data,
                std::span<const RowLayout> layouts, std::uint64_t base = 0) {
    for (const RowLayout& layout : layouts) {
        const std::uint64_t offset = base + layout.offset;
        if (!data.holds(offset, layout.size)) {
            return;
        }
        const ByteView field = data.bytesAt(offset, layout.size);
        std::string value =
            layout.render != nullptr ? layout.render(field) : std::string(layout.fixedText);
        rows.push_back({std::string(layout.label), std::move(value), offset, layout.size});
    }
}

std::uint64_t peHeaderOffset(ByteView head) {
    return readLittleEndian(head.subspan(kPeOffsetPosition, 4));
}

std::vector<HeaderField> peRows(const FormatSampler& data) {
    std::vector<HeaderField> rows;
    appendRows(rows, data, kDosHeaderRows);
    if (data.length() < kDosHeaderLength) {
        return rows;
    }
    appendRows(rows, data, kDosPointerRows);
    // A 32-bit offset plus 24 cannot overflow in 64 bits.
    const std::uint64_t peOffset = peHeaderOffset(data.bytesAt(0, kDosHeaderLength));
    if (peOffset + kPeHeaderLength <= data.length() && bytesAre(data, peOffset, kPeSignature)) {
        appendRows(rows, data, kPeHeaderRows, peOffset);
    }
    return rows;
}

std::vector<HeaderField> elfRows(const FormatSampler& data) {
    std::vector<HeaderField> rows;
    appendRows(rows, data, kElfIdentRows);
    if (data.length() >= kElfHeaderLength) {
        appendRows(rows, data, kElfHeaderRows);
    }
    return rows;
}

std::vector<HeaderField> zipRows(const FormatSampler& data) {
    std::vector<HeaderField> rows;
    appendRows(rows, data, kZipRows);
    return rows;
}

std::vector<HeaderField> pngRows(const FormatSampler& data) {
    std::vector<HeaderField> rows;
    appendRows(rows, data, kPngSignatureRows);
    if (data.length() >= kPngHeaderLength &&
        bytesAre(data, kPngChunkTypePosition, kPngHeaderChunk)) {
        appendRows(rows, data, kPngHeaderRows);
    }
    return rows;
}

struct Format {
    std::string_view magic;
    std::string_view typeName;
    std::vector<HeaderField> (*rows)(const FormatSampler& data);
};

// Each format begins with its own first byte, so at most one magic can match.
constexpr Format kFormats[] = {
    {kDosMagic, "Windows PE Executable", peRows},
    {"\177ELF"sv, "Linux ELF Executable", elfRows},
    {"PK\x03\x04"sv, "ZIP / APK Archive", zipRows},
    {"\x89PNG"sv, "PNG Bitmap Image", pngRows},
};

// Copies the bytes of piece, which starts at position, that fall into the part of the data that
// starts at partStart and fills part.
void copyOverlap(std::span<std::uint8_t> part, std::uint64_t partStart, ByteView piece,
                 std::uint64_t position) {
    const std::uint64_t from = std::max(partStart, position);
    const std::uint64_t to = std::min(partStart + part.size(), position + piece.size());
    if (from < to) {
        std::copy(piece.begin() + static_cast<std::ptrdiff_t>(from - position),
                  piece.begin() + static_cast<std::ptrdiff_t>(to - position),
                  part.begin() + static_cast<std::ptrdiff_t>(from - partStart));
    }
}

}  // namespace

void FormatSampler::write(ByteView bytes) {
    const std::uint64_t position = length_;
    length_ += bytes.size();
    copyOverlap(head_, 0, bytes, position);
    const bool headJustComplete = position < kHeadLength && length_ >= kHeadLength;
    if (headJustComplete && bytesAre(*this, 0, kDosMagic)) {
        // The PE header may begin inside the head, whose bytes have gone by already.
        peOffset_ = peHeaderOffset(head_);
        copyOverlap(peHeader_, *peOffset_, head_, 0);
    }
    if (peOffset_) {
        copyOverlap(peHeader_, *peOffset_, bytes, position);
    }
}

ByteView FormatSampler::bytesAt(std::uint64_t offset, std::uint64_t size) const {
    if (peOffset_ && offset >= *peOffset_ && offset + size <= *peOffset_ + kPeHeaderLength) {
        return ByteView(peHeader_).subspan(static_cast<std::size_t>(offset - *peOffset_),
                                           static_cast<std::size_t>(size));
    }
    return ByteView(head_).subspan(static_cast<std::size_t>(offset),
                                   static_cast<std::size_t>(size));
}

std::vector<HeaderField> FormatSampler::detect(std::string& typeName) const {
    if (length_ < kMinimumLength) {
        typeName = "Raw Binary";
        return {};
    }
    for (const Format& format : kFormats) {
        if (bytesAre(*this, 0, format.magic)) {
            typeName = format.typeName;
            return format.rows(*this);
        }
    }
    typeName = "Raw Binary Image";
    return {};
}

std::vector<HeaderField> detectFormat(ByteView data, std::string& typeName) {
    FormatSampler sampler;
    sampler.write(data);
    return sampler.detect(typeName);
}

std::vector<HeaderField> detectFormat(const std::uint8_t* data, std::uint64_t length,
                                      std::string& typeName) {
    if (data == nullptr) {
        typeName = "Raw Binary";
        return {};
    }
    return detectFormat(ByteView(data, static_cast<std::size_t>(length)), typeName);
}

}  // namespace tessaloom
