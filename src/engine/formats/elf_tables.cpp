// ELF symbol tables, notes, symbol versions and relocation sections, read as readelf -s, -n, -V
// and -r show them. Every count comes from a section's size and is cut to the file; every offset
// into a string table is checked against its size; chains of entries that point at each other
// are followed at most as many steps as their section has room for.
#include "elf_tables.h"

#include <cxxabi.h>
#include <algorithm>
#include <array>
#include <cstdlib>
#include <map>
#include <memory>

namespace tessaloom::formats {

namespace {

enum SectionType : std::uint64_t {
    kRela = 4,
    kNote = 7,
    kRel = 9,
    kSymtab = 2,
    kDynsym = 11,
    kRelr = 19,
    kVerdef = 0x6FFFFFFD,
    kVerneed = 0x6FFFFFFE,
    kVersym = 0x6FFFFFFF,
};

constexpr std::uint64_t kUndefined = 0;
constexpr std::uint64_t kLoReserve = 0xFF00;
constexpr std::uint64_t kAbsolute = 0xFFF1;
constexpr std::uint64_t kCommon = 0xFFF2;
constexpr std::uint64_t kHiddenVersion = 0x8000;
constexpr std::size_t kMaxDemangledLength = 4 * kMaxNameLength;
// A note's description is decoded or shown in hexadecimal up to this many bytes.
constexpr std::uint64_t kShownDescription = 256;

constexpr NamedValue kSymbolTypes[] = {
    {0, "NOTYPE"}, {1, "OBJECT"}, {2, "FUNC"}, {3, "SECTION"},
    {4, "FILE"},   {5, "COMMON"}, {6, "TLS"},  {10, "IFUNC"},
};
constexpr NamedValue kSymbolBindings[] = {{0, "LOCAL"}, {1, "GLOBAL"}, {2, "WEAK"}, {10, "UNIQUE"}};
constexpr NamedValue kVisibilities[] = {
    {0, "DEFAULT"}, {1, "INTERNAL"}, {2, "HIDDEN"}, {3, "PROTECTED"}};
constexpr NamedValue kSpecialSections[] = {
    {kUndefined, "UND"}, {kAbsolute, "ABS"}, {kCommon, "COM"}};
constexpr NamedValue kRelocationTypes[] = {{kRel, "REL"}, {kRela, "RELA"}, {kRelr, "RELR"}};

constexpr NamedValue kGnuNoteTypes[] = {
    {1, "NT_GNU_ABI_TAG"},      {2, "NT_GNU_HWCAP"},           {3, "NT_GNU_BUILD_ID"},
    {4, "NT_GNU_GOLD_VERSION"}, {5, "NT_GNU_PROPERTY_TYPE_0"},
};
constexpr NamedValue kCoreNoteTypes[] = {
    {1, "NT_PRSTATUS"}, {2, "NT_FPREGSET"},      {3, "NT_PRPSINFO"},         {4, "NT_TASKSTRUCT"},
    {6, "NT_AUXV"},     {0x46494c45, "NT_FILE"}, {0x53494749, "NT_SIGINFO"},
};
constexpr NamedValue kStapsdtNoteTypes[] = {{3, "NT_STAPSDT"}};
constexpr NamedValue kOtherNoteTypes[] = {{0xCAFE1A7E, "FDO_PACKAGING_METADATA"},
                                          {0x407c0c0a, "FDO_DLOPEN_METADATA"}};
constexpr NamedValue kAbiTagSystems[] = {{0, "Linux"},   {1, "Hurd"},   {2, "Solaris"},
                                         {3, "FreeBSD"}, {4, "NetBSD"}, {5, "Syllable"}};

// The note types that an owner names.
struct NoteOwner {
    std::string_view owner;
    std::span<const NamedValue> types;
};
constexpr NoteOwner kNoteOwners[] = {
    {"GNU", kGnuNoteTypes},   {"CORE", kCoreNoteTypes},       {"LINUX", kCoreNoteTypes},
    {"FDO", kOtherNoteTypes}, {"stapsdt", kStapsdtNoteTypes},
};

constexpr std::uint64_t kGnuAbiTag = 1;
constexpr std::uint64_t kGnuBuildId = 3;
constexpr std::uint64_t kGnuGoldVersion = 4;
constexpr std::uint64_t kGnuProperty = 5;
constexpr std::uint64_t kFdoPackaging = 0xCAFE1A7E;

constexpr NamedValue kX86Features[] = {{1, "IBT"}, {2, "SHSTK"}, {4, "LAM_U48"}, {8, "LAM_U57"}};
constexpr NamedValue kX86Isa[] = {
    {1, "x86-64-baseline"}, {2, "x86-64-v2"}, {4, "x86-64-v3"}, {8, "x86-64-v4"}};
constexpr NamedValue kX86FeaturesUsed[] = {
    {0x1, "x86"},        {0x2, "x87"},      {0x4, "MMX"},   {0x8, "XMM"},
    {0x10, "YMM"},       {0x20, "ZMM"},     {0x40, "FXSR"}, {0x80, "XSAVE"},
    {0x100, "XSAVEOPT"}, {0x200, "XSAVEC"}, {0x400, "TMM"}, {0x800, "MASK"},
};
constexpr NamedValue kAarch64Features[] = {{1, "BTI"}, {2, "PAC"}, {4, "GCS"}};
constexpr NamedValue kNeeded1[] = {{1, "indirect external access"}};

// A GNU property whose data is a bit mask, and the names of its bits.
struct PropertyKind {
    std::uint64_t type;
    std::string_view label;
    std::span<const NamedValue> bits;
};
constexpr PropertyKind kPropertyKinds[] = {
    {0xC0000002, "x86 feature", kX86Features},
    {0xC0008002, "x86 ISA needed", kX86Isa},
    {0xC0010002, "x86 ISA used", kX86Isa},
    {0xC0010001, "x86 feature used", kX86FeaturesUsed},
    {0xC0000000, "AArch64 feature", kAarch64Features},
    {0xB0008000, "1_needed", kNeeded1},
};
constexpr std::uint64_t kPropertyStackSize = 1;
constexpr std::uint64_t kPropertyNoCopyOnProtected = 2;

constexpr NamedValue kVersionFlags[] = {{1, "BASE"}, {2, "WEAK"}, {4, "INFO"}};

std::uint64_t numberAt(std::span<const std::uint8_t> bytes, std::size_t at, std::size_t width,
                       ByteOrder order) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i) {
        const std::uint8_t byte = bytes[order == ByteOrder::kLittle ? at + width - 1 - i : at + i];
        value = (value << 8) | byte;
    }
    return value;
}

