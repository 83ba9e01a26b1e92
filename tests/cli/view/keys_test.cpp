#include "view/keys.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tessaloom::cli::view {
namespace {

struct KeysCase {
    std::string bytes;
    std::vector<Key> keys;
};

const KeysCase kCases[] = {
    {"ab\r\t\x7f",
     {{KeyCode::kChar, 'a'},
      {KeyCode::kChar, 'b'},
      {KeyCode::kEnter},
      {KeyCode::kTab},
      {KeyCode::kBackspace}}},
    {"\x1b[A\x1b[B\x1bOC\x1bOD",
     {{KeyCode::kUp}, {KeyCode::kDown}, {KeyCode::kRight}, {KeyCode::kLeft}}},
    {"\x1b[5~\x1b[6~\x1b[1~\x1b[4~\x1b[H\x1b[F",
     {{KeyCode::kPageUp},
      {KeyCode::kPageDown},
      {KeyCode::kHome},
      {KeyCode::kEnd},
      {KeyCode::kHome},
      {KeyCode::kEnd}}},
    {"\x1b[1;5H\x1b[1;5F\x1b[7^\x1b[3~",
     {{KeyCode::kCtrlHome}, {KeyCode::kCtrlEnd}, {KeyCode::kCtrlHome}, {KeyCode::kDelete}}},
    {"\x1b[2~\x14", {{KeyCode::kInsert}, {KeyCode::kChar, kCtrlT}}},
    {"\x1b", {{KeyCode::kEscape}}},
    {"\x1bu\x12\x03",
     {{KeyCode::kEscape},
      {KeyCode::kChar, 'u'},
      {KeyCode::kChar, kCtrlR},
      {KeyCode::kChar, kCtrlC}}},
    {"\x1b[99~x", {{KeyCode::kChar, 'x'}}},  // a key the viewer does not know is dropped
    {"\x1b[9999999999999~\x1b[1;99999999999A", {{KeyCode::kUp}}},  // numbers past an int
};

// Every case, cut into two pieces at every position, gives the keys of the whole.
TEST(VtKeyDecoderTest, DecodesSequencesSplitAnywhere) {
    for (const KeysCase& test : kCases) {
        for (std::size_t cut = 0; cut <= test.bytes.size(); ++cut) {
            VtKeyDecoder decoder;
            std::vector<Key> keys;
            decoder.feed(test.bytes.substr(0, cut), keys);
            decoder.feed(test.bytes.substr(cut), keys);
            decoder.flush(keys);
            EXPECT_EQ(keys, test.keys)
                << "cut at " << cut << " of " << testing::PrintToString(test.bytes);
        }
    }
}

}  // namespace
}  // namespace tessaloom::cli::view
