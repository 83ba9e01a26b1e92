#include "patch.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

#include "file_reader.h"
#include "output_file.h"
#include "search_replace.h"

namespace tessaloom {

std::vector<std::uint64_t> findPatternOffsets(ByteView data, ByteView pattern) {
    std::vector<std::uint64_t> offsets;
    PatternScanner scanner(pattern, PatternScanner::Occurrences::kOverlapping);
    scanner.scan(data,
                 [&offsets](std::uint64_t offset, std::size_t) { offsets.push_back(offset); });
    return offsets;
}

std::vector<std::uint64_t> findPatternOffsets(const std::string& path, ByteView pattern) {
    FileReader reader(path);
    return findPatternOffsets(reader, pattern);
}

std::vector<std::uint64_t> findPatternOffsets(FileReader& reader, ByteView pattern) {
    std::vector<std::uint64_t> offsets;
    if (pattern.empty()) {
        return offsets;
    }
    WindowedScan scan(reader, pattern, PatternScanner::Occurrences::kOverlapping);
    while (scan.advance(
        [&offsets](std::uint64_t offset, std::size_t) { offsets.push_back(offset); })) {
    }
    return offsets;
}

PatchPlan::PatchPlan(std::span<const DiffEntry> patches) {
    patches_.reserve(patches.size());
    for (const DiffEntry& patch : patches) {
        patches_.emplace_back(patch.offset, patch.byteB);
    }
    // Stable, so that of the records for one offset the last in the list stays last.
    std::ranges::stable_sort(patches_, {}, &std::pair<std::uint64_t, std::uint8_t>::first);
    const auto sameOffset = [](const auto& a, const auto& b) { return a.first == b.first; };
    auto kept = patches_.begin();
    for (auto record = patches_.begin(); record != patches_.end(); ++record) {
        if (std::next(record) == patches_.end() || !sameOffset(*record, *std::next(record))) {
            *kept++ = *record;
        }
    }
    patches_.erase(kept, patches_.end());
}

std::uint64_t PatchPlan::patchedLength(std::uint64_t length, std::uint64_t maxLength) const {
    if (patches_.empty()) {
        return length;
    }
    const std::uint64_t highest = patches_.back().first;
    if (highest >= maxLength) {
        throw std::length_error("patch offset beyond the largest possible length");
    }
    return std::max(length, highest + 1);
}

void PatchPlan::apply(std::span<std::uint8_t> bytes, std::uint64_t position) const {
    auto patch = std::ranges::lower_bound(patches_, position, {},
                                          &std::pair<std::uint64_t, std::uint8_t>::first);
    for (; patch != patches_.end() && patch->first - position < bytes.size(); ++patch) {
        bytes[static_cast<std::size_t>(patch->first - position)] = patch->second;
    }
}

std::optional<std::uint64_t> PatchPlan::nextPatch(std::uint64_t position) const {
    const auto patch = std::ranges::lower_bound(patches_, position, {},
                                                &std::pair<std::uint64_t, std::uint8_t>::first);
    return patch == patches_.end() ? std::nullopt : std::optional(patch->first);
}

void applyPatches(ByteBuffer& data, std::span<const DiffEntry> patches) {
    const PatchPlan plan(patches);
    // Sized once to the final length, with zero bytes, instead of growing record by record.
    data.resize(static_cast<std::size_t>(plan.patchedLength(data.size(), data.max_size())));
    plan.apply(data, 0);
}

bool applyPatches(const std::string& inputPath, const std::vector<DiffEntry>& patches,
                  const std::string& outputPath) {
    FileReader reader(inputPath);
    return applyPatches(reader, patches, outputPath);
}

bool applyPatches(FileReader& reader, std::span<const DiffEntry> patches,
                  const std::string& outputPath) {
    const PatchPlan plan(patches);
    plan.patchedLength(0, kMaxFileLength);  // throws before anything is written
    const std::optional<std::uint64_t> finalSize =
        reader.size() ? std::optional(plan.patchedLength(*reader.size(), kMaxFileLength))
                      : std::nullopt;
    OutputFile output(outputPath, {.finalSize = finalSize, .source = &reader});
    return applyPatches(reader, plan, output) && output.commit();
}

bool applyPatches(FileReader& reader, const PatchPlan& plan, OutputFile& output,
                  const InputInspector& inspect) {
    std::uint64_t position = 0;
    const auto writePatched = [&](std::span<std::uint8_t> bytes) {
        plan.apply(bytes, position);
        position += bytes.size();
        return output.write(bytes);
    };
    // An input that could not be opened counts as empty; one whose first read fails here is no
    // empty input, and a copy made of the patches alone would pass for the patched file.
    const bool readable = !reader.error();
    while (reader.fill()) {
        const std::span<std::uint8_t> bytes = reader.buffered();
        if ((inspect && !inspect(bytes, position)) || !writePatched(bytes)) {
            return false;
        }
        reader.consume(bytes.size());
    }
    if (readable && reader.error()) {
        throw ReadError(reader.path(), reader.error()->reason);
    }
    reader.close();
    // Past the end of the input: zero bytes, and the patches among them. Only the stretches
    // that hold patches are made here; the zero bytes between them are the output's to make,
    // which a file does as holes, at once however far the patches lie.
    const std::uint64_t end = plan.patchedLength(position, kMaxFileLength);
    ByteBuffer chunk;
    while (position < end) {
        const std::uint64_t next = plan.nextPatch(position).value_or(end);
        if (!output.writeZeros(next - position)) {
            return false;
        }
        position = next;
        chunk.assign(
            static_cast<std::size_t>(std::min<std::uint64_t>(reader.chunkSize(), end - position)),
            0);
        if (!writePatched(chunk)) {
            return false;
        }
    }
    return true;
}

}  // namespace tessaloom
