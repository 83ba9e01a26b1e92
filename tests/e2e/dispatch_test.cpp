// Dispatch, usage text, information window, argument errors and output failures.
#include <string>
#include <vector>

#include "e2e/process.h"

namespace tessaloom::e2e {
namespace {

std::string usageText(const std::string& program) {
    const std::string rule(63, '=');
    return rule + "\n" + "  Tessaloom Studio v2.0 - Structural Binary Hex Workstation\n" + rule +
           "\n\n" + "Usage: " + program + " [command] [options...]\n\n" + "Interactive GUI:\n" +
           "  " + program +
           " --gui                              Launch native visual hex editor\n\n" +
           "Console & Batch Commands:\n" +
           "  --dump <FILE> [OFFSET] [LEN]          Format hex dump with ASCII sidebar\n" +
           "  --diff <FILE_A> <FILE_B>              Byte-level binary diff comparison\n" +
           "  --entropy <FILE>                      Calculate Shannon entropy and structure "
           "analysis\n" +
           "  --strings <FILE> [MIN_LEN]            Extract printable ASCII/Unicode strings\n" +
           "  --replace <IN> <HEX_IN> <HEX_OUT> <O> Byte pattern search-and-replace\n\n" + rule +
           "\n";
}

std::string withLineEnds(const std::string& text, const std::string& lineEnd) {
    std::string converted;
    for (const char c : text) {
        converted += c == '\n' ? lineEnd : std::string(1, c);
    }
    return converted;
}

using DispatchTest = E2ETest;

TEST_F(DispatchTest, UnknownOrIncompleteCommandsPrintUsageAndFail) {
    const std::vector<std::vector<std::string>> cases = {
        {"--help"},
        {"--DUMP", "f"},
        {"-dump", "f"},
        {""},
        {"--dum", "f"},
        {"dump", "f"},
        {"--dump"},
        {"--diff", "a"},
        {"--entropy"},
        {"--strings"},
        {"--replace", "in", "41", "42"},
        {"f", "--dump"},
    };
    for (const auto& args : cases) {
        SCOPED_TRACE(args.front());
        const RunResult result = run(args);
        EXPECT_EQ(result.out, usageText(programName()));
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.status, 1);
    }
}

TEST_F(DispatchTest, NoArgumentsOrGuiShowTheInformationWindow) {
    for (const auto& args :
         std::vector<std::vector<std::string>>{{}, {"--gui"}, {"--gui", "x", "y"}}) {
        const RunResult result = run(args);
        EXPECT_EQ(result.out, infoWindowConsoleText());
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.status, 0);
    }
}

TEST_F(DispatchTest, VersionNamesTheProductAndItsVersion) {
    for (const auto& args :
         std::vector<std::vector<std::string>>{{"--version"}, {"--version", "x"}}) {
        const RunResult result = run(args);
        EXPECT_EQ(result.out, "Tessaloom Studio " TESSALOOM_VERSION "\n");
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.status, 0);
    }
    for (const auto& word : {"--Version", "-version", "--versio", "-V"}) {
        EXPECT_EQ(run({word}).out, usageText(programName())) << word;
    }
}

// Console text ends its lines as the platform's console programs do: CR LF on Windows.
TEST_F(DispatchTest, LinesEndAsOnThePlatformsConsole) {
    writeFile("abc", "abc");
    const std::string lineEnd = windowsExecutable() ? "\r\n" : "\n";
    RunOptions asWritten;
    asWritten.keepLineEnds = true;
    const RunResult dump = run({"--dump", "abc"}, asWritten);
    EXPECT_EQ(dump.out, withLineEnds("00000000  61 62 63                                          "
                                     "|abc             |\n",
                                     lineEnd));
    EXPECT_EQ(run({"--help"}, asWritten).out, withLineEnds(usageText(programName()), lineEnd));
    EXPECT_EQ(run({"--dump", "abc", "x"}, asWritten).err,
              withLineEnds("ERROR: Invalid OFFSET argument \"x\"\n", lineEnd));
}

TEST_F(DispatchTest, UnconvertibleNumbersStopTheRunBeforeAnyFileIsRead) {
    writeFile("f", "abc");
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--dump", "f", "abc"}, "ERROR: Invalid OFFSET argument \"abc\"\n"},
        {{"--dump", "f", ""}, "ERROR: Invalid OFFSET argument \"\"\n"},
        {{"--dump", "f", "-"}, "ERROR: Invalid OFFSET argument \"-\"\n"},
        {{"--dump", "f", "18446744073709551616"},
         "ERROR: Invalid OFFSET argument \"18446744073709551616\"\n"},
        {{"--dump", "f", "0", "4294967296"}, "ERROR: Invalid LEN argument \"4294967296\"\n"},
        {{"--dump", "f", "x", "y"}, "ERROR: Invalid OFFSET argument \"x\"\n"},
        {{"--dump", "f", "0", " +"}, "ERROR: Invalid LEN argument \" +\"\n"},
        {{"--dump", "missing", "0", "zz"}, "ERROR: Invalid LEN argument \"zz\"\n"},
    };
    for (const auto& [args, message] : cases) {
        SCOPED_TRACE(message);
        const RunResult result = run(args);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, message);
        EXPECT_EQ(result.status, 2);
    }
}

TEST_F(DispatchTest, OutputThatCannotBeWrittenFailsTheRun) {
    writeFile("f", "abc");
    RunOptions toFullDisk;
    toFullDisk.stdoutPath = "/dev/full";
    for (const auto& args : std::vector<std::vector<std::string>>{{"--dump", "f"}, {"--help"}}) {
        const RunResult result = run(args, toFullDisk);
        EXPECT_EQ(result.err, "ERROR: Cannot write to standard output\n");
        EXPECT_EQ(result.status, 2);
    }
}

}  // namespace
}  // namespace tessaloom::e2e
