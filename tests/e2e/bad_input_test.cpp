// Inputs a user may point the program at by accident: special files, malformed numbers, files
// larger than memory, and an output that cannot be written. Each states its exact result.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "e2e/process.h"

namespace tessaloom::e2e {
namespace {

const std::string kOutOfBounds = "(Offset out of bounds)\n";
const std::string kAbcLine =
    "00000000  61 62 63                                          |abc             |\n";
const std::string kOutOfMemory = "ERROR: Not enough memory to load the file\n";
const std::string kCannotWrite = "ERROR: Cannot write to standard output\n";
const std::string kReplaceFailed = "ERROR: Failed to search and replace.\n";
// --replace input: every byte 0x41 or 0x42, so that the patterns 41 and 42 occur throughout.
const std::string kPatchable(64 * 1024, 'A');

std::string lowerHexOf(int value) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%x", value);
    return digits;
}

std::string invalid(const std::string& name, const std::string& text) {
    return "ERROR: Invalid " + name + " argument \"" + text + "\"\n";
}

// The --entropy report of a file that reads as empty.
std::string emptyAnalysis(const std::string& file) {
    return "=== Tessaloom Structural & Entropy Analysis ===\nFile:            " + file +
           "\nFile Size:       0 bytes\nDetected Type:   Empty File\n"
           "Shannon Entropy: 0 / 8.000 bits/byte [LOW - Sparse/Uncompressed]\n";
}

// The --diff report of a and b where one of them reads as empty and the other holds abc.
std::string diffAgainstAbc(const std::string& a, const std::string& b) {
    const bool abcFirst = a == "abc";
    const auto entry = [abcFirst](const char* offset, const char* byte) {
        return std::string("  Offset 0x") + offset + ": 0x" + (abcFirst ? byte : "0") + " -> 0x" +
               (abcFirst ? "0" : byte) + "\n";
    };
    return "Comparing " + a + " and " + b + "...\nFound 3 byte differences:\n\n" +
           entry("0", "61") + entry("1", "62") + entry("2", "63");
}

class BadInputTest : public E2ETest {
  protected:
    // The names in the test's folder, or in a folder inside it: a stray temporary file or a
    // partial output shows up here.
    std::set<std::string> namesIn(const std::string& folder = ".") const {
        std::set<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(path(folder))) {
            names.insert(entry.path().filename().string());
        }
        return names;
    }
};

// An input that cannot be read is an error with the system's reason, and nothing else is
// written; an empty file and /dev/null are empty. --replace keeps its one failure line.
TEST_F(BadInputTest, UnreadableInputsAreErrorsAndEmptyOnesAreEmpty) {
    writeFile("abc", "abc");
    writeFile("empty", "");
    std::filesystem::create_directory(path("folder"));
    std::vector<std::pair<std::string, std::string>> unreadable = {
        {"missing", "No such file or directory"}, {"folder", "Is a directory"}};
    std::vector<std::string> empty = {"empty"};
    if (!windowsExecutable()) {
        // A Windows command line is one text, where an empty argument is only a pair of quotes.
        unreadable.push_back({"", "No such file or directory"});
        // Reading the program's own memory at address 0 fails on the first read.
        unreadable.push_back({"/proc/self/mem", "Input/output error"});
        empty.push_back("/dev/null");
    }
    std::vector<ExpectedRun> cases;
    for (const auto& [file, reason] : unreadable) {
        const std::string error = "ERROR: Cannot read " + file + ": " + reason + "\n";
        for (const std::vector<std::string>& args : {std::vector<std::string>{"--dump", file},
                                                     {"--dump", file, "0", "0"},
                                                     {"--entropy", file},
                                                     {"--strings", file, "1"},
                                                     {"--struct", file},
                                                     {"--diff", file, "abc"},
                                                     {"--diff", "abc", file},
                                                     {"--diff", file, file}}) {
            cases.push_back({args, "", error, 2});
        }
        cases.push_back({{"--replace", file, "00", "01", "out"}, "", kReplaceFailed, 1});
    }
    for (const std::string& file : empty) {
        cases.push_back({{"--dump", file}, kOutOfBounds, "", 0});
        cases.push_back({{"--dump", file, "0", "0"}, kOutOfBounds, "", 0});
        cases.push_back({{"--entropy", file}, emptyAnalysis(file), "", 0});
        cases.push_back({{"--struct", file},
                         "File:         " + file + "\nSize:         0 bytes\nFormat:       raw\n",
                         "",
                         0});
        cases.push_back({{"--strings", file, "1"}, "Extracted 0 strings (min length 1):\n", "", 0});
        cases.push_back({{"--diff", file, "abc"}, diffAgainstAbc(file, "abc"), "", 0});
        cases.push_back({{"--diff", "abc", file}, diffAgainstAbc("abc", file), "", 0});
        cases.push_back({{"--replace", file, "00", "01", "out"}, "", kReplaceFailed, 1});
    }
    expectRuns(cases);
    EXPECT_EQ(namesIn(), (std::set<std::string>{"abc", "empty", "folder"}));
}

