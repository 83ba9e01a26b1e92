#include "document.h"

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <utility>

#include "engine/output_file.h"
#include "engine/patch.h"

namespace tessaloom::cli::view {

namespace {

// A screen of a few hundred rows fits in two pages; eight keep both files of a comparison and
// the places jumped between.
constexpr std::size_t kPageSize = std::size_t{64} << 10;

}  // namespace

Document::Document(std::string path) : path_(std::move(path)) {
    open();
}

void Document::open() {
    for (Page& page : pages_) {
        page.number = UINT64_MAX;
    }
    // Opening a FIFO would wait for a writer; a stream has no offsets to go back to anyway.
    std::error_code failed;
    const std::filesystem::file_status status = std::filesystem::status(path_, failed);
    if (!failed && (std::filesystem::is_fifo(status) || std::filesystem::is_socket(status) ||
                    std::filesystem::is_character_file(status))) {
        error_ = FileError{0, "Not a file that can be viewed (a pipe or a stream)"};
        size_ = 0;
        return;
    }
    reader_ = std::make_unique<FileReader>(path_);
    error_ = reader_->error();
    // An empty file reads as a stream, as do the files of /proc, whose size says nothing; only
    // the empty one has no bytes to give.
    const bool empty = !error_ && !reader_->seekable() && !failed &&
                       std::filesystem::is_regular_file(status) && !reader_->fill();
    if (empty) {
        size_ = 0;
        return;
    }
    if (!error_ && !reader_->seekable()) {
        error_ = FileError{0, "Not a file that can be viewed (a pipe or a stream)"};
    }
    size_ = error_ ? 0 : *reader_->size();
}

const Document::Page& Document::page(std::uint64_t number) {
    ++uses_;
    Page* oldest = &pages_[0];
    for (Page& page : pages_) {
        if (page.number == number) {
            page.lastUse = uses_;
            return page;
        }
        if (page.lastUse < oldest->lastUse) {
            oldest = &page;
        }
    }
    oldest->bytes.resize(kPageSize);
    oldest->number = UINT64_MAX;
    oldest->length = reader_->readAt(number * kPageSize, oldest->bytes);
    oldest->number = number;
    oldest->lastUse = uses_;
    return *oldest;
}

std::uint8_t Document::original(std::uint64_t offset) {
    const Page& cached = page(offset / kPageSize);
    const std::size_t index = static_cast<std::size_t>(offset % kPageSize);
    if (index >= cached.length) {
        throw ReadError(path_, "The file ended early");
    }
    return cached.bytes[index];
}

std::uint8_t Document::at(std::uint64_t offset) {
    const auto edit = edits_.find(offset);
    return edit != edits_.end() ? edit->second : original(offset);
}

std::size_t Document::read(std::uint64_t offset, std::span<std::uint8_t> into) {
    if (offset >= size_) {
        return 0;
    }
    const std::size_t count = reader_->readAt(offset, into);
    for (auto edit = edits_.lower_bound(offset);
         edit != edits_.end() && edit->first < offset + count; ++edit) {
        into[static_cast<std::size_t>(edit->first - offset)] = edit->second;
    }
    return count;
}

void Document::put(std::uint64_t offset, std::uint8_t value) {
    if (value == original(offset)) {
        edits_.erase(offset);
    } else {
        edits_[offset] = value;
    }
}

bool Document::set(std::uint64_t offset, std::uint8_t value, bool join) {
    if (offset >= size_ || at(offset) == value) {
        return false;
    }
    if (join && redo_.empty() && !undo_.empty() && undo_.back().offset == offset) {
        undo_.back().after = value;
    } else {
        undo_.push_back({offset, at(offset), value});
    }
    put(offset, value);
    redo_.clear();
    return true;
}

std::optional<std::uint64_t> Document::undo() {
    if (undo_.empty()) {
        return std::nullopt;
    }
    const ByteEdit edit = undo_.back();
    undo_.pop_back();
    put(edit.offset, edit.before);
    redo_.push_back(edit);
    return edit.offset;
}

std::optional<std::uint64_t> Document::redo() {
    if (redo_.empty()) {
        return std::nullopt;
    }
    const ByteEdit edit = redo_.back();
    redo_.pop_back();
    put(edit.offset, edit.after);
    undo_.push_back(edit);
    return edit.offset;
}

std::optional<FileError> Document::save(const std::string& target) {
    const std::string destination = target.empty() ? path_ : target;
    std::vector<DiffEntry> patches;
    patches.reserve(edits_.size());
    for (const auto& [offset, value] : edits_) {
        patches.push_back({offset, 0, value});
    }
    const PatchPlan plan(patches);
    std::optional<FileError> failure;
    try {
        OutputFile out(destination, {.finalSize = size_, .source = reader_.get()});
        if (!applyPatches(*reader_, plan, out) || !out.commit()) {
            failure = out.error();
        }
    } catch (const ReadError& error) {
        failure = FileError{0, error.reason()};
    }
    // The copy closed the reader: the saved file, or after a failure the file as it was, is
    // opened again.
    const std::string viewed = path_;
    if (!failure) {
        path_ = destination;
    }
    open();
    if (failure || error_) {
        path_ = viewed;
        if (!failure) {
            failure = error_;
        }
        open();
        return failure;
    }
    edits_.clear();
    return std::nullopt;
}

}  // namespace tessaloom::cli::view
