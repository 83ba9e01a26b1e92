#include "layout.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "console.h"
#include "engine/diff.h"
#include "engine/hex_text.h"
#include "engine/utf8.h"

namespace tessaloom::cli::view {

namespace {

constexpr std::size_t kStatusRows = 2;  // the status line and the message line
// The inspector takes three rows where its widest row (64-bit integers and the double beside
// them) fits the screen, and four where the floating-point numbers need a row of their own.
constexpr std::size_t kInspectorWideWidth = 90;
std::size_t inspectorRows(std::size_t width) {
    return width >= kInspectorWideWidth ? 3 : 4;
}
constexpr std::size_t kMapWidth = 2;  // the marker and the map itself
// The structure panel goes beside the bytes where it gets this many columns at least.
constexpr std::size_t kPanelWidth = 40;

struct HelpLine {
    std::string_view keys;
    std::string_view what;
};

// clang-format off
constexpr std::array kHelp{
    HelpLine{"Arrows, h j k l", "move by a byte or a row"},
    HelpLine{"PgUp PgDn", "move by a screen"},
    HelpLine{"Home End", "start and end of the row"},
    HelpLine{"Ctrl-Home, Ctrl-End G", "start and end of the file"},
    HelpLine{"g", "go to an offset: 0x1F0, 496, +16, -0x10, 4KiB, 1MiB"},
    HelpLine{"/  n  N", "find hex as --find (4D 5A ?? 0?) or \"text\"; next; prev."},
    HelpLine{"]  [", "next and previous difference (two files)"},
    HelpLine{"a", "two files aligned across insertions and deletions, or at"},
    HelpLine{"", "equal offsets again; aligned, ] [ go from hunk to hunk"},
    HelpLine{"s", "structure: Enter goes, / n N find a field, h l fold"},
    HelpLine{"o", "objects inside, as --scan finds them: Enter goes to one,"},
    HelpLine{"", "the status line names the one at the cursor"},
    HelpLine{"m", "next region of the map"},
    HelpLine{"t", "inspector: little or big endian"},
    HelpLine{"e", "edit: hex digits; Tab switches to text; Esc leaves"},
    HelpLine{"Insert Ctrl-T", "editing: insert or overwrite (INS, OVR; one file only)"},
    HelpLine{"Del  Backspace", "editing: delete the byte; inserting, the one before"},
    HelpLine{"u  Ctrl-R", "undo and redo; a save after inserting or deleting"},
    HelpLine{"", "starts them anew"},
    HelpLine{"w  W  p", "save; save as; export the changes as a patch list"},
    HelpLine{"", "(a --delta report once bytes were inserted or deleted)"},
    HelpLine{"Esc", "stop a search or a save"},
    HelpLine{"q  Ctrl-C", "quit (asks before dropping changes)"},
    HelpLine{"Ctrl-Z", "stop, with the terminal given back; fg comes back"},
    HelpLine{"?", "this help; ? again: the colours and marks"},
};
// clang-format on

Style byteStyle(std::uint8_t byte) {
    if (byte == 0) {
        return Style::kZero;
    }
    if (byte == ' ' || (byte >= '\t' && byte <= '\r')) {
        return Style::kWhitespace;
    }
    if (isPrintableAscii(byte)) {
        return Style::kPrintable;
    }
    return byte < 0x80 ? Style::kOtherAscii : Style::kHigh;
}

struct ClassStyle {
    ByteClass byteClass;
    Style style;
};

constexpr std::array kClassStyles{
    ClassStyle{ByteClass::kZeros, Style::kMapZeros},
    ClassStyle{ByteClass::kFill, Style::kMapFill},
    ClassStyle{ByteClass::kText, Style::kMapText},
    ClassStyle{ByteClass::kCodeData, Style::kMapCode},
    ClassStyle{ByteClass::kCompressed, Style::kMapCompressed},
    ClassStyle{ByteClass::kCompressedEncrypted, Style::kMapRandom},
};

Style mapStyle(RegionClass region) {
    for (const ClassStyle& entry : kClassStyles) {
        if (region == entry.byteClass) {
            return entry.style;
        }
    }
    return Style::kMapUnknown;
}

std::string hexOffset(std::uint64_t value, std::size_t digits) {
    std::string text(digits, '0');
    for (std::size_t i = digits; i-- > 0 && value != 0; value >>= 4) {
        text[i] = kUpperHexDigits[value & 0xF];
    }
    return text;
}

// The bytes the screen shows. One that cannot be read (the file shrank or failed under the viewer)
// is drawn as unknown and the first reason kept for the message line: the screen is drawn whatever
// the file does, and the edits are not lost to it.
class DrawnBytes {
  public:
    std::optional<std::uint8_t> at(Document& document, std::uint64_t offset) {
        try {
            return document.at(offset);
        } catch (const ReadError& error) {
            if (!failure_) {
                failure_ = failureText(error.failure());
            }
            return std::nullopt;
        }
    }
    // Whether the byte at offset differs between the two files; unknown bytes do not.
    bool differ(Model& model, std::uint64_t offset) {
        auto& documents = model.documents();
        if (documents.size() < 2) {
            return false;
        }
        const Result<bool> differs = differsAt(*documents[0], *documents[1], offset);
        if (!differs && !failure_) {
            failure_ = failureText(differs.failure());
        }
        return differs && *differs;
    }
    const std::optional<std::string>& failure() const { return failure_; }

