// Hexadecimal byte patterns, and search-and-replace of one pattern by another in a file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "failure.h"
#include "file_reader.h"
#include "find.h"
#include "types.h"

namespace tessaloom {

// Turns hex text such as "DE AD-BE:EF" into bytes. Spaces, hyphens and colons are dropped; the
// rest is read two characters at a time, each pair as the C library's strtol reads it in base 16
// (so "4G" is 0x04, and "0x", ",4" and "ZZ" are 0x00). Never fails: an odd last character is
// ignored, and fewer than two characters give an empty pattern.
ByteBuffer parseHexPattern(std::string_view text);

// Receives each occurrence: its offset in the whole data and its position in the window scanned.
using MatchCallback = std::function<void(std::uint64_t offset, std::size_t inWindow)>;

// Finds the occurrences of a pattern in data that is scanned a window at a time, each window
// beginning with the bytes that the one before held back: an occurrence may straddle any two
// windows. Overlapping occurrences are all found, or only the leftmost of each overlapping set
// (scanning resumes behind each occurrence, as a replacement needs).
class PatternScanner {
  public:
    enum class Occurrences { kOverlapping, kLeftmostApart };

    PatternScanner(ByteView pattern, Occurrences occurrences);
    PatternScanner(BytePattern pattern, Occurrences occurrences);

    // Reports every occurrence that lies wholly in window and has not been reported, and returns
    // how many of the window's bytes no later occurrence can touch. The rest, fewer than the
    // pattern's length, must begin the next window; at the end of the data they are done too.
    std::size_t scan(ByteView window, const MatchCallback& onMatch);

  private:
    BytePattern pattern_;
    Occurrences occurrences_;
    std::uint64_t windowStart_ = 0;
};

// Scans the input that a reader reads, window by window: each window is what the reader holds
// buffered, beginning with the bytes that the scanner held back from the last. A window's bytes
// may be changed where an occurrence lies, before they are done.
class WindowedScan {
  public:
    WindowedScan(FileReader& reader, ByteView pattern, PatternScanner::Occurrences occurrences);
    WindowedScan(FileReader& reader, BytePattern pattern, PatternScanner::Occurrences occurrences);

    // Reads the next window and scans it. False at the end of the input, when there is none.
    bool advance(const MatchCallback& onMatch);

    // The window last read.
    std::span<std::uint8_t> window() { return reader_.buffered(); }

    // Its bytes that no later occurrence can touch: all of them in the last window.
    std::span<std::uint8_t> done() { return window().first(doneLength_); }

  private:
    FileReader& reader_;
    PatternScanner scanner_;
    std::size_t doneLength_ = 0;
};

// Overwrites, in place, every leftmost non-overlapping occurrence of search in data with
// replacement and returns how many there were. Scanning resumes behind each replacement, so
// replaced bytes are never compared again. Does nothing when search is empty or the two patterns
// differ in length.
std::int64_t replaceAll(std::span<std::uint8_t> data, ByteView search, ByteView replacement);

// Reads inputPath a chunk at a time, overwrites every leftmost non-overlapping occurrence of
// search with replacement, also across chunks, and streams the result into outputPath, which is
// replaced only once it is whole (see OutputFile). count is set to 0 first and then holds the
// number of replacements. False, without touching outputPath, when the input is empty or cannot
// be read, search is empty or the two patterns differ in length; otherwise whether outputPath was
// written. The input and the output may be the same file.
bool searchAndReplace(const std::string& inputPath, ByteView search, ByteView replacement,
                      const std::string& outputPath, std::int64_t& count);

// The same for the input that reader reads, which it closes before the output replaces a file.
bool searchAndReplace(FileReader& reader, ByteView search, ByteView replacement,
                      const std::string& outputPath, std::int64_t& count);

// The same, for a caller that wants to know why it failed: the number of replacements, or the
// Failure: kInvalid for patterns that cannot be used or an empty input, kRead (the input's path
// and the system's reason) for an input that cannot be read, kWrite (the output's) for an output
// that cannot be written or made the target's.
Result<std::int64_t> replaceInto(FileReader& reader, ByteView search, ByteView replacement,
                                 const std::string& outputPath);

}  // namespace tessaloom
