// The --replace command on real files.
#include <string>
#include <vector>

#include "e2e/process.h"

namespace tessaloom::e2e {
namespace {

const std::string kFailure = "ERROR: Failed to search and replace.\n";
const std::string kSixBytes = bytes({0x41, 0x41, 0x41, 0x42, 0x41, 0x41});

using ReplaceTest = E2ETest;

TEST_F(ReplaceTest, WorkedExample) {
    writeFile("in.bin", kSixBytes);
    const RunResult result = run({"--replace", "in.bin", "41-41", "7a:7A", "out.bin"});
    EXPECT_EQ(result.out, "SUCCESS: Replaced 2 pattern occurrences -> out.bin\n");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(readFile("out.bin"), bytes({0x7A, 0x7A, 0x41, 0x42, 0x7A, 0x7A}));
    EXPECT_EQ(readFile("in.bin"), kSixBytes);
}

TEST_F(ReplaceTest, SuccessesWriteTheWholeFile) {
    writeFile("in.bin", kSixBytes);
    struct Case {
        std::vector<std::string> args;
        std::string out;
        std::string written;
    };
    const std::vector<Case> cases = {
        {{"--replace", "in.bin", "43 43", "00 00", "out.bin"},
         "SUCCESS: Replaced 0 pattern occurrences -> out.bin\n",
         kSixBytes},
        {{"--replace", "in.bin", "41414141414141", "00000000000000", "out.bin"},
         "SUCCESS: Replaced 0 pattern occurrences -> out.bin\n",
         kSixBytes},
        {{"--replace", "in.bin", "41", "41", "out.bin"},
         "SUCCESS: Replaced 5 pattern occurrences -> out.bin\n",
         kSixBytes},
        {{"--replace", "in.bin", "0x41", "0x42", "./out.bin", "extra"},
         "SUCCESS: Replaced 0 pattern occurrences -> ./out.bin\n",
         kSixBytes},
        {{"--replace", "in.bin", "DE AD", "41,42", "out.bin"},
         "SUCCESS: Replaced 0 pattern occurrences -> out.bin\n",
         kSixBytes},
        {{"--replace", "in.bin", "4142", "\t4+Z", "out.bin"},
         "SUCCESS: Replaced 1 pattern occurrences -> out.bin\n",
         bytes({0x41, 0x41, 0x04, 0x00, 0x41, 0x41})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        std::filesystem::remove(path("out.bin"));
        const RunResult result = run(c.args);
        EXPECT_EQ(result.out, c.out);
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(readFile("out.bin"), c.written);
    }
}

TEST_F(ReplaceTest, FailuresWriteOneLineAndNoOutputFile) {
    writeFile("in.bin", kSixBytes);
    writeFile("empty.bin", "");
    std::filesystem::create_directory(path("folder"));
    const std::vector<std::vector<std::string>> cases = {
        {"empty.bin", "41", "42", "out.bin"},
        {"missing.bin", "41", "42", "out.bin"},
        {"folder", "41", "42", "out.bin"},
        {"in.bin", "", "", "out.bin"},
        {"in.bin", "4", "4", "out.bin"},
        {"in.bin", " -:", "", "out.bin"},
        {"in.bin", "41", "", "out.bin"},
        {"in.bin", "41 41", "42 42 42", "out.bin"},
        {"empty.bin", "41 41", "42 42 42", "out.bin"},
        {"in.bin", "41", "42", "no-such-folder/out.bin"},
    };
    for (std::vector<std::string> args : cases) {
        SCOPED_TRACE(::testing::PrintToString(args));
        args.insert(args.begin(), "--replace");
        const RunResult result = run(args);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, kFailure);
        EXPECT_EQ(result.status, 1);
        EXPECT_FALSE(exists("out.bin"));
        EXPECT_FALSE(exists("no-such-folder"));
    }
    EXPECT_EQ(readFile("in.bin"), kSixBytes);
}

TEST_F(ReplaceTest, FailuresLeaveAnExistingOutputUntouched) {
    writeFile("in.bin", kSixBytes);
    writeFile("empty.bin", "");
    writeFile("out.bin", "keep me");
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--replace", "empty.bin", "41", "42", "out.bin"},
          {"--replace", "in.bin", "41", "4242", "out.bin"}}) {
        const RunResult result = run(args);
        EXPECT_EQ(result.err, kFailure);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(readFile("out.bin"), "keep me");
    }
}

TEST_F(ReplaceTest, InputAndOutputMayBeTheSameFile) {
    writeFile("in.bin", kSixBytes);
    const RunResult result = run({"--replace", "in.bin", "41 42", "30 31", "in.bin"});
    EXPECT_EQ(result.out, "SUCCESS: Replaced 1 pattern occurrences -> in.bin\n");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(readFile("in.bin"), bytes({0x41, 0x41, 0x30, 0x31, 0x41, 0x41}));
}

}  // namespace
}  // namespace tessaloom::e2e
