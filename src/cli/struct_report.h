// The reports of the --struct command: text for reading, JSON for scripts.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "engine/structure.h"

namespace tessaloom::cli {

// Reads the fields inside a field whose fields were deferred (StructField::deferred); throws
// ReadError when they cannot be read.
using FieldReader = std::function<std::vector<StructField>(const StructField&)>;

// The tree of fields, then each table the format has, in columns, then the warnings: to sink, a
// piece of whole lines at a time as it is written, so that a report of many rows is never held
// whole.
void writeStructureText(const StructureReport& report, const TextSink& sink,
                        const FieldReader& read = {});

// The same as one JSON document (keys as the manual page lists them), ending with a newline; the
// pieces end between two members or elements.
void writeStructureJson(const StructureReport& report, const TextSink& sink,
                        const FieldReader& read = {});

// The same reports as one text each.
std::string structureText(const StructureReport& report, const FieldReader& read = {});
std::string structureJson(const StructureReport& report, const FieldReader& read = {});

}  // namespace tessaloom::cli
