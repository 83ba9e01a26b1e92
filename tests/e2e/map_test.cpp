// The --map command: its report, its edges against binwalk's, its JSON and SVG read by Python.
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "e2e/process.h"

namespace tessaloom::e2e {
namespace {

class MapTest : public E2ETest {
  protected:
    // Random bytes, zeros, text and random bytes again, in stretches of uneven sizes.
    void writeFirmware(const std::string& name) const {
        std::mt19937 random(23);
        std::string data;
        for (const auto& [kind, size] :
             {std::pair{'r', 70000}, {'0', 30000}, {'t', 50000}, {'r', 9000}, {'0', 5000}}) {
            for (int i = 0; i < size; ++i) {
                data += kind == 'r'   ? static_cast<char>(random())
                        : kind == 't' ? "the quick brown fox jumps over the lazy dog\n"[i % 44]
                                      : '\0';
            }
        }
        writeFile(name, data);
    }
    // Runs a shell command in the test's folder; its exit status.
    int shell(const std::string& command) const {
        return std::system(("cd '" + path(".").string() + "' && " + command).c_str());
    }
};

TEST_F(MapTest, RowsRegionsAndEdges) {
    std::string data(1024, '\0');
    for (int i = 0; i < 1024; ++i) {
        data += "ab"[i % 2];
    }
    for (int i = 0; i < 1024; ++i) {
        data += static_cast<char>(i);
    }
    writeFile("m", data);
    const std::string usage =
        "Usage: " + programName() + " --map <FILE> [--block SIZE] [--json | --svg OUT]\n";
    expectRuns({
        {{"--map", "m"},
         "Entropy map of m: 3072 bytes, 3 rows of 1024 bytes\n"
         "0x00000000-0x000003ff  0.000 |                                | zeros\n"
         "0x00000400-0x000007ff  1.000 |####                            | text\n"
         "0x00000800-0x00000bff  8.000 |################################| compressed/encrypted\n"
         "\nRegions:\n"
         "0x00000000-0x000003ff  1024 bytes  0.000  zeros\n"
         "0x00000400-0x000007ff  1024 bytes  1.000  text\n"
         "0x00000800-0x00000bff  1024 bytes  8.000  compressed/encrypted\n"
         "\nEntropy edges (rising at 0.95, falling at 0.85 of 8 bits per byte):\n"
         "0x00000000  falling  0.000000\n"
         "0x00000800  rising   1.000000\n"},
        {{"--map", "m", "--block", "1000"}, "", "ERROR: Invalid SIZE argument \"1000\"\n", 2},
        {{"--map", "m", "--json", "--svg", "x.svg"}, "", usage, 2},
        {{"--map", "m", "--block"}, "", usage, 2},
    });
}

// binwalk -E with the same block size reports the same edges, to its six decimals.
TEST_F(MapTest, EdgesAreBinwalks) {
    if (shell("binwalk -h >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "binwalk is not installed";
    }
    // binwalk reads 1 MiB at a time and starts its blocks anew at each read: the two agree on a
    // file of at most 1 MiB whatever the row size, and on a longer one where the size divides
    // 1 MiB.
    writeFirmware("fw");
    ASSERT_EQ(shell("for i in 1 2 3 4 5 6 7 8; do cat fw; done >long"), 0);
    const std::pair<const char*, const char*> kRuns[] = {
        {"fw", "1024"},   {"fw", "3072"},    {"fw", "231424"},
        {"long", "4096"}, {"long", "65536"}, {"long", "1048576"},
    };
    for (const auto& [file, block] : kRuns) {
        ASSERT_EQ(
            shell(std::string("binwalk -E --nplot -K ") + block + " " + file + " >binwalk.txt"), 0);
        ASSERT_EQ(shell("awk '/entropy edge/ { print $1, tolower($3), $6 }' "
                        "binwalk.txt | tr -d '()' >expected.txt"),
                  0);
        writeFile("ours.txt", run({"--map", file, "--block", block}).out);
        ASSERT_EQ(shell("sed -n '/^Entropy edges/,$p' ours.txt | tail -n +2 | while read -r o e v;"
                        " do printf '%d %s %s\\n' \"$o\" \"$e\" \"$v\"; done >got.txt"),
                  0);
        EXPECT_NE(readFile("expected.txt"), "");
        EXPECT_EQ(readFile("got.txt"), readFile("expected.txt")) << file << ", blocks of " << block;
    }
}

// Python reads the JSON and finds each row's entropy in the file's bytes, and reads the SVG as
// XML.
TEST_F(MapTest, JsonAndSvgReadBack) {
    if (shell("/usr/bin/python3 -c '' 2>/dev/null") != 0) {
        GTEST_SKIP() << "no /usr/bin/python3";
    }
    writeFirmware("fw");
    writeFile("map.json", run({"--map", "fw", "--json"}).out);
    EXPECT_EQ(run({"--map", "fw", "--block", "8K", "--svg", "map.svg"}).out,
              "SUCCESS: Mapped 21 rows of fw -> map.svg\n");
    // A name holding what XML cannot hold: a control character, a non-character, bytes that are
    // no UTF-8 (which Windows' names cannot hold either).
    if (!windowsExecutable()) {
        const std::string odd = "fw\x01\xEF\xBF\xBE\xC0\xAF&<";
        writeFirmware(odd);
        EXPECT_EQ(run({"--map", odd, "--svg", "odd.svg"}).status, 0);
    }
    writeFile("check.py", R"(import collections, json, math, os, xml.etree.ElementTree as ET
m = json.load(open("map.json"))
data = open("fw", "rb").read()
assert m["size"] == len(data) and m["block_size"] == 3072, m
at = 0
for row in m["rows"]:
    part = data[row["offset"]:row["offset"] + row["size"]]
    assert row["offset"] == at and len(part) == row["size"], row
    h = -sum(c / len(part) * math.log2(c / len(part)) for c in collections.Counter(part).values())
    assert abs(row["entropy"] - h) < 1e-9, (row, h)
    at += row["size"]
assert at == len(data) and sum(r["size"] for r in m["regions"]) == len(data)
assert [r["class"] for r in m["regions"]][:3] == ["compressed/encrypted", "code/data", "zeros"]
if os.path.exists("odd.svg"):
    ET.parse("odd.svg")
svg = ET.parse("map.svg").getroot()
assert svg.tag == "{http://www.w3.org/2000/svg}svg" and len(svg.findall(".//{*}path")) == 1
)");
    EXPECT_EQ(shell("/usr/bin/python3 check.py"), 0);
}

// The objects the scanner finds come after the regions, each with its range, size, format and
// description, the same for a file and a pipe, in the JSON as a list of their own, and in the
// picture as marks that carry their names, escaped.
TEST_F(MapTest, ObjectsAfterTheRegions) {
    std::mt19937 random(5);
    const auto filler = [&random](std::size_t size) {
        std::string bytes;
        for (std::size_t i = 0; i < size; ++i) {
            bytes += static_cast<char>(random());
        }
        return bytes;
    };
    // An empty gzip member, and one of a name.
    const std::string gzip("\x1f\x8b\x08\x00\0\0\0\0\0\x03\x03\0\0\0\0\0\0\0\0\0", 20);
    const std::string named =
        gzip.substr(0, 3) + "\x08" + gzip.substr(4, 6) + std::string("<&>", 4) + gzip.substr(10);
    writeFile("fw", filler(0x1235) + gzip + std::string(4000, '\0') + named + filler(3000));
    const std::string objects =
        "\nObjects:\n"
        "0x00001235-0x00001248      20 bytes  gzip         gzip, 20 bytes -> 0 bytes\n"
        "0x000021e9-0x00002200      24 bytes  gzip         gzip, name \"<&>\", 24 bytes -> 0 "
        "bytes\n";
    const std::string out = run({"--map", "fw", "--block", "4K"}).out;
    const std::size_t edges = out.find("\nEntropy edges");
    ASSERT_NE(edges, std::string::npos) << out;
    EXPECT_EQ(out.substr(edges - objects.size(), objects.size()), objects) << out;
    if (!windowsExecutable()) {  // which has no /dev/stdin
        RunOptions piped;
        piped.stdinData = readFile("fw");
        std::string fromPipe = run({"--map", "/dev/stdin", "--block", "4K"}, piped).out;
        EXPECT_NE(fromPipe.find(objects), std::string::npos) << fromPipe;
    }
    if (shell("/usr/bin/python3 -c '' 2>/dev/null") != 0) {
        GTEST_SKIP() << "no /usr/bin/python3";
    }
    writeFile("map.json", run({"--map", "fw", "--json"}).out);
    EXPECT_EQ(run({"--map", "fw", "--svg", "map.svg"}).status, 0);
    writeFile("check.py", R"(import json, xml.etree.ElementTree as ET
m = json.load(open("map.json"))
assert list(m) == ["path", "size", "block_size", "rows", "regions", "objects", "edges"], list(m)
assert [(o["offset"], o["size"], o["format"], o["size_exact"]) for o in m["objects"]] == [
    (0x1235, 20, "gzip", True), (0x21e9, 24, "gzip", True)], m["objects"]
svg = ET.parse("map.svg").getroot()
marks = svg.findall("{*}g[@class='object']")
assert [g.find("{*}title").text for g in marks] == [
    "0x1235 20 bytes gzip: gzip, 20 bytes -> 0 bytes",
    '0x21e9 24 bytes gzip: gzip, name "<&>", 24 bytes -> 0 bytes'], marks
assert [g.find("{*}text").text for g in marks] == ["gzip", "gzip"]
)");
    EXPECT_EQ(shell("/usr/bin/python3 check.py"), 0);
}

}  // namespace
}  // namespace tessaloom::e2e
