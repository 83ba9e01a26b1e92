#include "scans.h"

#include <algorithm>

#include "document.h"
#include "engine/diff.h"

namespace tessaloom::cli::view {

namespace {

// A stretch larger than this is judged by kSamples samples of kSampleSize bytes.
constexpr std::uint64_t kWholeCell = std::uint64_t{4} << 20;
constexpr std::size_t kSamples = 16;
constexpr std::size_t kSampleSize = std::size_t{256} << 10;

double fraction(std::uint64_t part, std::uint64_t whole) {
    return whole == 0 ? 1.0 : static_cast<double>(part) / static_cast<double>(whole);
}

// Reads count bytes of document from offset into buffer (missing ones as nothing).
ByteView readInto(Document& document, std::uint64_t offset, std::size_t count, ByteBuffer& buffer) {
    buffer.resize(count);
    return ByteView(buffer).first(readOrThrow(document.scan(offset, buffer)));
}

}  // namespace

SearchSeek::SearchSeek(Document& document, BytePattern pattern, std::uint64_t from, bool forward)
    : document_(document),
      pattern_(std::move(pattern)),
      forward_(forward),
      start_(forward ? from + 1 : from),
      next_(start_) {}

double SearchSeek::done() const {
    return forward_
               ? fraction(next_ - start_, document_.size() - std::min(start_, document_.size()))
               : fraction(start_ - next_, start_);
}

bool SearchSeek::step() {
    const std::uint64_t size = document_.size();
    if (forward_ ? next_ >= size : next_ == 0) {
        next_ = forward_ ? std::max(next_, size) : next_;
        return true;
    }
    const std::uint64_t begin =
        forward_ ? next_ : next_ - std::min<std::uint64_t>(next_, kScanStep);
    const std::uint64_t end =
        forward_ ? next_ + std::min<std::uint64_t>(size - next_, kScanStep) : next_;
    found_ = readOrThrow(
        findInRange(document_, pattern_, begin, end,
                    forward_ ? SearchDirection::kForward : SearchDirection::kBackward, kScanStep));
    next_ = forward_ ? end : begin;
    return found_.has_value() || (forward_ ? next_ >= size : next_ == 0);
}

DifferenceSeek::DifferenceSeek(Document& a, Document& b, std::uint64_t from, bool forward)
    : a_(a),
      b_(b),
      forward_(forward),
      start_(from),
      next_(forward ? from : from),
      end_(std::max(a.size(), b.size())),
      inRun_(false) {
    if (forward && from < end_) {
        // Set off from inside a run of differences: the next run is the one after it.
        inRun_ = readOrThrow(differsAt(a, b, from));
        next_ = from + 1;
    }
}

double DifferenceSeek::done() const {
    return forward_ ? fraction(next_ - std::min(start_, next_), end_ - std::min(start_, end_))
                    : fraction(start_ - std::min(start_, next_), start_);
}

bool DifferenceSeek::step() {
    if (forward_) {
        if (next_ >= end_) {
            return true;
        }
        const std::size_t length =
            static_cast<std::size_t>(std::min<std::uint64_t>(end_ - next_, kScanStep));
        const ByteView a = readInto(a_, next_, length, bufferA_);
        const ByteView b = readInto(b_, next_, length, bufferB_);
        for (std::size_t i = 0; i < length; ++i) {
            const bool differs = differsAt(a, b, i);
            if (differs && !inRun_) {
                found_ = next_ + i;
                return true;
            }
            inRun_ = inRun_ && differs;
        }
        next_ += length;
        return next_ >= end_;
    }
    if (next_ == 0) {
        if (inRun_) {
            found_ = 0;
        }
        return true;
    }
    const std::uint64_t first = next_ - std::min<std::uint64_t>(next_, kScanStep);
    const std::size_t length = static_cast<std::size_t>(next_ - first);
    const ByteView a = readInto(a_, first, length, bufferA_);
    const ByteView b = readInto(b_, first, length, bufferB_);
    for (std::size_t i = length; i-- > 0;) {
        const bool differs = differsAt(a, b, i);
        if (inRun_ && !differs) {
            found_ = first + i + 1;
            return true;
        }
        inRun_ = inRun_ || differs;
    }
    next_ = first;
    if (next_ == 0 && inRun_) {
        found_ = 0;
    }
    return next_ == 0;
}

RegionMap::RegionMap(std::uint64_t size, std::size_t cells)
    : size_(size), cells_(size == 0 ? 0 : cells) {}

std::uint64_t RegionMap::cellStart(std::size_t cell) const {
    // Exact for any size: size_ * cell would overflow past 2^64 / cells.
    const std::uint64_t count = cells_.size();
    return size_ / count * cell + size_ % count * cell / count;
}

std::size_t RegionMap::cellOf(std::uint64_t offset) const {
    std::size_t low = 0;
    std::size_t high = cells_.size();
    while (high - low > 1) {
        const std::size_t middle = (low + high) / 2;
        if (cellStart(middle) <= offset) {
            low = middle;
        } else {
            high = middle;
        }
    }
    return low;
}

double RegionMap::done() const {
    return fraction(next_, cells_.size());
}

bool RegionMap::step(Document& document) {
    if (complete()) {
        return false;
    }
    const std::uint64_t begin = cellStart(next_);
    const std::uint64_t end = next_ + 1 == cells_.size() ? size_ : cellStart(next_ + 1);
    const std::uint64_t length = end - begin;
    std::uint64_t from = 0;
    std::size_t count = 0;
    bool last = false;
    if (length <= kWholeCell) {
        from = begin + window_ * kScanStep;
        count = static_cast<std::size_t>(std::min<std::uint64_t>(end - from, kScanStep));
        last = from + count >= end;
    } else {
        from = begin + (length - kSampleSize) / (kSamples - 1) * window_;
        count = kSampleSize;
        last = window_ + 1 == kSamples;
    }
    const ByteView bytes = readInto(document, from, count, buffer_);
    for (const std::uint8_t byte : bytes) {
        ++counts_[byte];
    }
    counted_ += bytes.size();
    ++window_;
    if (last) {
        cells_[next_++] = classifyBytes(counts_, counted_);
        counts_ = {};
        counted_ = 0;
        window_ = 0;
    }
    return !complete();
}

double DifferenceCount::done() const {
    return fraction(counted_, length_);
}

bool DifferenceCount::step(Document& a, Document& b) {
    if (complete()) {
        return false;
    }
    const std::size_t length =
        static_cast<std::size_t>(std::min<std::uint64_t>(length_ - counted_, kScanStep));
    const ByteView bytesA = readInto(a, counted_, length, bufferA_);
    const ByteView bytesB = readInto(b, counted_, length, bufferB_);
    for (std::size_t i = 0; i < length; ++i) {
        count_ += differsAt(bytesA, bytesB, i) ? 1U : 0U;
    }
    counted_ += length;
    return !complete();
}

void DifferenceCount::changed(std::uint64_t offset, bool before, bool after) {
    if (offset < counted_ && before != after) {
        count_ = after ? count_ + 1 : count_ - 1;
    }
}

}  // namespace tessaloom::cli::view