std::string hexBytes(std::span<const std::uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (const std::uint8_t byte : bytes) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 15];
    }
    return text;
}

// The names of a mask's bits, joined by ", "; bits with no name in hexadecimal.
std::string bitNames(std::span<const NamedValue> table, std::uint64_t mask) {
    if (mask == 0) {
        return "<None>";
    }
    std::string text;
    for (std::uint64_t bit = 1; bit != 0; bit <<= 1) {
        if ((mask & bit) == 0) {
            continue;
        }
        const std::string_view name = nameOf(table, bit);
        text += (text.empty() ? "" : ", ") + (name.empty() ? hex(bit) : std::string(name));
    }
    return text;
}

// A string of a string table at offset of the table; none when it lies outside the table.
std::optional<std::string> tableString(Bytes& bytes, std::uint64_t tableOffset,
                                       std::uint64_t tableSize, std::uint64_t offset) {
    if (offset >= tableSize) {
        return std::nullopt;
    }
    return bytes.cString(tableOffset + offset, static_cast<std::size_t>(std::min<std::uint64_t>(
                                                   kMaxNameLength, tableSize - offset)));
}

// A version's name in the string table strings (offset and size), as readelf shows it: "<corrupt>"
// outside the table, kNoName where there is no table.
std::string versionName(Bytes& bytes,
                        const std::optional<std::pair<std::uint64_t, std::uint64_t>>& strings,
                        std::uint64_t offset) {
    if (!strings) {
        return std::string(kNoName);
    }
    return tableString(bytes, strings->first, strings->second, offset).value_or("<corrupt>");
}

// The bytes of a section that lie inside the file.
std::uint64_t sizeInFile(const Bytes& bytes, const ElfSection& section) {
    return section.offset < bytes.size() ? std::min(section.size, bytes.size() - section.offset)
                                         : 0;
}

