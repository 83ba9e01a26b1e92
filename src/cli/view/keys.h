// The keys the viewer reacts to, and their decoding from the bytes a VT terminal sends.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tessaloom::cli::view {

enum class KeyCode {
    kChar,  // ch holds the character; control characters (Ctrl-R is 0x12) arrive as such
    kEnter,
    kEscape,
    kTab,
    kBackspace,
    kUp,
    kDown,
    kLeft,
    kRight,
    kPageUp,
    kPageDown,
    kHome,
    kEnd,
    kCtrlHome,
    kCtrlEnd,
    kDelete,
    kInsert,
};

struct Key {
    KeyCode code = KeyCode::kChar;
    char ch = 0;

    bool operator==(const Key&) const = default;
    bool is(char c) const { return code == KeyCode::kChar && ch == c; }
};

inline constexpr char kCtrlC = 0x03;
inline constexpr char kCtrlR = 0x12;
inline constexpr char kCtrlT = 0x14;
inline constexpr char kCtrlZ = 0x1A;

// The keys of text typed as plain characters, for tests and for replaying input.
std::vector<Key> keysOf(std::string_view text);

// Turns the bytes of a terminal's input, in pieces of any size, into keys. An escape sequence
// whose end has not come yet is held back; a lone Escape byte is only known to be the Escape key
// when no more bytes follow it soon, which the caller tells with flush().
class VtKeyDecoder {
  public:
    // Decodes bytes and appends the keys that are complete to keys.
    void feed(std::string_view bytes, std::vector<Key>& keys);
    // Hands on what is held back as keys: a lone Escape, or the start of a sequence that never
    // finished.
    void flush(std::vector<Key>& keys);
    bool holding() const { return !held_.empty(); }

  private:
    std::string held_;
};

}  // namespace tessaloom::cli::view
