#include "engine/utf8.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace tessaloom {
namespace {

using namespace std::string_view_literals;

// What a name read from inside a file looks like on a terminal: UTF-8 as it is; controls,
// bidirectional overrides and bytes that are not UTF-8 as \xNN, one per byte.
TEST(EscapedTextTest, OnlyCharactersThatShowThemselvesPass) {
    struct Case {
        std::string_view name;
        std::string_view text;
        std::string_view shown;
    };
    const Case cases[] = {
        {"plain", "readme.txt", "readme.txt"},
        {"UTF-8 letters", "caf\xC3\xA9/\xE6\x97\xA5.txt", "caf\xC3\xA9/\xE6\x97\xA5.txt"},
        {"escape and bell", "a\x1B]2;x\x07", "a\\x1B]2;x\\x07"},
        {"NUL and DEL", "a\0b\x7F"sv, "a\\x00b\\x7F"},
        {"C1 control as UTF-8",
         "\xC2\x9B"
         "31m",
         "\\xC2\\x9B31m"},
        {"right-to-left override",
         "invoice\xE2\x80\xAE"
         "fdp.exe",
         "invoice\\xE2\\x80\\xAEfdp.exe"},
        {"isolates and marks", "\xE2\x81\xA6\xE2\x80\x8F\xD8\x9C",
         "\\xE2\\x81\\xA6\\xE2\\x80\\x8F\\xD8\\x9C"},
        {"left-to-right embedding", "\xE2\x80\xAA", "\\xE2\\x80\\xAA"},
        {"lone continuation byte", "a\x80z", "a\\x80z"},
        {"truncated sequence at the end", "a\xE2\x80", "a\\xE2\\x80"},
        {"overlong slash", "\xC0\xAF", "\\xC0\\xAF"},
        {"surrogate", "\xED\xA0\x80", "\\xED\\xA0\\x80"},
        {"zero-width joiner stays", "\xE2\x80\x8D", "\xE2\x80\x8D"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(escapedText(c.text), c.shown) << c.name;
    }
}

}  // namespace
}  // namespace tessaloom
