// The --struct command on real files: its usage, a raw file in text and JSON, a 6 GiB sparse PE
// image whose sections reach past 4 GiB, and a stream read like the file. The formats themselves
// are checked against readelf, pefile, zipfile and pngcheck by struct_peer_check.py.
#include <fstream>
#include <iterator>
#include <string>

#include "e2e/process.h"

namespace tessaloom::e2e {
namespace {

using StructTest = E2ETest;

// n bytes of the little-endian value at its place in a header.
std::string le(std::uint64_t value, int n) {
    std::string bytes;
    for (int i = 0; i < n; ++i, value >>= 8) {
        bytes.push_back(static_cast<char>(value & 0xFF));
    }
    return bytes;
}

// The headers of a PE32+ program with two sections, .text of 512 bytes at 0x200 and .far of
// 0x2000 bytes at farOffset.
std::vector<std::pair<std::uint64_t, std::string>> peHeaders(std::uint64_t farOffset) {
    return {{0, "MZ"},
            {60, le(0x80, 4)},
            {0x80, std::string("PE\0\0", 4) + le(0x8664, 2) + le(2, 2) + le(1700000000, 4) +
                       le(0, 8) + le(240, 2) + le(0x22, 2)},
            {0x98, le(0x20B, 2)},
            {0x98 + 16, le(0x1000, 4)},
            {0x98 + 24, le(0x140000000, 8) + le(0x1000, 4) + le(0x200, 4)},
            {0x98 + 56, le(0x3000, 4) + le(0x200, 4)},
            {0x98 + 68, le(3, 2)},
            {0x98 + 108, le(16, 4)},
            {0x188, std::string(".text\0\0\0", 8) + le(0x10, 4) + le(0x1000, 4) + le(0x200, 4) +
                        le(0x200, 4) + le(0, 12) + le(0x60000020, 4)},
            {0x1B0, std::string(".far\0\0\0\0", 8) + le(0x2000, 4) + le(0x2000, 4) + le(0x2000, 4) +
                        le(farOffset, 4) + le(0, 12) + le(0xC0000040, 4)}};
}

// Every byte value twice in .text (entropy 8), and .far half 0xAA, half 0x55 (entropy 1).
std::vector<std::pair<std::uint64_t, std::string>> peImage(std::uint64_t farOffset) {
    auto pieces = peHeaders(farOffset);
    std::string text;
    for (int i = 0; i < 512; ++i) {
        text.push_back(static_cast<char>(i & 0xFF));
    }
    pieces.emplace_back(0x200, text);
    pieces.emplace_back(farOffset, std::string(0x1000, '\xAA'));
    pieces.emplace_back(farOffset + 0x1000, std::string(0x1000, '\x55'));
    return pieces;
}

// Unreadable inputs are among those of bad_input_test.cpp.
TEST_F(StructTest, Usage) {
    writeFile("f", "data");
    const std::string usage =
        "Usage: " + programName() + " --struct <FILE> [--json] [--stream-limit SIZE]\n";
    expectRuns({
        {{"--struct"}, "", usage, 2},
        {{"--struct", "f", "--xml"}, "", usage, 2},
        {{"--struct", "f", "--json", "more"}, "", usage, 2},
        {{"--struct", "f", "--json", "--json"}, "", usage, 2},
        {{"--struct", "f", "--stream-limit"}, "", usage, 2},
        {{"--struct", "f", "--stream-limit", "0"}, "", usage, 2},
        {{"--struct", "f", "--stream-limit", "lots"}, "", usage, 2},
        {{"--struct", "f", "--stream-limit", "1", "--stream-limit", "2"}, "", usage, 2},
    });
    const RunResult limited = run({"--struct", "f", "--stream-limit", "1", "--json"});
    EXPECT_EQ(limited.status, 0) << "a file is read where it lies, whatever the limit";
}

TEST_F(StructTest, RawFileInTextAndJson) {
    writeFile("hello.txt", "hello");
    writeFile("empty", "");
    expectRuns({
        {{"--struct", "hello.txt"},
         "File:         hello.txt\n"
         "Size:         5 bytes\n"
         "Format:       raw\n"
         "\n"
         "Fields:\n"
         "  Offset            Size  Field                                 Value\n"
         "  0x00000000           5  Data                                  raw data of 5 bytes\n"},
        {{"--struct", "empty", "--json"},
         "{\n  \"path\": \"empty\",\n  \"size\": 0,\n  \"format\": \"raw\",\n  \"fields\": [],\n"
         "  \"warnings\": []\n}\n"},
        {{"--struct", "hello.txt", "--json"},
         "{\n  \"path\": \"hello.txt\",\n  \"size\": 5,\n  \"format\": \"raw\",\n"
         "  \"fields\": [\n    {\n      \"name\": \"Data\",\n      \"offset\": 0,\n"
         "      \"size\": 5,\n      \"value\": \"raw data of 5 bytes\",\n      \"fields\": []\n"
         "    }\n  ],\n  \"warnings\": []\n}\n"},
    });
}

// Numbers past 2^53 come also as hex text, which readers holding numbers as doubles read right.
TEST_F(StructTest, LargeNumbersAlsoAsHexText) {
    const std::string elf = std::string(
                                "\x7f"
                                "ELF\x02\x01\x01",
                                7) +
                            std::string(9, '\0') + le(2, 2) + le(0x3E, 2) + le(1, 4) +
                            le(0xffffffff81000123, 8) + le(0, 8) + le(0, 8) + le(0, 4) + le(64, 2) +
                            le(56, 2) + le(0, 2) + le(64, 2) + le(0, 2) + le(0, 2);
    writeFile("kernel", elf);
    const RunResult result = run({"--struct", "kernel", "--json"});
    EXPECT_EQ(result.status, 0);
    const std::vector<std::string> expected = {
        "  \"entry_point\": 18446744071578845475,\n  \"entry_point_hex\": "
        "\"0xffffffff81000123\",\n",
        "\"value\": 18446744071578845475,\n          \"value_hex\": \"0xffffffff81000123\",\n",
    };
    for (const std::string& lines : expected) {
        EXPECT_NE(result.out.find(lines), std::string::npos) << lines << result.out;
    }
    // At or below 2^53 a number is exact as a double and comes alone.
    EXPECT_EQ(result.out.find("\"size_hex\""), std::string::npos);
    EXPECT_EQ(result.out.find("\"offset_hex\""), std::string::npos);
}

// The .far section starts 4 KiB before the 4 GiB mark and ends 4 KiB past it; the overlay takes
// the rest of the 6 GiB. Only the sections' bytes are read for their entropies.
TEST_F(StructTest, SixGiBImageWithSectionsPast4GiB) {
    constexpr std::uint64_t kSize = std::uint64_t{6} << 30;
    writeSparseFile("image", kSize, peImage(0xFFFFF000));
    const RunResult result = run({"--struct", "image"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    const std::string& out = result.out;
    EXPECT_EQ(out.substr(0, out.find("\n\nFields:")),
              "File:         image\n"
              "Size:         6442450944 bytes\n"
              "Format:       PE32+\n"
              "Machine:      AMD64\n"
              "Entry point:  0x1000 (file offset 0x200)");
    EXPECT_NE(
        out.find("\n  0x0fffff000        8192    .far                                RVA 0x2000\n"
                 "  0x100001000  2147479552  Overlay                               "
                 "2147479552 bytes past the last section\n"),
        std::string::npos);
    EXPECT_EQ(
        out.substr(out.find("\nSections")),
        "\nSections (2):\n"
        "  [Nr] Name   VirtAddr    VirtSize    RawOffset    RawSize     Entropy  Characteristics\n"
        "  [ 0] .text  0x00001000  0x00000010  0x000000200  0x00000200    8.000  "
        "CNT_CODE MEM_READ MEM_EXECUTE\n"
        "  [ 1] .far   0x00002000  0x00002000  0x0fffff000  0x00002000    1.000  "
        "CNT_INITIALIZED_DATA MEM_READ MEM_WRITE\n"
        "\nImports (0 libraries, 0 functions):\n"
        "\nExports (0):\n");
}

// A stream is copied aside and read like the file; its report differs only in the path.
TEST_F(StructTest, StreamGivesTheReportOfTheFile) {
    TESSALOOM_SKIP_FOR_WINDOWS("Windows has no /dev/stdin");
    std::ifstream program(executablePath(), std::ios::binary);
    const std::string elf{std::istreambuf_iterator<char>(program),
                          std::istreambuf_iterator<char>()};
    writeFile("program", elf);
    writeSparseFile("small.exe", 0x4000, peImage(0x2000));
    for (const std::string file : {"program", "small.exe"}) {
        for (const bool json : {false, true}) {
            SCOPED_TRACE(file + (json ? " --json" : ""));
            std::vector<std::string> args{"--struct", file};
            if (json) {
                args.push_back("--json");
            }
            std::string expected = run(args).out;
            const std::string quoted = json ? "\"" + file + "\"" : file + "\n";
            expected.replace(expected.find(quoted), quoted.size(),
                             json ? "\"/dev/stdin\"" : "/dev/stdin\n");
            args[1] = "/dev/stdin";
            RunOptions options;
            options.stdinData = readFile(file);
            const RunResult streamed = run(args, options);
            EXPECT_EQ(streamed.out, expected);
            EXPECT_EQ(streamed.status, 0);
        }
    }
}

}  // namespace
}  // namespace tessaloom::e2e
