// The --dump command on real files.
#include <string>
#include <vector>

#include "e2e/process.h"

namespace tessaloom::e2e {
namespace {

const std::string kOutOfBounds = "(Offset out of bounds)\n";

// Sixty-four bytes 0x00 to 0x3F.
std::string ascending64() {
    std::string data;
    for (int i = 0; i < 64; ++i) {
        data.push_back(static_cast<char>(i));
    }
    return data;
}

using DumpTest = E2ETest;

TEST_F(DumpTest, WorkedExamples) {
    writeFile("abc", "abc");
    writeFile("digits", "01234567ABCDEFGH");
    const std::vector<ExpectedRun> cases = {
        {{"--dump", "abc"},
         "00000000  61 62 63                                          |abc             |\n"},
        {{"--dump", "abc", "1", "1"},
         "00000001  62                                                |b               |\n"},
        {{"--dump", "digits"},
         "00000000  30 31 32 33 34 35 36 37  41 42 43 44 45 46 47 48  |01234567ABCDEFGH|\n"},
        {{"--dump", "abc", "0", "0"}, ""},
        {{"--dump", "abc", "3"}, kOutOfBounds},
        {{"--dump", "abc", "-1"}, kOutOfBounds},
        {{"--dump", "abc", "2"},
         "00000002  63                                                |c               |\n"},
        {{"--dump", "abc", "0", "4294967295"},
         "00000000  61 62 63                                          |abc             |\n"},
        {{"--dump", "abc", "0", "-4294967295"},
         "00000000  61                                                |a               |\n"},
        {{"--dump", "abc", "0", "16", "extra", "words"},
         "00000000  61 62 63                                          |abc             |\n"},
    };
    expectRuns(cases);
}

TEST_F(DumpTest, OffsetAndLengthUseTheAutomaticBase) {
    writeFile("data", ascending64());
    const std::string line16 =
        "00000010  10 11 12 13 14 15 16 17  18 19 1A 1B 1C 1D 1E 1F  |................|\n";
    const std::string line32 =
        "00000020  20 21 22 23 24 25 26 27  28 29 2A 2B 2C 2D 2E 2F  | !\"#$%&'()*+,-./|\n";
    const std::string line48 =
        "00000030  30 31 32 33 34 35 36 37  38 39 3A 3B 3C 3D 3E 3F  |0123456789:;<=>?|\n";
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--dump", "data", "0x20"}, line32 + line48}, {{"--dump", "data", "0X20", "0x10"}, line32},
        {{"--dump", "data", "32"}, line32 + line48},   {{"--dump", "data", "020", "16"}, line16},
        {{"--dump", "data", "16abc", "16"}, line16},   {{"--dump", "data", "  +16", "020"}, line16},
        {{"--dump", "data", "0x", "0"}, ""},
    };
    for (const auto& [args, out] : cases) {
        SCOPED_TRACE(::testing::PrintToString(args));
        const RunResult result = run(args);
        EXPECT_EQ(result.out, out);
        EXPECT_EQ(result.status, 0);
    }
}

TEST_F(DumpTest, DefaultLengthIs512Bytes) {
    writeFile("big", std::string(1000, 'z'));
    const RunResult result = run({"--dump", "big"});
    EXPECT_EQ(result.out.size(), 32u * 79u);
    EXPECT_EQ(result.out.substr(31 * 79, 8), "000001F0");
}

// The window is sought, not read up to: its cost does not depend on where it lies. Offsets past
// 4 GiB take nine digits.
TEST_F(DumpTest, WindowsOfAnImageLargerThan4GiB) {
    constexpr std::uint64_t kSize = std::uint64_t{5} << 30;
    writeSparseFile("image", kSize, {{0xFFFFFFFC, "4GiB"}, {kSize - 3, "END"}});
    expectRuns({
        {{"--dump", "image", "0xFFFFFFF8", "16"},
         "FFFFFFF8  00 00 00 00 34 47 69 42  00 00 00 00 00 00 00 00  |....4GiB........|\n"},
        {{"--dump", "image", "0x13FFFFFF8"},
         "13FFFFFF8  00 00 00 00 00 45 4E 44                           |.....END        |\n"},
        {{"--dump", "image", "5368709120"}, kOutOfBounds},
    });
}

}  // namespace
}  // namespace tessaloom::e2e
