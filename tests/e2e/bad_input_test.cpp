// Inputs a user may point the program at by accident: special files, malformed numbers, files
// larger than memory, and an output that cannot be written. Each states its exact result.
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "e2e/process.h"

namespace tessaloom::e2e {
namespace {

const std::string kOutOfBounds = "(Offset out of bounds)\n";
const std::string kAbcLine =
    "00000000  61 62 63                                          |abc             |\n";
const std::string kOutOfMemory = "ERROR: Not enough memory to load the file\n";
const std::string kCannotWrite = "ERROR: Cannot write to standard output\n";

struct Case {
    std::vector<std::string> args;
    std::string out;
    std::string err;
    int status;
};

std::string invalid(const std::string& name, const std::string& text) {
    return "ERROR: Invalid " + name + " argument \"" + text + "\"\n";
}

class BadInputTest : public E2ETest {
  protected:
    void expectAll(const std::vector<Case>& cases, const RunOptions& options = {}) const {
        for (const Case& c : cases) {
            SCOPED_TRACE(::testing::PrintToString(c.args));
            const RunResult result = run(c.args, options);
            EXPECT_EQ(result.out, c.out);
            EXPECT_EQ(result.err, c.err);
            EXPECT_EQ(result.status, c.status);
        }
    }
};

TEST_F(BadInputTest, FilesThatAreNotRegularReadAsEmpty) {
    std::filesystem::create_directory(path("folder"));
    ASSERT_EQ(mkfifo(path("pipe").c_str(), 0600), 0);  // no writer: opening it would hang
    expectAll({
        {{"--dump", "folder"}, kOutOfBounds, "", 0},
        {{"--dump", "pipe"}, kOutOfBounds, "", 0},
        {{"--dump", "pipe", "0", "0"}, kOutOfBounds, "", 0},
        {{"--dump", "/dev/null"}, kOutOfBounds, "", 0},
        {{"--dump", "/dev/zero"}, kOutOfBounds, "", 0},
        {{"--dump", "missing"}, kOutOfBounds, "", 0},
        {{"--dump", ""}, kOutOfBounds, "", 0},
    });
}

TEST_F(BadInputTest, MalformedNumbersStopTheRunBeforeAnyFileIsRead) {
    writeFile("abc", "abc");
    std::vector<Case> cases;
    for (const std::string text : {"", " ", "+", "-", "+-1", "ff", "x10", "18446744073709551616",
                                   "-18446744073709551616", "0x10000000000000000"}) {
        cases.push_back({{"--dump", "abc", text}, "", invalid("OFFSET", text), 2});
    }
    for (const std::string text :
         {"", "+", "-", "ff", "4294967296", "-4294967296", "0x100000000", "040000000000"}) {
        cases.push_back({{"--dump", "abc", "0", text}, "", invalid("LEN", text), 2});
    }
    // OFFSET is converted first, and both before the file is looked at.
    cases.push_back({{"--dump", "abc", "+", "+"}, "", invalid("OFFSET", "+"), 2});
    cases.push_back({{"--dump", "missing", "0", "-"}, "", invalid("LEN", "-"), 2});
    // The largest values that fit are accepted.
    cases.push_back({{"--dump", "abc", "18446744073709551615"}, kOutOfBounds, "", 0});
    cases.push_back({{"--dump", "abc", "0xFFFFFFFFFFFFFFFF", "4294967295"}, kOutOfBounds, "", 0});
    cases.push_back({{"--dump", "abc", "0", "037777777777"}, kAbcLine, "", 0});
    expectAll(cases);
}

TEST_F(BadInputTest, FileLargerThanTheMemoryAllowed) {
    TESSALOOM_SKIP_WITHOUT_ADDRESS_SPACE_LIMIT();
    std::ofstream(path("huge"));
    std::filesystem::resize_file(path("huge"), std::uint64_t{8} << 30);  // sparse: no disk used
    RunOptions limited;
    limited.addressSpaceLimit = std::uint64_t{1} << 30;
    expectAll(
        {
            {{"--dump", "huge"}, "", kOutOfMemory, 2},
            {{"--dump", "huge", "0x1FFFFFFF0", "16"}, "", kOutOfMemory, 2},
        },
        limited);
}

TEST_F(BadInputTest, StandardOutputThatCannotBeWritten) {
    writeFile("abc", "abc");
    RunOptions full;
    full.stdoutPath = "/dev/full";
    expectAll(
        {
            {{"--dump", "abc"}, "", kCannotWrite, 2},
            {{"--dump", "missing"}, "", kCannotWrite, 2},
            {{"--nothing"}, "", kCannotWrite, 2},
            // On Windows the information window is a message box and writes nothing.
            {{},
             "",
             infoWindowConsoleText().empty() ? "" : kCannotWrite,
             infoWindowConsoleText().empty() ? 0 : 2},
            {{"--dump", "abc", "0", "0"}, "", "", 0},  // nothing to write, nothing lost
            {{"--dump", "abc", "x"}, "", invalid("OFFSET", "x"), 2},
        },
        full);
}

}  // namespace
}  // namespace tessaloom::e2e
