// Reading an input from start to end a chunk at a time, through one reused buffer, so that a file
// of any size, or an endless stream, costs the same small amount of memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "types.h"

namespace tessaloom {

// Large enough that the cost of a read call vanishes, small enough to stay in the cache.
inline constexpr std::size_t kDefaultChunkSize = std::size_t{256} << 10;

// One input, read in order. A regular file or a block device is seekable and has a size. Anything
// else that opens (a pipe, a FIFO, a character device such as /dev/zero) is a stream, read to its
// end; opening a FIFO waits for its writer. A directory, and a name that cannot be opened, read as
// empty. Positions are 64-bit everywhere; no request is larger than the chunk size.
//
// A read that fails before any byte was delivered ends the input, so an unreadable file reads as
// empty. One that fails later throws ReadError: the bytes already used would otherwise be taken
// for the whole input.
class FileReader {
  public:
    explicit FileReader(const std::string& path, std::size_t chunkSize = kDefaultChunkSize);
    ~FileReader();
    FileReader(const FileReader&) = delete;
    FileReader& operator=(const FileReader&) = delete;

    const std::string& path() const { return path_; }
    std::size_t chunkSize() const { return chunkSize_; }
    // The size of a seekable input when it was opened; empty for a stream.
    std::optional<std::uint64_t> size() const { return size_; }
    bool seekable() const { return size_.has_value(); }
    // Where the next read starts, in bytes from the start of the input.
    std::uint64_t position() const { return position_; }

    // Moves on to position: seeks in a seekable input, reads and drops the bytes before it in a
    // stream, which then stops at its end. Never moves back.
    void skipTo(std::uint64_t position);

    // Fills into from the position on, a chunk at a time; fewer bytes only at the end of the
    // input. Returns how many it read.
    std::size_t read(std::span<std::uint8_t> into);

    // The next bytes, at most the chunk size and at most limit, in the reader's own buffer, which
    // the next call reuses. Empty at the end of the input.
    ByteView next(std::uint64_t limit = UINT64_MAX);

    // Closes the input; it then reads as ended. A file that is to be replaced must be closed
    // first where an open file cannot be replaced (Windows).
    void close();

    // Called after every read with the bytes read so far and the size, when known.
    void onProgress(ProgressCallback callback) { progress_ = std::move(callback); }

  private:
    std::size_t readOnce(std::span<std::uint8_t> into);

    std::string path_;
    std::size_t chunkSize_;
    std::FILE* file_ = nullptr;
    std::optional<std::uint64_t> size_;
    std::uint64_t position_ = 0;
    bool ended_ = false;
    bool delivered_ = false;
    ByteBuffer buffer_;
    ProgressCallback progress_;
};

// Hands every chunk of what is left of the input to onChunk, in order.
template <typename OnChunk>
void forEachChunk(FileReader& reader, OnChunk&& onChunk) {
    for (ByteView chunk = reader.next(); !chunk.empty(); chunk = reader.next()) {
        onChunk(chunk);
    }
}

// Hands up to length bytes of the input from offset on to onChunk, a chunk at a time, and returns
// how many there were: fewer when the input ends first.
template <typename OnChunk>
std::uint64_t forEachChunkIn(FileReader& reader, std::uint64_t offset, std::uint64_t length,
                             OnChunk&& onChunk) {
    reader.skipTo(offset);
    std::uint64_t left = length;
    for (ByteView chunk = reader.next(left); !chunk.empty(); chunk = reader.next(left)) {
        onChunk(chunk);
        left -= chunk.size();
    }
    return length - left;
}

// Hands up to length bytes of the file at path, from offset on, to onChunk a chunk at a time;
// fewer when the file ends first.
void readRange(const std::string& path, std::uint64_t offset, std::uint64_t length,
               const std::function<void(ByteView chunk)>& onChunk);

}  // namespace tessaloom