class TableReader {
  public:
    TableReader(Decoding& decoding, const ElfLayout& layout, std::span<const ElfSection> sections)
        : d_(decoding), bytes_(decoding.bytes), layout_(layout), sections_(sections) {}

    void read(std::span<const ElfNoteSegment> noteSegments);

  private:
    const ElfSection* first(std::uint64_t type, std::string_view what);
    // The string table a section links to, cut to the file; none when the link is no section.
    std::optional<std::pair<std::uint64_t, std::uint64_t>> linkedStrings(const ElfSection& section);
    void readSymbolTable(const ElfSection& section, std::string table, const ElfSection* versym);
    void readNotes(const std::string& where, std::uint64_t offset, std::uint64_t size,
                   std::uint64_t align);
    std::string describeNote(const std::string& owner, std::uint64_t type,
                             std::span<const std::uint8_t> description);
    std::string properties(std::span<const std::uint8_t> data);
    void readDefinitions(const ElfSection& section);
    void readNeeds(const ElfSection& section);
    void readRelocations();

    Decoding& d_;
    Bytes& bytes_;
    ElfLayout layout_;
    std::span<const ElfSection> sections_;
    std::uint64_t notes_ = 0;
};

const ElfSection* TableReader::first(std::uint64_t type, std::string_view what) {
    const ElfSection* found = nullptr;
    for (const ElfSection& section : sections_) {
        if (section.type != type) {
            continue;
        }
        if (found != nullptr) {
            d_.warn("Only the first " + std::string(what) + " section (" + found->name +
                    ") is read");
            break;
        }
        found = &section;
    }
    return found;
}

std::optional<std::pair<std::uint64_t, std::uint64_t>> TableReader::linkedStrings(
    const ElfSection& section) {
    if (section.link >= sections_.size()) {
        d_.warn("Section " + section.name + " links to " + decimal(section.link) +
                ", which is no section");
        return std::nullopt;
    }
    const ElfSection& strings = sections_[section.link];
    return std::pair(strings.offset, sizeInFile(bytes_, strings));
}

void TableReader::read(std::span<const ElfNoteSegment> noteSegments) {
    // The versions first: the symbols name theirs.
    const ElfSection* verdef = first(kVerdef, "version definition");
    const ElfSection* verneed = first(kVerneed, "version needs");
    if (verdef != nullptr || verneed != nullptr) {
        d_.report.versions.emplace();
        if (verdef != nullptr) {
            readDefinitions(*verdef);
        }
        if (verneed != nullptr) {
            readNeeds(*verneed);
        }
    }
    const ElfSection* versym = first(kVersym, "symbol version");
    const ElfSection* dynsym = first(kDynsym, "dynamic symbol table");
    const ElfSection* symtab = first(kSymtab, "symbol table");
    if (dynsym != nullptr || symtab != nullptr) {
        d_.report.symbolTables.emplace();
        if (dynsym != nullptr) {
            readSymbolTable(*dynsym, "dynsym", versym);
        }
        if (symtab != nullptr) {
            readSymbolTable(*symtab, "symtab", nullptr);
        }
    }
    bool noteSections = false;
    for (const ElfSection& section : sections_) {
        if (section.type == kNote) {
            noteSections = true;
            readNotes(section.name, section.offset, sizeInFile(bytes_, section), section.align);
        }
    }
    if (!noteSections) {
        for (const ElfNoteSegment& segment : noteSegments) {
            const std::uint64_t size = segment.offset < bytes_.size()
                                           ? std::min(segment.size, bytes_.size() - segment.offset)
                                           : 0;
            readNotes("PT_NOTE", segment.offset, size, segment.align);
        }
    }
    readRelocations();
}

