// --view on a real terminal: the program run inside tmux, driven by its keys, its screen read back.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "e2e/process.h"

namespace tessaloom::e2e {
namespace {

std::string quoted(const std::string& text) {
    std::string out = "'";
    for (const char c : text) {
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return out + "'";
}

std::string output(const std::string& command) {
    std::string text;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        for (std::size_t count; (count = fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
            text.append(buffer, count);
        }
        pclose(pipe);
    }
    return text;
}

// A tmux server of the test's own with one window of 100 by 30 cells. Its shell script waits for
// the file "go", runs the viewer with the given arguments as a job of its own, and records the
// exit status and the terminal's modes before and after. Each time the viewer stops, the shell
// records the modes in "stopped" and, once the file "resume" comes, brings it back with fg. The
// shell's word on a signal goes to /dev/null, and with it the viewer's standard error, which it
// does not write to while it runs.
class Tmux {
  public:
    Tmux(const std::filesystem::path& dir, const std::string& viewArgs) : dir_(dir) {
        socket_ = "tessaloom-view-" + std::to_string(getpid()) + "-" + std::to_string(++count_);
        const std::string script =
            "cd " + quoted(dir.string()) +
            " && stty -g >before && printf 'the shell before\\n' && "
            "while [ ! -e go ]; do sleep 0.05; done; set -m; "
            "{ sh -c 'echo $$ >pid; exec " +
            executablePath() + " --view " + viewArgs +
            "'; s=$?; while [ \"$(kill -l $s)\" = TSTP ]; do stty -g >stopped.new; "
            "mv stopped.new stopped; while [ ! -e resume ]; do sleep 0.05; done; rm resume; "
            "fg >/dev/null; s=$?; done; echo $s >status; } 2>/dev/null; "
            "stty -g >after.new; mv after.new after; sleep 600";
        tmux("new-session -d -x 100 -y 30 " + quoted("sh -c " + quoted(script)));
    }
    ~Tmux() { tmux("kill-server"); }

    std::string tmux(const std::string& args) const {
        return output("tmux -L " + socket_ + " -f /dev/null " + args + " 2>&1");
    }
    std::string screen() const { return tmux("capture-pane -p"); }
    // Keys by tmux's names (Enter, Escape, C-c); text typed as it is.
    void keys(const std::string& keys) const { tmux("send-keys " + keys); }
    void type(const std::string& text) const { tmux("send-keys -l " + quoted(text)); }
    // Waits up to 20 seconds for text on the screen; false if it never came.
    bool waitForScreen(const std::string& text) const {
        return waitFor([&] { return screen().find(text) != std::string::npos; });
    }
    bool waitForFile(const std::string& name) const {
        return waitFor([&] { return std::filesystem::exists(dir_ / name); });
    }
    std::string file(const std::string& name) const {
        std::ifstream in(dir_ / name, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    // Lets the viewer start, once the screen before it is captured.
    std::string start() const {
        waitForFile("before");
        waitForScreen("the shell before");
        const std::string before = screen();
        std::ofstream(dir_ / "go").put('\n');
        return before;
    }

  private:
    template <typename Ready>
    static bool waitFor(Ready&& ready) {
        for (int i = 0; i < 400; ++i) {
            if (ready()) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    std::filesystem::path dir_;
    std::string socket_;
    static inline int count_ = 0;
};

class ViewTest : public E2ETest {
  protected:
    void SetUp() override {
        E2ETest::SetUp();
        TESSALOOM_SKIP_FOR_WINDOWS("tmux drives a POSIX terminal");
        if (std::system("tmux -V >/dev/null 2>&1") != 0) {
            GTEST_SKIP() << "tmux is not installed";
        }
    }
    // The viewer gave the terminal back as it found it: the same screen and the same modes.
    void expectRestored(const Tmux& tmux, const std::string& before, const std::string& status) {
        ASSERT_TRUE(tmux.waitForFile("after"));
        EXPECT_EQ(tmux.file("status"), status);
        EXPECT_EQ(tmux.file("after"), tmux.file("before"));
        EXPECT_EQ(tmux.screen(), before);
    }
};

TEST_F(ViewTest, GoesSearchesEditsUndoesAndSaves) {
    std::string data(8192, '.');
    data.replace(0x1234, 5, "HELLO");
    writeFile("data", data);
    Tmux tmux(path(""), "data");
    const std::string before = tmux.start();
    ASSERT_TRUE(tmux.waitForScreen("8192 bytes  0x0 (0)"));
    tmux.type("g0x10\r");
    ASSERT_TRUE(tmux.waitForScreen("0x10 (16)"));
    tmux.type("/\"HELLO\"\r");
    ASSERT_TRUE(tmux.waitForScreen("Found at 0x1234"));
    EXPECT_NE(tmux.screen().find("00001230  2E 2E 2E 2E 48 45 4C 4C  4F 2E"), std::string::npos);
    tmux.keys("e 4 1 4 2 Escape u");
    ASSERT_TRUE(tmux.waitForScreen("0x1235 (4661)  1 change"));
    tmux.keys("w");
    ASSERT_TRUE(tmux.waitForScreen("Saved 1 change to data"));
    tmux.keys("q");
    expectRestored(tmux, before, "0\n");
    data[0x1234] = 'A';
    EXPECT_EQ(readFile("data"), data);
}

// Insert (or Ctrl-T) makes typing insert: bytes go in before the cursor and after the last one,
// Delete and Backspace take them out, the offsets after them move, and w saves the bytes so.
TEST_F(ViewTest, InsertsDeletesAndSaves) {
    writeFile("data", "0123456789");
    Tmux tmux(path(""), "data");
    const std::string before = tmux.start();
    ASSERT_TRUE(tmux.waitForScreen("10 bytes  0x0 (0)"));
    tmux.keys("e IC");
    ASSERT_TRUE(tmux.waitForScreen("[EDIT HEX INS]"));
    tmux.keys("4 1");
    ASSERT_TRUE(tmux.waitForScreen("11 bytes  0x1 (1)  [EDIT HEX INS]  1 change"));
    EXPECT_NE(tmux.screen().find("00000000  41 30 31 32 33 34 35 36  37 38 39"), std::string::npos)
        << tmux.screen();
    tmux.keys("DC");
    ASSERT_TRUE(tmux.waitForScreen("10 bytes  0x1 (1)  [EDIT HEX INS]  2 changes"));
    tmux.keys("C-End Tab");
    tmux.type("YZ");
    ASSERT_TRUE(tmux.waitForScreen("12 bytes  0xC (12)  [EDIT TEXT INS]  4 changes"));
    tmux.keys("BSpace C-t");
    ASSERT_TRUE(tmux.waitForScreen("11 bytes  0xA (10)  [EDIT TEXT OVR]  3 changes"));
    tmux.keys("Escape w");
    ASSERT_TRUE(tmux.waitForScreen("Saved 3 changes to data"));
    EXPECT_EQ(readFile("data"), "A123456789Y");
    tmux.keys("u");
    ASSERT_TRUE(tmux.waitForScreen("Nothing to undo"));
    tmux.keys("q");
    expectRestored(tmux, before, "0\n");
    EXPECT_EQ(readFile("data"), "A123456789Y");
}

TEST_F(ViewTest, TwoFilesGoToADifferenceFarAway) {
    std::string a(std::size_t{9} << 20, 'x');
    std::string b = a;
    b[(std::size_t{8} << 20) + 5] = 'y';
    writeFile("a", a);
    writeFile("b", b);
    Tmux tmux(path(""), "a b");
    const std::string before = tmux.start();
    ASSERT_TRUE(tmux.waitForScreen("1 differing  ?"));
    tmux.keys("]");
    ASSERT_TRUE(tmux.waitForScreen("Difference at 0x800005"));
    tmux.keys("q");
    expectRestored(tmux, before, "0\n");
}

TEST_F(ViewTest, QuitAsksBeforeDroppingChanges) {
    writeFile("data", "0123456789");
    Tmux tmux(path(""), "data");
    const std::string before = tmux.start();
    ASSERT_TRUE(tmux.waitForScreen("10 bytes"));
    tmux.keys("e 4 1 Escape q");
    ASSERT_TRUE(tmux.waitForScreen("Discard 1 change? (y/n)"));
    tmux.keys("n");
    ASSERT_TRUE(tmux.waitForScreen("1 change  ? help"));
    tmux.keys("C-c");
    ASSERT_TRUE(tmux.waitForScreen("Discard 1 change? (y/n)"));
    tmux.keys("y");
    expectRestored(tmux, before, "0\n");
    EXPECT_EQ(readFile("data"), "0123456789");
}

TEST_F(ViewTest, TerminalGivenBackAfterSigterm) {
    writeFile("data", "0123456789");
    Tmux tmux(path(""), "data");
    const std::string before = tmux.start();
    ASSERT_TRUE(tmux.waitForScreen("10 bytes"));
    ASSERT_TRUE(tmux.waitForFile("pid"));
    ASSERT_EQ(std::system(("kill -TERM " + tmux.file("pid")).c_str()), 0);
    expectRestored(tmux, before, "143\n");
}

// Stopped by Ctrl-Z or by another program's SIGTSTP, the viewer gives the terminal back until fg.
TEST_F(ViewTest, TerminalGivenBackWhileStopped) {
    writeFile("data", "0123456789");
    Tmux tmux(path(""), "data");
    const std::string before = tmux.start();
    ASSERT_TRUE(tmux.waitForScreen("10 bytes"));
    ASSERT_TRUE(tmux.waitForFile("pid"));
    for (const bool typed : {true, false}) {
        if (typed) {
            tmux.keys("C-z");
        } else {
            ASSERT_EQ(std::system(("kill -TSTP " + tmux.file("pid")).c_str()), 0);
        }
        ASSERT_TRUE(tmux.waitForFile("stopped"));
        EXPECT_EQ(tmux.file("stopped"), tmux.file("before"));
        ASSERT_TRUE(tmux.waitForScreen("the shell before"));
        EXPECT_EQ(tmux.screen(), before);
        std::filesystem::remove(path("stopped"));
        writeFile("resume", "");
        ASSERT_TRUE(tmux.waitForScreen("10 bytes  0x0 (0)"));
    }
    tmux.keys("l");
    ASSERT_TRUE(tmux.waitForScreen("10 bytes  0x1 (1)"));
    tmux.keys("q");
    expectRestored(tmux, before, "0\n");
}

// o lists the objects inside, Enter goes to one, and once the panel lists the file's structure
// again the status line still names the object at the cursor; ? says so.
TEST_F(ViewTest, ObjectsListedGoneToAndNamed) {
    const std::string gzip("\x1f\x8b\x08\x00\0\0\0\0\0\x03\x03\0\0\0\0\0\0\0\0\0", 20);
    writeFile("data", std::string(0x2345, '.') + gzip + std::string(100, '.'));
    Tmux tmux(path(""), "data");
    const std::string before = tmux.start();
    ASSERT_TRUE(tmux.waitForScreen("9149 bytes  0x0 (0)"));
    tmux.keys("o");
    ASSERT_TRUE(tmux.waitForScreen("1 object"));
    tmux.keys("j Enter");
    ASSERT_TRUE(tmux.waitForScreen("0x2345 (9029)  Objects > gzip"));
    tmux.keys("s Escape l");
    ASSERT_TRUE(tmux.waitForScreen("0x2346 (9030)  in gzip at 0x2345"));
    tmux.keys("?");
    ASSERT_TRUE(tmux.waitForScreen("the status line names the one at the cursor"));
    tmux.keys("x q");
    expectRestored(tmux, before, "0\n");
}

// a aligns two files across an insertion: the rows of A stay beside the same bytes of B, the
// inserted bytes show beside a gap in A, ] goes to them and the status line names the hunk.
TEST_F(ViewTest, TwoFilesAlignedAcrossAnInsertion) {
    std::string a(0x10000, '\0');
    std::uint32_t state = 26;
    for (char& byte : a) {
        state = state * 1664525 + 1013904223;
        byte = static_cast<char>(state >> 24);
    }
    std::string b = a;
    b.insert(0x5040, std::string(16, 'I'));
    writeFile("a", a);
    writeFile("b", b);
    Tmux tmux(path(""), "a b");
    const std::string before = tmux.start();
    ASSERT_TRUE(tmux.waitForScreen("65536 bytes  0x0 (0)"));
    tmux.keys("a");
    ASSERT_TRUE(tmux.waitForScreen("Aligned: 1 hunk not equal"));
    tmux.keys("]");
    ASSERT_TRUE(
        tmux.waitForScreen(" A -  B 0x5040  inserted A:0x5040 B:0x5040, 0x10 bytes  [ALIGNED]"));
    const std::string screen = tmux.screen();
    EXPECT_NE(screen.find("          -- -- -- -- -- -- -- --  -- -- -- -- -- -- -- --"),
              std::string::npos)
        << screen;
    EXPECT_NE(screen.find(
                  "00005040  49 49 49 49 49 49 49 49  49 49 49 49 49 49 49 49  |IIIIIIIIIIIIIIII|"),
              std::string::npos)
        << screen;
    tmux.keys("j");
    ASSERT_TRUE(tmux.waitForScreen(" A 0x5040  B 0x5050  equal A:0x5040 = B:0x5050"));
    tmux.keys("a");
    ASSERT_TRUE(tmux.waitForScreen("0x5040 (20544)"));
    tmux.keys("q");
    expectRestored(tmux, before, "0\n");
}

using ViewArgumentsTest = E2ETest;

TEST_F(ViewArgumentsTest, NeedsATerminalAndOneOrTwoFiles) {
    writeFile("data", "0123456789");
    const std::string usage = "Usage: " + programName() + " --view <FILE> [FILE_B]\n";
    expectRuns({
        {{"--view", "data"}, "", "ERROR: --view needs a terminal\n", 2},
        {{"--view"}, "", usage, 2},
        {{"--view", "data", "data", "data"}, "", usage, 2},
    });
}

}  // namespace
}  // namespace tessaloom::e2e
