// The encoding of text given on the command line, and of file names typed in the viewer.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "engine/find.h"

namespace tessaloom::cli {

// TEXT from the command line as a UTF-16LE pattern. It arrives in UTF-8 on POSIX systems and in
// the ANSI code page on Windows, whose program receives its arguments that way; empty when it is
// not valid text in that encoding, or empty.
std::optional<BytePattern> utf16TextPattern(std::string_view text);

// A file name typed in UTF-8 (the viewer's prompts take it so) as the system's file functions take
// names: as it is on POSIX systems; on Windows in the ANSI code page, as the program's arguments
// arrive and as its files are opened. Empty when it is not UTF-8, or a character of it has no
// place in that code page (the file would get another name than the one typed).
std::optional<std::string> systemFileName(std::string_view typed);

}  // namespace tessaloom::cli
