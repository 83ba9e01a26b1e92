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

namespace scan {
struct Member;
}

// One of an object's main fields: its name and its value as text, and as a number where it is one.
struct ScanField {
    std::string name;
    std::string text;
    std::optional<std::uint64_t> number;
    bool operator==(const ScanField&) const = default;
};

// One ancestor of an object found inside another: the object, at its offset in what its own
// parent decoded or extracted (the input, at the top), its format, and the member's name where
// the object is an archive and the object inside it lies in one of its members.
struct ScanStep {
    std::uint64_t offset = 0;
    std::string format;
    std::string member;  // made safe to show; empty where the parent is a compressed stream
    bool operator==(const ScanStep&) const = default;
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
    // The objects this one lies inside, outermost first; empty at the top, and then offset and
    // size are in the input. Inside, they are in the bytes its parent decoded or extracted.
    std::vector<ScanStep> path;
    bool operator==(const ScanHit&) const = default;
};

using ScanHitCallback = std::function<void(const ScanHit& hit)>;

// How far a deep scan goes: objects nested no deeper than `depth`, and no more decoded than
// `perObject` bytes for one object's payload and `total` for all of them together (each decoding
// counted, the validators' inside too).
struct DeepLimits {
    std::uint64_t perObject = std::uint64_t{64} << 20;
    std::uint64_t total = std::uint64_t{256} << 20;
    std::size_t depth = 8;
};

// The limits that let one object decode to `perObject` bytes, and four times as much in all.
DeepLimits deepLimitsFor(std::uint64_t perObject);

// A limit that a deep scan reached: which ("the limit of 64 MiB per stream", "the depth limit
// of 8"), and inside which object (the path to it, the object last).
struct ScanWarning {
    std::string limit;
    std::vector<ScanStep> where;
};

using ScanWarningCallback = std::function<void(const ScanWarning& warning)>;

// What a scan tells a caller that takes out what it finds, besides the hits: where each one
// lies, and in a deep scan the members of each archive it walks, as it walks them.
struct ScanSources {
    // Each hit, with the source its offset and size are in (the input at the top, a payload or a
    // member's content inside), valid during the call; told just before onHit.
    std::function<void(const ScanHit& hit, ByteSource& within)> hit;
    // Each member of the archive hit that a deep scan walks, with a source of its content, valid
    // during the call, before the scan looks inside it.
    std::function<void(const ScanHit& archive, const scan::Member& member, ByteSource& content)>
        member;
    // The walk of the archive hit stopped before its end, and why (as MembersEnd::stoppedShort).
    std::function<void(const ScanHit& archive, const std::string& why)> stoppedShort;
};

struct ScanOptions {
    // Told after each block of the input.
    ProgressCallback progress;
    // A stream is copied aside first, up to this many bytes.
    std::uint64_t streamLimit = kStreamCopyLimit;
    // Whether the scan goes on inside what decompresses and inside archives' members, within
    // deepLimits, telling warning of each limit it reaches (the limit in all only once).
    bool deep = false;
    DeepLimits deepLimits;
    ScanWarningCallback warning;
    // Told of every hit's source where set (see ScanSources).
    const ScanSources* sources = nullptr;
};

struct ScanSummary {
    std::uint64_t objects = 0;  // those nested inside others too
    std::uint64_t scanned = 0;  // bytes of input
};

// Hands every object found in source to onHit, in order of offsets, as the scan passes it (with a
// deep scan, each object's nested objects right after it). The failure where source could not be
// read.
Result<ScanSummary> scanObjects(ByteSource& source, const ScanHitCallback& onHit,
                                const ScanOptions& options = {});

// The same for what reader reads: a seekable input where it lies, a stream once copied aside.
// Throws ReadError where the stream cannot be copied.
Result<ScanSummary> scanObjects(FileReader& reader, const ScanHitCallback& onHit,
                                const ScanOptions& options = {});

// The formats the scanner knows, by the names that ScanHit::format takes.
std::vector<std::string> scanFormats();

}  // namespace tessaloom