void TableReader::readSymbolTable(const ElfSection& section, std::string table,
                                  const ElfSection* versym) {
    SymbolTableInfo info;
    info.table = std::move(table);
    info.section = section.name;
    info.offset = section.offset;
    info.entrySize = layout_.is64 ? 24 : 16;
    info.bigEndian = layout_.order == ByteOrder::kBig;
    const std::uint64_t inFile = sizeInFile(bytes_, section);
    if (inFile < section.size) {
        d_.warn("Symbol table " + section.name + " reaches past the end of the file");
    }
    info.count = inFile / info.entrySize;
    if (const auto strings = linkedStrings(section)) {
        info.stringsOffset = strings->first;
        info.stringsSize = strings->second;
    }
    if (versym != nullptr && versym->link < sections_.size() &&
        &sections_[versym->link] == &section) {
        info.versionsOffset = versym->offset;
        info.versionsCount = sizeInFile(bytes_, *versym) / 2;
    }
    info.deferred = info.count > d_.eagerEntries;
    if (!info.deferred) {
        std::uint64_t charged = 0;
        info.symbols = readElfSymbols(bytes_, d_.report, info, 0, info.count, charged);
        if (charged > kNameCharactersPerByte * (info.stringsSize + inFile) + kNameAllowance) {
            d_.warn("The names of symbol table " + section.name +
                    " are more than the file holds; those past the budget are left out");
        }
    }
    d_.report.symbolTables->push_back(std::move(info));
}

void TableReader::readNotes(const std::string& where, std::uint64_t offset, std::uint64_t size,
                            std::uint64_t align) {
    if (!d_.report.notes) {
        d_.report.notes.emplace();
    }
    // Notes in sections aligned to 8 pad their names and descriptions to 8 bytes.
    const std::uint64_t padding = align == 8 ? 8 : 4;
    const auto padded = [padding](std::uint64_t length) {
        return length + (padding - length % padding) % padding;
    };
    std::uint64_t at = 0;
    while (size - at >= 12) {
        if (notes_ == kMaxRows) {
            d_.warn("Only the first " + decimal(kMaxRows) + " notes are read");
            ++notes_;
        }
        if (notes_ > kMaxRows) {
            return;
        }
        std::array<std::uint8_t, 12> header{};
        if (!bytes_.read(offset + at, header)) {
            return;
        }
        const std::uint64_t nameSize = numberAt(header, 0, 4, layout_.order);
        const std::uint64_t descriptionSize = numberAt(header, 4, 4, layout_.order);
        const std::uint64_t type = numberAt(header, 8, 4, layout_.order);
        const std::uint64_t left = size - at - 12;
        // The last description may go without its padding.
        if (nameSize > left || descriptionSize > left - std::min(left, padded(nameSize))) {
            d_.warn("A note in " + where + " at " + hex(offset + at) +
                    " is larger than its section");
            return;
        }
        NoteInfo note;
        note.section = where;
        note.offset = offset + at;
        note.owner = bytes_
                         .cString(offset + at + 12,
                                  static_cast<std::size_t>(std::min(nameSize, kMaxNameLength)))
                         .value_or("");
        if (nameSize == 0) {
            note.owner.clear();
        }
        note.type = type;
        note.descriptionSize = descriptionSize;
        std::span<const NamedValue> types;
        for (const NoteOwner& owner : kNoteOwners) {
            if (owner.owner == note.owner) {
                types = owner.types;
            }
        }
        const std::string_view typeName = nameOf(types, type);
        note.typeName = typeName.empty() ? hex(type) : std::string(typeName);
        ByteBuffer description(
            static_cast<std::size_t>(std::min(descriptionSize, kShownDescription)));
        const std::uint64_t descriptionAt = offset + at + 12 + padded(nameSize);
        if (!bytes_.read(descriptionAt, description)) {
            return;
        }
        if (note.owner == "GNU" && type == kGnuBuildId) {
            note.buildId = hexBytes(description);
        }
        note.description = describeNote(note.owner, type, description);
        if (descriptionSize > kShownDescription) {
            note.description += " ...";
        }
        d_.report.notes->push_back(std::move(note));
        ++notes_;
        const std::uint64_t taken = padded(nameSize) + padded(descriptionSize);
        at = taken >= left ? size : at + 12 + taken;
    }
}

