// What is inside an image: every embedded object whose header checks out, found in one pass over
// the input, in offset order, with its size and a one-line description.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "byte_source.h"
#include "failure.h"
#include "file_reader.h"
#include "types.h"

namespace tessaloom {

// One of an object's main fields: its name and its value as text, and as a number where it is one.
struct ScanField {
    std::string name;
    std::string text;
    std::optional<std::uint64_t> number;
    bool operator==(const ScanField&) const = default;
};

// An object found: where it starts, how long it is (exactly where its format says so, else up to
// the next object or the end of the input), which format it is and what it holds.
struct ScanHit {
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    bool sizeExact = false;
    std::string format;  // "gzip", "zip", "elf", ...
    std::string description;
    std::vector<ScanField> fields;
    bool operator==(const ScanHit&) const = default;
};

using ScanHitCallback = std::function<void(const ScanHit& hit)>;

struct ScanOptions {
    // Told after each block of the input.
    ProgressCallback progress;
    // A stream is copied aside first, up to this many bytes.
    std::uint64_t streamLimit = kStreamCopyLimit;
};

struct ScanSummary {
    std::uint64_t objects = 0;
    std::uint64_t scanned = 0;  // bytes of input
};

// Hands every object found in source to onHit, in order of offsets, as the scan passes it. The
// failure where source could not be read.
Result<ScanSummary> scanObjects(ByteSource& source, const ScanHitCallback& onHit,
                                const ScanOptions& options = {});

// The same for what reader reads: a seekable input where it lies, a stream once copied aside.
// Throws ReadError where the stream cannot be copied.
Result<ScanSummary> scanObjects(FileReader& reader, const ScanHitCallback& onHit,
                                const ScanOptions& options = {});

// The formats the scanner knows, by the names that ScanHit::format takes.
std::vector<std::string> scanFormats();

}  // namespace tessaloom
