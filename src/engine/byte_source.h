// Bytes read at any offset: the one interface through which a file, a spooled stream, bytes in
// memory, a window of another source and the viewer's edited document are read, and the one page
// cache that makes many small reads of any of them cheap.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "failure.h"
#include "types.h"

namespace tessaloom {

class ByteSource {
  public:
    virtual ~ByteSource() = default;

    // How many bytes there are; fixed for the life of the source.
    virtual std::uint64_t size() const = 0;

    // Copies the bytes from offset on into `into` and returns how many there were: all asked for,
    // or fewer only where the source ends (none at or past its end). A failure names the source
    // and says why.
    virtual Result<std::size_t> readAt(std::uint64_t offset, std::span<std::uint8_t> into) = 0;

    // What tells the file behind the source apart from others and shows that it changed, where
    // there is a file.
    virtual std::optional<FileIdentity> identity() const { return std::nullopt; }

    // Whether length bytes from offset lie inside the source; never overflows.
    bool holds(std::uint64_t offset, std::uint64_t length) const {
        return offset <= size() && length <= size() - offset;
    }
};

// Reads all of into's bytes from offset on: the failure where they cannot be read, or where the
// source ends before them although they lay inside it (a file that shrank while it was read).
Result<void> readExactly(ByteSource& source, std::uint64_t offset, std::span<std::uint8_t> into);

// Bytes in memory that the caller owns; reading them never fails.
class SpanSource : public ByteSource {
  public:
    explicit SpanSource(ByteView bytes) : bytes_(bytes) {}
    std::uint64_t size() const override { return bytes_.size(); }
    Result<std::size_t> readAt(std::uint64_t offset, std::span<std::uint8_t> into) override;

  private:
    ByteView bytes_;
};

// length bytes of another source from offset on, read as if they were a source of their own that
// starts at 0: an object found inside a firmware image is decoded as if it were a file. The window
// ends where the source does.
class SourceWindow : public ByteSource {
  public:
    SourceWindow(ByteSource& source, std::uint64_t offset, std::uint64_t length);
    std::uint64_t size() const override { return length_; }
    Result<std::size_t> readAt(std::uint64_t offset, std::span<std::uint8_t> into) override;
    std::optional<FileIdentity> identity() const override { return source_.identity(); }

    // Where the window starts in the source.
    std::uint64_t start() const { return offset_; }

  private:
    ByteSource& source_;
    std::uint64_t offset_;
    std::uint64_t length_;
};

// Another source read through a few pages kept in memory, the least recently used given up first:
// a decoder reads a header here and a name there, the viewer a screen of rows in both files, and
// each page costs one read of the source. A read of a page or more goes straight to the source.
// A page that cannot be read is not kept, so the read fails again, with its reason, when retried.
class CachedSource : public ByteSource {
  public:
    static constexpr std::size_t kDefaultPageSize = std::size_t{64} << 10;
    static constexpr std::size_t kDefaultPages = 16;

    explicit CachedSource(ByteSource& source, std::size_t pageSize = kDefaultPageSize,
                          std::size_t pages = kDefaultPages);

    std::uint64_t size() const override { return source_.size(); }
    Result<std::size_t> readAt(std::uint64_t offset, std::span<std::uint8_t> into) override;
    std::optional<FileIdentity> identity() const override { return source_.identity(); }

    // The byte at offset, which must lie inside the source.
    Result<std::uint8_t> at(std::uint64_t offset);

    // Forgets every page: the source's bytes are to be read again.
    void forget();

  private:
    struct Page {
        std::uint64_t number = UINT64_MAX;
        std::uint64_t lastUse = 0;
        std::size_t length = 0;
        ByteBuffer bytes;
    };
    Result<const Page*> page(std::uint64_t number);

    ByteSource& source_;
    std::size_t pageSize_;
    std::vector<Page> pages_;
    ByteBuffer spare_;
    std::uint64_t uses_ = 0;
};

}  // namespace tessaloom
