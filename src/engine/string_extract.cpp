#include "string_extract.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "file_reader.h"

namespace tessaloom {

namespace {

// Bytes looked at together, one bit each of a 64-bit mask.
constexpr std::size_t kGroup = 64;
// Runs are first told apart by their first bytes: a run shorter than this many is never looked at
// unless the minimum length is shorter still.
constexpr std::uint64_t kLookahead = 8;

// Bit i set where bytes[i] is printable, for the 8 bytes at bytes.
std::uint64_t printableBits8(const std::uint8_t* bytes) {
    if constexpr (std::endian::native == std::endian::little) {
        std::uint64_t word;
        std::memcpy(&word, bytes, sizeof word);
        // Gathers the eight high bits into the low byte, byte i's into bit i.
        return ((printableHighBits(word) >> 7) * 0x0102040810204080u) >> 56;
    } else {
        std::uint64_t bits = 0;
        for (std::size_t i = 0; i < 8; ++i) {
            bits |= std::uint64_t{isPrintableAscii(bytes[i])} << i;
        }
        return bits;
    }
}

// Bit i set where data[from + i] is printable, for the up to 64 bytes from `from` on; the bits
// past the end of data are clear.
std::uint64_t printableBits(ByteView data, std::size_t from) {
    std::uint64_t bits = 0;
    if (from >= data.size()) {
        return bits;
    }
    const std::size_t count = std::min(kGroup, data.size() - from);
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        bits |= printableBits8(data.data() + from + i) << i;
    }
    for (; i < count; ++i) {
        bits |= std::uint64_t{isPrintableAscii(data[from + i])} << i;
    }
    return bits;
}

// The offset of the first byte at or after `from` that is not printable, or the size of data.
std::size_t runEnd(ByteView data, std::size_t from) {
    for (; from + 8 <= data.size(); from += 8) {
        const std::uint64_t bits = printableBits8(data.data() + from);
        if (bits != 0xFF) {
            return from + static_cast<std::size_t>(std::countr_one(bits));
        }
    }
    while (from < data.size() && isPrintableAscii(data[from])) {
        ++from;
    }
    return from;
}

// Of the bits of `bits`, those followed by at least count - 1 set bits, reading on into `next`
// (the bits of the following group) past the top.
std::uint64_t followedBySetBits(std::uint64_t bits, std::uint64_t next, std::uint64_t count) {
    std::uint64_t result = bits;
    for (std::uint64_t k = 1; k < count; ++k) {
        result &= (bits >> k) | (next << (kGroup - k));
    }
    return result;
}

// Hands on the runs of at least shortest bytes in data, which begins and ends where runs do: the
// bytes just outside it, if any, are not printable. The scan goes through the data 64 bytes at a
// time, with a bit per byte that says whether it is printable. Only the runs whose first bytes are
// printable far enough to matter are looked at one by one, so data in which short runs abound
// (compressed or random bytes) costs little more than data without any.
void scanBoundedRuns(ByteView data, std::uint64_t base, std::uint64_t shortest,
                     const StringRunCallback& onRun) {
    const std::uint64_t lookahead = std::min(shortest, kLookahead);
    std::uint64_t bits = printableBits(data, 0);
    for (std::size_t group = 0; group < data.size();) {
        const std::uint64_t next = printableBits(data, group + kGroup);
        const std::uint64_t before = group > 0 && isPrintableAscii(data[group - 1]) ? 1 : 0;
        const std::uint64_t starts = bits & ~((bits << 1) | before);
        std::uint64_t candidates = starts & followedBySetBits(bits, next, lookahead);
        std::size_t resume = group + kGroup;
        while (candidates != 0) {
            const std::size_t start =
                group + static_cast<std::size_t>(std::countr_zero(candidates));
            candidates &= candidates - 1;
            const std::size_t end = runEnd(data, start + static_cast<std::size_t>(lookahead));
            if (end - start >= shortest) {
                onRun({base + start, end - start});
            }
            if (end >= group + kGroup) {
                // The run goes on past this group: carry on in the group where it ends. No run
                // starts in that group before the run's end.
                resume = end / kGroup * kGroup;
                break;
            }
        }
        bits = resume == group + kGroup ? next : printableBits(data, resume);
        group = resume;
    }
}

}  // namespace

