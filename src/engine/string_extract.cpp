#include "string_extract.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "file_reader.h"
#include "utf8.h"

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

namespace tessaloom {

namespace {

// The code points a UTF-16 run is made of, besides printable ASCII.
constexpr std::pair<std::uint16_t, std::uint16_t> kUtf16Letters[] = {
    {0x00A0, 0x024F},  // Latin-1 supplement, Latin Extended-A and -B
    {0x0370, 0x03FF},  // Greek
    {0x0400, 0x052F},  // Cyrillic
};

// One way of reading the data: ASCII bytes, or UTF-16 units of one byte order at one alignment.
// Ranked in the order in which runs of the same offset are handed on.
enum Lane : std::size_t { kAsciiLane, kLeEven, kLeOdd, kBeEven, kBeOdd, kLanes };

constexpr StringEncoding kLaneEncodings[kLanes] = {
    StringEncoding::kAscii, StringEncoding::kUtf16Le, StringEncoding::kUtf16Le,
    StringEncoding::kUtf16Be, StringEncoding::kUtf16Be};

struct LaneRun {
    std::uint64_t start = 0;
    std::uint64_t end = 0;
    std::size_t lane = 0;
};

// Q covers R: R's bytes lie inside Q's, and where they are the same bytes, Q's lane ranks first.
bool covers(const LaneRun& q, const LaneRun& r) {
    if (q.start == r.start && q.end == r.end) {
        return q.lane < r.lane;
    }
    return q.start <= r.start && q.end >= r.end;
}

// The UTF-16 units of one byte order at one alignment, in pieces.
class Utf16Lane {
  public:
    Utf16Lane(std::uint64_t shortest, bool bigEndian, std::uint64_t parity)
        : shortest_(shortest), bigEndian_(bigEndian), next_(parity) {}

    // The units of the piece at base; each run that ends goes to done.
    template <typename Done>
    void write(ByteView bytes, std::uint64_t base, Done done) {
        const std::uint64_t end = base + bytes.size();
        while (true) {
            std::uint8_t first = 0;
            std::uint8_t second = 0;
            if (carry_ && next_ + 1 == base) {
                if (bytes.empty()) {
                    return;
                }
                first = *carry_;
                second = bytes[0];
                carry_.reset();
            } else {
                if (next_ >= end) {
                    return;
                }
                if (next_ + 2 > end) {
                    carry_ = bytes[static_cast<std::size_t>(next_ - base)];
                    return;
                }
                first = bytes[static_cast<std::size_t>(next_ - base)];
                second = bytes[static_cast<std::size_t>(next_ - base + 1)];
            }
            const auto unit = static_cast<std::uint16_t>(bigEndian_ ? (first << 8) | second
                                                                    : (second << 8) | first);
            if (isPrintableUtf16(unit)) {
                if (!open_) {
                    open_ = next_;
                    units_ = 0;
                }
                ++units_;
            } else {
                close(next_, done);
            }
            next_ += 2;
        }
    }
    template <typename Done>
    void close(std::uint64_t at, Done done) {
        if (open_ && units_ >= shortest_) {
            done(*open_, at);
        }
        open_.reset();
    }
    template <typename Done>
    void finish(Done done) {
        close(next_, done);
    }
    std::optional<std::uint64_t> openStart() const { return open_; }

  private:
    std::uint64_t shortest_;
    bool bigEndian_;
    std::uint64_t next_;  // where the next unit starts
    std::optional<std::uint8_t> carry_;
    std::optional<std::uint64_t> open_;
    std::uint64_t units_ = 0;
};

}  // namespace

std::string_view encodingName(StringEncoding encoding) {
    switch (encoding) {
        case StringEncoding::kAscii:
            return "ascii";
        case StringEncoding::kUtf16Le:
            return "utf16le";
        case StringEncoding::kUtf16Be:
            return "utf16be";
    }
    return "ascii";
}

bool isPrintableUtf16(std::uint16_t unit) {
    if (unit >= 0x20 && unit <= 0x7E) {
        return true;
    }
    return std::ranges::any_of(kUtf16Letters, [unit](const auto& range) {
        return unit >= range.first && unit <= range.second;
    });
}

struct EncodedStringScanner::State {
    State(std::uint64_t minLength, EncodingSet set, EncodedRunCallback callback)
        : shortest(std::max<std::uint64_t>(minLength, 1)),
          onRun(std::move(callback)),
          ascii(shortest,
                [this](const StringRun& run) {
                    closed[kAsciiLane].push_back({run.offset, run.offset + run.length, kAsciiLane});
                }),
          lanes{Utf16Lane(shortest, false, 0), Utf16Lane(shortest, false, 1),
                Utf16Lane(shortest, true, 0), Utf16Lane(shortest, true, 1)} {
        wanted[kAsciiLane] = set.ascii;
        wanted[kLeEven] = set.utf16le;
        wanted[kBeEven] = set.utf16be;
        // UTF-16 text at an odd offset, read in one byte order, is read in the other as nearly
        // the same characters one byte on. Where one byte order is looked for, both offsets are
        // read, as strings -e l and -e b read them; where both are, only even ones, so that no
        // text comes out twice.
        const bool oneOrder = set.utf16le != set.utf16be;
        wanted[kLeOdd] = set.utf16le && oneOrder;
        wanted[kBeOdd] = set.utf16be && oneOrder;
    }

