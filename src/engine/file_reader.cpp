#include "file_reader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "platform/input.h"

namespace tessaloom {

namespace {

constexpr int kShrankCode = EIO;
constexpr std::size_t kAlignment = 64;
constexpr const char* kShrank = "The file ended before its size; it shrank while it was read";

}  // namespace

FileReader::FileReader(const std::string& path, std::size_t chunkSize)
    : path_(path), chunkSize_(std::max<std::size_t>(chunkSize, 1)) {
    platform::OpenedInput opened = platform::openInput(path);
    if (opened.error) {
        fail(*opened.error);
        ended_ = true;
        return;
    }
    ownedSource_ = std::move(opened.file);
    source_ = ownedSource_.get();
    stream_ = std::move(opened.stream);
    if (source_ != nullptr) {
        size_ = limit_ = source_->size();
    }
}

FileReader::FileReader(std::string path, std::unique_ptr<InputStream> stream, std::size_t chunkSize)
    : path_(std::move(path)),
      chunkSize_(std::max<std::size_t>(chunkSize, 1)),
      stream_(std::move(stream)) {}

FileReader::FileReader(std::string path, std::unique_ptr<ByteSource> source, std::size_t chunkSize)
    : path_(std::move(path)),
      chunkSize_(std::max<std::size_t>(chunkSize, 1)),
      ownedSource_(std::move(source)),
      source_(ownedSource_.get()),
      size_(source_->size()),
      limit_(*size_) {}

FileReader::FileReader(std::string path, ByteSource& source, std::size_t chunkSize)
    : path_(std::move(path)),
      chunkSize_(std::max<std::size_t>(chunkSize, 1)),
      source_(&source),
      size_(source.size()),
      limit_(*size_) {}

FileReader::~FileReader() = default;

std::optional<FileIdentity> FileReader::identity() const {
    return source_ != nullptr ? source_->identity() : std::nullopt;
}

void FileReader::close() {
    source_ = nullptr;
    ownedSource_.reset();
    stream_.reset();
    ended_ = true;
}

void FileReader::fail(const FileError& error) {
    if (!delivered_) {
        error_ = error;
    }
    failure_ = Failure{Failure::Kind::kRead, path_, error.reason, error.code, {}};
}

// One request to the input. A failure of the very first one is the input's error; any later one
// throws, and so does a seekable input that ends before its size.
ReadResult FileReader::readSome(std::span<std::uint8_t> into) {
    ReadResult result;
    if (source_ != nullptr) {
        Result<std::size_t> read = source_->readAt(readPosition_, into);
        if (read) {
            result.count = *read;
        } else {
            result.error = FileError{read.failure().code, read.failure().reason};
        }
    } else if (stream_) {
        result = stream_->read(into);
    }
    if (!result.error && result.count == 0 && size_ && readPosition_ < *size_) {
        result.error = FileError{kShrankCode, kShrank};
    }
    if (result.error) {
        fail(*result.error);
        if (!delivered_) {
            ended_ = true;
            return {};
        }
        throw ReadError(path_, result.error->reason);
    }
    return result;
}

bool FileReader::fill() {
    if (std::exchange(unseen_, false) && start_ < end_) {
        return true;
    }
    if (ended_) {
        return false;
    }
    // The bytes not consumed move to the front; the new ones go behind them, at an address that
    // is a multiple of 64: the system copies into such memory several times faster than just
    // behind a few bytes held back.
    const std::size_t kept = end_ - start_;
    const std::size_t room = kAlignment + (kept + kAlignment - 1) / kAlignment * kAlignment;
    if (buffer_.size() < room + chunkSize_) {
        buffer_.resize(room + chunkSize_);
    }
    const auto address = reinterpret_cast<std::uintptr_t>(buffer_.data());
    const std::size_t newEnd = room - kAlignment + (kAlignment - address % kAlignment) % kAlignment;
    if (start_ != newEnd - kept) {
        std::memmove(buffer_.data() + newEnd - kept, buffer_.data() + start_, kept);
        start_ = newEnd - kept;
        end_ = newEnd;
    }
    const std::uint64_t left = limit_ > readPosition_ ? limit_ - readPosition_ : 0;
    const auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(chunkSize_, left));
    if (wanted == 0) {
        ended_ = true;
        return false;
    }
    if (!firstRead_) {
        firstRead_ = readPosition_;
    }
    const ReadResult result = readSome(std::span(buffer_).subspan(end_, wanted));
    if (result.count == 0) {
        ended_ = true;
        return false;
    }
    delivered_ = true;
    end_ += result.count;
    readPosition_ += result.count;
    if (progress_) {
        const std::uint64_t last = size_ ? std::min(limit_, *size_) : limit_;
        progress_({readPosition_ - *firstRead_,
                   last != UINT64_MAX ? std::optional(last - *firstRead_) : std::nullopt});
    }
    return true;
}

