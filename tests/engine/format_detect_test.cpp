#include "engine/format_detect.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "engine/chunked_file.h"

namespace tessaloom {
namespace {

using Row = std::tuple<std::string, std::string, std::uint64_t, std::uint64_t>;

std::vector<Row> rowsOf(const std::vector<HeaderField>& fields) {
    std::vector<Row> rows;
    for (const HeaderField& field : fields) {
        rows.emplace_back(field.label, field.value, field.offset, field.size);
    }
    return rows;
}

// size zero bytes with each given run of bytes written at its offset, as far as it fits: a
// header cut short.
ByteBuffer bytesOf(std::size_t size,
                   std::initializer_list<std::pair<std::size_t, ByteBuffer>> runs) {
    ByteBuffer data(size);
    for (const auto& [offset, run] : runs) {
        for (std::size_t i = 0; i < run.size() && offset + i < size; ++i) {
            data[offset + i] = run[i];
        }
    }
    return data;
}

const ByteBuffer kMz{0x4D, 0x5A};
const ByteBuffer kElf{0x7F, 0x45, 0x4C, 0x46};
const ByteBuffer kZip{0x50, 0x4B, 0x03, 0x04};
const ByteBuffer kPng{0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
const ByteBuffer kIhdr{0x49, 0x48, 0x44, 0x52};

// A PE file whose header at 128 has the given machine, 6 sections and time stamp 1700000000.
ByteBuffer peFile(std::size_t size, ByteBuffer machine = {0x64, 0x86}) {
    return bytesOf(size, {{0, kMz},
                          {60, {0x80, 0, 0, 0}},
                          {128, {'P', 'E', 0, 0}},
                          {132, machine},
                          {134, {6, 0}},
                          {136, {0x00, 0xF1, 0x53, 0x65}}});
}

// An ELF identification with the given class, data, version and OS ABI, then type and machine.
ByteBuffer elfFile(std::size_t size, ByteBuffer ident = {2, 1, 1, 0}, ByteBuffer type = {2, 0},
                   ByteBuffer machine = {0x3E, 0}) {
    return bytesOf(size, {{0, kElf}, {4, ident}, {16, type}, {18, machine}});
}

// A ZIP local header with version 20, the given method, compressed size 1234 and size 5000.
ByteBuffer zipFile(std::size_t size, ByteBuffer method = {8, 0}) {
    return bytesOf(
        size,
        {{0, kZip}, {4, {20, 0}}, {8, method}, {18, {0xD2, 0x04, 0, 0}}, {22, {0x88, 0x13, 0, 0}}});
}

// A PNG signature and an IHDR of 1920 x 1080 pixels, bit depth 8, colour type 6.
ByteBuffer pngFile(std::size_t size, ByteBuffer chunkType = kIhdr) {
    return bytesOf(
        size,
        {{0, kPng}, {12, chunkType}, {16, {0, 0, 0x07, 0x80, 0, 0, 0x04, 0x38}}, {24, {8, 6}}});
}

const Row kEMagic{"e_magic", "MZ (0x5A4D)", 0, 2};
const Row kLfanew{"e_lfanew (PE Header Offset)", "0x80", 60, 4};
const Row kPeSignature{"Signature", R"(PE\0\0)", 128, 4};
const Row kSections{"NumberOfSections", "6", 134, 2};
const Row kTimeStamp{"TimeDateStamp", "1700000000", 136, 4};
const Row kElfMagic{"e_ident[EI_MAG]", "0x7F 'ELF'", 0, 4};
const Row kElfVersion{"EI_VERSION", "1", 6, 1};
const Row kZipSignature{"Signature", R"(PK\x03\x04 (Local File Header))", 0, 4};
const Row kZipVersion{"Version Needed To Extract", "20", 4, 2};
const Row kDeflate{"Compression Method", "Deflate", 8, 2};
const Row kCompressed{"Compressed Size", "1234 bytes", 18, 4};
const Row kUncompressed{"Uncompressed Size", "5000 bytes", 22, 4};
const Row kPngSignature{"Signature", R"(\x89PNG\r\n\x1a\n)", 0, 8};
const Row kDimensions{"Image Dimensions", "1920 x 1080 pixels", 16, 8};
const Row kBitDepth{"Bit Depth", "8", 24, 1};
const Row kColorType{"Color Type", "6", 25, 1};

std::vector<Row> elfIdentRows(const std::string& bits, const std::string& order,
                              const std::string& abi) {
    return {kElfMagic,
            {"EI_CLASS", bits + " Architecture", 4, 1},
            {"EI_DATA", order, 5, 1},
            kElfVersion,
            {"EI_OSABI", abi, 7, 1}};
}
std::vector<Row> withRows(std::vector<Row> rows, const std::vector<Row>& more) {
    rows.insert(rows.end(), more.begin(), more.end());
    return rows;
}

struct DetectCase {
    const char* name;
    ByteBuffer data;
    std::string typeName;
    std::vector<Row> rows;
};

// The data in one buffer, and passing through the sampler in pieces of every size.
void expectDetects(const DetectCase& c) {
    SCOPED_TRACE(c.name);
    std::string typeName = "left over";
    EXPECT_EQ(rowsOf(detectFormat(c.data.data(), c.data.size(), typeName)), c.rows);
    EXPECT_EQ(typeName, c.typeName);
    for (const std::size_t size : kChunkSizes) {
        SCOPED_TRACE("pieces of " + std::to_string(size) + " bytes");
        FormatSampler sampler;
        writeInPieces(c.data, size, [&sampler](ByteView piece) { sampler.write(piece); });
        EXPECT_EQ(rowsOf(sampler.detect(typeName)), c.rows);
        EXPECT_EQ(typeName, c.typeName);
    }
}

TEST(FormatDetectTest, NamesTheTypeFromTheMagicBytes) {
    const DetectCase cases[] = {
        {"no bytes", {}, "Raw Binary", {}},
        {"15 zero bytes", ByteBuffer(15), "Raw Binary", {}},
        {"MZ and 13 bytes", bytesOf(15, {{0, kMz}}), "Raw Binary", {}},
        {"15 bytes of ELF", elfFile(15), "Raw Binary", {}},
        {"16 zero bytes", ByteBuffer(16), "Raw Binary Image", {}},
        {"4D 41", bytesOf(16, {{0, {0x4D, 0x41}}}), "Raw Binary Image", {}},
        {"7F 45 4C 58", bytesOf(16, {{0, {0x7F, 0x45, 0x4C, 0x58}}}), "Raw Binary Image", {}},
        {"PK 03 05", bytesOf(26, {{0, {0x50, 0x4B, 0x03, 0x05}}}), "Raw Binary Image", {}},
        {"empty ZIP archive", bytesOf(22, {{0, {0x50, 0x4B, 0x05, 0x06}}}), "Raw Binary Image", {}},
        {"89 50 4E 48", bytesOf(16, {{0, {0x89, 0x50, 0x4E, 0x48}}}), "Raw Binary Image", {}},
        {"magic not at the start", bytesOf(16, {{1, kMz}}), "Raw Binary Image", {}},
    };
    for (const DetectCase& c : cases) {
        expectDetects(c);
    }
}

TEST(FormatDetectTest, NullDataIsRawBinaryWhateverTheLength) {
    std::string typeName = "left over";
    EXPECT_TRUE(detectFormat(nullptr, 1000, typeName).empty());
    EXPECT_EQ(typeName, "Raw Binary");
}

TEST(FormatDetectTest, PeHeaderRowsAndGates) {
    const std::vector<Row> dosRows{kEMagic, kLfanew};
    const auto machineRow = [](const std::string& value) {
        return Row{"Machine Architecture", value, 132, 2};
    };
    const auto peRows = [&](const std::string& machine) {
        return std::vector<Row>{kEMagic,   kLfanew,   kPeSignature, machineRow(machine),
                                kSections, kTimeStamp};
    };
    const DetectCase cases[] = {
        {"16 bytes", bytesOf(16, {{0, kMz}}), "Windows PE Executable", {kEMagic}},
        {"63 bytes", bytesOf(63, {{0, kMz}}), "Windows PE Executable", {kEMagic}},
        {"64 bytes pointing past the end", bytesOf(64, {{0, kMz}, {60, {0x80, 0, 0, 0}}}),
         "Windows PE Executable", dosRows},
        {"header ends at the end", peFile(152), "Windows PE Executable", peRows("AMD64 (x86_64)")},
        {"one byte short of 24", peFile(151), "Windows PE Executable", dosRows},
        {"i386", peFile(152, {0x4C, 0x01}), "Windows PE Executable", peRows("i386 (x86)")},
        {"AA64", peFile(152, {0x64, 0xAA}), "Windows PE Executable", peRows("0xAA64")},
        {"machine 0", peFile(152, {0, 0}), "Windows PE Executable", peRows("0x0")},
        {"wrong signature",
         bytesOf(200, {{0, kMz}, {60, {0x80, 0, 0, 0}}, {128, {'P', 'E', 0, 1}}}),
         "Windows PE Executable", dosRows},
        {"largest pointer",
         bytesOf(200, {{0, kMz}, {60, {0xFF, 0xFF, 0xFF, 0xFF}}}),
         "Windows PE Executable",
         {kEMagic, {"e_lfanew (PE Header Offset)", "0xFFFFFFFF", 60, 4}}},
        {"pointer near the top",
         bytesOf(200, {{0, kMz}, {60, {0xF0, 0xFF, 0xFF, 0xFF}}}),
         "Windows PE Executable",
         {kEMagic, {"e_lfanew (PE Header Offset)", "0xFFFFFFF0", 60, 4}}},
        {"header inside the DOS header",
         bytesOf(64, {{0, kMz}, {8, {'P', 'E', 0, 0}}, {60, {8, 0, 0, 0}}}),
         "Windows PE Executable",
         {kEMagic,
          {"e_lfanew (PE Header Offset)", "0x8", 60, 4},
          {"Signature", R"(PE\0\0)", 8, 4},
          {"Machine Architecture", "0x0", 12, 2},
          {"NumberOfSections", "0", 14, 2},
          {"TimeDateStamp", "0", 16, 4}}},
        // The pointer itself is read again as the machine.
        {"header across the end of the DOS header",
         bytesOf(80, {{0, kMz}, {56, {'P', 'E', 0, 0}}, {60, {56, 0, 0, 0}}, {64, {1, 0, 0, 0}}}),
         "Windows PE Executable",
         {kEMagic,
          {"e_lfanew (PE Header Offset)", "0x38", 60, 4},
          {"Signature", R"(PE\0\0)", 56, 4},
          {"Machine Architecture", "0x38", 60, 2},
          {"NumberOfSections", "0", 62, 2},
          {"TimeDateStamp", "1", 64, 4}}},
    };
    for (const DetectCase& c : cases) {
        expectDetects(c);
    }
}

TEST(FormatDetectTest, ElfIdentRowsAndLookups) {
    const std::string elf = "Linux ELF Executable";
    const std::string little = "Little-Endian (2's complement)";
    const std::string sysV = "UNIX - System V";
    const auto headerRows = [](const std::string& type, const std::string& machine) {
        return std::vector<Row>{{"e_type", type, 16, 2}, {"e_machine", machine, 18, 2}};
    };
    const std::vector<Row> exec64 = withRows(elfIdentRows("64-bit", little, sysV),
                                             headerRows("EXEC (Executable file)", "x86-64"));
    const DetectCase cases[] = {
        {"16 bytes", elfFile(16), elf, elfIdentRows("64-bit", little, sysV)},
        {"19 bytes", elfFile(19), elf, elfIdentRows("64-bit", little, sysV)},
        {"20 bytes", elfFile(20), elf, exec64},
        {"class 1", elfFile(20, {1, 1, 1, 0}), elf,
         withRows(elfIdentRows("32-bit", little, sysV),
                  headerRows("EXEC (Executable file)", "x86-64"))},
        {"class 3 and data 2", elfFile(16, {3, 2, 1, 0}), elf,
         elfIdentRows("32-bit", "Big-Endian", sysV)},
        {"class 0 and data 0", elfFile(16, {0, 0, 1, 0}), elf,
         elfIdentRows("32-bit", "Big-Endian", sysV)},
        {"OS ABI 3", elfFile(16, {2, 1, 1, 3}), elf, elfIdentRows("64-bit", little, "0x3")},
        {"OS ABI 97", elfFile(16, {2, 1, 1, 97}), elf, elfIdentRows("64-bit", little, "0x61")},
        {"type 1, machine 40", elfFile(64, {2, 1, 1, 0}, {1, 0}, {0x28, 0}), elf,
         withRows(elfIdentRows("64-bit", little, sysV), headerRows("1", "40"))},
        {"DYN on AArch64", elfFile(64, {2, 1, 1, 0}, {3, 0}, {0xB7, 0}), elf,
         withRows(elfIdentRows("64-bit", little, sysV),
                  headerRows("DYN (Shared object)", "AArch64"))},
        {"Intel 80386", elfFile(20, {1, 1, 1, 0}, {2, 0}, {3, 0}), elf,
         withRows(elfIdentRows("32-bit", little, sysV),
                  headerRows("EXEC (Executable file)", "Intel 80386"))},
        // A MIPS firmware binary: type and machine in the file's byte order.
        {"big-endian type and machine", elfFile(20, {1, 2, 1, 0}, {0, 2}, {0, 8}), elf,
         withRows(elfIdentRows("32-bit", "Big-Endian", sysV),
                  headerRows("EXEC (Executable file)", "8"))},
        {"data 3 reads little-endian", elfFile(20, {2, 3, 1, 0}, {3, 0}, {0xB7, 0}), elf,
         withRows(elfIdentRows("64-bit", "Big-Endian", sysV),
                  headerRows("DYN (Shared object)", "AArch64"))},
    };
    for (const DetectCase& c : cases) {
        expectDetects(c);
    }
}

TEST(FormatDetectTest, ZipRowsEndWhereTheDataEnds) {
    const std::string zip = "ZIP / APK Archive";
    const std::vector<Row> first3{kZipSignature, kZipVersion, kDeflate};
    const std::vector<Row> all5{kZipSignature, kZipVersion, kDeflate, kCompressed, kUncompressed};
    const DetectCase cases[] = {
        {"16 bytes", zipFile(16), zip, first3},
        {"21 bytes", zipFile(21), zip, first3},
        {"22 bytes", zipFile(22), zip, withRows(first3, {kCompressed})},
        {"25 bytes", zipFile(25), zip, withRows(first3, {kCompressed})},
        {"26 bytes", zipFile(26), zip, all5},
        {"stored",
         zipFile(30, {0, 0}),
         zip,
         {kZipSignature,
          kZipVersion,
          {"Compression Method", "Stored", 8, 2},
          kCompressed,
          kUncompressed}},
        {"method 12",
         zipFile(30, {12, 0}),
         zip,
         {kZipSignature,
          kZipVersion,
          {"Compression Method", "12", 8, 2},
          kCompressed,
          kUncompressed}},
        {"method 0x0108",
         zipFile(30, {8, 1}),
         zip,
         {kZipSignature,
          kZipVersion,
          {"Compression Method", "264", 8, 2},
          kCompressed,
          kUncompressed}},
        {"largest sizes",
         bytesOf(26, {{0, kZip}, {8, {8, 0}}, {18, ByteBuffer(8, 0xFF)}}),
         zip,
         {kZipSignature,
          {"Version Needed To Extract", "0", 4, 2},
          kDeflate,
          {"Compressed Size", "4294967295 bytes", 18, 4},
          {"Uncompressed Size", "4294967295 bytes", 22, 4}}},
    };
    for (const DetectCase& c : cases) {
        expectDetects(c);
    }
}

TEST(FormatDetectTest, PngRowsNeedIhdrAndEndWhereTheDataEnds) {
    const std::string png = "PNG Bitmap Image";
    const DetectCase cases[] = {
        {"16 bytes", pngFile(16), png, {kPngSignature}},
        {"23 bytes", pngFile(23), png, {kPngSignature}},
        {"24 bytes", pngFile(24), png, {kPngSignature, kDimensions}},
        {"25 bytes", pngFile(25), png, {kPngSignature, kDimensions, kBitDepth}},
        {"26 bytes", pngFile(26), png, {kPngSignature, kDimensions, kBitDepth, kColorType}},
        {"not IHDR", pngFile(33, {0x49, 0x44, 0x41, 0x54}), png, {kPngSignature}},
        {"only the first 4 signature bytes",
         bytesOf(33, {{0, {0x89, 0x50, 0x4E, 0x47}}, {12, kIhdr}, {16, {0, 0, 0, 1, 0, 0, 0, 1}}}),
         png,
         {kPngSignature,
          {"Image Dimensions", "1 x 1 pixels", 16, 8},
          {"Bit Depth", "0", 24, 1},
          {"Color Type", "0", 25, 1}}},
        {"largest dimensions",
         bytesOf(26, {{0, kPng}, {12, kIhdr}, {16, ByteBuffer(8, 0xFF)}}),
         png,
         {kPngSignature,
          {"Image Dimensions", "4294967295 x 4294967295 pixels", 16, 8},
          {"Bit Depth", "0", 24, 1},
          {"Color Type", "0", 25, 1}}},
    };
    for (const DetectCase& c : cases) {
        expectDetects(c);
    }
}

TEST(FormatDetectTest, FixedTextsKeepTheirBackslashes) {
    std::string typeName;
    const auto pe = detectFormat(peFile(152).data(), 152, typeName);
    ASSERT_EQ(pe.size(), 6u);
    EXPECT_EQ(pe[2].value.size(), 6u);
    const ByteBuffer png = pngFile(16);
    EXPECT_EQ(detectFormat(png.data(), png.size(), typeName).at(0).value.size(), 17u);
}

// Every shorter piece of a header gives a leading part of the whole header's rows, and no row
// describes bytes past the end. Each piece is a buffer of its exact size, so that a checked build
// catches any read past it.
TEST(FormatDetectTest, TruncatedHeadersGiveLeadingRowsInsideTheData) {
    for (const ByteBuffer& whole : {peFile(152), elfFile(20), zipFile(26), pngFile(26)}) {
        std::string wholeType;
        const std::vector<Row> wholeRows =
            rowsOf(detectFormat(whole.data(), whole.size(), wholeType));
        for (std::size_t length = 16; length <= whole.size(); ++length) {
            SCOPED_TRACE(wholeType + " of " + std::to_string(length) + " bytes");
            const ByteBuffer piece(whole.begin(),
                                   whole.begin() + static_cast<std::ptrdiff_t>(length));
            std::string typeName;
            const std::vector<Row> rows =
                rowsOf(detectFormat(piece.data(), piece.size(), typeName));
            EXPECT_EQ(typeName, wholeType);
            ASSERT_LE(rows.size(), wholeRows.size());
            EXPECT_TRUE(std::equal(rows.begin(), rows.end(), wholeRows.begin()));
            for (const Row& row : rows) {
                EXPECT_LE(std::get<2>(row) + std::get<3>(row), length);
            }
        }
    }
}

TEST(FormatDetectTest, EachCallReplacesTheTypeName) {
    std::string typeName;
    const ByteBuffer pe = peFile(152);
    EXPECT_EQ(detectFormat(pe.data(), pe.size(), typeName).size(), 6u);
    EXPECT_EQ(typeName, "Windows PE Executable");
    const ByteBuffer raw(5);
    EXPECT_TRUE(detectFormat(raw.data(), raw.size(), typeName).empty());
    EXPECT_EQ(typeName, "Raw Binary");
}

}  // namespace
}  // namespace tessaloom
