// The --entropy command on real files.
#include <cmath>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/process.h"

namespace tessaloom::e2e {
namespace {

const std::string kTitle = "=== Tessaloom Structural & Entropy Analysis ===\n";
const std::string kHigh = "[HIGH - Likely Encrypted/Compressed]";
const std::string kLow = "[LOW - Sparse/Uncompressed]";
const std::string kNormal = "[NORMAL - Standard Code/Data]";

// The report of a file without header rows.
std::string plainReport(const std::string& file, std::size_t size, const std::string& type,
                        const std::string& entropy, const std::string& verdict) {
    return kTitle + "File:            " + file + "\n" + "File Size:       " + std::to_string(size) +
           " bytes\n" + "Detected Type:   " + type + "\n" + "Shannon Entropy: " + entropy +
           " / 8.000 bits/byte " + verdict + "\n";
}

// count bytes of value first, first + 1, ... for each run, run after run.
std::string runsOf(std::initializer_list<std::pair<int, int>> valuesAndCounts, int first = 0) {
    std::string data;
    int value = first;
    for (const auto& [values, count] : valuesAndCounts) {
        for (int v = 0; v < values; ++v, ++value) {
            data.append(static_cast<std::size_t>(count), static_cast<char>(value));
        }
    }
    return data;
}

using EntropyTest = E2ETest;

TEST_F(EntropyTest, WorkedExample) {
    writeFile("tiny.png",
              bytes({0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A, 0x00, 0x00, 0x00,
                     0x0D, 0x49, 0x48, 0x44, 0x52, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00,
                     0x00, 0x01, 0x08, 0x06, 0x00, 0x00, 0x00, 0x1F, 0x15, 0xC4, 0x89}));
    const RunResult result = run({"--entropy", "tiny.png"});
    EXPECT_EQ(result.out, kTitle +
                              "File:            tiny.png\n"
                              "File Size:       33 bytes\n"
                              "Detected Type:   PNG Bitmap Image\n"
                              "Shannon Entropy: 3.49835 / 8.000 bits/byte " +
                              kNormal +
                              "\n"
                              "\n"
                              "Structure Headers:\n"
                              "  [Signature]: \\x89PNG\\r\\n\\x1a\\n\n"
                              "  [Image Dimensions]: 1 x 1 pixels\n"
                              "  [Bit Depth]: 8\n"
                              "  [Color Type]: 6\n");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
}

TEST_F(EntropyTest, FilesWithoutHeaderRows) {
    writeFile("empty", "");
    writeFile("five", "hello");
    writeFile("zeros", std::string(16, '\0'));
    writeFile("abc", "abc");
    writeFile("all256", runsOf({{256, 1}}));
    struct Case {
        std::string file;
        std::string report;
    };
    const Case cases[] = {
        {"empty", plainReport("empty", 0, "Empty File", "0", kLow)},
        {"five", plainReport("five", 5, "Raw Binary", "1.92193", kLow)},
        {"zeros", plainReport("zeros", 16, "Raw Binary Image", "0", kLow)},
        {"abc", plainReport("abc", 3, "Raw Binary", "1.58496", kLow)},
        {"all256", plainReport("all256", 256, "Raw Binary Image", "8", kHigh)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const RunResult result = run({"--entropy", c.file, "ignored"});
        EXPECT_EQ(result.out, c.report);
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.status, 0);
    }
}

// Files whose entropy lies exactly on a bound, or just past it while printing as the bound.
TEST_F(EntropyTest, VerdictBoundsAreStrict) {
    struct Case {
        std::string name;
        std::string data;
        std::string entropy;
        std::string verdict;
    };
    const Case cases[] = {
        {"exactly 7.5", runsOf({{64, 2}, {128, 1}}, 32), "7.5", kNormal},
        {"just above 7.5", runsOf({{120, 2}, {68, 1}, {2, 3}}, 32), "7.5", kHigh},
        {"exactly 3", "abcdefghabcdefgh", "3", kNormal},
        {"just below 3", runsOf({{7, 127}, {1, 128}}, 32), "3", kLow},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile("data", c.data);
        const RunResult result = run({"--entropy", "data"});
        EXPECT_EQ(result.out,
                  plainReport("data", c.data.size(), "Raw Binary Image", c.entropy, c.verdict));
    }
}

TEST_F(EntropyTest, PathIsEchoedUnchanged) {
    writeFile("my file.bin", "hello");
    std::filesystem::create_directory(path("sub"));
    writeFile("sub/x", "hello");
    const std::string absolute = path("my file.bin").string();
    for (const std::string& file : {std::string("my file.bin"), std::string("./sub/../my file.bin"),
                                    std::string("sub/x"), absolute}) {
        SCOPED_TRACE(file);
        EXPECT_EQ(run({"--entropy", file}).out,
                  plainReport(file, 5, "Raw Binary", "1.92193", kLow));
    }
}

TEST_F(EntropyTest, FileFarLargerThanTheMemoryAllowedIsAnalysedWhole) {
    TESSALOOM_SKIP_WITHOUT_ADDRESS_SPACE_LIMIT();
    // A sparse file takes no disk space; the limit leaves no room to hold it.
    writeFile("huge", "");
    std::filesystem::resize_file(path("huge"), std::uint64_t{1} << 30);
    RunOptions limited;
    limited.addressSpaceLimit = std::uint64_t{64} << 20;
    const RunResult result = run({"--entropy", "huge"}, limited);
    EXPECT_EQ(result.out, plainReport("huge", 1073741824, "Raw Binary Image", "0", kLow));
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
}

TEST_F(EntropyTest, ReportThatCannotBeWrittenFailsTheRun) {
    writeFile("f", "abc");
    RunOptions toFullDisk;
    toFullDisk.stdoutPath = "/dev/full";
    const RunResult result = run({"--entropy", "f"}, toFullDisk);
    EXPECT_EQ(result.err, "ERROR: Cannot write to standard output\n");
    EXPECT_EQ(result.status, 2);
}

// A PE image whose header lies at the 4 GiB mark, where the DOS header points, in 5 GiB: the
// analysis reads the whole image once and finds the header on the way.
TEST_F(EntropyTest, ImageLargerThan4GiBWithItsPeHeaderAtTheEnd) {
    constexpr std::uint64_t kSize = std::uint64_t{5} << 30;
    const std::string dosHeader = bytes({0x4D, 0x5A});
    const std::string pointer = bytes({0xF8, 0xFF, 0xFF, 0xFF});
    const std::string peHeader =
        bytes({0x50, 0x45, 0, 0, 0x64, 0x86, 3, 0, 0x00, 0xF1, 0x53, 0x65});
    writeSparseFile("image", kSize, {{0, dosHeader}, {60, pointer}, {0xFFFFFFF8, peHeader}});
    // The entropy of the bytes written and the zeros around them, computed as the analysis does.
    std::vector<std::uint64_t> counts(256, 0);
    for (const std::string& piece : {dosHeader, pointer, peHeader}) {
        for (const char c : piece) {
            ++counts[static_cast<unsigned char>(c)];
        }
    }
    counts[0] += kSize - dosHeader.size() - pointer.size() - peHeader.size();
    double entropy = 0.0;
    for (const std::uint64_t count : counts) {
        if (count != 0) {
            const double p = static_cast<double>(count) / static_cast<double>(kSize);
            entropy -= (std::log(p) / 0.6931471805599453) * p;
        }
    }
    std::ostringstream shown;
    shown << entropy;
    EXPECT_EQ(run({"--entropy", "image"}).out,
              plainReport("image", kSize, "Windows PE Executable", shown.str(), kLow) +
                  "\nStructure Headers:\n"
                  "  [e_magic]: MZ (0x5A4D)\n"
                  "  [e_lfanew (PE Header Offset)]: 0xFFFFFFF8\n"
                  "  [Signature]: PE\\0\\0\n"
                  "  [Machine Architecture]: AMD64 (x86_64)\n"
                  "  [NumberOfSections]: 3\n"
                  "  [TimeDateStamp]: 1700000000\n");
}

}  // namespace
}  // namespace tessaloom::e2e
