#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "engine/scan/planted.h"

namespace tessaloom {
namespace {

using testing::plant;
using testing::randomFiller;
using testing::scanBytes;

// Writes numbers of either byte order into a buffer that grows to hold them.
class Writer {
  public:
    explicit Writer(bool big = false) : big_(big) {}
    Writer& at(std::size_t offset, std::uint64_t value, std::size_t width) {
        if (bytes.size() < offset + width) {
            bytes.resize(offset + width);
        }
        for (std::size_t i = 0; i < width; ++i) {
            const std::size_t shift = 8 * (big_ ? width - 1 - i : i);
            bytes[offset + i] = static_cast<std::uint8_t>(value >> shift);
        }
        return *this;
    }
    Writer& text(std::size_t offset, std::string_view value) {
        if (bytes.size() < offset + value.size()) {
            bytes.resize(offset + value.size());
        }
        for (std::size_t i = 0; i < value.size(); ++i) {
            bytes[offset + i] = static_cast<std::uint8_t>(value[i]);
        }
        return *this;
    }
    // Data that no format's magic starts in, from offset to end.
    Writer& fill(std::size_t offset, std::size_t end) {
        if (bytes.size() < end) {
            bytes.resize(end);
        }
        for (std::size_t i = offset; i < end; ++i) {
            bytes[i] = static_cast<std::uint8_t>('a' + i % 23);
        }
        return *this;
    }
    ByteBuffer bytes;

