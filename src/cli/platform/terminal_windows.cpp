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

// A process has at most one console, so two console handles are the same one.
bool standardOutputSharesTheTerminal() {
    return isConsole(STD_OUTPUT_HANDLE) && isConsole(STD_ERROR_HANDLE);
}

}  // namespace tessaloom::cli
