// The --scan command's statuses, messages and usage line; what it finds is checked by
// scan_peer_check.py against objects that other programs made.
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

}  // namespace
}  // namespace tessaloom::e2e
