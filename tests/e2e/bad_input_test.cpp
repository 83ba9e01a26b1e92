// Inputs a user may point the program at by accident: special files, malformed numbers, files
// larger than memory, and an output that cannot be written. Each states its exact result.
#include <sys/mount.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <set>
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
const std::string kReplaceFailed = "ERROR: Failed to search and replace.\n";
// --replace input: every byte 0x41 or 0x42, so that the patterns 41 and 42 occur throughout.
const std::string kPatchable(64 * 1024, 'A');

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

TEST_F(BadInputTest, FilesThatAreNotRegularReadAsEmpty) {
    writeFile("abc", "abc");
    std::filesystem::create_directory(path("folder"));
    ASSERT_EQ(mkfifo(path("pipe").c_str(), 0600), 0);  // no writer: opening it would hang
    std::vector<ExpectedRun> cases = {
        {{"--dump", "pipe", "0", "0"}, kOutOfBounds, "", 0},
        {{"--dump", "missing"}, kOutOfBounds, "", 0},
        {{"--dump", ""}, kOutOfBounds, "", 0},
    };
    for (const std::string file : {"folder", "pipe", "/dev/null", "/dev/zero"}) {
        cases.push_back({{"--dump", file}, kOutOfBounds, "", 0});
        cases.push_back({{"--entropy", file}, emptyAnalysis(file), "", 0});
        cases.push_back({{"--strings", file, "1"}, "Extracted 0 strings (min length 1):\n", "", 0});
        cases.push_back({{"--diff", file, "abc"}, diffAgainstAbc(file, "abc"), "", 0});
        cases.push_back({{"--diff", "abc", file}, diffAgainstAbc("abc", file), "", 0});
        cases.push_back({{"--replace", file, "00", "01", "out"}, "", kReplaceFailed, 1});
    }
    cases.push_back({{"--diff", "pipe", "/dev/zero"},
                     "Comparing pipe and /dev/zero...\nFound 0 byte differences:\n\n",
                     "",
                     0});
    expectRuns(cases);
    EXPECT_EQ(namesIn(), (std::set<std::string>{"abc", "folder", "pipe"}));
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

TEST_F(BadInputTest, FileLargerThanTheMemoryAllowed) {
    TESSALOOM_SKIP_WITHOUT_ADDRESS_SPACE_LIMIT();
    constexpr std::uint64_t kHugeSize = std::uint64_t{8} << 30;
    std::ofstream(path("huge"));
    std::filesystem::resize_file(path("huge"), kHugeSize);  // sparse: no disk used
    RunOptions limited;
    limited.addressSpaceLimit = std::uint64_t{1} << 30;
    // --entropy and --diff have tests of their own.
    expectRuns(
        {
            {{"--dump", "huge"}, "", kOutOfMemory, 2},
            {{"--dump", "huge", "0x1FFFFFFF0", "16"}, "", kOutOfMemory, 2},
            {{"--strings", "huge"}, "", kOutOfMemory, 2},
            {{"--replace", "huge", "00", "01", "out.bin"}, "", kOutOfMemory, 2},
            {{"--replace", "huge", "00", "01", "huge"}, "", kOutOfMemory, 2},
        },
        limited);
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
            {{"--dump", "missing"}, "", kCannotWrite, 2},
            {{"--nothing"}, "", kCannotWrite, 2},
            // On Windows the information window is a message box and writes nothing.
            {{},
             "",
             infoWindowConsoleText().empty() ? "" : kCannotWrite,
             infoWindowConsoleText().empty() ? 0 : 2},
            {{"--dump", "abc", "0", "0"}, "", "", 0},  // nothing to write, nothing lost
            {{"--dump", "abc", "x"}, "", invalid("OFFSET", "x"), 2},
            {{"--diff", "abc", "missing"}, "", kCannotWrite, 2},
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
