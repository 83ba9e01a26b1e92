// One file in the viewer: its bytes read on demand through the engine's page cache, and the edits
// over them, held as a map of changed bytes with undo and redo, never as a copy of the file. As a
// source it reads as edited, so that search, difference and structure see the edits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
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

// One byte overwritten: its value before and after, so that it can be undone and redone as often
// as wanted, also after saving.
struct ByteEdit {
    std::uint64_t offset = 0;
    std::uint8_t before = 0;
    std::uint8_t after = 0;
};

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
    std::uint64_t size() const override { return size_; }

    // The byte at offset as edited. Throws ReadError when the file cannot be read there.
    std::uint8_t at(std::uint64_t offset);
    // The byte at offset as the file holds it.
    std::uint8_t original(std::uint64_t offset);
    bool changed(std::uint64_t offset) const { return edits_.contains(offset); }
    // Copies the edited bytes from offset on into `into`, through the screen's pages for a read
    // shorter than one.
    Result<std::size_t> readAt(std::uint64_t offset, std::span<std::uint8_t> into) override;
    // The same past the pages: for the scans over the whole file, which would only push out the
    // screen's.
    Result<std::size_t> scan(std::uint64_t offset, std::span<std::uint8_t> into);

    // Overwrites the byte at offset (inside the file) and records it for undo; forgets the redo
    // history. With join, a change of the byte that the last edit changed too becomes part of that
    // edit (the second hex digit of a byte). False when value is what the byte already holds.
    bool set(std::uint64_t offset, std::uint8_t value, bool join = false);
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
    // How many bytes differ from the file's.
    std::size_t changeCount() const { return edits_.size(); }

    // Writes the edited bytes to target (the file itself when empty) through the safe writer, and
    // then views target. Otherwise the Failure says why, with the edits kept and nothing written:
    // the file cannot be read or target written, or the file changed on disk (kChanged) since it
    // was opened: the edits were made to what it held then. Should the name lead to another file
    // or to none by then, the bytes viewed can still be saved to another target. progress is told
    // how far the copy got after every chunk; when it returns false the save stops (kStopped),
    // with nothing written.
    using SaveProgress = std::function<bool(const ScanProgress&)>;
    Result<void> save(const std::string& target = {}, const SaveProgress& progress = {});

    // Writes the edits to target through the safe writer as a patch list that --patch applies:
    // a line for each run of changed bytes, with the bytes the file held there when they were
    // first changed as OLD, so that applying it to a file that changed since fails instead of
    // mixing the two. Works also when the file changed on disk or is gone; the edits stay.
    Result<void> exportPatches(const std::string& target) const;

  private:
    void open();
    void put(std::uint64_t offset, std::uint8_t value);
    std::optional<std::uint64_t> replay(std::vector<ByteEdit>& from, std::vector<ByteEdit>& to,
                                        bool after);
    Result<std::size_t> readEdited(std::uint64_t offset, std::span<std::uint8_t> into, bool cached);

    std::string path_;
    std::unique_ptr<FileReader> reader_;
    std::unique_ptr<CachedSource> cache_;  // over the reader's source, when it has one
    std::optional<FileError> error_;
    std::uint64_t size_ = 0;
    struct EditedByte {
        std::uint8_t original;  // as the file held it when it was first changed
        std::uint8_t value;
    };
    std::map<std::uint64_t, EditedByte> edits_;
    std::vector<ByteEdit> undo_;
    std::vector<ByteEdit> redo_;
};

}  // namespace tessaloom::cli::view
