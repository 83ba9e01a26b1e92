// Windows PE files (PE32 and PE32+): DOS header, COFF header, optional header, sections,
// imports, delay-load imports, exports, the certificate table and the overlay.
#include <algorithm>
#include <array>
#include <iterator>
#include <map>

#include "decoder.h"
#include "pe_tables.h"

namespace tessaloom::formats {

namespace {

constexpr ByteOrder kLittle = ByteOrder::kLittle;
constexpr std::uint64_t kDosHeaderSize = 64;
constexpr std::uint64_t kLfanewOffset = 60;
constexpr std::uint64_t kCoffHeaderSize = 20;
constexpr std::uint64_t kSectionHeaderSize = 40;
constexpr std::uint64_t kImportDescriptorSize = 20;
constexpr std::uint64_t kDelayDescriptorSize = 32;
constexpr std::uint64_t kExportDirectorySize = 40;
constexpr std::uint64_t kMaxDataDirectories = 16;
constexpr std::uint64_t kMaxOrdinals = 0x10000;
// The Windows loader's documented limit; it keeps the mapping of an address to a file offset
// short, whatever the number of sections a hostile header claims.
constexpr std::size_t kMaxMappedSections = 96;
constexpr std::uint64_t kPe32Magic = 0x10B;
constexpr std::uint64_t kPe32PlusMagic = 0x20B;
// The COFF string table that long section names ("/4") point into follows the symbol table,
// whose entries take 18 bytes each.
constexpr std::uint64_t kSymbolSize = 18;

constexpr NamedValue kMachines[] = {
    {0x14C, "I386", "i386 (x86)"},
    {0x8664, "AMD64", "AMD64 (x86_64)"},
    {0x1C0, "ARM"},
    {0x1C2, "THUMB"},
    {0x1C4, "ARMNT"},
    {0xAA64, "ARM64"},
    {0xA641, "ARM64EC"},
    {0x200, "IA64"},
    {0x166, "R4000"},
    {0x169, "WCEMIPSV2"},
    {0x1A2, "SH3"},
    {0x1A6, "SH4"},
    {0x1F0, "POWERPC"},
    {0x1F1, "POWERPCFP"},
    {0x5032, "RISCV32"},
    {0x5064, "RISCV64"},
    {0x5128, "RISCV128"},
    {0x6232, "LOONGARCH32"},
    {0x6264, "LOONGARCH64"},
    {0xEBC, "EBC"},
};

constexpr NamedValue kCharacteristics[] = {
    {0x0001, "RELOCS_STRIPPED"},
    {0x0002, "EXECUTABLE_IMAGE"},
    {0x0004, "LINE_NUMS_STRIPPED"},
    {0x0008, "LOCAL_SYMS_STRIPPED"},
    {0x0010, "AGGRESSIVE_WS_TRIM"},
    {0x0020, "LARGE_ADDRESS_AWARE"},
    {0x0080, "BYTES_REVERSED_LO"},
    {0x0100, "32BIT_MACHINE"},
    {0x0200, "DEBUG_STRIPPED"},
    {0x0400, "REMOVABLE_RUN_FROM_SWAP"},
    {0x0800, "NET_RUN_FROM_SWAP"},
    {0x1000, "SYSTEM"},
    {0x2000, "DLL"},
    {0x4000, "UP_SYSTEM_ONLY"},
    {0x8000, "BYTES_REVERSED_HI"},
};

constexpr NamedValue kDllCharacteristics[] = {
    {0x0020, "HIGH_ENTROPY_VA"}, {0x0040, "DYNAMIC_BASE"},          {0x0080, "FORCE_INTEGRITY"},
    {0x0100, "NX_COMPAT"},       {0x0200, "NO_ISOLATION"},          {0x0400, "NO_SEH"},
    {0x0800, "NO_BIND"},         {0x1000, "APPCONTAINER"},          {0x2000, "WDM_DRIVER"},
    {0x4000, "GUARD_CF"},        {0x8000, "TERMINAL_SERVER_AWARE"},
};

constexpr NamedValue kSubsystems[] = {
    {0, "UNKNOWN"},
    {1, "NATIVE"},
    {2, "WINDOWS_GUI"},
    {3, "WINDOWS_CUI"},
    {5, "OS2_CUI"},
    {7, "POSIX_CUI"},
    {8, "NATIVE_WINDOWS"},
    {9, "WINDOWS_CE_GUI"},
    {10, "EFI_APPLICATION"},
    {11, "EFI_BOOT_SERVICE_DRIVER"},
    {12, "EFI_RUNTIME_DRIVER"},
    {13, "EFI_ROM"},
    {14, "XBOX"},
    {16, "WINDOWS_BOOT_APPLICATION"},
};

constexpr NamedValue kOptionalMagics[] = {
    {kPe32Magic, "PE32"}, {kPe32PlusMagic, "PE32+"}, {0x107, "ROM"}};

// Bits 20-23 of a section's characteristics are an alignment, not flags; the memory flags come
// in the order that makes them read R, W, X.
constexpr NamedValue kSectionFlags[] = {
    {0x00000008, "TYPE_NO_PAD"},
    {0x00000020, "CNT_CODE"},
    {0x00000040, "CNT_INITIALIZED_DATA"},
    {0x00000080, "CNT_UNINITIALIZED_DATA"},
    {0x00000100, "LNK_OTHER"},
    {0x00000200, "LNK_INFO"},
    {0x00000800, "LNK_REMOVE"},
    {0x00001000, "LNK_COMDAT"},
    {0x00004000, "NO_DEFER_SPEC_EXC"},
    {0x00008000, "GPREL"},
    {0x01000000, "LNK_NRELOC_OVFL"},
    {0x02000000, "MEM_DISCARDABLE"},
    {0x04000000, "MEM_NOT_CACHED"},
    {0x08000000, "MEM_NOT_PAGED"},
    {0x10000000, "MEM_SHARED"},
    {0x40000000, "MEM_READ"},
    {0x80000000, "MEM_WRITE"},
    {0x20000000, "MEM_EXECUTE"},
};
constexpr std::uint64_t kSectionAlignMask = 0x00F00000;

enum DataDirectory : std::uint64_t {
    kExportEntry = 0,
    kImportEntry = 1,
    kSecurityEntry = 4,
    kDelayImportEntry = 13,
};
constexpr std::string_view kDataDirectoryNames[kMaxDataDirectories] = {
    "EXPORT", "IMPORT",       "RESOURCE",    "EXCEPTION", "SECURITY",    "BASERELOC",
    "DEBUG",  "ARCHITECTURE", "GLOBALPTR",   "TLS",       "LOAD_CONFIG", "BOUND_IMPORT",
    "IAT",    "DELAY_IMPORT", "CLR_RUNTIME", "RESERVED",
};

constexpr NamedValue kCertificateTypes[] = {
    {1, "X509"}, {2, "PKCS_SIGNED_DATA"}, {3, "RESERVED_1"}, {4, "TS_STACK_SIGNED"}};

constexpr FieldLayout kDosHeader[] = {
    {"e_magic", 0, 2, Render::kBytes},     {"e_cblp", 2, 2, Render::kDecimal},
    {"e_cp", 4, 2, Render::kDecimal},      {"e_crlc", 6, 2, Render::kDecimal},
    {"e_cparhdr", 8, 2, Render::kDecimal}, {"e_minalloc", 10, 2, Render::kHex},
    {"e_maxalloc", 12, 2, Render::kHex},   {"e_ss", 14, 2, Render::kHex},
    {"e_sp", 16, 2, Render::kHex},         {"e_csum", 18, 2, Render::kHex},
    {"e_ip", 20, 2, Render::kHex},         {"e_cs", 22, 2, Render::kHex},
    {"e_lfarlc", 24, 2, Render::kHex},     {"e_ovno", 26, 2, Render::kDecimal},
    {"e_res", 28, 8, Render::kBytes},      {"e_oemid", 36, 2, Render::kHex},
    {"e_oeminfo", 38, 2, Render::kHex},    {"e_res2", 40, 20, Render::kBytes},
    {"e_lfanew", 60, 4, Render::kHex},
};

// The signature and the COFF header, from the start of the PE header.
constexpr FieldLayout kPeSignature[] = {{"Signature", 0, 4, Render::kBytes}};
constexpr FieldLayout kCoffHeader[] = {
    {"Machine", 0, 2, Render::kName, kMachines},
    {"NumberOfSections", 2, 2, Render::kDecimal},
    {"TimeDateStamp", 4, 4, Render::kTime},
    {"PointerToSymbolTable", 8, 4, Render::kHex},
    {"NumberOfSymbols", 12, 4, Render::kDecimal},
    {"SizeOfOptionalHeader", 16, 2, Render::kDecimal},
    {"Characteristics", 18, 2, Render::kFlags, kCharacteristics},
};

// The optional header up to the data directories, of each kind.
constexpr FieldLayout kOptionalHeader32[] = {
    {"Magic", 0, 2, Render::kName, kOptionalMagics},
    {"MajorLinkerVersion", 2, 1, Render::kDecimal},
    {"MinorLinkerVersion", 3, 1, Render::kDecimal},
    {"SizeOfCode", 4, 4, Render::kHex},
    {"SizeOfInitializedData", 8, 4, Render::kHex},
    {"SizeOfUninitializedData", 12, 4, Render::kHex},
    {"AddressOfEntryPoint", 16, 4, Render::kHex},
    {"BaseOfCode", 20, 4, Render::kHex},
    {"BaseOfData", 24, 4, Render::kHex},
    {"ImageBase", 28, 4, Render::kHex},
    {"SectionAlignment", 32, 4, Render::kHex},
    {"FileAlignment", 36, 4, Render::kHex},
    {"MajorOperatingSystemVersion", 40, 2, Render::kDecimal},
    {"MinorOperatingSystemVersion", 42, 2, Render::kDecimal},
    {"MajorImageVersion", 44, 2, Render::kDecimal},
    {"MinorImageVersion", 46, 2, Render::kDecimal},
    {"MajorSubsystemVersion", 48, 2, Render::kDecimal},
    {"MinorSubsystemVersion", 50, 2, Render::kDecimal},
    {"Win32VersionValue", 52, 4, Render::kHex},
    {"SizeOfImage", 56, 4, Render::kHex},
    {"SizeOfHeaders", 60, 4, Render::kHex},
    {"CheckSum", 64, 4, Render::kHex},
    {"Subsystem", 68, 2, Render::kName, kSubsystems},
    {"DllCharacteristics", 70, 2, Render::kFlags, kDllCharacteristics},
    {"SizeOfStackReserve", 72, 4, Render::kHex},
    {"SizeOfStackCommit", 76, 4, Render::kHex},
    {"SizeOfHeapReserve", 80, 4, Render::kHex},
    {"SizeOfHeapCommit", 84, 4, Render::kHex},
    {"LoaderFlags", 88, 4, Render::kHex},
    {"NumberOfRvaAndSizes", 92, 4, Render::kDecimal},
};
constexpr FieldLayout kOptionalHeader64[] = {
    {"Magic", 0, 2, Render::kName, kOptionalMagics},
    {"MajorLinkerVersion", 2, 1, Render::kDecimal},
    {"MinorLinkerVersion", 3, 1, Render::kDecimal},
    {"SizeOfCode", 4, 4, Render::kHex},
    {"SizeOfInitializedData", 8, 4, Render::kHex},
    {"SizeOfUninitializedData", 12, 4, Render::kHex},
    {"AddressOfEntryPoint", 16, 4, Render::kHex},
    {"BaseOfCode", 20, 4, Render::kHex},
    {"ImageBase", 24, 8, Render::kHex},
    {"SectionAlignment", 32, 4, Render::kHex},
    {"FileAlignment", 36, 4, Render::kHex},
    {"MajorOperatingSystemVersion", 40, 2, Render::kDecimal},
    {"MinorOperatingSystemVersion", 42, 2, Render::kDecimal},
    {"MajorImageVersion", 44, 2, Render::kDecimal},
    {"MinorImageVersion", 46, 2, Render::kDecimal},
    {"MajorSubsystemVersion", 48, 2, Render::kDecimal},
    {"MinorSubsystemVersion", 50, 2, Render::kDecimal},
    {"Win32VersionValue", 52, 4, Render::kHex},
    {"SizeOfImage", 56, 4, Render::kHex},
    {"SizeOfHeaders", 60, 4, Render::kHex},
    {"CheckSum", 64, 4, Render::kHex},
    {"Subsystem", 68, 2, Render::kName, kSubsystems},
    {"DllCharacteristics", 70, 2, Render::kFlags, kDllCharacteristics},
    {"SizeOfStackReserve", 72, 8, Render::kHex},
    {"SizeOfStackCommit", 80, 8, Render::kHex},
    {"SizeOfHeapReserve", 88, 8, Render::kHex},
    {"SizeOfHeapCommit", 96, 8, Render::kHex},
    {"LoaderFlags", 104, 4, Render::kHex},
    {"NumberOfRvaAndSizes", 108, 4, Render::kDecimal},
};

constexpr FieldLayout kDataDirectoryEntry[] = {
    {"VirtualAddress", 0, 4, Render::kHex},
    {"Size", 4, 4, Render::kHex},
};

constexpr FieldLayout kSectionHeader[] = {
    {"Name", 0, 8, Render::kBytes},
    {"VirtualSize", 8, 4, Render::kHex},
    {"VirtualAddress", 12, 4, Render::kHex},
    {"SizeOfRawData", 16, 4, Render::kHex},
    {"PointerToRawData", 20, 4, Render::kHex},
    {"PointerToRelocations", 24, 4, Render::kHex},
    {"PointerToLinenumbers", 28, 4, Render::kHex},
    {"NumberOfRelocations", 32, 2, Render::kDecimal},
    {"NumberOfLinenumbers", 34, 2, Render::kDecimal},
    {"Characteristics", 36, 4, Render::kFlags, kSectionFlags},
};

constexpr FieldLayout kImportDescriptor[] = {
    {"OriginalFirstThunk", 0, 4, Render::kHex}, {"TimeDateStamp", 4, 4, Render::kHex},
    {"ForwarderChain", 8, 4, Render::kHex},     {"Name", 12, 4, Render::kHex},
    {"FirstThunk", 16, 4, Render::kHex},
};

constexpr FieldLayout kDelayDescriptor[] = {
    {"Attributes", 0, 4, Render::kHex},
    {"DllNameRVA", 4, 4, Render::kHex},
    {"ModuleHandleRVA", 8, 4, Render::kHex},
    {"ImportAddressTableRVA", 12, 4, Render::kHex},
    {"ImportNameTableRVA", 16, 4, Render::kHex},
    {"BoundImportAddressTableRVA", 20, 4, Render::kHex},
    {"UnloadInformationTableRVA", 24, 4, Render::kHex},
    {"TimeDateStamp", 28, 4, Render::kHex},
};

constexpr FieldLayout kExportDirectory[] = {
    {"Characteristics", 0, 4, Render::kHex},
    {"TimeDateStamp", 4, 4, Render::kTime},
    {"MajorVersion", 8, 2, Render::kDecimal},
    {"MinorVersion", 10, 2, Render::kDecimal},
    {"Name", 12, 4, Render::kHex},
    {"Base", 16, 4, Render::kDecimal},
    {"NumberOfFunctions", 20, 4, Render::kDecimal},
    {"NumberOfNames", 24, 4, Render::kDecimal},
    {"AddressOfFunctions", 28, 4, Render::kHex},
    {"AddressOfNames", 32, 4, Render::kHex},
    {"AddressOfNameOrdinals", 36, 4, Render::kHex},
};

constexpr FieldLayout kCertificateHeader[] = {
    {"dwLength", 0, 4, Render::kDecimal},
    {"wRevision", 4, 2, Render::kHex},
    {"wCertificateType", 6, 2, Render::kName, kCertificateTypes},
};

class PeDecoder {
  public:
    explicit PeDecoder(Decoding& decoding) : d_(decoding), bytes_(decoding.bytes) {}
    void decode(std::uint64_t peOffset);

