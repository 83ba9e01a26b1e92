// Where the standard streams go, as far as the progress line needs to know.
#pragma once

namespace tessaloom::cli {

// True when standard error is a terminal someone watches: a terminal device, or on Windows the
// console.
bool standardErrorIsTerminal();

// True when standard output and standard error are both that same terminal, so that what is
// written to standard output shows up on the line the progress line would use.
bool standardOutputSharesTheTerminal();

}  // namespace tessaloom::cli