  private:
    bool big_;
};

// An ELF file: header, one program header, a section's data, then two section headers (the null
// one and the section); or, with sectionsFirst, the section headers before the data.
ByteBuffer elf(bool is64, bool big, std::uint16_t type, std::uint16_t machine, std::size_t dataSize,
               bool sectionsFirst) {
    Writer w(big);
    const std::size_t word = is64 ? 8 : 4;
    const std::size_t ehsize = is64 ? 64 : 52;
    const std::size_t phentsize = is64 ? 56 : 32;
    const std::size_t shentsize = is64 ? 64 : 40;
    const std::size_t phoff = ehsize;
    const std::size_t afterPh = phoff + phentsize;
    const std::size_t shoff = sectionsFirst ? afterPh : afterPh + dataSize;
    const std::size_t data = sectionsFirst ? afterPh + 2 * shentsize : afterPh;
    w.text(0,
           "\x7F"
           "ELF");
    w.at(4, is64 ? 2 : 1, 1).at(5, big ? 2 : 1, 1).at(6, 1, 1);
    w.at(16, type, 2).at(18, machine, 2).at(20, 1, 4);
    w.at(24, 0x8000, word).at(is64 ? 32 : 28, phoff, word).at(is64 ? 40 : 32, shoff, word);
    const std::size_t tail = is64 ? 48 : 36;
    w.at(tail + 4, ehsize, 2).at(tail + 6, phentsize, 2).at(tail + 8, 1, 2);
    w.at(tail + 10, shentsize, 2).at(tail + 12, 2, 2).at(tail + 14, 0, 2);
    // PT_LOAD of the data.
    w.at(phoff, 1, 4);
    w.at(phoff + (is64 ? 8 : 4), data, word).at(phoff + (is64 ? 32 : 16), dataSize, word);
    w.fill(data, data + dataSize);
    const std::size_t section = shoff + shentsize;
    w.at(shoff + shentsize - 1, 0, 1);
    w.at(section + 4, 1, 4);  // PROGBITS
    w.at(section + (is64 ? 24 : 16), data, word).at(section + (is64 ? 32 : 20), dataSize, word);
    w.at(section + shentsize - 1, 0, 1);
    return w.bytes;
}

struct Section {
    std::uint32_t raw;
    std::uint32_t rawSize;
};

// A PE image: MZ stub, PE header at 0x80, the optional header, sections, and what follows.
ByteBuffer pe(bool plus, std::uint16_t machine, std::uint16_t characteristics,
              std::uint16_t subsystem, const std::vector<Section>& sections,
              std::uint32_t certificates = 0, std::uint32_t certificatesSize = 0,
              std::size_t overlay = 0) {
    Writer w;
    w.text(0, "MZ").at(0x3C, 0x80, 4);
    w.text(0x80, std::string_view("PE\0\0", 4));
    const std::size_t optionalSize = plus ? 240 : 224;
    w.at(0x84, machine, 2).at(0x86, sections.size(), 2).at(0x94, optionalSize, 2);
    w.at(0x96, characteristics, 2);
    const std::size_t optional = 0x98;
    const std::size_t fixed = plus ? 112 : 96;
    w.at(optional, plus ? 0x20B : 0x10B, 2).at(optional + 16, 0x1000, 4);
    w.at(optional + 32, 0x1000, 4).at(optional + 36, 0x200, 4);  // alignments
    w.at(optional + 60, 0x400, 4).at(optional + 68, subsystem, 2);
    w.at(optional + fixed - 4, 16, 4);
    w.at(optional + fixed + 4 * 8, certificates, 4)
        .at(optional + fixed + 4 * 8 + 4, certificatesSize, 4);
    const std::size_t table = optional + optionalSize;
    std::size_t end = 0x400;
    for (std::size_t i = 0; i < sections.size(); ++i) {
        const std::size_t at = table + i * 40;
        w.text(at, i == 0 ? ".text" : ".data");
        w.at(at + 8, sections[i].rawSize, 4).at(at + 12, 0x1000 * (i + 1), 4);
        w.at(at + 16, sections[i].rawSize, 4).at(at + 20, sections[i].raw, 4);
        end = std::max<std::size_t>(end, sections[i].raw + sections[i].rawSize);
        w.fill(sections[i].raw, sections[i].raw + sections[i].rawSize);
    }
    if (certificatesSize != 0) {
        w.fill(certificates, certificates + certificatesSize);
        end = std::max<std::size_t>(end, certificates + certificatesSize);
    }
    w.fill(end, end + overlay);
    if (w.bytes.size() < 0x400) {
        w.bytes.resize(0x400);
    }
    return w.bytes;
}

// A Mach-O file with one segment of segmentSize bytes from offset 0 and, with symbols, a symbol
// and string table behind it.
ByteBuffer macho(bool is64, bool big, std::uint32_t cpu, std::uint32_t fileType,
                 std::size_t segmentSize, bool symbols) {
    Writer w(big);
    w.at(0, is64 ? 0xFEEDFACF : 0xFEEDFACE, 4);
    const std::size_t header = is64 ? 32 : 28;
    const std::size_t segment = is64 ? 72 : 56;
    const std::size_t commandBytes = segment + (symbols ? 24 : 0);
    w.at(4, cpu, 4).at(8, 3, 4).at(12, fileType, 4).at(16, symbols ? 2 : 1, 4);
    w.at(20, commandBytes, 4).at(24, 0x85, 4);
    std::size_t at = header;
    w.at(at, is64 ? 0x19 : 0x1, 4).at(at + 4, segment, 4).text(at + 8, "__TEXT");
    if (is64) {
        w.at(at + 24, 0x100000000, 8).at(at + 32, segmentSize, 8);
        w.at(at + 40, 0, 8).at(at + 48, segmentSize, 8);
    } else {
        w.at(at + 24, 0x1000, 4).at(at + 28, segmentSize, 4);
        w.at(at + 32, 0, 4).at(at + 36, segmentSize, 4);
    }
    at += segment;
    std::size_t end = segmentSize;
    if (symbols) {
        const std::size_t nlist = is64 ? 16 : 12;
        w.at(at, 0x2, 4).at(at + 4, 24, 4);
        w.at(at + 8, segmentSize, 4).at(at + 12, 3, 4);
        w.at(at + 16, segmentSize + 3 * nlist, 4).at(at + 20, 0x21, 4);
        end = segmentSize + 3 * nlist + 0x21;
    }
    w.fill(header + commandBytes, end);
    return w.bytes;
}

// A universal binary of the given slices, each at its listed offset, aligned to 4 KiB.
ByteBuffer universal(const std::vector<ByteBuffer>& slices,
                     const std::vector<std::uint32_t>& cpus) {
    Writer w(true);
    w.at(0, 0xCAFEBABE, 4).at(4, slices.size(), 4);
    std::size_t offset = 0x1000;
    for (std::size_t i = 0; i < slices.size(); ++i) {
        w.at(8 + i * 20, cpus[i], 4).at(12 + i * 20, 3, 4).at(16 + i * 20, offset, 4);
        w.at(20 + i * 20, slices[i].size(), 4).at(24 + i * 20, 12, 4);
        w.bytes.resize(offset);
        w.bytes.insert(w.bytes.end(), slices[i].begin(), slices[i].end());
        offset = (w.bytes.size() + 0xFFF) / 0x1000 * 0x1000;
    }
    return w.bytes;
}

struct Case {
    std::string_view what;
    ByteBuffer object;
    std::string_view format;
    std::uint64_t size;
    std::string_view description;
};

TEST(ScanExecutableTest, FindsEachFormatAtItsOffsetWithItsSize) {
    const ByteBuffer slice64 = macho(true, false, 0x01000007, 2, 0x800, false);
    const ByteBuffer sliceArm = macho(true, false, 0x0100000C, 2, 0x600, false);
    const Case cases[] = {
        {"ELF32 ARM, section table last", elf(false, false, 2, 40, 0x100, false), "elf",
         52 + 32 + 0x100 + 2 * 40, "ELF32 ARM executable"},
        {"ELF64 x86-64, data last", elf(true, false, 3, 62, 0x135, true), "elf",
         64 + 56 + 2 * 64 + 0x135, "ELF64 x86-64 shared object"},
        {"ELF32 PowerPC big endian", elf(false, true, 1, 20, 0x41, false), "elf",
         52 + 32 + 0x41 + 2 * 40, "ELF32 PowerPC relocatable, big endian"},
        {"PE32+ DLL with certificates and an overlay",
         pe(true, 0x8664, 0x2022, 2, {{0x400, 0x200}, {0x600, 0x200}}, 0x800, 0x48, 0x300), "pe",
         0x848, "PE32+ x86-64 DLL (GUI)"},
        {"PE32 console executable", pe(false, 0x14C, 0x0102, 3, {{0x400, 0x1000}}, 0, 0, 0x99),
         "pe", 0x1400, "PE32 i386 executable (console)"},
        {"PE32+ EFI application, sections out of order",
         pe(true, 0xAA64, 0x0022, 10, {{0x1400, 0x200}, {0x400, 0x1000}}), "pe", 0x1600,
         "PE32+ ARM64 executable (EFI application)"},
        {"Mach-O 64 with symbols", macho(true, false, 0x01000007, 2, 0x1000, true), "macho",
         0x1000 + 3 * 16 + 0x21, "Mach-O 64-bit x86-64 executable"},
        {"Mach-O 32 big endian", macho(false, true, 18, 6, 0x800, false), "macho", 0x800,
         "Mach-O PowerPC dylib"},
        {"Mach-O 32 object", macho(false, false, 7, 1, 0x300, true), "macho", 0x300 + 3 * 12 + 0x21,
         "Mach-O i386 object"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto planted = plant(c.object, 0x2003, 0x555);
        const std::vector<ScanHit> hits = scanBytes(planted.image);
        ASSERT_EQ(hits.size(), 1U);
        EXPECT_EQ(hits[0].offset, planted.offset);
        EXPECT_EQ(hits[0].format, c.format);
        EXPECT_EQ(hits[0].size, c.size);
        EXPECT_TRUE(hits[0].sizeExact);
        EXPECT_NE(hits[0].description.find(c.description), std::string::npos)
            << hits[0].description;
    }

    // A universal binary, and each of its slices at its own offset.
    const ByteBuffer fat = universal({slice64, sliceArm}, {0x01000007, 0x0100000C});
    const auto planted = plant(fat, 0x4000);
    const std::vector<ScanHit> hits = scanBytes(planted.image);
    ASSERT_EQ(hits.size(), 3U);
    EXPECT_EQ(hits[0].offset, planted.offset);
    EXPECT_EQ(hits[0].size, fat.size());
    EXPECT_TRUE(hits[0].sizeExact);
    EXPECT_EQ(hits[0].description, "Mach-O universal binary, 2 architectures: x86-64, arm64");
    EXPECT_EQ(hits[1].offset, planted.offset + 0x1000);
    EXPECT_EQ(hits[1].size, slice64.size());
    EXPECT_EQ(hits[2].offset, planted.offset + 0x2000);
    EXPECT_EQ(hits[2].size, sliceArm.size());
}

ByteBuffer changed(ByteBuffer bytes, std::size_t at, std::uint64_t value, std::size_t width,
                   bool big = false) {
    Writer w(big);
    w.bytes = std::move(bytes);
    return std::move(w.at(at, value, width).bytes);
}

ByteBuffer cut(ByteBuffer bytes, std::size_t size) {
    bytes.resize(size);
    return bytes;
}

struct Hostile {
    std::string_view what;
    ByteBuffer object;
    std::string_view format;
};

TEST(ScanExecutableTest, BrokenHeadersGiveNoExactHit) {
    const ByteBuffer elf32 = elf(false, false, 2, 40, 0x100, false);
    const ByteBuffer elf64 = elf(true, false, 3, 62, 0x135, true);
    const ByteBuffer image = pe(true, 0x8664, 0x2022, 2, {{0x400, 0x200}});
    const ByteBuffer mach = macho(true, false, 0x01000007, 2, 0x1000, true);
    const Hostile cases[] = {
        {"ELF header size", changed(elf32, 40, 60, 2), "elf"},
        {"ELF program header size", changed(elf32, 42, 33, 2), "elf"},
        {"ELF machine 0", changed(elf32, 18, 0, 2), "elf"},
        {"ELF type 9", changed(elf32, 16, 9, 2), "elf"},
        {"ELF lying program header count", changed(elf64, 56, 0xFFF0, 2), "elf"},
        {"ELF section table beyond the input", changed(elf64, 40, 0x7FFFFFFFFFF0, 8), "elf"},
        {"ELF section count in the first section header",
         changed(changed(elf64, 60, 0, 2), 64 + 56 + 32, 0xFFFFFFFFFFFFFF, 8), "elf"},
        {"ELF section data beyond the input",
         changed(elf32, 52 + 32 + 0x100 + 40 + 20, 0x7FFFFFF0, 4), "elf"},
        {"ELF overflowing section", changed(elf64, 64 + 56 + 64 + 24, 0xFFFFFFFFFFFFFF00, 8),
         "elf"},
        {"ELF truncated", cut(elf32, 200), "elf"},
        {"PE e_lfanew beyond the input", changed(image, 0x3C, 0xFFF0, 4), "pe"},
        {"PE e_lfanew far", changed(image, 0x3C, 0x7FFFFFFF, 4), "pe"},
        {"PE e_lfanew inside the stub", changed(image, 0x3C, 0x10, 4), "pe"},
        {"PE unknown machine", changed(image, 0x84, 0x1234, 2), "pe"},
        {"PE optional header magic", changed(image, 0x98, 0x107, 2), "pe"},
        {"PE optional header too small", changed(image, 0x94, 100, 2), "pe"},
        {"PE directory count beyond the header", changed(image, 0x98 + 108, 1000, 4), "pe"},
        {"PE section beyond the input", changed(image, 0x98 + 240 + 20, 0x7FFFFF00, 4), "pe"},
        {"PE many sections", changed(image, 0x86, 0xFFFF, 2), "pe"},
        {"PE certificates beyond the input",
         changed(changed(image, 0x98 + 112 + 32, 0x10000000, 4), 0x98 + 112 + 36, 0x100, 4), "pe"},
        {"PE truncated", cut(image, 0x500), "pe"},
        {"Mach-O command size 0", changed(mach, 32 + 4, 0, 4), "macho"},
        {"Mach-O command size beyond the commands", changed(mach, 32 + 4, 0x1000, 4), "macho"},
        {"Mach-O command size not aligned", changed(mach, 32 + 4, 73, 4), "macho"},
        {"Mach-O many commands", changed(mach, 16, 0xFFFFFFFF, 4), "macho"},
        {"Mach-O commands beyond the input", changed(mach, 20, 0xFFFFFF, 4), "macho"},
        {"Mach-O unknown cpu", changed(mach, 4, 0x99, 4), "macho"},
        {"Mach-O segment beyond the input", changed(mach, 32 + 48, 0x7FFFFFFF, 8), "macho"},
        {"Mach-O truncated", cut(mach, 0x800), "macho"},
        {"Java class file",
         Writer(true).at(0, 0xCAFEBABE, 4).at(4, 0, 2).at(6, 61, 2).fill(8, 0x2000).bytes, "macho"},
        {"universal slice beyond the input",
         changed(universal({mach}, {0x01000007}), 20, 0x7FFFFF, 4, true), "macho"},
        {"universal slice not aligned",
         changed(universal({mach}, {0x01000007}), 16, 0x1004, 4, true), "macho"},
    };
    for (const Hostile& c : cases) {
        SCOPED_TRACE(c.what);
        const auto planted = plant(c.object, 0x3001, 0);
        for (const ScanHit& hit : scanBytes(planted.image)) {
            // A slice of a broken universal binary is still a Mach-O file of its own.
            if (hit.offset != planted.offset) {
                continue;
            }
            EXPECT_FALSE(hit.format == c.format && hit.sizeExact) << hit.description;
        }
    }
}

ByteBuffer readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return ByteBuffer(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Real executables, where the machine has them: the size the headers give is the file's.
TEST(ScanExecutableTest, MeasuresRealElfFile) {
    const std::filesystem::path path = "/bin/ls";
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) {
        GTEST_SKIP() << "no /bin/ls";
    }
    const ByteBuffer bytes = readFile(path);
    if (bytes.size() < 4 || bytes[0] != 0x7F || bytes[1] != 'E') {
        GTEST_SKIP() << "/bin/ls is not ELF";
    }
    const std::vector<ScanHit> hits = scanBytes(bytes);
    ASSERT_FALSE(hits.empty());
    EXPECT_EQ(hits[0].offset, 0U);
    EXPECT_EQ(hits[0].format, "elf");
    EXPECT_EQ(hits[0].size, bytes.size());
    EXPECT_TRUE(hits[0].sizeExact);
}

TEST(ScanExecutableTest, MeasuresRealPeFile) {
    std::optional<std::filesystem::path> found;
    constexpr int kMaxEntries = 20000;
    int seen = 0;
    for (const char* root : {"/usr/lib/wine", "/usr/lib/x86_64-linux-gnu/wine", "/usr/share/wine",
                             "/usr/lib/i386-linux-gnu/wine"}) {
        std::error_code error;
        for (auto it = std::filesystem::recursive_directory_iterator(
                 root, std::filesystem::directory_options::skip_permission_denied, error);
             !error && it != std::filesystem::recursive_directory_iterator() && !found &&
             ++seen < kMaxEntries;
             it.increment(error)) {
            const std::string extension = it->path().extension().string();
            if ((extension == ".dll" || extension == ".exe") && it->is_regular_file(error)) {
                const ByteBuffer head = readFile(it->path());
                if (head.size() > 0x40 && head[0] == 'M' && head[1] == 'Z') {
                    found = it->path();
                }
            }
        }
    }
    if (!found) {
        GTEST_SKIP() << "no PE file on this machine";
    }
    const ByteBuffer bytes = readFile(*found);
    const std::vector<ScanHit> hits = scanBytes(bytes);
    ASSERT_FALSE(hits.empty()) << *found;
    EXPECT_EQ(hits[0].offset, 0U);
    EXPECT_EQ(hits[0].format, "pe");
    EXPECT_TRUE(hits[0].sizeExact);
    EXPECT_LE(hits[0].size, bytes.size());
}

TEST(ScanExecutableTest, RandomBytesHoldNone) {
    for (const std::uint32_t seed : {4U, 5U, 6U}) {
        const ByteBuffer noise = randomFiller(std::size_t{8} << 20, seed);
        for (const ScanHit& hit : scanBytes(noise)) {
            EXPECT_TRUE(hit.format != "elf" && hit.format != "pe" && hit.format != "macho")
                << hit.format << " at " << hit.offset;
        }
    }
}

}  // namespace
}  // namespace tessaloom
