// Extraction of the runs of printable ASCII in a file, and of UTF-16 text.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "byte_source.h"
#include "failure.h"
#include "file_reader.h"
#include "types.h"

namespace tessaloom {

// Where a run of printable bytes lies.
struct StringRun {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;

    bool operator==(const StringRun&) const = default;
};

using StringRunCallback = std::function<void(const StringRun& run)>;

// Finds the runs of at least minLength printable bytes (0x20 to 0x7E) in data that arrives in
// pieces of any size; a run may go on across any number of pieces. Only positions are kept, so
// a run of any length costs nothing. A minLength of 0 behaves as 1: a byte that is not printable
// never makes an empty run.
class StringScanner {
  public:
    StringScanner(std::uint64_t minLength, StringRunCallback onRun);

    // The next bytes of the data. Runs that end inside them are handed on at once.
    void write(ByteView bytes);

    // Hands on the run that the data ends in, if any.
    void finish();

    // Where the run that the data written so far ends in begins, if it ends in a printable byte.
    std::optional<std::uint64_t> openRunStart() const { return openRunStart_; }

  private:
    void closeRun(std::uint64_t end);

    std::uint64_t shortest_;
    StringRunCallback onRun_;
    std::uint64_t position_ = 0;
    std::optional<std::uint64_t> openRunStart_;
};

// Reads the input that reader reads, a chunk at a time, to its end and returns every run of at
// least minLength printable bytes with its offset, in order. An unreadable input gives no runs.
std::vector<FoundString> extractStrings(FileReader& reader, std::uint64_t minLength);

// The same for the file at path.
std::vector<FoundString> extractStrings(const std::string& path, std::uint64_t minLength);

// How many runs an input holds, and the first of them with their texts, exactly as they were
// scanned. Texts are kept in memory up to a bound; beyond it a file's text is read back from the
// file (and must still be the same run), and a stream's goes to an unnamed temporary file. A run
// that can no longer be shown is not kept at all, so memory stays bounded on any input.
class StringListing {
  public:
    StringListing();
    ~StringListing();
    StringListing(StringListing&&) noexcept;
    StringListing& operator=(StringListing&&) noexcept;

    std::uint64_t count() const { return count_; }
    // The first runs, in order.
    const std::vector<StringRun>& runs() const { return runs_; }
    // Hands the text of the run at index to sink, a piece at a time. Throws ReadError when it
    // cannot be read back as it was scanned (the file changed), or not read back at all.
    void writeText(std::size_t index, const TextSink& sink) const;

  private:
    friend class ListingScan;
    struct Kept;

    std::uint64_t count_ = 0;
    std::vector<StringRun> runs_;
    std::vector<Kept> kept_;
    FileReader* input_ = nullptr;
    std::unique_ptr<Spool> spool_;
};

// Reads the input that reader reads, a chunk at a time, to its end, counts all its runs of at
// least minLength printable bytes and keeps the first `shown` of them. Texts that are read back
// come from reader, which must outlive the listing.
StringListing listStrings(FileReader& reader, std::uint64_t minLength, std::size_t shown);

// The encodings that text runs are found in.
enum class StringEncoding : std::uint8_t { kAscii, kUtf16Le, kUtf16Be };

// "ascii", "utf16le", "utf16be".
std::string_view encodingName(StringEncoding encoding);

// Whether a UTF-16 code unit is a character that a UTF-16 run is made of: printable ASCII, and the
// letters of the Latin-1 supplement, Latin Extended-A and -B, Greek and Cyrillic. Ideographs and
// the rest of the plane are left out: two random bytes are one of them more often than not.
bool isPrintableUtf16(std::uint16_t unit);

// A run of text in one encoding: length is in bytes (two for each UTF-16 character).
struct EncodedRun {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    StringEncoding encoding = StringEncoding::kAscii;

    bool operator==(const EncodedRun&) const = default;
};

using EncodedRunCallback = std::function<void(const EncodedRun& run)>;

// Which encodings a scan looks for.
struct EncodingSet {
    bool ascii = true;
    bool utf16le = false;
    bool utf16be = false;
};

// Finds the runs of at least minLength characters (0 counts as 1) in each encoding asked for, in
// data that arrives in pieces of any size, and hands them on in order of offset (then ascii,
// utf16le, utf16be). UTF-16 runs are looked for at every offset where one byte order is asked
// for, and at even offsets where both are (text at an odd offset in one byte order reads as much
// the same text in the other, one byte on). A run that lies wholly inside
// the bytes of a run of another encoding is left out, the one of the earlier encoding kept where
// two take the same bytes. Only positions are kept, and only those of the runs
// that end inside one piece, so memory stays bounded whatever the data.
class EncodedStringScanner {
  public:
    EncodedStringScanner(std::uint64_t minLength, EncodingSet encodings, EncodedRunCallback onRun);
    ~EncodedStringScanner();
    EncodedStringScanner(const EncodedStringScanner&) = delete;
    EncodedStringScanner& operator=(const EncodedStringScanner&) = delete;

    void write(ByteView bytes);
    // Hands on the runs that the data ends in.
    void finish();

  private:
    struct State;
    std::unique_ptr<State> state_;
};

// Appends to text the UTF-8 of the UTF-16 code units in bytes (an odd last byte is left out).
void appendUtf16AsUtf8(ByteView bytes, bool bigEndian, std::string& text);

// Hands the text of run, read from source, to sink as UTF-8, a piece at a time. The failure where
// source cannot be read.
Result<void> writeRunText(ByteSource& source, const EncodedRun& run, const TextSink& sink);

}  // namespace tessaloom
