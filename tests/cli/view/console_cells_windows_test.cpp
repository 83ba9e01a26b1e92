#include "view/platform/console_cells_windows.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

#include "view/screen.h"

namespace tessaloom::cli::view {
namespace {

constexpr int kStyles = static_cast<int>(Style::kGap) + 1;

// The SGR parameters that the VT screen sends before a lone cell of style.
std::vector<int> vtParameters(Style style, bool colour) {
    Grid grid(1, 1);
    grid.set(0, 0, Cell{U'x', style});
    const std::string bytes = ScreenWriter(colour).frame(grid);
    std::vector<int> parameters;
    const std::size_t at = bytes.rfind('x');
    const std::size_t start = bytes.rfind("\x1b[", at);
    if (start == std::string::npos || bytes[at - 1] != 'm') {
        return parameters;  // none: the plain style the screen was cleared to
    }
    int value = 0;
    for (std::size_t i = start + 2; i < at; ++i) {
        if (bytes[i] == ';' || bytes[i] == 'm') {
            parameters.push_back(value);
            value = 0;
        } else {
            value = value * 10 + (bytes[i] - '0');
        }
    }
    return parameters;
}

// How the console shows what a VT terminal makes of the parameters: ANSI colour n has red, green
// and blue in bits 0, 1 and 2, the console in bits 2, 1 and 0; bold and the 90s are the bright
// half; reverse video swaps the two colours that result.
WORD fromVt(const std::vector<int>& parameters) {
    const auto console = [](int ansi) {
        return static_cast<WORD>(((ansi & 1) << 2) | (ansi & 2) | ((ansi & 4) >> 2));
    };
    WORD foreground = 7;
    WORD background = 0;
    bool bright = false;
    bool reverse = false;
    bool underline = false;
    for (const int p : parameters) {
        if (p == 0) {
            foreground = 7;
            background = 0;
            bright = reverse = underline = false;
        } else if (p == 1) {
            bright = true;
        } else if (p == 4) {
            underline = true;
        } else if (p == 7) {
            reverse = true;
        } else if (p >= 30 && p <= 37) {
            foreground = console(p - 30);
        } else if (p >= 40 && p <= 47) {
            background = console(p - 40);
        } else if (p >= 90 && p <= 97) {
            foreground = static_cast<WORD>(console(p - 90) | FOREGROUND_INTENSITY);
        } else {
            ADD_FAILURE() << "SGR parameter " << p << " has no console attribute";
        }
    }
    if (bright) {
        foreground |= FOREGROUND_INTENSITY;
    }
    if (reverse) {
        std::swap(foreground, background);
    }
    return static_cast<WORD>(foreground | (background << 4) |
                             (underline ? COMMON_LVB_UNDERSCORE : 0));
}

TEST(ConsoleCellsTest, EachStyleLooksAsOnTheVtScreen) {
    for (const bool colour : {true, false}) {
        for (int i = 0; i < kStyles; ++i) {
            const Style style = static_cast<Style>(i);
            EXPECT_EQ(consoleAttributes(style, colour), fromVt(vtParameters(style, colour)))
                << "style " << styleLetter(style) << (colour ? " in colour" : " without colour");
        }
    }
}

TEST(ConsoleCellsTest, WithoutColourOnlyGreyWhiteAndBlack) {
    struct Case {
        Style style;
        WORD attributes;
    };
    constexpr WORD kGrey = FOREGROUND_RED | FOREGROUND_GREEN | FOREGROUND_BLUE;
    const Case cases[] = {
        {Style::kPlain, kGrey},
        {Style::kHigh, kGrey},
        {Style::kMapRandom, kGrey},
        {Style::kCursor, kGrey << 4},  // reverse video
        {Style::kStatus, kGrey << 4},
        {Style::kPanelChoice, ((kGrey | FOREGROUND_INTENSITY) << 4) | COMMON_LVB_UNDERSCORE},
        {Style::kDiffers, kGrey | FOREGROUND_INTENSITY},
    };
    for (const Case& test : cases) {
        EXPECT_EQ(consoleAttributes(test.style, false), test.attributes) << styleLetter(test.style);
    }
    for (int i = 0; i < kStyles; ++i) {
        const WORD colours = consoleAttributes(static_cast<Style>(i), false) & 0x77;
        EXPECT_TRUE(colours == kGrey || colours == kGrey << 4) << i;
    }
}

TEST(ConsoleCellsTest, CharactersOutsideTheBasicPlaneBecomeQuestionMarks) {
    struct Case {
        char32_t ch;
        wchar_t shown;
    };
    const Case cases[] = {
        {U'A', L'A'},     {U' ', L' '},     {0xE9, 0xE9},     {0x25B6, 0x25B6},
        {0xFFFD, 0xFFFD}, {0xFFFF, 0xFFFF}, {0xD800, L'?'},   {0xDFFF, L'?'},
        {0x10000, L'?'},  {0x1F600, L'?'},  {0x10FFFF, L'?'},
    };
    for (const Case& test : cases) {
        EXPECT_EQ(consoleCharacter(test.ch), test.shown) << static_cast<unsigned>(test.ch);
    }
}

// A screen buffer kept as the console keeps it, written only by the runs of each frame.
class Buffer {
  public:
    // Writes the runs; returns how many cells they held.
    std::size_t write(const std::vector<CellRun>& runs, std::size_t width, std::size_t height) {
        cells_.resize(width * height);
        width_ = width;
        std::size_t written = 0;
        for (const CellRun& run : runs) {
            for (std::size_t i = 0; i < run.cells.size(); ++i) {
                EXPECT_LT(run.x + i, width);
                EXPECT_LT(run.y, height);
                cells_[run.y * width + run.x + i] = run.cells[i];
            }
            written += run.cells.size();
        }
        return written;
    }
    bool shows(const Grid& grid, bool colour) const {
        for (std::size_t y = 0; y < grid.height(); ++y) {
            for (std::size_t x = 0; x < grid.width(); ++x) {
                const CHAR_INFO& cell = cells_[y * width_ + x];
                if (cell.Char.UnicodeChar != consoleCharacter(grid.at(x, y).ch) ||
                    cell.Attributes != consoleAttributes(grid.at(x, y).style, colour)) {
                    return false;
                }
            }
        }
        return true;
    }

