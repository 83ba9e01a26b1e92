// The --diff command on real files.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "e2e/process.h"

namespace tessaloom::e2e {
namespace {

std::string heading(const std::string& a, const std::string& b, std::size_t count) {
    return "Comparing " + a + " and " + b + "...\nFound " + std::to_string(count) +
           " byte differences:\n\n";
}

// The lines of n entries at offsets 0 to n - 1 with byte 0 in A and byte 1 in B.
std::string zeroToOneLines(std::size_t n) {
    std::string lines;
    for (std::size_t i = 0; i < n; ++i) {
        std::string hex;
        for (std::size_t v = i; hex.empty() || v != 0; v /= 16) {
            hex.insert(hex.begin(), "0123456789abcdef"[v % 16]);
        }
        lines += "  Offset 0x" + hex + ": 0x0 -> 0x1\n";
    }
    return lines;
}

using DiffTest = E2ETest;

TEST_F(DiffTest, ReportsExactly) {
    writeFile("a.dat", "abc");
    writeFile(" b.dat", "");
    writeFile("b.dat", "aXcde");
    writeFile("empty", "");
    writeFile("zero", bytes({0}));
    writeFile("long", "abcde");
    writeFile("short", "aXc");
    writeFile("low", bytes({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0xAB}));
    writeFile("high", bytes({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0xAB, 0x0A}));
    const std::vector<ExpectedRun> cases = {
        {{"--diff", "a.dat", "b.dat"},
         heading("a.dat", "b.dat", 3) +
             "  Offset 0x1: 0x62 -> 0x58\n  Offset 0x3: 0x0 -> 0x64\n  Offset 0x4: 0x0 -> 0x65\n"},
        {{"--diff", "a.dat", "a.dat"}, heading("a.dat", "a.dat", 0)},
        {{"--diff", "empty", "empty"}, heading("empty", "empty", 0)},
        {{"--diff", "empty", "zero"}, heading("empty", "zero", 1) + "  Offset 0x0: 0x0 -> 0x0\n"},
        {{"--diff", "empty", "a.dat"},
         heading("empty", "a.dat", 3) +
             "  Offset 0x0: 0x0 -> 0x61\n  Offset 0x1: 0x0 -> 0x62\n  Offset 0x2: 0x0 -> 0x63\n"},
        {{"--diff", "long", "short"},
         heading("long", "short", 3) +
             "  Offset 0x1: 0x62 -> 0x58\n  Offset 0x3: 0x64 -> 0x0\n  Offset 0x4: 0x65 -> 0x0\n"},
        {{"--diff", "low", "high"},
         heading("low", "high", 2) + "  Offset 0xa: 0xa -> 0xab\n  Offset 0xb: 0xab -> 0xa\n"},
        {{"--diff", "a.dat", "b.dat", "extra", "words"},
         heading("a.dat", "b.dat", 3) +
             "  Offset 0x1: 0x62 -> 0x58\n  Offset 0x3: 0x0 -> 0x64\n  Offset 0x4: 0x0 -> 0x65\n"},
        {{"--diff", "./a.dat", " b.dat"},
         heading("./a.dat", " b.dat", 3) +
             "  Offset 0x0: 0x61 -> 0x0\n  Offset 0x1: 0x62 -> 0x0\n  Offset 0x2: 0x63 -> 0x0\n"},
    };
    expectRuns(cases);
}

TEST_F(DiffTest, ShowsFiftyEntriesThenTheRest) {
    struct Case {
        std::size_t differences;
        std::string closing;
    };
    const Case cases[] = {
        {50, ""},
        {51, "  ... (and 1 more differences)\n"},
        {1000, "  ... (and 950 more differences)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.differences);
        writeFile("zeros", std::string(c.differences, '\0'));
        writeFile("ones", std::string(c.differences, '\1'));
        const RunResult result = run({"--diff", "zeros", "ones"});
        EXPECT_EQ(result.out, heading("zeros", "ones", c.differences) +
                                  zeroToOneLines(std::min<std::size_t>(c.differences, 50)) +
                                  c.closing);
        EXPECT_EQ(result.status, 0);
    }
}

TEST_F(DiffTest, StopsAtOneHundredThousandEntries) {
    writeFile("zeros", std::string(150000, '\0'));
    writeFile("ones", std::string(150000, '\1'));
    writeFile("ones and more", std::string(150000, '\1') + "surplus");
    writeFile("barely too many", std::string(100001, '\1'));
    writeFile("empty", "");
    // Inside the common length, into B's surplus, and B's surplus alone.
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"zeros", "ones"},
        {"zeros", "ones and more"},
        {"empty", "barely too many"},
    };
    for (const auto& [a, b] : cases) {
        SCOPED_TRACE(b);
        const RunResult result = run({"--diff", a, b});
        EXPECT_EQ(result.out, heading(a, b, 100000) + zeroToOneLines(50) +
                                  "  ... (and 99950 more differences)\n");
        EXPECT_EQ(result.status, 0);
    }
}

// The line shows what is compared as soon as both inputs have given their first bytes, long
// before the rest of a slow input arrives.
TEST_F(DiffTest, TheComparingLineComesOnceBothInputsHaveBegun) {
    TESSALOOM_SKIP_FOR_WINDOWS("Windows has no FIFOs");
    writeFile("small", "abc");
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
    std::thread writer([this] {
        const int fifo = open(path("fifo").c_str(), O_WRONLY);
        if (fifo >= 0) {
            EXPECT_EQ(::write(fifo, "abd", 3), 3);
            std::this_thread::sleep_for(std::chrono::milliseconds(1500));
            close(fifo);
        }
    });
    RunOptions briefly;
    briefly.timeLimitSeconds = 1;
    const RunResult result = run({"--diff", "small", "fifo"}, briefly);
    writer.join();
    EXPECT_EQ(result.out, "Comparing small and fifo...\n");
    EXPECT_EQ(result.status, 128 + SIGALRM);
}

}  // namespace
}  // namespace tessaloom::e2e
