#include <windows.h>

#include <limits>
#include <string>

#include "command_text.h"

namespace tessaloom::cli {

namespace {

// text, in codePage, as UTF-16; empty when it is empty or not valid text in that code page.
std::optional<std::wstring> widen(UINT codePage, std::string_view text) {
    if (text.empty() || text.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
        return std::nullopt;
    }
    const auto length = static_cast<int>(text.size());
    const int units =
        MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data(), length, nullptr, 0);
    if (units <= 0) {
        return std::nullopt;
    }
    std::wstring wide(static_cast<std::size_t>(units), L'\0');
    MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data(), length, wide.data(), units);
    return wide;
}

}  // namespace

std::optional<BytePattern> utf16TextPattern(std::string_view text) {
    const std::optional<std::wstring> wide = widen(CP_ACP, text);
    if (!wide) {
        return std::nullopt;
    }
    ByteBuffer bytes;
    for (const wchar_t unit : *wide) {
        bytes.push_back(static_cast<std::uint8_t>(unit & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>((unit >> 8) & 0xFF));
    }
    return BytePattern(bytes);
}

std::optional<std::string> systemFileName(std::string_view typed) {
    if (typed.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
        return std::nullopt;
    }
    const UINT codePage = GetACP();
    if (typed.empty() || codePage == CP_UTF8) {
        return std::string(typed);
    }
    const std::optional<std::wstring> wide = widen(CP_UTF8, typed);
    if (!wide) {
        return std::nullopt;
    }
    const auto units = static_cast<int>(wide->size());
    // No best fit: a character the code page lacks must not become a look-alike (another name).
    BOOL lacking = FALSE;
    const int bytes = WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, wide->data(), units,
                                          nullptr, 0, nullptr, &lacking);
    if (bytes <= 0 || lacking) {
        return std::nullopt;
    }
    std::string name(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, wide->data(), units, name.data(), bytes,
                        nullptr, &lacking);
    return lacking ? std::nullopt : std::optional(name);
}

}  // namespace tessaloom::cli
