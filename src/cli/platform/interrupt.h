// What must be undone when a signal, or on Windows a console event, ends a run: an unfinished
// output removed, the progress line erased, the terminal given back.
#pragma once

#include <cstddef>

namespace tessaloom::cli {

// Undoes one thing. It runs from a signal handler (on Windows, from the console's own thread), so
// it may only do what a signal handler may: no allocation, no locks, no streams.
using InterruptCleanup = void (*)();

// Adds cleanup to those run, in the order added, before an interrupted run ends.
void onInterrupt(InterruptCleanup cleanup);

// Runs the cleanups, each once: what the handlers do first.
void runInterruptCleanups();

// Catches SIGINT, SIGTERM, SIGHUP, SIGQUIT and SIGPIPE (on Windows the console's Ctrl-C,
// Ctrl-Break and close events): the cleanups run, and then the run ends as the signal would have
// ended it.
void installInterruptHandlers();

// Writes bytes to standard error from a cleanup.
void writeToStandardErrorNow(const char* bytes, std::size_t size);

}  // namespace tessaloom::cli