    std::optional<std::uint64_t> openStart(std::size_t lane) const {
        return lane == kAsciiLane ? ascii.openRunStart() : lanes[lane - 1].openStart();
    }

    void write(ByteView bytes) {
        if (wanted[kAsciiLane]) {
            ascii.write(bytes);
        }
        for (std::size_t lane = kLeEven; lane < kLanes; ++lane) {
            if (wanted[lane]) {
                lanes[lane - 1].write(bytes, position,
                                      [this, lane](std::uint64_t a, std::uint64_t b) {
                                          closed[lane].push_back({a, b, lane});
                                      });
            }
        }
        position += bytes.size();
        release(false);
    }

    void finish() {
        if (wanted[kAsciiLane]) {
            ascii.finish();
        }
        for (std::size_t lane = kLeEven; lane < kLanes; ++lane) {
            if (wanted[lane]) {
                lanes[lane - 1].finish([this, lane](std::uint64_t a, std::uint64_t b) {
                    closed[lane].push_back({a, b, lane});
                });
            }
        }
        release(true);
    }

    // Whether a run of another lane than r's covers r, and whether that cannot be told yet.
    enum class Verdict { kShown, kCovered, kUndecided };
    Verdict verdict(const LaneRun& r, bool ended) const {
        for (std::size_t lane = 0; lane < kLanes; ++lane) {
            if (lane == r.lane || !wanted[lane]) {
                continue;
            }
            // Runs of one lane never overlap: only the last one that starts by r's start can
            // cover it.
            const std::vector<LaneRun>& runs = closed[lane];
            const auto after = std::ranges::upper_bound(runs, r.start, {}, &LaneRun::start);
            const LaneRun* candidate =
                after != runs.begin() ? &*(after - 1) : (last[lane] ? &*last[lane] : nullptr);
            if (candidate != nullptr && covers(*candidate, r)) {
                return Verdict::kCovered;
            }
            // A run still open goes on at least to where its lane has read, past r's end.
            const std::optional<std::uint64_t> open = ended ? std::nullopt : openStart(lane);
            if (open && *open <= r.start) {
                return *open < r.start || lane < r.lane ? Verdict::kCovered : Verdict::kUndecided;
            }
        }
        return Verdict::kShown;
    }

    void release(bool ended) {
        std::vector<LaneRun> batch = std::move(pending);
        pending.clear();
        for (const std::vector<LaneRun>& runs : closed) {
            batch.insert(batch.end(), runs.begin(), runs.end());
        }
        std::ranges::sort(batch, [](const LaneRun& a, const LaneRun& b) {
            return a.start != b.start ? a.start < b.start : a.lane < b.lane;
        });
        for (const LaneRun& run : batch) {
            switch (verdict(run, ended)) {
                case Verdict::kShown:
                    onRun({run.start, run.end - run.start, kLaneEncodings[run.lane]});
                    break;
                case Verdict::kCovered:
                    break;
                case Verdict::kUndecided:
                    pending.push_back(run);
                    break;
            }
        }
        for (std::size_t lane = 0; lane < kLanes; ++lane) {
            if (!closed[lane].empty()) {
                last[lane] = closed[lane].back();
                closed[lane].clear();
            }
        }
    }

    std::uint64_t shortest;
    EncodedRunCallback onRun;
    StringScanner ascii;
    Utf16Lane lanes[kLanes - 1];
    bool wanted[kLanes] = {};
    std::uint64_t position = 0;
    // The runs that ended in the piece just written, each lane's in order.
    std::vector<LaneRun> closed[kLanes];
    // Each lane's last run of the pieces before.
    std::optional<LaneRun> last[kLanes];
    // Runs not yet known to be shown or covered: one of another lane that starts where they do is
    // still open.
    std::vector<LaneRun> pending;
};

EncodedStringScanner::EncodedStringScanner(std::uint64_t minLength, EncodingSet encodings,
                                           EncodedRunCallback onRun)
    : state_(std::make_unique<State>(minLength, encodings, std::move(onRun))) {}

EncodedStringScanner::~EncodedStringScanner() = default;

void EncodedStringScanner::write(ByteView bytes) {
    state_->write(bytes);
}

void EncodedStringScanner::finish() {
    state_->finish();
}

void appendUtf16AsUtf8(ByteView bytes, bool bigEndian, std::string& text) {
    appendUtf16(text, bytes, bigEndian);
}

Result<void> writeRunText(ByteSource& source, const EncodedRun& run, const TextSink& sink) {
    constexpr std::uint64_t kPiece = 64 << 10;  // even: a piece holds whole UTF-16 units
    ByteBuffer buffer(static_cast<std::size_t>(std::min(kPiece, run.length)));
    std::string text;
    for (std::uint64_t done = 0; done < run.length;) {
        const auto length = static_cast<std::size_t>(std::min(kPiece, run.length - done));
        const std::span<std::uint8_t> into = std::span(buffer).first(length);
        Result<std::size_t> got = source.readAt(run.offset + done, into);
        if (!got) {
            return got.failure();
        }
        if (*got != length) {
            Failure failure;
            failure.kind = Failure::Kind::kChanged;
            failure.reason = "The file ended before a string it held";
            return failure;
        }
        text.clear();
        if (run.encoding == StringEncoding::kAscii) {
            text.assign(asText(into));
        } else {
            appendUtf16AsUtf8(into, run.encoding == StringEncoding::kUtf16Be, text);
        }
        sink(text);
        done += length;
    }
    return {};
}

}  // namespace tessaloom