  private:
    std::optional<std::string> failure_;
};

// The file's name without its folders, which are cut at '/' and at '\\' (on Windows either).
std::string baseName(const std::string& path) {
    const std::size_t folder = path.find_last_of("/\\");
    return folder == std::string::npos ? path : path.substr(folder + 1);
}

// A floating-point number in the shortest of fixed and scientific notation, with digits
// significant digits: as printf's %g writes it, whatever the locale.
std::string general(double value, int digits) {
    char text[64];
    const std::to_chars_result written =
        std::to_chars(text, text + sizeof text, value, std::chars_format::general, digits);
    return std::string(text, written.ptr);
}

// Whether the byte at position, of file in the pane, differs from the other file's: at the same
// offset, or in the aligned view where the hunk says so.
bool differsAt(Model& model, DrawnBytes& bytes, std::size_t file, std::uint64_t position,
               std::uint8_t byte) {
    if (!model.aligned()) {
        return bytes.differ(model, position);
    }
    const AlignedRow row = model.alignment().row(position / kBytesPerRow);
    switch (model.alignment().hunks()[row.hunk].op) {
        case DeltaHunk::Op::kInserted:
        case DeltaHunk::Op::kDeleted:
            return true;
        case DeltaHunk::Op::kChanged: {
            const std::size_t other = 1 - file;
            const std::optional<std::uint64_t> there = model.offsetAt(other, position);
            const std::optional<std::uint8_t> theirs =
                there ? bytes.at(*model.documents()[other], *there) : std::nullopt;
            return theirs && *theirs != byte;
        }
        default:
            return false;
    }
}

// Draws the rows of one file from the model's top row on: in the aligned view each row starts
// with its offset in this file, and a side that has no bytes there shows a gap.
void drawPane(Grid& grid, Model& model, DrawnBytes& bytes, const Geometry& geometry,
              std::size_t file, std::size_t x0, std::size_t y0) {
    Document& document = *model.documents()[file];
    // A's structure, whose offsets are B's too only where the rows are the files' own.
    const StructureField* field =
        file == 0 || !model.aligned() ? model.highlightedField() : nullptr;
    const bool editing =
        file == 0 && (model.mode() == Mode::kEditHex || model.mode() == Mode::kEditText);
    const std::size_t hexStart = x0 + geometry.offsetDigits + 2;
    const std::size_t asciiStart = hexStart + 16 * 3 + 3;
    for (std::size_t row = 0; row < geometry.pane.rows; ++row) {
        const std::uint64_t line = model.top() + row * kBytesPerRow;
        if (line >= model.extent()) {
            break;
        }
        const std::size_t y = y0 + row;
        std::optional<std::uint64_t> start = line;
        std::size_t count = kBytesPerRow;
        if (model.aligned()) {
            const AlignedRow aligned = model.alignment().row(line / kBytesPerRow);
            start = file == 0 ? aligned.a : aligned.b;
            count = aligned.count;
        }
        if (start) {
            grid.put(x0, y, hexOffset(*start, geometry.offsetDigits), Style::kOffset);
        }
        if (geometry.sidebar) {
            grid.put(asciiStart - 1, y, "|", Style::kPlain);
        }
        for (std::size_t i = 0; i < kBytesPerRow; ++i) {
            const std::uint64_t position = line + i;
            const std::size_t x = hexStart + i * 3 + (i >= 8 ? 1 : 0);
            const Style cursorOr = position == model.cursor() ? Style::kCursor : Style::kPlain;
            const std::optional<std::uint64_t> offset = model.offsetAt(file, position);
            if (!offset) {
                if (!start && i < count) {
                    grid.put(x, y, "--", cursorOr == Style::kCursor ? cursorOr : Style::kGap);
                } else if (editing && cursorOr == Style::kCursor) {
                    // Past the last byte, where bytes typed are appended.
                    grid.put(x, y, "  ", Style::kCursor);
                }
                continue;
            }
            const std::optional<std::uint8_t> read = bytes.at(document, *offset);
            if (!read) {
                grid.put(x, y, "??", cursorOr);
                continue;
            }
            const std::uint8_t byte = *read;
            Style style = byteStyle(byte);
            if (field != nullptr && *offset >= field->offset &&
                *offset - field->offset < field->size) {
                style = Style::kField;
            }
            if (differsAt(model, bytes, file, position, byte)) {
                style = Style::kDiffers;
            }
            if (document.changed(*offset)) {
                style = Style::kChanged;
            }
            Style hexStyle = style;
            Style textStyle = style;
            if (position == model.cursor()) {
                hexStyle = editing && model.mode() == Mode::kEditText && geometry.sidebar
                               ? style
                               : Style::kCursor;
                textStyle = editing && model.mode() == Mode::kEditHex ? style : Style::kCursor;
            }
            grid.set(x, y, {static_cast<char32_t>(kUpperHexDigits[byte >> 4]), hexStyle});
            grid.set(x + 1, y, {static_cast<char32_t>(kUpperHexDigits[byte & 0xF]), hexStyle});
            if (position == model.cursor() && model.mode() == Mode::kEditHex && editing) {
                // The digit that the next key types stands out from the other.
                grid.setStyle(model.highNibble() ? x + 1 : x, y, style);
            }
            if (geometry.sidebar) {
                grid.set(asciiStart + i, y,
                         {isPrintableAscii(byte) ? static_cast<char32_t>(byte) : U'.', textStyle});
            }
        }
        if (geometry.sidebar) {
            grid.put(asciiStart + kBytesPerRow, y, "|", Style::kPlain);
        }
    }
}

void drawMap(Grid& grid, Model& model, const Geometry& geometry) {
    const RegionMap& map = model.regionMap();
    const auto [viewStart, viewEnd] = model.shownOfA();
    for (std::size_t cell = 0; cell < map.cells().size() && cell < geometry.areaRows; ++cell) {
        const std::uint64_t start = map.cellStart(cell);
        const std::uint64_t end =
            cell + 1 < map.cells().size() ? map.cellStart(cell + 1) : model.document().size();
        const bool shown = start < viewEnd && end > viewStart;
        if (shown) {
            grid.set(geometry.mapColumn, cell, {U'\u25B6', Style::kMarker});
        }
        const RegionClass region = map.cells()[cell];
        grid.set(geometry.mapColumn + 1, cell, {region ? U'\u2588' : U'\u00B7', mapStyle(region)});
    }
}

// The count bytes at the cursor as an unsigned number in the chosen byte order; empty when the
// file ends sooner.
std::optional<std::uint64_t> numberAtCursor(Model& model, DrawnBytes& bytes, std::size_t count) {
    Document& document = model.document();
    const std::optional<std::uint64_t> at = model.cursorOffset();
    if (!at || document.size() - *at < count) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::optional<std::uint8_t> byte = bytes.at(document, *at + i);
        if (!byte) {
            return std::nullopt;
        }
        value |= std::uint64_t{*byte} << (8 * (model.bigEndian() ? count - 1 - i : i));
    }
    return value;
}

// The items of one row, three columns apart, as many as fit the width whole: a number is never
// shown cut, as if it were another; where some do not fit, an ellipsis says so.
void putWhole(Grid& grid, std::size_t y, const std::vector<std::string>& items, std::size_t width) {
    std::string line;
    for (const std::string& item : items) {
        const std::string next = line.empty() ? item : line + "   " + item;
        if (next.size() > width) {
            if (width > 0) {
                grid.put(std::min(line.size() + 1, width - 1), y, "\u2026", Style::kPlain);
            }
            break;
        }
        line = next;
    }
    grid.put(0, y, line, Style::kPlain);
}

// The integers and floating-point numbers that the bytes at the cursor make.
void drawInspector(Grid& grid, Model& model, DrawnBytes& bytes, std::size_t y, std::size_t width) {
    constexpr std::size_t kWidths[4] = {1, 2, 4, 8};
    std::optional<std::uint64_t> values[4];
    for (std::size_t i = 0; i < 4; ++i) {
        values[i] = numberAtCursor(model, bytes, kWidths[i]);
    }
    const auto integer = [&](std::size_t i) -> std::string {
        if (!values[i]) {
            return "u -  i -";
        }
        const std::uint64_t value = *values[i];
        const unsigned shift = static_cast<unsigned>(64 - 8 * kWidths[i]);
        // Sign-extended from the width's top bit.
        const auto signedValue = static_cast<std::int64_t>(value << shift) >> shift;
        return "u " + std::to_string(value) + "  i " + std::to_string(signedValue);
    };
    float single = 0;
    double twice = 0;
    const auto low = static_cast<std::uint32_t>(values[2].value_or(0));
    const std::uint64_t wide = values[3].value_or(0);
    std::memcpy(&single, &low, sizeof single);
    std::memcpy(&twice, &wide, sizeof twice);
    const std::string floatItem =
        "float " + (values[2] ? general(static_cast<double>(single), 9) : std::string("-"));
    const std::string doubleItem = "double " + (values[3] ? general(twice, 17) : std::string("-"));
    const std::string order = model.bigEndian() ? "big endian (t)" : "little endian (t)";
    std::vector<std::vector<std::string>> rows = {
        {" 8 bit  " + integer(0), "16 bit  " + integer(1), order},
        {"32 bit  " + integer(2)},
        {"64 bit  " + integer(3)},
    };
    if (inspectorRows(width) == 3) {
        rows[1].push_back(floatItem);
        rows[2].push_back(doubleItem);
    } else {
        rows.push_back({floatItem, doubleItem});
    }
    for (std::size_t row = 0; row < rows.size(); ++row) {
        putWhole(grid, y + row, rows[row], width);
    }
}

// What the status line says of the mode, where the keys do something else than move and find:
// while editing, whether typing inserts (INS) or writes over (OVR).
std::string_view modeName(Mode mode, bool inserting) {
    if (mode == Mode::kEditHex) {
        return inserting ? "  [EDIT HEX INS]" : "  [EDIT HEX OVR]";
    }
    if (mode == Mode::kEditText) {
        return inserting ? "  [EDIT TEXT INS]" : "  [EDIT TEXT OVR]";
    }
    return "";
}

// Where the cursor is in one file of the aligned view: "A 0x5000", or "A -" in a gap.
std::string alignedOffset(Model& model, std::size_t file) {
    const std::optional<std::uint64_t> offset = model.offsetAt(file, model.cursor());
    std::string text = file == 0 ? "A " : "B ";
    if (offset) {
        text += "0x";
        text += hexNumber(*offset, HexLetters::kUpper);
    } else {
        text += '-';
    }
    return text;
}

void drawStatus(Grid& grid, Model& model, std::size_t y) {
    Document& document = model.document();
    // The name alone: the folders would push the rest of the line off a narrow screen.
    const std::string name = baseName(document.path());
    std::string line;
    if (model.aligned()) {
        // The offsets in both files and the hunk come first: the titles name the files.
        // Appended piece by piece: MinGW's GCC warns of overlapping copies in a literal added to
        // a temporary string.
        line = " ";
        line += alignedOffset(model, 0);
        line += "  ";
        line += alignedOffset(model, 1);
        if (const DeltaHunk* hunk = model.hunkAtCursor()) {
            line += "  " + hunkText(*hunk);
        }
        line += "  [ALIGNED]";
    } else {
        line = " " + name + "  " + std::to_string(document.size()) + " bytes  0x" +
               hexNumber(model.cursor(), HexLetters::kUpper) + " (" +
               std::to_string(model.cursor()) + ")";
    }
    // The object the cursor is in, before the field: while the panel lists the objects, the field
    // is the object.
    if (const StructureField* object = model.objectAtCursor(); object && !model.listsObjects()) {
        line += "  in " + object->label + " at 0x" + hexNumber(object->offset, HexLetters::kUpper);
    }
    if (const StructureField* field = model.fieldAtCursor()) {
        line += "  ";
        if (field->parent) {
            line += model.structure()[*field->parent].label + " > ";
        }
        line += field->label;
    }
    line += modeName(model.mode(), model.inserting());
    if (const std::size_t changes = document.changeCount()) {
        line += "  " + std::to_string(changes) + (changes == 1 ? " change" : " changes");
    }
    if (model.documents().size() == 2 && !model.aligned()) {
        line += "  " + std::to_string(model.differenceCount()) + " differing" +
                (model.differencesCounted() ? "" : " so far");
    }
    line += "  ? help";
    grid.fill(y, Style::kStatus);
    grid.put(0, y, line, Style::kStatus);
}

void drawMessage(Grid& grid, Model& model, const DrawnBytes& bytes, std::size_t y) {
    if (model.mode() == Mode::kPrompt) {
        // The end of a text longer than the line, where the typing goes on, after a mark.
        const std::string label = model.promptLabel();
        std::string text = escapedText(model.promptText());
        const std::size_t room =
            grid.width() > label.size() + 2 ? grid.width() - label.size() - 2 : 0;
        // Where the last count characters of text start.
        const auto tail = [&text](std::size_t count) {
            std::size_t from = text.size();
            for (; from > 0 && count > 0; --count) {
                do {
                    --from;
                } while (from > 0 && (static_cast<std::uint8_t>(text[from]) & 0xC0) == 0x80);
            }
            return from;
        };
        if (tail(room) > 0) {
            text = "\u2026" + text.substr(tail(room > 0 ? room - 1 : 0));
        }
        std::size_t x = grid.put(0, y, label + text, Style::kPlain);
        grid.setStyle(x, y, Style::kCursor);
        if (!model.message().empty()) {
            grid.put(x + 2, y, model.message(), Style::kPlain);
        }
        return;
    }
    const std::string message = model.message();
    grid.put(0, y, message.empty() ? bytes.failure().value_or("") : message, Style::kPlain);
}

void drawPanelLine(Grid& grid, std::size_t y, std::string_view text, Style style) {
    grid.fill(y, style);
    grid.put(1, y, text, style);
}

// What each colour and mark means, each shown as it is drawn.
struct LegendLine {
    std::u32string_view sample;
    Style style;
    std::string_view what;
};

// clang-format off
constexpr std::array kLegendLines{
    LegendLine{U"00", Style::kZero, "a zero byte"},
    LegendLine{U"41", Style::kPrintable, "printable ASCII"},
    LegendLine{U"0A", Style::kWhitespace, "white space: tab, line end, space"},
    LegendLine{U"1B", Style::kOtherAscii, "other ASCII: control characters, 7F"},
    LegendLine{U"C3", Style::kHigh, "above 7F"},
    LegendLine{U"4D", Style::kCursor, "the cursor"},
    LegendLine{U"4D", Style::kChanged, "changed and not saved"},
    LegendLine{U"4D", Style::kDiffers, "differs from the other file"},
    LegendLine{U"4D", Style::kField, "the structure field the cursor is in"},
    LegendLine{U"--", Style::kGap, "aligned (a): bytes that the other file has and this one lacks"},
    LegendLine{U"\u25B6", Style::kMarker, "strip: the stretches of the file the view is in"},
    LegendLine{U"\u2588", Style::kMapZeros, "strip: zeros"},
    LegendLine{U"\u2588", Style::kMapFill, "strip: one value repeated"},
    LegendLine{U"\u2588", Style::kMapText, "strip: text"},
    LegendLine{U"\u2588", Style::kMapCode, "strip: code or data"},
    LegendLine{U"\u2588", Style::kMapCompressed, "strip: compressed"},
    LegendLine{U"\u2588", Style::kMapRandom, "strip: compressed or encrypted"},
    LegendLine{U"\u00B7", Style::kMapUnknown, "strip: not measured yet"},
};
// clang-format on

void drawLegend(Grid& grid, const Geometry& geometry) {
    drawPanelLine(grid, 0, "Colours and marks (? keys, any other key closes this)", Style::kTitle);
    for (std::size_t i = 0; i < kLegendLines.size() && i + 1 < geometry.areaRows; ++i) {
        drawPanelLine(grid, i + 1, std::string(6, ' ') + std::string(kLegendLines[i].what),
                      Style::kPanel);
        for (std::size_t c = 0; c < kLegendLines[i].sample.size(); ++c) {
            grid.set(2 + c, i + 1, {kLegendLines[i].sample[c], kLegendLines[i].style});
        }
    }
}

void drawHelp(Grid& grid, const Geometry& geometry) {
    drawPanelLine(grid, 0, "Keys (? colours and marks, any other key closes this)", Style::kTitle);
    for (std::size_t i = 0; i < kHelp.size() && i + 1 < geometry.areaRows; ++i) {
        std::string line(kHelp[i].keys);
        line.resize(std::max<std::size_t>(line.size() + 2, 24), ' ');
        drawPanelLine(grid, i + 1, line + std::string(kHelp[i].what), Style::kPanel);
    }
}

// The structure as a tree: a row for each field that a folded one does not hide, with ▸ before
// a folded field and ▾ before an open one. Over the bytes while it has the keys on a narrow
// screen, beside them otherwise.
void drawStructure(Grid& grid, Model& model, const Geometry& geometry) {
    const bool beside = model.paneSize().structureBeside;
    const std::size_t x0 = beside ? geometry.panelColumn : 0;
    const bool focused = model.mode() == Mode::kStructure;
    const auto line = [&](std::size_t y, std::string_view text, Style style) {
        for (std::size_t x = x0; x < grid.width(); ++x) {
            grid.set(x, y, {U' ', style});
        }
        grid.put(x0 + 1, y, text, style);
    };
    line(0,
         focused  ? "Structure: Enter goes, / n N find, h l fold, Tab back"
         : beside ? "Structure (s: keys to it, Esc closes)"
                  : "Structure",
         Style::kTitle);
    const std::vector<std::size_t> list = model.structureList();
    const std::size_t rows = geometry.areaRows > 1 ? geometry.areaRows - 1 : 0;
    const std::size_t first = std::min(model.structureTop(), list.size() - 1);
    // The size column goes first where the panel is narrow.
    const bool sizes = grid.width() - x0 >= 64;
    for (std::size_t row = 0; first + row < list.size() && row < rows; ++row) {
        const std::size_t index = list[first + row];
        const StructureField& field = model.structure()[index];
        std::string text = "0x" + hexOffset(field.offset, geometry.offsetDigits);
        if (sizes) {
            const std::string size = std::to_string(field.size);
            text += std::string(size.size() < 11 ? 11 - size.size() : 1, ' ') + size;
        }
        // Deep trees keep room for their names.
        text += std::string(2 + 2 * std::min<std::size_t>(field.depth, 8), ' ');
        text += !model.holdsFields(index) ? "  " : model.collapsed(index) ? "\u25B8 " : "\u25BE ";
        text += field.label + "  " + field.value;
        line(row + 1, text,
             index == model.structureChoice() && (focused || beside) ? Style::kPanelChoice
                                                                     : Style::kPanel);
    }
    for (std::size_t row = list.size() - first; row < rows; ++row) {
        line(row + 1, "", Style::kPanel);
    }
}

}  // namespace

