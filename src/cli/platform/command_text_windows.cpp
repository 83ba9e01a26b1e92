#include <windows.h>

#include <limits>
#include <string>

#include "command_text.h"

namespace tessaloom::cli {

std::optional<BytePattern> utf16TextPattern(std::string_view text) {
    if (text.empty() || text.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
        return std::nullopt;
    }
    const auto length = static_cast<int>(text.size());
    const int units =
        MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.data(), length, nullptr, 0);
    if (units <= 0) {
        return std::nullopt;
    }
    std::wstring wide(static_cast<std::size_t>(units), L'\0');
    MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.data(), length, wide.data(), units);
    ByteBuffer bytes;
    for (const wchar_t unit : wide) {
        bytes.push_back(static_cast<std::uint8_t>(unit & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>((unit >> 8) & 0xFF));
    }
    return BytePattern(bytes);
}

}  // namespace tessaloom::cli
