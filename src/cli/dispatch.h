// Dispatch on the first argument.
#pragma once

namespace tessaloom::cli {

// Runs the one action that the command line asks for and returns the exit status.
int runCommandLine(int argc, const char* const* argv);

}  // namespace tessaloom::cli
