// The --delta command, and --patch applying what it writes.
#include <random>
#include <string>
#include <vector>

#include "e2e/process.h"

namespace tessaloom::e2e {
namespace {

using DeltaTest = E2ETest;

std::string noise(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& byte : bytes) {
        byte = static_cast<char>(random());
    }
    return bytes;
}

TEST_F(DeltaTest, ReportsHunksAndExitsAsCmpDoes) {
    const std::string a = noise(65536, 5);
    writeFile("a.bin", a);
    writeFile("b.bin", a.substr(0, 1000) + "INSERTED" + a.substr(1000));
    writeFile("empty", "");
    const std::string usage =
        "Usage: " + programName() + " --delta <FILE_A> <FILE_B> [--json] [--stream-limit SIZE]\n";
    const std::string headA = "A: a.bin, 65536 bytes, XXH64 52f2e9291fb86620\n";
    expectRuns({
        {{"--delta", "a.bin", "b.bin"},
         headA +
             "B: b.bin, 65544 bytes\n"
             "equal    A:0x0 = B:0x0, 0x3e8 bytes\n"
             "inserted A:0x3e8 B:0x3e8, 0x8 bytes: 49 4e 53 45 52 54 45 44\n"
             "equal    A:0x3e8 = B:0x3f0, 0xfc18 bytes\n"
             "Summary: 65536 bytes equal, 0 changed, 8 inserted, 0 deleted, 0 moved; A explains "
             "99.98% of B\n",
         "",
         1},
        {{"--delta", "a.bin", "a.bin"},
         headA +
             "B: a.bin, 65536 bytes\n"
             "equal    A:0x0 = B:0x0, 0x10000 bytes\n"
             "Summary: 65536 bytes equal, 0 changed, 0 inserted, 0 deleted, 0 moved; A explains "
             "100% of B\n"},
        {{"--delta", "b.bin", "a.bin", "--json"},
         "{\"op\": \"equal\", \"a_offset\": 0, \"b_offset\": 0, \"length\": 1000}\n"
         "{\"op\": \"deleted\", \"a_offset\": 1000, \"b_offset\": 1000, \"length\": 8}\n"
         "{\"op\": \"equal\", \"a_offset\": 1008, \"b_offset\": 1000, \"length\": 64536}\n"
         "{\"summary\": {\"equal\": 65536, \"changed\": 0, \"inserted\": 0, \"deleted\": 8, "
         "\"moved\": 0, \"size_a\": 65544, \"size_b\": 65536, \"xxh64_a\": \"32cbfa05d4945672\", "
         "\"explained_percent\": 100}}\n",
         "",
         1},
        {{"--delta", "empty", "empty"},
         "A: empty, 0 bytes, XXH64 ef46db3751d8e999\nB: empty, 0 bytes\n"
         "Summary: 0 bytes equal, 0 changed, 0 inserted, 0 deleted, 0 moved; A explains 100% of "
         "B\n"},
        {{"--delta", "a.bin", "missing"},
         "",
         "ERROR: Cannot read missing: No such file or directory\n",
         2},
        {{"--delta", "a.bin"}, "", usage, 2},
        {{"--delta", "a.bin", "b.bin", "--json", "--json"}, "", usage, 2},
        {{"--delta", "a.bin", "b.bin", "--stream-limit", "0"}, "", usage, 2},
    });
}

// A random mixture of changes, insertions, deletions and moves.
std::string edited(const std::string& a, unsigned seed) {
    std::mt19937 random(seed);
    std::string b = a;
    for (int i = 0, count = 1 + static_cast<int>(random() % 8); i < count && b.size() > 4000; ++i) {
        const std::size_t length = 1 + random() % 3000;
        const std::size_t at = random() % (b.size() - length);
        switch (random() % 4) {
            case 0:
                b.replace(at, length, noise(length, seed + 100));
                break;
            case 1:
                b.insert(at, noise(length, seed + 200));
                break;
            case 2:
                b.erase(at, length);
                break;
            default: {
                const std::string block = b.substr(at, length);
                b.erase(at, length);
                b.insert(random() % b.size(), block);
            }
        }
    }
    return b;
}

TEST_F(DeltaTest, PatchRebuildsBFromAAndTheReport) {
    const std::string a = noise(200000, 9);
    struct Pair {
        std::string a;
        std::string b;
    };
    std::vector<Pair> pairs = {{a, a}, {"", a.substr(0, 5000)}, {a.substr(0, 5000), ""}};
    for (unsigned seed = 1; seed <= 6; ++seed) {
        pairs.push_back({a, edited(a, seed)});
    }
    for (const Pair& pair : pairs) {
        writeFile("a", pair.a);
        writeFile("b", pair.b);
        const RunResult delta = run({"--delta", "a", "b"});
        ASSERT_EQ(delta.status, pair.a == pair.b ? 0 : 1) << delta.err;
        writeFile("report", delta.out);
        std::filesystem::remove(path("out"));
        const RunResult patch = run({"--patch", "a", "report", "out"});
        ASSERT_EQ(patch.status, 0) << patch.err;
        EXPECT_TRUE(readFile("out") == pair.b) << "size " << pair.b.size();
    }
    // IN may be O: the report's copies of A read the file that O replaces only once whole.
    ASSERT_EQ(run({"--patch", "a", "report", "a"}).status, 0);
    EXPECT_TRUE(readFile("a") == pairs.back().b);
}

TEST_F(DeltaTest, PatchRefusesAReportWholeThatDoesNotFitIn) {
    const std::string a = noise(50000, 3);
    writeFile("a", a);
    writeFile("b", a.substr(0, 20000) + "xyz" + a.substr(20000));
    const RunResult delta = run({"--delta", "a", "b"});
    ASSERT_EQ(delta.status, 1);
    const std::string& report = delta.out;
    writeFile("report", report);
    const std::string checksumA = report.substr(report.find('\n') - 16, 16);
    std::string other = a;
    other[49999] = static_cast<char>(other[49999] ^ 1);
    writeFile("other", other);
    writeFile("short", a.substr(1));
    // Cut before its last hunk, the report no longer makes all of B.
    writeFile("cut", report.substr(0, report.rfind("\nequal") + 1));
    const RunResult wrong = run({"--patch", "other", "report", "out"});
    EXPECT_EQ(wrong.status, 2);
    EXPECT_TRUE(
        wrong.err.starts_with("ERROR: PATCHES line 1: IN is not the report's A: its XXH64 is "))
        << wrong.err;
    EXPECT_TRUE(wrong.err.ends_with(", not " + checksumA + "\n")) << wrong.err;
    expectRuns({
        {{"--patch", "short", "report", "out"},
         "",
         "ERROR: PATCHES line 1: IN has 49999 bytes where the report's A has 50000\n",
         2},
        {{"--patch", "a", "cut", "out"},
         "",
         "ERROR: PATCHES line 4: the hunks make 20003 bytes of B's 50003\n",
         2},
    });
    EXPECT_FALSE(exists("out"));
}

}  // namespace
}  // namespace tessaloom::e2e
