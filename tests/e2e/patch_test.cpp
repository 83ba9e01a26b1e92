// The --patch command on real files: --diff reports applied as they stand, and lists that are
// refused whole.
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "e2e/process.h"

namespace tessaloom::e2e {
namespace {

using PatchTest = E2ETest;

// A diff of A and B applied to A gives B, wherever B is at least as long as A; through a file
// and through standard input.
TEST_F(PatchTest, DiffReportsRoundTrip) {
    std::mt19937 random(11);
    for (int round = 0; round < 12; ++round) {
        std::string a(random() % 5000, '\0');
        for (char& c : a) {
            c = static_cast<char>(random());
        }
        std::string b = a + std::string(random() % 3, 'x');
        for (auto change = random() % 50; change > 0 && !b.empty(); --change) {
            b[random() % b.size()] = static_cast<char>(random());
        }
        writeFile("a", a);
        writeFile("b", b);
        writeFile("list", run({"--diff", "a", "b"}).out);
        const bool piped = round % 2 == 1 && !windowsExecutable();
        RunOptions options;
        if (piped) {
            options.stdinData = readFile("list");
        }
        const RunResult result = run({"--patch", "a", piped ? "-" : "list", "o"}, options);
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(readFile("o"), b) << "round " << round;
    }
}

// A wrong line or a mismatching OLD stops the run before O is touched, whatever IN is.
TEST_F(PatchTest, RefusedListsLeaveTheOutputAlone) {
    writeFile("in", "abcdef");
    const auto line = [](int number, const std::string& what) {
        return "ERROR: PATCHES line " + std::to_string(number) + ": " + what + "\n";
    };
    const std::pair<std::string, std::string> cases[] = {
        {"0: 7a\n1: 62 -> 00\n2: 00 -> 01\n", line(3, "IN holds 0x63 at 0x2 where OLD says 0x0")},
        {"9: 01 -> 02", line(1, "IN holds 0x0 at 0x9 where OLD says 0x1")},
        {"# fine\n0x1 62", line(2, "expected OFFSET: NEW or OFFSET: OLD -> NEW")},
        {"Found 51 byte differences:\n  Offset 0x0: 0x61 -> 0x7a\n  ... (and 1 more differences)",
         line(3, "a --diff report that lists only its first differences cannot be applied")},
    };
    std::vector<std::string> inputs = {"in"};
    if (!windowsExecutable()) {
        inputs.push_back("/dev/stdin");  // a stream, checked as it is copied
    }
    for (const auto& [list, error] : cases) {
        for (const std::string& input : inputs) {
            SCOPED_TRACE(list + " on " + input);
            writeFile("list", list);
            writeFile("o", "keep");
            RunOptions options;
            options.stdinData = "abcdef";
            const RunResult result = run({"--patch", input, "list", "o"}, options);
            EXPECT_EQ(result.out, "");
            EXPECT_EQ(result.err, error);
            EXPECT_EQ(result.status, 2);
            EXPECT_EQ(readFile("o"), "keep");
        }
    }
    writeFile("list", "0: 61 -> 41\n8: 21");
    expectRuns({
        {{"--patch", "in", "list", "no-such-folder/o"},
         "",
         "ERROR: Cannot write no-such-folder/o: No such file or directory\n",
         2},
        {{"--patch", "in", "missing", "o"},
         "",
         "ERROR: Cannot read missing: No such file or directory\n",
         2},
        {{"--patch", "in", "list"},
         "",
         "Usage: " + programName() + " --patch <IN> <PATCHES> <O>\n",
         2},
        {{"--patch", "in", "list", "in"}, "SUCCESS: Applied 2 changes -> in\n"},
    });
    EXPECT_EQ(readFile("in"), bytes({'A', 'b', 'c', 'd', 'e', 'f', 0, 0, '!'}));
}

// A patch list too large for the memory allowed fails with one line that names it, and O is not
// made; a list of the same kind that fits is applied.
TEST_F(PatchTest, AListTooLargeForMemoryIsNamed) {
    TESSALOOM_SKIP_WITHOUT_ADDRESS_SPACE_LIMIT();
    writeFile("in", "abc");
    std::string huge = "0:";
    for (int i = 0; i < 5000000; ++i) {
        huge += " 00";
    }
    writeFile("huge.txt", huge);
    writeFile("small.txt", "0: 41\n1: 42 -> 43\n");
    RunOptions limited;
    limited.addressSpaceLimit = std::uint64_t{64} << 20;
    expectRuns({{{"--patch", "in", "huge.txt", "out"},
                 "",
                 "ERROR: Not enough memory to hold the patch list huge.txt\n",
                 2}},
               limited);
    EXPECT_FALSE(std::filesystem::exists(path("out")));
    const RunResult fits = run({"--patch", "in", "small.txt", "out"}, limited);
    EXPECT_EQ(fits.err, "ERROR: PATCHES line 2: IN holds 0x62 at 0x1 where OLD says 0x42\n");
    writeFile("small.txt", "0: 41\n1: 62 -> 43\n");
    EXPECT_EQ(run({"--patch", "in", "small.txt", "out"}, limited).status, 0);
    EXPECT_EQ(readFile("out"), "ACc");
}

}  // namespace
}  // namespace tessaloom::e2e
