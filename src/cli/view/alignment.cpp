#include "alignment.h"

#include <algorithm>
#include <string_view>

#include "document.h"
#include "engine/patch_list.h"

namespace tessaloom::cli::view {

namespace {

std::uint64_t rowsOf(std::uint64_t length) {
    return length / kBytesPerRow + (length % kBytesPerRow != 0 ? 1 : 0);
}

bool paired(DeltaHunk::Op op) {
    return hunkHas(op, 0) && hunkHas(op, 1);
}

}  // namespace

bool hunkHas(DeltaHunk::Op op, std::size_t file) {
    return file == 0 ? op != DeltaHunk::Op::kInserted : op != DeltaHunk::Op::kDeleted;
}

void Alignment::add(const DeltaHunk& hunk) {
    if (hunk.length == 0) {
        return;
    }
    if (hunks_.size() >= kMostHunks && paired(hunk.op) && paired(hunks_.back().op) &&
        hunk.op != DeltaHunk::Op::kMoved && hunks_.back().op != DeltaHunk::Op::kMoved) {
        DeltaHunk& last = hunks_.back();
        if (last.aOffset + last.length == hunk.aOffset &&
            last.bOffset + last.length == hunk.bOffset) {
            rows_ -= rowsOf(last.length);
            last.op = DeltaHunk::Op::kChanged;
            last.length += hunk.length;
            rows_ += rowsOf(last.length);
            return;
        }
    }
    hunks_.push_back(hunk);
    firstRows_.push_back(rows_);
    rows_ += rowsOf(hunk.length);
}

AlignedRow Alignment::row(std::uint64_t row) const {
    const auto after = std::ranges::upper_bound(firstRows_, row);
    const auto hunk = static_cast<std::size_t>(after - firstRows_.begin()) - 1;
    const DeltaHunk& h = hunks_[hunk];
    const std::uint64_t within = (row - firstRows_[hunk]) * kBytesPerRow;
    AlignedRow shown;
    shown.hunk = hunk;
    shown.count = static_cast<std::size_t>(std::min(kBytesPerRow, h.length - within));
    if (hunkHas(h.op, 0)) {
        shown.a = h.aOffset + within;
    }
    if (hunkHas(h.op, 1)) {
        shown.b = h.bOffset + within;
    }
    return shown;
}

std::optional<std::uint64_t> Alignment::positionOf(std::size_t file, std::uint64_t offset) const {
    for (std::size_t i = 0; i < hunks_.size(); ++i) {
        const DeltaHunk& h = hunks_[i];
        const std::uint64_t start = file == 0 ? h.aOffset : h.bOffset;
        if (hunkHas(h.op, file) && offset >= start && offset - start < h.length) {
            const std::uint64_t within = offset - start;
            return (firstRows_[i] + within / kBytesPerRow) * kBytesPerRow + within % kBytesPerRow;
        }
    }
    return std::nullopt;
}

std::optional<std::size_t> Alignment::nextDifference(std::size_t hunk, bool forward) const {
    if (forward) {
        for (std::size_t i = hunk + 1; i < hunks_.size(); ++i) {
            if (hunks_[i].op != DeltaHunk::Op::kEqual) {
                return i;
            }
        }
        return std::nullopt;
    }
    for (std::size_t i = std::min(hunk, hunks_.size()); i-- > 0;) {
        if (hunks_[i].op != DeltaHunk::Op::kEqual) {
            return i;
        }
    }
    return std::nullopt;
}

std::string hunkText(const DeltaHunk& hunk) {
    // The report's line up to its count of bytes, without the bytes it would go on to show, its
    // words single spaced.
    const std::string line = deltaHunkLine(hunk, {}, {});
    const std::size_t end = line.find(" bytes");
    std::string text;
    for (const char c :
         std::string_view(line).substr(0, end == std::string::npos ? line.size() : end + 6)) {
        if (c != ' ' || (!text.empty() && text.back() != ' ')) {
            text.push_back(c);
        }
    }
    return text;
}

Alignment alignDocuments(Document& a, Document& b, const ProgressCallback& progress) {
    Alignment alignment;
    DeltaOptions options;
    options.progress = progress;
    const Result<DeltaSummary> summary = alignFiles(
        a, b, [&alignment](const DeltaHunk& hunk) { alignment.add(hunk); }, options);
    if (!summary) {
        throw ReadError(summary.failure());
    }
    return alignment;
}

}  // namespace tessaloom::cli::view
