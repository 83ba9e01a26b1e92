// An object the scanner found, as the JSON reports of --scan and --map write it.
#pragma once

#include <string>

#include "engine/scan.h"

namespace tessaloom::cli {

// One JSON object on one line: "offset", "size", "size_exact", "format", "description", "path"
// (the ancestors of a nested hit, outermost first) and "fields".
std::string scanHitJson(const ScanHit& hit);

}  // namespace tessaloom::cli
