// The --scan and --carve commands' statuses, messages and usage lines; what they find and write is
// checked by scan_peer_check.py against objects that other programs made.
#include <algorithm>
#include <array>
#include <cstdint>
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
    const std::string usage = "Usage: " + programName() +
                              " --carve <FILE> <OUTDIR> [--deep [--deep-limit SIZE]] [--force]\n";
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
        {{"--carve", "image", "out", "--deep-limit", "1M"}, "", usage, 2},
        {{"--carve", "image", "out", "--deep", "--deep"}, "", usage, 2},
        {{"--carve", "image", "out", "--deep", "--deep-limit", "0"}, "", usage, 2},
        {{"--carve", "image", "out", "--deep", "--deep-limit"}, "", usage, 2},
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

// The bytes of value, least significant first.
std::string littleEndian(std::uint32_t value, int width) {
    std::string text;
    for (int i = 0; i < width; ++i) {
        text += static_cast<char>((value >> (8 * i)) & 0xFF);
    }
    return text;
}

std::uint32_t crc32(const std::string& data) {
    std::uint32_t crc = 0xFFFFFFFF;
    for (const char c : data) {
        crc ^= static_cast<std::uint8_t>(c);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ ((crc & 1) != 0 ? 0xEDB88320 : 0);
        }
    }
    return ~crc;
}

// data as gzip in stored deflate blocks, as a compressor at level 0 writes it.
std::string storedGzip(const std::string& data) {
    std::string gzip = bytes({0x1F, 0x8B, 0x08, 0, 0, 0, 0, 0, 0, 0xFF});
    std::size_t at = 0;
    do {
        const std::size_t length = std::min<std::size_t>(data.size() - at, 65535);
        gzip += static_cast<char>(at + length == data.size() ? 1 : 0);
        gzip += littleEndian(static_cast<std::uint32_t>(length), 2);
        gzip += littleEndian(static_cast<std::uint32_t>(~length), 2);
        gzip += data.substr(at, length);
        at += length;
    } while (at < data.size());
    return gzip + littleEndian(crc32(data), 4) +
           littleEndian(static_cast<std::uint32_t>(data.size()), 4);
}

TEST_F(ScanTest, DeepFindsWhatLiesInsideWithItsPath) {
    const std::string inner = storedGzip(std::string(0x21, 'x') + uImage() + "tail");
    const std::string outer = storedGzip(std::string(0x13, 'y') + inner);
    writeFile("image", std::string(0x40, '\0') + outer + std::string(5, '\0'));
    std::string nested = uImage();
    for (int level = 0; level < 9; ++level) {
        nested = storedGzip(nested);
    }
    writeFile("nested", nested);
    // Each level's gzip is 23 bytes more than what it holds; the ninth holds the uImage.
    std::string nestedRows = "OFFSET      SIZE         FORMAT       DESCRIPTION\n";
    for (std::size_t level = 0; level < 9; ++level) {
        const std::size_t size = 68 + 23 * (9 - level);
        for (std::size_t step = 0; step < level; ++step) {
            nestedRows += "0x00000000 gzip > ";
        }
        std::array<char, 16> hex{};
        std::snprintf(hex.data(), hex.size(), "%08zx", size);
        nestedRows += "0x00000000  0x" + std::string(hex.data()) + "   gzip         gzip, " +
                      std::to_string(size) + " bytes -> " + std::to_string(size - 23) + " bytes\n";
    }
    const std::string heading = "OFFSET      SIZE         FORMAT       DESCRIPTION\n";
    const std::string outerRow =
        "0x00000040  0x000000aa   gzip         gzip, 170 bytes -> 147 bytes\n";
    expectRuns({
        {{"--scan", "image"}, heading + outerRow + "1 object found in 239 bytes\n"},
        {{"--scan", "image", "--deep"},
         heading + outerRow +
             "0x00000040 gzip > 0x00000013  0x00000080   gzip         gzip, 128 bytes -> 105 "
             "bytes\n"
             "0x00000040 gzip > 0x00000013 gzip > 0x00000021  0x00000044   uimage       uImage "
             "\"\", ARM kernel, not compressed\n"
             "3 objects found in 239 bytes\n"},
        {{"--scan", "image", "--json", "--deep", "--deep-limit", "1M"},
         "{\"offset\": 64, \"size\": 170, \"size_exact\": true, \"format\": \"gzip\", "
         "\"description\": \"gzip, 170 bytes -> 147 bytes\", \"path\": [], \"fields\": {\"os\": "
         "255, \"compressed_size\": 170, \"uncompressed_size\": 147}}\n"
         "{\"offset\": 19, \"size\": 128, \"size_exact\": true, \"format\": \"gzip\", "
         "\"description\": \"gzip, 128 bytes -> 105 bytes\", \"path\": [{\"offset\": 64, "
         "\"format\": \"gzip\"}], \"fields\": {\"os\": 255, \"compressed_size\": 128, "
         "\"uncompressed_size\": 105}}\n"
         "{\"offset\": 33, \"size\": 68, \"size_exact\": true, \"format\": \"uimage\", "
         "\"description\": \"uImage \\\"\\\", ARM kernel, not compressed\", \"path\": "
         "[{\"offset\": 64, \"format\": \"gzip\"}, {\"offset\": 19, \"format\": \"gzip\"}], "
         "\"fields\": {\"data_size\": 4, \"load_address\": 2147516416, \"entry_point\": "
         "2147516416, \"time\": 0, \"os\": \"Linux\", \"data_crc\": 1189981892}}\n"},
        {{"--scan", "nested", "--deep"},
         nestedRows + "9 objects found in 275 bytes\n",
         "Warning: --deep stopped at the depth limit of 8 in 0x00000000 gzip > 0x00000000 gzip > "
         "0x00000000 gzip > 0x00000000 gzip > 0x00000000 gzip > 0x00000000 gzip > 0x00000000 "
         "gzip > 0x00000000 gzip > 0x00000000 gzip\n"},
    });
}