// Pipes, FIFOs and character devices are read as streams, to their end, as the Unix tools read
// them: each report is that of the same bytes in a file.
TEST_F(BadInputTest, StreamsAreReadToTheirEnd) {
    TESSALOOM_SKIP_FOR_WINDOWS("Windows has no /dev/stdin, FIFOs or /dev/zero");
    std::string data(std::string("abc\0hello\x01xy", 12) + "MZ");
    for (int i = 0; i < 2000; ++i) {
        data += "line " + std::to_string(i) + "\n";
    }
    writeFile("file", data);
    writeFile("copy", data);
    RunOptions piped;
    piped.stdinData = data;
    const auto asFile = [this](std::vector<std::string> args) {
        std::replace(args.begin(), args.end(), std::string("/dev/stdin"), std::string("file"));
        std::string out = run(args).out;
        // The reports echo the name they were given.
        for (const std::string echo :
             {"File:            file\n", "Comparing file ", " file...\n"}) {
            if (const auto at = out.find(echo); at != std::string::npos) {
                std::string named = echo;
                named.replace(named.find("file"), 4, "/dev/stdin");
                out.replace(at, echo.size(), named);
            }
        }
        return out;
    };
    for (const std::vector<std::string>& args : {std::vector<std::string>{"--dump", "/dev/stdin"},
                                                 {"--dump", "/dev/stdin", "0x2000", "40"},
                                                 {"--dump", "/dev/stdin", "1000000"},
                                                 {"--dump", "/dev/stdin", "5", "0"},
                                                 {"--entropy", "/dev/stdin"},
                                                 {"--strings", "/dev/stdin", "2"},
                                                 {"--diff", "/dev/stdin", "copy"},
                                                 {"--diff", "abc", "/dev/stdin"}}) {
        SCOPED_TRACE(::testing::PrintToString(args));
        writeFile("abc", "abc");
        const RunResult result = run(args, piped);
        EXPECT_EQ(result.out, asFile(args));
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.status, 0);
    }
    const RunResult replaced = run({"--replace", "/dev/stdin", "6c", "4c", "out.bin"}, piped);
    EXPECT_EQ(replaced.out, "SUCCESS: Replaced 2002 pattern occurrences -> out.bin\n");
    std::string expected = data;
    std::replace(expected.begin(), expected.end(), 'l', 'L');
    EXPECT_EQ(readFile("out.bin"), expected);

    // A FIFO, with a writer that comes along; the writer is let go should the run not open it.
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
    std::thread writer([this] { writeFile("fifo", "through a FIFO"); });
    const RunResult fromFifo = run({"--strings", "fifo"});
    const int letGo = open(path("fifo").c_str(), O_RDONLY | O_NONBLOCK);
    writer.join();
    close(letGo);
    EXPECT_EQ(fromFifo.out, "Extracted 1 strings (min length 4):\n0x0: through a FIFO\n");

    // Without a writer the run waits for one, as cat does.
    RunOptions briefly;
    briefly.timeLimitSeconds = 1;
    const RunResult waiting = run({"--strings", "fifo"}, briefly);
    EXPECT_EQ(waiting.out, "");
    EXPECT_EQ(waiting.status, 128 + SIGALRM);

    // An endless stream: the dump shows its window, the diff stops at its limit, the structure
    // keeps no more of it aside than it is allowed.
    std::string zeros;
    for (const char* offset : {"00100000", "00100010"}) {
        zeros += std::string(offset) +
                 "  00 00 00 00 00 00 00 00  00 00 00 00 00 00 00 00  |................|\n";
    }
    expectRuns({
        {{"--dump", "/dev/zero", "0x100000", "32"}, zeros, "", 0},
        {{"--diff", "abc", "/dev/zero"},
         "Comparing abc and /dev/zero...\nFound 100000 byte differences:\n\n"
         "  Offset 0x0: 0x61 -> 0x0\n  Offset 0x1: 0x62 -> 0x0\n  Offset 0x2: 0x63 -> 0x0\n" +
             [] {
                 std::string lines;
                 for (int i = 3; i < 50; ++i) {
                     lines += "  Offset 0x" + lowerHexOf(i) + ": 0x0 -> 0x0\n";
                 }
                 return lines;
             }() +
             "  ... (and 99950 more differences)\n",
         "",
         0},
        {{"--struct", "/dev/zero", "--stream-limit", "1MiB"},
         "",
         "ERROR: Cannot read /dev/zero: The stream is longer than the 1048576 bytes that are kept "
         "aside of one (--stream-limit SIZE raises it)\n",
         2},
    });
    RunOptions megabyte;
    megabyte.stdinData = std::string(std::size_t{1} << 20, 'x');
    for (const char* limit : {"1MiB", "2MiB"}) {
        const RunResult within =
            run({"--struct", "/dev/stdin", "--json", "--stream-limit", limit}, megabyte);
        EXPECT_EQ(within.status, 0) << limit << within.err;
        EXPECT_NE(within.out.find("\"size\": 1048576,"), std::string::npos) << within.out;
    }
    EXPECT_EQ(run({"--dump", "/dev/zero"}).out.size(), 32u * 79u);
}

