#include "screen.h"

#include <array>
#include <string_view>

#include "engine/utf8.h"

namespace tessaloom::cli::view {

namespace {

// The select-graphic-rendition parameters of each style, in the order of Style. The byte classes
// take hexyl's colours.
constexpr std::array<std::string_view, 24> kStyleColours{
    "0",          // plain
    "0;90",       // offset
    "0;90",       // zero byte
    "0;36",       // printable
    "0;32",       // white space
    "0;35",       // other ASCII
    "0;33",       // high byte
    "0;7",        // cursor
    "0;1;4;31",   // changed
    "0;1;37;41",  // differs
    "0;37;44",    // field under the cursor
    "0;30;47",    // status line
    "0;1",        // title
    "0;1;33",     // map marker
    "0;90",       // map: not known yet
    "0;34",       // map: zeros
    "0;94",       // map: one value repeated
    "0;36",       // map: text
    "0;32",       // map: code and data
    "0;33",       // map: compressed
    "0;31",       // map: compressed or encrypted
    "0;30;47",    // panel
    "0;1;37;44",  // panel: chosen line
    "0;90",       // gap
};

// The same without colour, for NO_COLOR: what must stand out does so by weight, underline and
// reverse video, which that convention leaves to programs.
constexpr std::array<std::string_view, 24> kStyleMonochrome{
    "0",        // plain
    "0",        // offset
    "0",        // zero byte
    "0",        // printable
    "0",        // white space
    "0",        // other ASCII
    "0",        // high byte
    "0;7",      // cursor
    "0;1;4",    // changed
    "0;1",      // differs
    "0;4",      // field under the cursor
    "0;7",      // status line
    "0;1",      // title
    "0;1;7",    // map marker
    "0",        // map: not known yet
    "0",        // map: zeros
    "0",        // map: one value repeated
    "0",        // map: text
    "0",        // map: code and data
    "0",        // map: compressed
    "0",        // map: compressed or encrypted
    "0;7",      // panel
    "0;1;4;7",  // panel: chosen line
    "0",        // gap
};

}  // namespace

bool colourWanted(const char* noColor) {
    return noColor == nullptr || *noColor == '\0';
}

std::string ScreenWriter::frame(const Grid& grid) {
    std::string out;
    const bool whole = shown_.width() != grid.width() || shown_.height() != grid.height();
    if (whole) {
        out += "\x1b[0m\x1b[2J";
    }
    // Where the terminal's cursor is and which style it writes in; unknown at first.
    std::size_t cursorX = SIZE_MAX;
    std::size_t cursorY = SIZE_MAX;
    int style = whole ? 0 : -1;
    for (std::size_t y = 0; y < grid.height(); ++y) {
        for (std::size_t x = 0; x < grid.width(); ++x) {
            const Cell& cell = grid.at(x, y);
            if (!whole && shown_.at(x, y) == cell) {
                continue;
            }
            if (whole && cell == Cell{}) {
                continue;  // the screen was just cleared to this
            }
            if (cursorX != x || cursorY != y) {
                out += "\x1b[" + std::to_string(y + 1) + ";" + std::to_string(x + 1) + "H";
            }
            if (style != static_cast<int>(cell.style)) {
                style = static_cast<int>(cell.style);
                out += "\x1b[";
                out += (colour_ ? kStyleColours
                                : kStyleMonochrome)[static_cast<std::size_t>(cell.style)];
                out += "m";
            }
            appendUtf8(out, cell.ch);
            cursorX = x + 1;
            cursorY = y;
        }
    }
    if (style > 0) {
        out += "\x1b[0m";
    }
    shown_ = grid;
    return out;
}

}  // namespace tessaloom::cli::view
