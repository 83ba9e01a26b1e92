// The tables of an ELF file beyond its headers: the symbol tables, the notes, the symbol
// versions and the relocation sections. Internal to the engine.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "decoder.h"

namespace tessaloom::formats {

// A section header as the ELF decoder read it, with its name.
struct ElfSection {
    std::string name;
    std::uint64_t type = 0;
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    std::uint64_t link = 0;
    std::uint64_t info = 0;
    std::uint64_t align = 0;
    std::uint64_t address = 0;
};

// Where a PT_NOTE segment's notes lie, for a file without section headers.
struct ElfNoteSegment {
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    std::uint64_t align = 0;
};

struct ElfLayout {
    bool is64 = false;
    ByteOrder order = ByteOrder::kLittle;
};

// Fills in the report's symbol tables, notes, versions and relocations from the sections (or,
// for notes, the segments where there are no sections). A table of more symbols than
// decoding.eagerEntries is left deferred.
void readElfTables(Decoding& decoding, const ElfLayout& layout,
                   std::span<const ElfSection> sections,
                   std::span<const ElfNoteSegment> noteSegments);

// Symbols first to first + count of table (see readSymbols in structure.h).
std::vector<SymbolInfo> readElfSymbols(Bytes& bytes, const StructureReport& report,
                                       const SymbolTableInfo& table, std::uint64_t first,
                                       std::uint64_t count, std::uint64_t& charged);

// The C++ name that a mangled name stands for, as the compiler's runtime demangles it, cut to a
// bounded length; empty when name is not a mangled name.
std::string demangledName(const std::string& name);

}  // namespace tessaloom::formats
