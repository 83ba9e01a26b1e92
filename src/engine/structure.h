// Structure templates: the layout of a PE, ELF, ZIP or PNG file, field by field, with the offset
// and size of every field's bytes, and the tables that tools such as readelf and pefile show.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "byte_source.h"
#include "file_reader.h"
#include "types.h"

namespace tessaloom {

class FileReader;

// One field of a structure: where its bytes are, what they mean, and the fields inside it. A
// field's bytes hold those of all its fields.
struct StructField {
    std::string name;
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    std::string value;                    // as people read it; may be empty for a group
    std::optional<std::uint64_t> number;  // the raw number, where the field is one
    std::vector<StructField> fields;
    // Not 0 where the fields inside it are not read yet (expandField reads them), so that an
    // archive of many entries costs a row for each of its headers and not their fields; for the
    // decoder, where they are.
    std::uint64_t deferred = 0;

    bool operator==(const StructField&) const = default;
};

// A PE or ELF section. offset and size give its bytes in the file (size 0 for bytes that only
// exist in memory, as in .bss); address and virtualSize its place in memory (for PE the address
// is relative to the image base).
struct SectionInfo {
    std::string name;
    std::string type;  // ELF only: PROGBITS, NOBITS...
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    std::uint64_t address = 0;
    std::uint64_t virtualSize = 0;
    std::uint64_t rawFlags = 0;
    std::string flags;              // ELF: readelf's letters (WAX); PE: the characteristics by name
    std::optional<double> entropy;  // of its bytes in the file, when measured and it has any

    bool operator==(const SectionInfo&) const = default;
};

// An ELF program header.
struct SegmentInfo {
    std::string type;
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    std::uint64_t address = 0;
    std::uint64_t memorySize = 0;
    std::string flags;  // R, W and X, with - for each one not set: "R-X"

    bool operator==(const SegmentInfo&) const = default;
};

// A library that a PE file imports from, and the functions: by name, or "#ordinal".
struct ImportInfo {
    std::string library;
    std::vector<std::string> functions;
    bool delayLoaded = false;

    bool operator==(const ImportInfo&) const = default;
};

// A function that a PE file exports; address is relative to the image base.
struct ExportInfo {
    std::string name;  // empty when exported by ordinal only
    std::uint64_t ordinal = 0;
    std::uint64_t address = 0;
    std::optional<std::uint64_t> offset;  // where address lies in the file
    std::string forwarder;                // "OTHER.Function" when it forwards to another library

    bool operator==(const ExportInfo&) const = default;
};

// A ZIP entry as the central directory and its local header give it.
struct ZipEntryInfo {
    std::string name;
    std::uint64_t offset = 0;  // of its local header
    std::uint64_t compressedSize = 0;
    std::uint64_t size = 0;
    std::string method;
    std::uint32_t crc32 = 0;
    bool dataDescriptor = false;
    std::uint16_t dosDate = 0;  // when it was last modified, as its header holds it
    std::uint16_t dosTime = 0;

    bool operator==(const ZipEntryInfo&) const = default;
};

// A PNG chunk.
struct PngChunkInfo {
    std::string type;
    std::uint64_t offset = 0;  // of its length field
    std::uint32_t length = 0;
    std::optional<bool> crcOk;  // empty when its data was not read (SectionEntropies::kSkipped)

    bool operator==(const PngChunkInfo&) const = default;
};

// An ELF symbol, as readelf -sW lists it.
struct SymbolInfo {
    std::string name;
    std::string demangled;  // the C++ name, where name is a mangled one; empty otherwise
    std::uint64_t value = 0;
    std::uint64_t size = 0;
    std::string type;        // NOTYPE, OBJECT, FUNC...
    std::string bind;        // LOCAL, GLOBAL, WEAK...
    std::string visibility;  // DEFAULT, HIDDEN...
    std::string section;     // the name of its section, or UND, ABS, COM
    std::uint64_t sectionIndex = 0;
    std::string version;  // from the version tables, empty for none
    // name@@version: the version a defined symbol has by default; name@version otherwise.
    bool defaultVersion = false;

