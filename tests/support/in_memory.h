// The engine's operations over bytes held in memory, each giving its whole answer at once. The
// library offers the incremental cores and the reader and path entry points that programs use;
// tests, fuzzers and benchmarks check those against these, which feed the same cores one span.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/engine.h"

namespace tessaloom {

// Formats the dump of up to length bytes of data from offset on and hands it to sink in blocks.
void writeHexDump(ByteView data, std::uint64_t offset, std::uint64_t length, const TextSink& sink);

// The dump of data as one string.
std::string hexDump(ByteView data, std::uint64_t offset, std::uint64_t length);

// Receives one run: the offset of its first byte and its text, a view into the scanned data.
using StringRunSink = std::function<void(std::uint64_t offset, std::string_view text)>;

// Hands every run of at least minLength printable bytes (0x20 to 0x7E) of data to onRun, in
// order. A minLength of 0 behaves as 1.
void scanStrings(ByteView data, std::uint64_t minLength, const StringRunSink& onRun);

// Every run that scanStrings finds, copied into records.
std::vector<FoundString> extractStrings(ByteView data, std::uint64_t minLength);

// The offsets at which a and b differ, as diffFiles lists them.
std::vector<DiffEntry> diffBytes(ByteView a, ByteView b, std::uint64_t limit);

// The analysis of data as the content of the file at path, which is not read.
AnalysisReport analyzeBytes(std::string path, ByteView data);

// Every offset at which pattern occurs in data, overlapping occurrences included, in ascending
// order. Empty for an empty pattern or one longer than data.
std::vector<std::uint64_t> findPatternOffsets(ByteView data, ByteView pattern);

}  // namespace tessaloom