void Grid::set(std::size_t x, std::size_t y, Cell cell) {
    if (x < width_ && y < height_) {
        cells_[y * width_ + x] = cell;
    }
}

void Grid::setStyle(std::size_t x, std::size_t y, Style style) {
    if (x < width_ && y < height_) {
        cells_[y * width_ + x].style = style;
    }
}

std::size_t Grid::put(std::size_t x, std::size_t y, std::string_view text, Style style) {
    // Names and messages come from files and users: UTF-8 is decoded, and controls (C0, C1 and
    // the bidirectional ones) and bytes that are not UTF-8 are shown escaped, never sent.
    const std::string shown = escapedText(text);
    for (std::size_t i = 0; i < shown.size() && x < width_;) {
        const std::optional<Utf8Char> decoded = decodeUtf8(shown, i);
        set(x++, y, {decoded ? decoded->point : U'?', style});
        i += decoded ? decoded->length : 1;
    }
    return x;
}

void Grid::fill(std::size_t y, Style style) {
    for (std::size_t x = 0; x < width_; ++x) {
        set(x, y, {U' ', style});
    }
}

std::string Grid::text(std::size_t y) const {
    std::string line;
    for (std::size_t x = 0; x < width_; ++x) {
        appendUtf8(line, at(x, y).ch);
    }
    return line;
}