// An output that cannot be written fails the run and leaves every file as it was, with nothing
// new in the folders involved.
TEST_F(BadInputTest, OutputThatCannotBeWritten) {
    writeFile("in.bin", kPatchable);
    std::filesystem::create_directory(path("folder"));
    for (const std::string output : {"folder", "folder/", "missing/out.bin", "/dev/full", ""}) {
        SCOPED_TRACE(output);
        const RunResult result = run({"--replace", "in.bin", "41", "42", output});
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, kReplaceFailed);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(readFile("in.bin"), kPatchable);
        EXPECT_EQ(namesIn(), (std::set<std::string>{"folder", "in.bin"}));
        EXPECT_EQ(namesIn("folder"), std::set<std::string>{});
    }
}

// Patching in place with a write that fails half way, as on a full disk: the file size limit
// stops the write for real. The input must stay exactly as it was, also through a link to it.
TEST_F(BadInputTest, InPlacePatchWhoseWriteFails) {
    TESSALOOM_SKIP_FOR_WINDOWS(
        "a file size limit is a POSIX signal (SIGXFSZ) that ends Wine itself");
    writeFile("in.bin", kPatchable);
    std::filesystem::create_symlink("in.bin", path("link"));
    RunOptions limited;
    limited.fileSizeLimit = 16 * 1024;
    for (const std::string output : {"in.bin", "link", "out.bin"}) {
        SCOPED_TRACE(output);
        const RunResult result = run({"--replace", "in.bin", "41", "42", output}, limited);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, kReplaceFailed);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(readFile("in.bin"), kPatchable);
        EXPECT_TRUE(std::filesystem::is_symlink(path("link")));
        EXPECT_EQ(namesIn(), (std::set<std::string>{"in.bin", "link"}));
    }
}

// The same on a real file system that fills up; needs the right to mount one.
TEST_F(BadInputTest, InPlacePatchOnAFullDisk) {
    std::filesystem::create_directory(path("disk"));
    if (mount("tessaloom-e2e", path("disk").c_str(), "tmpfs", 0, "size=96k") != 0) {
        GTEST_SKIP() << "cannot mount a small file system here";
    }
    writeFile("disk/in.bin", kPatchable);  // room for it, but not for a second copy beside it
    const RunResult result = run({"--replace", "disk/in.bin", "41", "42", "disk/in.bin"});
    const std::string after = readFile("disk/in.bin");
    const std::set<std::string> names = namesIn("disk");
    umount(path("disk").c_str());
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, kReplaceFailed);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(after, kPatchable);
    EXPECT_EQ(names, std::set<std::string>{"in.bin"});
}

TEST_F(BadInputTest, MalformedNumbersStopTheRunBeforeAnyFileIsRead) {
    writeFile("abc", "abc");
    std::vector<ExpectedRun> cases;
    for (const std::string text : {"", " ", "+", "-", "+-1", "ff", "x10", "18446744073709551616",
                                   "-18446744073709551616", "0x10000000000000000"}) {
        cases.push_back({{"--dump", "abc", text}, "", invalid("OFFSET", text), 2});
    }
    for (const std::string text :
         {"", "+", "-", "ff", "4294967296", "-4294967296", "0x100000000", "040000000000"}) {
        cases.push_back({{"--dump", "abc", "0", text}, "", invalid("LEN", text), 2});
    }
    for (const std::string text : {"+", "-", "ff", "x10", "99999999999999999999"}) {
        cases.push_back({{"--strings", "abc", text}, "", invalid("MIN_LEN", text), 2});
    }
    // MIN_LEN is decimal: "0x" and "0xff" are the number 0 followed by text that is ignored.
    for (const std::string text : {"0x", "0xff"}) {
        cases.push_back(
            {{"--strings", "abc", text}, "Extracted 1 strings (min length 0):\n0x0: abc\n", "", 0});
    }
    // OFFSET is converted first, and both before the file is looked at.
    cases.push_back({{"--dump", "abc", "+", "+"}, "", invalid("OFFSET", "+"), 2});
    cases.push_back({{"--dump", "missing", "0", "-"}, "", invalid("LEN", "-"), 2});
    // The largest values that fit are accepted.
    cases.push_back({{"--dump", "abc", "18446744073709551615"}, kOutOfBounds, "", 0});
    cases.push_back({{"--dump", "abc", "0xFFFFFFFFFFFFFFFF", "4294967295"}, kOutOfBounds, "", 0});
    cases.push_back({{"--dump", "abc", "0", "037777777777"}, kAbcLine, "", 0});
    expectRuns(cases);
}

