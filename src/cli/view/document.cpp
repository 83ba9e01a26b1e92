#include "document.h"

#include <algorithm>
#include <utility>

#include "engine/output_file.h"
#include "engine/patch.h"
#include "engine/patch_list.h"
#include "engine/utf8.h"

namespace tessaloom::cli::view {

namespace {

// A screen of a few hundred rows fits in two pages; eight keep both files of a comparison and
// the places jumped between.
constexpr std::size_t kPageSize = std::size_t{64} << 10;
constexpr std::size_t kPages = 8;

// Thrown out of a copy that the user stopped: the writer then discards what it wrote.
struct SaveStopped {};

}  // namespace

Document::Document(std::string path) : path_(std::move(path)) {
    open();
}

void Document::open() {
    cache_.reset();
    size_ = 0;
    reader_ = std::make_unique<FileReader>(path_);
    error_ = reader_->error();
    if (error_ || reader_->seekable()) {
        size_ = reader_->size().value_or(0);
        if (reader_->source() != nullptr) {
            cache_ = std::make_unique<CachedSource>(*reader_->source(), kPageSize, kPages);
        }
        return;
    }
    // A stream has no offsets to go back to. An empty file reads as one too, as do the files of
    // /proc, whose size says nothing; only the empty one has no bytes to give.
    if (reader_->fill()) {
        error_ = FileError{0, "Not a file that can be viewed (a pipe or a stream)"};
    } else {
        error_ = reader_->error();
    }
}

std::uint8_t Document::original(std::uint64_t offset) {
    if (error_ || !cache_) {
        // Opened again after a save, and no longer readable.
        throw ReadError(path_, error_ ? error_->reason : "The file ended early");
    }
    Result<std::uint8_t> byte = cache_->at(offset);
    if (!byte) {
        throw ReadError(path_, byte.failure().reason);
    }
    return *byte;
}

std::uint8_t Document::at(std::uint64_t offset) {
    const auto edit = edits_.find(offset);
    return edit != edits_.end() ? edit->second.value : original(offset);
}

Result<std::size_t> Document::readAt(std::uint64_t offset, std::span<std::uint8_t> into) {
    return readEdited(offset, into, true);
}

Result<std::size_t> Document::scan(std::uint64_t offset, std::span<std::uint8_t> into) {
    return readEdited(offset, into, false);
}

Result<std::size_t> Document::readEdited(std::uint64_t offset, std::span<std::uint8_t> into,
                                         bool cached) {
    if (offset >= size_) {
        return std::size_t{0};
    }
    if (error_ || !cache_) {
        return Failure{Failure::Kind::kRead,
                       path_,
                       error_ ? error_->reason : "The file ended early",
                       error_ ? error_->code : 0,
                       {}};
    }
    Result<std::size_t> read =
        cached ? cache_->readAt(offset, into) : reader_->source()->readAt(offset, into);
    if (!read) {
        Failure failure = read.failure();
        failure.path = path_;
        return failure;
    }
    for (auto edit = edits_.lower_bound(offset);
         edit != edits_.end() && edit->first < offset + *read; ++edit) {
        into[static_cast<std::size_t>(edit->first - offset)] = edit->second.value;
    }
    return read;
}

// Reads before it changes anything, so that a byte that cannot be read leaves the edits as they
// were.
void Document::put(std::uint64_t offset, std::uint8_t value) {
    const std::uint8_t held = original(offset);
    if (value == held) {
        edits_.erase(offset);
    } else {
        edits_.try_emplace(offset, EditedByte{held, value}).first->second.value = value;
    }
}

bool Document::set(std::uint64_t offset, std::uint8_t value, bool join) {
    if (offset >= size_) {
        return false;
    }
    const std::uint8_t before = at(offset);
    if (before == value) {
        return false;
    }
    put(offset, value);
    if (join && redo_.empty() && !undo_.empty() && undo_.back().offset == offset) {
        undo_.back().after = value;
    } else {
        undo_.push_back({offset, before, value});
    }
    redo_.clear();
    return true;
}

std::optional<std::uint64_t> Document::undo() {
    return replay(undo_, redo_, false);
}

std::optional<std::uint64_t> Document::redo() {
    return replay(redo_, undo_, true);
}

// Takes the last edit of from, sets the byte as it was before it or after it, and keeps the edit
// in to.
std::optional<std::uint64_t> Document::replay(std::vector<ByteEdit>& from,
                                              std::vector<ByteEdit>& to, bool after) {
    if (from.empty()) {
        return std::nullopt;
    }
    const ByteEdit edit = from.back();
    put(edit.offset, after ? edit.after : edit.before);
    from.pop_back();
    to.push_back(edit);
    return edit.offset;
}

Result<void> Document::save(const std::string& target, const SaveProgress& progress) {
    const std::string destination = target.empty() ? path_ : target;
    const bool replacing = destination == path_;
    // Bytes that changed under the viewer would mix with the edits into a file nobody saw. Where
    // the name now leads to another file or to none, the view's own file is still whole: it can
    // be saved elsewhere, but not over what took its name.
    std::optional<Failure> nameLost;
    const auto changedOnDisk = [&]() {
        const FileReader current(path_);
        const std::optional<FileIdentity> now = current.identity();
        const std::optional<FileIdentity> then = reader_->identity();
        if (now && then && now->sameFile(*then)) {
            return *now != *then;
        }
        nameLost =
            current.error()
                ? Failure{Failure::Kind::kRead,
                          path_,
                          current.error()->reason,
                          current.error()->code,
                          {}}
                : Failure{Failure::Kind::kChanged, path_, "was replaced by another file", 0, {}};
        return false;
    };
    if (changedOnDisk()) {
        return Failure{
            Failure::Kind::kChanged, path_, "changed on disk since it was opened", 0, {}};
    }
    if (nameLost && replacing) {
        return *nameLost;
    }
    if (reader_->source() == nullptr) {
        return Failure{Failure::Kind::kRead,
                       path_,
                       error_ ? error_->reason : "not open",
                       error_ ? error_->code : 0,
                       {}};
    }
    const bool keptName = !nameLost;
    std::vector<DiffEntry> patches;
    patches.reserve(edits_.size());
    for (const auto& [offset, edit] : edits_) {
        patches.push_back({offset, 0, edit.value});
    }
    const PatchPlan plan(patches);
    // Where an open file cannot be replaced (Windows), the view lets go of the file it replaces,
    // and opens it again whatever the outcome.
    bool letGo = false;
    std::optional<Failure> failure;
    try {
        // The file the view opened, read again past the cache: the bytes the user saw, also when
        // the name has since been taken away or given to another file.
        SourceWindow viewed(*reader_->source(), 0, size_);
        FileReader copy(path_, viewed);
        if (progress) {
            copy.onProgress([&progress](const ScanProgress& done) {
                if (!progress(done)) {
                    throw SaveStopped();
                }
            });
        }
        OutputFile out(destination, {.finalSize = size_, .source = reader_.get()});
        bool copied = applyPatches(copy, plan, out);
        if (copy.error()) {
            // A first read that failed ends the copy as an empty input would: the output is short.
            failure =
                Failure{Failure::Kind::kRead, path_, copy.error()->reason, copy.error()->code, {}};
        } else if (copied && keptName && (changedOnDisk() || (replacing && nameLost))) {
            failure = Failure{
                Failure::Kind::kChanged, path_, "changed on disk while it was saved", 0, {}};
        } else if (copied) {
            if (replacing) {
                reader_->close();
                letGo = true;
            }
            copied = out.commit();
        }
        if (!failure && !copied) {
            failure = Failure{
                Failure::Kind::kWrite, destination, out.error()->reason, out.error()->code, {}};
        }
    } catch (const ReadError& error) {
        failure = error.failure();
    } catch (const SaveStopped&) {
        failure = Failure{Failure::Kind::kStopped, destination, "stopped", 0, {}};
    }
    if (failure) {
        if (letGo) {
            open();
        }
        return *failure;
    }
    path_ = destination;
    edits_.clear();
    open();
    return {};
}

Result<void> Document::exportPatches(const std::string& target) const {
    // A line holds at most this many bytes, so that it stays readable.
    constexpr std::size_t kLineBytes = 16;
    // The name is escaped: a line end in it would start a line of the list.
    std::string text = "# " + std::to_string(edits_.size()) +
                       (edits_.size() == 1 ? " changed byte of " : " changed bytes of ") +
                       escapedText(path_) + "\n";
    ByteBuffer old;
    ByteBuffer replacement;
    std::uint64_t start = 0;
    const auto endLine = [&] {
        if (!old.empty()) {
            text += patchListLine(start, old, replacement) + "\n";
            old.clear();
            replacement.clear();
        }
    };
    for (const auto& [offset, edit] : edits_) {
        if (old.size() == kLineBytes || offset != start + old.size()) {
            endLine();
            start = offset;
        }
        old.push_back(edit.original);
        replacement.push_back(edit.value);
    }
    endLine();
    OutputFile out(target, {.finalSize = text.size()});
    if (!out.write(ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size())) ||
        !out.commit()) {
        return Failure{Failure::Kind::kWrite, target, out.error()->reason, out.error()->code, {}};
    }
    return {};
}

}  // namespace tessaloom::cli::view
