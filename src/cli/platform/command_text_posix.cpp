#include "command_text.h"

namespace tessaloom::cli {

std::optional<BytePattern> utf16TextPattern(std::string_view text) {
    return utf16Pattern(text);
}

std::optional<std::string> systemFileName(std::string_view typed) {
    return std::string(typed);
}

}  // namespace tessaloom::cli
