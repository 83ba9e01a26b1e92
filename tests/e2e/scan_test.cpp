// The --scan and --carve commands' statuses, messages and usage lines; what they find and write is
// checked by scan_peer_check.py against objects that other programs made.
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "e2e/process.h"

namespace tessaloom::e2e {
namespace {

using ScanTest = E2ETest;

TEST_F(ScanTest, SaysWhatItFoundOrWhyNot) {
    std::mt19937 random(5);
    std::string noise(300000, '\0');
    for (char& byte : noise) {
        byte = static_cast<char>(random());
    }
    writeFile("noise", noise);
    writeFile("empty", "");
    const std::string usage =
        "Usage: " + programName() +
        " --scan <FILE> [--deep [--deep-limit SIZE]] [--json] [--stream-limit SIZE]\n";
    expectRuns({
        {{"--scan", "noise"}, "No object found in 300000 bytes\n", "", 1},
        {{"--scan", "noise", "--json"}, "", "", 1},
        {{"--scan", "empty"}, "No object found in 0 bytes\n", "", 1},
        {{"--scan", "noise", "--stream-limit", "1KiB"}, "No object found in 300000 bytes\n", "", 1},
        {{"--scan", "missing"}, "", "ERROR: Cannot read missing: No such file or directory\n", 2},
        {{"--scan"}, "", usage, 2},
        {{"--scan", "noise", "--deep"}, "No object found in 300000 bytes\n", "", 1},
        {{"--scan", "noise", "--deep", "--deep-limit", "1MiB", "--json"}, "", "", 1},
        {{"--scan", "noise", "--deep-limit", "1MiB"}, "", usage, 2},
        {{"--scan", "noise", "--deep", "--deep-limit", "0"}, "", usage, 2},
        {{"--scan", "noise", "--deep", "--deep-limit"}, "", usage, 2},
        {{"--scan", "noise", "--deep", "--deep"}, "", usage, 2},
        {{"--scan", "noise", "--json", "--json"}, "", usage, 2},
        {{"--scan", "noise", "--stream-limit"}, "", usage, 2},
        {{"--scan", "noise", "--stream-limit", "0"}, "", usage, 2},
    });
}

// A uImage header (both CRCs right) over four payload bytes, as U-Boot's mkimage writes one.
std::string uImage() {
    return bytes({0x27, 0x05, 0x19, 0x56, 0xDE, 0xBB, 0x50, 0x98, 0x00, 0x00, 0x00,
                  0x00, 0x00, 0x00, 0x00, 0x04, 0x80, 0x00, 0x80, 0x00, 0x80, 0x00,
                  0x80, 0x00, 0x46, 0xED, 0xAE, 0xC4, 0x05, 0x02, 0x02, 0x00}) +
           std::string(32, '\0') + "boot";
}

TEST_F(ScanTest, CarvesIntoAFolderThatItMakesOrThatIsEmpty) {
    writeFile("image", std::string(0x101, '\0') + uImage() + std::string(7, '\0'));
    writeFile("plain", "nothing here");
    std::filesystem::create_directory(path("full"));
    writeFile("full/x", "x");
    const std::string usage = "Usage: " + programName() + " --carve <FILE> <OUTDIR> [--force]\n";
    const std::string carved =
        "0x101.uimage  uImage \"\", ARM kernel, not compressed\n"
        "Carved 1 file, 68 bytes, of 1 object found into out\n";
    expectRuns({
        {{"--carve", "image", "out"}, carved},
        {{"--carve", "image", "full"},
         "",
         "ERROR: full is not empty (--force writes into it)\n",
         2},
        {{"--carve", "image", "image"}, "", "ERROR: Cannot write image: Not a directory\n", 2},
        {{"--carve", "plain", "none"},
         "Carved 0 files, 0 bytes, of 0 objects found into none\n",
         "",
         1},
        {{"--carve", "missing", "out2"},
         "",
         "ERROR: Cannot read missing: No such file or directory\n",
         2},
        {{"--carve", "image"}, "", usage, 2},
        {{"--carve", "image", "out", "--force", "--force"}, "", usage, 2},
    });
    EXPECT_EQ(readFile("out/0x101.uimage"), uImage());
    // Into a folder that holds files, with --force; a name there that is not a file is left.
    std::filesystem::create_directory(path("full/0x101.uimage"));
    expectRuns({{{"--carve", "image", "full", "--force"},
                 "Skipped 0x101.uimage: there is something there that is not a file\n"
                 "Carved 0 files, 0 bytes, of 1 object found into full; 1 skipped\n"}});
}

}  // namespace
}  // namespace tessaloom::e2e
