#include <windows.h>

#include <algorithm>
#include <atomic>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "../screen.h"
#include "console.h"
#include "console_cells_windows.h"
#include "console_keys.h"
#include "platform/interrupt.h"

namespace tessaloom::cli::view {

namespace {

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif
#ifndef DISABLE_NEWLINE_AUTO_RETURN
#define DISABLE_NEWLINE_AUTO_RETURN 0x0008
#endif

// What the console handler needs to give the console back; set before it is changed.
HANDLE input = INVALID_HANDLE_VALUE;
HANDLE output = INVALID_HANDLE_VALUE;
DWORD savedInputMode = 0;
DWORD savedOutputMode = 0;
UINT savedCodePage = 0;
// The screen buffer of the viewer's own, active while it runs, where the console does not
// interpret VT sequences; INVALID_HANDLE_VALUE where it does.
HANDLE screen = INVALID_HANDLE_VALUE;
std::atomic<bool> taken{false};

void writeAll(const char* bytes, std::size_t size) {
    while (size > 0) {
        DWORD wrote = 0;
        if (!WriteFile(output, bytes, static_cast<DWORD>(size), &wrote, nullptr) || wrote == 0) {
            return;
        }
        bytes += wrote;
        size -= wrote;
    }
}

void giveBack() {
    if (taken.exchange(false)) {
        if (screen != INVALID_HANDLE_VALUE) {
            SetConsoleActiveScreenBuffer(output);
            CloseHandle(screen);
            screen = INVALID_HANDLE_VALUE;
        } else {
            writeAll(kLeaveScreen, sizeof kLeaveScreen - 1);
        }
        SetConsoleMode(input, savedInputMode);
        SetConsoleMode(output, savedOutputMode);
        SetConsoleOutputCP(savedCodePage);
    }
}

[[noreturn]] void fail(const char* what) {
    throw std::runtime_error(std::string(what) + ": error " + std::to_string(GetLastError()));
}

// Whether the console interprets VT sequences written to buffer, a screen buffer not shown: one
// that accepts the mode may still take the sequences for text (Wine's does). A cursor moved to
// the second row's third column is the proof.
bool interpretsVt(HANDLE buffer) {
    if (!SetConsoleMode(buffer, ENABLE_PROCESSED_OUTPUT | ENABLE_VIRTUAL_TERMINAL_PROCESSING |
                                    DISABLE_NEWLINE_AUTO_RETURN)) {
        return false;
    }
    CONSOLE_SCREEN_BUFFER_INFO info{};
    constexpr char kMove[] = "\x1b[2;3H";
    DWORD wrote = 0;
    if (!WriteFile(buffer, kMove, sizeof kMove - 1, &wrote, nullptr) ||
        !GetConsoleScreenBufferInfo(buffer, &info)) {
        return false;
    }
    return info.dwCursorPosition.X == info.srWindow.Left + 2 &&
           info.dwCursorPosition.Y == info.srWindow.Top + 1;
}

// Makes buffer, a screen buffer of the viewer's own, the screen: as large as the window, without
// a cursor, with the console's own calls and no VT sequences.
bool showScreen(HANDLE buffer) {
    SetConsoleMode(buffer, ENABLE_PROCESSED_OUTPUT);
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (GetConsoleScreenBufferInfo(output, &info)) {
        const COORD window{static_cast<SHORT>(info.srWindow.Right - info.srWindow.Left + 1),
                           static_cast<SHORT>(info.srWindow.Bottom - info.srWindow.Top + 1)};
        SetConsoleScreenBufferSize(buffer, window);
    }
    const CONSOLE_CURSOR_INFO cursor{1, FALSE};
    SetConsoleCursorInfo(buffer, &cursor);
    SetConsoleCursorPosition(buffer, COORD{0, 0});
    return SetConsoleActiveScreenBuffer(buffer) != 0;
}

}  // namespace

class Console::State {
  public:
    explicit State(bool colour) : writer(colour), cells(colour) {}