std::string Grid::styles(std::size_t y) const {
    std::string line;
    for (std::size_t x = 0; x < width_; ++x) {
        line.push_back(styleLetter(at(x, y).style));
    }
    return line;
}

char styleLetter(Style style) {
    // In the order of Style.
    constexpr std::string_view kLetters = ".o0pwah#CDFSTM?zftcxrPQg";
    return kLetters[static_cast<std::size_t>(style)];
}

Geometry geometryFor(std::size_t width, std::size_t height, std::size_t files,
                     std::uint64_t length) {
    Geometry geometry;
    for (std::uint64_t last = length > 0 ? length - 1 : 0;
         last >> (4 * geometry.offsetDigits) != 0;) {
        ++geometry.offsetDigits;
    }
    // Offset, two spaces, 16 bytes of hex with the gap after the eighth (48 columns), then the
    // sidebar between bars (20 columns) where the terminal is wide enough for it.
    geometry.lineWidth = geometry.offsetDigits + 70;
    geometry.sidebar = width >= geometry.lineWidth;
    if (!geometry.sidebar) {
        geometry.lineWidth = geometry.offsetDigits + 50;
    }
    geometry.inspector = height >= kStatusRows + inspectorRows(width) + 6;
    const std::size_t bottom = kStatusRows + (geometry.inspector ? inspectorRows(width) : 0);
    geometry.areaRows = height > bottom ? height - bottom : 0;
    std::size_t rows = geometry.areaRows;
    std::size_t used = geometry.lineWidth;
    if (files == 2) {
        geometry.sideBySide = width >= 2 * geometry.lineWidth + 2 + kMapWidth;
        geometry.stacked = !geometry.sideBySide;
        if (geometry.sideBySide) {
            geometry.fits = rows >= 2;
            rows = rows > 1 ? rows - 1 : 0;
            used = 2 * geometry.lineWidth + 2;
        } else {
            // Each file has a title row and at least one row of bytes.
            geometry.fits = rows >= 4;
            rows = rows > 2 ? (rows - 2) / 2 : 0;
        }
    }
    geometry.fits = geometry.fits && width >= geometry.lineWidth && height > kStatusRows;
    geometry.pane.rows = std::max<std::size_t>(rows, 1);
    if (width >= used + kMapWidth) {
        geometry.mapColumn = used;
        geometry.pane.mapCells = geometry.areaRows;
    }
    geometry.pane.structureRows = std::max<std::size_t>(geometry.areaRows, 2) - 1;
    if (width >= used + kMapWidth + 1 + kPanelWidth) {
        geometry.panelColumn = used + kMapWidth + 1;
        geometry.pane.structureBeside = true;
    }
    return geometry;
}