std::string TableReader::describeNote(const std::string& owner, std::uint64_t type,
                                      std::span<const std::uint8_t> description) {
    if (owner == "GNU" && type == kGnuBuildId) {
        return "Build ID: " + hexBytes(description);
    }
    if (owner == "GNU" && type == kGnuAbiTag && description.size() >= 16) {
        const auto word = [&](std::size_t i) {
            return numberAt(description, 4 * i, 4, layout_.order);
        };
        const std::string_view system = nameOf(kAbiTagSystems, word(0));
        return "OS: " + (system.empty() ? "<unknown: " + hex(word(0)) + ">" : std::string(system)) +
               ", ABI: " + decimal(word(1)) + "." + decimal(word(2)) + "." + decimal(word(3));
    }
    if (owner == "GNU" && type == kGnuProperty) {
        return properties(description);
    }
    if ((owner == "GNU" && type == kGnuGoldVersion) || (owner == "FDO" && type == kFdoPackaging)) {
        return safeText(
            ByteView(description.data(),
                     static_cast<std::size_t>(std::ranges::find(description, std::uint8_t{0}) -
                                              description.begin())));
    }
    return hexBytes(description);
}

std::string TableReader::properties(std::span<const std::uint8_t> data) {
    const std::size_t padding = layout_.is64 ? 8 : 4;
    std::string text;
    std::size_t at = 0;
    while (data.size() - at >= 8) {
        const std::uint64_t type = numberAt(data, at, 4, layout_.order);
        const std::uint64_t size = numberAt(data, at + 4, 4, layout_.order);
        at += 8;
        if (size > data.size() - at) {
            text += (text.empty() ? "" : "; ") + std::string("<corrupt length: ") + hex(size) + ">";
            break;
        }
        const auto value = data.subspan(at, static_cast<std::size_t>(size));
        std::string property;
        const auto kind = std::ranges::find(kPropertyKinds, type, &PropertyKind::type);
        if (kind != std::end(kPropertyKinds) && size == 4) {
            property = std::string(kind->label) + ": " +
                       bitNames(kind->bits, numberAt(value, 0, 4, layout_.order));
        } else if (type == kPropertyStackSize && (size == 4 || size == 8)) {
            property = "stack size: " + hex(numberAt(value, 0, value.size(), layout_.order));
        } else if (type == kPropertyNoCopyOnProtected && size == 0) {
            property = "no copy on protected";
        } else {
            property = "<unknown type " + hex(type) + ": " + hexBytes(value) + ">";
        }
        text += (text.empty() ? "" : "; ") + property;
        at += static_cast<std::size_t>(size);
        at += std::min(data.size() - at, (padding - at % padding) % padding);
    }
    return text;
}

void TableReader::readDefinitions(const ElfSection& section) {
    const std::uint64_t size = sizeInFile(bytes_, section);
    const auto strings = linkedStrings(section);
    // An entry takes 20 bytes and a name 8: no honest chain takes more steps.
    const std::uint64_t maxSteps = size / 8 + 1;
    std::uint64_t steps = 0;
    std::uint64_t at = 0;
    const auto name = [&](std::uint64_t offset) { return versionName(bytes_, strings, offset); };
    for (std::uint64_t i = 0; i < section.info; ++i) {
        std::array<std::uint8_t, 20> entry{};
        if (++steps > maxSteps || at > size || size - at < entry.size() ||
            !bytes_.read(section.offset + at, entry)) {
            d_.warn("The version definitions of " + section.name + " stop at " + hex(at) +
                    (steps > maxSteps ? ": their chain loops" : ": past the section's end"));
            return;
        }
        VersionDefinitionInfo definition;
        definition.offset = at;
        definition.flags = numberAt(entry, 2, 2, layout_.order);
        definition.index = numberAt(entry, 4, 2, layout_.order);
        const std::uint64_t names = numberAt(entry, 6, 2, layout_.order);
        std::uint64_t aux = at + numberAt(entry, 12, 4, layout_.order);
        for (std::uint64_t j = 0; j < names; ++j) {
            std::array<std::uint8_t, 8> entryName{};
            if (++steps > maxSteps || aux > size || size - aux < entryName.size() ||
                !bytes_.read(section.offset + aux, entryName)) {
                d_.warn("The names of version " + decimal(definition.index) + " in " +
                        section.name +
                        (steps > maxSteps ? " loop" : " reach past the section's end"));
                break;
            }
            std::string text = name(numberAt(entryName, 0, 4, layout_.order));
            if (j == 0) {
                definition.name = std::move(text);
            } else {
                definition.parents.push_back(std::move(text));
            }
            const std::uint64_t next = numberAt(entryName, 4, 4, layout_.order);
            if (next == 0) {
                break;
            }
            aux += next;
        }
        d_.report.versions->definitions.push_back(std::move(definition));
        const std::uint64_t next = numberAt(entry, 16, 4, layout_.order);
        if (next == 0) {
            break;
        }
        at += next;
    }
}

