// The viewer's grid as the Windows console's own cells, for a console that does not interpret VT
// sequences: each cell a UTF-16 character and a word of colour attributes, written into the
// console's screen buffer where the grid changed.
#pragma once

#include <windows.h>

#include <cstddef>
#include <vector>

#include "../layout.h"

namespace tessaloom::cli::view {

// The console attributes that show style as the VT screen does (see screen.cpp), in the nearest of
// the console's 16 colours: bold is the bright colour, reverse video swaps foreground and
// background, underline is COMMON_LVB_UNDERSCORE (drawn where the console can). Without colour
// (NO_COLOR) only grey, bright white and black are used.
WORD consoleAttributes(Style style, bool colour);

// The UTF-16 unit that shows ch in one cell: '?' for a character outside the Basic Multilingual
// Plane, which would need a surrogate pair.
wchar_t consoleCharacter(char32_t ch);

// Cells to write into the screen buffer, from column x of row y on.
struct CellRun {
    std::size_t x = 0;
    std::size_t y = 0;
    std::vector<CHAR_INFO> cells;
};

class CellScreen {
  public:
    explicit CellScreen(bool colour) : colour_(colour) {}
    // What turns the last grid into this one: in each row that changed, the cells from the first
    // change to the last; every row whole after a change of size or invalidate().
    std::vector<CellRun> frame(const Grid& grid);
    void invalidate() { shown_ = Grid(); }

  private:
    bool colour_;
    Grid shown_;
};

}  // namespace tessaloom::cli::view
