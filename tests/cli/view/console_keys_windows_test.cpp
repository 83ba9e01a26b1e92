#include "view/platform/console_keys.h"

#include <gtest/gtest.h>

#include <optional>

namespace tessaloom::cli::view {
namespace {

KEY_EVENT_RECORD record(BOOL down, WORD virtualKey, WCHAR c, DWORD controls = 0) {
    KEY_EVENT_RECORD event{};
    event.bKeyDown = down;
    event.wRepeatCount = 1;
    event.wVirtualKeyCode = virtualKey;
    event.uChar.UnicodeChar = c;
    event.dwControlKeyState = controls;
    return event;
}

struct RecordCase {
    KEY_EVENT_RECORD record;
    std::optional<Key> key;
};

TEST(ConsoleKeysTest, RecordsBecomeKeys) {
    const RecordCase cases[] = {
        {record(TRUE, VK_UP, 0), Key{KeyCode::kUp}},
        {record(TRUE, VK_NEXT, 0), Key{KeyCode::kPageDown}},
        {record(TRUE, VK_HOME, 0), Key{KeyCode::kHome}},
        {record(TRUE, VK_HOME, 0, LEFT_CTRL_PRESSED), Key{KeyCode::kCtrlHome}},
        {record(TRUE, VK_END, 0, RIGHT_CTRL_PRESSED), Key{KeyCode::kCtrlEnd}},
        {record(TRUE, VK_RETURN, L'\r'), Key{KeyCode::kEnter}},
        {record(TRUE, VK_ESCAPE, 0x1B), Key{KeyCode::kEscape}},
        {record(TRUE, 'G', L'G', SHIFT_PRESSED), Key{KeyCode::kChar, 'G'}},
        {record(TRUE, 'C', 0x03, LEFT_CTRL_PRESSED), Key{KeyCode::kChar, kCtrlC}},
        {record(TRUE, 'R', 0x12, LEFT_CTRL_PRESSED), Key{KeyCode::kChar, kCtrlR}},
        {record(FALSE, 'G', L'G'), std::nullopt},   // a release
        {record(TRUE, VK_SHIFT, 0), std::nullopt},  // a modifier alone
        {record(TRUE, 'E', 0x00E9), std::nullopt},  // not ASCII
    };
    for (const RecordCase& test : cases) {
        EXPECT_EQ(keyFromRecord(test.record), test.key) << test.record.wVirtualKeyCode;
    }
}

}  // namespace
}  // namespace tessaloom::cli::view
