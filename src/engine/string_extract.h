// Extraction of the runs of printable ASCII in a file.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "types.h"

namespace tessaloom {

// Receives one run: the offset of its first byte and its text, a view into the scanned data that
// is valid only as long as that data is.
using StringRunSink = std::function<void(std::uint64_t offset, std::string_view text)>;

// Hands every run of at least minLength printable bytes (0x20 to 0x7E) of data to onRun, in
// order. A minLength of 0 behaves as 1: a byte that is not printable never makes an empty run.
void scanStrings(ByteView data, std::uint64_t minLength, const StringRunSink& onRun);

// Every run that scanStrings finds, copied into records.
std::vector<FoundString> extractStrings(ByteView data, std::uint64_t minLength);

// Loads the file at path and returns every run of at least minLength printable bytes with its
// offset, in file order. An unreadable file gives no runs.
std::vector<FoundString> extractStrings(const std::string& path, std::uint64_t minLength);

}  // namespace tessaloom
