// Extraction of the runs of printable ASCII in a file.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "types.h"

namespace tessaloom {

class FileReader;

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

// Receives one run: the offset of its first byte and its text, a view into the scanned data that
// is valid only as long as that data is.
using StringRunSink = std::function<void(std::uint64_t offset, std::string_view text)>;

// Hands every run of at least minLength printable bytes (0x20 to 0x7E) of data to onRun, in
// order. A minLength of 0 behaves as 1: a byte that is not printable never makes an empty run.
void scanStrings(ByteView data, std::uint64_t minLength, const StringRunSink& onRun);

// Every run that scanStrings finds, copied into records.
std::vector<FoundString> extractStrings(ByteView data, std::uint64_t minLength);

// Reads the input that reader reads, a chunk at a time, to its end and returns every run of at
// least minLength printable bytes with its offset, in order. An unreadable input gives no runs.
std::vector<FoundString> extractStrings(FileReader& reader, std::uint64_t minLength);

// The same for the file at path.
std::vector<FoundString> extractStrings(const std::string& path, std::uint64_t minLength,
                                        const ProgressCallback& progress = {});

// One of the first runs of a listing. Its text is held only when the input cannot be read again
// (a stream); a file's runs are read back from it when they are shown, so that a run of
// gigabytes costs no memory.
struct ListedString {
    StringRun run;
    std::optional<std::string> text;
};

// How many runs an input holds, and the first of them.
struct StringListing {
    std::uint64_t count = 0;
    std::vector<ListedString> first;
};

// Reads the input that reader reads, a chunk at a time, to its end, counts all its runs of at
// least minLength printable bytes and keeps the first `shown` of them.
StringListing listStrings(FileReader& reader, std::uint64_t minLength, std::size_t shown);

// The same for the file at path.
StringListing listStrings(const std::string& path, std::uint64_t minLength, std::size_t shown,
                          const ProgressCallback& progress = {});

}  // namespace tessaloom
