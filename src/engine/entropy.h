// Shannon entropy and the structural analysis of one file.
#pragma once

#include <cstdint>
#include <string>

#include "types.h"

namespace tessaloom {

// Shannon entropy of length bytes at data, in bits per byte (0 to 8); 0 for null or no bytes.
double computeEntropy(const std::uint8_t* data, std::uint64_t length);

// The analysis of data as the content of the file at path: the report names path but reads
// nothing from it.
AnalysisReport analyzeBytes(std::string path, ByteView data);

// Loads the file at path and reports its size, entropy, type, header rows and the entropy of
// each 1024-byte block. An unreadable file is analysed as an empty one.
AnalysisReport analyzeFile(const std::string& path);

}  // namespace tessaloom
