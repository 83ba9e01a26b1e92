#include "patch.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

#include "byte_source.h"
#include "file_reader.h"
#include "output_file.h"
#include "patch_list.h"
#include "search_replace.h"

namespace tessaloom {

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
    planBytes(patches);
}

PatchPlan::PatchPlan(const PatchList& list) {
    runs_.reserve(list.lines.size());
    for (const PatchLine& line : list.lines) {
        if (line.byteCount > 0) {
            const DiffEntry* first = list.bytes.data() + line.firstByte;
            runs_.push_back({first->offset, line.byteCount, first});
        }
    }
    // Lines already in order of offsets, as most lists are, need no sort. Of lines at one offset
    // the later comes later (the records lie in list order), which the overlap check then finds.
    const auto byOffsetThenOrder = [](const Run& a, const Run& b) {
        return a.offset != b.offset ? a.offset < b.offset : a.first < b.first;
    };
    if (!std::ranges::is_sorted(runs_, byOffsetThenOrder)) {
        std::ranges::sort(runs_, byOffsetThenOrder);
    }
    const auto overlaps = [](const Run& a, const Run& b) { return b.offset <= a.last(); };
    if (std::ranges::adjacent_find(runs_, overlaps) != runs_.end()) {
        // A byte written twice: the plan resolves it byte by byte, the later line deciding.
        runs_.clear();
        runs_.shrink_to_fit();
        planBytes(list.bytes);
    }
}

void PatchPlan::planBytes(std::span<const DiffEntry> patches) {
    owned_.assign(patches.begin(), patches.end());
    // Stable, so that of the records for one offset the last in the list stays last.
    if (!std::ranges::is_sorted(owned_, {}, &DiffEntry::offset)) {
        std::ranges::stable_sort(owned_, {}, &DiffEntry::offset);
    }
    auto kept = owned_.begin();
    for (auto record = owned_.begin(); record != owned_.end(); ++record) {
        if (std::next(record) == owned_.end() || record->offset != std::next(record)->offset) {
            *kept++ = *record;
        }
    }
    owned_.erase(kept, owned_.end());
    // Records at adjacent offsets make one run; offsets now rise strictly, so none wraps.
    for (std::size_t i = 0; i < owned_.size();) {
        std::size_t end = i + 1;
        while (end < owned_.size() && owned_[end].offset == owned_[end - 1].offset + 1) {
            ++end;
        }
        runs_.push_back({owned_[i].offset, end - i, owned_.data() + i});
        i = end;
    }
}

std::vector<PatchPlan::Run>::const_iterator PatchPlan::firstRunEndingAtOrAfter(
    std::uint64_t position) const {
    return std::ranges::partition_point(
        runs_, [position](const Run& run) { return run.last() < position; });
}

std::uint64_t PatchPlan::patchedLength(std::uint64_t length, std::uint64_t maxLength) const {
    if (runs_.empty()) {
        return length;
    }
    const std::uint64_t highest = runs_.back().last();
    if (highest >= maxLength) {
        throw std::length_error("patch offset beyond the largest possible length");
    }
    return std::max(length, highest + 1);
}

void PatchPlan::apply(std::span<std::uint8_t> bytes, std::uint64_t position) const {
    if (bytes.empty()) {
        return;
    }
    const std::uint64_t lastByte = position + (bytes.size() - 1);
    for (auto run = firstRunEndingAtOrAfter(position);
         run != runs_.end() && run->offset <= lastByte; ++run) {
        const std::uint64_t from = std::max(run->offset, position);
        const std::uint64_t to = std::min(run->last(), lastByte);
        for (std::uint64_t at = from; at <= to; ++at) {
            bytes[static_cast<std::size_t>(at - position)] =
                run->first[static_cast<std::size_t>(at - run->offset)].byteB;
        }
    }
}

std::optional<std::uint64_t> PatchPlan::nextPatch(std::uint64_t position) const {
    const auto run = firstRunEndingAtOrAfter(position);
    return run == runs_.end() ? std::nullopt : std::optional(std::max(run->offset, position));
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

Result<void> applyDelta(ByteSource& source, const DeltaPlan& plan, OutputFile& output) {
    constexpr std::size_t kPiece = std::size_t{1} << 20;
    ByteBuffer piece;
    for (const DeltaStep& step : plan.steps) {
        if (!step.fromA) {
            if (!output.write(ByteView(plan.data).subspan(static_cast<std::size_t>(step.offset),
                                                          static_cast<std::size_t>(step.length)))) {
                return output.failure();
            }
            continue;
        }
        for (std::uint64_t done = 0; done < step.length;) {
            const auto n =
                static_cast<std::size_t>(std::min<std::uint64_t>(kPiece, step.length - done));
            piece.resize(n);
            if (Result<void> read = readExactly(source, step.offset + done, piece); !read) {
                return read.failure();
            }
            if (!output.write(piece)) {
                return output.failure();
            }
            done += n;
        }
    }
    return {};
}

}  // namespace tessaloom
