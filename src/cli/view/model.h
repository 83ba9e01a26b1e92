// The viewer's state and everything a key does to it: the files, the cursor and scrolling, the
// modes, the edits, the prompts, and the long scans that run a step at a time between keys.
// Nothing here knows about a terminal; the layout draws it and the terminal feeds it keys.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "alignment.h"
#include "analysis.h"
#include "document.h"
#include "keys.h"
#include "scans.h"

namespace tessaloom::cli::view {

enum class Mode { kView, kEditHex, kEditText, kPrompt, kHelp, kLegend, kStructure };

enum class PromptKind { kGoto, kSearch, kFieldSearch, kSaveAs, kExport, kDiscard };

// The rows of bytes each pane shows, which the layout decides from the screen size.
struct PaneSize {
    std::size_t rows = 1;
    std::size_t mapCells = 0;       // rows of the region map beside them
    std::size_t structureRows = 1;  // rows of fields the structure panel lists
    bool structureBeside = false;   // whether the structure panel fits beside the bytes
};

class Model {
  public:
    // One file, or two compared; each must have opened without error.
    explicit Model(std::vector<std::unique_ptr<Document>> documents);

    // Takes the new size of the panes; the cursor stays in view.
    void resize(const PaneSize& size);
    // Handles one key; false once the viewer is to close. A file that cannot be read ends what
    // the key does, with the reason on the message line.
    bool handle(const Key& key);
    // Whether there is work to do between keys: a scan the user waits for, or the region map
    // and the count of differences made in the background.
    bool busy() const;
    // Does one bounded step of that work. A file that cannot be read stops the work, with the
    // reason on the message line.
    void work();
    // Called now and then during work that cannot be cut into steps (a save copies the whole
    // file), to show the screen and its progress; returns false when the user asked to stop it.
    void onLongWork(std::function<bool()> interlude) { interlude_ = std::move(interlude); }

    // What the layout shows.
    std::vector<std::unique_ptr<Document>>& documents() { return documents_; }
    Document& document() { return *documents_.front(); }
    const Document& document() const { return *documents_.front(); }
    // Where the cursor is: a row times 16 plus the column. In the positional view, where the rows
    // are the files' own, that is the offset in both.
    std::uint64_t cursor() const { return cursor_; }
    std::uint64_t top() const { return topRow_ * kBytesPerRow; }
    // The length of the longest file.
    std::uint64_t length() const { return length_; }
    // Where the cursor can go: the length of the longest file, or the aligned rows' bytes; while
    // typing inserts, one past the end too, where bytes typed are appended.
    std::uint64_t extent() const;
    // Whether the two files are shown aligned (a), each row with the bytes that the alignment
    // pairs, rather than at equal offsets.
    bool aligned() const { return aligned_; }
    // The aligned rows, while aligned().
    const Alignment& alignment() const { return *alignment_; }
    // The offset in file (0 for A, 1 for B) of the byte shown at position (as cursor()); none past
    // the file's end or in a gap of the aligned view.
    std::optional<std::uint64_t> offsetAt(std::size_t file, std::uint64_t position) const;
    // The byte of A at the cursor, or none.
    std::optional<std::uint64_t> cursorOffset() const { return offsetAt(0, cursor_); }
    // The hunk the cursor is in, while aligned().
    const DeltaHunk* hunkAtCursor() const;
    // The offsets of A that the rows on the screen show: from the first to one past the last.
    std::pair<std::uint64_t, std::uint64_t> shownOfA() const;
    const PaneSize& paneSize() const { return pane_; }
    Mode mode() const { return mode_; }
    PromptKind promptKind() const { return promptKind_; }
    const std::string& promptText() const { return promptText_; }
    std::string promptLabel() const;
    // A message for the last line: the result of the last command or the scan's progress.
    std::string message() const;
    bool bigEndian() const { return bigEndian_; }
    bool highNibble() const { return highNibble_; }
    // Whether typing inserts bytes before the cursor's rather than writing over them.
    bool inserting() const { return inserting_; }
    const std::vector<StructureField>& structure() const { return structure_; }
    std::size_t structureChoice() const { return structureChoice_; }
    // The fields the structure panel lists, as indices into structure() in its order: every
    // field but those inside a collapsed one.
    std::vector<std::size_t> structureList() const;
    // The first of structureList() that the panel shows.
    std::size_t structureTop() const { return structureTop_; }
    bool collapsed(std::size_t field) const { return collapsed_[field]; }
    // Whether other fields lie inside the field.
    bool holdsFields(std::size_t field) const;
    // Whether the structure panel is drawn: over the bytes while it has the keys, or beside
    // them, following the cursor, where the screen is wide enough.
    bool structureShown() const;
    // The smallest field of the structure that holds the cursor, other than the whole file.
    const StructureField* fieldAtCursor() const;
    // The smallest of the objects found by the last look for them (o) whose bytes hold the
    // cursor; none before the first look, and none outside every object.
    const StructureField* objectAtCursor() const;
    // Whether the structure panel lists those objects rather than the file's own structure.
    bool listsObjects() const { return fileStructure_.has_value(); }
    // The field whose bytes stand out: the one chosen in the structure panel while it has the
    // keys, otherwise the one the cursor is in.
    const StructureField* highlightedField() const;
    const RegionMap& regionMap() const { return map_; }
    // Differences counted between two files so far, and whether the count is complete.
    std::uint64_t differenceCount() const { return differences_.count(); }
    bool differencesCounted() const { return differences_.complete(); }

