// An object the scanner found, as the JSON reports of --scan and --map write it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/scan.h"

namespace tessaloom::cli {

// One JSON object on one line: "offset", "size", "size_exact", "format", "description", "path"
// (the ancestors of a nested hit, outermost first) and "fields".
std::string scanHitJson(const ScanHit& hit);

// "0x00001a00": at least eight hex digits, so that the column lines up below 4 GiB.
std::string paddedHex(std::uint64_t value);

// "0x00001a00 gzip > 0x00000000 tar \"bin/sh\"": the objects a nested hit lies inside.
std::string scanPathText(const std::vector<ScanStep>& path);

// "Warning: --deep stopped at the depth limit of 8 in 0x00000000 gzip > ...": a limit that a deep
// scan reached, as --scan and --carve tell it.
std::string scanWarningLine(const ScanWarning& warning);

}  // namespace tessaloom::cli
