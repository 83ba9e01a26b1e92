#include "patch.h"

#include <algorithm>
#include <stdexcept>

#include "file_io.h"
#include "search_replace.h"

namespace tessaloom {

namespace {

// The buffer length that holds offset, or std::length_error when no buffer can be that long
// (offset + 1 may not even be representable).
std::size_t lengthToHold(const ByteBuffer& data, std::uint64_t offset) {
    if (offset >= data.max_size()) {
        throw std::length_error("patch offset beyond the largest possible buffer");
    }
    return static_cast<std::size_t>(offset) + 1;
}

// Extends data with zero bytes to exactly length. The capacity at least doubles whenever it has
// to grow, so a run of records at ascending offsets past the end does not copy the buffer once
// per record, whatever growth policy resize itself follows.
void extendTo(ByteBuffer& data, std::size_t length) {
    if (length > data.capacity()) {
        const std::size_t doubled =
            data.capacity() > data.max_size() / 2 ? data.max_size() : 2 * data.capacity();
        data.reserve(std::max(length, doubled));
    }
    data.resize(length);
}

}  // namespace

std::vector<std::uint64_t> findPatternOffsets(ByteView data, ByteView pattern) {
    std::vector<std::uint64_t> offsets;
    for (std::size_t at = findPattern(data, pattern, 0); at != kNoMatch;
         at = findPattern(data, pattern, at + 1)) {
        offsets.push_back(at);
    }
    return offsets;
}

std::vector<std::uint64_t> findPatternOffsets(const std::string& path, ByteView pattern) {
    return findPatternOffsets(loadFile(path), pattern);
}

void applyPatches(ByteBuffer& data, std::span<const DiffEntry> patches) {
    if (data.empty() && !patches.empty()) {
        // Sized once to the final length instead of growing record by record.
        const auto highest = std::ranges::max(patches, {}, &DiffEntry::offset).offset;
        data.resize(lengthToHold(data, highest));
    }
    for (const DiffEntry& patch : patches) {
        if (patch.offset >= data.size()) {
            extendTo(data, lengthToHold(data, patch.offset));
        }
        data[static_cast<std::size_t>(patch.offset)] = patch.byteB;
    }
}

bool applyPatches(const std::string& inputPath, const std::vector<DiffEntry>& patches,
                  const std::string& outputPath) {
    ByteBuffer data = loadFile(inputPath);
    applyPatches(data, patches);
    return saveFile(outputPath, data);
}

}  // namespace tessaloom
