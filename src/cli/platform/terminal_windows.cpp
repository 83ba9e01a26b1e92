#include <windows.h>

#include "terminal.h"

namespace tessaloom::cli {

namespace {

// Only a console handle has a console mode; a file, a pipe or a redirected handle has none.
bool isConsole(DWORD standardHandle) {
    const HANDLE handle = GetStdHandle(standardHandle);
    DWORD mode = 0;
    return handle != nullptr && handle != INVALID_HANDLE_VALUE &&
           GetConsoleMode(handle, &mode) != 0;
}

}  // namespace

bool standardErrorIsTerminal() {
    return isConsole(STD_ERROR_HANDLE);
}

bool standardOutputIsTerminal() {
    return isConsole(STD_OUTPUT_HANDLE);
}

bool standardOutputIsFile() {
    const HANDLE handle = GetStdHandle(STD_OUTPUT_HANDLE);
    return handle != nullptr && handle != INVALID_HANDLE_VALUE &&
           GetFileType(handle) == FILE_TYPE_DISK;
}

bool standardOutputIsPipe() {
    const HANDLE handle = GetStdHandle(STD_OUTPUT_HANDLE);
    return handle != nullptr && handle != INVALID_HANDLE_VALUE &&
           GetFileType(handle) == FILE_TYPE_PIPE;
}

std::size_t standardErrorColumns() {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info)) {
        return 0;
    }
    return static_cast<std::size_t>(info.srWindow.Right - info.srWindow.Left + 1);
}

}  // namespace tessaloom::cli