    ScreenWriter writer;  // where the console interprets VT sequences
    CellScreen cells;     // where it does not
    // The corner of the window in the screen buffer, where the grid's first cell goes.
    COORD origin{0, 0};
};

bool Console::available() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0 &&
           GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

Console::Console(bool colour) : state_(std::make_unique<State>(colour)) {
    input = GetStdHandle(STD_INPUT_HANDLE);
    output = GetStdHandle(STD_OUTPUT_HANDLE);
    if (!GetConsoleMode(input, &savedInputMode) || !GetConsoleMode(output, &savedOutputMode)) {
        fail("Cannot read the console's modes");
    }
    savedCodePage = GetConsoleOutputCP();
    cli::onInterrupt(giveBack);
    taken = true;
    // Ctrl-C arrives as a key, for the viewer to handle; a change of size as an event.
    if (!SetConsoleMode(input, ENABLE_WINDOW_INPUT | ENABLE_EXTENDED_FLAGS)) {
        const DWORD error = GetLastError();
        giveBack();
        SetLastError(error);
        fail("Cannot set the console's modes");
    }
    // The screen is drawn one way for the whole run, chosen here: VT sequences where the console
    // interprets them (Windows 10 and later), else the cells written into a screen buffer of the
    // viewer's own, which then stands in for the alternate screen.
    HANDLE buffer =
        CreateConsoleScreenBuffer(GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, CONSOLE_TEXTMODE_BUFFER, nullptr);
    if (buffer != INVALID_HANDLE_VALUE && interpretsVt(buffer)) {
        CloseHandle(buffer);
        buffer = INVALID_HANDLE_VALUE;
    }
    if (buffer == INVALID_HANDLE_VALUE) {
        if (!SetConsoleMode(output, ENABLE_PROCESSED_OUTPUT | ENABLE_VIRTUAL_TERMINAL_PROCESSING |
                                        DISABLE_NEWLINE_AUTO_RETURN)) {
            const DWORD error = GetLastError();
            giveBack();
            SetLastError(error);
            fail("Cannot set the console's modes");
        }
        SetConsoleOutputCP(CP_UTF8);
        writeAll(kEnterScreen, sizeof kEnterScreen - 1);
        return;
    }
    screen = buffer;
    if (!showScreen(buffer)) {
        const DWORD error = GetLastError();
        giveBack();
        SetLastError(error);
        fail("Cannot show the viewer's screen buffer");
    }
}

Console::~Console() {
    giveBack();
}

ScreenSize Console::size() const {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(screen != INVALID_HANDLE_VALUE ? screen : output, &info)) {
        return {};
    }
    return {static_cast<std::size_t>(info.srWindow.Right - info.srWindow.Left + 1),
            static_cast<std::size_t>(info.srWindow.Bottom - info.srWindow.Top + 1)};
}

void Console::suspend() {}

void Console::draw(const Grid& grid) {
    if (screen == INVALID_HANDLE_VALUE) {
        const std::string bytes = state_->writer.frame(grid);
        writeAll(bytes.data(), bytes.size());
        return;
    }
    // A window moved within the buffer shows other cells: all of them are drawn again.
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (GetConsoleScreenBufferInfo(screen, &info) &&
        (info.srWindow.Left != state_->origin.X || info.srWindow.Top != state_->origin.Y)) {
        state_->origin = COORD{info.srWindow.Left, info.srWindow.Top};
        state_->cells.invalidate();
    }
    for (const CellRun& run : state_->cells.frame(grid)) {
        const SHORT width = static_cast<SHORT>(run.cells.size());
        const SHORT left = static_cast<SHORT>(state_->origin.X + static_cast<SHORT>(run.x));
        const SHORT top = static_cast<SHORT>(state_->origin.Y + static_cast<SHORT>(run.y));
        SMALL_RECT region{left, top, static_cast<SHORT>(left + width - 1), top};
        WriteConsoleOutputW(screen, run.cells.data(), COORD{width, 1}, COORD{0, 0}, &region);
    }
}

void Console::invalidate() {
    state_->writer.invalidate();
    state_->cells.invalidate();
}

ConsoleInput Console::wait(int timeoutMs) {
    ConsoleInput result;
    DWORD timeout = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
    for (;;) {
        const DWORD waited = WaitForSingleObject(input, timeout);
        if (waited == WAIT_TIMEOUT) {
            return result;
        }
        if (waited != WAIT_OBJECT_0) {
            result.closed = true;
            return result;
        }
        INPUT_RECORD records[64];
        DWORD count = 0;
        if (!ReadConsoleInputW(input, records, 64, &count)) {
            result.closed = true;
            return result;
        }
        for (DWORD i = 0; i < count; ++i) {
            if (records[i].EventType == WINDOW_BUFFER_SIZE_EVENT) {
                result.resized = true;
            } else if (records[i].EventType == KEY_EVENT) {
                const KEY_EVENT_RECORD& record = records[i].Event.KeyEvent;
                if (const std::optional<Key> key = keyFromRecord(record)) {
                    for (WORD repeat = 0; repeat < std::max<WORD>(record.wRepeatCount, 1);
                         ++repeat) {
                        result.keys.push_back(*key);
                    }
                }
            }
        }
        if (!result.keys.empty() || result.resized) {
            return result;
        }
        // Only releases or mouse and focus events: wait on, without waiting longer than asked.
        timeout = timeoutMs < 0 ? INFINITE : 0;
    }
}

}  // namespace tessaloom::cli::view
