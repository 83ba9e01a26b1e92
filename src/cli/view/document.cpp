#include "document.h"

#include <algorithm>
#include <utility>

#include "engine/delta.h"
#include "engine/output_file.h"
#include "engine/patch_list.h"
#include "engine/utf8.h"
#include "engine/xxh64.h"

namespace tessaloom::cli::view {

namespace {

// A screen of a few hundred rows fits in two pages; eight keep both files of a comparison and
// the places jumped between.
constexpr std::size_t kPageSize = std::size_t{64} << 10;
constexpr std::size_t kPages = 8;
// What a save copies of the file's own bytes at a time.
constexpr std::size_t kCopyChunk = std::size_t{1} << 20;

ByteView bytesOf(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

Failure readFailure(const std::string& path, const std::optional<FileError>& error,
                    std::string_view otherwise) {
    return Failure{Failure::Kind::kRead,
                   path,
                   error ? error->reason : std::string(otherwise),
                   error ? error->code : 0,
                   {}};
}

}  // namespace

Document::Document(std::string path) : path_(std::move(path)) {
    open();
    resetPieces();
}

void Document::open() {
    cache_.reset();
    fileSize_ = 0;
    reader_ = std::make_unique<FileReader>(path_);
    error_ = reader_->error();
    if (error_ || reader_->seekable()) {
        fileSize_ = reader_->size().value_or(0);
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

// The file as it is, all of it one piece, and nothing typed.
void Document::resetPieces() {
    pieces_.clear();
    starts_.clear();
    typed_.clear();
    replaced_.clear();
    if (fileSize_ > 0) {
        pieces_.push_back({Piece::Kind::kFile, 0, fileSize_, 0});
        starts_.push_back(0);
    }
    size_ = fileSize_;
    changes_ = 0;
}

ByteSource* Document::fileSource() {
    // An empty file opens as a stream would, with no source, and has no bytes to give.
    static SpanSource nothing{ByteView()};
    if (reader_->source() == nullptr && !error_ && fileSize_ == 0) {
        return &nothing;
    }
    return reader_->source();
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

std::size_t Document::pieceAt(std::uint64_t offset) const {
    const auto after = std::upper_bound(starts_.begin(), starts_.end(), offset);
    return static_cast<std::size_t>(after - starts_.begin()) - 1;
}

std::uint8_t Document::at(std::uint64_t offset) {
    if (offset >= size_) {
        throw ReadError(path_, "The file ended early");
    }
    const std::size_t index = pieceAt(offset);
    const Piece& piece = pieces_[index];
    const std::uint64_t into = offset - starts_[index];
    if (piece.kind == Piece::Kind::kFile) {
        return original(piece.start + into);
    }
    return typed_[static_cast<std::size_t>(piece.start + into)];
}

bool Document::changed(std::uint64_t offset) const {
    return offset < size_ && pieces_[pieceAt(offset)].kind != Piece::Kind::kFile;
}

bool Document::inPlace() const {
    return std::ranges::all_of(
               pieces_,
               [&](const Piece& piece) {
                   const std::uint64_t start =
                       starts_[static_cast<std::size_t>(&piece - pieces_.data())];
                   return (piece.kind == Piece::Kind::kFile && piece.start == start) ||
                          (piece.kind == Piece::Kind::kOverwritten && piece.origin == start);
               }) &&
           size_ == fileSize_;
}

Result<std::size_t> Document::readAt(std::uint64_t offset, std::span<std::uint8_t> into) {
    return readEdited(offset, into, true);
}

Result<std::size_t> Document::scan(std::uint64_t offset, std::span<std::uint8_t> into) {
    return readEdited(offset, into, false);
}

Result<std::size_t> Document::readEdited(std::uint64_t offset, std::span<std::uint8_t> into,
                                         bool cached) {
    if (offset >= size_ || into.empty()) {
        return std::size_t{0};
    }
    const std::size_t wanted =
        static_cast<std::size_t>(std::min<std::uint64_t>(into.size(), size_ - offset));
    std::size_t done = 0;
    for (std::size_t index = pieceAt(offset); done < wanted && index < pieces_.size(); ++index) {
        const Piece& piece = pieces_[index];
        const std::uint64_t from = offset + done - starts_[index];
        const auto count =
            static_cast<std::size_t>(std::min<std::uint64_t>(piece.length - from, wanted - done));
        const std::span<std::uint8_t> part = into.subspan(done, count);
        if (piece.kind != Piece::Kind::kFile) {
            const auto first = typed_.begin() + static_cast<std::ptrdiff_t>(piece.start + from);
            std::copy(first, first + static_cast<std::ptrdiff_t>(count), part.begin());
            done += count;
            continue;
        }
        if (error_ || !cache_) {
            return readFailure(path_, error_, "The file ended early");
        }
        Result<std::size_t> read = cached ? cache_->readAt(piece.start + from, part)
                                          : reader_->source()->readAt(piece.start + from, part);
        if (!read) {
            Failure failure = read.failure();
            failure.path = path_;
            return failure;
        }
        done += *read;
        if (*read < count) {
            // The file ended before its size: what came is all there is.
            break;
        }
    }
    return done;
}

std::size_t Document::splitAt(std::uint64_t offset) {
    if (offset >= size_) {
        return pieces_.size();
    }
    const std::size_t index = pieceAt(offset);
    const std::uint64_t into = offset - starts_[index];
    if (into == 0) {
        return index;
    }
    Piece tail = pieces_[index];
    tail.start += into;
    tail.origin += into;
    tail.length -= into;
    pieces_[index].length = into;
    const auto at = static_cast<std::ptrdiff_t>(index + 1);
    pieces_.insert(pieces_.begin() + at, tail);
    starts_.insert(starts_.begin() + at, offset);
    return index + 1;
}

// Joins the piece at index with the one before it where the second goes on where the first ends.
void Document::mergeAround(std::size_t index) {
    if (index == 0 || index >= pieces_.size()) {
        return;
    }
    Piece& before = pieces_[index - 1];
    const Piece& piece = pieces_[index];
    if (before.kind != piece.kind || before.start + before.length != piece.start ||
        (piece.kind == Piece::Kind::kOverwritten &&
         before.origin + before.length != piece.origin)) {
        return;
    }
    before.length += piece.length;
    const auto at = static_cast<std::ptrdiff_t>(index);
    pieces_.erase(pieces_.begin() + at);
    starts_.erase(starts_.begin() + at);
}

std::vector<Document::Piece> Document::splice(std::uint64_t offset, std::uint64_t length,
                                              const std::vector<Piece>& pieces) {
    const std::size_t first = splitAt(offset);
    const std::size_t last = splitAt(offset + length);
    const auto from = pieces_.begin() + static_cast<std::ptrdiff_t>(first);
    const auto to = pieces_.begin() + static_cast<std::ptrdiff_t>(last);
    std::vector<Piece> removed(from, to);
    pieces_.erase(from, to);
    pieces_.insert(pieces_.begin() + static_cast<std::ptrdiff_t>(first), pieces.begin(),
                   pieces.end());
    // The starts from the first piece changed on.
    starts_.resize(pieces_.size());
    std::uint64_t start = offset;
    for (std::size_t i = first; i < pieces_.size(); ++i) {
        starts_[i] = start;
        start += pieces_[i].length;
    }
    size_ = start;
    mergeAround(first + pieces.size());
    mergeAround(first);
    recount();
    return removed;
}

// Counts the bytes typed, and those of the file that neither stayed nor were typed over.
void Document::recount() {
    std::uint64_t typed = 0;
    std::uint64_t kept = 0;
    for (const Piece& piece : pieces_) {
        (piece.kind == Piece::Kind::kFile ? kept : typed) += piece.length;
        if (piece.kind == Piece::Kind::kOverwritten) {
            kept += piece.length;
        }
    }
    changes_ = typed + (fileSize_ - std::min(fileSize_, kept));
}

// Writes value over the byte at offset as a byte of its own, typed; where it is the byte the file
// held there, the file's own again. Reads before it changes anything, so that a byte that cannot
// be read leaves the edits as they were.
void Document::overwrite(std::uint64_t offset, std::uint8_t value) {
    const std::size_t index = pieceAt(offset);
    const Piece piece = pieces_[index];
    const std::uint64_t into = offset - starts_[index];
    Piece written{Piece::Kind::kInserted, typed_.size(), 1, 0};
    std::uint8_t held = 0;
    if (piece.kind == Piece::Kind::kInserted) {
        if (typed_[static_cast<std::size_t>(piece.start + into)] == value) {
            return;
        }
    } else {
        const std::uint64_t origin =
            (piece.kind == Piece::Kind::kFile ? piece.start : piece.origin) + into;
        held = piece.kind == Piece::Kind::kFile
                   ? original(origin)
                   : replaced_[static_cast<std::size_t>(piece.start + into)];
        const std::uint8_t now = piece.kind == Piece::Kind::kFile
                                     ? held
                                     : typed_[static_cast<std::size_t>(piece.start + into)];
        if (now == value) {
            return;
        }
        written = value == held ? Piece{Piece::Kind::kFile, origin, 1, 0}
                                : Piece{Piece::Kind::kOverwritten, typed_.size(), 1, origin};
    }
    if (written.kind != Piece::Kind::kFile) {
        typed_.push_back(value);
        replaced_.push_back(held);
    }
    splice(offset, 1, {written});
}

bool Document::set(std::uint64_t offset, std::uint8_t value, bool join) {
    if (offset >= size_) {
        return false;
    }
    const std::uint8_t before = at(offset);
    if (before == value) {
        return false;
    }
    Edit* last = join && redo_.empty() && !undo_.empty() ? &undo_.back() : nullptr;
    if (last != nullptr && last->kind == Edit::Kind::kInsert && offset >= last->offset &&
        offset - last->offset < last->length && last->pieces.size() == 1) {
        // A byte just inserted: its typed value changes, for the edit and the view alike.
        typed_[static_cast<std::size_t>(last->pieces.front().start + (offset - last->offset))] =
            value;
        return true;
    }
    overwrite(offset, value);
    if (last != nullptr && last->kind == Edit::Kind::kOverwrite && last->offset == offset) {
        last->after = value;
    } else {
        undo_.push_back({Edit::Kind::kOverwrite, offset, before, value, 0, {}});
    }
    redo_.clear();
    return true;
}

bool Document::insert(std::uint64_t offset, ByteView bytes) {
    if (offset > size_ || bytes.empty() || bytes.size() > kMaxFileLength - size_) {
        return false;
    }
    const Piece piece{Piece::Kind::kInserted, typed_.size(), bytes.size(), 0};
    typed_.insert(typed_.end(), bytes.begin(), bytes.end());
    replaced_.resize(typed_.size(), 0);
    splice(offset, 0, {piece});
    undo_.push_back({Edit::Kind::kInsert, offset, 0, 0, bytes.size(), {piece}});
    redo_.clear();
    return true;
}

bool Document::erase(std::uint64_t offset, std::uint64_t length) {
    if (length == 0 || offset >= size_ || length > size_ - offset) {
        return false;
    }
    std::vector<Piece> removed = splice(offset, length, {});
    undo_.push_back({Edit::Kind::kErase, offset, 0, 0, length, std::move(removed)});
    redo_.clear();
    return true;
}

std::optional<std::uint64_t> Document::undo() {
    return replay(undo_, redo_, false);
}

std::optional<std::uint64_t> Document::redo() {
    return replay(redo_, undo_, true);
}

void Document::apply(const Edit& edit, bool forward) {
    switch (edit.kind) {
        case Edit::Kind::kOverwrite:
            overwrite(edit.offset, forward ? edit.after : edit.before);
            return;
        case Edit::Kind::kInsert:
        case Edit::Kind::kErase:
            if (forward == (edit.kind == Edit::Kind::kInsert)) {
                splice(edit.offset, 0, edit.pieces);
            } else {
                splice(edit.offset, edit.length, {});
            }
            return;
    }
}

// Takes the last edit of from, does it again or undoes it, and keeps it in to.
std::optional<std::uint64_t> Document::replay(std::vector<Edit>& from, std::vector<Edit>& to,
                                              bool forward) {
    if (from.empty()) {
        return std::nullopt;
    }
    apply(from.back(), forward);
    to.push_back(std::move(from.back()));
    from.pop_back();
    return to.back().offset;
}

bool Document::changedOnDisk(std::optional<Failure>& nameLost) const {
    const FileReader current(path_);
    const std::optional<FileIdentity> now = current.identity();
    const std::optional<FileIdentity> then = reader_->identity();
    if (now && then && now->sameFile(*then)) {
        return *now != *then;
    }
    nameLost = current.error()
                   ? Failure{Failure::Kind::kRead,
                             path_,
                             current.error()->reason,
                             current.error()->code,
                             {}}
                   : Failure{Failure::Kind::kChanged, path_, "was replaced by another file", 0, {}};
    return false;
}

Result<void> Document::save(const std::string& target, const SaveProgress& progress) {
    const std::string destination = target.empty() ? path_ : target;
    const bool replacing = destination == path_;
    // Bytes that changed under the viewer would mix with the edits into a file nobody saw. Where
    // the name now leads to another file or to none, the view's own file is still whole: it can
    // be saved elsewhere, but not over what took its name.
    std::optional<Failure> nameLost;
    if (changedOnDisk(nameLost)) {
        return Failure{
            Failure::Kind::kChanged, path_, "changed on disk since it was opened", 0, {}};
    }
    if (nameLost && replacing) {
        return *nameLost;
    }
    ByteSource* const file = fileSource();
    if (file == nullptr) {
        return readFailure(path_, error_, "not open");
    }
    const bool keptName = !nameLost;
    // Where an open file cannot be replaced (Windows), the view lets go of the file it replaces,
    // and opens it again whatever the outcome.
    bool letGo = false;
    std::optional<Failure> failure;
    {
        OutputFile out(destination, {.finalSize = size_, .source = reader_.get()});
        ByteBuffer chunk;
        std::uint64_t done = 0;
        bool written = true;
        for (std::size_t index = 0; index < pieces_.size() && written && !failure; ++index) {
            const Piece& piece = pieces_[index];
            if (piece.kind != Piece::Kind::kFile) {
                written = out.write(ByteView(typed_).subspan(
                    static_cast<std::size_t>(piece.start), static_cast<std::size_t>(piece.length)));
                done += piece.length;
                continue;
            }
            // The file the view opened, read again past the cache: the bytes the user saw, also
            // when the name has since been taken away or given to another file.
            for (std::uint64_t copied = 0; copied < piece.length && written && !failure;) {
                chunk.resize(static_cast<std::size_t>(
                    std::min<std::uint64_t>(kCopyChunk, piece.length - copied)));
                if (Result<void> read = readExactly(*file, piece.start + copied, chunk); !read) {
                    failure = read.failure();
                    failure->path = path_;
                    break;
                }
                written = out.write(chunk);
                copied += chunk.size();
                done += chunk.size();
                if (progress && !progress({done, size_})) {
                    failure = Failure{Failure::Kind::kStopped, destination, "stopped", 0, {}};
                }
            }
        }
        if (!failure && written && keptName &&
            (changedOnDisk(nameLost) || (replacing && nameLost))) {
            failure = Failure{
                Failure::Kind::kChanged, path_, "changed on disk while it was saved", 0, {}};
        }
        if (!failure && written) {
            if (replacing) {
                reader_->close();
                letGo = true;
            }
            written = out.commit();
        }
        if (!failure && !written) {
            failure = Failure{
                Failure::Kind::kWrite, destination, out.error()->reason, out.error()->code, {}};
        }
    }
    if (failure) {
        if (letGo) {
            open();
        }
        return *failure;
    }
    // Undo of bytes overwritten goes back from the saved file as from the one opened; the pieces
    // that inserted and deleted bytes named are the old file's, gone now.
    const auto overwrites = [](const std::vector<Edit>& edits) {
        return std::ranges::all_of(
            edits, [](const Edit& edit) { return edit.kind == Edit::Kind::kOverwrite; });
    };
    if (!overwrites(undo_) || !overwrites(redo_)) {
        undo_.clear();
        redo_.clear();
    }
    path_ = destination;
    open();
    resetPieces();
    return {};
}

Result<void> Document::exportPatches(const std::string& target, const SaveProgress& progress) {
    if (!inPlace()) {
        return exportDelta(target, progress);
    }
    // A line holds at most this many bytes, so that it stays readable.
    constexpr std::size_t kLineBytes = 16;
    // The name is escaped: a line end in it would start a line of the list.
    std::string text = "# " + std::to_string(changes_) +
                       (changes_ == 1 ? " changed byte of " : " changed bytes of ") +
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
    for (std::size_t index = 0; index < pieces_.size(); ++index) {
        const Piece& piece = pieces_[index];
        if (piece.kind != Piece::Kind::kOverwritten) {
            continue;
        }
        for (std::uint64_t i = 0; i < piece.length; ++i) {
            const std::uint64_t offset = starts_[index] + i;
            if (old.size() == kLineBytes || offset != start + old.size()) {
                endLine();
                start = offset;
            }
            old.push_back(replaced_[static_cast<std::size_t>(piece.start + i)]);
            replacement.push_back(typed_[static_cast<std::size_t>(piece.start + i)]);
        }
    }
    endLine();
    OutputFile out(target, {.finalSize = text.size()});
    if (!out.write(bytesOf(text)) || !out.commit()) {
        return Failure{Failure::Kind::kWrite, target, out.error()->reason, out.error()->code, {}};
    }
    return {};
}

// The delta report of --delta, made from the pieces: each run of the file's own bytes is an equal
// hunk, bytes typed over the file's a changed one, bytes typed between them an inserted one, and
// the file's bytes that no piece holds any more a deleted one.
Result<void> Document::exportDelta(const std::string& target, const SaveProgress& progress) {
    std::optional<Failure> nameLost;
    if (changedOnDisk(nameLost)) {
        return Failure{Failure::Kind::kChanged,
                       path_,
                       "changed on disk since it was opened, so its checksum would name other "
                       "bytes than the edits were made to",
                       0,
                       {}};
    }
    ByteSource* const file = fileSource();
    if (file == nullptr) {
        return readFailure(path_, error_, "not open");
    }
    bool stopped = false;
    const Result<std::uint64_t> checksum = checksumOf(*file, [&](const ScanProgress& done) {
        if (progress && !stopped && !progress(done)) {
            stopped = true;
        }
    });
    if (stopped) {
        return Failure{Failure::Kind::kStopped, target, "stopped", 0, {}};
    }
    if (!checksum) {
        Failure failure = checksum.failure();
        failure.path = path_;
        return failure;
    }
    std::string text = deltaHeadLine('A', path_, fileSize_, *checksum);
    text += '\n';
    text += deltaHeadLine('B', path_, size_, std::nullopt);
    text += '\n';
    // The hunk being built, so that pieces that go on from each other make one.
    DeltaHunk hunk;
    ByteBuffer oldBytes;
    ByteBuffer newBytes;
    const auto flush = [&] {
        if (hunk.length == 0) {
            return;
        }
        const bool inline_ = hunk.length <= kDeltaInlineBytes;
        text += deltaHunkLine(hunk, inline_ ? ByteView(oldBytes) : ByteView(),
                              inline_ ? ByteView(newBytes) : ByteView());
        text += '\n';
        if (!inline_ && !newBytes.empty()) {
            for (std::size_t at = 0; at < newBytes.size(); at += kDeltaLineBytes) {
                text += deltaDataLine(ByteView(newBytes).subspan(
                    at, std::min(kDeltaLineBytes, newBytes.size() - at)));
                text += '\n';
            }
        }
        hunk.length = 0;
        oldBytes.clear();
        newBytes.clear();
    };
    const auto add = [&](DeltaHunk::Op op, std::uint64_t a, std::uint64_t b, std::uint64_t length,
                         ByteView old, ByteView now) {
        const bool goesOn = hunk.length > 0 && hunk.op == op &&
                            hunk.bOffset + (op == DeltaHunk::Op::kDeleted ? 0 : hunk.length) == b &&
                            hunk.aOffset + (op == DeltaHunk::Op::kInserted ? 0 : hunk.length) == a;
        if (!goesOn) {
            flush();
            hunk = DeltaHunk{op, a, b, 0};
        }
        hunk.length += length;
        oldBytes.insert(oldBytes.end(), old.begin(), old.end());
        newBytes.insert(newBytes.end(), now.begin(), now.end());
    };
    std::uint64_t inA = 0;
    for (std::size_t index = 0; index < pieces_.size(); ++index) {
        const Piece& piece = pieces_[index];
        const std::uint64_t inB = starts_[index];
        const auto typed = [&](const ByteBuffer& from) {
            return ByteView(from).subspan(static_cast<std::size_t>(piece.start),
                                          static_cast<std::size_t>(piece.length));
        };
        if (piece.kind == Piece::Kind::kInserted) {
            add(DeltaHunk::Op::kInserted, inA, inB, piece.length, {}, typed(typed_));
            continue;
        }
        const std::uint64_t from = piece.kind == Piece::Kind::kFile ? piece.start : piece.origin;
        if (from > inA) {
            add(DeltaHunk::Op::kDeleted, inA, inB, from - inA, {}, {});
        }
        if (piece.kind == Piece::Kind::kFile) {
            add(DeltaHunk::Op::kEqual, from, inB, piece.length, {}, {});
        } else {
            add(DeltaHunk::Op::kChanged, from, inB, piece.length, typed(replaced_), typed(typed_));
        }
        inA = std::max(inA, from + piece.length);
    }
    if (inA < fileSize_) {
        add(DeltaHunk::Op::kDeleted, inA, size_, fileSize_ - inA, {}, {});
    }
    flush();
    OutputFile out(target, {.finalSize = text.size()});
    if (!out.write(bytesOf(text)) || !out.commit()) {
        return Failure{Failure::Kind::kWrite, target, out.error()->reason, out.error()->code, {}};
    }
    return {};
}

}  // namespace tessaloom::cli::view