StringScanner::StringScanner(std::uint64_t minLength, StringRunCallback onRun)
    : shortest_(std::max<std::uint64_t>(minLength, 1)), onRun_(std::move(onRun)) {}

void StringScanner::write(ByteView bytes) {
    std::size_t from = 0;
    if (openRunStart_) {
        from = runEnd(bytes, 0);
        if (from == bytes.size()) {
            position_ += bytes.size();
            return;
        }
        closeRun(position_ + from);
    }
    // The printable bytes at the end of the piece may go on in the next one.
    std::size_t tail = bytes.size();
    while (tail > from && isPrintableAscii(bytes[tail - 1])) {
        --tail;
    }
    scanBoundedRuns(bytes.subspan(from, tail - from), position_ + from, shortest_, onRun_);
    if (tail < bytes.size()) {
        openRunStart_ = position_ + tail;
    }
    position_ += bytes.size();
}

void StringScanner::finish() {
    if (openRunStart_) {
        closeRun(position_);
    }
}

void StringScanner::closeRun(std::uint64_t end) {
    const StringRun run{*openRunStart_, end - *openRunStart_};
    openRunStart_.reset();
    if (run.length >= shortest_) {
        onRun_(run);
    }
}

namespace {

// Texts of the runs a listing shows are kept in memory up to this many bytes in all.
constexpr std::uint64_t kKeptTextBytes = std::uint64_t{1} << 20;

std::string_view asText(ByteView bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

}  // namespace

// Where the text of one listed run is.
struct StringListing::Kept {
    enum class Where { kMemory, kInput, kSpool };
    Where where = Where::kMemory;
    std::string text;
    std::uint64_t spoolOffset = 0;
};

StringListing::StringListing() = default;
StringListing::~StringListing() = default;
StringListing::StringListing(StringListing&&) noexcept = default;
StringListing& StringListing::operator=(StringListing&&) noexcept = default;

// Counts the runs of data that arrives in pieces and keeps the texts of the first ones: the bytes
// of a run that goes on past a piece are held until it ends, in memory while the bound allows,
// then in the spool (a stream) or not at all (a file, which is read again).
class ListingScan {
  public:
    ListingScan(FileReader& reader, std::uint64_t minLength, std::size_t shown,
                std::uint64_t memoryBound)
        : reader_(reader),
          scanner_(minLength, [this](const StringRun& run) { found(run); }),
          shown_(shown),
          memoryBound_(memoryBound) {
        listing_.input_ = &reader;
    }

    void write(ByteView bytes) {
        piece_ = bytes;
        scanner_.write(bytes);
        const std::optional<std::uint64_t> open = scanner_.openRunStart();
        // A run still open that began before this piece is the one held; any other is new.
        if (!open || *open >= position_ || !wanted()) {
            resetHeld();
        }
        if (open && wanted()) {
            hold(bytes.subspan(static_cast<std::size_t>(std::max(*open, position_) - position_)));
        }
        position_ += bytes.size();
        piece_ = {};
    }

    StringListing finish() {
        scanner_.finish();
        return std::move(listing_);
    }

  private:
    using Kept = StringListing::Kept;

    bool wanted() const { return listing_.runs_.size() < shown_; }

    void resetHeld() {
        held_ = Kept{};
        heldLength_ = 0;
    }

    // Adds the next bytes of the run held to wherever it is kept.
    void hold(ByteView bytes) {
        if (held_.where == Kept::Where::kMemory &&
            memoryUsed_ + heldLength_ + bytes.size() > memoryBound_) {
            if (reader_.seekable()) {
                held_.where = Kept::Where::kInput;
                held_.text = std::string();
            } else {
                held_.where = Kept::Where::kSpool;
                held_.spoolOffset = spool().size();
                spoolWrite(textBytes(held_.text));
                held_.text = std::string();
            }
        }
        heldLength_ += bytes.size();
        if (held_.where == Kept::Where::kMemory) {
            held_.text.append(asText(bytes));
        } else if (held_.where == Kept::Where::kSpool) {
            spoolWrite(bytes);
        }
    }

