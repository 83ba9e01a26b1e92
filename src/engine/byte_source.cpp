#include "byte_source.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace tessaloom {

Result<void> readExactly(ByteSource& source, std::uint64_t offset, std::span<std::uint8_t> into) {
    const Result<std::size_t> got = source.readAt(offset, into);
    if (!got) {
        return got.failure();
    }
    if (*got != into.size()) {
        return Failure{Failure::Kind::kChanged,
                       "",
                       "The file ended before its size; it shrank while it was read",
                       0,
                       {}};
    }
    return {};
}

Result<std::size_t> SpanSource::readAt(std::uint64_t offset, std::span<std::uint8_t> into) {
    // An empty span may have no storage at all, which memcpy must not be given.
    if (offset >= bytes_.size() || into.empty()) {
        return std::size_t{0};
    }
    const auto count =
        static_cast<std::size_t>(std::min<std::uint64_t>(into.size(), bytes_.size() - offset));
    std::memcpy(into.data(), bytes_.data() + offset, count);
    return count;
}

SourceWindow::SourceWindow(ByteSource& source, std::uint64_t offset, std::uint64_t length)
    : source_(source),
      offset_(std::min(offset, source.size())),
      length_(std::min(length, source.size() - offset_)) {}

Result<std::size_t> SourceWindow::readAt(std::uint64_t offset, std::span<std::uint8_t> into) {
    if (offset >= length_) {
        return std::size_t{0};
    }
    const auto count =
        static_cast<std::size_t>(std::min<std::uint64_t>(into.size(), length_ - offset));
    return source_.readAt(offset_ + offset, into.first(count));
}

CachedSource::CachedSource(ByteSource& source, std::size_t pageSize, std::size_t pages)
    : source_(source),
      pageSize_(std::max<std::size_t>(pageSize, 1)),
      pages_(std::max<std::size_t>(pages, 1)) {}

void CachedSource::forget() {
    for (Page& page : pages_) {
        page.number = UINT64_MAX;
        page.length = 0;
    }
}

Result<const CachedSource::Page*> CachedSource::page(std::uint64_t number) {
    ++uses_;
    Page* oldest = &pages_.front();
    for (Page& page : pages_) {
        if (page.number == number) {
            page.lastUse = uses_;
            return &page;
        }
        if (page.lastUse < oldest->lastUse) {
            oldest = &page;
        }
    }
    // Read aside first: a page that cannot be read costs no page that could.
    spare_.resize(pageSize_);
    Result<std::size_t> read = source_.readAt(number * pageSize_, spare_);
    if (!read) {
        return read.failure();
    }
    std::swap(oldest->bytes, spare_);
    oldest->length = *read;
    oldest->number = number;
    oldest->lastUse = uses_;
    return oldest;
}

Result<std::size_t> CachedSource::readAt(std::uint64_t offset, std::span<std::uint8_t> into) {
    const std::uint64_t size = source_.size();
    if (offset >= size) {
        return std::size_t{0};
    }
    into =
        into.first(static_cast<std::size_t>(std::min<std::uint64_t>(into.size(), size - offset)));
    if (into.size() >= pageSize_) {
        return source_.readAt(offset, into);
    }
    std::size_t done = 0;
    while (done < into.size()) {
        const std::uint64_t at = offset + done;
        Result<const Page*> cached = page(at / pageSize_);
        if (!cached) {
            return cached.failure();
        }
        const Page& found = **cached;
        const auto within = static_cast<std::size_t>(at % pageSize_);
        if (found.length <= within) {
            break;
        }
        const std::size_t count = std::min(into.size() - done, found.length - within);
        std::memcpy(into.data() + done, found.bytes.data() + within, count);
        done += count;
    }
    return done;
}

Result<std::uint8_t> CachedSource::at(std::uint64_t offset) {
    std::uint8_t byte = 0;
    Result<std::size_t> read = readAt(offset, std::span(&byte, 1));
    if (!read) {
        return read.failure();
    }
    if (*read == 0) {
        return Failure{Failure::Kind::kRead, {}, "The offset lies past the end", 0, {}};
    }
    return byte;
}

}  // namespace tessaloom