  private:
    bool readOptionalHeader(std::uint64_t offset, std::uint64_t size);
    void readSections(std::uint64_t offset, std::uint64_t count);
    std::string sectionName(ByteView rawName);
    void readImports();
    void readDelayImports();
    void readExports();
    void readCertificates();
    void addOverlay();
    // Adds the file offset of an address relative to the image base to field's value.
    void showFileOffset(StructField* field);
    std::optional<std::uint64_t> fileOffset(std::uint64_t rva) const;
    // The functions of an import's name table at rva; values are relative to base.
    std::vector<std::string> importedFunctions(std::uint64_t rva, std::uint64_t base);
    std::optional<std::uint64_t> directoryRva(std::uint64_t index,
                                              std::uint64_t* size = nullptr) const;
    // The name at rva, charged for each of the places it is shown in.
    std::string text(std::uint64_t rva, std::uint64_t places = 1);
    bool takeRow();

    Decoding& d_;
    Bytes& bytes_;
    StructField* optional_ = nullptr;
    PeLayout layout_;
    std::uint64_t stringTable_ = 0;
    // The thunks of the import name tables read so far: from the offset of each to where it
    // ended. No thunk is read twice, however many descriptors point at it.
    std::map<std::uint64_t, std::uint64_t> nameTables_;
    std::size_t rows_ = 0;
    bool rowsCut_ = false;
};

void PeDecoder::decode(std::uint64_t peOffset) {
    layout_.peOffset = peOffset;
    StructField& signature = d_.add("PE signature", peOffset, 4);
    readFields(bytes_, peOffset, kPeSignature, kLittle, signature);
    StructField& coff = d_.add("COFF header", peOffset + 4, kCoffHeaderSize);
    if (!readFields(bytes_, peOffset + 4, kCoffHeader, kLittle, coff)) {
        d_.warn("The COFF header is cut short by the end of the file");
    }
    const std::uint64_t machine = numberOf(coff, "Machine").value_or(0);
    const std::string_view machineName = nameOf(kMachines, machine);
    d_.report.machine = machineName.empty() ? hex(machine) : std::string(machineName);
    const std::uint64_t optionalOffset = peOffset + 4 + kCoffHeaderSize;
    const std::uint64_t optionalSize = numberOf(coff, "SizeOfOptionalHeader").value_or(0);
    d_.report.format = "PE32";
    if (optionalSize > 0 && !readOptionalHeader(optionalOffset, optionalSize)) {
        d_.warn("The optional header is cut short by the end of the file");
    }
    readSections(optionalOffset + optionalSize, numberOf(coff, "NumberOfSections").value_or(0));
    if (optional_ != nullptr) {
        for (const char* name : {"AddressOfEntryPoint", "BaseOfCode", "BaseOfData"}) {
            showFileOffset(fieldOf(*optional_, name));
        }
        if (const std::optional<std::uint64_t> entry =
                numberOf(*optional_, "AddressOfEntryPoint")) {
            d_.report.entryPoint = entry;
            d_.report.entryPointOffset = fileOffset(*entry);
        }
        if (StructField* directories = fieldOf(*optional_, "Data directories")) {
            for (StructField& directory : directories->fields) {
                if (directory.name != "SECURITY" && !directory.fields.empty()) {
                    showFileOffset(&directory.fields.front());
                }
            }
        }
    }
    d_.report.imports.emplace();
    d_.report.exports.emplace();
    readImports();
    readDelayImports();
    readExports();
    readCertificates();
    addOverlay();
    readPeTables(d_, layout_);
}

bool PeDecoder::readOptionalHeader(std::uint64_t offset, std::uint64_t size) {
    StructField& header = d_.add("Optional header", offset, size);
    optional_ = &header;
    const std::optional<std::uint64_t> magic = bytes_.number(offset, 2, kLittle);
    const bool plus = magic == kPe32PlusMagic;
    if (magic && *magic != kPe32Magic && !plus) {
        d_.warn("Unknown optional header magic " + hex(*magic) + "; read as PE32");
    }
    d_.report.format = plus ? "PE32+" : "PE32";
    layout_.pointerSize = plus ? 8 : 4;
    const std::span<const FieldLayout> layouts =
        plus ? std::span<const FieldLayout>(kOptionalHeader64)
             : std::span<const FieldLayout>(kOptionalHeader32);
    const bool whole = readFields(bytes_, offset, layouts, kLittle, header);
    layout_.imageBase = numberOf(header, "ImageBase").value_or(0);
    if (const StructField* checksum = fieldOf(header, "CheckSum");
        checksum != nullptr && checksum->offset + 4 <= offset + size) {
        layout_.checksumOffset = checksum->offset;
        layout_.storedChecksum = checksum->number.value_or(0);
    }
    layout_.headersSize = numberOf(header, "SizeOfHeaders").value_or(0);
    if (layouts.back().offset + layouts.back().size > size) {
        d_.warn("SizeOfOptionalHeader (" + decimal(size) + ") is smaller than the header's fields");
    }
    if (!whole) {
        return false;
    }
    const std::uint64_t declared = numberOf(header, "NumberOfRvaAndSizes").value_or(0);
    layout_.directoryCount = std::min(declared, kMaxDataDirectories);
    if (declared > kMaxDataDirectories) {
        d_.warn("NumberOfRvaAndSizes is " + decimal(declared) + "; only the first 16 are read");
    }
    const std::uint64_t first = offset + layouts.back().offset + layouts.back().size;
    StructField& directories =
        addField(header, "Data directories", first, layout_.directoryCount * 8);
    for (std::uint64_t i = 0; i < layout_.directoryCount; ++i) {
        StructField& entry =
            addField(directories, std::string(kDataDirectoryNames[i]), first + 8 * i, 8);
        if (!readFields(bytes_, first + 8 * i, kDataDirectoryEntry, kLittle, entry)) {
            layout_.directoryCount = i;
            return false;
        }
        layout_.directories[i] = {numberOf(entry, "VirtualAddress").value_or(0),
                                  numberOf(entry, "Size").value_or(0)};
        entry.value = hex(layout_.directories[i].first) + ", " +
                      decimal(layout_.directories[i].second) + " bytes";
    }
    return true;
}

std::string PeDecoder::sectionName(ByteView rawName) {
    const auto end = std::ranges::find(rawName, std::uint8_t{0});
    std::string name = safeText(ByteView(rawName.begin(), end));
    // "/123": the name is at that offset in the COFF string table, as object files and MinGW's
    // debug sections have it. Past the budget for names, it is shown as the header holds it.
    // The full name is shown in the label, the Name field, the table and the section's data.
    if (name.size() > 1 && name[0] == '/' && stringTable_ != 0 && !d_.spent() &&
        std::all_of(name.begin() + 1, name.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        const auto full = d_.text(stringTable_ + std::stoull(name.substr(1)), kMaxNameLength, 4);
        if (full && !d_.spent()) {
            return *full;
        }
    }
    return name;
}

void PeDecoder::readSections(std::uint64_t offset, std::uint64_t count) {
    d_.report.sections.emplace();
    if (const StructField* coff = d_.find("COFF header")) {
        const std::uint64_t symbols = numberOf(*coff, "PointerToSymbolTable").value_or(0);
        if (symbols != 0) {
            stringTable_ = symbols + kSymbolSize * numberOf(*coff, "NumberOfSymbols").value_or(0);
        }
    }
    StructField& table =
        d_.add("Section table", offset, count * kSectionHeaderSize, decimal(count) + " sections");
    StructField data{"Section data", 0, 0, {}, std::nullopt, {}};
    for (std::uint64_t i = 0; i < count; ++i) {
        const std::uint64_t at = offset + i * kSectionHeaderSize;
        std::array<std::uint8_t, 8> nameBytes{};
        if (!bytes_.read(at, nameBytes)) {
            d_.warn("The section table ends at the end of the file after " + decimal(i) + " of " +
                    decimal(count) + " sections");
            table.size = i * kSectionHeaderSize;
            break;
        }
        const std::string name = sectionName(nameBytes);
        const std::string label = name.empty() ? indexLabel(i) : indexLabel(i) + " " + name;
        StructField& header = addField(table, label, at, kSectionHeaderSize);
        if (!readFields(bytes_, at, kSectionHeader, kLittle, header)) {
            d_.warn("Section header " + decimal(i) + " is cut short by the end of the file");
            break;
        }
        SectionInfo info;
        info.name = name;
        info.address = numberOf(header, "VirtualAddress").value_or(0);
        info.virtualSize = numberOf(header, "VirtualSize").value_or(0);
        info.offset = numberOf(header, "PointerToRawData").value_or(0);
        info.size = numberOf(header, "SizeOfRawData").value_or(0);
        info.rawFlags = numberOf(header, "Characteristics").value_or(0);
        info.flags = flagNames(kSectionFlags, info.rawFlags & ~kSectionAlignMask);
        if (const std::uint64_t align = (info.rawFlags & kSectionAlignMask) >> 20; align != 0) {
            info.flags += (info.flags.empty() ? "ALIGN_" : " ALIGN_") +
                          decimal(std::uint64_t{1} << (align - 1)) + "BYTES";
        }
        const std::string rawName =
            safeText(ByteView(nameBytes.begin(), std::ranges::find(nameBytes, std::uint8_t{0})));
        header.fields.front().value = rawName == name ? name : rawName + " (" + name + ")";
        header.value = "at " + hex(info.offset) + ", " + decimal(info.size) + " bytes";
        if (layout_.places.size() < kMaxMappedSections) {
            layout_.places.push_back({info.address, info.virtualSize, info.offset, info.size});
        } else if (layout_.places.size() == kMaxMappedSections && i == kMaxMappedSections) {
            d_.warn(
                "More than " + decimal(kMaxMappedSections) +
                " sections, the Windows loader's documented limit: addresses are mapped through "
                "the first " +
                decimal(kMaxMappedSections));
        }
        if (info.size > 0) {
            if (!bytes_.holds(info.offset, info.size)) {
                d_.warn("Section " + name + " (" + decimal(info.size) + " bytes at " +
                        hex(info.offset) + ") reaches past the end of the file");
            }
            if (info.offset < bytes_.size()) {
                const std::uint64_t inFile = std::min(info.size, bytes_.size() - info.offset);
                addField(data, name.empty() ? label : name, info.offset, inFile,
                         "RVA " + hex(info.address));
                layout_.sectionsEnd = std::max(layout_.sectionsEnd, info.offset + inFile);
            }
        }
        d_.report.sections->push_back(std::move(info));
    }
    if (!data.fields.empty()) {
        data.offset = std::ranges::min(data.fields, {}, &StructField::offset).offset;
        d_.top.push_back(std::move(data));
    }
}

std::optional<std::uint64_t> PeDecoder::fileOffset(std::uint64_t rva) const {
    return layout_.fileOffset(rva);
}

void PeDecoder::showFileOffset(StructField* field) {
    if (field == nullptr || !field->number || *field->number == 0) {
        return;
    }
    if (const std::optional<std::uint64_t> offset = fileOffset(*field->number)) {
        field->value += " (file offset " + hex(*offset) + ")";
    } else {
        field->value += " (not in the file)";
    }
}

std::optional<std::uint64_t> PeDecoder::directoryRva(std::uint64_t index,
                                                     std::uint64_t* size) const {
    if (index >= layout_.directoryCount || layout_.directories[index].first == 0) {
        return std::nullopt;
    }
    if (size != nullptr) {
        *size = layout_.directories[index].second;
    }
    return layout_.directories[index].first;
}

std::string PeDecoder::text(std::uint64_t rva, std::uint64_t places) {
    const std::optional<std::uint64_t> offset = fileOffset(rva);
    const std::optional<std::string> found =
        offset ? d_.text(*offset, kMaxNameLength, places) : std::nullopt;
    return found.value_or("");
}

bool PeDecoder::takeRow() {
    if (rows_ < kMaxRows) {
        ++rows_;
        return true;
    }
    if (!rowsCut_) {
        rowsCut_ = true;
        d_.warn("More than " + decimal(kMaxRows) + " imports and exports; the rest are left out");
    }
    return false;
}

std::vector<std::string> PeDecoder::importedFunctions(std::uint64_t rva, std::uint64_t base) {
    std::vector<std::string> functions;
    const std::uint64_t ordinalFlag = std::uint64_t{1} << (layout_.pointerSize * 8 - 1);
    const std::optional<std::uint64_t> start = fileOffset(rva);
    if (!start) {
        d_.warn("An import name table at RVA " + hex(rva) + " is not in the file");
        return functions;
    }
    const auto next = nameTables_.upper_bound(*start);
    if (next != nameTables_.begin() && std::prev(next)->second > *start) {
        d_.warn("The import name table at RVA " + hex(rva) +
                " is read for an earlier library: its functions are listed there");
        return functions;
    }
    const std::uint64_t limit = next != nameTables_.end() ? next->first : UINT64_MAX;
    std::uint64_t at = *start;
    for (;; at += layout_.pointerSize) {
        if (at >= limit) {
            d_.warn("The import name table at RVA " + hex(rva) +
                    " runs into that of an earlier library");
            break;
        }
        const std::optional<std::uint64_t> thunk = bytes_.number(at, layout_.pointerSize, kLittle);
        if (!thunk) {
            d_.warn("An import name table runs past the end of the file");
            break;
        }
        if (*thunk == 0 || d_.spent() || !takeRow()) {
            break;
        }
        if ((*thunk & ordinalFlag) != 0) {
            functions.push_back(std::string(1, '#') + decimal(*thunk & 0xFFFF));
        } else {
            // Past the two bytes of the hint.
            std::string function = text(((*thunk - base) & 0x7FFFFFFF) + 2);
            if (d_.spent()) {
                break;
            }
            functions.push_back(std::move(function));
        }
    }
    nameTables_[*start] = at;
    return functions;
}

void PeDecoder::readImports() {
    const std::optional<std::uint64_t> rva = directoryRva(kImportEntry);
    if (!rva) {
        return;
    }
    const std::optional<std::uint64_t> start = fileOffset(*rva);
    if (!start) {
        d_.warn("The import directory at RVA " + hex(*rva) + " is not in the file");
        return;
    }
    StructField& directory = d_.add("Import directory", *start, 0);
    for (std::uint64_t at = *start;; at += kImportDescriptorSize) {
        StructField descriptor{"", at, kImportDescriptorSize, {}, std::nullopt, {}};
        if (!readFields(bytes_, at, kImportDescriptor, kLittle, descriptor)) {
            d_.warn("The import directory runs past the end of the file");
            break;
        }
        const std::uint64_t names = numberOf(descriptor, "OriginalFirstThunk").value_or(0);
        const std::uint64_t addresses = numberOf(descriptor, "FirstThunk").value_or(0);
        const std::uint64_t name = numberOf(descriptor, "Name").value_or(0);
        if (names == 0 && addresses == 0 && name == 0) {
            addField(directory, "(end)", at, kImportDescriptorSize);
            break;
        }
        if (d_.spent() || !takeRow()) {
            break;
        }
        // The library's name is shown in its descriptor and in the table of imports.
        std::string library = text(name, 2);
        if (d_.spent()) {
            break;
        }
        ImportInfo import{std::move(library), importedFunctions(names != 0 ? names : addresses, 0),
                          false};
        for (StructField& field : descriptor.fields) {
            if (field.name != "TimeDateStamp" && field.name != "ForwarderChain") {
                showFileOffset(&field);
            }
        }
        descriptor.name = import.library;
        descriptor.value = decimal(import.functions.size()) + " functions";
        directory.fields.push_back(std::move(descriptor));
        d_.report.imports->push_back(std::move(import));
    }
}

void PeDecoder::readDelayImports() {
    const std::optional<std::uint64_t> rva = directoryRva(kDelayImportEntry);
    if (!rva) {
        return;
    }
    const std::optional<std::uint64_t> start = fileOffset(*rva);
    if (!start) {
        d_.warn("The delay-load import directory at RVA " + hex(*rva) + " is not in the file");
        return;
    }
    StructField& directory = d_.add("Delay-load import directory", *start, 0);
    for (std::uint64_t at = *start;; at += kDelayDescriptorSize) {
        StructField descriptor{"", at, kDelayDescriptorSize, {}, std::nullopt, {}};
        if (!readFields(bytes_, at, kDelayDescriptor, kLittle, descriptor)) {
            d_.warn("The delay-load import directory runs past the end of the file");
            break;
        }
        const std::uint64_t name = numberOf(descriptor, "DllNameRVA").value_or(0);
        if (name == 0) {
            addField(directory, "(end)", at, kDelayDescriptorSize);
            break;
        }
        if (d_.spent() || !takeRow()) {
            break;
        }
        // Old descriptors hold addresses, not addresses relative to the image base.
        const std::uint64_t base =
            (numberOf(descriptor, "Attributes").value_or(0) & 1) != 0 ? 0 : layout_.imageBase;
        const std::uint64_t names = numberOf(descriptor, "ImportNameTableRVA").value_or(0);
        std::string library = text((name - base) & 0xFFFFFFFF, 2);
        if (d_.spent()) {
            break;
        }
        ImportInfo import{std::move(library), importedFunctions((names - base) & 0xFFFFFFFF, base),
                          true};
        descriptor.name = import.library;
        descriptor.value = decimal(import.functions.size()) + " functions";
        directory.fields.push_back(std::move(descriptor));
        d_.report.imports->push_back(std::move(import));
    }
}

void PeDecoder::readExports() {
    std::uint64_t size = 0;
    const std::optional<std::uint64_t> rva = directoryRva(kExportEntry, &size);
    if (!rva) {
        return;
    }
    const std::optional<std::uint64_t> start = fileOffset(*rva);
    StructField directory{
        "Export directory", start.value_or(0), kExportDirectorySize, {}, std::nullopt, {}};
    if (!start || !readFields(bytes_, *start, kExportDirectory, kLittle, directory)) {
        d_.warn("The export directory at RVA " + hex(*rva) + " is not in the file");
        return;
    }
    const auto number = [&directory](std::string_view name) {
        return numberOf(directory, name).value_or(0);
    };
    for (StructField& field : directory.fields) {
        if (field.name.starts_with("Address") || field.name == "Name") {
            showFileOffset(&field);
        }
    }
    directory.value = text(number("Name"));
    const std::uint64_t base = number("Base");
    const std::optional<std::uint64_t> functions = fileOffset(number("AddressOfFunctions"));
    const std::optional<std::uint64_t> names = fileOffset(number("AddressOfNames"));
    const std::optional<std::uint64_t> ordinals = fileOffset(number("AddressOfNameOrdinals"));
    std::uint64_t functionCount = number("NumberOfFunctions");
    std::uint64_t nameCount = number("NumberOfNames");
    // Ordinals have 16 bits; every entry of the arrays must lie in the file.
    if (functionCount > kMaxOrdinals) {
        d_.warn("NumberOfFunctions is " + decimal(functionCount) + "; only " +
                decimal(kMaxOrdinals) + " are read");
        functionCount = kMaxOrdinals;
    }
    if (!functions || !bytes_.holds(*functions, functionCount * 4)) {
        d_.warn("The export address table runs past the end of the file");
        functionCount =
            functions && *functions < bytes_.size() ? (bytes_.size() - *functions) / 4 : 0;
    }
    if (!names || !ordinals || !bytes_.holds(*names, nameCount * 4) ||
        !bytes_.holds(*ordinals, nameCount * 2)) {
        d_.warn("The export name tables run past the end of the file");
        nameCount = 0;
    }
    // Names by the index of their function; the map stays as small as the name tables.
    std::multimap<std::uint64_t, std::string> named;
    for (std::uint64_t i = 0; i < nameCount && !d_.spent() && takeRow(); ++i) {
        const std::uint64_t index = bytes_.number(*ordinals + 2 * i, 2, kLittle).value_or(0);
        named.emplace(index, text(bytes_.number(*names + 4 * i, 4, kLittle).value_or(0)));
        if (index >= functionCount) {
            d_.warn("An export name points past the export address table");
        }
    }
    for (std::uint64_t i = 0; i < functionCount && !d_.spent(); ++i) {
        const std::uint64_t address = bytes_.number(*functions + 4 * i, 4, kLittle).value_or(0);
        const auto [first, last] = named.equal_range(i);
        if (address == 0 && first == last) {
            continue;
        }
        if (first == last && !takeRow()) {
            break;
        }
        ExportInfo exported{"", base + i, address, std::nullopt, ""};
        if (address >= *rva && address - *rva < size) {
            // On the row of each name of the function.
            exported.forwarder = text(
                address,
                std::max<std::uint64_t>(1, static_cast<std::uint64_t>(std::distance(first, last))));
        } else {
            exported.offset = fileOffset(address);
        }
        if (first == last) {
            d_.report.exports->push_back(exported);
        }
        for (auto name = first; name != last; ++name) {
            exported.name = name->second;
            d_.report.exports->push_back(exported);
        }
    }
    directory.value +=
        (directory.value.empty() ? "" : ", ") + decimal(d_.report.exports->size()) + " exports";
    d_.top.push_back(std::move(directory));
}

void PeDecoder::readCertificates() {
    if (kSecurityEntry >= layout_.directoryCount ||
        layout_.directories[kSecurityEntry].first == 0) {
        return;
    }
    // This directory's address is an offset in the file.
    const auto [offset, size] = layout_.directories[kSecurityEntry];
    if (!bytes_.holds(offset, size)) {
        d_.warn("The certificate table (" + decimal(size) + " bytes at " + hex(offset) +
                ") reaches past the end of the file");
        return;
    }
    StructField& table = d_.add("Certificate table", offset, size, decimal(size) + " bytes");
    for (std::uint64_t at = offset; at + 8 <= offset + size;) {
        StructField& entry = addField(table, "Certificate", at, 8);
        readFields(bytes_, at, kCertificateHeader, kLittle, entry);
        const std::uint64_t length = numberOf(entry, "dwLength").value_or(0);
        if (length < 8 || length > offset + size - at) {
            d_.warn("A certificate's length (" + decimal(length) + ") does not fit its table");
            break;
        }
        entry.size = length;
        entry.value = renderValue(Render::kName, numberOf(entry, "wCertificateType").value_or(0),
                                  kCertificateTypes);
        at += (length + 7) / 8 * 8;
    }
}

void PeDecoder::addOverlay() {
    const std::uint64_t end =
        std::max(std::min(layout_.headersSize, bytes_.size()), layout_.sectionsEnd);
    if (end == 0 || end >= bytes_.size()) {
        return;
    }
    std::string value = decimal(bytes_.size() - end) + " bytes past the last section";
    const auto [certificates, certificatesSize] = layout_.directories[kSecurityEntry];
    if (kSecurityEntry < layout_.directoryCount && certificatesSize > 0 && certificates >= end) {
        value += ", holding the certificate table";
    }
    d_.add("Overlay", end, bytes_.size() - end, std::move(value));
}

}  // namespace

bool decodePe(Decoding& decoding) {
    Bytes& bytes = decoding.bytes;
    // An MZ header without a PE header (a DOS program, or the stub of something else) is left
    // to the other decoders.
    const std::optional<std::uint64_t> peOffset = bytes.number(kLfanewOffset, 4, kLittle);
    if (!bytes.matches(0, "MZ") || !peOffset ||
        !bytes.matches(*peOffset, std::string_view("PE\0\0", 4))) {
        return false;
    }
    StructField& dos = decoding.add("DOS header", 0, kDosHeaderSize);
    readFields(bytes, 0, kDosHeader, kLittle, dos);
    if (*peOffset > kDosHeaderSize) {
        decoding.add("DOS stub", kDosHeaderSize, *peOffset - kDosHeaderSize,
                     decimal(*peOffset - kDosHeaderSize) + " bytes");
    }
    PeDecoder(decoding).decode(*peOffset);
    return true;
}

std::vector<HeaderField> peSummary(Bytes& sample) {
    StructField dos;
    readFields(sample, 0, kDosHeader, kLittle, dos);
    std::vector<HeaderField> rows;
    if (const StructField* magic = fieldOf(dos, "e_magic")) {
        rows.push_back(summaryRow("e_magic", *magic, "MZ (0x5A4D)"));
    }
    const StructField* lfanew = fieldOf(dos, "e_lfanew");
    if (lfanew == nullptr) {
        return rows;
    }
    rows.push_back(summaryRow("e_lfanew (PE Header Offset)", *lfanew, upperHex(*lfanew->number)));
    // The rows of the PE header only when all of the signature and the first fields are there.
    const std::uint64_t peOffset = *lfanew->number;
    StructField coff;
    if (!sample.holds(peOffset, 24) || !sample.matches(peOffset, std::string_view("PE\0\0", 4)) ||
        !readFields(sample, peOffset, kPeSignature, kLittle, coff) ||
        !readFields(sample, peOffset + 4, std::span(kCoffHeader).first(3), kLittle, coff)) {
        return rows;
    }
    const StructField& machine = coff.fields[1];
    const std::string_view brief = briefOf(kMachines, *machine.number);
    const std::string machineText = brief.empty() ? upperHex(*machine.number) : std::string(brief);
    rows.push_back(summaryRow("Signature", coff.fields[0], R"(PE\0\0)"));
    rows.push_back(summaryRow("Machine Architecture", machine, machineText));
    rows.push_back(summaryRow("NumberOfSections", coff.fields[2], decimal(*coff.fields[2].number)));
    rows.push_back(summaryRow("TimeDateStamp", coff.fields[3], decimal(*coff.fields[3].number)));
    return rows;
}

}  // namespace tessaloom::formats