    // The run's bytes before the current piece are held; the rest lie in the piece.
    void found(const StringRun& run) {
        ++listing_.count_;
        if (!wanted()) {
            return;
        }
        if (run.offset >= position_) {
            resetHeld();
        }
        const std::uint64_t from = std::max(run.offset, position_) - position_;
        const std::uint64_t to = run.offset + run.length - position_;
        hold(piece_.subspan(static_cast<std::size_t>(from), static_cast<std::size_t>(to - from)));
        if (held_.where == Kept::Where::kMemory) {
            memoryUsed_ += held_.text.size();
        }
        listing_.runs_.push_back(run);
        listing_.kept_.push_back(std::move(held_));
        resetHeld();
    }

    Spool& spool() {
        if (!listing_.spool_) {
            listing_.spool_ = std::make_unique<Spool>(listing_.input_->path());
        }
        return *listing_.spool_;
    }

    void spoolWrite(ByteView bytes) {
        if (!spool().write(bytes)) {
            throw ReadError(reader_.path(),
                            "Cannot keep its text aside: " + listing_.spool_->error()->reason);
        }
    }

    static ByteView textBytes(const std::string& text) {
        return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
    }

    FileReader& reader_;
    StringScanner scanner_;
    std::size_t shown_;
    std::uint64_t memoryBound_;
    StringListing listing_;
    std::uint64_t position_ = 0;
    ByteView piece_;
    Kept held_;
    std::uint64_t heldLength_ = 0;
    std::uint64_t memoryUsed_ = 0;
};

namespace {

StringListing scanListing(FileReader& reader, std::uint64_t minLength, std::size_t shown,
                          std::uint64_t memoryBound) {
    ListingScan scan(reader, minLength, shown, memoryBound);
    forEachChunk(reader, [&scan](ByteView chunk) { scan.write(chunk); });
    return scan.finish();
}

}  // namespace

std::vector<FoundString> extractStrings(FileReader& reader, std::uint64_t minLength) {
    const StringListing listing = scanListing(reader, minLength, SIZE_MAX, UINT64_MAX);
    std::vector<FoundString> found;
    found.reserve(listing.runs().size());
    for (std::size_t i = 0; i < listing.runs().size(); ++i) {
        found.push_back({listing.runs()[i].offset, std::string()});
        listing.writeText(i, [&found](std::string_view text) { found.back().text.append(text); });
    }
    return found;
}

std::vector<FoundString> extractStrings(const std::string& path, std::uint64_t minLength) {
    FileReader reader(path);
    return extractStrings(reader, minLength);
}

StringListing listStrings(FileReader& reader, std::uint64_t minLength, std::size_t shown) {
    return scanListing(reader, minLength, shown, kKeptTextBytes);
}

void StringListing::writeText(std::size_t index, const TextSink& sink) const {
    const Kept& kept = kept_[index];
    const StringRun& run = runs_[index];
    if (kept.where == Kept::Where::kMemory) {
        sink(kept.text);
        return;
    }
    // Read back a chunk at a time: a run may be gigabytes long.
    ByteBuffer chunk(
        static_cast<std::size_t>(std::min<std::uint64_t>(run.length, kDefaultChunkSize)));
    std::unique_ptr<FileReader> spoolReader;
    if (kept.where == Kept::Where::kSpool) {
        spoolReader = std::make_unique<FileReader>(input_->path(), *spool_);
    }
    FileReader& from = spoolReader ? *spoolReader : *input_;
    const std::uint64_t start = spoolReader ? kept.spoolOffset : run.offset;
    for (std::uint64_t done = 0; done < run.length;) {
        const auto wanted =
            static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), run.length - done));
        const std::span<std::uint8_t> piece = std::span(chunk).first(wanted);
        const std::size_t got = from.readAt(start + done, piece);
        if (got < wanted || !std::ranges::all_of(piece, isPrintableAscii)) {
            throw ReadError(input_->path(), "The file changed while it was read");
        }
        sink(asText(piece));
        done += got;
    }
}

}  // namespace tessaloom
