// One file in the viewer: its bytes read on demand through the engine's page cache, and the edits
// over them, held as a list of pieces (runs of the file's own bytes and runs of bytes typed), with
// undo and redo, never as a copy of the file. As a source it reads as edited, so that search,
// difference and structure see the edits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "engine/byte_source.h"
#include "engine/file_reader.h"
#include "engine/types.h"

namespace tessaloom::cli::view {

// The value of result, or its failure thrown as a ReadError: the viewer stops what it does at a
// byte it cannot read and says why on its status line.
template <typename T>
T readOrThrow(Result<T> result) {
    if (!result) {
        throw ReadError(result.failure());
    }
    return std::move(*result);
}

class Document : public ByteSource {
  public:
    // Opens path; error() says why it cannot be viewed (a stream is refused: it has no offsets to
    // go back to).
    explicit Document(std::string path);

    const std::string& path() const { return path_; }
    const std::optional<FileError>& error() const { return error_; }
    // The size as edited.
    std::uint64_t size() const override { return size_; }

    // The byte at offset as edited. Throws ReadError when the file cannot be read there.
    std::uint8_t at(std::uint64_t offset);
    // The byte at offset as the file holds it.
    std::uint8_t original(std::uint64_t offset);
    // Whether the byte at offset (as edited) was typed: inserted, or written over the file's own
    // with another value. Bytes that only moved, behind an insertion or a deletion, were not.
    bool changed(std::uint64_t offset) const;
    // Copies the edited bytes from offset on into `into`, through the screen's pages for a read
    // shorter than one.
    Result<std::size_t> readAt(std::uint64_t offset, std::span<std::uint8_t> into) override;
    // The same past the pages: for the scans over the whole file, which would only push out the
    // screen's.
    Result<std::size_t> scan(std::uint64_t offset, std::span<std::uint8_t> into);

    // Overwrites the byte at offset (inside the file) and records it for undo; forgets the redo
    // history. With join, a change of the byte that the last edit wrote becomes part of that edit
    // (the second hex digit of a byte, also of one just inserted). False when value is what the
    // byte already holds.
    bool set(std::uint64_t offset, std::uint8_t value, bool join = false);
    // Inserts bytes before the byte at offset (at size(), after the last), as one edit. False
    // when offset lies past the end, bytes is empty or the file would grow past the largest size.
    bool insert(std::uint64_t offset, ByteView bytes);
    // Deletes length bytes from offset on, as one edit. False when they do not all lie inside.
    // Undo keeps where they came from, not a copy of them.
    bool erase(std::uint64_t offset, std::uint64_t length);
    // Undoes or redoes the last edit; the offset it touched, or nothing when there was none.
    std::optional<std::uint64_t> undo();
    std::optional<std::uint64_t> redo();
    // The offset that undo() or redo() would touch.
    std::optional<std::uint64_t> undoOffset() const {
        return undo_.empty() ? std::nullopt : std::optional(undo_.back().offset);
    }
    std::optional<std::uint64_t> redoOffset() const {
        return redo_.empty() ? std::nullopt : std::optional(redo_.back().offset);
    }
    // How many bytes differ from the file's: those typed over it or inserted, and those deleted.
    std::uint64_t changeCount() const { return changes_; }
    // Whether every byte is still at its offset in the file: nothing inserted or deleted.
    bool inPlace() const;

    // Writes the edited bytes to target (the file itself when empty) through the safe writer, the
    // file's own runs copied a chunk at a time, and then views target. Where only bytes were
    // overwritten, undo still goes back from the saved file; after an insertion or a deletion it
    // starts anew. Otherwise the Failure says why, with the edits kept and nothing written: the
    // file cannot be read or target written, or the file changed on disk (kChanged) since it was
    // opened: the edits were made to what it held then. Should the name lead to another file or to
    // none by then, the bytes viewed can still be saved to another target. progress is told how
    // far the copy got after every chunk; when it returns false the save stops (kStopped), with
    // nothing written.
    using SaveProgress = std::function<bool(const ScanProgress&)>;
    Result<void> save(const std::string& target = {}, const SaveProgress& progress = {});

    // Writes the edits to target through the safe writer as a list that --patch applies. With
    // every byte at its offset, a patch list: a line for each run of changed bytes, with the bytes
    // the file held there when they were first changed as OLD, so that applying it to a file that
    // changed since fails instead of mixing the two; it works also when the file changed on disk
    // or is gone. After an insertion or a deletion, a delta report as --delta writes it, which
    // names the file by its size and checksum (read with progress told, as for save): refused
    // (kChanged) when the file changed on disk. The edits stay.
    Result<void> exportPatches(const std::string& target, const SaveProgress& progress = {});

  private:
    // A run of the edited bytes: the file's own from start, or bytes typed, from start in
    // typed_, inserted or written over the file's own from origin on.
    struct Piece {
        enum class Kind : std::uint8_t { kFile, kInserted, kOverwritten };
        Kind kind = Kind::kFile;
        std::uint64_t start = 0;
        std::uint64_t length = 0;
        std::uint64_t origin = 0;  // kOverwritten: the offset in the file of the first byte
    };
    // One edit as it can be done again and undone: a byte overwritten (before and after), or
    // pieces inserted or deleted at offset.
    struct Edit {
        enum class Kind : std::uint8_t { kOverwrite, kInsert, kErase };
        Kind kind = Kind::kOverwrite;
        std::uint64_t offset = 0;
        std::uint8_t before = 0;
        std::uint8_t after = 0;
        std::uint64_t length = 0;
        std::vector<Piece> pieces;
    };

    void open();
    void resetPieces();
    // What the file's bytes are read from past the pages; null when it cannot be read.
    ByteSource* fileSource();
    // The index of the piece that holds offset, which lies inside.
    std::size_t pieceAt(std::uint64_t offset) const;
    // Makes a piece start at offset (at most size_); its index.
    std::size_t splitAt(std::uint64_t offset);
    // Replaces length bytes from offset on by pieces; the pieces replaced.
    std::vector<Piece> splice(std::uint64_t offset, std::uint64_t length,
                              const std::vector<Piece>& pieces);
    void mergeAround(std::size_t index);
    void recount();
    void overwrite(std::uint64_t offset, std::uint8_t value);
    void apply(const Edit& edit, bool forward);
    std::optional<std::uint64_t> replay(std::vector<Edit>& from, std::vector<Edit>& to,
                                        bool forward);
    Result<std::size_t> readEdited(std::uint64_t offset, std::span<std::uint8_t> into, bool cached);
    // Whether the file at path_ changed since it was opened. Where the name now leads to another
    // file or to none, nameLost says so (and the file opened is still whole).
    bool changedOnDisk(std::optional<Failure>& nameLost) const;
    Result<void> exportDelta(const std::string& target, const SaveProgress& progress);

    std::string path_;
    std::unique_ptr<FileReader> reader_;
    std::unique_ptr<CachedSource> cache_;  // over the reader's source, when it has one
    std::optional<FileError> error_;
    std::uint64_t fileSize_ = 0;
    std::uint64_t size_ = 0;
    std::uint64_t changes_ = 0;
    std::vector<Piece> pieces_;
    std::vector<std::uint64_t> starts_;  // where each piece starts in the edited bytes
    ByteBuffer typed_;
    ByteBuffer replaced_;  // beside typed_: the file's byte that a byte typed over it replaced
    std::vector<Edit> undo_;
    std::vector<Edit> redo_;
};

}  // namespace tessaloom::cli::view
