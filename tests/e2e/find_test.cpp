// The --find command on real files and a pipe.
#include <random>
#include <string>
#include <vector>

#include "e2e/process.h"

namespace tessaloom::e2e {
namespace {

using FindTest = E2ETest;

TEST_F(FindTest, ListsEveryOccurrenceOrSaysWhyNot) {
    // "AAAB", then "hi" in UTF-16LE, then DE AD BE EF.
    writeFile("f", "AAAB" + bytes({'h', 0, 'i', 0, 0xDE, 0xAD, 0xBE, 0xEF}));
    const std::string usage = "Usage: " + programName() +
                              " --find <FILE> <PATTERN> [--json] | <FILE> --text <TEXT> [--json] | "
                              "<FILE> --utf16 <TEXT> [--json]\n";
    const auto invalid = [](const std::string& what, const std::string& text) {
        return "ERROR: Invalid " + what + " argument \"" + text + "\"\n";
    };
    std::vector<ExpectedRun> cases = {
        {{"--find", "f", "41 41"}, "0x0: 41 41\n0x1: 41 41\n"},
        {{"--find", "f", "4?:?2"}, "0x2: 41 42\n"},
        {{"--find", "f",
          "de?"
          "?-be-ef"},
         "0x8: de ad be ef\n"},
        {{"--find", "f", "--text", "AB"}, "0x2: 41 42\n"},
        {{"--find", "f", "--utf16", "hi"}, "0x4: 68 00 69 00\n"},
        {{"--find", "f", "00 00 00"}, "", "", 1},
        {{"--find", "f", "41 41", "--json"},
         "{\n  \"path\": \"f\",\n  \"pattern\": \"41 41\",\n  \"offsets\": [\n    0,\n    1\n"
         "  ],\n  \"count\": 2\n}\n"},
        {{"--find", "f", "--text", "x", "--json"},
         "{\n  \"path\": \"f\",\n  \"pattern\": \"78\",\n  \"offsets\": [],\n  \"count\": 0\n}\n",
         "",
         1},
        {{"--find", "missing", "0x41"}, "", invalid("PATTERN", "0x41"), 2},
        {{"--find", "missing", "4 1"}, "", invalid("PATTERN", "4 1"), 2},
        {{"--find", "missing", "--text", ""}, "", invalid("TEXT", ""), 2},
        {{"--find", "missing", "41"},
         "",
         "ERROR: Cannot read missing: No such file or directory\n",
         2},
        {{"--find", "f"}, "", usage, 2},
        {{"--find", "f", "--text"}, "", usage, 2},
        {{"--find", "f", "41", "--json", "--json"}, "", usage, 2},
        {{"--find", "f", "41", "more"}, "", usage, 2},
    };
    if (!windowsExecutable()) {
        // A Windows program receives its arguments in the ANSI code page, where C3 is a letter.
        cases.push_back({{"--find", "missing", "--utf16", "\xC3"}, "", invalid("TEXT", "\xC3"), 2});
    }
    expectRuns(cases);
}

// Random bytes over a few values, searched through a pipe: every occurrence a plain loop finds,
// overlapping ones and those across the reader's chunks included.
TEST_F(FindTest, PipeOfAFewMegabytesAgreesWithAPlainLoop) {
    TESSALOOM_SKIP_FOR_WINDOWS("Windows has no /dev/stdin");
    std::mt19937 random(3);
    std::string data(3 << 20, '\0');
    for (char& c : data) {
        c = "\x01\x02\x03\x04"[random() % 4];
    }
    std::string expected;
    for (std::size_t p = 0; p + 8 <= data.size(); ++p) {
        if (data.compare(p, 8, "\x01\x02\x03\x04\x01\x02\x03\x04") == 0) {
            char line[64];
            std::snprintf(line, sizeof line, "0x%zx: 01 02 03 04 01 02 03 04\n", p);
            expected += line;
        }
    }
    ASSERT_FALSE(expected.empty());
    RunOptions piped;
    piped.stdinData = data;
    expectRuns({{{"--find", "/dev/stdin", "01 02 03 04 01 02 03 04"}, expected}}, piped);
}

}  // namespace
}  // namespace tessaloom::e2e
