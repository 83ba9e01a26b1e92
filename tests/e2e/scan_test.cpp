// The --scan and --carve commands' statuses, messages and usage lines; what they find and write is
// checked by scan_peer_check.py against objects that other programs made.
#include <cstdio>
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
        "Usage: " + programName() + " --scan <FILE> [--json] [--stream-limit SIZE]\n";
    expectRuns({
        {{"--scan", "noise"}, "No object found in 300000 bytes\n", "", 1},
        {{"--scan", "noise", "--json"}, "", "", 1},
        {{"--scan", "empty"}, "No object found in 0 bytes\n", "", 1},
        {{"--scan", "noise", "--stream-limit", "1KiB"}, "No object found in 300000 bytes\n", "", 1},
        {{"--scan", "missing"}, "", "ERROR: Cannot read missing: No such file or directory\n", 2},
        {{"--scan"}, "", usage, 2},
        {{"--scan", "noise", "--deep"}, "", usage, 2},
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

// One ustar header block with its checksum, and the data behind it padded to 512 bytes.
std::string tarEntry(const std::string& name, char type, const std::string& data,
                     const std::string& link = {}) {
    std::string block(512, '\0');
    block.replace(0, name.size(), name);
    block.replace(100, 7, "0000644");
    char size[13];
    std::snprintf(size, sizeof size, "%011o", static_cast<unsigned>(data.size()));
    block.replace(124, 11, size);
    block[156] = type;
    block.replace(157, link.size(), link);
    block.replace(257, 8,
                  std::string("ustar\0"
                              "00",
                              8));
    unsigned sum = 8 * ' ';
    for (std::size_t i = 0; i < 512; ++i) {
        sum += i >= 148 && i < 156 ? 0U : static_cast<unsigned char>(block[i]);
    }
    char checksum[8];
    std::snprintf(checksum, sizeof checksum, "%06o", sum);
    block.replace(148, 7, std::string(checksum, 6) + '\0');
    return block + data + std::string((512 - data.size() % 512) % 512, '\0');
}

// A hostile tar: names that lead out, links, a device, and a damaged header at its end. Nothing
// lands outside the folder, each refusal is one line, and a link planted in the folder before a
// run with --force is not followed.
TEST_F(ScanTest, CarvesTheMembersOfAHostileArchiveInsideItsFolderOnly) {
    const std::string tar = tarEntry("ok.txt", '0', "planted\n") + tarEntry("../up", '0', "x") +
                            tarEntry("/abs", '0', "x") + tarEntry("C:drive", '0', "x") +
                            tarEntry("lnk", '2', "", "../../outside") +
                            tarEntry("lnk/through", '0', "y") +
                            tarEntry("hard", '1', "", "ok.txt") + tarEntry("dev", '3', "") +
                            tarEntry("aux.c", '0', "z") + tarEntry("sub/f", '0', "f") +
                            tarEntry("ok.txt", '0', "again") + std::string(512, 'J');
    writeFile("image", std::string(0x101, '\0') + tar + std::string(7, '\0'));
    std::filesystem::create_directory(path("outside"));
    const std::string lines =
        "0x101.tar  tar, 11 entries, first \"ok.txt\", no end of archive\n"
        "0x101.tar.d/ok.txt  8 bytes\n"
        "Skipped 0x101.tar.d/../up: its name leads out of its folder (\"..\")\n"
        "Skipped 0x101.tar.d//abs: its name is an absolute path\n"
        "Skipped 0x101.tar.d/C:drive: its name begins with a drive letter\n"
        "Skipped 0x101.tar.d/lnk: a symbolic link (to \"../../outside\") is not made\n"
        "0x101.tar.d/lnk/through  1 byte\n"
        "Skipped 0x101.tar.d/hard: a hard link (to \"ok.txt\") is not made\n"
        "Skipped 0x101.tar.d/dev: a device, FIFO or socket is not made\n"
        "Renamed 0x101.tar.d/aux.c to 0x101.tar.d/_aux.c: a part of its name is one that Windows "
        "reserves for a device\n"
        "0x101.tar.d/_aux.c  1 byte\n";
    expectRuns(
        {{{"--carve", "image", "out"},
          lines + "0x101.tar.d/sub/f  1 byte\n"
                  "Renamed 0x101.tar.d/ok.txt to 0x101.tar.d/ok.txt~2: an earlier member has "
                  "its name\n"
                  "0x101.tar.d/ok.txt~2  5 bytes\n"
                  "Skipped 0x101.tar.d: the rest of the archive, as the archive is cut short "
                  "at 0x2600\n"
                  "Carved 6 files, 9744 bytes, of 1 object found into out; 7 skipped\n"}});
    EXPECT_EQ(readFile("out/0x101.tar.d/ok.txt"), "planted\n");
    EXPECT_EQ(readFile("out/0x101.tar.d/ok.txt~2"), "again");
    EXPECT_TRUE(readFile("out/0x101.tar") == tar.substr(0, 0x2600));
    EXPECT_FALSE(std::filesystem::is_symlink(path("out/0x101.tar.d/lnk")));
    EXPECT_FALSE(exists("up"));
    EXPECT_TRUE(std::filesystem::is_empty(path("outside")));
    // A link to a folder outside, planted where a member's folder goes, is not followed.
    std::filesystem::remove_all(path("out/0x101.tar.d/sub"));
    std::filesystem::create_directory_symlink("../../outside", path("out/0x101.tar.d/sub"));
    const RunResult again = run({"--carve", "image", "out", "--force"});
    EXPECT_NE(again.out.find("Skipped 0x101.tar.d/sub/f: its folder 0x101.tar.d/sub is a "
                             "symbolic link\n"),
              std::string::npos)
        << again.out;
    EXPECT_EQ(again.status, 0);
    EXPECT_TRUE(std::filesystem::is_empty(path("outside")));
}

}  // namespace
}  // namespace tessaloom::e2e
