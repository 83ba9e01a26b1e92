#include "model.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <utility>

#include "args.h"
#include "console.h"
#include "engine/diff.h"
#include "engine/hex_text.h"
#include "engine/scan.h"
#include "platform/command_text.h"

namespace tessaloom::cli::view {

namespace {

// What a prompt takes: more than any path a system allows (4096 bytes on Linux).
constexpr std::size_t kPromptLimit = 4096;

// Where "Go to offset:" text leads from cursor: an offset, or +N / -N from the cursor. Empty when
// text is no offset, or, with beforeStart set, when it leads before the start of the file.
std::optional<std::uint64_t> parseOffset(std::string_view text, std::uint64_t cursor,
                                         bool& beforeStart) {
    while (!text.empty() && text.front() == ' ') {
        text.remove_prefix(1);
    }
    while (!text.empty() && text.back() == ' ') {
        text.remove_suffix(1);
    }
    const char sign = text.empty() ? 0 : text.front();
    if (sign == '+' || sign == '-') {
        text.remove_prefix(1);
    }
    const std::optional<std::uint64_t> value = parseSize(text);
    if (!value) {
        return std::nullopt;
    }
    if (sign == '+') {
        return *value <= UINT64_MAX - cursor ? std::optional(cursor + *value) : std::nullopt;
    }
    if (sign == '-') {
        beforeStart = *value > cursor;
        return beforeStart ? std::nullopt : std::optional(cursor - *value);
    }
    return value;
}

std::string hex(std::uint64_t value) {
    return "0x" + hexNumber(value, HexLetters::kUpper);
}

int hexDigit(char c) {
    const int value = conversionDigitValue(c);
    return value < 16 ? value : -1;
}

// Why a typed name cannot be used on this system (only Windows has such names).
constexpr std::string_view kNoSystemName =
    "the name has a character that this system's code page for file names lacks";

std::string plural(std::uint64_t count, std::string_view word) {
    return std::to_string(count) + " " + std::string(word) + (count == 1 ? "" : "s");
}

}  // namespace

Model::Model(std::vector<std::unique_ptr<Document>> documents) : documents_(std::move(documents)) {
    for (const auto& document : documents_) {
        length_ = std::max(length_, document->size());
    }
    setStructure(readStructure(document()));
    if (documents_.size() == 2) {
        differences_ = DifferenceCount(length_);
    }
}

void Model::resize(const PaneSize& size) {
    pane_ = size;
    pane_.rows = std::max<std::size_t>(pane_.rows, 1);
    if (map_.cells().size() != pane_.mapCells) {
        map_ = RegionMap(document().size(), pane_.mapCells);
        mapStopped_ = false;
    }
    scroll();
}

bool Model::differs(std::uint64_t offset) {
    if (documents_.size() < 2) {
        return false;
    }
    return readOrThrow(differsAt(*documents_[0], *documents_[1], offset));
}

std::uint64_t Model::extent() const {
    return aligned_ ? alignment_->rows() * kBytesPerRow : length_ + (appending() ? 1 : 0);
}

bool Model::appending() const {
    return inserting_ && documents_.size() == 1 &&
           (mode_ == Mode::kEditHex || mode_ == Mode::kEditText);
}

std::optional<std::uint64_t> Model::offsetAt(std::size_t file, std::uint64_t position) const {
    if (!aligned_) {
        return position < documents_[file]->size() ? std::optional(position) : std::nullopt;
    }
    if (position >= extent()) {
        return std::nullopt;
    }
    const AlignedRow row = alignment_->row(position / kBytesPerRow);
    const std::uint64_t column = position % kBytesPerRow;
    const std::optional<std::uint64_t>& start = file == 0 ? row.a : row.b;
    if (column >= row.count || !start) {
        return std::nullopt;
    }
    return *start + column;
}

const DeltaHunk* Model::hunkAtCursor() const {
    if (!aligned_ || extent() == 0) {
        return nullptr;
    }
    return &alignment_
                ->hunks()[alignment_->row(std::min(cursor_, extent() - 1) / kBytesPerRow).hunk];
}

std::uint64_t Model::cursorFileOffset() const {
    if (!aligned_ || extent() == 0) {
        return cursor_;
    }
    const AlignedRow row = alignment_->row(std::min(cursor_, extent() - 1) / kBytesPerRow);
    if (!row.a) {
        // An insertion: where in A its bytes go.
        return alignment_->hunks()[row.hunk].aOffset;
    }
    return *row.a + std::min<std::uint64_t>(cursor_ % kBytesPerRow, row.count - 1);
}

std::pair<std::uint64_t, std::uint64_t> Model::shownOfA() const {
    if (!aligned_) {
        return {top(), top() + pane_.rows * kBytesPerRow};
    }
    std::uint64_t first = UINT64_MAX;
    std::uint64_t end = 0;
    for (std::uint64_t row = topRow_; row < alignment_->rows() && row < topRow_ + pane_.rows;
         ++row) {
        const AlignedRow shown = alignment_->row(row);
        if (shown.a) {
            first = std::min(first, *shown.a);
            end = std::max(end, *shown.a + shown.count);
        }
    }
    return first < end ? std::pair(first, end) : std::pair<std::uint64_t, std::uint64_t>(0, 0);
}

const StructureField* Model::fieldAtCursor() const {
    const StructureField* best = nullptr;
    const std::optional<std::uint64_t> at = cursorOffset();
    if (!at) {
        return nullptr;
    }
    for (std::size_t i = 1; i < structure_.size(); ++i) {
        const StructureField& field = structure_[i];
        // A field that spans the whole file (the data of a raw file) says nothing of this byte.
        if (field.size >= document().size()) {
            continue;
        }
        if (*at >= field.offset && *at - field.offset < field.size &&
            (best == nullptr || field.size < best->size ||
             (field.size == best->size && field.depth > best->depth))) {
            best = &field;
        }
    }
    return best;
}

const StructureField* Model::objectAtCursor() const {
    const StructureField* best = nullptr;
    const std::optional<std::uint64_t> at = cursorOffset();
    if (!at) {
        return nullptr;
    }
    for (const StructureField& object : objects_) {
        if (object.offset > *at) {
            break;
        }
        if (*at - object.offset < object.size && (best == nullptr || object.size < best->size)) {
            best = &object;
        }
    }
    return best;
}

std::string Model::promptLabel() const {
    switch (promptKind_) {
        case PromptKind::kGoto:
            return "Go to offset: ";
        case PromptKind::kSearch:
            return "Find (hex as --find, or \"text\"): ";
        case PromptKind::kFieldSearch:
            return "Find a field (name or value): ";
        case PromptKind::kSaveAs:
            return "Save as: ";
        case PromptKind::kExport:
            return "Export the changes as a patch list to: ";
        case PromptKind::kDiscard:
            return "Discard " + plural(document().changeCount(), "change") + "? (y/n) ";
    }
    return {};
}

std::string Model::message() const {
    if (seek_) {
        return seek_->what() + "... " + fixedDecimals(seek_->done() * 100, 0) + "% (Esc stops)";
    }
    return message_;
}

bool Model::busy() const {
    return seek_ != nullptr || (!differences_.complete() && !differencesStopped_) ||
           (!map_.complete() && !mapStopped_);
}

void Model::work() {
    // A file that cannot be read stops the work that read it, and says why; the edits and the
    // rest of the viewer go on.
    try {
        step();
    } catch (const ReadError& error) {
        message_ = failureText(error.failure());
        if (seek_) {
            seek_.reset();
        } else if (!differences_.complete() && !differencesStopped_) {
            differencesStopped_ = true;
        } else {
            mapStopped_ = true;
        }
    }
}

void Model::step() {
    if (seek_) {
        if (!seek_->step()) {
            return;
        }
        const bool search = dynamic_cast<SearchSeek*>(seek_.get()) != nullptr;
        if (const std::optional<std::uint64_t> found = seek_->found()) {
            jumpTo(*found);
            message_ = (search ? "Found at " : "Difference at ") + hex(*found);
        } else {
            message_ = search ? "Not found" : "No more differences";
        }
        seek_.reset();
    } else if (!differences_.complete() && !differencesStopped_) {
        differences_.step(*documents_[0], *documents_[1]);
    } else if (!mapStopped_) {
        map_.step(document());
    }
}

void Model::moveTo(std::uint64_t offset) {
    cursor_ = extent() == 0 ? 0 : std::min(offset, extent() - 1);
    highNibble_ = true;
    scroll();
}

// A jump (to an offset, a field, a match, a difference, a region) that leaves the screen shows
// its row near the top, with a little of what comes before it above: what follows the target is
// what the user came to read. In the aligned view, offset is one of A, or of B past A's end.
void Model::jumpTo(std::uint64_t offset) {
    if (aligned_) {
        const std::optional<std::uint64_t> inA = alignment_->positionOf(0, offset);
        offset = inA ? *inA : alignment_->positionOf(1, offset).value_or(offset);
    }
    showAt(offset);
}

void Model::showAt(std::uint64_t position) {
    const std::uint64_t rows = std::max<std::uint64_t>(pane_.rows, 1);
    const std::uint64_t wasTop = topRow_;
    moveTo(position);
    const std::uint64_t row = cursor_ / kBytesPerRow;
    if (row >= wasTop && row < wasTop + rows) {
        return;
    }
    const std::uint64_t lastRow = extent() == 0 ? 0 : (extent() - 1) / kBytesPerRow;
    const std::uint64_t lastTop = lastRow >= rows ? lastRow - rows + 1 : 0;
    topRow_ = std::min(row - std::min<std::uint64_t>(row, (rows - 1) / 4), lastTop);
}

void Model::moveBy(std::int64_t delta) {
    if (delta < 0) {
        const std::uint64_t back = static_cast<std::uint64_t>(-delta);
        moveTo(cursor_ >= back ? cursor_ - back : cursor_ % kBytesPerRow);
    } else {
        const std::uint64_t ahead = static_cast<std::uint64_t>(delta);
        const std::uint64_t last = extent() == 0 ? 0 : extent() - 1;
        // A step down past the last row stops on the last byte only when there is a row to go to.
        if (last - cursor_ < ahead && last / kBytesPerRow == cursor_ / kBytesPerRow) {
            return;
        }
        moveTo(last - cursor_ >= ahead ? cursor_ + ahead : last);
    }
}

void Model::scroll() {
    const std::uint64_t row = cursor_ / kBytesPerRow;
    if (row < topRow_) {
        topRow_ = row;
    } else if (row >= topRow_ + pane_.rows) {
        topRow_ = row - pane_.rows + 1;
    }
}

bool Model::handle(const Key& key) {
    message_.clear();
    // A file that cannot be read (it shrank or failed under the viewer) ends what the key began,
    // and not the viewer: the edits stay, to be saved elsewhere or dropped when asked.
    try {
        const bool open = dispatch(key);
        if (structurePinned_ && mode_ == Mode::kView) {
            followCursor();
        }
        return open;
    } catch (const ReadError& error) {
        message_ = failureText(error.failure());
        return true;
    }
}

bool Model::dispatch(const Key& key) {
    if (key.is(kCtrlC) && !(mode_ == Mode::kPrompt && promptKind_ == PromptKind::kDiscard)) {
        mode_ = Mode::kView;
        seek_.reset();
        return handleView(Key{KeyCode::kChar, 'q'});
    }
    switch (mode_) {
        case Mode::kView:
            return handleView(key);
        case Mode::kEditHex:
        case Mode::kEditText:
            handleEdit(key);
            return true;
        case Mode::kPrompt:
            return handlePrompt(key);
        case Mode::kHelp:
        case Mode::kLegend:
            // ? turns between the keys and what the colours and marks mean; any other key closes.
            mode_ = !key.is('?') ? Mode::kView : mode_ == Mode::kHelp ? Mode::kLegend : Mode::kHelp;
            return true;
        case Mode::kStructure:
            handleStructure(key);
            return true;
    }
    return true;
}

bool Model::handleView(const Key& key) {
    using Action = void (*)(Model&);
    struct Binding {
        Key key;
        Action action;
    };
    // clang-format off
    static const Binding kBindings[] = {
        {{KeyCode::kChar, 'h'}, [](Model& m) { m.moveBy(-1); }},
        {{KeyCode::kChar, 'l'}, [](Model& m) { m.moveBy(1); }},
        {{KeyCode::kChar, 'k'}, [](Model& m) { m.moveBy(-16); }},
        {{KeyCode::kChar, 'j'}, [](Model& m) { m.moveBy(16); }},
        {{KeyCode::kChar, 'G'}, [](Model& m) { m.moveTo(UINT64_MAX); }},
        {{KeyCode::kChar, 'g'}, [](Model& m) { m.openPrompt(PromptKind::kGoto); }},
        {{KeyCode::kChar, '/'}, [](Model& m) { m.openPrompt(PromptKind::kSearch); }},
        {{KeyCode::kChar, 'n'}, [](Model& m) { m.startSearch(true); }},
        {{KeyCode::kChar, 'N'}, [](Model& m) { m.startSearch(false); }},
        {{KeyCode::kChar, ']'}, [](Model& m) { m.startDifference(true); }},
        {{KeyCode::kChar, '['}, [](Model& m) { m.startDifference(false); }},
        {{KeyCode::kChar, 'm'}, [](Model& m) { m.nextRegion(); }},
        {{KeyCode::kChar, 'a'}, [](Model& m) { m.toggleAligned(); }},
        {{KeyCode::kChar, 's'}, [](Model& m) { m.showFileStructure(); m.openStructure(); }},
        {{KeyCode::kChar, 'o'}, [](Model& m) { m.showObjects(); }},
        {{KeyCode::kChar, '?'}, [](Model& m) { m.mode_ = Mode::kHelp; }},
        {{KeyCode::kChar, 't'}, [](Model& m) { m.bigEndian_ = !m.bigEndian_; }},
        {{KeyCode::kChar, 'e'}, [](Model& m) {
            if (m.mayEdit()) { m.mode_ = Mode::kEditHex; m.highNibble_ = true; } }},
        {{KeyCode::kChar, 'w'}, [](Model& m) { m.save({}); }},
        {{KeyCode::kChar, 'W'}, [](Model& m) { m.openPrompt(PromptKind::kSaveAs); }},
        {{KeyCode::kChar, 'p'}, [](Model& m) {
            if (m.document().changeCount() == 0) { m.message_ = "No changes to export"; }
            else { m.openPrompt(PromptKind::kExport); } }},
        {{KeyCode::kEscape}, [](Model& m) {
            if (m.seek_) { m.seek_.reset(); m.message_ = "Stopped"; }
            else { m.structurePinned_ = false; } }},
        {{KeyCode::kChar, 'u'}, [](Model& m) { if (m.mayEdit()) { m.undoOrRedo(false); } }},
        {{KeyCode::kChar, kCtrlR}, [](Model& m) { if (m.mayEdit()) { m.undoOrRedo(true); } }},
    };
    // clang-format on
    if (key.is('q')) {
        if (document().changeCount() == 0) {
            return false;
        }
        openPrompt(PromptKind::kDiscard);
        return true;
    }
    if (navigate(key)) {
        return true;
    }
    for (const Binding& binding : kBindings) {
        if (binding.key == key) {
            binding.action(*this);
            return true;
        }
    }
    return true;
}

bool Model::navigate(const Key& key) {
    const std::int64_t page = static_cast<std::int64_t>(pane_.rows * kBytesPerRow);
    switch (key.code) {
        case KeyCode::kLeft:
            moveBy(-1);
            return true;
        case KeyCode::kRight:
            moveBy(1);
            return true;
        case KeyCode::kUp:
            moveBy(-static_cast<std::int64_t>(kBytesPerRow));
            return true;
        case KeyCode::kDown:
            moveBy(static_cast<std::int64_t>(kBytesPerRow));
            return true;
        case KeyCode::kPageUp:
            topRow_ -= std::min<std::uint64_t>(topRow_, pane_.rows);
            moveBy(-page);
            return true;
        case KeyCode::kPageDown:
            if (extent() > 0 && topRow_ + pane_.rows <= (extent() - 1) / kBytesPerRow) {
                topRow_ += pane_.rows;
            }
            moveBy(page);
            return true;
        case KeyCode::kHome:
            moveTo(cursor_ - cursor_ % kBytesPerRow);
            return true;
        case KeyCode::kEnd:
            moveTo(cursor_ - cursor_ % kBytesPerRow + kBytesPerRow - 1);
            return true;
        case KeyCode::kCtrlHome:
            moveTo(0);
            return true;
        case KeyCode::kCtrlEnd:
            moveTo(UINT64_MAX);
            return true;
        default:
            return false;
    }
}

void Model::undoOrRedo(bool redo) {
    Document& edited = document();
    const std::optional<std::uint64_t> offset = redo ? edited.redoOffset() : edited.undoOffset();
    if (!offset) {
        message_ = redo ? "Nothing to redo" : "Nothing to undo";
        return;
    }
    const bool before = differs(*offset);
    const std::uint64_t size = edited.size();
    alignment_.reset();
    if (redo) {
        edited.redo();
    } else {
        edited.undo();
    }
    if (edited.size() != size) {
        // Bytes inserted or deleted again: the offsets after them moved.
        cursor_ = *offset;
        refit();
        return;
    }
    differences_.changed(*offset, before, differs(*offset));
    moveTo(*offset);
}

void Model::edit(std::uint8_t value, bool join) {
    Document& edited = document();
    if (cursor_ >= edited.size()) {
        message_ = "Past the end of " + edited.path();
        return;
    }
    const bool before = differs(cursor_);
    alignment_.reset();
    edited.set(cursor_, value, join);
    differences_.changed(cursor_, before, differs(cursor_));
}

bool Model::mayResize() {
    if (documents_.size() > 1) {
        message_ = "No inserting or deleting with two files: they are compared at equal offsets";
        return false;
    }
    return true;
}

void Model::insertByte(std::uint8_t value) {
    const std::uint64_t at = cursor_;
    document().insert(at, ByteView(&value, 1));
    refit();
    cursor_ = at;
}

void Model::eraseByte(std::uint64_t offset) {
    if (offset >= document().size()) {
        message_ = "Past the end of " + document().path();
        return;
    }
    document().erase(offset, 1);
    cursor_ = offset;
    refit();
}

void Model::handleEdit(const Key& key) {
    if (key.code == KeyCode::kEscape) {
        mode_ = Mode::kView;
        moveTo(cursor_);
        return;
    }
    if (key.code == KeyCode::kTab) {
        mode_ = mode_ == Mode::kEditHex ? Mode::kEditText : Mode::kEditHex;
        highNibble_ = true;
        return;
    }
    if (key.code == KeyCode::kInsert || key.is(kCtrlT)) {
        if (mayResize()) {
            inserting_ = !inserting_;
            moveTo(cursor_);
        }
        return;
    }
    if (key.code == KeyCode::kDelete) {
        if (mayResize()) {
            eraseByte(cursor_);
        }
        return;
    }
    if (key.code == KeyCode::kBackspace) {
        // Inserting, the byte before the cursor goes; writing over, the cursor goes back to it.
        if (!inserting_) {
            moveBy(-1);
        } else if (cursor_ > 0) {
            eraseByte(cursor_ - 1);
        }
        return;
    }
    const bool typedInto = !inserting_ || !highNibble_;
    if (navigate(key) || key.code != KeyCode::kChar ||
        (typedInto && cursor_ >= document().size())) {
        if (key.code == KeyCode::kChar && cursor_ >= document().size()) {
            message_ = "Past the end of " + document().path();
        }
        return;
    }
    if (mode_ == Mode::kEditText) {
        if (isPrintableAscii(static_cast<std::uint8_t>(key.ch))) {
            if (inserting_) {
                insertByte(static_cast<std::uint8_t>(key.ch));
            } else {
                edit(static_cast<std::uint8_t>(key.ch));
            }
            moveBy(1);
        }
        return;
    }
    const int digit = hexDigit(key.ch);
    if (digit < 0) {
        message_ = "Hex digits only here (Tab for text, Esc to leave)";
        return;
    }
    const auto nibble = static_cast<std::uint8_t>(digit);
    if (inserting_ && highNibble_) {
        // A new byte, its low digit still to come.
        insertByte(static_cast<std::uint8_t>(nibble << 4));
        highNibble_ = false;
        return;
    }
    const std::uint8_t old = document().at(cursor_);
    if (highNibble_) {
        edit(static_cast<std::uint8_t>((nibble << 4) | (old & 0x0F)));
        highNibble_ = false;
    } else {
        edit(static_cast<std::uint8_t>((old & 0xF0) | nibble), true);
        const std::uint64_t before = cursor_;
        moveBy(1);
        // On the last byte the cursor stays, ready for its high digit again.
        if (cursor_ == before) {
            highNibble_ = true;
        }
    }
}

void Model::openPrompt(PromptKind kind) {
    promptReturn_ = mode_;
    mode_ = Mode::kPrompt;
    promptKind_ = kind;
    promptText_.clear();
}

bool Model::handlePrompt(const Key& key) {
    if (promptKind_ == PromptKind::kDiscard) {
        if (key.is('y') || key.is('Y')) {
            return false;
        }
        mode_ = promptReturn_;
        return true;
    }
    switch (key.code) {
        case KeyCode::kEscape:
            mode_ = promptReturn_;
            return true;
        case KeyCode::kEnter:
            mode_ = promptReturn_;
            runPrompt();
            return true;
        case KeyCode::kBackspace:
            // A whole character: its continuation bytes, then the byte that leads them.
            while (!promptText_.empty() &&
                   (static_cast<std::uint8_t>(promptText_.back()) & 0xC0) == 0x80) {
                promptText_.pop_back();
            }
            if (!promptText_.empty()) {
                promptText_.pop_back();
            }
            return true;
        case KeyCode::kChar: {
            // Printable ASCII and the bytes of UTF-8 characters, which a terminal sends as they
            // are; a typed name is never cut without a word.
            const auto byte = static_cast<std::uint8_t>(key.ch);
            if (!isPrintableAscii(byte) && byte < 0x80) {
                return true;
            }
            if (promptText_.size() >= kPromptLimit) {
                message_ = "The text is limited to " + std::to_string(kPromptLimit) + " bytes";
                return true;
            }
            promptText_.push_back(key.ch);
            return true;
        }
        default:
            return true;
    }
}

void Model::runPrompt() {
    switch (promptKind_) {
        case PromptKind::kGoto: {
            bool beforeStart = false;
            if (const std::optional<std::uint64_t> offset =
                    parseOffset(promptText_, cursorFileOffset(), beforeStart)) {
                if (*offset >= length_ && !(length_ == 0 && *offset == 0)) {
                    message_ = "Past the end: the file has " + plural(length_, "byte");
                } else {
                    jumpTo(*offset);
                }
            } else {
                message_ = beforeStart ? "Before the start of the file: " + promptText_
                                       : "Not an offset: " + promptText_;
            }
            return;
        }
        case PromptKind::kSearch:
            if (!promptText_.empty()) {
                std::string why;
                std::optional<BytePattern> pattern = parseSearchPattern(promptText_, why);
                if (!pattern) {
                    message_ = why;
                    return;
                }
                pattern_ = std::move(pattern);
            }
            startSearch(true);
            return;
        case PromptKind::kFieldSearch:
            if (!promptText_.empty()) {
                fieldQuery_ = promptText_;
            }
            findField(true);
            return;
        case PromptKind::kSaveAs:
            if (promptText_.empty()) {
                message_ = "Not saved: no name given";
            } else if (const std::optional<std::string> name = systemFileName(promptText_)) {
                save(*name);
            } else {
                message_ = std::string("Not saved: ").append(kNoSystemName);
            }
            return;
        case PromptKind::kExport:
            if (promptText_.empty()) {
                message_ = "Not exported: no name given";
            } else if (const std::optional<std::string> name = systemFileName(promptText_); !name) {
                message_ = std::string("Not exported: ").append(kNoSystemName);
            } else if (const Result<void> exported = exportTo(*name); !exported) {
                message_ = "Not exported: " + failureText(exported.failure());
            } else {
                message_ = "Exported " + plural(document().changeCount(), "change") + " to " +
                           promptText_ + ": tessaloom --patch FILE " + promptText_ + " OUT";
            }
            return;
        case PromptKind::kDiscard:
            return;
    }
}

Result<void> Model::exportTo(const std::string& target) {
    // After an insertion or a deletion, the file's checksum is read first: the screen shows how
    // far it got, and Esc stops it.
    Document& edited = document();
    auto shown = std::chrono::steady_clock::now();
    return edited.exportPatches(target, [&](const ScanProgress& done) {
        return longWork("Reading " + edited.path(), done.done, done.total.value_or(0), shown);
    });
}

void Model::startSearch(bool forward) {
    if (!pattern_) {
        message_ = "No pattern yet: / asks for one";
        return;
    }
    seek_ = std::make_unique<SearchSeek>(document(), *pattern_, cursorFileOffset(), forward);
}

void Model::startDifference(bool forward) {
    if (documents_.size() < 2) {
        message_ = "Differences need a second file: --view FILE FILE_B";
        return;
    }
    if (aligned_) {
        const DeltaHunk* here = hunkAtCursor();
        const std::optional<std::size_t> next =
            here == nullptr
                ? std::nullopt
                : alignment_->nextDifference(
                      static_cast<std::size_t>(here - alignment_->hunks().data()), forward);
        if (!next) {
            message_ = "No more differences";
            return;
        }
        showAt(alignment_->firstRow(*next) * kBytesPerRow);
        return;
    }
    seek_ = std::make_unique<DifferenceSeek>(*documents_[0], *documents_[1], cursor_, forward);
}

bool Model::mayEdit() {
    if (aligned_) {
        message_ = "No editing in the aligned view: a shows the files at equal offsets again";
        return false;
    }
    return true;
}

// Aligns the two files with the engine's alignFiles the first time (the screen shows how far it
// got, and Esc stops it), and shows them so; again, shows them at equal offsets. The cursor
// stays on its byte of A, and on its row of the screen.
void Model::toggleAligned() {
    if (documents_.size() < 2) {
        message_ = "Aligning needs a second file: --view FILE FILE_B";
        return;
    }
    const std::uint64_t screenRow = cursor_ / kBytesPerRow - topRow_;
    std::uint64_t offset = cursorFileOffset();
    if (aligned_) {
        offset = offsetAt(0, cursor_).value_or(offsetAt(1, cursor_).value_or(offset));
    } else if (!alignment_) {
        const std::uint64_t total = documents_[0]->size() + documents_[1]->size();
        auto shown = std::chrono::steady_clock::now();
        try {
            alignment_ =
                alignDocuments(*documents_[0], *documents_[1], [&](const ScanProgress& done) {
                    if (!longWork("Aligning", done.done, total, shown)) {
                        throw ReadError(
                            Failure{Failure::Kind::kStopped, document().path(), "", 0, {}});
                    }
                });
        } catch (const ReadError& error) {
            if (error.failure().kind != Failure::Kind::kStopped) {
                throw;
            }
            message_ = "Stopped";
            return;
        }
    }
    aligned_ = !aligned_;
    jumpTo(offset);
    const std::uint64_t row = cursor_ / kBytesPerRow;
    const std::uint64_t lastRow = extent() == 0 ? 0 : (extent() - 1) / kBytesPerRow;
    const std::uint64_t lastTop = lastRow >= pane_.rows ? lastRow - pane_.rows + 1 : 0;
    topRow_ = std::min(row - std::min(row, screenRow), lastTop);
    if (!aligned_) {
        message_ = "At equal offsets";
        return;
    }
    const auto differing = static_cast<std::uint64_t>(std::ranges::count_if(
        alignment_->hunks(),
        [](const DeltaHunk& hunk) { return hunk.op != DeltaHunk::Op::kEqual; }));
    message_ = "Aligned: " + plural(differing, "hunk") + " not equal; ] [ go to them, a goes back";
}

bool Model::longWork(const std::string& what, std::uint64_t done, std::uint64_t total,
                     std::chrono::steady_clock::time_point& shown) {
    const auto now = std::chrono::steady_clock::now();
    if (!interlude_ || now - shown < std::chrono::milliseconds(100)) {
        return true;
    }
    shown = now;
    const double percent =
        total == 0 ? 100.0 : 100.0 * static_cast<double>(done) / static_cast<double>(total);
    message_ = what + "... " + fixedDecimals(percent, 0) + "% (Esc stops)";
    return interlude_();
}

void Model::nextRegion() {
    const std::vector<RegionClass>& cells = map_.cells();
    if (cells.empty()) {
        message_ = "No map of an empty file";
        return;
    }
    const std::size_t here = map_.cellOf(cursorFileOffset());
    for (std::size_t cell = here + 1; cell < cells.size(); ++cell) {
        if (!cells[cell]) {
            message_ = "The map is still being made";
            return;
        }
        if (cells[cell] != cells[here]) {
            jumpTo(map_.cellStart(cell));
            return;
        }
    }
    message_ = "No further region";
}

void Model::save(const std::string& target) {
    Document& edited = document();
    if (target.empty() && edited.changeCount() == 0) {
        message_ = "No changes to save";
        return;
    }
    const std::size_t changes = edited.changeCount();
    const std::string destination = target.empty() ? edited.path() : target;
    const std::uint64_t size = edited.size();
    // The screen shows how far the copy got a few times a second, and Esc stops it.
    auto shown = std::chrono::steady_clock::now();
    const auto progress = [&](const ScanProgress& done) {
        return longWork("Saving to " + destination, done.done, size, shown);
    };
    const Result<void> saved = edited.save(target, progress);
    if (edited.size() != size) {
        // Opened again after a failure, the file had changed under the viewer.
        refit();
    }
    if (!saved) {
        message_ = "Not saved: " + failureText(saved.failure());
        if (saved.failure().kind == Failure::Kind::kChanged) {
            message_ += "; p exports the changes as a patch list";
        }
        return;
    }
    message_ = "Saved " + plural(changes, "change") + " to " + destination;
    map_ = RegionMap(edited.size(), pane_.mapCells);
    mapStopped_ = false;
    try {
        fileStructure_.reset();
        setStructure(readStructure(edited));
    } catch (const ReadError& error) {
        message_ += "; " + failureText(error.failure());
    }
}

void Model::refit() {
    // The files are others now: their alignment with them.
    if (aligned_) {
        cursor_ = cursorFileOffset();
        topRow_ = 0;
        aligned_ = false;
    }
    alignment_.reset();
    length_ = 0;
    for (const auto& document : documents_) {
        length_ = std::max(length_, document->size());
    }
    if (documents_.size() == 2) {
        differences_ = DifferenceCount(length_);
        differencesStopped_ = false;
    }
    map_ = RegionMap(document().size(), pane_.mapCells);
    mapStopped_ = false;
    // The file is another now: what was found in it may no longer be there, and its structure
    // is read again, its fields where they now lie.
    objects_.clear();
    moveTo(cursor_);
    try {
        fileStructure_.reset();
        setStructure(readStructure(document()));
    } catch (const ReadError& error) {
        message_ = failureText(error.failure());
    }
}

void Model::showFileStructure() {
    if (fileStructure_) {
        setStructure(std::move(*fileStructure_));
        fileStructure_.reset();
    }
}

// Scans the file as edited for the objects --scan finds and lists them in the structure panel,
// one row each under a first row that counts them: Enter goes to one, / finds one by its format
// or description, and the status line names the one the cursor is in. s lists the file's own
// structure again.
void Model::showObjects() {
    Document& edited = document();
    const std::uint64_t size = edited.size();
    std::vector<StructureField> rows{{"Objects", "", 0, size, 0, std::nullopt, 0}};
    auto shown = std::chrono::steady_clock::now();
    ScanOptions options;
    options.progress = [&](const ScanProgress& done) {
        if (!longWork("Scanning for objects", done.done, size, shown)) {
            throw ReadError(Failure{Failure::Kind::kStopped, edited.path(), "", 0, {}});
        }
    };
    const ScanHitCallback onHit = [&rows](const ScanHit& hit) {
        rows.push_back({hit.format,
                        hit.sizeExact ? hit.description : hit.description + " (size estimated)",
                        hit.offset, hit.size, 1, std::size_t{0}, 0});
    };
    try {
        const Result<ScanSummary> summary = scanObjects(edited, onHit, options);
        if (!summary) {
            throw ReadError(summary.failure());
        }
    } catch (const ReadError& error) {
        if (error.failure().kind != Failure::Kind::kStopped) {
            throw;
        }
        message_ = "Stopped";
        return;
    }
    const std::size_t found = rows.size() - 1;
    rows.front().value = found == 0 ? std::string("none found") : plural(found, "object");
    message_ = found == 0 ? "No object found" : plural(found, "object") + " found";
    objects_.assign(rows.begin() + 1, rows.end());
    if (!fileStructure_) {
        fileStructure_ = Structure{std::move(structure_), std::move(structureFormat_)};
    }
    setStructure({std::move(rows), "objects"});
    openStructure();
}

void Model::setStructure(Structure structure) {
    structure_ = std::move(structure.fields);
    structureFormat_ = std::move(structure.format);
    // A field whose fields are still to be read shows folded.
    collapsed_.clear();
    for (const StructureField& field : structure_) {
        collapsed_.push_back(field.deferred != 0);
    }
    structureChoice_ = 0;
    structureTop_ = 0;
}

void Model::openField(std::size_t field) {
    if (structure_[field].deferred != 0) {
        std::vector<StructureField> inner =
            readDeferred(document(), structureFormat_, structure_, field);
        const std::size_t count = inner.size();
        // The rows after it move down by count.
        for (std::size_t i = field + 1; i < structure_.size(); ++i) {
            if (structure_[i].parent && *structure_[i].parent > field) {
                *structure_[i].parent += count;
            }
        }
        const auto at = static_cast<std::ptrdiff_t>(field + 1);
        structure_.insert(structure_.begin() + at, std::make_move_iterator(inner.begin()),
                          std::make_move_iterator(inner.end()));
        collapsed_.insert(collapsed_.begin() + at, count, false);
        structure_[field].deferred = 0;
        if (structureChoice_ > field) {
            structureChoice_ += count;
        }
    }
    collapsed_[field] = false;
}

std::vector<std::size_t> Model::structureList() const {
    std::vector<std::size_t> list;
    for (std::size_t i = 0; i < structure_.size(); ++i) {
        list.push_back(i);
        if (collapsed_[i]) {
            // The fields inside it follow it, deeper than it.
            const std::size_t depth = structure_[i].depth;
            while (i + 1 < structure_.size() && structure_[i + 1].depth > depth) {
                ++i;
            }
        }
    }
    return list;
}

bool Model::holdsFields(std::size_t field) const {
    return structure_[field].deferred != 0 ||
           (field + 1 < structure_.size() && structure_[field + 1].depth > structure_[field].depth);
}

bool Model::structureShown() const {
    const bool focused =
        mode_ == Mode::kStructure || (mode_ == Mode::kPrompt && promptReturn_ == Mode::kStructure);
    return !structure_.empty() && (focused || (structurePinned_ && pane_.structureBeside));
}

const StructureField* Model::highlightedField() const {
    if (mode_ == Mode::kStructure && structureChoice_ > 0 && structureChoice_ < structure_.size()) {
        return &structure_[structureChoice_];
    }
    return fieldAtCursor();
}

void Model::openStructure() {
    // The panel opens on the field the cursor is in, or the one that holds it folded.
    followCursor();
    mode_ = Mode::kStructure;
    structurePinned_ = pane_.structureBeside;
}

// Makes field the chosen one, its folded parents opened, and scrolls the panel to it: by a row
// when it is the next or the one before, otherwise a quarter of the panel from the top. Beside
// the bytes, the view goes to it.
void Model::chooseField(std::size_t field, bool jumped) {
    for (std::optional<std::size_t> parent = structure_[field].parent; parent;
         parent = structure_[*parent].parent) {
        collapsed_[*parent] = false;
    }
    structureChoice_ = field;
    const std::vector<std::size_t> list = structureList();
    const auto row = static_cast<std::size_t>(std::ranges::lower_bound(list, field) - list.begin());
    const std::size_t rows = std::max<std::size_t>(pane_.structureRows, 1);
    structureTop_ = std::min(structureTop_, list.size() - 1);
    if (row < structureTop_ || row >= structureTop_ + rows) {
        structureTop_ = jumped                ? row - std::min(row, (rows - 1) / 4)
                        : row < structureTop_ ? row
                                              : row - rows + 1;
    }
    if (pane_.structureBeside && mode_ == Mode::kStructure && structure_[field].size > 0) {
        jumpTo(structure_[field].offset);
    }
}

// Chooses the field the cursor is in, or the folded field that holds it.
void Model::followCursor() {
    if (structure_.empty()) {
        return;
    }
    const StructureField* field = fieldAtCursor();
    std::size_t shown = field != nullptr ? static_cast<std::size_t>(field - structure_.data()) : 0;
    for (std::optional<std::size_t> parent = structure_[shown].parent; parent;
         parent = structure_[*parent].parent) {
        if (collapsed_[*parent]) {
            shown = *parent;
        }
    }
    if (shown != structureChoice_) {
        chooseField(shown, true);
    }
}

void Model::findField(bool forward) {
    if (fieldQuery_.empty()) {
        message_ = "No field searched for yet: / asks for a name or value";
        return;
    }
    const auto lower = [](std::string text) {
        for (char& c : text) {
            if (c >= 'A' && c <= 'Z') {
                c = static_cast<char>(c - 'A' + 'a');
            }
        }
        return text;
    };
    const std::string query = lower(fieldQuery_);
    const std::size_t count = structure_.size();
    for (std::size_t step = 1; step <= count; ++step) {
        const std::size_t i = forward ? (structureChoice_ + step) % count
                                      : (structureChoice_ + count - step % count) % count;
        if (lower(structure_[i].label).find(query) != std::string::npos ||
            lower(structure_[i].value).find(query) != std::string::npos) {
            chooseField(i, true);
            return;
        }
    }
    message_ = "No field holds \"" + fieldQuery_ + "\"";
}

void Model::handleStructure(const Key& key) {
    if (structure_.empty() || key.code == KeyCode::kEscape || key.is('q')) {
        mode_ = Mode::kView;
        structurePinned_ = false;
        return;
    }
    if (key.is('s') || key.code == KeyCode::kTab || key.code == KeyCode::kEnter) {
        // Back to the bytes; beside them the panel stays and follows the cursor.
        if (key.code == KeyCode::kEnter) {
            jumpTo(structure_[structureChoice_].offset);
        }
        mode_ = Mode::kView;
        return;
    }
    if (key.is('/')) {
        openPrompt(PromptKind::kFieldSearch);
        return;
    }
    if (key.is('n') || key.is('N')) {
        findField(key.is('n'));
        return;
    }
    const std::size_t choice = structureChoice_;
    const std::optional<std::size_t> parent = structure_[choice].parent;
    const bool folds = holdsFields(choice);
    if ((key.code == KeyCode::kLeft || key.is('h')) && folds && !collapsed_[choice]) {
        collapsed_[choice] = true;
        chooseField(choice, false);
    } else if ((key.code == KeyCode::kLeft || key.is('h')) && parent) {
        chooseField(*parent, false);
    } else if ((key.code == KeyCode::kRight || key.is('l')) && folds) {
        if (collapsed_[choice]) {
            openField(choice);
            chooseField(choice, false);
        } else {
            chooseField(choice + 1, false);
        }
    } else if (key.is(' ') && folds) {
        if (collapsed_[choice]) {
            openField(choice);
        } else {
            collapsed_[choice] = true;
        }
        chooseField(choice, false);
    } else {
        const std::vector<std::size_t> list = structureList();
        const auto row =
            static_cast<std::size_t>(std::ranges::lower_bound(list, choice) - list.begin());
        const std::size_t last = list.size() - 1;
        const std::size_t page = std::max<std::size_t>(pane_.structureRows, 2) - 1;
        std::size_t to = row;
        if (key.code == KeyCode::kUp || key.is('k')) {
            to -= row > 0 ? 1 : 0;
        } else if (key.code == KeyCode::kDown || key.is('j')) {
            to += row < last ? 1 : 0;
        } else if (key.code == KeyCode::kPageUp) {
            to -= std::min(row, page);
        } else if (key.code == KeyCode::kPageDown) {
            to = std::min(last, row + page);
        } else if (key.code == KeyCode::kHome || key.code == KeyCode::kCtrlHome) {
            to = 0;
        } else if (key.code == KeyCode::kEnd || key.code == KeyCode::kCtrlEnd || key.is('G')) {
            to = last;
        }
        if (to != row) {
            chooseField(list[to], false);
        }
    }
}

}  // namespace tessaloom::cli::view
