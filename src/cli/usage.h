// The usage text.
#pragma once

#include <string_view>

namespace tessaloom::cli {

// Writes the usage text to standard output, with program as the program's name.
void printUsage(std::string_view program);

}  // namespace tessaloom::cli