void TableReader::readNeeds(const ElfSection& section) {
    const std::uint64_t size = sizeInFile(bytes_, section);
    const auto strings = linkedStrings(section);
    // Entries and their versions take 16 bytes each.
    const std::uint64_t maxSteps = size / 16 + 1;
    std::uint64_t steps = 0;
    std::uint64_t at = 0;
    const auto name = [&](std::uint64_t offset) { return versionName(bytes_, strings, offset); };
    for (std::uint64_t i = 0; i < section.info; ++i) {
        std::array<std::uint8_t, 16> entry{};
        if (++steps > maxSteps || at > size || size - at < entry.size() ||
            !bytes_.read(section.offset + at, entry)) {
            d_.warn("The version needs of " + section.name + " stop at " + hex(at) +
                    (steps > maxSteps ? ": their chain loops" : ": past the section's end"));
            return;
        }
        VersionNeedInfo need;
        need.offset = at;
        const std::uint64_t versions = numberAt(entry, 2, 2, layout_.order);
        need.file = name(numberAt(entry, 4, 4, layout_.order));
        std::uint64_t aux = at + numberAt(entry, 8, 4, layout_.order);
        for (std::uint64_t j = 0; j < versions; ++j) {
            std::array<std::uint8_t, 16> version{};
            if (++steps > maxSteps || aux > size || size - aux < version.size() ||
                !bytes_.read(section.offset + aux, version)) {
                d_.warn("The versions needed of " + need.file + " in " + section.name +
                        (steps > maxSteps ? " loop" : " reach past the section's end"));
                break;
            }
            need.versions.push_back({aux, name(numberAt(version, 8, 4, layout_.order)),
                                     numberAt(version, 0, 4, layout_.order),
                                     numberAt(version, 4, 2, layout_.order),
                                     numberAt(version, 6, 2, layout_.order)});
            const std::uint64_t next = numberAt(version, 12, 4, layout_.order);
            if (next == 0) {
                break;
            }
            aux += next;
        }
        d_.report.versions->requirements.push_back(std::move(need));
        const std::uint64_t next = numberAt(entry, 12, 4, layout_.order);
        if (next == 0) {
            break;
        }
        at += next;
    }
}

void TableReader::readRelocations() {
    for (const ElfSection& section : sections_) {
        const std::string_view type = nameOf(kRelocationTypes, section.type);
        if (type.empty()) {
            continue;
        }
        if (!d_.report.relocations) {
            d_.report.relocations.emplace();
        }
        const std::uint64_t width = layout_.is64 ? 8 : 4;
        const std::uint64_t entrySize = section.type == kRel    ? 2 * width
                                        : section.type == kRela ? 3 * width
                                                                : width;
        RelocationInfo info{
            section.name, std::string(type), section.offset, section.size / entrySize, {}};
        if (section.info != 0 && section.info < sections_.size()) {
            info.appliesTo = sections_[section.info].name;
        }
        d_.report.relocations->push_back(std::move(info));
    }
}

// The names of the versions by their index, and whether each is one the file defines.
std::map<std::uint64_t, std::pair<std::string, bool>> versionNames(const StructureReport& report) {
    std::map<std::uint64_t, std::pair<std::string, bool>> names;
    if (!report.versions) {
        return names;
    }
    for (const VersionNeedInfo& need : report.versions->requirements) {
        for (const VersionNeedInfo::Version& version : need.versions) {
            names.try_emplace(version.index, version.name, false);
        }
    }
    for (const VersionDefinitionInfo& definition : report.versions->definitions) {
        names.insert_or_assign(definition.index, std::pair(definition.name, true));
    }
    return names;
}

}  // namespace

