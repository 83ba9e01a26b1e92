// The reports of the --struct command: text for reading, JSON for scripts.
#pragma once

#include <string>

#include "engine/structure.h"

namespace tessaloom::cli {

// The tree of fields, then each table the format has, in columns, then the warnings: to sink, a
// piece of whole lines at a time as it is written, so that a report of many rows is never held
// whole.
void writeStructureText(const StructureReport& report, const TextSink& sink);

// The same as one JSON document (keys as the manual page lists them), ending with a newline; the
// pieces end between two members or elements.
void writeStructureJson(const StructureReport& report, const TextSink& sink);

// The same reports as one text each.
std::string structureText(const StructureReport& report);
std::string structureJson(const StructureReport& report);

}  // namespace tessaloom::cli
