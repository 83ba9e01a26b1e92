// The standard streams on a terminal, and what its screen shows in the end.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <string_view>
#include <thread>
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

// A run this short shows no progress, so a terminal receives exactly the streams sent to it.
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

// No control character of a file name reaches a terminal: reports and messages escape them
// there, as ls does, and write the name's bytes unchanged into a pipe or a file.
TEST_F(TerminalTest, NamesReachATerminalEscapedAndAPipeUnchanged) {
    TESSALOOM_SKIP_FOR_WINDOWS("Windows file names cannot hold control characters");
    const std::string name =
        "a\x1b]2;owned\x07\xc2\x9b"
        "b";
    const std::string shown = "a\\x1B]2;owned\\x07\\xC2\\x9Bb";
    writeFile(name, "hello");
    const struct {
        std::vector<std::string> args;
        std::string line;  // where the name shows
    } cases[] = {
        {{"--entropy", name}, "File:            "},
        {{"--struct", name}, ""},
        {{"--dump", name + "-gone"}, "ERROR: Cannot read "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0]);
        RunOptions terminal;
        terminal.stdoutOnTerminal = true;
        terminal.stderrOnTerminal = true;
        const RunResult onTerminal = run(c.args, terminal);
        const std::string screen = screenText(onTerminal.terminal);
        EXPECT_NE(screen.find(c.line + shown), std::string::npos) << screen;
        EXPECT_EQ(onTerminal.terminal.find(name), std::string::npos);
        const RunResult piped = run(c.args);
        EXPECT_NE((piped.out + piped.err).find(c.line + name), std::string::npos)
            << piped.out << piped.err;
        EXPECT_EQ(piped.status, onTerminal.status);
    }
}

// The line appears while the work goes on and is gone when the report is written: the screen
// shows exactly the report, and the report itself is the same byte for byte as without a
// terminal, where standard error gets nothing.
TEST_F(TerminalTest, ProgressShowsWhileTheWorkGoesOnAndLeavesOnlyTheReport) {
    TESSALOOM_SKIP_FOR_WINDOWS("the slow input is a FIFO, which Windows does not have");
    const std::string data(1 << 20, 'x');
    writeFile("file", data);
    const auto reportOf = [this](std::vector<std::string> args) {
        std::replace(args.begin(), args.end(), std::string("fifo"), std::string("file"));
        std::string out = run(args).out;
        for (std::size_t at = out.find("file"); at != std::string::npos; at = out.find("file")) {
            out.replace(at, 4, "fifo");
        }
        return out;
    };
    const std::vector<std::string> commands[] = {
        {"--entropy", "fifo"},
        {"--strings", "fifo"},
        {"--diff", "fifo", "fifo-copy"},
        {"--replace", "fifo", "78", "79", "out.bin"},
        {"--dump", "fifo", "0xFFFF0", "16"},
    };
    writeFile("fifo-copy", data);
    for (const std::vector<std::string>& args : commands) {
        SCOPED_TRACE(::testing::PrintToString(args));
        const std::string report = reportOf(args);
        ASSERT_FALSE(report.empty());
        // A dump on the screen is its own progress, and one sent down a pipe usually goes to a
        // pager, whose screen the line would spoil: the line shows for a dump to a file alone.
        for (const std::string stdoutTo : {"terminal", "pipe", "file"}) {
            if (stdoutTo == "file" && args[0] != "--dump") {
                continue;
            }
            std::filesystem::remove(path("fifo"));
            const SlowFifo fifo(path("fifo"), data);
            RunOptions options;
            options.stderrOnTerminal = true;
            options.stdoutOnTerminal = stdoutTo == "terminal";
            if (stdoutTo == "file") {
                writeFile("report.txt", "");
                options.stdoutPath = path("report.txt").string();
            }
            const RunResult result = run(args, options);
            const std::string out = stdoutTo == "file" ? readFile("report.txt") : result.out;
            const bool lineWanted = args[0] != "--dump" || stdoutTo == "file";
            EXPECT_EQ(result.terminal.find("B/s") != std::string::npos, lineWanted)
                << stdoutTo << ": the progress line " << (lineWanted ? "never showed" : "showed");
            EXPECT_EQ(screenText(result.terminal), stdoutTo == "terminal" ? report : "");
            EXPECT_EQ(out, stdoutTo == "terminal" ? "" : report);
            EXPECT_EQ(result.status, 0);
        }
    }
}

}  // namespace
}  // namespace tessaloom::e2e
