#include "keys.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <optional>

namespace tessaloom::cli::view {

namespace {

constexpr char kEsc = 0x1B;
constexpr int kLargestParameter = 100000;

struct FinalKey {
    char final;
    KeyCode code;
};

// CSI and SS3 sequences ending in a letter: ESC [ A, ESC O A, ESC [ 1 ; 5 H ...
constexpr std::array kLetterKeys{
    FinalKey{'A', KeyCode::kUp},   FinalKey{'B', KeyCode::kDown}, FinalKey{'C', KeyCode::kRight},
    FinalKey{'D', KeyCode::kLeft}, FinalKey{'H', KeyCode::kHome}, FinalKey{'F', KeyCode::kEnd},
};

struct NumberKey {
    int number;
    KeyCode code;
};

// CSI sequences ending in '~': ESC [ 5 ~ ...; xterm, rxvt and the Linux console number them so.
constexpr std::array kTildeKeys{
    NumberKey{1, KeyCode::kHome},     NumberKey{7, KeyCode::kHome},
    NumberKey{4, KeyCode::kEnd},      NumberKey{8, KeyCode::kEnd},
    NumberKey{3, KeyCode::kDelete},   NumberKey{5, KeyCode::kPageUp},
    NumberKey{6, KeyCode::kPageDown}, NumberKey{2, KeyCode::kInsert},
};

// The key of the control character or plain character c.
Key plainKey(char c) {
    switch (c) {
        case '\r':
        case '\n':
            return {KeyCode::kEnter};
        case '\t':
            return {KeyCode::kTab};
        case 0x7F:
        case 0x08:
            return {KeyCode::kBackspace};
        default:
            return {KeyCode::kChar, c};
    }
}

// Home and End held with Ctrl go to the file's ends; Ctrl changes no other key.
Key withCtrl(KeyCode code, bool ctrl) {
    if (ctrl && code == KeyCode::kHome) {
        return Key{KeyCode::kCtrlHome};
    }
    if (ctrl && code == KeyCode::kEnd) {
        return Key{KeyCode::kCtrlEnd};
    }
    return Key{code};
}

// The key of a whole sequence: introducer ('[' or 'O'), parameters and final byte.
std::optional<Key> sequenceKey(char introducer, std::string_view params, char final) {
    // rxvt marks Ctrl with '^' in place of '~'.
    const bool rxvtCtrl = final == '^';
    if (rxvtCtrl) {
        final = '~';
    }
    int first = 0;
    int modifier = 1;
    int* field = &first;
    for (const char c : params) {
        if (c == ';') {
            field = &modifier;
            *field = 0;
        } else if (c >= '0' && c <= '9') {
            // Clamped: no key has a number that large, and a longer one must not overflow.
            *field = std::min(*field * 10 + (c - '0'), kLargestParameter);
        }
    }
    // Ctrl adds 4 to the modifier's bits, which xterm numbers from 1.
    const bool ctrl = rxvtCtrl || (modifier >= 1 && ((modifier - 1) & 4) != 0);
    if (final == '~' && introducer == '[') {
        for (const NumberKey& key : kTildeKeys) {
            if (key.number == first) {
                return withCtrl(key.code, ctrl);
            }
        }
        return std::nullopt;
    }
    for (const FinalKey& key : kLetterKeys) {
        if (key.final == final) {
            return withCtrl(key.code, ctrl);
        }
    }
    return std::nullopt;
}

}  // namespace

std::vector<Key> keysOf(std::string_view text) {
    std::vector<Key> keys;
    for (const char c : text) {
        keys.push_back(plainKey(c));
    }
    return keys;
}

void VtKeyDecoder::feed(std::string_view bytes, std::vector<Key>& keys) {
    for (const char c : bytes) {
        if (held_.empty()) {
            if (c == kEsc) {
                held_.push_back(c);
            } else {
                keys.push_back(plainKey(c));
            }
            continue;
        }
        held_.push_back(c);
        if (held_.size() == 2) {
            if (c != '[' && c != 'O') {
                // Escape followed by another key: Alt and that key, taken as the two keys.
                held_.clear();
                keys.push_back({KeyCode::kEscape});
                if (c == kEsc) {
                    held_.push_back(c);
                } else {
                    keys.push_back(plainKey(c));
                }
            }
            continue;
        }
        const bool final = held_[1] == 'O' ? true : (c >= 0x40 && c <= 0x7E);
        if (final) {
            const std::string_view params = std::string_view(held_).substr(2, held_.size() - 3);
            if (const std::optional<Key> key = sequenceKey(held_[1], params, c)) {
                keys.push_back(*key);
            }
            held_.clear();
        } else if (held_.size() > 16) {
            held_.clear();  // nothing the viewer knows is that long
        }
    }
}

void VtKeyDecoder::flush(std::vector<Key>& keys) {
    if (held_.empty()) {
        return;
    }
    keys.push_back({KeyCode::kEscape});
    const std::string rest = held_.substr(1);
    held_.clear();
    feed(rest, keys);
    if (!held_.empty()) {
        held_.clear();
        keys.push_back({KeyCode::kEscape});
    }
}

}  // namespace tessaloom::cli::view
