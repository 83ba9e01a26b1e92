// Byte patterns with wildcards, and finding them: in pieces of an input read from start to end, or
// in a range of a file read at any offset, forwards or backwards.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "byte_source.h"
#include "failure.h"
#include "types.h"

namespace tessaloom {

// What BytePattern::find returns when there is no further occurrence.
inline constexpr std::size_t kNoMatch = static_cast<std::size_t>(-1);

// A sequence of bytes in which each position may leave bits open: the byte b matches position i
// where (b & masks[i]) == values[i]. A mask of 0xFF asks for one value, 0xF0 for a high nibble
// (the pattern text 4?), 0x00 for any byte (??).
class BytePattern {
  public:
    BytePattern() = default;
    // Exactly these bytes.
    explicit BytePattern(ByteView bytes);
    // values and masks of the same length; the bits a mask leaves open are cleared in values.
    BytePattern(ByteView values, ByteView masks);

    std::size_t size() const { return values_.size(); }
    bool empty() const { return values_.empty(); }
    ByteView values() const { return values_; }
    ByteView masks() const { return masks_; }
    // Whether every position asks for one value (no wildcard).
    bool exact() const;

    // Whether the size() bytes at bytes match.
    bool matchesAt(const std::uint8_t* bytes) const {
        for (std::size_t i = 0; i < values_.size(); ++i) {
            if ((bytes[i] & masks_[i]) != values_[i]) {
                return false;
            }
        }
        return true;
    }

    // The offset of the first occurrence in data at or after from, or kNoMatch; an empty pattern
    // never occurs. memchr runs to each place of the pattern's rarest fixed byte, judged by how
    // often each byte value occurs in executables and text, so that a pattern that starts with
    // bytes that fill a whole image (00, FF) is not stopped at every byte.
    std::size_t find(ByteView data, std::size_t from) const;

    // The pattern as lower-case hex pairs separated by spaces, with ? for the open nibbles:
    // "de ad ?? 4?".
    std::string text() const;

  private:
    ByteBuffer values_;
    ByteBuffer masks_;
    std::size_t anchor_ = 0;  // the position memchr looks for; size() when none is fixed
};

// Reads PATTERN text: pairs of hex digits in either case, in groups separated by spaces, colons or
// hyphens ("DE AD", "de:ad", "dead"); ?? stands for any byte and ? for any nibble (4? is 40 to 4F,
// ?F is 0F to FF). Empty for anything else: a group with an odd digit, another character, a 0x
// prefix, or no byte at all.
std::optional<BytePattern> parseFindPattern(std::string_view text);

// The bytes of text as they are.
BytePattern textPattern(std::string_view text);

// UTF-8 text (ASCII included) as UTF-16LE; characters past U+FFFF take two units. Empty when text
// is not valid UTF-8 or is empty.
std::optional<BytePattern> utf16Pattern(std::string_view text);

enum class SearchDirection { kForward, kBackward };

// The offset of the first occurrence (kForward) or the last (kBackward) of pattern that begins in
// [begin, end) of source, read a step of bytes at a time, nearest step first, up to
// pattern.size() - 1 bytes past end; empty when there is none. Ranges that follow one another hand
// out every occurrence once, so that a caller that must stay responsive (a viewer searching a
// huge file) can search in steps of a bounded size: [a, b), then [b, c), or backwards [b, c), then
// [a, b). Fails when the source cannot be read.
Result<std::optional<std::uint64_t>> findInRange(ByteSource& source, const BytePattern& pattern,
                                                 std::uint64_t begin, std::uint64_t end,
                                                 SearchDirection direction,
                                                 std::size_t step = std::size_t{256} << 10);

}  // namespace tessaloom
