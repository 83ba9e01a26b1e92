// The reports of the --struct command: text for reading, JSON for scripts.
#pragma once

#include <string>

#include "engine/structure.h"

namespace tessaloom::cli {

// The tree of fields, then each table the format has, in columns, then the warnings.
std::string structureText(const StructureReport& report);

// The same as one JSON document (keys as the manual page lists them), ending with a newline.
std::string structureJson(const StructureReport& report);

}  // namespace tessaloom::cli
