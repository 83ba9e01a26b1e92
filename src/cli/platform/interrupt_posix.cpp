#include <unistd.h>

#include <csignal>

#include "interrupt.h"

namespace tessaloom::cli {

namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};

extern "C" void handleInterrupt(int signal) {
    runInterruptCleanups();
    // Ended as the signal itself ends a run, so that the caller sees which signal it was.
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

}  // namespace

void installInterruptHandlers() {
    for (const int signal : kSignals) {
        struct sigaction action {};
        action.sa_handler = handleInterrupt;
        sigemptyset(&action.sa_mask);
        for (const int other : kSignals) {
            sigaddset(&action.sa_mask, other);
        }
        struct sigaction previous {};
        // A signal ignored when the program started (nohup's SIGHUP) stays ignored.
        if (sigaction(signal, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) {
            continue;
        }
        sigaction(signal, &action, nullptr);
    }
}

void writeToStandardErrorNow(const char* bytes, std::size_t size) {
    while (size > 0) {
        const ssize_t wrote = ::write(STDERR_FILENO, bytes, size);
        if (wrote <= 0) {
            return;
        }
        bytes += wrote;
        size -= static_cast<std::size_t>(wrote);
    }
}

}  // namespace tessaloom::cli
