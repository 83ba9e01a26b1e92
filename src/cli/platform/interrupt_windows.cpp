#include <windows.h>

#include "interrupt.h"

namespace tessaloom::cli {

namespace {

// Runs on a thread of its own, which the console starts for the event.
BOOL WINAPI handleConsoleEvent(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            runInterruptCleanups();
            // Ended at once, with the status the console gives a process that Ctrl-C ends: the
            // main thread, still at work, must write nothing more.
            TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
            return TRUE;
        default:
            return FALSE;
    }
}

}  // namespace

void installInterruptHandlers() {
    SetConsoleCtrlHandler(handleConsoleEvent, TRUE);
}

void writeToStandardErrorNow(const char* bytes, std::size_t size) {
    const HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
    DWORD wrote = 0;
    WriteFile(handle, bytes, static_cast<DWORD>(size), &wrote, nullptr);
}

}  // namespace tessaloom::cli
