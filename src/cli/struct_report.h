// The reports of the --struct command: text for reading, JSON for scripts.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/structure.h"

namespace tessaloom::cli {

// Reads the fields inside a field whose fields were deferred (StructField::deferred); throws
// ReadError when they cannot be read.
using FieldReader = std::function<std::vector<StructField>(const StructField&)>;

// Reads up to count symbols from first of a symbol table that was deferred
// (SymbolTableInfo::deferred), carrying charged from one call to the next as readSymbols does;
// throws ReadError when they cannot be read.
using SymbolReader = std::function<std::vector<SymbolInfo>(
    const SymbolTableInfo&, std::uint64_t first, std::uint64_t count, std::uint64_t& charged)>;

// The tree of fields, then each table the format has, in columns (an ELF file's symbols, notes,
// versions and relocations after the others), then the warnings: to sink, a
// piece of whole lines at a time as it is written, so that a report of many rows is never held
// whole.
void writeStructureText(const StructureReport& report, const TextSink& sink,
                        const FieldReader& read = {}, const SymbolReader& symbols = {});

// The same as one JSON document (keys as the manual page lists them), ending with a newline; the
// pieces end between two members or elements.
void writeStructureJson(const StructureReport& report, const TextSink& sink,
                        const FieldReader& read = {}, const SymbolReader& symbols = {});

// The same reports as one text each.
std::string structureText(const StructureReport& report, const FieldReader& read = {},
                          const SymbolReader& symbols = {});
std::string structureJson(const StructureReport& report, const FieldReader& read = {},
                          const SymbolReader& symbols = {});

}  // namespace tessaloom::cli