    bool operator==(const SymbolInfo&) const = default;
};

// An ELF symbol table: .dynsym ("dynsym") or .symtab ("symtab"). A table of more symbols than
// StructureOptions::eagerEntries holds none here: they are read as they are written
// (readSymbols), so that a library of a million symbols costs the memory of a few.
struct SymbolTableInfo {
    std::string table;
    std::string section;  // the name of its section
    std::uint64_t offset = 0;
    std::uint64_t entrySize = 0;
    std::uint64_t count = 0;
    std::uint64_t stringsOffset = 0;  // its string table, cut to the file
    std::uint64_t stringsSize = 0;
    std::optional<std::uint64_t> versionsOffset;  // its .gnu.version entries, one per symbol
    std::uint64_t versionsCount = 0;
    bool bigEndian = false;
    bool deferred = false;
    std::vector<SymbolInfo> symbols;

    bool operator==(const SymbolTableInfo&) const = default;
};

// An ELF note, as readelf -n shows it.
struct NoteInfo {
    std::string section;  // of its section, or "PT_NOTE" for a segment's notes
    std::uint64_t offset = 0;
    std::string owner;
    std::uint64_t type = 0;
    std::string typeName;  // NT_GNU_BUILD_ID...; "0x..." where the owner's types do not name it
    std::uint64_t descriptionSize = 0;
    std::string description;  // decoded where known (ABI tag, properties), hex bytes otherwise
    std::string buildId;      // the build-id in hexadecimal, for NT_GNU_BUILD_ID

    bool operator==(const NoteInfo&) const = default;
};

// A version that an ELF file defines (.gnu.version_d).
struct VersionDefinitionInfo {
    std::uint64_t offset = 0;  // in its section
    std::uint64_t index = 0;
    std::uint64_t flags = 0;
    std::string name;
    std::vector<std::string> parents;

    bool operator==(const VersionDefinitionInfo&) const = default;
};

// A version of a library that an ELF file needs (.gnu.version_r).
struct VersionNeedInfo {
    struct Version {
        std::uint64_t offset = 0;  // in its section
        std::string name;
        std::uint64_t hash = 0;
        std::uint64_t flags = 0;
        std::uint64_t index = 0;

        bool operator==(const Version&) const = default;
    };
    std::uint64_t offset = 0;  // in its section
    std::string file;
    std::vector<Version> versions;

    bool operator==(const VersionNeedInfo&) const = default;
};

struct VersionsInfo {
    std::vector<VersionDefinitionInfo> definitions;
    std::vector<VersionNeedInfo> requirements;

    bool operator==(const VersionsInfo&) const = default;
};

// An ELF relocation section and how many entries it holds.
struct RelocationInfo {
    std::string section;
    std::string type;  // REL, RELA or RELR
    std::uint64_t offset = 0;
    std::uint64_t count = 0;
    std::string appliesTo;  // the section its sh_info names, where it names one

    bool operator==(const RelocationInfo&) const = default;
};

// A PE file's checksum: as its optional header holds it, and as the loader computes it over the
// bytes of the file (empty where the bytes are not read: SectionEntropies::kSkipped).
struct PeChecksumInfo {
    std::uint64_t offset = 0;  // of the CheckSum field
    std::uint64_t stored = 0;
    std::optional<std::uint64_t> computed;

    bool operator==(const PeChecksumInfo&) const = default;
};

// An entry of a PE file's debug directory; for a CodeView entry, the program database it names.
struct PeDebugInfo {
    std::string type;  // codeview, pogo, repro..., or "unknown 17"
    std::uint64_t typeNumber = 0;
    std::uint64_t timestamp = 0;
    std::uint64_t size = 0;
    std::uint64_t address = 0;   // AddressOfRawData, relative to the image base
    std::uint64_t offset = 0;    // PointerToRawData
    std::string codeViewFormat;  // RSDS or NB10, for a CodeView entry that holds one
    std::string pdbPath;
    std::string guid;  // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}, RSDS only
    std::optional<std::uint64_t> age;