  private:
    std::vector<CHAR_INFO> cells_;
    std::size_t width_ = 0;
};

TEST(ConsoleCellsTest, FramesWriteTheChangedStretchOfEachRow) {
    struct Step {
        const char* what;
        std::size_t width;
        std::size_t height;
        std::vector<std::pair<std::size_t, Cell>> changes;  // cell index, new cell
        bool invalidate;
        std::size_t written;
    };
    const Step steps[] = {
        {"first frame", 5, 3, {{7, {U'a', Style::kCursor}}}, false, 15},
        {"nothing changed", 5, 3, {}, false, 0},
        {"one cell", 5, 3, {{0, {U'b', Style::kPlain}}}, false, 1},
        {"style alone", 5, 3, {{0, {U'b', Style::kChanged}}}, false, 1},
        {"two apart in a row", 5, 3, {{11, {U'c'}}, {14, {U'\U0001F600'}}}, false, 4},
        {"two rows", 5, 3, {{4, {U'd'}}, {5, {U'e'}}}, false, 2},
        {"invalidated", 5, 3, {}, true, 15},
        {"new size", 4, 2, {{3, {U'f', Style::kStatus}}}, false, 8},
    };
    for (const bool colour : {true, false}) {
        CellScreen screen(colour);
        Buffer buffer;
        Grid grid;
        for (const Step& step : steps) {
            if (grid.width() != step.width || grid.height() != step.height) {
                grid = Grid(step.width, step.height);
            }
            for (const auto& [index, cell] : step.changes) {
                grid.set(index % step.width, index / step.width, cell);
            }
            if (step.invalidate) {
                screen.invalidate();
            }
            EXPECT_EQ(buffer.write(screen.frame(grid), step.width, step.height), step.written)
                << step.what;
            EXPECT_TRUE(buffer.shows(grid, colour)) << step.what;
        }
    }
}

}  // namespace
}  // namespace tessaloom::cli::view
