// Where the standard streams go, as far as the progress line needs to know.
#pragma once

#include <cstddef>

namespace tessaloom::cli {

// True when standard error is a terminal someone watches: a terminal device, or on Windows the
// console.
bool standardErrorIsTerminal();

// True when standard output is a terminal device, or on Windows the console.
bool standardOutputIsTerminal();

// True when standard output is a regular file, not a terminal, a pipe or a device.
bool standardOutputIsFile();

// True when standard output is a pipe.
bool standardOutputIsPipe();

// The width of the terminal that standard error shows on, in columns; 0 when it cannot be told.
std::size_t standardErrorColumns();

}  // namespace tessaloom::cli