Grid render(Model& model, std::size_t width, std::size_t height) {
    Grid grid(width, height);
    auto& documents = model.documents();
    const Geometry geometry = geometryFor(width, height, documents.size(), model.length());
    if (!geometry.fits) {
        const std::size_t rows = documents.size() == 1 ? 1 : geometry.sideBySide ? 2 : 4;
        grid.put(0, 0,
                 "Too small: " + std::to_string(geometry.offsetDigits + 50) + "x" +
                     std::to_string(rows + kStatusRows) + " needed",
                 Style::kPlain);
        return grid;
    }
    DrawnBytes bytes;
    if (documents.size() == 1) {
        drawPane(grid, model, bytes, geometry, 0, 0, 0);
    } else {
        const std::size_t secondX = geometry.sideBySide ? geometry.lineWidth + 2 : 0;
        const std::size_t secondY = geometry.sideBySide ? 0 : geometry.pane.rows + 1;
        for (std::size_t file = 0; file < 2; ++file) {
            const std::size_t x = file == 0 ? 0 : secondX;
            const std::size_t y = file == 0 ? 0 : secondY;
            const Document& document = *documents[file];
            grid.put(x, y,
                     std::string(file == 0 ? "A: " : "B: ") + document.path() + "  " +
                         std::to_string(document.size()) + " bytes",
                     Style::kTitle);
            drawPane(grid, model, bytes, geometry, file, x, y + 1);
        }
    }
    if (geometry.pane.mapCells > 0) {
        drawMap(grid, model, geometry);
    }
    if (model.mode() == Mode::kHelp) {
        drawHelp(grid, geometry);
    } else if (model.mode() == Mode::kLegend) {
        drawLegend(grid, geometry);
    }
    if (model.structureShown()) {
        drawStructure(grid, model, geometry);
    }
    if (geometry.inspector) {
        drawInspector(grid, model, bytes, geometry.areaRows, width);
    }
    drawStatus(grid, model, height - 2);
    drawMessage(grid, model, bytes, height - 1);
    return grid;
}

}  // namespace tessaloom::cli::view
