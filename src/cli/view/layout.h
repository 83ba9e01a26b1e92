// Turns the model into a grid of cells, a character and a style class each: what the screen is to
// show, with no escape sequence in sight, so that it can be compared in tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "model.h"

namespace tessaloom::cli::view {

// What a cell is, which the terminal turns into colours.
enum class Style : std::uint8_t {
    kPlain,
    kOffset,
    kZero,  // byte classes, coloured as hexyl colours them
    kPrintable,
    kWhitespace,
    kOtherAscii,
    kHigh,
    kCursor,
    kChanged,  // edited and not saved
    kDiffers,  // differs from the other file
    kField,    // inside the structure field under the cursor
    kStatus,
    kTitle,
    kMarker,      // where the view lies in the region map
    kMapUnknown,  // the classes of --map, and a stretch not measured yet
    kMapZeros,
    kMapFill,
    kMapText,
    kMapCode,
    kMapCompressed,
    kMapRandom,
    kPanel,
    kPanelChoice,
    kGap,  // aligned view: where the other file has bytes that this one lacks
};

struct Cell {
    char32_t ch = U' ';
    Style style = Style::kPlain;

    bool operator==(const Cell&) const = default;
};

class Grid {
  public:
    Grid() = default;
    Grid(std::size_t width, std::size_t height)
        : width_(width), height_(height), cells_(width * height) {}

    std::size_t width() const { return width_; }
    std::size_t height() const { return height_; }
    const Cell& at(std::size_t x, std::size_t y) const { return cells_[y * width_ + x]; }
    // Sets one cell, or nothing when (x, y) lies outside the grid: what is drawn is cut at the
    // edges, however small the terminal.
    void set(std::size_t x, std::size_t y, Cell cell);
    void setStyle(std::size_t x, std::size_t y, Style style);
    // Writes ASCII text from x on, cut at the right edge; returns the column after it.
    std::size_t put(std::size_t x, std::size_t y, std::string_view text, Style style);
    void fill(std::size_t y, Style style);
    // Row y as UTF-8 text, and as one letter per cell naming its style (see styleLetter).
    std::string text(std::size_t y) const;
    std::string styles(std::size_t y) const;

    bool operator==(const Grid&) const = default;

  private:
    std::size_t width_ = 0;
    std::size_t height_ = 0;
    std::vector<Cell> cells_;
};

// One letter per style, for comparing grids in tests.
char styleLetter(Style style);

// How a screen of width by height cells is divided.
struct Geometry {
    std::size_t offsetDigits = 8;
    std::size_t lineWidth =
        0;  // one row of bytes: offset, hex and, when it fits, the ASCII sidebar
    bool sidebar = true;
    bool fits = true;  // whether one row of bytes and the rows of each file fit at all
    bool sideBySide = false;
    bool stacked = false;
    bool inspector = false;
    std::size_t areaRows = 0;  // the rows above the inspector and status line
    std::size_t mapColumn = 0;
    // The structure panel beside the bytes and the map, where pane.structureBeside.
    std::size_t panelColumn = 0;
    PaneSize pane;
};

Geometry geometryFor(std::size_t width, std::size_t height, std::size_t files,
                     std::uint64_t length);

// Draws the model into a grid of width by height cells.
Grid render(Model& model, std::size_t width, std::size_t height);

}  // namespace tessaloom::cli::view