// With --deep, what lies inside a payload goes under "<parent>.d/" and what lies inside a member
// under "<member>.d/", byte for byte; what lies in a member that has no file of its own (its
// name leads out) is passed over, and nothing lands outside the folder.
TEST_F(ScanTest, CarvesWhatLiesInsideUnderItsParentsFolder) {
    const std::string member = "abc" + uImage();
    const std::string tar = tarEntry("etc/x", '0', member) + tarEntry("../up", '0', uImage()) +
                            tarEntry("etc", '5', "") + std::string(1024, '\0');
    const std::string gzip = storedGzip(tar);
    writeFile("image", std::string(0x3e9, '\0') + gzip + std::string(3, '\0'));
    const std::string lines =
        "0x3e9.gzip  gzip, 3.5 KiB -> 3.5 KiB\n"
        "0x3e9.gzip.out  payload, 3584 bytes\n"
        "0x3e9.gzip.d/0x0.tar  tar, 3 entries, first \"etc/x\"\n"
        "0x3e9.gzip.d/0x0.tar.d/etc/x  71 bytes\n"
        "0x3e9.gzip.d/0x0.tar.d/etc/x.d/0x3.uimage  uImage \"\", ARM kernel, not compressed\n"
        "Skipped 0x3e9.gzip.d/0x0.tar.d/../up: its name leads out of its folder (\"..\")\n"
        "Skipped 0x3e9.gzip.d/0x0.tar.d/../up.d/0x0.uimage: the member it lies in has no "
        "file\n";
    expectRuns({
        {{"--carve", "image", "out", "--deep"},
         lines + "Carved 5 files, 10914 bytes, of 4 objects found into out; 2 skipped\n"},
    });
    EXPECT_TRUE(readFile("out/0x3e9.gzip") == gzip);
    EXPECT_TRUE(readFile("out/0x3e9.gzip.out") == tar);
    EXPECT_TRUE(readFile("out/0x3e9.gzip.d/0x0.tar") == tar);
    EXPECT_EQ(readFile("out/0x3e9.gzip.d/0x0.tar.d/etc/x"), member);
    EXPECT_EQ(readFile("out/0x3e9.gzip.d/0x0.tar.d/etc/x.d/0x3.uimage"), uImage());
    EXPECT_FALSE(exists("up"));
    EXPECT_FALSE(exists("out/0x3e9.gzip.d/up"));
    EXPECT_FALSE(exists("out/0x3e9.gzip.d/up.d"));
    // Without --deep, the nested objects are not written.
    expectRuns({{{"--carve", "image", "flat"},
                 "0x3e9.gzip  gzip, 3.5 KiB -> 3.5 KiB\n"
                 "0x3e9.gzip.out  payload, 3584 bytes\n"
                 "Carved 2 files, 7191 bytes, of 1 object found into flat\n"}});
    EXPECT_FALSE(exists("flat/0x3e9.gzip.d"));
}

// The deep limits hold as for --scan: each limit reached is one warning line, and what passes a
// limit is passed over with its reason.
TEST_F(ScanTest, CarvesNoDeeperThanTheLimits) {
    std::string nested = uImage();
    for (int level = 0; level < 9; ++level) {
        nested = storedGzip(nested);
    }
    writeFile("nested", nested);
    writeFile("long", storedGzip(std::string(100000, 'L')));
    std::string depthLimit = "Warning: --deep stopped at the depth limit of 8 in 0x00000000 gzip";
    for (int level = 1; level < 9; ++level) {
        depthLimit += " > 0x00000000 gzip";
    }
    struct LimitCase {
        std::vector<std::string> arguments;
        std::string warnings;
        std::string deepest;  // the deepest file written, or one that must not be
        bool written;
    };
    const std::string eight =
        "0x0.gzip.d/0x0.gzip.d/0x0.gzip.d/0x0.gzip.d/0x0.gzip.d/0x0.gzip.d/"
        "0x0.gzip.d/0x0.gzip.d/";
    const std::vector<LimitCase> cases = {
        {{"--carve", "nested", "o1", "--deep"}, depthLimit + "\n", eight + "0x0.gzip", true},
        {{"--carve", "nested", "o2", "--deep"}, depthLimit + "\n", eight + "0x0.gzip.d", false},
        {{"--carve", "long", "o3", "--deep", "--deep-limit", "64K"},
         "Warning: --deep stopped at the limit of 64 KiB per stream in 0x00000000 gzip\n",
         "0x0.gzip.out",
         false},
        {{"--carve", "long", "o4", "--deep"}, "", "0x0.gzip.out", true},
    };
    for (const LimitCase& c : cases) {
        SCOPED_TRACE(c.arguments[1] + " " + c.arguments[2]);
        const RunResult result = run(c.arguments);
        EXPECT_EQ(result.err, c.warnings);
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(exists(c.arguments[2] + "/" + c.deepest), c.written) << result.out;
    }
    EXPECT_NE(run({"--carve", "long", "o5", "--deep", "--deep-limit", "64K"})
                  .out.find("Skipped 0x0.gzip.out: its payload passes the limit of 64 KiB per "
                            "stream\n"),
              std::string::npos);
}

}  // namespace
}  // namespace tessaloom::e2e
