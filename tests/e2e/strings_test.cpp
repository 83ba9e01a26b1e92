// The --strings command on real files.
#include <cstdlib>
#include <filesystem>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/process.h"

namespace tessaloom::e2e {
namespace {

const std::string kWorkedExample = bytes({'a', 'b', 'c', 0, 'h', 'e', 'l', 'l', 'o', 1, 'x', 'y'});

using StringsTest = E2ETest;

TEST_F(StringsTest, ReportsExactly) {
    writeFile("example", kWorkedExample);
    writeFile("empty", "");
    writeFile("utf16", bytes({'h', 0, 'e', 0, 'l', 0, 'l', 0, 'o', 0}));
    writeFile("raw", "say \"hi\" \\ 50% $HOME\t%s%d");
    writeFile("runs", bytes({0, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 1, 'i', 'j', 'k', 'l', 'm',
                             'n', 'o', 0x7F, 'p'}));
    const std::vector<ExpectedRun> cases = {
        {{"--strings", "example"}, "Extracted 1 strings (min length 4):\n0x4: hello\n"},
        {{"--strings", "example", "2"},
         "Extracted 3 strings (min length 2):\n0x0: abc\n0x4: hello\n0xa: xy\n"},
        {{"--strings", "example", "0"},
         "Extracted 3 strings (min length 0):\n0x0: abc\n0x4: hello\n0xa: xy\n"},
        {{"--strings", "example", "0x10"},
         "Extracted 3 strings (min length 0):\n0x0: abc\n0x4: hello\n0xa: xy\n"},
        {{"--strings", "example", "5"}, "Extracted 1 strings (min length 5):\n0x4: hello\n"},
        {{"--strings", "example", "6"}, "Extracted 0 strings (min length 6):\n"},
        {{"--strings", "example", "-1"}, "Extracted 0 strings (min length 4294967295):\n"},
        {{"--strings", "example", " +3xyz", "extra"},
         "Extracted 2 strings (min length 3):\n0x0: abc\n0x4: hello\n"},
        {{"--strings", "runs", "08"}, "Extracted 1 strings (min length 8):\n0x1: abcdefgh\n"},
        {{"--strings", "runs", "7"},
         "Extracted 2 strings (min length 7):\n0x1: abcdefgh\n0xa: ijklmno\n"},
        {{"--strings", "empty"}, "Extracted 0 strings (min length 4):\n"},
        {{"--strings", "utf16"}, "Extracted 0 strings (min length 4):\n"},
        {{"--strings", "utf16", "1"},
         "Extracted 5 strings (min length 1):\n0x0: h\n0x2: e\n0x4: l\n0x6: l\n0x8: o\n"},
        {{"--strings", "raw"},
         "Extracted 2 strings (min length 4):\n0x0: say \"hi\" \\ 50% $HOME\n"
         "0x15: %s%d\n"},
    };
    expectRuns(cases);
}

// With --all or --encoding, every string, UTF-16 too, its encoding named; without them, the
// report above.
TEST_F(StringsTest, EveryStringInEveryEncodingWhenAsked) {
    writeFile("mixed", "hello" + bytes({0, 'h', 0, 'e', 0, 'l', 0, 'l', 0, 'o', 0, 0,
                                        0, 'w', 0, 'o', 0, 'r', 0, 'l', 0, 'd', 0}) +
                           bytes({0, 0, 0, 'B', 0, 'E', 0, '1', 0, '6'}));
    const std::string usageLike = "ERROR: Invalid --encoding argument \"bogus\"\n";
    expectRuns({
        {{"--strings", "mixed", "--all", "--encoding", "all"},
         "0x0  ascii   hello\n0x4  utf16le ohello\n0x12  utf16le world\n"
         "0x1e  utf16be BE16\n"},
        {{"--strings", "mixed", "--encoding", "ascii"}, "0x0  ascii   hello\n"},
        {{"--strings", "mixed", "5", "--encoding", "utf16le", "--json"},
         "{\"offset\": 4, \"encoding\": \"utf16le\", \"text\": \"ohello\"}\n"
         "{\"offset\": 18, \"encoding\": \"utf16le\", \"text\": \"world\"}\n"},
        {{"--strings", "mixed", "--encoding", "bogus"}, "", usageLike, 2},
        {{"--strings", "mixed"}, "Extracted 1 strings (min length 4):\n0x0: hello\n"},
    });
}

// On text without tabs or letters past ASCII, each encoding alone lists what GNU strings lists,
// offset for offset, whatever the alignment and the minimum.
TEST_F(StringsTest, EachEncodingAloneListsWhatGnuStringsLists) {
    if (std::system("strings --version >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "GNU strings is not installed";
    }
    std::mt19937 random(28);
    // Bytes that are never text, alone or in a 16-bit unit of either byte order with any other.
    std::string filler("\0\x06\x07\x08", 4);
    for (char c = 0x0E; c < 0x20; ++c) {
        filler += c;
    }
    for (int c = 0x80; c < 0xA0; ++c) {
        filler += static_cast<char>(c);
    }
    std::string data;
    while (data.size() < (std::size_t{1} << 16)) {
        const auto kind = random() % 4;
        for (auto n = random() % 20; n > 0; --n) {
            const auto letter = static_cast<char>(0x20 + random() % 95);
            if (kind == 0) {
                data += letter;
            } else if (kind == 1) {
                data += letter;
                data += '\0';
            } else if (kind == 2) {
                data += '\0';
                data += letter;
            } else {
                data += filler[random() % filler.size()];
            }
        }
    }
    writeFile("mixed", data);
    const std::string folder = path(".").string();
    const std::pair<std::string, std::string> encodings[] = {
        {"ascii", ""}, {"utf16le", " -e l"}, {"utf16be", " -e b"}};
    for (const std::string minimum : {"1", "4", "9"}) {
        for (const auto& [encoding, option] : encodings) {
            SCOPED_TRACE(encoding + " " + minimum);
            std::string command = "cd '";
            command.append(folder).append("' && strings -a -t x -n ").append(minimum);
            command.append(option).append(" mixed >gnu.txt");
            ASSERT_EQ(std::system(command.c_str()), 0);
            std::istringstream gnu(readFile("gnu.txt"));
            std::string expected;
            std::string offset;
            while (gnu >> offset) {
                gnu.get();  // the one space after the offset
                std::string text;
                std::getline(gnu, text);
                expected.append("0x").append(offset).append("  ").append(encoding);
                expected.append(std::string(8 - encoding.size(), ' ')).append(text) += '\n';
            }
            ASSERT_GT(expected.size(), 1000u);
            const RunResult ours = run({"--strings", "mixed", minimum, "--encoding", encoding});
            EXPECT_EQ(ours.out, expected);
            EXPECT_EQ(ours.status, 0);
        }
    }
}

TEST_F(StringsTest, ShowsTheFirstHundredRecordsAndNothingMore) {
    for (const std::size_t runs : {std::size_t{100}, std::size_t{101}, std::size_t{5000}}) {
        SCOPED_TRACE(runs);
        std::string data;
        std::string lines;
        for (std::size_t i = 0; i < runs; ++i) {
            if (i < 100) {
                lines += "0x" + (std::ostringstream() << std::hex << data.size()).str() + ": run" +
                         std::to_string(i) + "\n";
            }
            data += "run" + std::to_string(i) + '\0';
        }
        writeFile("many", data);
        const RunResult result = run({"--strings", "many"});
        EXPECT_EQ(result.out,
                  "Extracted " + std::to_string(runs) + " strings (min length 4):\n" + lines);
        EXPECT_EQ(result.status, 0);
    }
}

TEST_F(StringsTest, InvalidMinimumStopsTheRunBeforeTheFileIsRead) {
    // The huge file could not be loaded within the allowed memory; the argument error comes first.
    writeFile("huge", "");
    std::filesystem::resize_file(path("huge"), std::uintmax_t{1} << 30);
    RunOptions tightMemory;
    // Where no limit can be set (Wine, sanitizers), the run goes without one.
    tightMemory.addressSpaceLimit =
        addressSpaceLimitUnsupported().empty() ? std::uint64_t{256} << 20 : 0;
    for (const std::string text : {"abc", "-4294967296", "4294967296", "", " ", "+-1"}) {
        SCOPED_TRACE(text);
        const RunResult result = run({"--strings", "huge", text}, tightMemory);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, "ERROR: Invalid MIN_LEN argument \"" + text + "\"\n");
        EXPECT_EQ(result.status, 2);
    }
}

}  // namespace
}  // namespace tessaloom::e2e
