// The encoding of text given on the command line.
#pragma once

#include <optional>
#include <string_view>

#include "engine/find.h"

namespace tessaloom::cli {

// TEXT from the command line as a UTF-16LE pattern. It arrives in UTF-8 on POSIX systems and in
// the ANSI code page on Windows, whose program receives its arguments that way; empty when it is
// not valid text in that encoding, or empty.
std::optional<BytePattern> utf16TextPattern(std::string_view text);

}  // namespace tessaloom::cli