    bool operator==(const PeDebugInfo&) const = default;
};

// A resource: a leaf of the resource tree, under its type, name and language.
struct PeResourceInfo {
    std::string type;                     // RT_ICON..., or the type's name
    std::optional<std::uint64_t> typeId;  // where the type is a number
    std::string name;                     // the name, where it is one
    std::optional<std::uint64_t> nameId;  // where the name is a number
    std::uint64_t language = 0;
    std::uint64_t address = 0;            // of its data, relative to the image base
    std::optional<std::uint64_t> offset;  // where its data lies in the file
    std::uint64_t size = 0;
    std::uint64_t codePage = 0;

    bool operator==(const PeResourceInfo&) const = default;
};

// The version resource: the fixed versions and the strings of its string tables.
struct PeVersionInfo {
    struct Text {
        std::string table;  // the language and code page, as its key has them: 040904B0
        std::string key;
        std::string value;

        bool operator==(const Text&) const = default;
    };
    std::string fileVersion;  // 1.2.3.4; empty without the fixed information
    std::string productVersion;
    std::vector<Text> strings;

    bool operator==(const PeVersionInfo&) const = default;
};

// The Rich header that Microsoft's linker leaves between the DOS stub and the PE header: the
// tools that built the file, each by product, build and how many objects it made.
struct RichHeaderInfo {
    struct Entry {
        std::uint64_t product = 0;
        std::uint64_t build = 0;
        std::uint64_t count = 0;

        bool operator==(const Entry&) const = default;
    };
    std::uint64_t offset = 0;  // of "DanS"
    std::uint64_t size = 0;    // to the end of the key after "Rich"
    std::uint64_t key = 0;
    std::uint64_t computed = 0;  // the checksum of the DOS header, stub and entries
    std::vector<Entry> entries;

    bool operator==(const RichHeaderInfo&) const = default;
};

// The TLS callbacks and the load configuration's main fields of a PE file.
struct PeLoadInfo {
    std::vector<std::uint64_t> tlsCallbacks;  // addresses, as the TLS directory holds them
    std::optional<std::uint64_t> configSize;  // the load configuration's own Size field
    std::optional<std::uint64_t> securityCookie;
    std::optional<std::uint64_t> sehTable;
    std::optional<std::uint64_t> sehCount;
    std::optional<std::uint64_t> guardCheck;
    std::optional<std::uint64_t> guardFunctionTable;
    std::optional<std::uint64_t> guardFunctionCount;
    std::optional<std::uint64_t> guardFlags;

    bool operator==(const PeLoadInfo&) const = default;
};

// A ZIP entry of an archive appended to a PE file, as unzip -l lists it.
struct OverlayEntryInfo {
    std::string name;
    std::uint64_t size = 0;
    std::string date;  // 2024-01-02
    std::string time;  // 13:45

    bool operator==(const OverlayEntryInfo&) const = default;
};

// The format as one word: "PE32+", "PE32", "ELF64", "ELF32", "ZIP", "PNG" or "raw".
struct StructureReport {
    std::string path;
    std::uint64_t size = 0;
    std::string format = "raw";
    std::vector<StructField> fields;
    std::optional<std::string> machine;
    std::optional<std::uint64_t> entryPoint;  // ELF: a virtual address; PE: relative to the base
    std::optional<std::uint64_t> entryPointOffset;  // where the entry point lies in the file
    // A table that the format does not have is empty here; one that it has but that holds
    // nothing is an empty vector.
    std::optional<std::vector<SectionInfo>> sections;
    std::optional<std::vector<SegmentInfo>> segments;
    std::optional<std::vector<ImportInfo>> imports;
    std::optional<std::vector<ExportInfo>> exports;
    std::optional<std::vector<ZipEntryInfo>> entries;
    std::optional<std::vector<PngChunkInfo>> chunks;
    std::optional<std::string> interpreter;
    std::optional<std::vector<std::string>> libraries;
    // ELF: each only when the file has the section.
    std::optional<std::vector<SymbolTableInfo>> symbolTables;
    std::optional<std::vector<NoteInfo>> notes;
    std::optional<VersionsInfo> versions;
    std::optional<std::vector<RelocationInfo>> relocations;
    // PE: each only when the file has it.
    std::optional<PeChecksumInfo> checksum;
    std::optional<std::vector<PeDebugInfo>> debug;
    std::optional<std::vector<PeResourceInfo>> resources;
    std::optional<PeVersionInfo> versionInfo;
    std::optional<std::string> manifest;  // made safe to show, cut to kShownManifest bytes
    std::uint64_t manifestSize = 0;       // of the whole manifest
    std::optional<RichHeaderInfo> richHeader;
    std::optional<PeLoadInfo> loadInfo;
    std::optional<std::vector<OverlayEntryInfo>> overlayArchive;
    // Structure that is not as the format has it: a count or offset that points outside the
    // file, a table cut short, a CRC that does not match. The report goes on around it.
    std::vector<std::string> warnings;

