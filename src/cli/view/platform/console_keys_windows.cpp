#include <array>

#include "console_keys.h"

namespace tessaloom::cli::view {

namespace {

struct VirtualKey {
    WORD code;
    KeyCode key;
    KeyCode withCtrl;
};

constexpr std::array kVirtualKeys{
    VirtualKey{VK_UP, KeyCode::kUp, KeyCode::kUp},
    VirtualKey{VK_DOWN, KeyCode::kDown, KeyCode::kDown},
    VirtualKey{VK_LEFT, KeyCode::kLeft, KeyCode::kLeft},
    VirtualKey{VK_RIGHT, KeyCode::kRight, KeyCode::kRight},
    VirtualKey{VK_PRIOR, KeyCode::kPageUp, KeyCode::kPageUp},
    VirtualKey{VK_NEXT, KeyCode::kPageDown, KeyCode::kPageDown},
    VirtualKey{VK_HOME, KeyCode::kHome, KeyCode::kCtrlHome},
    VirtualKey{VK_END, KeyCode::kEnd, KeyCode::kCtrlEnd},
    VirtualKey{VK_DELETE, KeyCode::kDelete, KeyCode::kDelete},
    VirtualKey{VK_INSERT, KeyCode::kInsert, KeyCode::kInsert},
    VirtualKey{VK_RETURN, KeyCode::kEnter, KeyCode::kEnter},
    VirtualKey{VK_ESCAPE, KeyCode::kEscape, KeyCode::kEscape},
    VirtualKey{VK_TAB, KeyCode::kTab, KeyCode::kTab},
    VirtualKey{VK_BACK, KeyCode::kBackspace, KeyCode::kBackspace},
};

}  // namespace

std::optional<Key> keyFromRecord(const KEY_EVENT_RECORD& record) {
    if (!record.bKeyDown) {
        return std::nullopt;
    }
    const bool ctrl = (record.dwControlKeyState & (LEFT_CTRL_PRESSED | RIGHT_CTRL_PRESSED)) != 0;
    for (const VirtualKey& key : kVirtualKeys) {
        if (key.code == record.wVirtualKeyCode) {
            return Key{ctrl ? key.withCtrl : key.key};
        }
    }
    // Characters, control characters (Ctrl-C is 3) included, as the keyboard layout makes them.
    const WCHAR c = record.uChar.UnicodeChar;
    if (c > 0 && c < 0x80) {
        return Key{KeyCode::kChar, static_cast<char>(c)};
    }
    return std::nullopt;
}

}  // namespace tessaloom::cli::view
