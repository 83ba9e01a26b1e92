#include "file_reader.h"

#include <algorithm>
#include <filesystem>

#include "platform/file_position.h"

namespace tessaloom {

namespace {

namespace fs = std::filesystem;

enum class InputKind { kNone, kSeekable, kStream };

// Regular files and block devices have a size and can seek. A directory opens on some systems
// but never reads, so it is not opened at all.
InputKind kindOf(const std::string& path) {
    std::error_code error;
    const fs::file_status status = fs::status(path, error);
    if (error || fs::is_directory(status)) {
        return InputKind::kNone;
    }
    return fs::is_regular_file(status) || fs::is_block_file(status) ? InputKind::kSeekable
                                                                    : InputKind::kStream;
}

}  // namespace

FileReader::FileReader(const std::string& path, std::size_t chunkSize)
    : path_(path), chunkSize_(std::max<std::size_t>(chunkSize, 1)) {
    const InputKind kind = kindOf(path);
    if (kind == InputKind::kNone) {
        ended_ = true;
        return;
    }
    file_ = std::fopen(path.c_str(), "rb");
    if (file_ == nullptr) {
        ended_ = true;
        return;
    }
    // Every request is large, or exactly as large as needed: the C library's own buffer would
    // only add a copy, or read ahead further than a stream has to be read.
    std::setvbuf(file_, nullptr, _IONBF, 0);
    if (kind == InputKind::kSeekable) {
        size_ = platform::seekableLength(file_);
    }
}

FileReader::~FileReader() {
    close();
}

void FileReader::close() {
    if (file_ != nullptr) {
        std::fclose(file_);
        file_ = nullptr;
    }
    ended_ = true;
}

void FileReader::skipTo(std::uint64_t position) {
    if (position <= position_ || ended_) {
        return;
    }
    if (seekable()) {
        if (platform::seekTo(file_, position)) {
            position_ = position;
        } else {
            ended_ = true;
        }
        return;
    }
    while (position_ < position && !next(position - position_).empty()) {
    }
}

std::size_t FileReader::readOnce(std::span<std::uint8_t> into) {
    const std::size_t got = std::fread(into.data(), 1, into.size(), file_);
    if (got < into.size()) {
        if (std::ferror(file_) != 0 && (delivered_ || got > 0)) {
            throw ReadError(path_);
        }
        ended_ = true;
    }
    delivered_ = delivered_ || got > 0;
    position_ += got;
    if (progress_) {
        progress_({position_, size_});
    }
    return got;
}

std::size_t FileReader::read(std::span<std::uint8_t> into) {
    std::size_t done = 0;
    while (done < into.size() && !ended_) {
        done += readOnce(into.subspan(done, std::min(chunkSize_, into.size() - done)));
    }
    return done;
}

ByteView FileReader::next(std::uint64_t limit) {
    if (buffer_.empty()) {
        buffer_.resize(chunkSize_);
    }
    const auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(chunkSize_, limit));
    return ByteView(buffer_).first(read(std::span(buffer_).first(wanted)));
}

void readRange(const std::string& path, std::uint64_t offset, std::uint64_t length,
               const std::function<void(ByteView chunk)>& onChunk) {
    FileReader reader(path);
    forEachChunkIn(reader, offset, length, onChunk);
}

}  // namespace tessaloom
