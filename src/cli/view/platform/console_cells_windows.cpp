#include "console_cells_windows.h"

#include <array>
#include <utility>

namespace tessaloom::cli::view {

namespace {

constexpr WORD kGrey = FOREGROUND_RED | FOREGROUND_GREEN | FOREGROUND_BLUE;
constexpr WORD kWhite = kGrey | FOREGROUND_INTENSITY;
constexpr WORD kDarkGrey = FOREGROUND_INTENSITY;
constexpr WORD kRed = FOREGROUND_RED;
constexpr WORD kGreen = FOREGROUND_GREEN;
constexpr WORD kBlue = FOREGROUND_BLUE;
constexpr WORD kYellow = FOREGROUND_RED | FOREGROUND_GREEN;
constexpr WORD kMagenta = FOREGROUND_RED | FOREGROUND_BLUE;
constexpr WORD kCyan = FOREGROUND_GREEN | FOREGROUND_BLUE;
constexpr WORD kUnderline = COMMON_LVB_UNDERSCORE;

// A foreground colour as a background colour.
constexpr WORD behind(WORD colour) {
    return static_cast<WORD>(colour << 4);
}

// In the order of Style, beside the VT colours they stand for.
constexpr std::array<WORD, 24> kColours{
    kGrey,                                     // plain: 0
    kDarkGrey,                                 // offset: 90
    kDarkGrey,                                 // zero byte: 90
    kCyan,                                     // printable: 36
    kGreen,                                    // white space: 32
    kMagenta,                                  // other ASCII: 35
    kYellow,                                   // high byte: 33
    behind(kGrey),                             // cursor: 7
    kRed | FOREGROUND_INTENSITY | kUnderline,  // changed: 1;4;31
    kWhite | behind(kRed),                     // differs: 1;37;41
    kGrey | behind(kBlue),                     // field under the cursor: 37;44
    behind(kGrey),                             // status line: 30;47
    kWhite,                                    // title: 1
    kYellow | FOREGROUND_INTENSITY,            // map marker: 1;33
    kDarkGrey,                                 // map: not known yet: 90
    kBlue,                                     // map: zeros: 34
    kBlue | FOREGROUND_INTENSITY,              // map: one value repeated: 94
    kCyan,                                     // map: text: 36
    kGreen,                                    // map: code and data: 32
    kYellow,                                   // map: compressed: 33
    kRed,                                      // map: compressed or encrypted: 31
    behind(kGrey),                             // panel: 30;47
    kWhite | behind(kBlue),                    // panel: chosen line: 1;37;44
    kDarkGrey,                                 // gap: 90
};

constexpr std::array<WORD, 24> kMonochrome{
    kGrey,                        // plain: 0
    kGrey,                        // offset
    kGrey,                        // zero byte
    kGrey,                        // printable
    kGrey,                        // white space
    kGrey,                        // other ASCII
    kGrey,                        // high byte
    behind(kGrey),                // cursor: 7
    kWhite | kUnderline,          // changed: 1;4
    kWhite,                       // differs: 1
    kGrey | kUnderline,           // field under the cursor: 4
    behind(kGrey),                // status line: 7
    kWhite,                       // title: 1
    behind(kWhite),               // map marker: 1;7
    kGrey,                        // map: not known yet
    kGrey,                        // map: zeros
    kGrey,                        // map: one value repeated
    kGrey,                        // map: text
    kGrey,                        // map: code and data
    kGrey,                        // map: compressed
    kGrey,                        // map: compressed or encrypted
    behind(kGrey),                // panel: 7
    behind(kWhite) | kUnderline,  // panel: chosen line: 1;4;7
    kGrey,                        // gap
};

CHAR_INFO consoleCell(const Cell& cell, bool colour) {
    CHAR_INFO out{};
    out.Char.UnicodeChar = consoleCharacter(cell.ch);
    out.Attributes = consoleAttributes(cell.style, colour);
    return out;
}

}  // namespace

WORD consoleAttributes(Style style, bool colour) {
    return (colour ? kColours : kMonochrome)[static_cast<std::size_t>(style)];
}

wchar_t consoleCharacter(char32_t ch) {
    if (ch > 0xFFFF || (ch >= 0xD800 && ch <= 0xDFFF)) {
        return L'?';
    }
    return static_cast<wchar_t>(ch);
}

std::vector<CellRun> CellScreen::frame(const Grid& grid) {
    std::vector<CellRun> runs;
    const bool whole = shown_.width() != grid.width() || shown_.height() != grid.height();
    for (std::size_t y = 0; y < grid.height(); ++y) {
        std::size_t first = 0;
        std::size_t end = grid.width();
        if (!whole) {
            while (first < end && shown_.at(first, y) == grid.at(first, y)) {
                ++first;
            }
            while (end > first && shown_.at(end - 1, y) == grid.at(end - 1, y)) {
                --end;
            }
        }
        if (first == end) {
            continue;
        }
        CellRun run{first, y, {}};
        run.cells.reserve(end - first);
        for (std::size_t x = first; x < end; ++x) {
            run.cells.push_back(consoleCell(grid.at(x, y), colour_));
        }
        runs.push_back(std::move(run));
    }
    shown_ = grid;
    return runs;
}

}  // namespace tessaloom::cli::view
