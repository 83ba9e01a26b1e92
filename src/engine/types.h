// The byte buffer and the plain result records shared by every engine operation.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "failure.h"

namespace tessaloom {

// Stands for a byte that is about to be overwritten: a ByteBuffer element made from it is left
// unwritten. Only loadFile makes such elements, for the bytes that its read then fills.
struct UnsetByte {};

// Allocates as std::allocator does and makes elements as it does (ByteBuffer(n) and resize(n)
// give zeros), except that an element made from an UnsetByte is not written at all: a file's
// bytes go straight into their buffer without a pass that zeroes it first.
template <typename T>
struct ByteAllocator : std::allocator<T> {
    using value_type = T;
    template <typename U>
    struct rebind {
        using other = ByteAllocator<U>;
    };

    ByteAllocator() noexcept = default;
    template <typename U>
    ByteAllocator(const ByteAllocator<U>&) noexcept {}

    template <typename U, typename... Args>
    void construct(U* place, Args&&... args) {
        std::construct_at(place, std::forward<Args>(args)...);
    }
    template <typename U>
    void construct(U* place, UnsetByte) noexcept {
        ::new (static_cast<void*>(place)) U;
    }
};

template <typename T, typename U>
bool operator==(const ByteAllocator<T>&, const ByteAllocator<U>&) noexcept {
    return true;
}

// A whole file's bytes, or a byte pattern.
using ByteBuffer = std::vector<std::uint8_t, ByteAllocator<std::uint8_t>>;

// Read-only view of bytes that some caller owns; the engine's operations work on these.
using ByteView = std::span<const std::uint8_t>;

// How far the reading of an input has got: the bytes read so far, and the input's size where it
// is known (not on a stream).
struct ScanProgress {
    std::uint64_t done = 0;
    std::optional<std::uint64_t> total;
};

// Receives text in pieces, in order.
using TextSink = std::function<void(std::string_view)>;

// Told how far a scan has got, after every chunk it reads.
using ProgressCallback = std::function<void(const ScanProgress&)>;

// Why a file could not be opened, read or written, in the system's own words.
struct FileError {
    int code = 0;        // the system's error number (errno; on Windows its equivalent)
    std::string reason;  // "No such file or directory"

    bool operator==(const FileError&) const = default;
};

// What tells one file apart from every other, and its size and time of last change when opened:
// enough to see that a path names the same file as another, and that the file has changed since.
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t file = 0;
    std::uint64_t size = 0;
    std::int64_t modified = 0;  // in the system's own units
    // When the file itself last changed (its bytes, size, name or times), in the system's own
    // units: a program can set the modification time back, but not this.
    std::int64_t changed = 0;

    bool sameFile(const FileIdentity& other) const {
        return device == other.device && file == other.file;
    }
    bool operator==(const FileIdentity&) const = default;
};

// An input whose reading failed part way, after some of its bytes were used: a result made of
// those bytes alone would pass for the whole input's. It carries the Failure, which names the
// input and the reason.
class ReadError : public std::runtime_error {
  public:
    explicit ReadError(Failure failure)
        : std::runtime_error("Cannot read " + failure.path + ": " + failure.reason),
          failure_(std::move(failure)) {}
    ReadError(const std::string& path, const std::string& reason)
        : ReadError(Failure{Failure::Kind::kRead, path, reason, 0, {}}) {}

    const Failure& failure() const { return failure_; }
    const std::string& path() const { return failure_.path; }
    const std::string& reason() const { return failure_.reason; }

  private:
    Failure failure_;
};

// One labelled row of a file's structure; offset and size give the bytes it was read from.
struct HeaderField {
    std::string label;
    std::string value;
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
};

// Everything the entropy analysis learns about one file.
struct AnalysisReport {
    std::string path;
    std::uint64_t fileSize = 0;
    double entropy = 0.0;
    std::string typeName;
    std::vector<HeaderField> headers;
    std::vector<double> blockEntropies;
};

// One position at which two files differ; also one change of a patch list.
struct DiffEntry {
    std::uint64_t offset = 0;
    std::uint8_t byteA = 0;
    std::uint8_t byteB = 0;

    bool operator==(const DiffEntry&) const = default;
};

// One run of printable bytes and where it starts.
struct FoundString {
    std::uint64_t offset = 0;
    std::string text;

    bool operator==(const FoundString&) const = default;
};

// Positions in a file are signed 64-bit numbers on every platform: no file is longer than this.
inline constexpr std::uint64_t kMaxFileLength = 0x7FFFFFFFFFFFFFFF;

// The characters that may separate the byte pairs of hex text: space, hyphen and colon.
constexpr bool isHexSeparator(char c) {
    return c == ' ' || c == '-' || c == ':';
}

// Printable ASCII, the space included: what the dump sidebar shows and what strings are made of.
constexpr bool isPrintableAscii(std::uint8_t byte) {
    return byte >= 0x20 && byte <= 0x7E;
}

// White space as the C library's number conversions skip it: space, tab, newline, vertical tab,
// form feed and carriage return.
constexpr bool isConversionSpace(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// The value of c as a digit of those conversions: 0-9, then a-z or A-Z for 10-35; -1 otherwise.
constexpr int conversionDigitValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'z') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'Z') {
        return c - 'A' + 10;
    }
    return -1;
}

// The same test on the eight bytes of a word at once: the high bit of each byte of the result is
// set where that byte of eightBytes is printable, and every other bit is clear. No addition
// carries from one byte into the next, so the result does not depend on the byte order.
constexpr std::uint64_t printableHighBits(std::uint64_t eightBytes) {
    constexpr std::uint64_t kOnes = 0x0101010101010101u;
    constexpr std::uint64_t kHigh = 0x8080808080808080u;
    const std::uint64_t low = eightBytes & ~kHigh;
    const std::uint64_t atLeast0x20 = low + (0x80 - 0x20) * kOnes;
    const std::uint64_t below0x7F = ~(low + kOnes);
    return atLeast0x20 & below0x7F & ~eightBytes & kHigh;
}

}  // namespace tessaloom