void FileReader::skipTo(std::uint64_t target) {
    if (target <= position()) {
        return;
    }
    if (target <= readPosition_) {
        consume(static_cast<std::size_t>(target - position()));
        return;
    }
    start_ = end_;
    if (seekable()) {
        readPosition_ = target;
        return;
    }
    while (readPosition_ < target && fill()) {
        const std::uint64_t inBuffer = end_ - start_;
        const std::uint64_t beyond = readPosition_ > target ? readPosition_ - target : 0;
        consume(static_cast<std::size_t>(inBuffer - beyond));
    }
    unseen_ = start_ < end_;
}

void FileReader::stopAt(std::uint64_t end) {
    limit_ = std::min(limit_, end);
    if (readPosition_ > limit_) {
        const std::uint64_t past = std::min<std::uint64_t>(readPosition_ - limit_, end_ - start_);
        end_ -= static_cast<std::size_t>(past);
        readPosition_ -= past;
    }
}

std::size_t FileReader::readAt(std::uint64_t offset, std::span<std::uint8_t> into) {
    if (!seekable()) {
        throw std::logic_error("readAt on a stream");
    }
    if (source_ == nullptr) {
        return 0;
    }
    Result<std::size_t> read = source_->readAt(offset, into);
    if (!read) {
        throw ReadError(path_, read.failure().reason);
    }
    return *read;
}

// The spool's file.
class Spool::File : public platform::ScratchFile {};

Spool::Spool(std::string path) : path_(std::move(path)), file_(std::make_unique<File>()) {
    error_ = file_->error();
}

Spool::~Spool() = default;

bool Spool::write(ByteView bytes) {
    if (error_) {
        return false;
    }
    if (std::optional<FileError> failed = file_->write(size_, bytes)) {
        error_ = std::move(failed);
        return false;
    }
    size_ += bytes.size();
    return true;
}

Result<std::size_t> Spool::readAt(std::uint64_t offset, std::span<std::uint8_t> into) {
    if (offset >= size_) {
        return std::size_t{0};
    }
    into =
        into.first(static_cast<std::size_t>(std::min<std::uint64_t>(into.size(), size_ - offset)));
    std::size_t done = 0;
    while (done < into.size()) {
        const ReadResult result = file_->read(offset + done, into.subspan(done));
        if (result.error || result.count == 0) {
            const FileError error = result.error.value_or(FileError{kShrankCode, kShrank});
            return Failure{Failure::Kind::kRead, path_, error.reason, error.code, {}};
        }
        done += result.count;
    }
    return done;
}

std::unique_ptr<Spool> spoolStream(FileReader& reader, std::uint64_t limit) {
    auto spool = std::make_unique<Spool>(reader.path());
    forEachChunk(reader, [&](ByteView chunk) {
        if (chunk.size() > limit - spool->size()) {
            throw ReadError(Failure{Failure::Kind::kMemory,
                                    reader.path(),
                                    "The stream is longer than the " + std::to_string(limit) +
                                        " bytes that are kept aside of one",
                                    0,
                                    {}});
        }
        if (!spool->write(chunk)) {
            throw ReadError(reader.path(),
                            "cannot keep a copy of the stream: " + spool->error()->reason);
        }
    });
    if (spool->error()) {
        throw ReadError(reader.path(),
                        "cannot keep a copy of the stream: " + spool->error()->reason);
    }
    return spool;
}

}  // namespace tessaloom