// Every command streams, so a file far larger than the memory allowed gives its exact report;
// 2 GiB also lies past every 32-bit position.
TEST_F(BadInputTest, FileFarLargerThanTheMemoryAllowed) {
    TESSALOOM_SKIP_WITHOUT_ADDRESS_SPACE_LIMIT();
    constexpr std::uint64_t kHugeSize = std::uint64_t{2} << 30;
    const std::string zeroLine =
        "  00 00 00 00 00 00 00 00  00 00 00 00 00 00 00 00  |................|\n";
    writeFile("huge", "");
    std::filesystem::resize_file(path("huge"), kHugeSize);  // sparse: no disk used
    RunOptions limited;
    limited.addressSpaceLimit = std::uint64_t{64} << 20;
    std::string dump;
    for (unsigned line = 0; line < 32; ++line) {
        char offset[16];
        std::snprintf(offset, sizeof offset, "%08X", line * 16);
        dump += offset + zeroLine;
    }
    expectRuns(
        {
            {{"--dump", "huge"}, dump, "", 0},
            {{"--dump", "huge", "0x7FFFFFF0", "16"}, "7FFFFFF0" + zeroLine, "", 0},
            {{"--strings", "huge"}, "Extracted 0 strings (min length 4):\n", "", 0},
        },
        limited);
    // Every byte replaced by itself, then the input patched in place: the zero blocks of the
    // copies stay holes, so that the test writes nothing to the disk. Counting two billion
    // replacements takes a while on a busy machine.
    limited.timeLimitSeconds = 600;
    expectRuns({{{"--replace", "huge", "00", "00", "out.bin"},
                 "SUCCESS: Replaced 2147483648 pattern occurrences -> out.bin\n",
                 "",
                 0},
                {{"--replace", "huge", "41", "42", "huge"},
                 "SUCCESS: Replaced 0 pattern occurrences -> huge\n",
                 "",
                 0}},
               limited);
    EXPECT_EQ(std::filesystem::file_size(path("out.bin")), kHugeSize);
    std::filesystem::remove(path("out.bin"));
    // No partial output and no temporary file; the input keeps its size.
    EXPECT_EQ(namesIn(), std::set<std::string>{"huge"});
    EXPECT_EQ(std::filesystem::file_size(path("huge")), kHugeSize);
}

TEST_F(BadInputTest, StandardOutputThatCannotBeWritten) {
    writeFile("abc", "abc");
    RunOptions full;
    full.stdoutPath = "/dev/full";
    expectRuns(
        {
            {{"--dump", "abc"}, "", kCannotWrite, 2},
            {{"--dump", "abc", "9"}, "", kCannotWrite, 2},  // the out-of-bounds line
            {{"--nothing"}, "", kCannotWrite, 2},
            // On Windows the information window is a message box and writes nothing.
            {{},
             "",
             infoWindowConsoleText().empty() ? "" : kCannotWrite,
             infoWindowConsoleText().empty() ? 0 : 2},
            {{"--dump", "abc", "0", "0"}, "", "", 0},  // nothing to write, nothing lost
            {{"--dump", "abc", "x"}, "", invalid("OFFSET", "x"), 2},
            {{"--diff", "abc", "abc"}, "", kCannotWrite, 2},
            {{"--strings", "abc"}, "", kCannotWrite, 2},
            {{"--strings", "abc", "9"}, "", kCannotWrite, 2},  // the heading line alone
            // The patched copy is written, but its report is lost: that is a failure too.
            {{"--replace", "abc", "61", "7a", "out.bin"}, "", kCannotWrite, 2},
            // A failure goes to standard error alone; nothing was lost on standard output.
            {{"--replace", "abc", "61", "7a7a", "out2.bin"}, "", kReplaceFailed, 1},
        },
        full);
    EXPECT_EQ(readFile("out.bin"), "zbc");
    EXPECT_FALSE(exists("out2.bin"));
}

}  // namespace
}  // namespace tessaloom::e2e
