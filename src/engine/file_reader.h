// Reading an input from start to end through one reused buffer, so that a file of any size, or an
// endless stream, costs the same small amount of memory; and reading a seekable input at any
// offset.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "byte_source.h"
#include "failure.h"
#include "types.h"

namespace tessaloom {

// Large enough that the cost of a read call vanishes, small enough to stay in the cache.
inline constexpr std::size_t kDefaultChunkSize = std::size_t{256} << 10;

// What one read request of a stream gave: a count of bytes (0 at its end), or why it failed.
struct ReadResult {
    std::size_t count = 0;
    std::optional<FileError> error;
};

// An input that can only be read from start to end: a pipe, a FIFO, a character device, a file
// whose size says nothing of its content, or a test's source that fails on purpose.
class InputStream {
  public:
    virtual ~InputStream() = default;
    // Reads up to into.size() of the next bytes. Fewer than asked for do not mean the end.
    virtual ReadResult read(std::span<std::uint8_t> into) = 0;
};

// One input and the one way every operation reads it: fill the buffer, look at the bytes
// buffered, consume those that are done. Bytes not consumed stay at the front of the buffer and
// the next fill reads behind them, so that a core can hold back the start of something that goes
// on in the next chunk.
//
// A regular file or a block device is seekable, has a size and is read no further than the size
// it had when opened: one that ends sooner shrank while it was read, which is a read error.
// Anything else (a pipe, a FIFO, a character device, a file whose size says nothing of its content,
// as in /proc and /sys) is a stream, read to its end; opening a FIFO waits for its writer.
//
// A seekable input is a ByteSource too (source()), so that it is also read at any offset.
//
// An input that cannot be opened, or whose first read fails, reads as empty and says why in
// error(). A read that fails after some bytes were delivered throws ReadError: a result made of
// the bytes read so far would pass for the whole input's. failure() holds either, naming the
// input.
class FileReader {
  public:
    explicit FileReader(const std::string& path, std::size_t chunkSize = kDefaultChunkSize);
    // Reads stream, which stands for path.
    FileReader(std::string path, std::unique_ptr<InputStream> stream,
               std::size_t chunkSize = kDefaultChunkSize);
    // Reads source from start to end, as a seekable input that stands for path.
    FileReader(std::string path, std::unique_ptr<ByteSource> source,
               std::size_t chunkSize = kDefaultChunkSize);
    // The same for a source that the caller owns, which must outlive the reader.
    FileReader(std::string path, ByteSource& source, std::size_t chunkSize = kDefaultChunkSize);
    ~FileReader();
    FileReader(const FileReader&) = delete;
    FileReader& operator=(const FileReader&) = delete;

    const std::string& path() const { return path_; }
    std::size_t chunkSize() const { return chunkSize_; }
    // Why the input could not be opened or its first read failed; empty otherwise, also for an
    // empty input.
    const std::optional<FileError>& error() const { return error_; }
    // Why reading stopped short of the end: the error above, or a later read that failed.
    const std::optional<Failure>& failure() const { return failure_; }
    // The size of a seekable input when it was opened; empty for a stream.
    std::optional<std::uint64_t> size() const { return size_; }
    bool seekable() const { return size_.has_value(); }
    std::optional<FileIdentity> identity() const;
    // The seekable input read at any offset; null for a stream, and once closed.
    ByteSource* source() { return source_; }

    // Reads up to one chunk behind the bytes not yet consumed, and returns whether any came:
    // false at the end of the input (or of the window set by stopAt).
    bool fill();
    // The bytes read and not yet consumed. They may be changed in place.
    std::span<std::uint8_t> buffered() { return std::span(buffer_).subspan(start_, end_ - start_); }
    // Where the first buffered byte lies in the input.
    std::uint64_t position() const { return readPosition_ - (end_ - start_); }
    // Marks the first count buffered bytes as done.
    void consume(std::size_t count) { start_ += count; }

    // Moves on to position, dropping what lies before it: a seekable input seeks, a stream is read
    // up to it. Never moves back.
    void skipTo(std::uint64_t position);
    // Reads nothing at or past end, and forgets what was read past it: the end of a window.
    void stopAt(std::uint64_t end);

    // Copies the bytes of a seekable input from offset on into `into` and returns how many there
    // were: fewer only at the end of the input. Leaves the buffer and position as they are. Throws
    // ReadError when they cannot be read, and std::logic_error on a stream.
    std::size_t readAt(std::uint64_t offset, std::span<std::uint8_t> into);

    // Closes the input; it then reads as ended. A file that is to be replaced must be closed
    // first where an open file cannot be replaced (Windows).
    void close();

    // Called after every read with the bytes read so far and how many there are to read, when
    // known; counted from where reading began, so a window's progress is its own.
    void onProgress(ProgressCallback callback) { progress_ = std::move(callback); }

  private:
    ReadResult readSome(std::span<std::uint8_t> into);
    void fail(const FileError& error);

    std::string path_;
    std::size_t chunkSize_;
    std::unique_ptr<ByteSource> ownedSource_;
    ByteSource* source_ = nullptr;
    std::unique_ptr<InputStream> stream_;
    std::optional<FileError> error_;
    std::optional<Failure> failure_;
    std::optional<std::uint64_t> size_;
    ByteBuffer buffer_;
    std::size_t start_ = 0;  // first byte not consumed
    std::size_t end_ = 0;    // end of the bytes read
    std::uint64_t readPosition_ = 0;
    std::uint64_t limit_ = UINT64_MAX;
    std::optional<std::uint64_t> firstRead_;
    bool ended_ = false;
    bool delivered_ = false;
    bool unseen_ = false;  // buffered bytes that skipTo read and no fill has handed out
    ProgressCallback progress_;
};

// Hands every piece of what is left of the input to onBytes, in order, consuming each.
template <typename OnBytes>
void forEachChunk(FileReader& reader, OnBytes&& onBytes) {
    while (reader.fill()) {
        const std::span<std::uint8_t> bytes = reader.buffered();
        onBytes(ByteView(bytes));
        reader.consume(bytes.size());
    }
}

// A stream copied aside into an unnamed temporary file, so that it can be read again at any
// offset: the bytes of strings that a report shows later, or a stream whose structure points
// backwards. It leaves nothing on disk, however the program ends, where the system allows. As a
// source it holds what was written so far.
class Spool : public ByteSource {
  public:
    // path names what is copied, in failures.
    explicit Spool(std::string path = {});
    ~Spool() override;
    Spool(const Spool&) = delete;
    Spool& operator=(const Spool&) = delete;

    // Why the temporary file could not be made or written; nothing is kept after that.
    const std::optional<FileError>& error() const { return error_; }
    std::uint64_t size() const override { return size_; }
    Result<std::size_t> readAt(std::uint64_t offset, std::span<std::uint8_t> into) override;
    // Appends bytes; false, with error() set, when they could not be written.
    bool write(ByteView bytes);

  private:
    class File;
    std::string path_;
    std::unique_ptr<File> file_;
    std::optional<FileError> error_;
    std::uint64_t size_ = 0;
};

// How many bytes of a stream are kept aside at most, unless told otherwise: a stream that never
// ends (/dev/urandom, a pipe left open) must not fill the temporary folder's file system.
inline constexpr std::uint64_t kStreamCopyLimit = std::uint64_t{1} << 30;

// Copies what is left of reader's stream into a Spool, up to limit bytes. Throws ReadError when
// it is longer (kind kMemory) or the copy cannot be written.
std::unique_ptr<Spool> spoolStream(FileReader& reader, std::uint64_t limit);

}  // namespace tessaloom
