// ELF files, 32 and 64 bit, in either byte order: the header, the program headers, the section
// headers with their names, the interpreter and the dynamic section's needed libraries.
#include <algorithm>

#include "decoder.h"
#include "elf_tables.h"

namespace tessaloom::formats {

namespace {

constexpr std::uint64_t kIdentSize = 16;
constexpr std::uint64_t kElfClass64 = 2;
constexpr std::uint64_t kElfDataBig = 2;
constexpr std::uint64_t kSectionCountInSection0 = 0;  // e_shnum when section 0 holds the count
constexpr std::uint64_t kXIndex = 0xFFFF;             // SHN_XINDEX, PN_XNUM
constexpr std::uint64_t kNoBits = 8;                  // SHT_NOBITS
constexpr std::uint64_t kDynamicSection = 6;          // SHT_DYNAMIC

enum Machine : std::uint64_t {
    kPowerPc = 20,
    kArm = 40,
    kX86_64 = 62,
    kAArch64 = 183,
    kRiscV = 243
};
enum OsAbi : std::uint64_t { kSystemV = 0, kGnu = 3, kFreeBsd = 9 };
enum SegmentType : std::uint64_t { kLoad = 1, kDynamic = 2, kInterpreter = 3, kNoteSegment = 4 };
enum DynamicTag : std::uint64_t {
    kNull = 0,
    kNeeded = 1,
    kStringTable = 5,
    kStringTableSize = 10,
    kSoname = 14,
    kRpath = 15,
    kRunpath = 29,
};

constexpr NamedValue kClasses[] = {{1, "ELF32"}, {2, "ELF64"}};
constexpr NamedValue kByteOrders[] = {{1, "2's complement, little endian"},
                                      {2, "2's complement, big endian"}};

constexpr NamedValue kOsAbis[] = {
    {0, "UNIX - System V", "UNIX - System V"},
    {1, "UNIX - HP-UX"},
    {2, "UNIX - NetBSD"},
    {3, "UNIX - GNU"},
    {6, "UNIX - Solaris"},
    {7, "UNIX - AIX"},
    {8, "UNIX - IRIX"},
    {9, "UNIX - FreeBSD"},
    {10, "UNIX - TRU64"},
    {11, "Novell - Modesto"},
    {12, "UNIX - OpenBSD"},
    {13, "VMS - OpenVMS"},
    {14, "HP - Non-Stop Kernel"},
    {15, "AROS"},
    {16, "FenixOS"},
    {17, "Nuxi CloudABI"},
    {97, "ARM"},
    {255, "Standalone App"},
};

constexpr NamedValue kTypes[] = {
    {0, "NONE (None)"},
    {1, "REL (Relocatable file)"},
    {2, "EXEC (Executable file)", "EXEC (Executable file)"},
    {3, "DYN (Shared object file)", "DYN (Shared object)"},
    {4, "CORE (Core file)"},
};

constexpr NamedValue kMachines[] = {
    {0, "None"},
    {2, "Sparc"},
    {3, "Intel 80386", "Intel 80386"},
    {4, "MC68000"},
    {5, "MC88000"},
    {6, "Intel MCU"},
    {7, "Intel 80860"},
    {8, "MIPS R3000"},
    {10, "MIPS R4000 little-endian"},
    {15, "HPPA"},
    {18, "Sparc v8+"},
    {20, "PowerPC"},
    {21, "PowerPC64"},
    {22, "IBM S/390"},
    {40, "ARM"},
    {42, "Renesas / SuperH SH"},
    {43, "Sparc v9"},
    {50, "Intel IA-64"},
    {62, "Advanced Micro Devices X86-64", "x86-64"},
    {83, "Atmel AVR 8-bit microcontroller"},
    {94, "Tensilica Xtensa Processor"},
    {105, "Texas Instruments msp430 microcontroller"},
    {164, "QUALCOMM Hexagon"},
    {183, "AArch64", "AArch64"},
    {243, "RISC-V"},
    {247, "Linux BPF"},
    {258, "LoongArch"},
};

constexpr NamedValue kSegmentTypes[] = {
    {0, "NULL"},
    {1, "LOAD"},
    {2, "DYNAMIC"},
    {3, "INTERP"},
    {4, "NOTE"},
    {5, "SHLIB"},
    {6, "PHDR"},
    {7, "TLS"},
    {0x6474E550, "GNU_EH_FRAME"},
    {0x6474E551, "GNU_STACK"},
    {0x6474E552, "GNU_RELRO"},
    {0x6474E553, "GNU_PROPERTY"},
    {0x6474E554, "GNU_SFRAME"},
};

constexpr NamedValue kSectionTypes[] = {
    {0, "NULL"},
    {1, "PROGBITS"},
    {2, "SYMTAB"},
    {3, "STRTAB"},
    {4, "RELA"},
    {5, "HASH"},
    {6, "DYNAMIC"},
    {7, "NOTE"},
    {8, "NOBITS"},
    {9, "REL"},
    {10, "SHLIB"},
    {11, "DYNSYM"},
    {14, "INIT_ARRAY"},
    {15, "FINI_ARRAY"},
    {16, "PREINIT_ARRAY"},
    {17, "GROUP"},
    {18, "SYMTAB SECTION INDICES"},
    {19, "RELR"},
    {0x6FFF4C00, "LLVM_ODRTAB"},
    {0x6FFF4C03, "LLVM_ADDRSIG"},
    {0x6FFFFFF5, "GNU_ATTRIBUTES"},
    {0x6FFFFFF6, "GNU_HASH"},
    {0x6FFFFFF7, "GNU_LIBLIST"},
    {0x6FFFFFF8, "CHECKSUM"},
    {0x6FFFFFFD, "VERDEF"},
    {0x6FFFFFFE, "VERNEED"},
    {0x6FFFFFFF, "VERSYM"},
};

// The section types of one machine, in the range the processor defines.
struct MachineSectionType {
    std::uint64_t machine;
    NamedValue type;
};
constexpr MachineSectionType kMachineSectionTypes[] = {
    {kX86_64, {0x70000001, "X86_64_UNWIND"}},       {kArm, {0x70000001, "ARM_EXIDX"}},
    {kArm, {0x70000002, "ARM_PREEMPTMAP"}},         {kArm, {0x70000003, "ARM_ATTRIBUTES"}},
    {kAArch64, {0x70000003, "AARCH64_ATTRIBUTES"}}, {kRiscV, {0x70000003, "RISCV_ATTRIBUTES"}},
};

constexpr std::uint64_t kAnyMachine = UINT64_MAX;
constexpr std::uint64_t kRetainAbis[] = {kGnu, kFreeBsd};
constexpr std::uint64_t kMbindAbis[] = {kSystemV, kGnu, kFreeBsd};

// Each with the letter readelf shows for it, in the order of the bits; some only for one
// machine or some OS/ABIs (any when none are given). A bit of the OS's or the processor's range
// that has no letter for the file shows as o or p.
struct SectionFlag {
    std::uint64_t bit;
    char letter;
    std::uint64_t machine = kAnyMachine;
    std::span<const std::uint64_t> osAbis = {};
};
constexpr SectionFlag kSectionFlagLetters[] = {
    {0x1, 'W'},
    {0x2, 'A'},
    {0x4, 'X'},
    {0x10, 'M'},
    {0x20, 'S'},
    {0x40, 'I'},
    {0x80, 'L'},
    {0x100, 'O'},
    {0x200, 'G'},
    {0x400, 'T'},
    {0x800, 'C'},
    {0x200000, 'R', kAnyMachine, kRetainAbis},
    {0x1000000, 'D', kAnyMachine, kMbindAbis},
    {0x10000000, 'l', kX86_64},
    {0x10000000, 'v', kPowerPc},
    {0x20000000, 'y', kArm},
    {0x80000000, 'E'},
};
constexpr NamedValue kSectionFlagNames[] = {
    {0x1, "WRITE"},          {0x2, "ALLOC"},
    {0x4, "EXECINSTR"},      {0x10, "MERGE"},
    {0x20, "STRINGS"},       {0x40, "INFO_LINK"},
    {0x80, "LINK_ORDER"},    {0x100, "OS_NONCONFORMING"},
    {0x200, "GROUP"},        {0x400, "TLS"},
    {0x800, "COMPRESSED"},   {0x200000, "GNU_RETAIN"},
    {0x80000000, "EXCLUDE"},
};

constexpr NamedValue kDynamicTags[] = {
    {0, "NULL"},
    {1, "NEEDED"},
    {2, "PLTRELSZ"},
    {3, "PLTGOT"},
    {4, "HASH"},
    {5, "STRTAB"},
    {6, "SYMTAB"},
    {7, "RELA"},
    {8, "RELASZ"},
    {9, "RELAENT"},
    {10, "STRSZ"},
    {11, "SYMENT"},
    {12, "INIT"},
    {13, "FINI"},
    {14, "SONAME"},
    {15, "RPATH"},
    {16, "SYMBOLIC"},
    {17, "REL"},
    {18, "RELSZ"},
    {19, "RELENT"},
    {20, "PLTREL"},
    {21, "DEBUG"},
    {22, "TEXTREL"},
    {23, "JMPREL"},
    {24, "BIND_NOW"},
    {25, "INIT_ARRAY"},
    {26, "FINI_ARRAY"},
    {27, "INIT_ARRAYSZ"},
    {28, "FINI_ARRAYSZ"},
    {29, "RUNPATH"},
    {30, "FLAGS"},
    {32, "PREINIT_ARRAY"},
    {33, "PREINIT_ARRAYSZ"},
    {35, "RELRSZ"},
    {36, "RELR"},
    {37, "RELRENT"},
    {0x6FFFFEF5, "GNU_HASH"},
    {0x6FFFFFF0, "VERSYM"},
    {0x6FFFFFF9, "RELACOUNT"},
    {0x6FFFFFFA, "RELCOUNT"},
    {0x6FFFFFFB, "FLAGS_1"},
    {0x6FFFFFFC, "VERDEF"},
    {0x6FFFFFFD, "VERDEFNUM"},
    {0x6FFFFFFE, "VERNEED"},
    {0x6FFFFFFF, "VERNEEDNUM"},
};

constexpr FieldLayout kIdent[] = {
    {"EI_MAG", 0, 4, Render::kBytes},
    {"EI_CLASS", 4, 1, Render::kName, kClasses},
    {"EI_DATA", 5, 1, Render::kName, kByteOrders},
    {"EI_VERSION", 6, 1, Render::kDecimal},
    {"EI_OSABI", 7, 1, Render::kName, kOsAbis},
    {"EI_ABIVERSION", 8, 1, Render::kDecimal},
    {"EI_PAD", 9, 7, Render::kBytes},
};

// The header after e_ident, of each class; e_type and e_machine lie at 16 and 18 in both.
constexpr FieldLayout kHeader32[] = {
    {"e_type", 16, 2, Render::kName, kTypes}, {"e_machine", 18, 2, Render::kName, kMachines},
    {"e_version", 20, 4, Render::kDecimal},   {"e_entry", 24, 4, Render::kHex},
    {"e_phoff", 28, 4, Render::kHex},         {"e_shoff", 32, 4, Render::kHex},
    {"e_flags", 36, 4, Render::kHex},         {"e_ehsize", 40, 2, Render::kDecimal},
    {"e_phentsize", 42, 2, Render::kDecimal}, {"e_phnum", 44, 2, Render::kDecimal},
    {"e_shentsize", 46, 2, Render::kDecimal}, {"e_shnum", 48, 2, Render::kDecimal},
    {"e_shstrndx", 50, 2, Render::kDecimal},
};
constexpr FieldLayout kHeader64[] = {
    {"e_type", 16, 2, Render::kName, kTypes}, {"e_machine", 18, 2, Render::kName, kMachines},
    {"e_version", 20, 4, Render::kDecimal},   {"e_entry", 24, 8, Render::kHex},
    {"e_phoff", 32, 8, Render::kHex},         {"e_shoff", 40, 8, Render::kHex},
    {"e_flags", 48, 4, Render::kHex},         {"e_ehsize", 52, 2, Render::kDecimal},
    {"e_phentsize", 54, 2, Render::kDecimal}, {"e_phnum", 56, 2, Render::kDecimal},
    {"e_shentsize", 58, 2, Render::kDecimal}, {"e_shnum", 60, 2, Render::kDecimal},
    {"e_shstrndx", 62, 2, Render::kDecimal},
};

constexpr FieldLayout kProgramHeader32[] = {
    {"p_type", 0, 4, Render::kName, kSegmentTypes},
    {"p_offset", 4, 4, Render::kHex},
    {"p_vaddr", 8, 4, Render::kHex},
    {"p_paddr", 12, 4, Render::kHex},
    {"p_filesz", 16, 4, Render::kHex},
    {"p_memsz", 20, 4, Render::kHex},
    {"p_flags", 24, 4, Render::kHex},
    {"p_align", 28, 4, Render::kHex},
};
constexpr FieldLayout kProgramHeader64[] = {
    {"p_type", 0, 4, Render::kName, kSegmentTypes},
    {"p_flags", 4, 4, Render::kHex},
    {"p_offset", 8, 8, Render::kHex},
    {"p_vaddr", 16, 8, Render::kHex},
    {"p_paddr", 24, 8, Render::kHex},
    {"p_filesz", 32, 8, Render::kHex},
    {"p_memsz", 40, 8, Render::kHex},
    {"p_align", 48, 8, Render::kHex},
};

constexpr FieldLayout kSectionHeader32[] = {
    {"sh_name", 0, 4, Render::kHex},
    {"sh_type", 4, 4, Render::kName, kSectionTypes},
    {"sh_flags", 8, 4, Render::kFlags, kSectionFlagNames},
    {"sh_addr", 12, 4, Render::kHex},
    {"sh_offset", 16, 4, Render::kHex},
    {"sh_size", 20, 4, Render::kHex},
    {"sh_link", 24, 4, Render::kDecimal},
    {"sh_info", 28, 4, Render::kDecimal},
    {"sh_addralign", 32, 4, Render::kDecimal},
    {"sh_entsize", 36, 4, Render::kHex},
};
constexpr FieldLayout kSectionHeader64[] = {
    {"sh_name", 0, 4, Render::kHex},
    {"sh_type", 4, 4, Render::kName, kSectionTypes},
    {"sh_flags", 8, 8, Render::kFlags, kSectionFlagNames},
    {"sh_addr", 16, 8, Render::kHex},
    {"sh_offset", 24, 8, Render::kHex},
    {"sh_size", 32, 8, Render::kHex},
    {"sh_link", 40, 4, Render::kDecimal},
    {"sh_info", 44, 4, Render::kDecimal},
    {"sh_addralign", 48, 8, Render::kDecimal},
    {"sh_entsize", 56, 8, Render::kHex},
};

struct Segment {
    std::uint64_t type, offset, address, fileSize, memorySize, flags, align;
};
struct Section {
    std::uint64_t name, type, flags, address, offset, size, link, info, align;
};

std::string segmentFlags(std::uint64_t flags) {
    return {(flags & 4) != 0 ? 'R' : '-', (flags & 2) != 0 ? 'W' : '-',
            (flags & 1) != 0 ? 'X' : '-'};
}

std::string sectionFlagLetters(std::uint64_t flags, std::uint64_t machine, std::uint64_t osAbi) {
    std::string letters;
    std::uint64_t rest = flags;
    for (const SectionFlag& flag : kSectionFlagLetters) {
        const bool applies =
            (flag.machine == kAnyMachine || flag.machine == machine) &&
            (flag.osAbis.empty() || std::ranges::find(flag.osAbis, osAbi) != flag.osAbis.end());
        if ((flags & flag.bit) != 0 && applies) {
            letters += flag.letter;
            rest &= ~flag.bit;
        }
    }
    if ((rest & 0x0FF00000) != 0) {
        letters += 'o';
    }
    if ((rest & 0xF0000000) != 0) {
        letters += 'p';
    }
    if ((rest & ~std::uint64_t{0xFFF00000}) != 0) {
        letters += 'x';
    }
    return letters;
}

std::string sectionTypeName(std::uint64_t type, std::uint64_t machine) {
    for (const MachineSectionType& known : kMachineSectionTypes) {
        if (known.machine == machine && known.type.value == type) {
            return std::string(known.type.name);
        }
    }
    return renderValue(Render::kName, type, kSectionTypes);
}

class ElfDecoder {
  public:
    ElfDecoder(Decoding& decoding, bool is64, ByteOrder order, std::uint64_t machine,
               std::uint64_t osAbi)
        : d_(decoding),
          bytes_(decoding.bytes),
          is64_(is64),
          order_(order),
          machine_(machine),
          osAbi_(osAbi) {}
    void decode(StructField& header);

