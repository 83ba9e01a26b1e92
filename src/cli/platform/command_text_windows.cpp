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

std::optional<std::string> systemFileName(std::string_view typed) {
    if (typed.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
        return std::nullopt;
    }
    const auto length = static_cast<int>(typed.size());
    const UINT codePage = GetACP();
    if (typed.empty() || codePage == CP_UTF8) {
        return std::string(typed);
    }
    const int units =
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, typed.data(), length, nullptr, 0);
    if (units <= 0) {
        return std::nullopt;
    }
    std::wstring wide(static_cast<std::size_t>(units), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, typed.data(), length, wide.data(), units);
    // No best fit: a character the code page lacks must not become a look-alike (another name).
    BOOL lacking = FALSE;
    const int bytes = WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, wide.data(), units,
                                          nullptr, 0, nullptr, &lacking);
    if (bytes <= 0 || lacking) {
        return std::nullopt;
    }
    std::string name(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, wide.data(), units, name.data(), bytes,
                        nullptr, &lacking);
    return lacking ? std::nullopt : std::optional(name);
}

}  // namespace tessaloom::cli