    bool operator==(const StructureReport&) const = default;
};

// The bytes of a manifest that a report shows.
inline constexpr std::uint64_t kShownManifest = 16 << 10;

// Whether the entropy of each section's bytes is measured: one sequential read of the bytes the
// sections cover. Skipped, only the headers are read, so the tree of a file of any size comes at
// once; then the CRCs of PNG chunks are not checked either.
enum class SectionEntropies { kMeasured, kSkipped };

// The entries of an archive whose headers' fields are read at once, by default.
inline constexpr std::uint64_t kEagerEntries = 4096;

struct StructureOptions {
    SectionEntropies entropies = SectionEntropies::kMeasured;
    // Told how far the read for the entropies, or the copy of a stream, has got.
    ProgressCallback progress;
    // A stream longer than this is not described: its copy stops there, with a ReadError of kind
    // kMemory.
    std::uint64_t streamLimit = kStreamCopyLimit;
    // An archive of more entries than this has its headers' fields read when they are asked for
    // (StructField::deferred, expandField), not all at once. A stream is always read whole: its
    // copy is gone once it is described.
    std::uint64_t eagerEntries = kEagerEntries;
};

// The structure of the bytes of source, reported as those of the file at path. Malformed or
// hostile structure becomes warnings; memory and time stay bounded by the source's size whatever
// its headers claim. Throws ReadError when the source cannot be read.
StructureReport describeStructure(ByteSource& source, std::string path,
                                  const StructureOptions& options = {});

// The same for what reader reads: a seekable input is read where its structures are; a stream is
// copied aside to a temporary file first (Spool), up to options.streamLimit bytes, so that it
// gives the same report in bounded memory. An input that cannot be read is described as empty (the
// reader's error says why).
StructureReport describeStructure(FileReader& reader, const StructureOptions& options = {});

// The same for the file at path.
StructureReport describeStructure(const std::string& path, const StructureOptions& options = {});

// The fields inside field, read from source, where report says that field.deferred: as they
// would have been read at once (warnings aside, which the report already holds); none for a field
// that is not deferred. The failure where source cannot be read.
Result<std::vector<StructField>> expandField(ByteSource& source, const StructureReport& report,
                                             const StructField& field);

// Symbols first to first + count of table, read from source, where report says it was deferred:
// as they would have been read at once. charged carries the characters their names took from
// one call to the next, for a table read in order: a hostile table whose symbols all name one
// long name gets names cut short past a budget in proportion to the file. The failure where
// source cannot be read.
Result<std::vector<SymbolInfo>> readSymbols(ByteSource& source, const StructureReport& report,
                                            const SymbolTableInfo& table, std::uint64_t first,
                                            std::uint64_t count, std::uint64_t& charged);

// The fields that hold the byte at offset, from the outermost to the innermost; empty when none
// does. Only the fields around offset are looked into.
std::vector<const StructField*> fieldsAt(const std::vector<StructField>& fields,
                                         std::uint64_t offset);

}  // namespace tessaloom
