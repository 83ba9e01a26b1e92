// File names typed in UTF-8 as the system's file functions take them.
#include "platform/command_text.h"

#include <gtest/gtest.h>

#include <string>

#ifdef _WIN32
#include <windows.h>
#endif

namespace tessaloom::cli {
namespace {

#ifdef _WIN32
// The name in the ANSI code page read back as UTF-16, as the file functions read it.
std::wstring fromCodePage(const std::string& name) {
    std::wstring wide(name.size(), L'\0');
    const int units = MultiByteToWideChar(CP_ACP, 0, name.data(), static_cast<int>(name.size()),
                                          wide.data(), static_cast<int>(wide.size()));
    wide.resize(static_cast<std::size_t>(units > 0 ? units : 0));
    return wide;
}
#endif

// A name is kept as typed where the system takes UTF-8; on Windows it becomes the same characters
// in the code page, or nothing where the code page lacks one: never another name.
TEST(CommandTextTest, TypedNamesAreTheSameNamesForTheSystem) {
    const struct {
        std::string typed;
        std::wstring characters;  // as UTF-16
        bool everywhere;          // whether every code page holds them
    } kCases[] = {
        {"plain.bin", L"plain.bin", true},
        {"dir\\sub/x y.bin", L"dir\\sub/x y.bin", true},
        {"caf\xc3\xa9.bin", L"caf\u00e9.bin", false},
        {"\xe6\x97\xa5\xe6\x9c\xac.bin", L"\u65e5\u672c.bin", false},
        {"smile \xf0\x9f\x98\x80.bin", L"smile \U0001F600.bin", false},
    };
    for (const auto& c : kCases) {
        const std::optional<std::string> name = systemFileName(c.typed);
#ifdef _WIN32
        if (GetACP() == CP_UTF8) {
            EXPECT_EQ(name, c.typed);
            continue;
        }
        if (c.everywhere) {
            EXPECT_EQ(name, c.typed);
        }
        if (name) {
            EXPECT_EQ(fromCodePage(*name), c.characters) << c.typed;
        }
#else
        EXPECT_EQ(name, c.typed);
        static_cast<void>(c.characters);
        static_cast<void>(c.everywhere);
#endif
    }
#ifdef _WIN32
    // Characters past the Basic Multilingual Plane are in no ANSI code page; nor is a name that
    // is not UTF-8 a name that was typed.
    if (GetACP() != CP_UTF8) {
        EXPECT_EQ(systemFileName("smile \xf0\x9f\x98\x80.bin"), std::nullopt);
        EXPECT_EQ(systemFileName("bad \xff.bin"), std::nullopt);
    }
#endif
}

}  // namespace
}  // namespace tessaloom::cli
