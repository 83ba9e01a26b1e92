// Executables and object files: ELF, PE (the "MZ" stub with a PE header behind it) and Mach-O,
// thin or universal.
#include <algorithm>
#include <array>
#include <vector>

#include "../byte_order.h"
#include "signature.h"

namespace tessaloom::scan {

namespace {

using formats::NamedValue;
using formats::nameOf;

std::uint64_t numberAt(ByteView bytes, std::size_t at, std::size_t width, ByteOrder order) {
    const ByteView field = bytes.subspan(at, width);
    return order == ByteOrder::kLittle ? readLittleEndian(field) : readBigEndian(field);
}

// The end of the bytes an object's headers point at: the largest offset + length seen, and
// whether any of them overflowed.
class Extent {
  public:
    void add(std::uint64_t offset, std::uint64_t length) {
        if (offset > UINT64_MAX - length) {
            broken_ = true;
            return;
        }
        end_ = std::max(end_, offset + length);
    }
    std::uint64_t end() const { return end_; }
    bool broken() const { return broken_; }

  private:
    std::uint64_t end_ = 0;
    bool broken_ = false;
};

// The object's size from its extent: exact where all of it lies in the input and the headers
// were all read, else an estimate.
void setSize(Object& found, Bytes& object, const Extent& extent, bool complete) {
    found.size = extent.end();
    found.exact = complete && extent.end() <= object.size();
    if (!found.exact) {
        found.description += ", truncated";
    }
}

// ---- ELF ------------------------------------------------------------------------------------

constexpr NamedValue kElfMachines[] = {
    {2, "SPARC"},      {3, "i386"},      {4, "m68k"},        {5, "m88k"},         {7, "i860"},
    {8, "MIPS"},       {10, "MIPS"},     {15, "PA-RISC"},    {18, "SPARC32+"},    {20, "PowerPC"},
    {21, "PowerPC64"}, {22, "S/390"},    {40, "ARM"},        {42, "SuperH"},      {43, "SPARC V9"},
    {50, "IA-64"},     {62, "x86-64"},   {83, "AVR"},        {87, "V850"},        {88, "M32R"},
    {92, "OpenRISC"},  {93, "ARC"},      {94, "Xtensa"},     {105, "MSP430"},     {106, "Blackfin"},
    {113, "Nios II"},  {164, "Hexagon"}, {183, "AArch64"},   {189, "MicroBlaze"}, {195, "ARCv2"},
    {243, "RISC-V"},   {247, "BPF"},     {258, "LoongArch"},
};

constexpr NamedValue kElfTypes[] = {
    {1, "relocatable"}, {2, "executable"}, {3, "shared object"}, {4, "core file"}};

constexpr std::uint64_t kElfExtendedCount = 0xFFFF;  // PN_XNUM
constexpr std::uint64_t kElfNoBits = 8;              // SHT_NOBITS
constexpr std::uint64_t kElfInterpreter = 3;         // PT_INTERP
// Tables are walked this far; a count beyond it leaves the size an estimate.
constexpr std::uint64_t kMaxElfEntries = 65535;

std::optional<Object> validateElf(Bytes& object) {
    std::array<std::uint8_t, 64> header{};
    if (!object.read(0, std::span(header).first(52))) {
        return std::nullopt;
    }
    const std::uint8_t elfClass = header[4];
    const std::uint8_t data = header[5];
    if ((elfClass != 1 && elfClass != 2) || (data != 1 && data != 2) || header[6] != 1) {
        return std::nullopt;
    }
    const bool is64 = elfClass == 2;
    if (is64 && !object.read(0, header)) {
        return std::nullopt;
    }
    const ByteOrder order = data == 1 ? ByteOrder::kLittle : ByteOrder::kBig;
    const auto field = [&](std::size_t at, std::size_t width) {
        return numberAt(header, at, width, order);
    };
    const std::uint64_t type = field(16, 2);
    const std::uint64_t machine = field(18, 2);
    const std::string_view machineName = nameOf(kElfMachines, machine);
    if (type < 1 || type > 4 || machineName.empty() || field(20, 4) != 1) {
        return std::nullopt;
    }
    const std::size_t word = is64 ? 8 : 4;
    const std::size_t tail = is64 ? 48 : 36;  // e_flags
    const std::uint64_t phoff = field(is64 ? 32 : 28, word);
    const std::uint64_t shoff = field(is64 ? 40 : 32, word);
    const std::uint64_t ehsize = field(tail + 4, 2);
    const std::uint64_t phentsize = field(tail + 6, 2);
    std::uint64_t phnum = field(tail + 8, 2);
    const std::uint64_t shentsize = field(tail + 10, 2);
    std::uint64_t shnum = field(tail + 12, 2);
    const std::uint64_t wantedPh = is64 ? 56 : 32;
    const std::uint64_t wantedSh = is64 ? 64 : 40;
    if (ehsize != (is64 ? 64U : 52U) || (phnum != 0 && phentsize != wantedPh) ||
        (shnum != 0 && shentsize != wantedSh) || (phnum != 0 && phoff < ehsize) ||
        (shoff != 0 && shoff < ehsize)) {
        return std::nullopt;
    }
    // Counts that do not fit in the header's fields are in the first section header.
    if (shoff != 0 && (shnum == 0 || phnum == kElfExtendedCount)) {
        if (shentsize != wantedSh) {
            return std::nullopt;
        }
        if (shnum == 0) {
            shnum = object.number(shoff + (is64 ? 32 : 20), word, order).value_or(0);
            if (shnum > UINT32_MAX) {
                return std::nullopt;
            }
        }
        if (phnum == kElfExtendedCount) {
            phnum = object.number(shoff + (is64 ? 44 : 28), 4, order).value_or(phnum);
        }
    }
    bool complete = true;
    Extent extent;
    extent.add(0, ehsize);
    extent.add(phoff, phnum * wantedPh);
    if (shoff != 0) {
        extent.add(shoff, shnum * wantedSh);
    }
    bool interpreter = false;
    std::array<std::uint8_t, 64> entry{};
    const std::span<std::uint8_t> segment = std::span(entry).first(wantedPh);
    for (std::uint64_t i = 0; i < std::min(phnum, kMaxElfEntries); ++i) {
        if (!object.read(phoff + i * wantedPh, segment)) {
            complete = false;
            break;
        }
        const std::uint64_t offset = numberAt(segment, is64 ? 8 : 4, word, order);
        const std::uint64_t fileSize = numberAt(segment, is64 ? 32 : 16, word, order);
        interpreter = interpreter || numberAt(segment, 0, 4, order) == kElfInterpreter;
        extent.add(offset, fileSize);
    }
    const std::span<std::uint8_t> section = std::span(entry).first(wantedSh);
    for (std::uint64_t i = 0; shoff != 0 && i < std::min(shnum, kMaxElfEntries); ++i) {
        if (!object.read(shoff + i * wantedSh, section)) {
            complete = false;
            break;
        }
        if (numberAt(section, 4, 4, order) == kElfNoBits) {
            continue;
        }
        extent.add(numberAt(section, is64 ? 24 : 16, word, order),
                   numberAt(section, is64 ? 32 : 20, word, order));
    }
    if (extent.broken()) {
        return std::nullopt;
    }
    complete = complete && phnum <= kMaxElfEntries && shnum <= kMaxElfEntries;
    Object found;
    found.description = std::string(is64 ? "ELF64 " : "ELF32 ").append(machineName).append(" ");
    found.description +=
        type == 3 && interpreter ? "PIE executable" : std::string(nameOf(kElfTypes, type));
    if (order == ByteOrder::kBig) {
        found.description += ", big endian";
    }
    setSize(found, object, extent, complete);
    found.fields = {textField("class", is64 ? "ELF64" : "ELF32"),
                    textField("byte_order", order == ByteOrder::kBig ? "big" : "little"),
                    numberField("type", type),
                    numberField("machine", machine),
                    hexField("entry", field(24, word)),
                    numberField("program_headers", phnum),
                    numberField("section_headers", shnum)};
    return found;
}

// ---- PE -------------------------------------------------------------------------------------

constexpr NamedValue kPeMachines[] = {
    {0x14C, "i386"},         {0x8664, "x86-64"},       {0x1C0, "ARM"},
    {0x1C2, "Thumb"},        {0x1C4, "ARMv7"},         {0xAA64, "ARM64"},
    {0xA641, "ARM64EC"},     {0x200, "IA-64"},         {0x166, "MIPS"},
    {0x169, "MIPS WCE v2"},  {0x1A2, "SH3"},           {0x1A6, "SH4"},
    {0x1F0, "PowerPC"},      {0x1F1, "PowerPC FP"},    {0x5032, "RISC-V 32"},
    {0x5064, "RISC-V 64"},   {0x5128, "RISC-V 128"},   {0x6232, "LoongArch32"},
    {0x6264, "LoongArch64"}, {0xEBC, "EFI byte code"}, {0x184, "Alpha"},
};

constexpr NamedValue kPeSubsystems[] = {
    {1, "native"},
    {2, "GUI"},
    {3, "console"},
    {5, "OS/2 console"},
    {7, "POSIX console"},
    {9, "Windows CE GUI"},
    {10, "EFI application"},
    {11, "EFI boot service driver"},
    {12, "EFI runtime driver"},
    {13, "EFI ROM"},
    {14, "Xbox"},
    {16, "boot application"},
};

constexpr std::uint64_t kMinLfanew = 0x40;
constexpr std::uint64_t kMaxLfanew = 0x10000;
constexpr std::uint64_t kPeDll = 0x2000;
constexpr std::uint64_t kPeExecutable = 0x0002;
constexpr std::uint64_t kSectionHeader = 40;
constexpr std::uint64_t kCoffSymbol = 18;
constexpr std::uint64_t kSecurityDirectory = 4;
constexpr std::uint64_t kClrDirectory = 14;

std::optional<Object> validatePe(Bytes& object) {
    const std::optional<std::uint64_t> lfanew = object.number(0x3C, 4, ByteOrder::kLittle);
    if (!lfanew || *lfanew < kMinLfanew || *lfanew > kMaxLfanew ||
        !object.matches(*lfanew, std::string_view("PE\0\0", 4))) {
        return std::nullopt;
    }
    std::array<std::uint8_t, 20> coff{};
    if (!object.read(*lfanew + 4, coff)) {
        return std::nullopt;
    }
    const std::uint64_t machine = readLittleEndian(ByteView(coff).subspan(0, 2));
    const std::uint64_t sections = readLittleEndian(ByteView(coff).subspan(2, 2));
    const std::uint64_t symbolTable = readLittleEndian(ByteView(coff).subspan(8, 4));
    const std::uint64_t symbols = readLittleEndian(ByteView(coff).subspan(12, 4));
    const std::uint64_t optionalSize = readLittleEndian(ByteView(coff).subspan(16, 2));
    const std::uint64_t characteristics = readLittleEndian(ByteView(coff).subspan(18, 2));
    const std::string_view machineName = nameOf(kPeMachines, machine);
    if (machineName.empty() || sections == 0) {
        return std::nullopt;
    }
    const std::uint64_t optional = *lfanew + 24;
    std::array<std::uint8_t, 240> header{};
    constexpr std::uint64_t kMaxOptionalSize = 0x1000;
    if (optionalSize < 2 || optionalSize > kMaxOptionalSize ||
        !object.read(optional,
                     std::span(header).first(std::min<std::size_t>(optionalSize, header.size())))) {
        return std::nullopt;
    }
    const auto field = [&](std::size_t at, std::size_t width) {
        return readLittleEndian(ByteView(header).subspan(at, width));
    };
    const std::uint64_t magic = field(0, 2);
    if (magic != 0x10B && magic != 0x20B) {
        return std::nullopt;
    }
    const bool plus = magic == 0x20B;
    // The directories follow the fixed fields; the header holds as many as it counts.
    const std::uint64_t fixed = plus ? 112 : 96;
    if (optionalSize < fixed) {
        return std::nullopt;
    }
    const std::uint64_t directories = field(fixed - 4, 4);
    if (directories > 16 || optionalSize < fixed + directories * 8) {
        return std::nullopt;
    }
    const std::uint64_t sizeOfHeaders = field(60, 4);
    const std::uint64_t subsystem = field(68, 2);
    const std::uint64_t sectionTable = optional + optionalSize;
    if (sizeOfHeaders < sectionTable || sizeOfHeaders > (std::uint64_t{1} << 24)) {
        return std::nullopt;
    }
    const auto directory = [&](std::uint64_t index) -> std::pair<std::uint64_t, std::uint64_t> {
        if (index >= directories) {
            return {0, 0};
        }
        const auto at = static_cast<std::size_t>(fixed + index * 8);
        return {field(at, 4), field(at + 4, 4)};
    };
    Extent extent;
    extent.add(0, sizeOfHeaders);
    extent.add(sectionTable, sections * kSectionHeader);
    bool complete = true;
    std::array<std::uint8_t, kSectionHeader> section{};
    for (std::uint64_t i = 0; i < sections; ++i) {
        if (!object.read(sectionTable + i * kSectionHeader, section)) {
            complete = false;
            break;
        }
        const std::uint64_t rawSize = readLittleEndian(ByteView(section).subspan(16, 4));
        const std::uint64_t rawPointer = readLittleEndian(ByteView(section).subspan(20, 4));
        if (rawSize != 0) {
            extent.add(rawPointer, rawSize);
        }
    }
    // The certificate table's address is a file offset; it lies behind the sections.
    const auto [certificates, certificatesSize] = directory(kSecurityDirectory);
    if (certificates != 0 && certificatesSize != 0) {
        extent.add(certificates, certificatesSize);
    }
    // Images that kept their COFF symbols (MinGW's) have them, and their string table, behind
    // the sections.
    if (symbolTable != 0 && symbols != 0) {
        const std::uint64_t strings = symbolTable + symbols * kCoffSymbol;
        const std::optional<std::uint64_t> stringsSize =
            object.number(strings, 4, ByteOrder::kLittle);
        extent.add(strings, stringsSize.value_or(4));
        complete = complete && stringsSize.has_value();
    }
    Object found;
    found.description = std::string(plus ? "PE32+ " : "PE32 ").append(machineName);
    found.description += (characteristics & kPeDll) != 0          ? " DLL"
                         : (characteristics & kPeExecutable) != 0 ? " executable"
                                                                  : " image";
    const std::string_view subsystemName = nameOf(kPeSubsystems, subsystem);
    if (!subsystemName.empty()) {
        found.description += " (" + std::string(subsystemName) + ")";
    }
    if (directory(kClrDirectory).second != 0) {
        found.description += ", .NET";
    }
    setSize(found, object, extent, complete);
    found.fields = {hexField("machine", machine),
                    numberField("sections", sections),
                    hexField("characteristics", characteristics),
                    numberField("subsystem", subsystem),
                    hexField("entry_point", field(16, 4)),
                    numberField("size_of_headers", sizeOfHeaders)};
    return found;
}

// ---- Mach-O ---------------------------------------------------------------------------------

constexpr std::uint64_t kAbi64 = 0x01000000;
constexpr std::uint64_t kAbi64_32 = 0x02000000;

constexpr NamedValue kMachoCpus[] = {
    {1, "VAX"},
    {6, "m68k"},
    {7, "i386"},
    {7 | kAbi64, "x86-64"},
    {10, "m98k"},
    {11, "PA-RISC"},
    {12, "ARM"},
    {12 | kAbi64, "arm64"},
    {12 | kAbi64_32, "arm64_32"},
    {13, "m88k"},
    {14, "SPARC"},
    {15, "i860"},
    {18, "PowerPC"},
    {18 | kAbi64, "PowerPC64"},
};

constexpr NamedValue kMachoTypes[] = {
    {1, "object"},     {2, "executable"}, {3, "fixed VM library"}, {4, "core"},
    {5, "preload"},    {6, "dylib"},      {7, "dynamic linker"},   {8, "bundle"},
    {9, "dylib stub"}, {10, "dSYM"},      {11, "kext bundle"},     {12, "fileset"},
};

constexpr std::uint64_t kSegment = 0x1;
constexpr std::uint64_t kSegment64 = 0x19;
constexpr std::uint64_t kSymtab = 0x2;
// Commands whose data (offset, size at 8 and 12) lies in the file: code signature, split info,
// function starts, data in code, code signing DRs, linker optimization hints, exports trie,
// chained fixups.
constexpr std::uint64_t kLinkeditData[] = {0x1D, 0x1E, 0x26,       0x29,
                                           0x2B, 0x2E, 0x80000033, 0x80000034};
constexpr std::uint64_t kMaxCommandBytes = std::uint64_t{16} << 20;
constexpr std::uint64_t kMaxSections = 4096;

std::optional<Object> validateMacho(Bytes& object) {
    std::array<std::uint8_t, 32> header{};
    if (!object.read(0, std::span(header).first(28))) {
        return std::nullopt;
    }
    const std::uint8_t first = header[0];
    const ByteOrder order = first == 0xFE ? ByteOrder::kBig : ByteOrder::kLittle;
    const bool is64 = (first == 0xFE ? header[3] : header[0]) == 0xCF;
    const auto field = [&](std::size_t at) { return numberAt(header, at, 4, order); };
    const std::uint64_t cpu = field(4);
    const std::uint64_t fileType = field(12);
    const std::uint64_t commands = field(16);
    const std::uint64_t commandBytes = field(20);
    const std::uint64_t headerSize = is64 ? 32 : 28;
    const std::string_view cpuName = nameOf(kMachoCpus, cpu);
    const std::string_view typeName = nameOf(kMachoTypes, fileType);
    if (cpuName.empty() || typeName.empty() || commands == 0 || commandBytes < commands * 8 ||
        commandBytes > kMaxCommandBytes || !object.holds(headerSize, commandBytes)) {
        return std::nullopt;
    }
    // A cpu type of one width in a header of the other is no Mach-O file.
    if (((cpu & kAbi64) != 0) != is64 && (cpu & kAbi64_32) == 0) {
        return std::nullopt;
    }
    Extent extent;
    extent.add(0, headerSize + commandBytes);
    std::uint64_t at = headerSize;
    const std::uint64_t end = headerSize + commandBytes;
    std::uint64_t sectionsSeen = 0;
    std::uint64_t segments = 0;
    std::array<std::uint8_t, 80> command{};
    for (std::uint64_t i = 0; i < commands; ++i) {
        if (at + 8 > end || !object.read(at, std::span(command).first(8))) {
            return std::nullopt;
        }
        const std::uint64_t kind = numberAt(command, 0, 4, order);
        const std::uint64_t size = numberAt(command, 4, 4, order);
        if (size < 8 || size % 4 != 0 || size > end - at) {
            return std::nullopt;
        }
        const std::uint64_t body = std::min<std::uint64_t>(size, command.size());
        if (!object.read(at, std::span(command).first(body))) {
            return std::nullopt;
        }
        const auto word = [&](std::size_t offset, std::size_t width) -> std::uint64_t {
            return offset + width <= body ? numberAt(command, offset, width, order) : 0;
        };
        if (kind == kSegment || kind == kSegment64) {
            const bool wide = kind == kSegment64;
            const std::uint64_t fixed = wide ? 72 : 56;
            const std::uint64_t sectionSize = wide ? 80 : 68;
            if (size < fixed) {
                return std::nullopt;
            }
            ++segments;
            extent.add(word(wide ? 40 : 32, wide ? 8 : 4), word(wide ? 48 : 36, wide ? 8 : 4));
            const std::uint64_t sections = word(wide ? 64 : 48, 4);
            if (fixed + sections * sectionSize > size) {
                return std::nullopt;
            }
            // The relocations of an object file's sections lie behind its one segment.
            for (std::uint64_t s = 0; s < sections && sectionsSeen < kMaxSections;
                 ++s, ++sectionsSeen) {
                std::array<std::uint8_t, 80> entry{};
                const std::span<std::uint8_t> into = std::span(entry).first(sectionSize);
                if (!object.read(at + fixed + s * sectionSize, into)) {
                    return std::nullopt;
                }
                const std::size_t relocations = wide ? 56 : 48;
                extent.add(numberAt(into, relocations, 4, order),
                           numberAt(into, relocations + 4, 4, order) * 8);
            }
        } else if (kind == kSymtab) {
            extent.add(word(8, 4), word(12, 4) * (is64 ? 16 : 12));
            extent.add(word(16, 4), word(20, 4));
        } else if (std::ranges::find(kLinkeditData, kind) != std::end(kLinkeditData)) {
            extent.add(word(8, 4), word(12, 4));
        }
        at += size;
    }
    if (extent.broken()) {
        return std::nullopt;
    }
    Object found;
    found.description = std::string("Mach-O ")
                            .append(is64 ? "64-bit " : "")
                            .append(cpuName)
                            .append(" ")
                            .append(typeName);
    setSize(found, object, extent, true);
    found.fields = {
        numberField("cpu_type", cpu),           numberField("file_type", fileType),
        numberField("load_commands", commands), numberField("size_of_commands", commandBytes),
        numberField("segments", segments),      hexField("flags", field(24))};
    return found;
}

// A universal binary shares its magic with Java class files, whose version makes the count of
// architectures 45 or more: the count is kept small, and every slice must be a Mach-O file of
// the cpu type it is listed with, aligned as listed, inside the input.
constexpr std::uint64_t kMaxArchitectures = 20;
constexpr std::uint64_t kMaxAlignment = 16;

std::optional<Object> validateUniversal(Bytes& object) {
    const std::optional<std::uint64_t> count = object.number(4, 4, ByteOrder::kBig);
    if (!count || *count == 0 || *count > kMaxArchitectures) {
        return std::nullopt;
    }
    Extent extent;
    extent.add(0, 8 + *count * 20);
    std::string names;
    for (std::uint64_t i = 0; i < *count; ++i) {
        std::array<std::uint8_t, 20> arch{};
        if (!object.read(8 + i * 20, arch)) {
            return std::nullopt;
        }
        const std::uint64_t cpu = readBigEndian(ByteView(arch).subspan(0, 4));
        const std::uint64_t offset = readBigEndian(ByteView(arch).subspan(8, 4));
        const std::uint64_t size = readBigEndian(ByteView(arch).subspan(12, 4));
        const std::uint64_t align = readBigEndian(ByteView(arch).subspan(16, 4));
        const std::string_view cpuName = nameOf(kMachoCpus, cpu);
        if (cpuName.empty() || align > kMaxAlignment || offset % (std::uint64_t{1} << align) != 0 ||
            offset < 8 + *count * 20 || size < 28 || !object.holds(offset, size)) {
            return std::nullopt;
        }
        std::array<std::uint8_t, 8> slice{};
        if (!object.read(offset, slice)) {
            return std::nullopt;
        }
        const std::uint64_t magic = readBigEndian(ByteView(slice).subspan(0, 4));
        const bool big = magic == 0xFEEDFACE || magic == 0xFEEDFACF;
        const bool little = magic == 0xCEFAEDFE || magic == 0xCFFAEDFE;
        const ByteOrder order = big ? ByteOrder::kBig : ByteOrder::kLittle;
        if ((!big && !little) || numberAt(slice, 4, 4, order) != cpu) {
            return std::nullopt;
        }
        extent.add(offset, size);
        names += (i == 0 ? "" : ", ") + std::string(cpuName);
    }
    Object found;
    found.description = "Mach-O universal binary, " + std::to_string(*count) +
                        (*count == 1 ? " architecture: " : " architectures: ") + names;
    setSize(found, object, extent, true);
    found.fields = {numberField("architectures", *count)};
    return found;
}

}  // namespace

std::span<const Signature> executableSignatures() {
    static constexpr Signature kRows[] = {
        {"elf",
         "\x7F"
         "ELF",
         0, Interior::kScanned, validateElf},
        {"pe", "MZ", 0, Interior::kScanned, validatePe},
        {"macho", "\xFE\xED\xFA\xCE", 0, Interior::kScanned, validateMacho},
        {"macho", "\xFE\xED\xFA\xCF", 0, Interior::kScanned, validateMacho},
        {"macho", "\xCE\xFA\xED\xFE", 0, Interior::kScanned, validateMacho},
        {"macho", "\xCF\xFA\xED\xFE", 0, Interior::kScanned, validateMacho},
        {"macho", "\xCA\xFE\xBA\xBE", 0, Interior::kScanned, validateUniversal},
    };
    return kRows;
}

}  // namespace tessaloom::scan
