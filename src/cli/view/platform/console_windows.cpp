#include <windows.h>

#include <algorithm>
#include <atomic>
#include <optional>
#include <stdexcept>
#include <string>

#include "../screen.h"
#include "console.h"
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
        writeAll(kLeaveScreen, sizeof kLeaveScreen - 1);
        SetConsoleMode(input, savedInputMode);
        SetConsoleMode(output, savedOutputMode);
        SetConsoleOutputCP(savedCodePage);
    }
}

[[noreturn]] void fail(const char* what) {
    throw std::runtime_error(std::string(what) + ": error " + std::to_string(GetLastError()));
}

}  // namespace

class Console::State {};

bool Console::available() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0 &&
           GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

Console::Console() : state_(std::make_unique<State>()) {
    input = GetStdHandle(STD_INPUT_HANDLE);
    output = GetStdHandle(STD_OUTPUT_HANDLE);
    if (!GetConsoleMode(input, &savedInputMode) || !GetConsoleMode(output, &savedOutputMode)) {
        fail("Cannot read the console's modes");
    }
    savedCodePage = GetConsoleOutputCP();
    cli::onInterrupt(giveBack);
    taken = true;
    // Ctrl-C arrives as a key, for the viewer to handle; a change of size as an event.
    if (!SetConsoleMode(input, ENABLE_WINDOW_INPUT | ENABLE_EXTENDED_FLAGS) ||
        !SetConsoleMode(output, ENABLE_PROCESSED_OUTPUT | ENABLE_VIRTUAL_TERMINAL_PROCESSING |
                                    DISABLE_NEWLINE_AUTO_RETURN)) {
        const DWORD error = GetLastError();
        giveBack();
        SetLastError(error);
        fail("Cannot set the console's modes (a console of Windows 10 or later is needed)");
    }
    SetConsoleOutputCP(CP_UTF8);
    writeAll(kEnterScreen, sizeof kEnterScreen - 1);
}

Console::~Console() {
    giveBack();
}

ScreenSize Console::size() const {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(output, &info)) {
        return {};
    }
    return {static_cast<std::size_t>(info.srWindow.Right - info.srWindow.Left + 1),
            static_cast<std::size_t>(info.srWindow.Bottom - info.srWindow.Top + 1)};
}

void Console::suspend() {}

void Console::write(std::string_view bytes) {
    writeAll(bytes.data(), bytes.size());
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