std::string demangledName(const std::string& name) {
    if (!name.starts_with("_Z") || name.size() > kMaxNameLength) {
        return {};
    }
    int status = 0;
    const std::unique_ptr<char, decltype(&std::free)> text(
        abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status), &std::free);
    if (status != 0 || text == nullptr) {
        return {};
    }
    std::string demangled(text.get());
    if (demangled.size() > kMaxDemangledLength) {
        demangled.resize(kMaxDemangledLength);
        demangled += "...";
    }
    return safeText(
        ByteView(reinterpret_cast<const std::uint8_t*>(demangled.data()), demangled.size()));
}

std::vector<SymbolInfo> readElfSymbols(Bytes& bytes, const StructureReport& report,
                                       const SymbolTableInfo& table, std::uint64_t first,
                                       std::uint64_t count, std::uint64_t& charged) {
    std::vector<SymbolInfo> symbols;
    if (first >= table.count) {
        return symbols;
    }
    count = std::min(count, table.count - first);
    const bool is64 = table.entrySize == 24;
    const ByteOrder order = table.bigEndian ? ByteOrder::kBig : ByteOrder::kLittle;
    const std::uint64_t budget =
        kNameCharactersPerByte * (table.stringsSize + table.count * table.entrySize) +
        kNameAllowance;
    const auto versions = versionNames(report);
    const std::size_t sectionCount = report.sections ? report.sections->size() : 0;
    symbols.reserve(static_cast<std::size_t>(count));
    std::array<std::uint8_t, 24> entry{};
    const std::span<std::uint8_t> bytesOfEntry =
        std::span(entry).first(static_cast<std::size_t>(table.entrySize));
    for (std::uint64_t i = first; i < first + count; ++i) {
        if (!bytes.read(table.offset + i * table.entrySize, bytesOfEntry)) {
            break;
        }
        SymbolInfo symbol;
        const std::uint64_t name = numberAt(entry, 0, 4, order);
        const std::uint64_t info = numberAt(entry, is64 ? 4 : 12, 1, order);
        const std::uint64_t other = numberAt(entry, is64 ? 5 : 13, 1, order);
        symbol.sectionIndex = numberAt(entry, is64 ? 6 : 14, 2, order);
        symbol.value = numberAt(entry, is64 ? 8 : 4, is64 ? 8 : 4, order);
        symbol.size = numberAt(entry, is64 ? 16 : 8, is64 ? 8 : 4, order);
        symbol.type = renderValue(Render::kName, info & 15, kSymbolTypes);
        symbol.bind = renderValue(Render::kName, info >> 4, kSymbolBindings);
        symbol.visibility = std::string(nameOf(kVisibilities, other & 3));
        const std::string_view special = nameOf(kSpecialSections, symbol.sectionIndex);
        if (!special.empty()) {
            symbol.section = std::string(special);
        } else if (symbol.sectionIndex < sectionCount && symbol.sectionIndex < kLoReserve) {
            symbol.section = (*report.sections)[static_cast<std::size_t>(symbol.sectionIndex)].name;
        } else {
            symbol.section = hex(symbol.sectionIndex);
        }
        if (charged <= budget) {
            symbol.name = tableString(bytes, table.stringsOffset, table.stringsSize, name)
                              .value_or("<corrupt>");
            symbol.demangled = demangledName(symbol.name);
        }
        if (table.versionsOffset && i < table.versionsCount) {
            std::array<std::uint8_t, 2> version{};
            if (bytes.read(*table.versionsOffset + 2 * i, version)) {
                const std::uint64_t index = numberAt(version, 0, 2, order);
                const auto known = versions.find(index & ~kHiddenVersion);
                if (known != versions.end() && (index & ~kHiddenVersion) > 1 && charged <= budget) {
                    symbol.version = known->second.first;
                    symbol.defaultVersion = known->second.second && (index & kHiddenVersion) == 0 &&
                                            symbol.sectionIndex != kUndefined;
                }
            }
        }
        charged += symbol.name.size() + symbol.demangled.size() + symbol.version.size();
        symbols.push_back(std::move(symbol));
    }
    return symbols;
}

void readElfTables(Decoding& decoding, const ElfLayout& layout,
                   std::span<const ElfSection> sections,
                   std::span<const ElfNoteSegment> noteSegments) {
    TableReader(decoding, layout, sections).read(noteSegments);
}

}  // namespace tessaloom::formats