  private:
    // The count of a table of entrySize-byte entries at offset, no more than the file holds.
    std::uint64_t fittingCount(std::uint64_t offset, std::uint64_t count, std::uint64_t entrySize,
                               std::string_view what);
    void readSegments(std::uint64_t offset, std::uint64_t count, std::uint64_t stride);
    void readSections(std::uint64_t offset, std::uint64_t count, std::uint64_t stride,
                      std::uint64_t namesIndex);
    void readInterpreter();
    void readDynamic();
    void readTables();
    std::optional<std::uint64_t> fileOffset(std::uint64_t address);
    std::uint64_t stride(const StructField& header, std::string_view field, std::uint64_t size);

    Decoding& d_;
    Bytes& bytes_;
    bool is64_;
    ByteOrder order_;
    std::uint64_t machine_;
    std::uint64_t osAbi_;
    std::vector<Segment> segments_;
    std::vector<Section> sections_;
};

std::uint64_t ElfDecoder::stride(const StructField& header, std::string_view field,
                                 std::uint64_t size) {
    const std::uint64_t declared = numberOf(header, field).value_or(size);
    if (declared < size) {
        d_.warn(std::string(field) + " is " + decimal(declared) + ", less than an entry's " +
                decimal(size) + " bytes; read as " + decimal(size));
        return size;
    }
    return declared;
}

std::uint64_t ElfDecoder::fittingCount(std::uint64_t offset, std::uint64_t count,
                                       std::uint64_t entrySize, std::string_view what) {
    const std::uint64_t room = offset < bytes_.size() ? (bytes_.size() - offset) / entrySize : 0;
    if (count > room) {
        d_.warn("The " + std::string(what) + " (" + decimal(count) + " at " + hex(offset) +
                ") reach past the end of the file; " + decimal(room) + " read");
        count = room;
    }
    if (count > kMaxRows) {
        d_.warn("Only the first " + decimal(kMaxRows) + " " + std::string(what) + " are read");
        count = kMaxRows;
    }
    return count;
}

void ElfDecoder::decode(StructField& header) {
    const std::uint64_t entry = numberOf(header, "e_entry").value_or(0);
    const std::uint64_t phoff = numberOf(header, "e_phoff").value_or(0);
    const std::uint64_t shoff = numberOf(header, "e_shoff").value_or(0);
    std::uint64_t phnum = numberOf(header, "e_phnum").value_or(0);
    std::uint64_t shnum = numberOf(header, "e_shnum").value_or(0);
    std::uint64_t shstrndx = numberOf(header, "e_shstrndx").value_or(0);
    // Counts too large for their fields are kept in section 0.
    if (shoff != 0 &&
        (shnum == kSectionCountInSection0 || shstrndx == kXIndex || phnum == kXIndex)) {
        StructField first;
        if (readFields(bytes_, shoff,
                       is64_ ? std::span(kSectionHeader64) : std::span(kSectionHeader32), order_,
                       first)) {
            shnum =
                shnum == kSectionCountInSection0 ? numberOf(first, "sh_size").value_or(0) : shnum;
            shstrndx = shstrndx == kXIndex ? numberOf(first, "sh_link").value_or(0) : shstrndx;
            phnum = phnum == kXIndex ? numberOf(first, "sh_info").value_or(0) : phnum;
        }
    }
    d_.report.segments.emplace();
    d_.report.sections.emplace();
    d_.report.libraries.emplace();
    if (phoff != 0 && phnum > 0) {
        const std::uint64_t size = stride(header, "e_phentsize", is64_ ? 56 : 32);
        readSegments(phoff, fittingCount(phoff, phnum, size, "program headers"), size);
    }
    if (shoff != 0 && shnum > 0) {
        const std::uint64_t size = stride(header, "e_shentsize", is64_ ? 64 : 40);
        readSections(shoff, fittingCount(shoff, shnum, size, "section headers"), size, shstrndx);
    }
    d_.report.entryPoint = entry;
    if (StructField* field = fieldOf(header, "e_entry"); field != nullptr && entry != 0) {
        d_.report.entryPointOffset = fileOffset(entry);
        if (d_.report.entryPointOffset) {
            field->value += " (file offset " + hex(*d_.report.entryPointOffset) + ")";
        }
    }
    readInterpreter();
    readDynamic();
    readTables();
}

void ElfDecoder::readTables() {
    std::vector<ElfSection> sections;
    for (std::size_t i = 0; i < sections_.size(); ++i) {
        const Section& s = sections_[i];
        sections.push_back({(*d_.report.sections)[i].name, s.type, s.offset,
                            s.type == kNoBits ? 0 : s.size, s.link, s.info, s.align, s.address});
    }
    std::vector<ElfNoteSegment> notes;
    for (const Segment& segment : segments_) {
        if (segment.type == kNoteSegment) {
            notes.push_back({segment.offset, segment.fileSize, segment.align});
        }
    }
    readElfTables(d_, {is64_, order_}, sections, notes);
}

void ElfDecoder::readSegments(std::uint64_t offset, std::uint64_t count, std::uint64_t stride) {
    StructField& table =
        d_.add("Program headers", offset, count * stride, decimal(count) + " segments");
    const auto layouts = is64_ ? std::span(kProgramHeader64) : std::span(kProgramHeader32);
    for (std::uint64_t i = 0; i < count; ++i) {
        StructField& header = addField(table, indexLabel(i), offset + i * stride, stride);
        readFields(bytes_, offset + i * stride, layouts, order_, header);
        const auto number = [&header](std::string_view name) {
            return numberOf(header, name).value_or(0);
        };
        const Segment segment{number("p_type"),   number("p_offset"), number("p_vaddr"),
                              number("p_filesz"), number("p_memsz"),  number("p_flags"),
                              number("p_align")};
        segments_.push_back(segment);
        SegmentInfo info{renderValue(Render::kName, segment.type, kSegmentTypes),
                         segment.offset,
                         segment.fileSize,
                         segment.address,
                         segment.memorySize,
                         segmentFlags(segment.flags)};
        header.name += " " + info.type;
        header.value =
            hex(segment.offset) + ", " + decimal(segment.fileSize) + " bytes, " + info.flags;
        if (StructField* flags = fieldOf(header, "p_flags")) {
            flags->value += " (" + info.flags + ")";
        }
        d_.report.segments->push_back(std::move(info));
    }
}

void ElfDecoder::readSections(std::uint64_t offset, std::uint64_t count, std::uint64_t stride,
                              std::uint64_t namesIndex) {
    StructField& table =
        d_.add("Section headers", offset, count * stride, decimal(count) + " sections");
    const auto layouts = is64_ ? std::span(kSectionHeader64) : std::span(kSectionHeader32);
    for (std::uint64_t i = 0; i < count; ++i) {
        StructField& header = addField(table, indexLabel(i), offset + i * stride, stride);
        readFields(bytes_, offset + i * stride, layouts, order_, header);
        const auto number = [&header](std::string_view name) {
            return numberOf(header, name).value_or(0);
        };
        sections_.push_back({number("sh_name"), number("sh_type"), number("sh_flags"),
                             number("sh_addr"), number("sh_offset"), number("sh_size"),
                             number("sh_link"), number("sh_info"), number("sh_addralign")});
    }
    std::optional<Section> names;
    if (namesIndex < sections_.size()) {
        names = sections_[namesIndex];
    } else if (namesIndex != 0) {
        d_.warn("e_shstrndx (" + decimal(namesIndex) + ") is not a section");
    }
    StructField contents{"Section contents", 0, 0, {}, std::nullopt, {}};
    for (std::size_t i = 0; i < sections_.size(); ++i) {
        const Section& section = sections_[i];
        std::string name;
        // Past the budget for names the sections are still listed, as their headers are.
        const std::optional<std::uint64_t> nameAt =
            names && section.name < names->size && !d_.spent()
                ? d_.checkedAdd(names->offset, section.name, "The name of a section")
                : std::nullopt;
        SectionInfo info;
        info.offset = section.offset;
        info.size = section.type == kNoBits ? 0 : section.size;
        // In the table, the label of the header and, when it has bytes, the section's contents.
        const bool hasContents = info.size > 0 && info.offset < bytes_.size();
        if (nameAt) {
            name = d_.text(*nameAt,
                           static_cast<std::size_t>(
                               std::min<std::uint64_t>(kMaxNameLength, names->size - section.name)),
                           hasContents ? 3 : 2)
                       .value_or("");
        }
        info.name = name;
        info.type = sectionTypeName(section.type, machine_);
        info.address = section.address;
        info.virtualSize = section.size;
        info.rawFlags = section.flags;
        info.flags = sectionFlagLetters(section.flags, machine_, osAbi_);
        StructField& header = table.fields[i];
        if (StructField* type = fieldOf(header, "sh_type")) {
            type->value = info.type;
        }
        header.name += name.empty() ? "" : " " + name;
        header.value = info.type;
        if (info.size > 0) {
            if (!bytes_.holds(info.offset, info.size)) {
                d_.warn("Section " + header.name + " (" + decimal(info.size) + " bytes at " +
                        hex(info.offset) + ") reaches past the end of the file");
            }
            if (hasContents) {
                addField(contents, name.empty() ? header.name : name, info.offset,
                         std::min(info.size, bytes_.size() - info.offset), info.type);
            }
        }
        d_.report.sections->push_back(std::move(info));
    }
    if (!contents.fields.empty()) {
        contents.offset = std::ranges::min(contents.fields, {}, &StructField::offset).offset;
        d_.top.push_back(std::move(contents));
    }
}

std::optional<std::uint64_t> ElfDecoder::fileOffset(std::uint64_t address) {
    for (const Segment& segment : segments_) {
        if (segment.type == kLoad && address >= segment.address &&
            address - segment.address < segment.fileSize) {
            return d_.checkedAdd(segment.offset, address - segment.address,
                                 "The file offset of an address");
        }
    }
    return std::nullopt;
}

void ElfDecoder::readInterpreter() {
    for (const Segment& segment : segments_) {
        if (segment.type != kInterpreter) {
            continue;
        }
        const std::optional<std::string> path = bytes_.cString(
            segment.offset,
            static_cast<std::size_t>(std::min<std::uint64_t>(segment.fileSize, kMaxNameLength)));
        if (!path || !bytes_.holds(segment.offset, segment.fileSize)) {
            d_.warn("The interpreter's path lies outside the file");
            return;
        }
        d_.report.interpreter = *path;
        d_.add("Interpreter", segment.offset, segment.fileSize, *path);
        return;
    }
}

void ElfDecoder::readDynamic() {
    std::optional<std::pair<std::uint64_t, std::uint64_t>> place;
    std::optional<std::uint64_t> linkedStrings;
    for (const Segment& segment : segments_) {
        if (segment.type == kDynamic) {
            place = {segment.offset, segment.fileSize};
            break;
        }
    }
    for (const Section& section : sections_) {
        if (section.type == kDynamicSection) {
            place = place.value_or(std::pair(section.offset, section.size));
            if (section.link < sections_.size()) {
                linkedStrings = sections_[section.link].offset;
            }
            break;
        }
    }
    if (!place) {
        return;
    }
    const std::uint64_t width = is64_ ? 8 : 4;
    const auto [offset, size] = *place;
    const std::uint64_t count =
        fittingCount(offset, size / (2 * width), 2 * width, "dynamic entries");
    struct Entry {
        std::uint64_t tag, value;
    };
    std::vector<Entry> entries;
    std::optional<std::uint64_t> stringTable;
    for (std::uint64_t i = 0; i < count; ++i) {
        const std::uint64_t at = offset + 2 * width * i;
        const Entry entry{bytes_.number(at, width, order_).value_or(0),
                          bytes_.number(at + width, width, order_).value_or(0)};
        entries.push_back(entry);
        if (entry.tag == kStringTable && !stringTable) {
            stringTable = fileOffset(entry.value);
        }
        if (entry.tag == kNull) {
            break;
        }
    }
    if (!stringTable) {
        stringTable = linkedStrings;
    }
    StructField& table = d_.add("Dynamic section", offset, 0, decimal(entries.size()) + " entries");
    for (std::size_t i = 0; i < entries.size() && !d_.spent(); ++i) {
        const Entry& entry = entries[i];
        std::string value = hex(entry.value);
        const bool named = entry.tag == kNeeded || entry.tag == kSoname || entry.tag == kRpath ||
                           entry.tag == kRunpath;
        if (named) {
            const std::optional<std::uint64_t> at =
                stringTable ? d_.checkedAdd(*stringTable, entry.value, "A dynamic entry's name")
                            : std::nullopt;
            // A needed library is shown in its entry and in the list of libraries.
            const std::optional<std::string> text =
                at ? d_.text(*at, kMaxNameLength, entry.tag == kNeeded ? 2 : 1) : std::nullopt;
            if (d_.spent()) {
                break;
            }
            if (!text) {
                if (!stringTable || at) {  // a sum that overflows has been warned of
                    d_.warn("A dynamic entry's name lies outside the file");
                }
            } else {
                value = *text;
                if (entry.tag == kNeeded) {
                    d_.report.libraries->push_back(*text);
                }
            }
        }
        const std::string tag = renderValue(Render::kName, entry.tag, kDynamicTags);
        addField(table, tag, offset + 2 * width * i, 2 * width, value,
                 named ? std::nullopt : std::optional(entry.value));
    }
}

}  // namespace

bool decodeElf(Decoding& decoding) {
    Bytes& bytes = decoding.bytes;
    if (!bytes.matches(0,
                       "\x7F"
                       "ELF")) {
        return false;
    }
    StructField& header = decoding.add("ELF header", 0, 0);
    StructField& ident = addField(header, "e_ident", 0, kIdentSize);
    const bool wholeIdent = readFields(bytes, 0, kIdent, ByteOrder::kLittle, ident);
    const std::uint64_t elfClass = numberOf(ident, "EI_CLASS").value_or(0);
    const std::uint64_t data = numberOf(ident, "EI_DATA").value_or(0);
    const std::uint64_t osAbi = numberOf(ident, "EI_OSABI").value_or(0);
    const bool is64 = elfClass == kElfClass64;
    const ByteOrder order = data == kElfDataBig ? ByteOrder::kBig : ByteOrder::kLittle;
    decoding.report.format = is64 ? "ELF64" : "ELF32";
    if (elfClass != 1 && !is64) {
        decoding.warn("Unknown ELF class " + decimal(elfClass) + "; read as 32-bit");
    }
    if (data != 1 && data != kElfDataBig) {
        decoding.warn("Unknown ELF byte order " + decimal(data) + "; read as little-endian");
    }
    if (!wholeIdent ||
        !readFields(bytes, 0, is64 ? std::span(kHeader64) : std::span(kHeader32), order, header)) {
        decoding.warn("The ELF header is cut short by the end of the file");
        return true;
    }
    const std::uint64_t machine = numberOf(header, "e_machine").value_or(0);
    decoding.report.machine = renderValue(Render::kName, machine, kMachines);
    ElfDecoder(decoding, is64, order, machine, osAbi).decode(header);
    return true;
}

std::vector<HeaderField> elfSummary(Bytes& sample) {
    StructField ident;
    readFields(sample, 0, std::span(kIdent).first(5), ByteOrder::kLittle, ident);
    if (ident.fields.size() < 5) {
        return {};
    }
    const auto byte = [&ident](std::size_t i) { return *ident.fields[i].number; };
    std::vector<HeaderField> rows{
        summaryRow("e_ident[EI_MAG]", ident.fields[0], "0x7F 'ELF'"),
        summaryRow("EI_CLASS", ident.fields[1],
                   byte(1) == kElfClass64 ? "64-bit Architecture" : "32-bit Architecture"),
        summaryRow("EI_DATA", ident.fields[2],
                   byte(2) == 1 ? "Little-Endian (2's complement)" : "Big-Endian"),
        summaryRow("EI_VERSION", ident.fields[3], decimal(byte(3))),
    };
    const std::string_view abi = briefOf(kOsAbis, byte(4));
    rows.push_back(summaryRow("EI_OSABI", ident.fields[4],
                              abi.empty() ? upperHex(byte(4)) : std::string(abi)));
    // e_type and e_machine, in the file's byte order, only when both are there.
    StructField header;
    const ByteOrder order = byte(2) == kElfDataBig ? ByteOrder::kBig : ByteOrder::kLittle;
    if (!readFields(sample, 0, std::span(kHeader32).first(2), order, header)) {
        return rows;
    }
    for (const auto& [field, table] :
         {std::pair(&header.fields[0], std::span<const NamedValue>(kTypes)),
          std::pair(&header.fields[1], std::span<const NamedValue>(kMachines))}) {
        const std::string_view brief = briefOf(table, *field->number);
        rows.push_back(summaryRow(field->name, *field,
                                  brief.empty() ? decimal(*field->number) : std::string(brief)));
    }
    return rows;
}

}  // namespace tessaloom::formats
