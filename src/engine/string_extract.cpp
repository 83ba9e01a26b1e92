#include "string_extract.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "file_io.h"

namespace tessaloom {

namespace {

constexpr std::size_t kChunk = 64;
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
    const std::size_t count = std::min(kChunk, data.size() - from);
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
// (the bits of the following chunk) past the top.
std::uint64_t followedBySetBits(std::uint64_t bits, std::uint64_t next, std::uint64_t count) {
    std::uint64_t result = bits;
    for (std::uint64_t k = 1; k < count; ++k) {
        result &= (bits >> k) | (next << (kChunk - k));
    }
    return result;
}

}  // namespace

// The scan goes through the data 64 bytes at a time, with a bit per byte that says whether it is
// printable. Only the runs whose first bytes are printable far enough to matter are looked at
// one by one, so data in which short runs abound (compressed or random bytes) costs little more
// than data without any.
void scanStrings(ByteView data, std::uint64_t minLength, const StringRunSink& onRun) {
    const std::uint64_t shortest = std::max<std::uint64_t>(minLength, 1);
    const std::uint64_t lookahead = std::min(shortest, kLookahead);
    std::uint64_t bits = printableBits(data, 0);
    for (std::size_t chunk = 0; chunk < data.size();) {
        const std::uint64_t next = printableBits(data, chunk + kChunk);
        const std::uint64_t before = chunk > 0 && isPrintableAscii(data[chunk - 1]) ? 1 : 0;
        const std::uint64_t starts = bits & ~((bits << 1) | before);
        std::uint64_t candidates = starts & followedBySetBits(bits, next, lookahead);
        std::size_t resume = chunk + kChunk;
        while (candidates != 0) {
            const std::size_t start =
                chunk + static_cast<std::size_t>(std::countr_zero(candidates));
            candidates &= candidates - 1;
            const std::size_t end = runEnd(data, start + static_cast<std::size_t>(lookahead));
            if (end - start >= shortest) {
                onRun(start, {reinterpret_cast<const char*>(data.data() + start), end - start});
            }
            if (end >= chunk + kChunk) {
                // The run goes on past this chunk: carry on in the chunk where it ends. No run
                // starts in that chunk before the run's end.
                resume = end / kChunk * kChunk;
                break;
            }
        }
        bits = resume == chunk + kChunk ? next : printableBits(data, resume);
        chunk = resume;
    }
}

std::vector<FoundString> extractStrings(ByteView data, std::uint64_t minLength) {
    std::vector<FoundString> found;
    scanStrings(data, minLength, [&found](std::uint64_t offset, std::string_view text) {
        found.push_back({offset, std::string(text)});
    });
    return found;
}

std::vector<FoundString> extractStrings(const std::string& path, std::uint64_t minLength) {
    return extractStrings(loadFile(path), minLength);
}

}  // namespace tessaloom
