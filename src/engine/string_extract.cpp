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

// Gives every run of data that arrives in pieces with its text, as long as texts are wanted: the
// bytes of a run that goes on past a piece are kept until it ends.
class TextScan {
  public:
    // text is null once no more texts are wanted.
    using Callback = std::function<void(const StringRun& run, std::string* text)>;

    TextScan(std::uint64_t minLength, std::uint64_t textsWanted, Callback onRun)
        : scanner_(minLength, [this](const StringRun& run) { found(run); }),
          textsWanted_(textsWanted),
          onRun_(std::move(onRun)) {}

    void write(ByteView bytes) {
        piece_ = bytes;
        scanner_.write(bytes);
        const std::optional<std::uint64_t> open = scanner_.openRunStart();
        if (textsWanted_ == 0 || !open) {
            pending_.clear();
        } else if (*open < position_) {
            pending_.append(asText(bytes));
        } else {
            pending_.assign(asText(bytes.subspan(static_cast<std::size_t>(*open - position_))));
        }
        position_ += bytes.size();
        piece_ = {};
    }

    void finish() { scanner_.finish(); }

  private:
    static std::string_view asText(ByteView bytes) {
        return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
    }

    // The run's bytes before the current piece are pending; the rest lie in the piece.
    void found(const StringRun& run) {
        if (textsWanted_ == 0) {
            onRun_(run, nullptr);
            return;
        }
        --textsWanted_;
        std::string text = run.offset < position_ ? std::move(pending_) : std::string();
        const std::uint64_t from = std::max(run.offset, position_) - position_;
        const std::uint64_t to = run.offset + run.length - position_;
        text.append(asText(
            piece_.subspan(static_cast<std::size_t>(from), static_cast<std::size_t>(to - from))));
        onRun_(run, &text);
    }

    StringScanner scanner_;
    std::uint64_t textsWanted_;
    Callback onRun_;
    std::uint64_t position_ = 0;
    ByteView piece_;
    std::string pending_;
};

}  // namespace

void scanStrings(ByteView data, std::uint64_t minLength, const StringRunSink& onRun) {
    StringScanner scanner(minLength, [&](const StringRun& run) {
        onRun(run.offset, {reinterpret_cast<const char*>(data.data() + run.offset),
                           static_cast<std::size_t>(run.length)});
    });
    scanner.write(data);
    scanner.finish();
}

std::vector<FoundString> extractStrings(ByteView data, std::uint64_t minLength) {
    std::vector<FoundString> found;
    scanStrings(data, minLength, [&found](std::uint64_t offset, std::string_view text) {
        found.push_back({offset, std::string(text)});
    });
    return found;
}

std::vector<FoundString> extractStrings(FileReader& reader, std::uint64_t minLength) {
    std::vector<FoundString> found;
    TextScan scan(minLength, UINT64_MAX, [&found](const StringRun& run, std::string* text) {
        found.push_back({run.offset, std::move(*text)});
    });
    forEachChunk(reader, [&scan](ByteView chunk) { scan.write(chunk); });
    scan.finish();
    return found;
}

std::vector<FoundString> extractStrings(const std::string& path, std::uint64_t minLength,
                                        const ProgressCallback& progress) {
    FileReader reader(path);
    reader.onProgress(progress);
    return extractStrings(reader, minLength);
}

StringListing listStrings(FileReader& reader, std::uint64_t minLength, std::size_t shown) {
    StringListing listing;
    // A file can be read again for the texts; a stream cannot, so it keeps them as they pass.
    TextScan scan(
        minLength, reader.seekable() ? 0 : shown,
        [&listing, shown](const StringRun& run, std::string* text) {
            ++listing.count;
            if (listing.first.size() < shown) {
                listing.first.push_back(
                    {run, text != nullptr ? std::optional(std::move(*text)) : std::nullopt});
            }
        });
    forEachChunk(reader, [&scan](ByteView chunk) { scan.write(chunk); });
    scan.finish();
    return listing;
}

StringListing listStrings(const std::string& path, std::uint64_t minLength, std::size_t shown,
                          const ProgressCallback& progress) {
    FileReader reader(path);
    reader.onProgress(progress);
    return listStrings(reader, minLength, shown);
}

}  // namespace tessaloom
