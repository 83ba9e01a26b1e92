// Format detection: names a file's type from its first bytes and lists its main header fields.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "types.h"

namespace tessaloom {

// Classifies length bytes at data (which may be null) as Windows PE, ELF, ZIP, PNG or raw data.
// typeName is overwritten with the type's name; the result holds the format's header rows in
// order. Reads only fixed positions inside the data and never fails.
std::vector<HeaderField> detectFormat(const std::uint8_t* data, std::uint64_t length,
                                      std::string& typeName);

// The same over a span of bytes.
std::vector<HeaderField> detectFormat(ByteView data, std::string& typeName);

}  // namespace tessaloom
