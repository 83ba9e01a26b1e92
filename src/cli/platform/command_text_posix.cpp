#include "command_text.h"

namespace tessaloom::cli {

std::optional<BytePattern> utf16TextPattern(std::string_view text) {
    return utf16Pattern(text);
}

}  // namespace tessaloom::cli