  private:
    // Whether the byte at offset differs between the two files.
    bool differs(std::uint64_t offset);
    bool dispatch(const Key& key);
    void step();
    void refit();
    bool handleView(const Key& key);
    bool navigate(const Key& key);
    void handleEdit(const Key& key);
    bool handlePrompt(const Key& key);
    void handleStructure(const Key& key);
    void openStructure();
    void setStructure(Structure structure);
    void showFileStructure();
    void showObjects();
    // Unfolds a field, its fields read first where they were deferred.
    void openField(std::size_t field);
    void chooseField(std::size_t field, bool jumped);
    void followCursor();
    void findField(bool forward);
    void openPrompt(PromptKind kind);
    void runPrompt();
    void moveTo(std::uint64_t offset);
    void jumpTo(std::uint64_t offset);
    // Moves the cursor to position (as cursor()), its row near the top where it left the screen.
    void showAt(std::uint64_t position);
    void moveBy(std::int64_t delta);
    void scroll();
    void edit(std::uint8_t value, bool join = false);
    void insertByte(std::uint8_t value);
    void eraseByte(std::uint64_t offset);
    // Whether an edit that inserts or deletes may be made; says why not otherwise.
    bool mayResize();
    // Whether the cursor may stand one past the end, where bytes typed are appended.
    bool appending() const;
    void startSearch(bool forward);
    void startDifference(bool forward);
    void toggleAligned();
    // The offset in A, else in B, that the cursor is at or nearest to: where a search or a relative
    // jump sets off from, and where the cursor goes when the view is positional again.
    std::uint64_t cursorFileOffset() const;
    // Whether a key that edits may do so; says why not otherwise.
    bool mayEdit();
    // Shows how far work that cannot be cut into steps got, a few times a second, and lets the
    // screen be drawn; false once the user asked to stop it.
    bool longWork(const std::string& what, std::uint64_t done, std::uint64_t total,
                  std::chrono::steady_clock::time_point& shown);
    void nextRegion();
    void undoOrRedo(bool redo);
    void save(const std::string& target);
    Result<void> exportTo(const std::string& target);

    std::vector<std::unique_ptr<Document>> documents_;
    std::uint64_t length_ = 0;
    std::uint64_t cursor_ = 0;
    std::uint64_t topRow_ = 0;
    PaneSize pane_;
    Mode mode_ = Mode::kView;
    Mode promptReturn_ = Mode::kView;
    PromptKind promptKind_ = PromptKind::kGoto;
    std::string promptText_;
    std::string message_;
    std::function<bool()> interlude_;
    bool bigEndian_ = false;
    bool highNibble_ = true;
    bool inserting_ = false;
    std::optional<BytePattern> pattern_;
    std::unique_ptr<Seek> seek_;
    std::vector<StructureField> structure_;
    std::string structureFormat_;
    // The file's own structure while the panel lists the objects found in it instead.
    std::optional<Structure> fileStructure_;
    // The objects found by the last look for them, in order of offsets (label their format),
    // kept while the panel lists the file's structure again.
    std::vector<StructureField> objects_;
    std::size_t structureChoice_ = 0;
    std::size_t structureTop_ = 0;
    std::vector<bool> collapsed_;
    // Whether the panel stays beside the bytes once the keys went back to them.
    bool structurePinned_ = false;
    std::string fieldQuery_;
    RegionMap map_;
    DifferenceCount differences_;
    // Background work that stopped at a byte that could not be read.
    bool mapStopped_ = false;
    bool differencesStopped_ = false;
    // The two files aligned, once asked for; dropped when an edit or a change on disk makes
    // them other files.
    std::optional<Alignment> alignment_;
    bool aligned_ = false;
};

}  // namespace tessaloom::cli::view
