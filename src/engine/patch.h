// Pattern search over a file, and application of a list of single-byte patches.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "failure.h"
#include "types.h"

namespace tessaloom {

class FileReader;
class OutputFile;

// Every offset at which pattern occurs in the input that reader reads, a chunk at a time, to its
// end, overlapping occurrences included, in ascending order. Empty for an empty pattern, one
// longer than the input, or an unreadable input.
std::vector<std::uint64_t> findPatternOffsets(FileReader& reader, ByteView pattern);

// The same for the file at path.
std::vector<std::uint64_t> findPatternOffsets(const std::string& path, ByteView pattern);

struct PatchList;

// A patch list in order of offsets, the last record for an offset deciding it, so that the
// patches that fall into any stretch of the data are found at once. Of each record only offset
// and byteB count.
class PatchPlan {
  public:
    explicit PatchPlan(std::span<const DiffEntry> patches);
    // The changes of a patch list, which must outlive the plan. Lines that do not overlap (as in
    // a --diff report, or an exported list) cost the plan a few words each, not a copy of their
    // bytes.
    explicit PatchPlan(const PatchList& list);
    PatchPlan(const PatchPlan&) = delete;
    PatchPlan& operator=(const PatchPlan&) = delete;
    PatchPlan(PatchPlan&&) = default;
    PatchPlan& operator=(PatchPlan&&) = default;

    // The length of data of the given length once patched: the larger of it and the highest
    // offset plus one. Throws std::length_error when that exceeds maxLength (an offset of
    // 18446744073709551615 has no length to hold it).
    std::uint64_t patchedLength(std::uint64_t length, std::uint64_t maxLength) const;

    // Writes the patches that fall into bytes, which lie at position in the data.
    void apply(std::span<std::uint8_t> bytes, std::uint64_t position) const;

    // The offset of the first patch at or after position, if there is one.
    std::optional<std::uint64_t> nextPatch(std::uint64_t position) const;

  private:
    // Bytes written from offset on: byteB of first[0] to first[count - 1]. Runs are in order of
    // offsets and never overlap.
    struct Run {
        std::uint64_t offset;
        std::uint64_t count;
        const DiffEntry* first;
        std::uint64_t last() const { return offset + (count - 1); }
    };
    void planBytes(std::span<const DiffEntry> patches);
    std::vector<Run>::const_iterator firstRunEndingAtOrAfter(std::uint64_t position) const;

    std::vector<Run> runs_;
    std::vector<DiffEntry> owned_;  // the records the runs point into, where the plan copied them
};

// Writes byteB of each patch at its offset in data, in list order, so that the last record for
// an offset decides it. An offset past the end first extends data with zero bytes to offset + 1.
// byteA is not read. Throws std::length_error (or std::bad_alloc) for an offset that data cannot
// be extended to reach, 18446744073709551615 included, before data is changed.
void applyPatches(ByteBuffer& data, std::span<const DiffEntry> patches);

// Copies inputPath (an unreadable file counts as empty) a chunk at a time into outputPath with
// the patches applied, as above, also when the list or the input is empty: only the patch list is
// held in memory. The output is replaced only once it is whole (see OutputFile), and the zero
// bytes past the input's end cost no room in a file. Returns whether outputPath was written. An
// offset beyond the largest file position throws std::length_error before outputPath is created
// or truncated.
bool applyPatches(const std::string& inputPath, const std::vector<DiffEntry>& patches,
                  const std::string& outputPath);

// The same for the input that reader reads, which it closes before the output replaces a file.
bool applyPatches(FileReader& reader, std::span<const DiffEntry> patches,
                  const std::string& outputPath);

// Sees each piece of the input, at its position, before it is patched; false stops the copy.
using InputInspector = std::function<bool(ByteView bytes, std::uint64_t position)>;

// Writes what reader reads, patched by plan and extended to its length, into output, and closes
// the reader; the caller commits. False when output failed (its error says why) or inspect,
// when given, stopped the copy. An input that could not be opened counts as empty; a read that
// fails here, the first one included, throws ReadError.
bool applyPatches(FileReader& reader, const PatchPlan& plan, OutputFile& output,
                  const InputInspector& inspect = {});

struct DeltaPlan;
class ByteSource;

// Writes B, as plan builds it from the bytes of A that source reads, into output; the caller
// commits. Whether source is the A that plan names (its size and checksum) is the caller's to
// check first. The failure where source cannot be read or output written.
Result<void> applyDelta(ByteSource& source, const DeltaPlan& plan, OutputFile& output);

}  // namespace tessaloom
