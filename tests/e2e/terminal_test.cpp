// The standard streams on a terminal, and what its screen shows in the end.
#include <string>
#include <utility>
#include <vector>

#include "e2e/process.h"

namespace tessaloom::e2e {
namespace {

TEST(ScreenTextTest, CarriageReturnsOverwriteAndWinesSequencesApply) {
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},
        {"report\r\n", "report\n"},
        {"long line\rshort\r\n", "shortline\n"},
        {"\rprogress\r        \rreport\r\n\r\n", "report\n\n"},
        {"\x1b[?25lab\x1b[?25h\x1b[K\x1b[1Cc\rx\r\r\n", "xb c\n"},
        {"abcdef\r\x1b[2C\x1b[K\r\n", "ab\n"},
    };
    for (const auto& [received, screen] : cases) {
        EXPECT_EQ(screenText(received), screen) << ::testing::PrintToString(received);
    }
}

const std::string kReport =
    "=== Tessaloom Structural & Entropy Analysis ===\n"
    "File:            five\n"
    "File Size:       5 bytes\n"
    "Detected Type:   Raw Binary\n"
    "Shannon Entropy: 1.92193 / 8.000 bits/byte [LOW - Sparse/Uncompressed]\n";
const std::string kError = "ERROR: Invalid OFFSET argument \"abc\"\n";

// The text as the terminal's line discipline passes it on, each "\n" as "\r\n".
std::string asReceived(const std::string& text) {
    std::string received;
    for (const char c : text) {
        received += c == '\n' ? std::string("\r\n") : std::string(1, c);
    }
    return received;
}

using TerminalTest = E2ETest;

// No command shows progress yet, so a terminal receives exactly the streams sent to it.
TEST_F(TerminalTest, ScreenShowsExactlyTheStreamsSentToIt) {
    writeFile("five", "hello");
    const std::vector<std::string> report = {"--entropy", "five"};
    const std::vector<std::string> failure = {"--dump", "five", "abc"};
    struct Case {
        std::vector<std::string> args;
        bool stdoutOnTerminal;
        bool stderrOnTerminal;
        std::string screen;
        std::string out;
        std::string err;
        int status;
    };
    const Case cases[] = {
        {report, true, true, kReport, "", "", 0},  {report, false, true, "", kReport, "", 0},
        {report, true, false, kReport, "", "", 0}, {failure, true, true, kError, "", "", 2},
        {failure, false, true, kError, "", "", 2}, {failure, true, false, "", "", kError, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args) + (c.stdoutOnTerminal ? " out" : "") +
                     (c.stderrOnTerminal ? " err" : "") + " on the terminal");
        RunOptions options;
        options.stdoutOnTerminal = c.stdoutOnTerminal;
        options.stderrOnTerminal = c.stderrOnTerminal;
        const RunResult result = run(c.args, options);
        EXPECT_EQ(screenText(result.terminal), c.screen);
        // Wine's console adds escape sequences; the program itself writes the text alone.
        if (!windowsExecutable() || c.screen.empty()) {
            EXPECT_EQ(result.terminal, asReceived(c.screen));
        }
        EXPECT_EQ(result.out, c.out);
        EXPECT_EQ(result.err, c.err);
        EXPECT_EQ(result.status, c.status);
    }
}

}  // namespace
}  // namespace tessaloom::e2e
